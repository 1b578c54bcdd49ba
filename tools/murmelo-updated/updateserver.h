#pragma once

#include "replyratelimiter.h"
#include "updateserverconfig.h"

#include <QElapsedTimer>
#include <QObject>

class QHostAddress;
class QUdpSocket;

// Answers the updater's two UDP services from one configuration: the version list and the news
// text on one port, the banner on the other.
//
// Only the exact 2-byte requests are answered, each with one datagram of the prepared reply, so the
// work per datagram is constant and a reply never exceeds what the configuration checked.
// A new configuration applies to the next request; the sockets stay bound.
class UpdateServer : public QObject
{
    Q_OBJECT

public:
    explicit UpdateServer(const UpdateServerConfig &initialConfig, QObject *parent = nullptr);

    // Port 0 picks a free port; versionPort() and bannerPort() then tell which.
    bool listen(const QHostAddress &address, quint16 versionPort, quint16 bannerPort, QString *errorMessage);
    quint16 versionPort() const;
    quint16 bannerPort() const;

    void setConfig(const UpdateServerConfig &newConfig);
    void setRateLimit(int repliesPerSecond);

private:
    void onVersionReadyRead();
    void onBannerReadyRead();
    void answer(QUdpSocket *socket, QByteArray (*replyTo)(const UpdateServerConfig &, const QByteArray &));

    UpdateServerConfig config;
    ReplyRateLimiter rateLimiter;
    QElapsedTimer clock;
    QUdpSocket *versionSocket;
    QUdpSocket *bannerSocket;
};
