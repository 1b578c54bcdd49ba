#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>
#include <QUrl>

#include <functional>

// A small HTTP/1.1 server for tests, listening on 127.0.0.1 on an ephemeral port.
//
// Every request is answered by a handler. A handler registered for the exact path wins; any other path
// goes to the fallback handler, which by default serves files below the directory given to
// serveDirectory() (404 for anything missing or outside it). A Response can carry a fault mode, so one
// server instance can play a good mirror, a broken one or a hostile one:
//
//     HttpTestServer server;
//     QVERIFY(server.listen());
//     server.serveDirectory(dir.path());                       // GET /a/b.txt -> <dir>/a/b.txt
//     server.setHandler("/gone", [](const HttpTestServer::Request &) {
//         return HttpTestServer::Response::withStatus(404);
//     });
//     server.setFallbackHandler([&server](const HttpTestServer::Request &request) {
//         HttpTestServer::Response response = server.fileResponse(request.path);
//         response.fault = HttpTestServer::Fault::Corrupt;    // serve every file with damaged bytes
//         return response;
//     });
//     QCOMPARE(server.requestCount("/a/b.txt"), 1);
//
// A GET with "Range: bytes=a-b" (or "a-", or "-n") to a 200 answer is answered like a mirror that serves
// ranges: 206 with that slice and its Content-Range, or 416 with "bytes */size" when it starts past the end;
// Response::ranges makes a mirror that ignores ranges or refuses every one. Faults then play on the slice.
//
// Connections are kept alive between requests unless a fault ends them. Everything runs on the thread
// that owns the server, through its event loop: tests wait with QTRY_* rather than blocking.
class HttpTestServer : public QObject
{
    Q_OBJECT

public:
    enum class Fault {
        None,
        // Headers (announcing the full body) and the first faultOffset body bytes (default 0), then
        // silence; the connection stays open until the client gives up.
        Stall,
        // The body in pieces of dripBytes, one piece every dripIntervalMs.
        SlowDrip,
        // Headers and the first faultOffset body bytes (default half), then a TCP reset.
        ResetMidBody,
        // Content-Length says announcedLength (default half the body) but the whole body is sent,
        // then the connection is closed.
        BodyLargerThanAnnounced,
        // The announced length is right but every 64th byte, starting with the first, is inverted.
        Corrupt,
        // No Content-Length; the body (or "x" when empty) is repeated until the client disconnects.
        Endless,
    };

    // How a 200 answer meets a request with a Range header.
    enum class Ranges {
        Serve,
        // The whole body with 200, as a server without range support answers.
        Ignore,
        // 416 for every range, as if none fitted the file.
        NotSatisfiable,
    };

    struct Request {
        QByteArray method;
        QString path;                                 // percent-decoded, without the query
        QByteArray target;                            // as sent on the request line
        QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
        QByteArray header(const QByteArray &name) const;
    };

    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers; // added after the server's own headers
        Fault fault = Fault::None;
        Ranges ranges = Ranges::Serve;
        qint64 faultOffset = -1;
        qint64 announcedLength = -1;
        int dripBytes = 16;
        int dripIntervalMs = 20;

        static Response withStatus(int status, const QByteArray &body = {});
        static Response withBody(const QByteArray &body);
        // 302 (or the given status) with a Location header.
        static Response redirectTo(const QString &location, int status = 302);
    };

    using Handler = std::function<Response(const Request &)>;

    explicit HttpTestServer(QObject *parent = nullptr);
    ~HttpTestServer() override;

    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>" followed by path (which should start with "/" when given).
    QUrl url(const QString &path = {}) const;

    void serveDirectory(const QString &directory);
    void setHandler(const QString &path, Handler handler);
    void removeHandler(const QString &path);
    void setFallbackHandler(Handler handler);
    // The answer the default fallback gives for path: the file's bytes or 404.
    Response fileResponse(const QString &path) const;

    // Requests seen so far, counted when their headers are complete, whatever the answer.
    int requestCount(const QString &path) const;
    int totalRequestCount() const;
    void resetRequestCounts();
    // Connections currently open (a stalled response keeps its connection open).
    int openConnectionCount() const;

Q_SIGNALS:
    void requestReceived(const HttpTestServer::Request &request);

private:
    class Connection;

    void onNewConnection();
    void dispatch(Connection *connection, const Request &request);
    static Response answerRange(const Request &request, Response response);

    QTcpServer server;
    QString directory;
    QHash<QString, Handler> handlers;
    Handler fallback;
    QHash<QString, int> counts;
    QList<Connection *> connections;
};
