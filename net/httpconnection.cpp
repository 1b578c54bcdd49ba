#include "net/httpconnection.h"

#include "net/httpreply.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>

namespace {
bool hasToken(const QByteArray &value, const char *token)
{
    const QList<QByteArray> parts = value.split(',');
    return std::any_of(parts.cbegin(), parts.cend(), [token](const QByteArray &part) {
        return part.trimmed().compare(token, Qt::CaseInsensitive) == 0;
    });
}

QByteArray withoutLineEnd(QByteArray line)
{
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

QNetworkReply::NetworkError replyError(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError:
        return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError:
        return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError:
        return QNetworkReply::TimeoutError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}
}

HttpConnection::HttpConnection(const QString &host, quint16 port, QObject *parent)
    : QObject(parent), socket(new QTcpSocket(this)), host(host), port(port)
{
    // The manager only hands over requests it found to go direct; asking the system's proxy
    // configuration again for every connection would cost a look-up and could route elsewhere.
    socket->setProxy(QNetworkProxy::NoProxy);
    connect(socket, &QTcpSocket::connected, this, &HttpConnection::onConnected);
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &HttpConnection::onSocketGone);
    connect(socket, &QTcpSocket::errorOccurred, this, &HttpConnection::onSocketGone);
}

void HttpConnection::send(HttpReply *next)
{
    Q_ASSERT(isIdle());
    reply = next;
    reply->attach(this);
    const QUrl url = reply->url();
    QByteArray target = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (target.isEmpty())
        target = "/";
    request = "GET " + target + " HTTP/1.1\r\nHost: "
            + url.authority(QUrl::FullyEncoded | QUrl::RemoveUserInfo).toLatin1() + "\r\n";
    const QNetworkRequest asked = reply->request();
    for (const QByteArray &name : asked.rawHeaderList())
        request += name + ": " + asked.rawHeader(name) + "\r\n";
    // What the toolkit's client says; some servers refuse a request that names no agent.
    if (!asked.hasRawHeader("User-Agent"))
        request += "User-Agent: Mozilla/5.0\r\n";
    request += "\r\n";

    phase = Phase::Head;
    answered = statusRead = false;
    headSize = 0;
    headLines = 0;
    status = 0;
    reason.clear();
    headers.clear();
    keepAlive = false;
    contentLength = -1;
    consumed = 0;
    chunk = Chunk::Header;
    chunkLeft = 0;
    bodyComplete = completionQueued = false;

    if (socket->state() == QAbstractSocket::ConnectedState)
        writeRequest();
    else if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->connectToHost(host, port);
}

void HttpConnection::onConnected()
{
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (phase == Phase::Head && !request.isEmpty())
        writeRequest();
}

void HttpConnection::writeRequest()
{
    socket->write(request);
    request.clear();
}

void HttpConnection::setReadBufferSize(qint64 size)
{
    // Unlimited stays unlimited, as the reply's user asked; a limit still leaves room for a whole head.
    socket->setReadBufferSize(size == 0 ? 0 : std::max(size, MaxHeadSize));
}

void HttpConnection::onReadyRead()
{
    switch (phase) {
    case Phase::Idle:
        // Nobody asked: a server that talks now is out of step with the requests.
        if (socket->bytesAvailable() > 0)
            breakOff(QStringLiteral("Unexpected data from %1").arg(host));
        return;
    case Phase::Head:
        answered = true;
        if (!readHead() || !startBody())
            return;
        break;
    case Phase::Body:
        break;
    }
    if (broken)
        return;
    const qint64 buffered = bodyAvailable();
    if (reply && buffered > 0)
        reply->bodyArrived(consumed + buffered, contentLength);
}

// The status line and the header lines, as far as they have come; true once the head is complete.
bool HttpConnection::readHead()
{
    while (socket->canReadLine()) {
        const QByteArray raw = socket->readLine(MaxHeadSize - headSize + 1);
        headSize += raw.size();
        if (!raw.endsWith('\n') || headSize > MaxHeadSize || ++headLines > MaxHeadLines) {
            breakOff(QStringLiteral("The answer of %1 has too large a header").arg(host));
            return false;
        }
        const QByteArray line = withoutLineEnd(raw);
        if (!statusRead) {
            if (!takeStatusLine(line)) {
                breakOff(QStringLiteral("The answer of %1 is no HTTP answer").arg(host));
                return false;
            }
            continue;
        }
        if (!line.isEmpty()) {
            if (!takeHeaderLine(line)) {
                breakOff(QStringLiteral("The answer of %1 has a malformed header").arg(host));
                return false;
            }
            continue;
        }
        // An interim answer (100 Continue and its kind) is followed by the real one.
        if (status >= 100 && status < 200 && status != 101) {
            statusRead = false;
            headers.clear();
            continue;
        }
        return true;
    }
    if (socket->bytesAvailable() > MaxHeadSize - headSize) {
        breakOff(QStringLiteral("The answer of %1 has too large a header").arg(host));
        return false;
    }
    return false;
}

