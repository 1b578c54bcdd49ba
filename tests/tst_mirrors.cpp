#include "net/mirrors.h"
#include "support/mirrorseed.h"
#include "support/testfiles.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_Mirrors : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsMirrorSections_data();
    void readsMirrorSections();
    void missingListMeansNoMirrors();
    void claimedSizeBoundedByEntries_data();
    void claimedSizeBoundedByEntries();
    void drawIsWeightedByFreeSlots_data();
    void drawIsWeightedByFreeSlots();
    void allBusyChangesNothing();
    void lastMirrorReportedOnce();
    void errorsRemoveMirror_data();
    void errorsRemoveMirror();
    void alphaMirror();
    void alphaWithoutUrlIsFatal();
    void duplicateNamesActOnFirst();
    void unknownNamesAreIgnored();

private:
    QString writeIni(const QByteArray &contents);
    std::unique_ptr<Mirrors> load(const QByteArray &contents);

    QTemporaryDir dir;
};

QString tst_Mirrors::writeIni(const QByteArray &contents)
{
    // QSettings caches a file by name, size and time stamp: a rewrite within the same second can go unseen.
    static int count = 0;
    const QString path = dir.filePath(QStringLiteral("mirrors%1.ini").arg(++count));
    return writeFile(path, contents) ? path : QString();
}

std::unique_ptr<Mirrors> tst_Mirrors::load(const QByteArray &contents)
{
    auto mirrors = std::make_unique<Mirrors>();
    if (!mirrors->initDefault(writeIni(contents), 3021))
        return {};
    return mirrors;
}

void tst_Mirrors::readsMirrorSections_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("maxUses");
    QTest::addColumn<int>("retries");

    QTest::newRow("http") << QByteArray("url=http://a.example/client\nretries=5")
                          << "http://a.example/client/3021" << 3 << 5;
    QTest::newRow("https upper case, trailing slash") << QByteArray("url=HTTPS://a.example/client/")
                                                      << "HTTPS://a.example/client/3021" << 3 << 2;
    QTest::newRow("mixed case") << QByteArray("url=hTtP://a.example") << "hTtP://a.example/3021" << 3 << 2;
    QTest::newRow("ftp") << QByteArray("url=ftp://a.example/c") << "ftp://a.example/c/3021" << 1 << 2;
    QTest::newRow("no scheme") << QByteArray("url=a.example/c") << "a.example/c/3021" << 1 << 2;
    QTest::newRow("http without slashes") << QByteArray("url=http:a.example") << "http:a.example/3021" << 1 << 2;
    QTest::newRow("no section") << QByteArray() << "/3021" << 1 << 2;
    QTest::newRow("retries 0") << QByteArray("retries=0") << "/3021" << 1 << 2;
    QTest::newRow("retries not a number") << QByteArray("retries=abc") << "/3021" << 1 << 2;
    QTest::newRow("retries negative") << QByteArray("retries=-1") << "/3021" << 1 << 2;
    QTest::newRow("retries beyond int") << QByteArray("retries=3000000000") << "/3021" << 1 << 2;
}

void tst_Mirrors::readsMirrorSections()
{
    QFETCH(QByteArray, section);
    QFETCH(QString, url);
    QFETCH(int, maxUses);
    QFETCH(int, retries);

    QByteArray ini = "[mirrors]\nsize=2\n1\\mirror=first\n2\\mirror=Second Mirror\n";
    if (!section.isEmpty())
        ini += "[Second%20Mirror]\n" + section + "\n";
    const auto mirrors = load(ini);
    QVERIFY(mirrors);

    QCOMPARE(mirrors->getMirrorList().size(), 2);
    QCOMPARE(mirrors->getMirrorIndex("first"), 0);
    QCOMPARE(mirrors->getMirrorIndex("second mirror"), -1);
    const FTPSiteAccessData &mirror = mirrors->getMirrorList().at(1);
    QCOMPARE(mirror.name, QStringLiteral("Second Mirror"));
    QCOMPARE(mirror.url, url);
    QCOMPARE(mirror.maxUses, maxUses);
    QCOMPARE(mirror.retries, retries);
    QCOMPARE(mirror.timeoutTicks, 15);
    QCOMPARE(mirror.useCount, 0);
    QCOMPARE(mirror.errorCount, 0);
}

void tst_Mirrors::missingListMeansNoMirrors()
{
    Mirrors mirrors;
    QVERIFY(mirrors.initDefault(dir.filePath("does-not-exist.ini"), 1));
    QVERIFY(mirrors.getMirrorList().isEmpty());
    const auto noSize = load("[mirrors]\n1\\mirror=a\n[a]\nurl=http://a\n");
    QVERIFY(noSize->getMirrorList().isEmpty());
}

