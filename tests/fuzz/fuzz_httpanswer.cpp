// What a mirror answers to a download: the input is sent by a local server as the whole answer, in
// pieces whose size the first byte gives, and the connection ends after it. The reply is read as the
// download task reads it, in bounded chunks, until it ends.
#include "fuzzsupport.h"

#include "net/httpaccessmanager.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
QTcpServer *server = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::initApplication(argc, argv, false);
    server = new QTcpServer;
    if (!server->listen(QHostAddress::LocalHost))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const qsizetype piece = qsizetype(data[0]) + 1;
    const QByteArray answer(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    QObject::connect(server, &QTcpServer::newConnection, server, [answer, piece]() {
        QTcpSocket *socket = server->nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, answer, piece]() {
            socket->readAll();
            for (qsizetype at = 0; at < answer.size(); at += piece) {
                socket->write(answer.mid(at, piece));
                socket->flush();
            }
            socket->disconnectFromHost();
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    });

    HttpAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/file").arg(server->serverPort())));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager.get(request);
    reply->setReadBufferSize(4096);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply]() {
        char chunk[1024];
        while (reply->read(chunk, sizeof chunk) > 0) {
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    loop.exec();
    (void)reply->readAll();
    (void)reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    delete reply;
    server->disconnect();
    // What the input left behind goes before the next one comes.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
