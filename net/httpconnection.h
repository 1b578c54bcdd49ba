#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

class HttpReply;
class QTcpSocket;

// One HTTP/1.1 connection to one server of HttpAccessManager, carrying one request at a time and kept open
// for the next one when the server allows it. It reads the answer's status line and headers from a buffered
// socket (the toolkit's own client reads them a byte per system call) and then lets its reply read the
// body straight from the receive buffer, framed by Content-Length, chunks or the end of the connection.
//
// Everything the server sends is bounded: the head in size and lines, a chunk header in length, the
// receive buffer by the reply's read buffer size. An answer that breaks the protocol fails its reply and
// ends the connection.
class HttpConnection : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 MaxHeadSize = 64 * 1024;
    static constexpr int MaxHeadLines = 100;
    static constexpr qint64 MaxChunkHeaderSize = 1024;

    HttpConnection(const QString &host, quint16 port, QObject *parent);

    // Sends the reply's request, connecting first if need be; only while idle.
    void send(HttpReply *reply);
    bool isIdle() const { return phase == Phase::Idle; }

    // For the reply it carries:
    qint64 bodyAvailable();
    qint64 readBody(char *data, qint64 maxSize);
    // The reply wants no more of its answer (read, closed, aborted or deleted). What is left of a body that
    // is all in is skipped and the connection serves the next request; anything else ends the connection.
    void release();
    void setReadBufferSize(qint64 size);

signals:
    // Ready for the next request (queued, so that no request starts inside the previous reply's signals).
    void idle(HttpConnection *connection);
    // Closed for good. unanswered: a request that found the connection already closed by the server
    // before any byte of its answer came, which deserves a fresh connection rather than an error.
    void closed(HttpConnection *connection, HttpReply *unanswered);

private:
    enum class Phase { Idle, Head, Body };
    enum class Framing { Length, Chunked, UntilClose };
    enum class Chunk { Header, Data, DataEnd, Trailer };

    void onConnected();
    void onReadyRead();
    void onSocketGone();
    void writeRequest();
    bool readHead();
    bool takeStatusLine(const QByteArray &line);
    bool takeHeaderLine(const QByteArray &line);
    QByteArray headerValue(const char *name) const;
    bool startBody();
    void advanceChunks();
    qint64 bufferedBody() const;
    void noteIfComplete();
    void reportCompletion();
    void endExchange();
    void breakOff(const QString &text);
    void retire(HttpReply *unanswered);

    QTcpSocket *socket;
    QString host;
    quint16 port;
    Phase phase = Phase::Idle;
    QPointer<HttpReply> reply;
    QByteArray request; // until the socket has connected
    int served = 0;     // answers completed on this connection
    bool socketGone = false;
    bool broken = false;  // the server broke the protocol
    bool retired = false; // no further request goes over the connection

    // The answer's head, as it comes in.
    bool answered = false; // some byte of the answer has come
    bool statusRead = false;
    bool http11 = true;
    qint64 headSize = 0;
    int headLines = 0;
    int status = 0;
    QByteArray reason;
    bool keepAlive = false;
    QList<QPair<QByteArray, QByteArray>> headers;

    // The body.
    Framing framing = Framing::UntilClose;
    qint64 contentLength = -1;
    qint64 consumed = 0; // body bytes read by the reply
    Chunk chunk = Chunk::Header;
    qint64 chunkLeft = 0;
    bool bodyComplete = false;
    bool completionQueued = false;
};