bool HttpConnection::takeStatusLine(const QByteArray &line)
{
    // "HTTP/1.x nnn reason"
    if (!line.startsWith("HTTP/1.") || line.size() < 12 || line.at(8) != ' ')
        return false;
    const QByteArray code = line.mid(9, 3);
    if (!std::all_of(code.cbegin(), code.cend(), [](char c) { return c >= '0' && c <= '9'; })
        || (line.size() > 12 && line.at(12) != ' '))
        return false;
    http11 = line.at(7) != '0';
    status = code.toInt();
    reason = line.mid(13).trimmed();
    statusRead = true;
    return true;
}

bool HttpConnection::takeHeaderLine(const QByteArray &line)
{
    // An old-style continuation of the previous header.
    if ((line.startsWith(' ') || line.startsWith('\t')) && !headers.isEmpty()) {
        headers.last().second += ' ' + line.trimmed();
        return true;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return false;
    const QByteArray name = line.left(colon).trimmed();
    const QByteArray value = line.mid(colon + 1).trimmed();
    // A repeated header is one header with both values, as the toolkit shows it.
    for (auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0) {
            header.second += ", " + value;
            return true;
        }
    }
    headers.append({name, value});
    return true;
}

QByteArray HttpConnection::headerValue(const char *name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

// How the body ends; then the head goes to the reply. False when the reply gave the connection up on it.
bool HttpConnection::startBody()
{
    const QByteArray connectionHeader = headerValue("Connection");
    keepAlive = http11 ? !hasToken(connectionHeader, "close") : hasToken(connectionHeader, "keep-alive");
    const QByteArray transferEncoding = headerValue("Transfer-Encoding");
    const QByteArray length = headerValue("Content-Length");
    if (status == 204 || status == 304) {
        framing = Framing::Length;
        contentLength = 0;
    } else if (!transferEncoding.isEmpty()) {
        // Only chunks are understood; any other coding would hand the reader bytes that are not the file's.
        if (transferEncoding.trimmed().compare("chunked", Qt::CaseInsensitive) != 0) {
            breakOff(QStringLiteral("The answer of %1 uses an unknown transfer coding").arg(host));
            return false;
        }
        framing = Framing::Chunked;
    } else if (!length.isNull()) {
        // Digits only, and one value (repeated headers arrive joined by commas).
        const QList<QByteArray> values = length.split(',');
        bool ok = std::all_of(values.cbegin(), values.cend(), [&values](const QByteArray &value) {
            const QByteArray digits = value.trimmed();
            return !digits.isEmpty() && digits.size() <= 18 && digits == values.first().trimmed()
                    && std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; });
        });
        if (!ok) {
            breakOff(QStringLiteral("The answer of %1 has an invalid Content-Length").arg(host));
            return false;
        }
        framing = Framing::Length;
        contentLength = values.first().trimmed().toLongLong();
    } else {
        framing = Framing::UntilClose;
        keepAlive = false;
    }
    phase = Phase::Body;
    const QPointer<HttpReply> current = reply;
    reply->setHead(status, reason, headers);
    // The reply's user may have given it up on seeing the head.
    return current && reply == current;
}

qint64 HttpConnection::bodyAvailable()
{
    if (phase != Phase::Body || broken)
        return 0;
    if (framing == Framing::Chunked)
        advanceChunks();
    noteIfComplete();
    return bufferedBody();
}

qint64 HttpConnection::bufferedBody() const
{
    if (phase != Phase::Body || broken)
        return 0;
    const qint64 buffered = socket->bytesAvailable();
    switch (framing) {
    case Framing::Length:
        return std::min(buffered, contentLength - consumed);
    case Framing::Chunked:
        return chunk == Chunk::Data ? std::min(buffered, chunkLeft) : 0;
    case Framing::UntilClose:
        return buffered;
    }
    return 0;
}

qint64 HttpConnection::readBody(char *data, qint64 maxSize)
{
    const qint64 wanted = std::min(maxSize, bodyAvailable());
    if (wanted <= 0)
        return 0;
    const qint64 count = socket->read(data, wanted);
    if (count <= 0)
        return 0;
    consumed += count;
    if (framing == Framing::Chunked)
        chunkLeft -= count;
    bodyAvailable();
    return count;
}

