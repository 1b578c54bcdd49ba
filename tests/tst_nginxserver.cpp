#include "support/nginxserver.h"
#include "support/testfiles.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

class tst_NginxServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void servesFiles();
    void restartKeepsPort();
    void rateLimitSlowsDownloads();
    void serversSideBySide();
    void missingDocumentRoot();

private:
    QByteArray get(const QUrl &url, int *status);

    QNetworkAccessManager m_manager;
};

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

void tst_NginxServer::initTestCase()
{
    if (!QFileInfo(NginxServer::program()).isExecutable())
        QSKIP("nginx is not installed (scripts/install-deps installs it)");
}

QByteArray tst_NginxServer::get(const QUrl &url, int *status)
{
    QNetworkReply *reply = m_manager.get(QNetworkRequest(url));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(10000))
        return {};
    *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    delete reply;
    return body;
}

void tst_NginxServer::servesFiles()
{
    QTemporaryDir root;
    const QByteArray contents = randomBytes(300000);
    QVERIFY(writeFile(root.filePath("101/client_linux_amd64/lib.so.gz"), contents));
    NginxServer server(root.path());
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(server.port() != 0);

    int status = 0;
    QCOMPARE(get(server.url().resolved(QUrl("/101/client_linux_amd64/lib.so.gz")), &status), contents);
    QCOMPARE(status, 200);
    get(server.url().resolved(QUrl("/102/absent.ini")), &status);
    QCOMPARE(status, 404);
    const QStringList requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0), QStringLiteral("GET /101/client_linux_amd64/lib.so.gz 200 300000"));
    QVERIFY2(requests.at(1).startsWith("GET /102/absent.ini 404 "), qPrintable(requests.at(1)));
}

void tst_NginxServer::restartKeepsPort()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("a.txt"), "a"));
    NginxServer server(root.path());
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const quint16 port = server.port();

    server.stop();
    QVERIFY(!server.isRunning());
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!probe.waitForConnected(5000));
    QCOMPARE(probe.error(), QAbstractSocket::ConnectionRefusedError);

    // A mirror that comes back must be found under the URL the updater already has.
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QCOMPARE(server.port(), port);
    int status = 0;
    QCOMPARE(get(server.url().resolved(QUrl("/a.txt")), &status), QByteArray("a"));
}

void tst_NginxServer::rateLimitSlowsDownloads()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("big.bin"), randomBytes(1000000)));
    NginxServer server(root.path());
    server.setRateLimit(10000);
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    // At 10 kB/s the megabyte takes 100 s: the transfer can be watched while it runs.
    QNetworkReply *reply = m_manager.get(QNetworkRequest(server.url().resolved(QUrl("/big.bin"))));
    qint64 received = 0;
    connect(reply, &QNetworkReply::downloadProgress, this, [&](qint64 bytes) { received = bytes; });
    QTRY_VERIFY_WITH_TIMEOUT(received > 0, 10000);
    QVERIFY(!reply->isFinished());
    QVERIFY(received < 500000);
    reply->abort();
    delete reply;
}

void tst_NginxServer::serversSideBySide()
{
    QTemporaryDir first;
    QTemporaryDir second;
    QVERIFY(writeFile(first.filePath("which.txt"), "first"));
    QVERIFY(writeFile(second.filePath("which.txt"), "second"));
    NginxServer one(first.path());
    NginxServer two(second.path());
    QVERIFY2(one.start(), qPrintable(one.errorString()));
    QVERIFY2(two.start(), qPrintable(two.errorString()));
    QVERIFY(one.port() != two.port());
    int status = 0;
    QCOMPARE(get(one.url().resolved(QUrl("/which.txt")), &status), QByteArray("first"));
    QCOMPARE(get(two.url().resolved(QUrl("/which.txt")), &status), QByteArray("second"));
}

void tst_NginxServer::missingDocumentRoot()
{
    QTemporaryDir dir;
    NginxServer server(dir.filePath("absent"));
    QVERIFY(!server.start());
    QCOMPARE(server.errorString(), QStringLiteral("document root %1 is not a directory").arg(dir.filePath("absent")));
}

QTEST_GUILESS_MAIN(tst_NginxServer)
#include "tst_nginxserver.moc"
