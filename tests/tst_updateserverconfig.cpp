#include "support/testfiles.h"
#include "tools/murmelo-updated/updateserverconfig.h"

#include <QTemporaryDir>
#include <QTest>

using Release = UpdateServerConfig::Release;

class tst_UpdateServerConfig : public QObject
{
    Q_OBJECT

private slots:
    void versionList_data();
    void versionList();
    void fullFile();
    void latin1OnTheWire();
    void emptyNewsIsTerminatorOnly_data();
    void emptyNewsIsTerminatorOnly();
    void sizeLimits_data();
    void sizeLimits();
    void rejects_data();
    void rejects();
    void loadMissingFile();
    void loadHugeFile();
};

void tst_UpdateServerConfig::versionList_data()
{
    QTest::addColumn<QList<Release>>("releases");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("all channels") << QList<Release>{{100, "1.0"}, {200, "2.0"}, {300, "3.0"}}
                                  << QByteArray("100#1.0,200#2.0,300#3.0");
    QTest::newRow("stable only") << QList<Release>{{100, "1.0"}, {}, {}} << QByteArray("100#1.0");
    QTest::newRow("beta keeps the stable place") << QList<Release>{{}, {300, "3.0"}, {}} << QByteArray(",300#3.0");
    QTest::newRow("alpha only") << QList<Release>{{}, {}, {7, {}}} << QByteArray(",,7");
    QTest::newRow("no name, no hash") << QList<Release>{{100, {}}} << QByteArray("100");
    QTest::newRow("hash inside the name") << QList<Release>{{100, "b#c"}} << QByteArray("100#b#c");
}

void tst_UpdateServerConfig::versionList()
{
    QFETCH(QList<Release>, releases);
    QFETCH(QByteArray, expected);
    QCOMPARE(UpdateServerConfig::versionList(releases), expected);
}

void tst_UpdateServerConfig::fullFile()
{
    const QByteArray file = "# comment\n"
                            "; another comment\n"
                            "[stable]\r\n"
                            "  version = 1042  \r\n"
                            "name=1.4.2\n"
                            "\n"
                            "[alpha]\n"
                            "version = 1100\n"
                            "[news]\n"
                            "text = <!--URL=https://murmelo.example/news-->New: 1.4.2, faster = better\n"
                            "[banner]\n"
                            "image = http://murmelo.example/b.png\n"
                            "click = https://murmelo.example/summer?a=1\n";
    UpdateServerConfig config;
    QString error;
    QVERIFY2(config.parse(file, "f.conf", &error), qPrintable(error));
    QCOMPARE(config.versionReply(), QByteArray("1042#1.4.2,,1100"));
    QCOMPARE(config.newsReply(), QByteArray("<!--URL=https://murmelo.example/news-->New: 1.4.2, faster = better"));
    QCOMPARE(config.bannerReply(), QByteArray("http://murmelo.example/b.png,https://murmelo.example/summer?a=1"));
}

void tst_UpdateServerConfig::latin1OnTheWire()
{
    // The file is UTF-8; the clients read Latin-1, so "ü" must leave as the single byte 0xFC.
    UpdateServerConfig config;
    QString error;
    QVERIFY2(config.parse("[stable]\nversion = 5\nname = Gr\xc3\xbc\x6e\n[news]\ntext = \xc2\xa9 Murmelo\n", "f", &error),
             qPrintable(error));
    QCOMPARE(config.versionReply(), QByteArray("5#Gr\xfcn"));
    QCOMPARE(config.newsReply(), QByteArray("\xa9 Murmelo"));
}

void tst_UpdateServerConfig::emptyNewsIsTerminatorOnly_data()
{
    QTest::addColumn<QByteArray>("news");
    QTest::newRow("no news section") << QByteArray();
    QTest::newRow("empty text") << QByteArray("[news]\ntext =\n");
}

void tst_UpdateServerConfig::emptyNewsIsTerminatorOnly()
{
    // An empty datagram could read as a failed receive on the client; a lone zero byte is empty text.
    QFETCH(QByteArray, news);
    UpdateServerConfig config;
    QString error;
    QVERIFY2(config.parse("[stable]\nversion = 1\n" + news, "f", &error), qPrintable(error));
    QCOMPARE(config.newsReply(), QByteArray(1, '\0'));
    QVERIFY(config.bannerReply().isEmpty());
}

void tst_UpdateServerConfig::sizeLimits_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("replySize");
    QTest::addColumn<bool>("accepted");

    // "1#" + name and ",2#" + name: 2 + 3 + 2 * 1 bytes of numbers and separators around the names.
    const auto versions = [](int size) {
        const int nameBytes = size - 5;
        return "[stable]\nversion = 1\nname = " + QByteArray(nameBytes / 2, 'a') + "\n[beta]\nversion = 2\nname = "
            + QByteArray(nameBytes - nameBytes / 2, 'b') + "\n";
    };
    QTest::newRow("version list of 511 bytes") << versions(511) << 511 << true;
    QTest::newRow("version list of 512 bytes") << versions(512) << 512 << false;

    const auto news = [](int size) { return "[stable]\nversion = 1\n[news]\ntext = " + QByteArray(size, 'n') + "\n"; };
    QTest::newRow("news of 4095 bytes") << news(4095) << 4095 << true;
    QTest::newRow("news of 4096 bytes") << news(4096) << 4096 << false;

    const auto banner = [](int size) {
        const QByteArray image = "http://h/" + QByteArray(size - 9 - 10, 'i');
        return "[stable]\nversion = 1\n[banner]\nimage = " + image + "\nclick = http://h/\n";
    };
    QTest::newRow("banner of 1024 bytes") << banner(1024) << 1024 << true;
    QTest::newRow("banner of 1025 bytes") << banner(1025) << 1025 << false;
}

