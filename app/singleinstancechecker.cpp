#include "app/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int waitMs = 1000;

bool connectToRunningInstance(QLocalSocket &socket)
{
    const QString path = SingleInstanceChecker::socketPath();
    if (path.isEmpty())
        return false;
    socket.connectToServer(path, QIODevice::ReadWrite);
    return socket.waitForConnected(waitMs);
}

// A real directory (not a link) of this user that no one else may enter or write.
bool isPrivateDirectory(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
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
    const QString path = socketPath();
    if (path.isEmpty() || connectToRunningInstance(probe))
        return;
    QLocalServer::removeServer(path);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->listen(path);
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

QString SingleInstanceChecker::socketDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateDirectory(runtime))
        return runtime;
    const QString temp = QDir::tempPath();
    if (temp.isEmpty())
        return QString();
    const QString own = temp + QStringLiteral("/murmelo-update-") + QString::number(::geteuid());
    // Fails harmlessly when it exists; whoever made it, the check below decides.
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    return isPrivateDirectory(own) ? own : QString();
}

QString SingleInstanceChecker::socketPath()
{
    const QString dir = socketDirectory();
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + getLocalServerName();
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
