#include "support/httptestserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QByteArray corrupted(QByteArray body)
{
    for (qsizetype i = 0; i < body.size(); i += 64)
        body[i] = char(~body.at(i));
    return body;
}

// "bytes=a-b", "bytes=a-" or "bytes=-n" against a body of size bytes: first byte and length, or false for
// anything else (several ranges, other units), which a server may answer with the whole body.
bool parseRange(const QByteArray &value, qint64 size, qint64 &first, qint64 &length)
{
    if (!value.startsWith("bytes=") || value.contains(','))
        return false;
    const QByteArray spec = value.mid(6).trimmed();
    const qsizetype dash = spec.indexOf('-');
    if (dash < 0)
        return false;
    bool ok = true;
    const QByteArray from = spec.left(dash).trimmed();
    const QByteArray to = spec.mid(dash + 1).trimmed();
    if (from.isEmpty()) {
        const qint64 suffix = to.toLongLong(&ok);
        if (!ok || suffix <= 0)
            return false;
        first = qMax(qint64(0), size - suffix);
        length = size - first;
        return true;
    }
    first = from.toLongLong(&ok);
    if (!ok || first < 0)
        return false;
    qint64 last = size - 1;
    if (!to.isEmpty()) {
        last = to.toLongLong(&ok);
        if (!ok || last < first)
            return false;
    }
    length = qMin(last, size - 1) - first + 1;
    return true;
}

} // namespace

QByteArray HttpTestServer::Request::header(const QByteArray &name) const
{
    const QByteArray lower = name.toLower();
    for (const auto &entry : headers) {
        if (entry.first == lower)
            return entry.second;
    }
    return {};
}

HttpTestServer::Response HttpTestServer::Response::withStatus(int status, const QByteArray &body)
{
    Response response;
    response.status = status;
    response.body = body;
    return response;
}

HttpTestServer::Response HttpTestServer::Response::withBody(const QByteArray &body)
{
    return withStatus(200, body);
}

HttpTestServer::Response HttpTestServer::Response::redirectTo(const QString &location, int status)
{
    Response response = withStatus(status);
    response.headers.append({"Location", location.toUtf8()});
    return response;
}

// One accepted socket: reads requests one after another and plays the response of each, fault included.
class HttpTestServer::Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, HttpTestServer *server)
        : QObject(server), socket(socket), server(server)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, &Connection::onBytesWritten);
        connect(socket, &QTcpSocket::disconnected, this, &Connection::finish);
        connect(&dripTimer, &QTimer::timeout, this, &Connection::onDrip);
    }

    void respond(const Response &response)
    {
        QByteArray body = response.body;
        if (response.fault == Fault::Corrupt)
            body = corrupted(body);

        qint64 announced = body.size();
        if (response.fault == Fault::BodyLargerThanAnnounced)
            announced = response.announcedLength >= 0 ? response.announcedLength : body.size() / 2;

        const bool closesConnection = response.fault == Fault::BodyLargerThanAnnounced
                || response.fault == Fault::Endless || response.fault == Fault::ResetMidBody;

        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
                + reasonPhrase(response.status) + "\r\n";
        if (response.fault != Fault::Endless)
            head += "Content-Length: " + QByteArray::number(announced) + "\r\n";
        head += closesConnection ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
        for (const auto &header : response.headers)
            head += header.first + ": " + header.second + "\r\n";
        head += "\r\n";
        socket->write(head);

        fault = response.fault;
        switch (response.fault) {
        case Fault::None:
        case Fault::Corrupt:
            socket->write(body);
            busy = false;
            break;
        case Fault::BodyLargerThanAnnounced:
            socket->write(body);
            closeWhenWritten = true;
            break;
        case Fault::Stall:
            socket->write(body.left(response.faultOffset >= 0 ? response.faultOffset : 0));
            break;
        case Fault::ResetMidBody:
            socket->write(body.left(response.faultOffset >= 0 ? response.faultOffset : body.size() / 2));
            resetWhenWritten = true;
            break;
        case Fault::SlowDrip:
            pending = body;
            dripBytes = qMax(1, response.dripBytes);
            dripTimer.start(response.dripIntervalMs);
            break;
        case Fault::Endless:
            pending = body.isEmpty() ? QByteArray("x") : body;
            while (pending.size() < 16384)
                pending += pending;
            socket->write(pending);
            break;
        }
        onBytesWritten();
    }

    void finish()
    {
        dripTimer.stop();
        socket->disconnect(this);
        socket->abort();
        server->connections.removeOne(this);
        deleteLater();
    }

