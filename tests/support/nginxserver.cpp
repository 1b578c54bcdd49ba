#include "support/nginxserver.h"
#include "support/childprocess.h"
#include "support/testfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr int PortAttempts = 5;
// Answered with an empty response and never logged; see requests().
constexpr char SyncPath[] = "/.nginxserver-sync";

// `text` as one token of nginx's configuration language.
QByteArray quoted(const QString &text)
{
    QByteArray token = text.toUtf8();
    token.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + token + '"';
}

quint16 freeLoopbackPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

} // namespace

NginxServer::NginxServer(const QString &documentRoot, QObject *parent)
    : QObject(parent),
      documentRoot(QFileInfo(documentRoot).absoluteFilePath()),
      process(new ChildProcess(this))
{
}

// Stops nginx before its directory goes away with the members.
NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::program()
{
    return QStringLiteral("/usr/sbin/nginx");
}

bool NginxServer::start()
{
    stop();
    if (!directory.isValid()) {
        lastError = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    if (!QFileInfo(documentRoot).isDir()) {
        lastError = QStringLiteral("document root %1 is not a directory").arg(documentRoot);
        return false;
    }
    // A restart tries the previous port first, so that URLs handed out before stay valid.
    quint16 port = serverPort;
    for (int attempt = 0; attempt < PortAttempts; ++attempt) {
        if (port == 0)
            port = freeLoopbackPort();
        // The port was free when asked, but another program may take it before nginx binds it.
        bool portTaken = false;
        if (startOnPort(port, &portTaken))
            return true;
        if (!portTaken)
            return false;
        port = 0;
    }
    return false;
}

bool NginxServer::startOnPort(quint16 port, bool *portTaken)
{
    if (!writeConfig(port))
        return false;
    QFile::remove(path(QStringLiteral("nginx.pid")));
    QFile::remove(path(QStringLiteral("error.log")));
    process->start(program(), {QStringLiteral("-p"), directory.path() + QLatin1Char('/'),
                                 QStringLiteral("-c"), path(QStringLiteral("nginx.conf")),
                                 QStringLiteral("-e"), path(QStringLiteral("error.log"))});
    if (process->waitForStarted(StartTimeoutMs)) {
        // nginx writes its pid file only after it has bound its listening socket.
        const QByteArray pid = QByteArray::number(process->processId());
        const bool settled = QTest::qWaitFor([&] {
            return process->state() != QProcess::Running
                || readFile(path(QStringLiteral("nginx.pid"))).trimmed() == pid;
        }, StartTimeoutMs);
        if (settled && process->state() == QProcess::Running) {
            serverPort = port;
            return true;
        }
    }
    process->stop();
    const QByteArray errorLog = readFile(path(QStringLiteral("error.log")), QByteArray());
    const QString log = QString::fromLocal8Bit(errorLog + process->readAllStandardError()).trimmed();
    *portTaken = log.contains(QLatin1String("Address already in use"));
    lastError = QStringLiteral("nginx did not start on port %1: %2")
                        .arg(port)
                        .arg(log.isEmpty() ? process->errorString() : log);
    return false;
}

bool NginxServer::writeConfig(quint16 port)
{
    const auto file = [this](const char *name) { return quoted(path(QLatin1String(name))); };
    QByteArray config;
    // One process in the foreground: it stays the test's child and leaves nothing behind.
    // As that single process never switches users, it serves with the test's own rights.
    config += "daemon off;\nmaster_process off;\n";
    config += "pid " + file("nginx.pid") + ";\n";
    config += "error_log " + file("error.log") + ";\n";
    config += "events { worker_connections 256; }\n";
    config += "http {\n";
    config += "    log_format requests '$request_method $uri $status $body_bytes_sent';\n";
    config += "    access_log " + file("access.log") + " requests;\n";
    // The built-in temporary paths lie under /var/lib/nginx, which need not be writable for the test.
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        config += "    " + QByteArray(kind) + "_temp_path " + file(kind) + ";\n";
    config += "    types { text/plain txt; }\n";
    config += "    default_type application/octet-stream;\n";
    config += "    server {\n";
    config += "        listen 127.0.0.1:" + QByteArray::number(port) + ";\n";
    config += "        root " + quoted(documentRoot) + ";\n";
    if (rateLimit > 0)
        config += "        limit_rate " + QByteArray::number(rateLimit) + ";\n";
    config += "        location = " + QByteArray(SyncPath) + " { access_log off; return 204; }\n";
    config += "    }\n}\n";

    QFile out(path(QStringLiteral("nginx.conf")));
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(config) == config.size())
        return true;
    lastError = QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString());
    return false;
}

void NginxServer::stop()
{
    process->stop();
}

bool NginxServer::isRunning() const
{
    return process->state() == QProcess::Running;
}

QUrl NginxServer::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(serverPort));
}

QStringList NginxServer::requests() const
{
    waitForLog();
    const QByteArray log = readFile(path(QStringLiteral("access.log")), QByteArray());
    return QString::fromUtf8(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// nginx writes a request's log line only after it has handed the last byte of the response to the
// kernel, so a client can hold the whole answer while the line is still unwritten. The single nginx
// process handles one event at a time and logs in the same step as that last send: once it has
// answered a request made now, every response received before is in the log.
void NginxServer::waitForLog() const
{
    if (!isRunning())
        return;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, serverPort);
    if (!socket.waitForConnected(StartTimeoutMs))
        return;
    // HTTP/1.0: nginx closes the connection once it has answered.
    socket.write(QByteArray("GET ") + SyncPath + " HTTP/1.0\r\n\r\n");
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.waitForDisconnected(StartTimeoutMs);
}
