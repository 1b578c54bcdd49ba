#include "support/testfiles.h"
#include "support/updateserverprocess.h"

#include <QNetworkDatagram>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

// The reference update server as a program: started on ephemeral ports and asked with plain datagrams.
class tst_UpdateServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void versionListPerChannel_data();
    void versionListPerChannel();
    void newsAndBanner();
    void noBannerConfigured();
    void garbageIgnored_data();
    void garbageIgnored();
    void floodStillAnswered();
    void rateLimitPerSender();
    void reloadOnSighup();
    void brokenReloadKeepsServing();
    void badStart_data();
    void badStart();
    void portTaken();
    void standardPortsOnOwnAddress();
    void terminatesCleanly();

private:
    // The reply to `request`, or a null datagram when none came within the limit.
    QNetworkDatagram ask(quint16 port, const QByteArray &request, int timeoutMs = 5000);

    UpdateServerProcess *m_server = nullptr;
    QUdpSocket *m_socket = nullptr;
};

namespace {

const QByteArray versionRequest("3\0", 2);
const QByteArray newsRequest("*\0", 2);
const QByteArray bannerRequest("\x01\x01", 2);

const QByteArray fullConfig = "[stable]\nversion = 1042\nname = 1.4.2\n"
                              "[beta]\nversion = 1050\nname = 1.5 beta#1\n"
                              "[news]\ntext = <!--URL=http://murmelo.example/-->Hello, world\n"
                              "[banner]\nimage = http://murmelo.example/b.png\nclick = http://murmelo.example/go\n";

} // namespace

void tst_UpdateServer::initTestCase()
{
    QVERIFY2(QFile::exists(UpdateServerProcess::program()), qPrintable(UpdateServerProcess::program()));
}

void tst_UpdateServer::init()
{
    delete m_server;
    delete m_socket;
    m_server = new UpdateServerProcess(this);
    m_socket = new QUdpSocket(this);
    QVERIFY(m_socket->bind(QHostAddress::LocalHost, 0));
}

QNetworkDatagram tst_UpdateServer::ask(quint16 port, const QByteArray &request, int timeoutMs)
{
    m_socket->writeDatagram(request, m_server->address(), port);
    if (!m_socket->hasPendingDatagrams() && !m_socket->waitForReadyRead(timeoutMs))
        return {};
    return m_socket->receiveDatagram();
}

void tst_UpdateServer::versionListPerChannel_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QByteArray>("versionList");

    QTest::newRow("stable and beta") << fullConfig << QByteArray("1042#1.4.2,1050#1.5 beta#1");
    QTest::newRow("beta only") << QByteArray("[beta]\nversion = 7\nname = seven\n") << QByteArray(",7#seven");
    QTest::newRow("alpha without name") << QByteArray("[alpha]\nversion = 99\n") << QByteArray(",,99");
}

void tst_UpdateServer::versionListPerChannel()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, versionList);
    QVERIFY2(m_server->start(config), qPrintable(m_server->errorString()));
    const QNetworkDatagram reply = ask(m_server->versionPort(), versionRequest);
    QCOMPARE(reply.data(), versionList);
    QCOMPARE(reply.senderPort(), int(m_server->versionPort()));
}

void tst_UpdateServer::newsAndBanner()
{
    QVERIFY2(m_server->start(fullConfig), qPrintable(m_server->errorString()));
    QCOMPARE(ask(m_server->versionPort(), newsRequest).data(), QByteArray("<!--URL=http://murmelo.example/-->Hello, world"));
    const QNetworkDatagram banner = ask(m_server->bannerPort(), bannerRequest);
    QCOMPARE(banner.data(), QByteArray("http://murmelo.example/b.png,http://murmelo.example/go"));
    QCOMPARE(banner.senderPort(), int(m_server->bannerPort()));
}

void tst_UpdateServer::noBannerConfigured()
{
    QVERIFY2(m_server->start("[stable]\nversion = 1\n"), qPrintable(m_server->errorString()));
    QCOMPARE(ask(m_server->versionPort(), newsRequest).data(), QByteArray(1, '\0'));
    // Silence is the only answer here, so this one test has to wait for nothing to arrive.
    m_socket->writeDatagram(bannerRequest, m_server->address(), m_server->bannerPort());
    QVERIFY(!m_socket->waitForReadyRead(500));
}

