#include "net/httpreply.h"

#include "net/httpconnection.h"

#include <QNetworkAccessManager>

#include <algorithm>
#include <cstring>

namespace {
// The error the toolkit's own replies give for a status.
QNetworkReply::NetworkError errorForStatus(int status)
{
    switch (status) {
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return status < 500 ? QNetworkReply::UnknownContentError : QNetworkReply::UnknownServerError;
    }
}
}

HttpReply::HttpReply(const QNetworkRequest &request, QObject *parent)
    : QNetworkReply(parent)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly);
}

HttpReply::~HttpReply()
{
    if (carrier)
        carrier->release();
}

void HttpReply::attach(HttpConnection *connection)
{
    carrier = connection;
    if (carrier)
        carrier->setReadBufferSize(readBufferSize());
}

void HttpReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    if (carrier)
        carrier->setReadBufferSize(size);
}

qint64 HttpReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + rest.size() + (carrier ? carrier->bodyAvailable() : 0);
}

qint64 HttpReply::readData(char *data, qint64 maxSize)
{
    if (!rest.isEmpty()) {
        const qint64 count = std::min(maxSize, qint64(rest.size()));
        memcpy(data, rest.constData(), size_t(count));
        rest.remove(0, count);
        return count;
    }
    const qint64 count = carrier ? carrier->readBody(data, maxSize) : 0;
    if (count > 0)
        return count;
    return isFinished() ? -1 : 0;
}

void HttpReply::abort()
{
    if (carrier)
        carrier->release();
    if (isFinished())
        return;
    fail(OperationCanceledError, tr("Operation canceled"));
}

void HttpReply::close()
{
    // Closing before the end gives the connection up, and so the request ends as aborted: every request
    // of the manager must end with finished, which downloads waiting for a free mirror slot rely on.
    if (!isFinished())
        abort();
    else if (carrier)
        carrier->release();
    QNetworkReply::close();
}

void HttpReply::setHead(int status, const QByteArray &reason,
                        const QList<QPair<QByteArray, QByteArray>> &headers)
{
    reasonPhrase = reason;
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, reason);
    for (const auto &header : headers) {
        // Nothing here asks for a file's date, and the toolkit reads every date it is given through the
        // local time zone: a look at the zone file for every reply, the largest single cost of a small
        // download on the main thread.
        if (header.first.compare("Last-Modified", Qt::CaseInsensitive) == 0)
            continue;
        setRawHeader(header.first, header.second);
    }
    emit metaDataChanged();
}

void HttpReply::bodyArrived(qint64 received, qint64 total)
{
    emit downloadProgress(received, total);
    emit readyRead();
}

void HttpReply::complete(const QByteArray &unread)
{
    if (isFinished())
        return;
    rest = unread;
    // As the toolkit's replies do: an error page is delivered, and the error comes with its end.
    const int status = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        fail(errorForStatus(status), tr("Error transferring %1 - server replied: %2")
                                             .arg(url().toString(), QString::fromLatin1(reasonPhrase)));
        return;
    }
    end();
}

void HttpReply::fail(NetworkError code, const QString &text)
{
    if (isFinished())
        return;
    setError(code, text);
    setFinished(true);
    emit errorOccurred(code);
    emit finished();
}

void HttpReply::end()
{
    setFinished(true);
    emit finished();
}
