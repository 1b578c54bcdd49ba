#pragma once

#include <QNetworkReply>
#include <QPointer>

class HttpConnection;

// A reply of HttpAccessManager. It behaves as the toolkit's own replies do towards their users (status
// and headers with metaDataChanged, the body through read() with readyRead and downloadProgress, an error
// for a status of 400 or more once the body is in, finished once, also after abort()), but while the body
// comes it is read straight out of the receive buffer of the connection that carries it. Once all of it is
// in, the reply keeps what is still unread, and the connection serves the next request.
class HttpReply : public QNetworkReply
{
    Q_OBJECT
public:
    HttpReply(const QNetworkRequest &request, QObject *parent);
    ~HttpReply() override;

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;
    void setReadBufferSize(qint64 size) override;

    // From the connection that carries the request:
    void attach(HttpConnection *carrier);
    void setHead(int status, const QByteArray &reason, const QList<QPair<QByteArray, QByteArray>> &headers);
    void bodyArrived(qint64 received, qint64 total);
    // Every byte of the body is in; rest is what was not read yet.
    void complete(const QByteArray &rest);
    void fail(NetworkError code, const QString &text);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    void end();

    QPointer<HttpConnection> carrier;
    QByteArray rest;
    QByteArray reasonPhrase;
};