void tst_Mirrors::claimedSizeBoundedByEntries_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("size 100000000, two entries")
        << QByteArray("size=100000000\n2\\mirror=b\n1\\mirror=a\n") << QStringList{ "a", "b" };
    QTest::newRow("numbers in numeric order") << QByteArray("size=12\n10\\mirror=ten\n9\\mirror=nine\n")
                                              << QStringList{ "nine", "ten" };
    QTest::newRow("a gap is no mirror") << QByteArray("size=3\n1\\mirror=a\n3\\mirror=c\n")
                                        << QStringList{ "a", "c" };
    QTest::newRow("entries beyond the size ignored") << QByteArray("size=1\n1\\mirror=a\n2\\mirror=b\n")
                                                     << QStringList{ "a" };
    QTest::newRow("numbers written otherwise ignored")
        << QByteArray("size=3\n01\\mirror=x\n+2\\mirror=y\n3\\mirror=c\n") << QStringList{ "c" };
    QTest::newRow("negative size") << QByteArray("size=-5\n1\\mirror=a\n") << QStringList();
}

// The claimed size cost over 100 s and 1.8 GB before; now the work follows the entries the file holds.
void tst_Mirrors::claimedSizeBoundedByEntries()
{
    QFETCH(QByteArray, list);
    QFETCH(QStringList, names);

    QElapsedTimer clock;
    clock.start();
    const auto mirrors = load("[mirrors]\n" + list);
    QVERIFY2(clock.elapsed() < 20000, QByteArray::number(clock.elapsed())); // a hang guard
    QStringList loaded;
    for (const FTPSiteAccessData &mirror : mirrors->getMirrorList())
        loaded << mirror.name;
    QCOMPARE(loaded, names);
}

// First mirror: 3 slots, one in use; second: 1 slot, free. Three free slots in all.
void tst_Mirrors::drawIsWeightedByFreeSlots_data()
{
    QTest::addColumn<quint32>("draw");
    QTest::addColumn<QString>("chosen");
    QTest::newRow("draw 0") << 0u << "web";
    QTest::newRow("draw 1") << 1u << "web";
    QTest::newRow("draw 2") << 2u << "ftp";
}

void tst_Mirrors::drawIsWeightedByFreeSlots()
{
    QFETCH(quint32, draw);
    QFETCH(QString, chosen);

    const auto mirrors = load("[mirrors]\nsize=2\n1\\mirror=web\n2\\mirror=ftp\n"
                              "[web]\nurl=http://w\n[ftp]\nurl=ftp://f\n");
    FTPSiteAccessData out;
    mirrors->seedRandom(seedForDraw(4, 0));
    QCOMPARE(mirrors->getRandomMirror(out), int(Mirrors::MirrorChosen));
    QCOMPARE(out.name, QStringLiteral("web"));

    mirrors->seedRandom(seedForDraw(3, draw));
    QCOMPARE(mirrors->getRandomMirror(out), int(Mirrors::MirrorChosen));
    QCOMPARE(out.name, chosen);
    QCOMPARE(out.useCount, chosen == "web" ? 2 : 1);
    QCOMPARE(out.url, chosen == "web" ? QStringLiteral("http://w/3021") : QStringLiteral("ftp://f/3021"));

    int total = 0;
    int used = 0;
    mirrors->calcUseStats(total, used);
    QCOMPARE(total, 4);
    QCOMPARE(used, 2);
}

void tst_Mirrors::allBusyChangesNothing()
{
    const auto mirrors = load("[mirrors]\nsize=1\n1\\mirror=only\n[only]\nurl=only.example\n");
    QSignalSpy messages(mirrors.get(), &Mirrors::message);
    FTPSiteAccessData out;
    QCOMPARE(mirrors->getRandomMirror(out), int(Mirrors::MirrorChosen));
    QCOMPARE(out.useCount, 1);

    FTPSiteAccessData untouched;
    QCOMPARE(mirrors->getRandomMirror(untouched), int(Mirrors::AllMirrorsBusy));
    QVERIFY(untouched.name.isEmpty());
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 1);
    QVERIFY(messages.isEmpty());

    mirrors->releaseMirror("only");
    QCOMPARE(mirrors->getRandomMirror(untouched), int(Mirrors::MirrorChosen));
}

void tst_Mirrors::lastMirrorReportedOnce()
{
    const auto mirrors = load("[mirrors]\nsize=1\n1\\mirror=only\n");
    QSignalSpy messages(mirrors.get(), &Mirrors::message);
    FTPSiteAccessData out;
    QCOMPARE(mirrors->getRandomMirror(out), int(Mirrors::MirrorChosen));
    mirrors->removeMirror("only");
    QVERIFY(messages.isEmpty());
    for (int i = 0; i < 3; ++i)
        QCOMPARE(mirrors->getRandomMirror(out), int(Mirrors::NoMirrorAvailable));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("There are no (more) known working mirrors available"));
}