void tst_UpdateServerConfig::sizeLimits()
{
    QFETCH(QByteArray, file);
    QFETCH(int, replySize);
    QFETCH(bool, accepted);
    UpdateServerConfig config;
    QString error;
    QCOMPARE(config.parse(file, "f", &error), accepted);
    if (accepted) {
        const int largest = std::max({config.versionReply().size(), config.newsReply().size(), config.bannerReply().size()});
        QCOMPARE(largest, replySize);
    } else {
        QVERIFY2(error.contains(QStringLiteral("is %1 bytes long").arg(replySize)), qPrintable(error));
    }
}

void tst_UpdateServerConfig::rejects_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message");

    const QByteArray stable = "[stable]\nversion = 1\n";
    QTest::newRow("no channel") << QByteArray("[news]\ntext = hi\n") << "f: no channel has a release";
    QTest::newRow("empty file") << QByteArray() << "f: no channel has a release";
    QTest::newRow("invalid UTF-8") << stable + "name = \xff\n" << "f:3: not valid UTF-8";
    QTest::newRow("unknown section") << QByteArray("[stabel]\nversion = 1\n") << "f:1: unknown section [stabel]";
    QTest::newRow("section twice") << stable + "[stable]\n" << "f:3: section [stable] appears a second time (first on line 1)";
    QTest::newRow("unterminated header") << QByteArray("[stable\n") << "f:1: a section header must end with \"]\"";
    QTest::newRow("key before section") << QByteArray("version = 1\n") << "f:1: \"version\" stands before the first section";
    QTest::newRow("line without =") << stable + "name 1.0\n" << "f:3: expected \"key = value\"";
    QTest::newRow("unknown key") << stable + "nmae = x\n" << "f:3: unknown key \"nmae\" in [stable]";
    QTest::newRow("key twice") << stable + "version = 2\n" << "f:3: \"version\" is set a second time in [stable] (first on line 2)";
    QTest::newRow("channel without version") << QByteArray("[beta]\nname = x\n") << "f:1: [beta] has no version";
    QTest::newRow("version not a number") << QByteArray("[stable]\nversion = 1.0\n") << "f:2: the version must be a whole number";
    QTest::newRow("version 0") << QByteArray("[stable]\nversion = 0\n") << "f:2: the version must be a whole number";
    QTest::newRow("version with sign") << QByteArray("[stable]\nversion = +5\n") << "f:2: the version must be a whole number";
    QTest::newRow("version too large") << QByteArray("[stable]\nversion = 2147483648\n") << "f:2: the version must be a whole number";
    QTest::newRow("version empty") << QByteArray("[stable]\nversion =\n") << "f:2: the version must be a whole number";
    QTest::newRow("comma in name") << stable + "name = 1,0\n" << "f:3: version name: a comma would split";
    QTest::newRow("name beyond Latin-1") << stable + "name = 1.0 \xe2\x82\xac\n" << "f:3: version name: the character U+20AC is not Latin-1";
    QTest::newRow("control character") << stable + "name = a\tb\n" << "f:3: version name: control characters";
    QTest::newRow("news beyond Latin-1") << stable + "[news]\ntext = 5 \xe2\x82\xac\n" << "f:4: news text: the character U+20AC is not Latin-1, the clients' text encoding (write it as the HTML reference &#8364;)";
    QTest::newRow("news without text") << stable + "[news]\n" << "f:3: [news] has no text";
    QTest::newRow("banner without click") << stable + "[banner]\nimage = http://h/i.png\n" << "f:3: [banner] has no click URL";
    QTest::newRow("comma in image URL") << stable + "[banner]\nimage = http://h/a,b.png\nclick = http://h/\n" << "f:4: image URL: a comma would split";
    QTest::newRow("image not over HTTP") << stable + "[banner]\nimage = ftp://h/i.png\nclick = http://h/\n" << "f:4: the image URL must use http or https";
    QTest::newRow("relative click URL") << stable + "[banner]\nimage = http://h/i.png\nclick = /summer\n" << "f:5: \"/summer\" is not an absolute URL with a host";
}

void tst_UpdateServerConfig::rejects()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    UpdateServerConfig config;
    QString error;
    QVERIFY(!config.parse(file, "f", &error));
    QVERIFY2(error.startsWith(message), qPrintable(error));
}

void tst_UpdateServerConfig::loadMissingFile()
{
    QTemporaryDir dir;
    const QString fileName = dir.filePath("absent.conf");
    UpdateServerConfig config;
    QString error;
    QVERIFY(!config.load(fileName, &error));
    QCOMPARE(error, QStringLiteral("cannot read %1: No such file or directory").arg(fileName));
}

void tst_UpdateServerConfig::loadHugeFile()
{
    QTemporaryDir dir;
    const QString configFile = dir.filePath("huge.conf");
    QVERIFY(writeFile(configFile, "[stable]\nversion = 1\n" + QByteArray(100000, '#')));
    UpdateServerConfig config;
    QString error;
    QVERIFY(!config.load(configFile, &error));
    QVERIFY2(error.contains("not a configuration file"), qPrintable(error));
}

QTEST_GUILESS_MAIN(tst_UpdateServerConfig)
#include "tst_updateserverconfig.moc"
