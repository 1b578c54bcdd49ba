#include "net/httpaccessmanager.h"

#include "net/httpconnection.h"
#include "net/httpreply.h"

#include <QNetworkProxy>
#include <QNetworkProxyFactory>

HttpAccessManager::HttpAccessManager(QObject *parent)
    : QNetworkAccessManager(parent)
{
}

HttpAccessManager::~HttpAccessManager()
{
    // The connections go first: a reply deleted with the manager must find no connection to report to.
    const QList<HttpConnection *> connections = serverOf.keys();
    for (HttpConnection *connection : connections) {
        connection->disconnect(this);
        delete connection;
    }
}

QNetworkReply *HttpAccessManager::createRequest(Operation operation, const QNetworkRequest &request,
                                                QIODevice *outgoingData)
{
    if (!takes(operation, request))
        return QNetworkAccessManager::createRequest(operation, request, outgoingData);
    const QUrl url = request.url();
    const quint16 port = quint16(url.port(80));
    const QString key = url.host() + QLatin1Char(':') + QString::number(port);
    Server &server = servers[key];
    server.host = url.host();
    server.port = port;
    auto *reply = new HttpReply(request, this);
    server.waiting.append(reply);
    // From the event loop: the caller connects to the reply only once this returns.
    QMetaObject::invokeMethod(this, [this, key]() { dispatch(key); }, Qt::QueuedConnection);
    return reply;
}

bool HttpAccessManager::takes(Operation operation, const QNetworkRequest &request) const
{
    const QUrl url = request.url();
    if (operation != GetOperation || url.scheme() != QLatin1String("http") || url.host().isEmpty()
        || !url.userInfo().isEmpty())
        return false;
    const QVariant policy = request.attribute(QNetworkRequest::RedirectPolicyAttribute);
    if ((policy.isValid() ? policy.toInt() : int(redirectPolicy())) != QNetworkRequest::ManualRedirectPolicy)
        return false;
    QNetworkProxy route = proxy();
    if (route.type() == QNetworkProxy::DefaultProxy) {
        const QList<QNetworkProxy> routes = proxyFactory()
                ? proxyFactory()->queryProxy(QNetworkProxyQuery(url))
                : QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
        route = routes.value(0, QNetworkProxy(QNetworkProxy::NoProxy));
    }
    return route.type() == QNetworkProxy::NoProxy || route.type() == QNetworkProxy::DefaultProxy;
}

void HttpAccessManager::dispatch(const QString &key)
{
    Server &server = servers[key];
    while (!server.waiting.isEmpty()) {
        const QPointer<HttpReply> next = server.waiting.constFirst();
        if (!next || next->isFinished()) {
            server.waiting.removeFirst();
            continue;
        }
        HttpConnection *connection = nullptr;
        for (HttpConnection *candidate : std::as_const(server.connections)) {
            if (candidate->isIdle()) {
                connection = candidate;
                break;
            }
        }
        if (!connection) {
            if (server.connections.size() >= ConnectionsPerServer)
                return;
            connection = new HttpConnection(server.host, server.port, this);
            connect(connection, &HttpConnection::idle, this, &HttpAccessManager::onIdle);
            connect(connection, &HttpConnection::closed, this, &HttpAccessManager::onClosed);
            server.connections.append(connection);
            serverOf.insert(connection, key);
        }
        server.waiting.removeFirst();
        connection->send(next);
    }
}

void HttpAccessManager::onIdle(HttpConnection *connection)
{
    dispatch(serverOf.value(connection));
}

void HttpAccessManager::onClosed(HttpConnection *connection, HttpReply *unanswered)
{
    const QString key = serverOf.take(connection);
    Server &server = servers[key];
    server.connections.removeOne(connection);
    // First in line again, for a fresh connection.
    if (unanswered)
        server.waiting.prepend(unanswered);
    QMetaObject::invokeMethod(this, [this, key]() { dispatch(key); }, Qt::QueuedConnection);
}