void tst_Mirrors::errorsRemoveMirror_data()
{
    QTest::addColumn<QByteArray>("retries");
    QTest::addColumn<int>("removedOnError");
    QTest::newRow("default") << QByteArray() << 3;
    QTest::newRow("retries=0") << QByteArray("retries=0") << 3;
    QTest::newRow("retries=1") << QByteArray("retries=1") << 2;
    QTest::newRow("retries=4") << QByteArray("retries=4") << 5;
}

void tst_Mirrors::errorsRemoveMirror()
{
    QFETCH(QByteArray, retries);
    QFETCH(int, removedOnError);

    const auto mirrors = load("[mirrors]\nsize=2\n1\\mirror=bad\n2\\mirror=good\n[bad]\n" + retries + "\n");
    QSignalSpy messages(mirrors.get(), &Mirrors::message);
    for (int error = 1; error < removedOnError; ++error)
        mirrors->addMirrorError("bad");
    QCOMPARE(mirrors->getMirrorList().at(0).errorCount, removedOnError - 1);
    QVERIFY(messages.isEmpty());

    mirrors->addMirrorError("bad");
    QCOMPARE(mirrors->getMirrorIndex("bad"), -1);
    QCOMPARE(mirrors->getMirrorList().size(), 1);
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Mirror bad failed too many times, removing"));
}

void tst_Mirrors::alphaMirror()
{
    const QString path = dir.filePath("update.ini");
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue("Channel/alpha", "HTTP://alpha.example/client");
    }
    Mirrors mirrors;
    QVERIFY(mirrors.initAlpha(path, 777));
    QCOMPARE(mirrors.getMirrorList().size(), 1);
    const FTPSiteAccessData alpha = mirrors.getMirrorList().at(0);
    QCOMPARE(alpha.name, QStringLiteral("Alpha Channel"));
    QCOMPARE(alpha.url, QStringLiteral("HTTP://alpha.example/client/777"));
    QCOMPARE(alpha.maxUses, 1);
    QCOMPARE(alpha.retries, 4);

    for (int i = 0; i < 4; ++i)
        mirrors.addMirrorError("Alpha Channel");
    QCOMPARE(mirrors.getMirrorIndex("Alpha Channel"), 0);
    mirrors.addMirrorError("Alpha Channel");
    QCOMPARE(mirrors.getMirrorIndex("Alpha Channel"), -1);
}

void tst_Mirrors::alphaWithoutUrlIsFatal()
{
    const QString path = dir.filePath("update-no-alpha.ini");
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue("Channel/beta", true);
    }
    Mirrors mirrors;
    QSignalSpy fatal(&mirrors, &Mirrors::fatalError);
    QVERIFY(!mirrors.initAlpha(path, 777));
    QCOMPARE(fatal.size(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(),
             QStringLiteral("Alpha parameter in channel section in update ini file not found"));
    QVERIFY(mirrors.getMirrorList().isEmpty());
}

void tst_Mirrors::duplicateNamesActOnFirst()
{
    const auto mirrors = load("[mirrors]\nsize=3\n1\\mirror=twin\n2\\mirror=other\n3\\mirror=twin\n"
                              "[twin]\nurl=http://t\n");
    const QVector<FTPSiteAccessData> &list = mirrors->getMirrorList();
    QCOMPARE(list.size(), 3);
    QCOMPARE(list.at(2).url, QStringLiteral("http://t/3021"));
    QCOMPARE(list.at(2).maxUses, 3);

    mirrors->addMirrorError("twin");
    mirrors->releaseMirror("twin");
    QCOMPARE(list.at(0).errorCount, 1);
    QCOMPARE(list.at(0).useCount, -1);
    QCOMPARE(list.at(2).errorCount, 0);
    QCOMPARE(list.at(2).useCount, 0);

    mirrors->removeMirror("twin");
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0).name, QStringLiteral("other"));
    QCOMPARE(list.at(1).errorCount, 0);
}

void tst_Mirrors::unknownNamesAreIgnored()
{
    const auto mirrors = load("[mirrors]\nsize=1\n1\\mirror=only\n");
    QSignalSpy messages(mirrors.get(), &Mirrors::message);
    for (int i = 0; i < 5; ++i) {
        mirrors->addMirrorError("Only");
        mirrors->releaseMirror("Only");
        mirrors->removeMirror("Only");
    }
    QCOMPARE(mirrors->getMirrorList().size(), 1);
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
    QCOMPARE(mirrors->getMirrorList().at(0).errorCount, 0);
    QVERIFY(messages.isEmpty());
}

QTEST_GUILESS_MAIN(tst_Mirrors)
#include "tst_mirrors.moc"