private:
    void onReadyRead()
    {
        buffer += socket->readAll();
        while (!busy) {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            Request request;
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            request.method = requestLine.value(0);
            request.target = requestLine.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines.at(i).indexOf(':');
                if (colon > 0) {
                    request.headers.append({lines.at(i).left(colon).trimmed().toLower(),
                                            lines.at(i).mid(colon + 1).trimmed()});
                }
            }
            const qint64 bodyLength = request.header("content-length").toLongLong();
            if (buffer.size() < end + 4 + bodyLength)
                return;
            buffer.remove(0, end + 4 + bodyLength);

            // A request through a proxy names the absolute URL.
            QByteArray target = request.target;
            if (target.startsWith("http://") || target.startsWith("https://"))
                target = QUrl::fromEncoded(target).path(QUrl::FullyEncoded).toLatin1();
            const qsizetype query = target.indexOf('?');
            request.path = QUrl::fromPercentEncoding(query < 0 ? target : target.left(query));

            busy = true;
            server->dispatch(this, request);
        }
    }

    void onBytesWritten()
    {
        if (socket->bytesToWrite() > 0)
            return;
        if (closeWhenWritten) {
            socket->disconnectFromHost();
        } else if (resetWhenWritten) {
            // Linger with a zero time-out turns the close into a TCP reset.
            const struct linger reset = {1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            finish();
        } else if (fault == Fault::Endless) {
            socket->write(pending);
        }
    }

    void onDrip()
    {
        socket->write(pending.left(dripBytes));
        pending.remove(0, qMin<qsizetype>(dripBytes, pending.size()));
        if (pending.isEmpty()) {
            dripTimer.stop();
            busy = false;
            if (!buffer.isEmpty())
                onReadyRead();
        }
    }

    QTcpSocket *socket;
    HttpTestServer *server;
    QByteArray buffer;
    QByteArray pending;
    QTimer dripTimer;
    Fault fault = Fault::None;
    int dripBytes = 1;
    bool busy = false; // a response is still being played; later requests wait in buffer
    bool closeWhenWritten = false;
    bool resetWhenWritten = false;
};

HttpTestServer::HttpTestServer(QObject *parent)
    : QObject(parent)
{
    fallback = [this](const Request &request) { return fileResponse(request.path); };
    connect(&server, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
}

HttpTestServer::~HttpTestServer()
{
    // The connections are children; close their sockets before the list they remove themselves from goes.
    const QList<Connection *> open = connections;
    for (Connection *connection : open)
        connection->finish();
}

bool HttpTestServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

quint16 HttpTestServer::port() const
{
    return server.serverPort();
}

QUrl HttpTestServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void HttpTestServer::serveDirectory(const QString &dir)
{
    directory = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
}

void HttpTestServer::setHandler(const QString &path, Handler handler)
{
    handlers.insert(path, std::move(handler));
}

void HttpTestServer::removeHandler(const QString &path)
{
    handlers.remove(path);
}

void HttpTestServer::setFallbackHandler(Handler handler)
{
    fallback = std::move(handler);
}

HttpTestServer::Response HttpTestServer::fileResponse(const QString &path) const
{
    if (directory.isEmpty())
        return Response::withStatus(404);
    const QString filePath = QDir::cleanPath(directory + QLatin1Char('/') + path);
    if (!filePath.startsWith(directory + QLatin1Char('/')))
        return Response::withStatus(404);
    QFile file(filePath);
    if (!QFileInfo(filePath).isFile() || !file.open(QIODevice::ReadOnly))
        return Response::withStatus(404);
    return Response::withBody(file.readAll());
}

int HttpTestServer::requestCount(const QString &path) const
{
    return counts.value(path);
}

int HttpTestServer::totalRequestCount() const
{
    int total = 0;
    for (int count : counts)
        total += count;
    return total;
}

void HttpTestServer::resetRequestCounts()
{
    counts.clear();
}

int HttpTestServer::openConnectionCount() const
{
    return int(connections.size());
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection())
        connections.append(new Connection(socket, this));
}

void HttpTestServer::dispatch(Connection *connection, const Request &request)
{
    ++counts[request.path];
    Q_EMIT requestReceived(request);
    const auto handler = handlers.constFind(request.path);
    connection->respond(answerRange(request, handler != handlers.constEnd() ? (*handler)(request)
                                                                            : fallback(request)));
}

HttpTestServer::Response HttpTestServer::answerRange(const Request &request, Response response)
{
    const QByteArray range = request.header("range");
    qint64 first = 0;
    qint64 length = 0;
    if (range.isEmpty() || response.status != 200 || response.ranges == Ranges::Ignore
        || !parseRange(range, response.body.size(), first, length))
        return response;
    const QByteArray total = QByteArray::number(response.body.size());
    if (response.ranges == Ranges::NotSatisfiable || first >= response.body.size()) {
        response.status = 416;
        response.body.clear();
        response.headers.append({"Content-Range", "bytes */" + total});
        return response;
    }
    response.status = 206;
    response.headers.append({"Content-Range", "bytes " + QByteArray::number(first) + '-'
                                                      + QByteArray::number(first + length - 1) + '/' + total});
    response.body = response.body.mid(first, length);
    return response;
}