void tst_UpdateServer::garbageIgnored_data()
{
    QTest::addColumn<bool>("bannerPort");
    QTest::addColumn<QByteArray>("garbage");

    QTest::newRow("empty datagram") << false << QByteArray();
    QTest::newRow("one byte") << false << QByteArray("3");
    QTest::newRow("request with a trailing byte") << false << QByteArray("3\0\0", 3);
    QTest::newRow("request followed by 60000 bytes") << false << QByteArray("3\0", 2) + QByteArray(60000, 'x');
    QTest::newRow("banner request on the version port") << false << bannerRequest;
    QTest::newRow("version request without zero") << false << QByteArray("3x");
    QTest::newRow("version request on the banner port") << true << versionRequest;
    QTest::newRow("news request on the banner port") << true << newsRequest;
    QTest::newRow("banner request with a trailing byte") << true << QByteArray("\x01\x01\x01");
    QTest::newRow("half a banner request") << true << QByteArray("\x01");
}

void tst_UpdateServer::garbageIgnored()
{
    QFETCH(bool, bannerPort);
    QFETCH(QByteArray, garbage);
    QVERIFY2(m_server->start(fullConfig), qPrintable(m_server->errorString()));
    const quint16 port = bannerPort ? m_server->bannerPort() : m_server->versionPort();
    // Datagrams on one socket are handled in order, so a reply to the garbage would come first.
    QVERIFY(m_socket->writeDatagram(garbage, m_server->address(), port) == garbage.size());
    const QByteArray request = bannerPort ? bannerRequest : versionRequest;
    const QByteArray expected = bannerPort ? QByteArray("http://murmelo.example/b.png,http://murmelo.example/go")
                                           : QByteArray("1042#1.4.2,1050#1.5 beta#1");
    QCOMPARE(ask(port, request).data(), expected);
}

void tst_UpdateServer::floodStillAnswered()
{
    QVERIFY2(m_server->start(fullConfig), qPrintable(m_server->errorString()));
    QUdpSocket flooder;
    QVERIFY(flooder.bind(QHostAddress::LocalHost, 0));
    // More than the kernel buffers hold, on both ports, so some of it is dropped before the server sees it.
    QByteArray junk(1400, '\0');
    for (int i = 0; i < 5000; ++i) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(junk.data()), junk.size() / 4);
        flooder.writeDatagram(junk.left(i % junk.size()), m_server->address(),
                              i % 2 ? m_server->versionPort() : m_server->bannerPort());
    }
    // A request that meets a full buffer is lost like the junk, so it is repeated, as clients do.
    QTRY_COMPARE_WITH_TIMEOUT(ask(m_server->versionPort(), versionRequest, 500).data(),
                              QByteArray("1042#1.4.2,1050#1.5 beta#1"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(ask(m_server->bannerPort(), bannerRequest, 500).data(),
                              QByteArray("http://murmelo.example/b.png,http://murmelo.example/go"), 10000);
    QVERIFY(!flooder.hasPendingDatagrams());
}

void tst_UpdateServer::rateLimitPerSender()
{
    QVERIFY2(m_server->start(fullConfig, QHostAddress::LocalHost, 0, 0, {"--rate-limit", "5"}),
             qPrintable(m_server->errorString()));
    for (int i = 0; i < 50; ++i)
        m_socket->writeDatagram(newsRequest, m_server->address(), m_server->versionPort());
    // The burst arrives at once; then at most one more reply every 200 ms, so a pause of 300 ms
    // without a datagram means the server has stopped answering this sender.
    int replies = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    while (m_socket->waitForReadyRead(300)) {
        while (m_socket->hasPendingDatagrams()) {
            m_socket->receiveDatagram();
            ++replies;
        }
    }
    QVERIFY2(replies >= 5 && replies <= 5 + elapsed.elapsed() / 200 + 1, qPrintable(QString::number(replies)));
}

void tst_UpdateServer::reloadOnSighup()
{
    QVERIFY2(m_server->start("[stable]\nversion = 100\n"), qPrintable(m_server->errorString()));
    QCOMPARE(ask(m_server->versionPort(), versionRequest).data(), QByteArray("100"));
    QVERIFY2(m_server->reload(fullConfig), qPrintable(m_server->errorString()));
    QCOMPARE(ask(m_server->versionPort(), versionRequest).data(), QByteArray("1042#1.4.2,1050#1.5 beta#1"));
    QCOMPARE(ask(m_server->bannerPort(), bannerRequest).data(),
             QByteArray("http://murmelo.example/b.png,http://murmelo.example/go"));
}

void tst_UpdateServer::brokenReloadKeepsServing()
{
    QVERIFY2(m_server->start(fullConfig), qPrintable(m_server->errorString()));
    QVERIFY(!m_server->reload("[stable]\nversion = soon\n"));
    QCOMPARE(m_server->errorString(),
             QStringLiteral("murmelo-updated: %1:2: the version must be a whole number from 1 to 2147483647, not \"soon\"; "
                            "keeping the previous configuration").arg(m_server->configFile()));
    QCOMPARE(ask(m_server->versionPort(), versionRequest).data(), QByteArray("1042#1.4.2,1050#1.5 beta#1"));
    QVERIFY2(m_server->reload("[alpha]\nversion = 3\n"), qPrintable(m_server->errorString()));
    QCOMPARE(ask(m_server->versionPort(), versionRequest).data(), QByteArray(",,3"));
}

void tst_UpdateServer::badStart_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QByteArray good = "[stable]\nversion = 1\n";
    QTest::newRow("missing file") << QByteArray() << QStringList() << 1 << "cannot read %1: No such file or directory";
    QTest::newRow("syntax error") << good + "name\n" << QStringList() << 1 << "%1:3: expected \"key = value\" or \"[section]\"";
    QTest::newRow("news too long") << good + "[news]\ntext = " + QByteArray(5000, 'n') + "\n" << QStringList() << 1
                                   << "%1:4: the news text is 5000 bytes long, but clients read only 4095";
    QTest::newRow("port out of range") << good << QStringList{"--version-port", "70000"} << 2
                                       << "ports must be numbers from 0 to 65535";
    QTest::newRow("bind address not an address") << good << QStringList{"--bind", "localhost"} << 2
                                                  << "\"localhost\" is not an IP address";
    QTest::newRow("bind address not local") << good << QStringList{"--bind", "192.0.2.1"} << 1
                                            << "cannot listen for version requests on 192.0.2.1 port 0";
}

