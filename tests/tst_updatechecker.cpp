#include "app/updatechecker.h"
#include "support/udptestserver.h"

#include <QElapsedTimer>
#include <QTest>
#include <QUdpSocket>

using Pair = QPair<QString, QString>;

class tst_UpdateChecker : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void versionList_data();
    void versionList();
    void newsText_data();
    void newsText();
    void requestsAreTwoBytes();
    void secondReplyMissingTimesOut();
    void noServerFailsAtOnce();
    void replyFromOtherAddressIsIgnored();
    void repeatedQueryStartsAfresh();

private:
    static UdpTestServer::Handler answer(const QByteArray &versions, const QByteArray &news);
};

UdpTestServer::Handler tst_UpdateChecker::answer(const QByteArray &versions, const QByteArray &news)
{
    return [versions, news](const UdpTestServer::Request &request) {
        return request.data.startsWith('3') ? versions : news;
    };
}

void tst_UpdateChecker::cleanup()
{
    UpdateChecker::setPortForTesting(0);
}

void tst_UpdateChecker::versionList_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("channel");
    QTest::addColumn<Pair>("expected");
    QTest::addColumn<int>("entries");

    QTest::newRow("beta of two") << QByteArray("100#1.0,200#2.0") << int(Beta) << Pair("200", "2.0") << 2;
    QTest::newRow("alpha missing") << QByteArray("100#1.0,200#2.0") << int(Alpha) << Pair() << 2;
    QTest::newRow("number alone") << QByteArray("100") << int(Stable) << Pair("100", "") << 1;
    QTest::newRow("split at first #") << QByteArray("a#b#c") << int(Stable) << Pair("a", "b#c") << 1;
    QTest::newRow("empty stable keeps its place, beta") << QByteArray(",300#3.0") << int(Beta)
                                                        << Pair("300", "3.0") << 2;
    QTest::newRow("empty stable keeps its place, stable") << QByteArray(",300#3.0") << int(Stable)
                                                          << Pair("", "") << 2;
    QTest::newRow("trailing comma") << QByteArray("1,2,") << int(Alpha) << Pair("", "") << 3;
    QTest::newRow("zero byte ends the list") << QByteArray("100#1.0\0,200#2.0", 16) << int(Beta) << Pair()
                                             << 1;
    QTest::newRow("latin-1 name") << QByteArray("100#Gr\xfc\xdf") << int(Stable)
                                  << Pair("100", QString::fromUtf8("Gr\xc3\xbc\xc3\x9f")) << 1;
    QTest::newRow("cut after 511 bytes") << QByteArray("1#") + QByteArray(600, 'x') << int(Stable)
                                         << Pair("1", QString(509, QLatin1Char('x'))) << 1;
    QTest::newRow("empty datagram") << QByteArray("") << int(Stable) << Pair("", "") << 1;
}

void tst_UpdateChecker::versionList()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, channel);
    QFETCH(Pair, expected);
    QFETCH(int, entries);

    UdpTestServer server(answer(reply, "news"));
    UpdateChecker::setPortForTesting(server.port());
    UpdateChecker checker(QStringLiteral("127.0.0.1"));
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.versionList.size(), entries);
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel(channel)), expected);
    QCOMPARE(checker.newsText, QStringLiteral("news"));
}

void tst_UpdateChecker::newsText_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << QByteArray("<b>Hello</b>") << QStringLiteral("<b>Hello</b>");
    QTest::newRow("zero byte ends it") << QByteArray("Hello\0World", 11) << QStringLiteral("Hello");
    QTest::newRow("5000 bytes keep 4095") << QByteArray(5000, 'n') << QString(4095, QLatin1Char('n'));
    QTest::newRow("latin-1") << QByteArray("Sch\xf6n") << QString::fromUtf8("Sch\xc3\xb6n");
}

void tst_UpdateChecker::newsText()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, expected);

    UdpTestServer server(answer("1", reply));
    UpdateChecker::setPortForTesting(server.port());
    UpdateChecker checker(QStringLiteral("127.0.0.1"));
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.newsText, expected);
}

void tst_UpdateChecker::requestsAreTwoBytes()
{
    UdpTestServer server(answer("1", "n"));
    UpdateChecker::setPortForTesting(server.port());
    UpdateChecker checker(QStringLiteral("localhost"));
    QVERIFY(checker.checkUpdate());
    QCOMPARE(server.requests(), (QList<QByteArray>{QByteArray("3\0", 2), QByteArray("*\0", 2)}));
}

void tst_UpdateChecker::secondReplyMissingTimesOut()
{
    UdpTestServer server([](const UdpTestServer::Request &request) {
        return request.index == 0 ? QByteArray("100#1.0") : QByteArray();
    });
    UpdateChecker::setPortForTesting(server.port());
    UpdateChecker checker(QStringLiteral("127.0.0.1"));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!checker.checkUpdate());
    QVERIFY2(timer.elapsed() >= 4900, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(checker.getClientVersionByChannel(Stable), Pair("100", "1.0"));
    QCOMPARE(server.requests().size(), 2);
}

void tst_UpdateChecker::noServerFailsAtOnce()
{
    quint16 closedPort;
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        closedPort = probe.localPort();
    }
    UpdateChecker::setPortForTesting(closedPort);
    UpdateChecker checker(QStringLiteral("127.0.0.1"));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!checker.checkUpdate());
    QVERIFY(timer.elapsed() < 4000);
}

// A forged datagram from another port arrives before the server's own reply; only the server's counts.
void tst_UpdateChecker::replyFromOtherAddressIsIgnored()
{
    UdpTestServer server([](const UdpTestServer::Request &request) {
        QUdpSocket forger;
        forger.writeDatagram(request.index == 0 ? "999#forged" : "forged news", request.peer, request.peerPort);
        return request.index == 0 ? QByteArray("100#1.0") : QByteArray("news");
    });
    UpdateChecker::setPortForTesting(server.port());
    UpdateChecker checker(QStringLiteral("127.0.0.1"));
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientVersionByChannel(Stable), Pair("100", "1.0"));
    QCOMPARE(checker.newsText, QStringLiteral("news"));
}

void tst_UpdateChecker::repeatedQueryStartsAfresh()
{
    UdpTestServer server(answer("100,200", "news"));
    UpdateChecker::setPortForTesting(server.port());
    UpdateChecker checker(QStringLiteral("127.0.0.1"));
    QVERIFY(checker.checkUpdate());
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.versionList.size(), 2);
}

QTEST_GUILESS_MAIN(tst_UpdateChecker)
#include "tst_updatechecker.moc"
