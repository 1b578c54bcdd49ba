#include "support/httptestserver.h"
#include "support/testfiles.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>

// The fault modes are what other tests rely on; these cases pin down what a Qt client sees of each.
class tst_HttpTestServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void servesDirectoryAndCounts();
    void faults_data();
    void faults();
    void ranges_data();
    void ranges();
    void stallKeepsConnectionOpen();
    void endlessDataNeverFinishes();

private:
    QNetworkReply *get(const QString &path);

    QNetworkAccessManager manager;
    HttpTestServer *server = nullptr;
};

void tst_HttpTestServer::init()
{
    delete server;
    server = new HttpTestServer(this);
    QVERIFY(server->listen());
    manager.clearConnectionCache();
}

QNetworkReply *tst_HttpTestServer::get(const QString &path)
{
    QNetworkRequest request(server->url(path));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return manager.get(request);
}

void tst_HttpTestServer::servesDirectoryAndCounts()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("sub/a b.txt"), "hello"));
    server->serveDirectory(dir.path());

    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<QNetworkReply> reply(get("/sub/a%20b.txt"));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 5000);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(reply->readAll(), QByteArray("hello"));
    }
    QCOMPARE(server->requestCount("/sub/a b.txt"), 2);

    std::unique_ptr<QNetworkReply> outside(get("/../" + QFileInfo(dir.path()).fileName() + "/sub/a%20b.txt"));
    QTRY_VERIFY_WITH_TIMEOUT(outside->isFinished(), 5000);
    QCOMPARE(outside->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
    QCOMPARE(server->totalRequestCount(), 3);
}

void tst_HttpTestServer::faults_data()
{
    QTest::addColumn<HttpTestServer::Response>("response");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("fails");

    const QByteArray body = QByteArray(200, 'a');
    HttpTestServer::Response response = HttpTestServer::Response::withStatus(404, "missing");
    QTest::newRow("status") << response << 404 << QByteArray("missing") << true;

    response = HttpTestServer::Response::redirectTo("/elsewhere");
    QTest::newRow("redirect") << response << 302 << QByteArray() << false;

    response = HttpTestServer::Response::withBody(body);
    response.fault = HttpTestServer::Fault::SlowDrip;
    response.dripBytes = 50;
    response.dripIntervalMs = 5;
    QTest::newRow("slow drip") << response << 200 << body << false;

    response.fault = HttpTestServer::Fault::ResetMidBody;
    QTest::newRow("reset") << response << 200 << body.left(100) << true;

    response.fault = HttpTestServer::Fault::BodyLargerThanAnnounced;
    response.announcedLength = 120;
    QTest::newRow("larger than announced") << response << 200 << body.left(120) << false;

    response = HttpTestServer::Response::withBody(QByteArray(130, 'b'));
    response.fault = HttpTestServer::Fault::Corrupt;
    QByteArray damaged(130, 'b');
    damaged[0] = damaged[64] = damaged[128] = char(~'b');
    QTest::newRow("corrupt") << response << 200 << damaged << false;
}

void tst_HttpTestServer::faults()
{
    QFETCH(HttpTestServer::Response, response);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, fails);

    server->setHandler("/f", [response](const HttpTestServer::Request &) { return response; });
    std::unique_ptr<QNetworkReply> reply(get("/f"));
    QByteArray received;
    connect(reply.get(), &QNetworkReply::readyRead, this, [&] { received += reply->readAll(); });
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 5000);
    received += reply->readAll();

    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(received, body);
    QCOMPARE(reply->error() != QNetworkReply::NoError, fails);
}

void tst_HttpTestServer::ranges_data()
{
    QTest::addColumn<HttpTestServer::Ranges>("mode");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<QByteArray>("body");

    using Ranges = HttpTestServer::Ranges;
    const QByteArray digits = "0123456789";
    QTest::newRow("first to last") << Ranges::Serve << QByteArray("bytes=2-4") << 206
                                   << QByteArray("bytes 2-4/10") << QByteArray("234");
    QTest::newRow("to the end") << Ranges::Serve << QByteArray("bytes=7-") << 206 << QByteArray("bytes 7-9/10")
                                << QByteArray("789");
    QTest::newRow("last past the end") << Ranges::Serve << QByteArray("bytes=8-20") << 206
                                       << QByteArray("bytes 8-9/10") << QByteArray("89");
    QTest::newRow("suffix") << Ranges::Serve << QByteArray("bytes=-3") << 206 << QByteArray("bytes 7-9/10")
                            << QByteArray("789");
    QTest::newRow("starts past the end") << Ranges::Serve << QByteArray("bytes=10-") << 416
                                         << QByteArray("bytes */10") << QByteArray();
    QTest::newRow("several ranges: whole body") << Ranges::Serve << QByteArray("bytes=0-1,4-5") << 200
                                                << QByteArray() << digits;
    QTest::newRow("other unit: whole body") << Ranges::Serve << QByteArray("items=0-1") << 200 << QByteArray()
                                            << digits;
    QTest::newRow("ignoring ranges") << Ranges::Ignore << QByteArray("bytes=2-4") << 200 << QByteArray()
                                     << digits;
    QTest::newRow("refusing ranges") << Ranges::NotSatisfiable << QByteArray("bytes=2-4") << 416
                                     << QByteArray("bytes */10") << QByteArray();
}

void tst_HttpTestServer::ranges()
{
    QFETCH(HttpTestServer::Ranges, mode);
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(QByteArray, body);

    HttpTestServer::Response response = HttpTestServer::Response::withBody("0123456789");
    response.ranges = mode;
    server->setHandler("/r", [response](const HttpTestServer::Request &) { return response; });
    QNetworkRequest request(server->url("/r"));
    request.setRawHeader("Range", range);
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 5000);

    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply->rawHeader("Content-Range"), contentRange);
    QCOMPARE(reply->readAll(), body);
}

void tst_HttpTestServer::stallKeepsConnectionOpen()
{
    HttpTestServer::Response response = HttpTestServer::Response::withBody("0123456789");
    response.fault = HttpTestServer::Fault::Stall;
    response.faultOffset = 4;
    server->setHandler("/stall", [response](const HttpTestServer::Request &) { return response; });

    std::unique_ptr<QNetworkReply> reply(get("/stall"));
    QTRY_COMPARE_WITH_TIMEOUT(reply->bytesAvailable(), 4, 5000);
    QCOMPARE(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), 10);
    QVERIFY(!reply->isFinished());
    QCOMPARE(server->openConnectionCount(), 1);

    reply->abort();
    QTRY_COMPARE_WITH_TIMEOUT(server->openConnectionCount(), 0, 5000);
}

void tst_HttpTestServer::endlessDataNeverFinishes()
{
    HttpTestServer::Response response = HttpTestServer::Response::withBody("data");
    response.fault = HttpTestServer::Fault::Endless;
    server->setHandler("/endless", [response](const HttpTestServer::Request &) { return response; });

    std::unique_ptr<QNetworkReply> reply(get("/endless"));
    qint64 received = 0;
    connect(reply.get(), &QNetworkReply::readyRead, this, [&] { received += reply->readAll().size(); });
    QTRY_VERIFY_WITH_TIMEOUT(received > 4 * 1024 * 1024, 10000);
    QVERIFY(!reply->isFinished());
    reply->abort();
    QTRY_COMPARE_WITH_TIMEOUT(server->openConnectionCount(), 0, 5000);
}

QTEST_GUILESS_MAIN(tst_HttpTestServer)
#include "tst_httptestserver.moc"
