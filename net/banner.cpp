#include "net/banner.h"

#include "app/configuration.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QTimerEvent>
#include <QUdpSocket>

namespace {
quint16 portOverride = 0;
int retryIntervalOverride = 0;
}

Banner::Banner(QObject *parent)
    : QObject(parent)
    , socket(new QUdpSocket(this))
    , serverName(Configuration::getUpdateServerName())
    , serverPort(portOverride ? portOverride : DefaultPort)
    , retryInterval(retryIntervalOverride ? retryIntervalOverride : DefaultRetryInterval)
{
    // Datagrams to the update server go direct, as the version query's do; the system's proxy
    // configuration is about HTTP and would only start its look-up thread here.
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->bind(QHostAddress::Any, 0);
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
}

void Banner::setPortForTesting(quint16 port)
{
    portOverride = port;
}

void Banner::setRetryIntervalForTesting(int milliseconds)
{
    retryIntervalOverride = milliseconds;
}

void Banner::run()
{
    QHostInfo::lookupHost(serverName, this, &Banner::onResolved);
}

void Banner::onResolved(const QHostInfo &hostInfo)
{
    if (hostInfo.error() != QHostInfo::NoError)
        return;
    serverAddress.clear();
    const QList<QHostAddress> addresses = hostInfo.addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            serverAddress = address;
            break;
        }
    }
    if (!serverAddress.isNull())
        sendRequest();
}

void Banner::sendRequest()
{
    static const QByteArray request("\x01\x01", 2);
    if (socket->writeDatagram(request, serverAddress, serverPort) != request.size()) {
        timer.stop();
        return;
    }
    timer.start(retryInterval, this);
}

void Banner::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (tries++ == 0)
        sendRequest();
    else
        timer.stop();
}

void Banner::onReadyRead()
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(MaxAnswerSize);
        if (!datagram.isValid()) {
            timer.stop();
            return;
        }
        // The answer picks the image we fetch and the page a click opens, so only the server we asked
        // may give it; anything else is dropped without ending the wait.
        if (serverAddress.isNull()
            || !datagram.senderAddress().isEqual(serverAddress, QHostAddress::ConvertV4MappedToIPv4))
            continue;
        timer.stop();
        QString bannerUrl;
        QString clickUrl;
        if (parseAnswer(datagram.data(), bannerUrl, clickUrl))
            emit bannerFound(bannerUrl, clickUrl);
        return;
    }
}

bool Banner::parseAnswer(const QByteArray &answer, QString &bannerUrl, QString &clickUrl)
{
    const QStringList parts = QString::fromLatin1(answer).split(QLatin1Char(','));
    if (parts.size() != 2)
        return false;
    bannerUrl = parts.at(0);
    clickUrl = parts.at(1);
    return true;
}

void Banner::onError(QAbstractSocket::SocketError socketError)
{
    Q_UNUSED(socketError);
    timer.stop();
}
