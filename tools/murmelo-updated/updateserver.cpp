#include "updateserver.h"

#include <QHostAddress>
#include <QUdpSocket>

namespace {

// A flood on one port must not starve the other: each readyRead takes a bounded batch, and the
// socket's notifier fires again for whatever is left.
constexpr int MaxDatagramsPerBatch = 64;

QByteArray versionServiceReply(const UpdateServerConfig &config, const QByteArray &request)
{
    static const QByteArray versionRequest("3\0", 2);
    static const QByteArray newsRequest("*\0", 2);
    if (request == versionRequest)
        return config.versionReply();
    if (request == newsRequest)
        return config.newsReply();
    return {};
}

QByteArray bannerServiceReply(const UpdateServerConfig &config, const QByteArray &request)
{
    static const QByteArray bannerRequest("\x01\x01", 2);
    return request == bannerRequest ? config.bannerReply() : QByteArray();
}

} // namespace

UpdateServer::UpdateServer(const UpdateServerConfig &initialConfig, QObject *parent)
    : QObject(parent),
      config(initialConfig),
      versionSocket(new QUdpSocket(this)),
      bannerSocket(new QUdpSocket(this))
{
    clock.start();
    connect(versionSocket, &QUdpSocket::readyRead, this, &UpdateServer::onVersionReadyRead);
    connect(bannerSocket, &QUdpSocket::readyRead, this, &UpdateServer::onBannerReadyRead);
}

bool UpdateServer::listen(const QHostAddress &address, quint16 versionPort, quint16 bannerPort, QString *errorMessage)
{
    const auto bind = [&](QUdpSocket *socket, quint16 port, const QString &service) {
        // Without exclusive binding a second server on the same port would silently share its requests.
        if (socket->bind(address, port, QAbstractSocket::DontShareAddress))
            return true;
        *errorMessage = QStringLiteral("cannot listen for %1 requests on %2 port %3: %4")
                            .arg(service, address.toString())
                            .arg(port)
                            .arg(socket->errorString());
        return false;
    };
    return bind(versionSocket, versionPort, QStringLiteral("version"))
        && bind(bannerSocket, bannerPort, QStringLiteral("banner"));
}

quint16 UpdateServer::versionPort() const
{
    return versionSocket->localPort();
}

quint16 UpdateServer::bannerPort() const
{
    return bannerSocket->localPort();
}

void UpdateServer::setConfig(const UpdateServerConfig &newConfig)
{
    config = newConfig;
}

void UpdateServer::setRateLimit(int repliesPerSecond)
{
    rateLimiter = ReplyRateLimiter(repliesPerSecond);
}

void UpdateServer::onVersionReadyRead()
{
    answer(versionSocket, versionServiceReply);
}

void UpdateServer::onBannerReadyRead()
{
    answer(bannerSocket, bannerServiceReply);
}

void UpdateServer::answer(QUdpSocket *socket, QByteArray (*replyTo)(const UpdateServerConfig &, const QByteArray &))
{
    for (int i = 0; i < MaxDatagramsPerBatch && socket->hasPendingDatagrams(); ++i) {
        // One byte more than a request holds tells longer datagrams apart; the rest of them is dropped unread.
        char request[3];
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size = socket->readDatagram(request, sizeof request, &sender, &senderPort);
        if (size != 2 || senderPort == 0)
            continue;
        const QByteArray reply = replyTo(config, QByteArray(request, 2));
        if (reply.isEmpty() || !rateLimiter.allow(sender, clock.elapsed()))
            continue;
        socket->writeDatagram(reply, sender, senderPort);
    }
}
