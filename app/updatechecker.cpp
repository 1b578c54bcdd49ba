#include "app/updatechecker.h"

#include <QByteArray>
#include <QStringList>

#include <cerrno>
#include <cstring>

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr quint16 versionPort = 17384;
quint16 portOverride = 0;

constexpr int versionReplyLimit = 511;
constexpr int newsReplyLimit = 4095;
constexpr int receiveTimeoutMs = 5000;

class SocketCloser
{
public:
    explicit SocketCloser(int descriptor) : descriptor(descriptor) {}
    ~SocketCloser() { ::close(descriptor); }
    SocketCloser(const SocketCloser &) = delete;
    SocketCloser &operator=(const SocketCloser &) = delete;

private:
    int descriptor;
};

bool sendRequest(int descriptor, char command)
{
    const char request[2] = {command, '\0'};
    return ::send(descriptor, request, sizeof request, 0) > 0;
}

// One datagram; what lies beyond the limit is dropped by the kernel, and the text ends at the first zero.
bool receiveText(int descriptor, int limit, QString &text)
{
    QByteArray buffer(limit, '\0');
    ssize_t received;
    do {
        received = ::recv(descriptor, buffer.data(), buffer.size(), 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        return false;
    text = UpdateChecker::replyText(QByteArrayView(buffer.constData(), received));
    return true;
}

} // namespace

UpdateChecker::UpdateChecker(const QString &serverName)
    : serverName(serverName)
{
}

void UpdateChecker::setPortForTesting(quint16 port)
{
    portOverride = port;
}

QString UpdateChecker::replyText(QByteArrayView datagram)
{
    return QString::fromLatin1(datagram.data(), qstrnlen(datagram.data(), datagram.size()));
}

QList<QPair<QString, QString>> UpdateChecker::parseVersionList(const QString &versions)
{
    QList<QPair<QString, QString>> list;
    const QStringList entries = versions.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString &entry : entries) {
        const qsizetype separator = entry.indexOf(QLatin1Char('#'));
        if (separator < 0)
            list.append({entry, QString()});
        else
            list.append({entry.left(separator), entry.mid(separator + 1)});
    }
    return list;
}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

bool UpdateChecker::readFromServer()
{
    // A repeated query must not append behind the entries of an earlier, failed one.
    versionList.clear();

    const int descriptor = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (descriptor < 0)
        return false;
    const SocketCloser closer(descriptor);

    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *addresses = nullptr;
    const QByteArray port = QByteArray::number(portOverride ? portOverride : versionPort);
    if (::getaddrinfo(serverName.toUtf8().constData(), port.constData(), &hints, &addresses) != 0)
        return false;
    // Connected, the socket takes datagrams only from the server's address: a reply forged from another
    // host cannot choose the version that gets installed.
    const int connected = ::connect(descriptor, addresses->ai_addr, addresses->ai_addrlen);
    ::freeaddrinfo(addresses);
    if (connected != 0)
        return false;

    if (!sendRequest(descriptor, '3'))
        return false;

    timeval timeout;
    timeout.tv_sec = receiveTimeoutMs / 1000;
    timeout.tv_usec = (receiveTimeoutMs % 1000) * 1000;
    if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return false;

    QString versions;
    if (!receiveText(descriptor, versionReplyLimit, versions))
        return false;
    versionList = parseVersionList(versions);

    if (!sendRequest(descriptor, '*'))
        return false;
    return receiveText(descriptor, newsReplyLimit, newsText);
}

QPair<QString, QString> UpdateChecker::getClientVersionByChannel(UpdateChannel channel) const
{
    return versionList.value(channel);
}
