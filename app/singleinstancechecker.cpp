#include "app/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

constexpr int waitMs = 1000;

bool connectToRunningInstance(QLocalSocket &socket)
{
    socket.connectToServer(SingleInstanceChecker::getLocalServerName(), QIODevice::ReadWrite);
    return socket.waitForConnected(waitMs);
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject *parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);

    // With an access option the toolkit binds elsewhere and renames the socket over the name, which would
    // take the name from an updater that is still running; so listen only when nobody answers. A socket
    // file that nobody answers on is the leftover of a crashed updater and would otherwise make this
    // instance unfindable.
    QLocalSocket probe;
    if (connectToRunningInstance(probe))
        return;
    const QString name = getLocalServerName();
    QLocalServer::removeServer(name);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->listen(name);
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    server->close();
    if (client)
        client->close();
}

bool SingleInstanceChecker::checkExistingInstance(const QString &message)
{
    QLocalSocket socket;
    if (!connectToRunningInstance(socket))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(waitMs);
}

QString SingleInstanceChecker::getLocalServerName()
{
    QString key = QCoreApplication::applicationFilePath().toLower() + QDir::homePath();
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    return QStringLiteral("MX4ClientUpdate") + QString::number(qChecksum(key.toUtf8()), 16);
}

void SingleInstanceChecker::onNewConnection()
{
    delete client;
    client = server->nextPendingConnection();
    if (client)
        connect(client, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!client)
        return;
    QByteArray data = client->readAll();
    const qsizetype end = data.indexOf('\0');
    if (end >= 0)
        data.truncate(end);
    // Still inside the socket's own signal, so it may not be deleted right away.
    client->deleteLater();
    client = nullptr;
    emit otherInstanceActivate(QString::fromLatin1(data));
}
