#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThread>

#include <functional>

class QUdpSocket;

// A UDP server on an ephemeral port of 127.0.0.1 that answers from its own thread, so that the code under
// test may block the main thread while it waits for the reply. Each datagram goes to the handler; a null
// QByteArray from the handler means "do not answer".
class UdpTestServer : public QObject
{
    Q_OBJECT

public:
    struct Request {
        QByteArray data;
        QHostAddress peer;
        quint16 peerPort = 0;
        int index = 0; // 0 for the first datagram the server received
    };
    // Called in the server thread.
    using Handler = std::function<QByteArray(const Request &request)>;

    explicit UdpTestServer(Handler handler, QObject *parent = nullptr);
    ~UdpTestServer() override;

    quint16 port() const { return serverPort; }
    QList<QByteArray> requests() const;

private:
    void onReadyRead();

    Handler handler;
    QThread thread;
    QUdpSocket *socket; // lives in thread and is deleted when it finishes
    quint16 serverPort = 0;
    mutable QMutex mutex;
    QList<QByteArray> received;
};
