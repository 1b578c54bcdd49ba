#include "support/udptestserver.h"

#include <QMutexLocker>
#include <QNetworkDatagram>
#include <QUdpSocket>

UdpTestServer::UdpTestServer(Handler handler, QObject *parent)
    : QObject(parent)
    , handler(std::move(handler))
    , socket(new QUdpSocket)
{
    socket->bind(QHostAddress::LocalHost, 0);
    serverPort = socket->localPort();
    socket->moveToThread(&thread);
    // With the socket as context the handler runs in the server thread.
    connect(socket, &QUdpSocket::readyRead, socket, [this] { onReadyRead(); });
    connect(&thread, &QThread::finished, socket, &QObject::deleteLater);
    thread.start();
}

UdpTestServer::~UdpTestServer()
{
    thread.quit();
    thread.wait();
}

QList<QByteArray> UdpTestServer::requests() const
{
    QMutexLocker locker(&mutex);
    return received;
}

void UdpTestServer::onReadyRead()
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        Request request;
        request.data = datagram.data();
        request.peer = datagram.senderAddress();
        request.peerPort = quint16(datagram.senderPort());
        {
            QMutexLocker locker(&mutex);
            request.index = int(received.size());
            received.append(request.data);
        }
        const QByteArray reply = handler(request);
        if (!reply.isNull())
            socket->writeDatagram(reply, request.peer, request.peerPort);
    }
}