// Chunk headers and the ends of chunks are read as soon as they are there, so that what the reader sees
// available is body, and the end of the last chunk shows that the body is complete.
void HttpConnection::advanceChunks()
{
    while (!bodyComplete && !broken) {
        if (chunk == Chunk::Data) {
            if (chunkLeft > 0)
                return;
            chunk = Chunk::DataEnd;
        }
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > MaxChunkHeaderSize)
                breakOff(QStringLiteral("The answer of %1 has a malformed chunk").arg(host));
            return;
        }
        const QByteArray raw = socket->readLine(MaxChunkHeaderSize + 1);
        const QByteArray line = withoutLineEnd(raw);
        if (!raw.endsWith('\n')) {
            breakOff(QStringLiteral("The answer of %1 has a malformed chunk").arg(host));
            return;
        }
        switch (chunk) {
        case Chunk::DataEnd:
            if (!line.isEmpty()) {
                breakOff(QStringLiteral("The answer of %1 has a malformed chunk").arg(host));
                return;
            }
            chunk = Chunk::Header;
            break;
        case Chunk::Header: {
            const qsizetype extension = line.indexOf(';');
            const QByteArray digits = (extension < 0 ? line : line.left(extension)).trimmed();
            bool ok = false;
            const qint64 size = digits.size() <= 15 ? digits.toLongLong(&ok, 16) : -1;
            if (!ok || size < 0) {
                breakOff(QStringLiteral("The answer of %1 has a malformed chunk").arg(host));
                return;
            }
            chunkLeft = size;
            chunk = size > 0 ? Chunk::Data : Chunk::Trailer;
            break;
        }
        case Chunk::Trailer:
            // Trailer fields are not used, but they count against the head's limits.
            headSize += raw.size();
            if (headSize > MaxHeadSize || ++headLines > MaxHeadLines) {
                breakOff(QStringLiteral("The answer of %1 has too large a header").arg(host));
                return;
            }
            if (line.isEmpty())
                bodyComplete = true;
            break;
        case Chunk::Data:
            break;
        }
    }
}

// Whether every byte of the body is in; the reply hears of it from the event loop, never from inside a
// call of its own user.
void HttpConnection::noteIfComplete()
{
    if (framing == Framing::Length && consumed + socket->bytesAvailable() >= contentLength)
        bodyComplete = true;
    if (!bodyComplete || completionQueued)
        return;
    completionQueued = true;
    QMetaObject::invokeMethod(this, &HttpConnection::reportCompletion, Qt::QueuedConnection);
}

void HttpConnection::reportCompletion()
{
    if (!reply || phase != Phase::Body)
        return;
    // The unread end of the body moves to the reply, so that the connection is free for the next
    // request while the reply's user takes its time.
    HttpReply *current = reply;
    const QByteArray rest = socket->read(bufferedBody());
    consumed += rest.size();
    endExchange();
    current->complete(rest);
}

void HttpConnection::release()
{
    if (!reply)
        return;
    // What is left of a complete body is in the buffer: skipped, it leaves the connection ready.
    if (phase == Phase::Body && !broken && bodyComplete) {
        consumed += socket->skip(bufferedBody());
        endExchange();
        return;
    }
    reply->attach(nullptr);
    reply = nullptr;
    retire(nullptr);
}

// The reply has had its answer: the connection serves the next request, if the server keeps it open and
// sent nothing beyond the body.
void HttpConnection::endExchange()
{
    if (reply)
        reply->attach(nullptr);
    reply = nullptr;
    ++served;
    if (retired || broken || socketGone || !keepAlive || socket->bytesAvailable() > 0) {
        retire(nullptr);
        return;
    }
    phase = Phase::Idle;
    QMetaObject::invokeMethod(this, [this]() {
        if (isIdle())
            emit idle(this);
    }, Qt::QueuedConnection);
}

void HttpConnection::onSocketGone()
{
    if (socketGone)
        return;
    socketGone = true;
    const QAbstractSocket::SocketError socketError = socket->error();
    if (!reply) {
        retire(nullptr);
        return;
    }
    switch (phase) {
    case Phase::Idle:
        break;
    case Phase::Head:
        if (!answered && served > 0) {
            // The server had closed this kept connection before the request reached it.
            HttpReply *unanswered = reply;
            reply->attach(nullptr);
            reply = nullptr;
            retire(unanswered);
            return;
        }
        break;
    case Phase::Body:
        if (framing == Framing::UntilClose) {
            bodyComplete = true;
            noteIfComplete();
        } else {
            noteIfComplete();
        }
        if (bodyComplete || broken) {
            retire(nullptr);
            return;
        }
        break;
    }
    // The answer broke off. Its bytes that came stay readable for the reply.
    const QPointer<HttpReply> current = reply;
    retire(nullptr);
    if (current) {
        const bool closed = socketError == QAbstractSocket::RemoteHostClosedError
                || socketError == QAbstractSocket::UnknownSocketError;
        current->fail(closed ? QNetworkReply::RemoteHostClosedError : replyError(socketError),
                      closed ? tr("Connection closed") : socket->errorString());
    }
}

void HttpConnection::breakOff(const QString &text)
{
    if (broken)
        return;
    broken = true;
    HttpReply *current = reply;
    retire(nullptr);
    // Not from inside a call of the reply's user.
    if (current) {
        QMetaObject::invokeMethod(current, [current, text]() {
            current->fail(QNetworkReply::ProtocolFailure, text);
        }, Qt::QueuedConnection);
    }
}

// No further request goes over this connection. It goes once its reply has let go of it: the reply may
// still read what came before the end.
void HttpConnection::retire(HttpReply *unanswered)
{
    if (!retired) {
        retired = true;
        emit closed(this, unanswered);
    }
    if (!reply) {
        // Its signals would only bring this connection's end back here.
        socket->disconnect(this);
        socket->abort();
        deleteLater();
    }
}