void tst_UpdateServer::badStart()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString configFile = dir.filePath("server.conf");
    if (!config.isEmpty())
        QVERIFY(writeFile(configFile, config));
    QProcess process;
    process.start(UpdateServerProcess::program(),
                  QStringList{"--version-port", "0", "--banner-port", "0"} + arguments + QStringList{configFile});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString errorOutput = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(errorOutput.startsWith("murmelo-updated: " + message.replace("%1", configFile)), qPrintable(errorOutput));
    QVERIFY(process.readAllStandardOutput().isEmpty());
}

void tst_UpdateServer::portTaken()
{
    QVERIFY2(m_server->start(fullConfig), qPrintable(m_server->errorString()));
    // A second server must not quietly share the port and take half the requests.
    UpdateServerProcess second;
    QVERIFY(!second.start(fullConfig, QHostAddress::LocalHost, m_server->versionPort(), 0));
    QVERIFY2(second.errorString().contains(QStringLiteral("cannot listen for version requests on 127.0.0.1 port %1")
                                               .arg(m_server->versionPort())),
             qPrintable(second.errorString()));
}

void tst_UpdateServer::standardPortsOnOwnAddress()
{
    QVERIFY2(m_server->startOnStandardPorts(fullConfig), qPrintable(m_server->errorString()));
    QCOMPARE(m_server->versionPort(), quint16(17384));
    QCOMPARE(m_server->bannerPort(), quint16(2009));
    QVERIFY(m_server->address() != QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(ask(17384, versionRequest).data(), QByteArray("1042#1.4.2,1050#1.5 beta#1"));
    QCOMPARE(ask(2009, bannerRequest).data(), QByteArray("http://murmelo.example/b.png,http://murmelo.example/go"));
}

void tst_UpdateServer::terminatesCleanly()
{
    QTemporaryDir dir;
    const QString configFile = dir.filePath("server.conf");
    QVERIFY(writeFile(configFile, "[stable]\nversion = 1\n"));
    QProcess process;
    process.start(UpdateServerProcess::program(), {"--version-port", "0", "--banner-port", "0", configFile});
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += process.readAllStandardOutput()).contains("listening on"), 10000);
    // systemd stops a service with SIGTERM and counts anything but a normal exit as a failure.
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_UpdateServer)
#include "tst_updateserver.moc"
