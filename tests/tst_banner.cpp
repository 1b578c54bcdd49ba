#include "net/banner.h"
#include "support/testinstallation.h"

#include <QNetworkDatagram>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

// A banner server on 127.0.0.1 that records the requests and answers by hand.
class BannerServer
{
public:
    BannerServer() { QVERIFY(socket.bind(QHostAddress::LocalHost, 0)); }

    QUdpSocket socket;
    QList<QNetworkDatagram> requests;

    bool collect()
    {
        while (socket.hasPendingDatagrams())
            requests.append(socket.receiveDatagram());
        return true;
    }
    void answer(const QByteArray &data)
    {
        const QNetworkDatagram &request = requests.last();
        socket.writeDatagram(data, request.senderAddress(), request.senderPort());
    }
};

class tst_Banner : public QObject
{
    Q_OBJECT

private slots:
    void answer_data();
    void answer();
    void ignoresForeignSender();
    void twoRequestsThenSilence();
    void lateAnswerToFirstRequest();
    void ipv6OnlyHostSendsNothing();

    void cleanup();

private:
    Banner *startBanner(quint16 port, int retryInterval, const QString &host = "127.0.0.1");

    TestInstallation installDir;
};

// The server's host name comes from update.ini in the installation directory.
Banner *tst_Banner::startBanner(quint16 port, int retryInterval, const QString &host)
{
    QSettings(installDir.filePath("update.ini"), QSettings::IniFormat)
            .setValue(QStringLiteral("update/server"), host);
    Banner::setPortForTesting(port);
    Banner::setRetryIntervalForTesting(retryInterval);
    auto banner = new Banner(this);
    banner->run();
    return banner;
}

void tst_Banner::cleanup()
{
    qDeleteAll(findChildren<Banner *>());
    Banner::setPortForTesting(0);
    Banner::setRetryIntervalForTesting(0);
}

void tst_Banner::answer_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("bannerUrl");
    QTest::addColumn<QString>("clickUrl");

    QTest::newRow("two parts") << QByteArray("http://h/b.png,http://h/page") << true
                               << "http://h/b.png" << "http://h/page";
    QTest::newRow("leading comma") << QByteArray(",http://h/page") << true << "" << "http://h/page";
    QTest::newRow("trailing comma") << QByteArray("http://h/b.png,") << true << "http://h/b.png" << "";
    QTest::newRow("blanks kept") << QByteArray(" a , b ") << true << " a " << " b ";
    QTest::newRow("latin-1") << QByteArray("caf\xe9,x") << true << QString::fromUtf8("café") << "x";
    QTest::newRow("no comma") << QByteArray("http://h/b.png") << false << "" << "";
    QTest::newRow("two commas") << QByteArray("a,b,c") << false << "" << "";
    QTest::newRow("empty") << QByteArray() << false << "" << "";
    QTest::newRow("cut at 1024") << QByteArray(500, 'x') + ',' + QByteArray(999, 'y') << true
                                 << QString(500, 'x') << QString(523, 'y');
    QTest::newRow("comma after the cut") << QByteArray(1100, 'x') + ",y" << false << "" << "";
}

void tst_Banner::answer()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, found);

    BannerServer server;
    const int retryInterval = 400;
    Banner *banner = startBanner(server.socket.localPort(), retryInterval);
    QSignalSpy spy(banner, &Banner::bannerFound);
    QTRY_VERIFY(server.collect() && server.requests.size() == 1);
    QCOMPARE(server.requests.first().data(), QByteArray("\x01\x01", 2));

    server.answer(datagram);
    if (found) {
        QTRY_COMPARE(spy.size(), 1);
        QTEST(spy.first().at(0).toString(), "bannerUrl");
        QTEST(spy.first().at(1).toString(), "clickUrl");
    } else {
        // An unusable answer ends the exchange: the repeat must not go out either.
        QTest::qWait(2 * retryInterval);
        QCOMPARE(spy.size(), 0);
    }
    server.collect();
    QCOMPARE(server.requests.size(), 1);
}

// Regression: any host could otherwise choose the image we fetch and the page a click opens.
void tst_Banner::ignoresForeignSender()
{
    BannerServer server;
    Banner *banner = startBanner(server.socket.localPort(), 5000);
    QSignalSpy spy(banner, &Banner::bannerFound);
    QTRY_VERIFY(server.collect() && server.requests.size() == 1);

    QUdpSocket forger;
    QVERIFY(forger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    forger.writeDatagram("http://evil/b.png,http://evil/", QHostAddress::LocalHost,
                         server.requests.first().senderPort());
    QTest::qWait(100);
    QCOMPARE(spy.size(), 0);

    server.answer("http://good/b.png,http://good/");
    QTRY_COMPARE(spy.size(), 1);
    QCOMPARE(spy.first().at(0).toString(), QStringLiteral("http://good/b.png"));
}

void tst_Banner::twoRequestsThenSilence()
{
    BannerServer server;
    QElapsedTimer clock;
    clock.start();
    startBanner(server.socket.localPort(), 100);
    QTRY_VERIFY(server.collect() && server.requests.size() == 1);
    const qint64 first = clock.elapsed();
    QTRY_VERIFY(server.collect() && server.requests.size() == 2);
    QVERIFY(clock.elapsed() - first >= 90);

    QTest::qWait(500);
    server.collect();
    QCOMPARE(server.requests.size(), 2);
}

void tst_Banner::lateAnswerToFirstRequest()
{
    BannerServer server;
    Banner *banner = startBanner(server.socket.localPort(), 100);
    QSignalSpy spy(banner, &Banner::bannerFound);
    QTRY_VERIFY(server.collect() && server.requests.size() == 2);
    server.answer("a,b");
    QTRY_COMPARE(spy.size(), 1);
}

void tst_Banner::ipv6OnlyHostSendsNothing()
{
    QUdpSocket server;
    if (!server.bind(QHostAddress::LocalHostIPv6, 0))
        QSKIP("no IPv6 loopback");
    startBanner(server.localPort(), 50, QStringLiteral("::1"));
    QTest::qWait(300);
    QVERIFY(!server.hasPendingDatagrams());
}

QTEST_GUILESS_MAIN(tst_Banner)
#include "tst_banner.moc"
