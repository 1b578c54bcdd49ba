#pragma once

#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QPointer>

class HttpConnection;
class HttpReply;

// The run's network access. Plain-HTTP GETs that follow no redirects and go through no proxy, which is
// what a download from a mirror is, travel over connections of its own (HttpConnection, at most
// ConnectionsPerServer to one server, kept open between requests); everything else goes the toolkit's way.
// Both kinds of reply behave alike towards their users, and the manager's finished() reports both.
//
// The toolkit's client costs a few hundred system calls per answer (it reads the head a byte at a time)
// and two thread hops per chunk; with thousands of small files that was most of an update's time.
class HttpAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    static constexpr int ConnectionsPerServer = 6;

    explicit HttpAccessManager(QObject *parent = nullptr);
    ~HttpAccessManager() override;

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    struct Server {
        QString host;
        quint16 port = 0;
        QList<HttpConnection *> connections;
        QList<QPointer<HttpReply>> waiting;
    };

    bool takes(Operation operation, const QNetworkRequest &request) const;
    void dispatch(const QString &key);
    void onIdle(HttpConnection *connection);
    void onClosed(HttpConnection *connection, HttpReply *unanswered);

    QHash<QString, Server> servers;
    QHash<HttpConnection *, QString> serverOf;
};
