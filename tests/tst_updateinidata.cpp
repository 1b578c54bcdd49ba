#include "support/testinstallation.h"
#include "update/updateinidata.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class tst_UpdateIniData : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void modifyThenGetKeepsArgumentOrders();
    void versionZeroIsValid();
    void nullOutputsAreSkipped();
    void invalidRecordLeavesOutputsAlone_data();
    void invalidRecordLeavesOutputsAlone();
    void cleanupKeepsOtherGroups();

private:
    void writeRecord(const QVariant &version, const QString &dir, const QString &type);

    TestInstallation root;
    QTemporaryDir runDir;
};

void tst_UpdateIniData::init()
{
    QVERIFY(root.isValid());
    QVERIFY(runDir.isValid());
    QFile::remove(root.filePath("update.ini"));
}

void tst_UpdateIniData::writeRecord(const QVariant &version, const QString &dir, const QString &type)
{
    QSettings settings(root.filePath("update.ini"), QSettings::IniFormat);
    settings.setValue("current/version", version);
    settings.setValue("current/dir", dir);
    settings.setValue("current/type", type);
}

void tst_UpdateIniData::modifyThenGetKeepsArgumentOrders()
{
    QCOMPARE(UpdateIniData::filename(), root.filePath("update.ini"));
    UpdateIniData::modify(4711, runDir.path(), "client_linux_x86");

    int version = -1;
    QString type;
    QString dir;
    QVERIFY(UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, 4711);
    QCOMPARE(type, QString("client_linux_x86"));
    QCOMPARE(dir, runDir.path());
}

void tst_UpdateIniData::versionZeroIsValid()
{
    writeRecord("0", runDir.path(), "client_linux_amd64");
    int version = -1;
    QVERIFY(UpdateIniData::get(&version, nullptr, nullptr));
    QCOMPARE(version, 0);
}

void tst_UpdateIniData::nullOutputsAreSkipped()
{
    UpdateIniData::modify(12, runDir.path(), "client_linux_amd64");
    QString dir;
    QVERIFY(UpdateIniData::get(nullptr, nullptr, &dir));
    QCOMPARE(dir, runDir.path());
}

void tst_UpdateIniData::invalidRecordLeavesOutputsAlone_data()
{
    QTest::addColumn<QVariant>("version");
    QTest::addColumn<bool>("existingDir");
    QTest::addColumn<QString>("type");

    QTest::newRow("non-numeric version") << QVariant("12a") << true << "client_linux_amd64";
    QTest::newRow("missing version") << QVariant() << true << "client_linux_amd64";
    QTest::newRow("empty type") << QVariant(12) << true << "";
    QTest::newRow("directory gone") << QVariant(12) << false << "client_linux_amd64";
}

void tst_UpdateIniData::invalidRecordLeavesOutputsAlone()
{
    QFETCH(QVariant, version);
    QFETCH(bool, existingDir);
    QFETCH(QString, type);

    writeRecord(version, existingDir ? runDir.path() : root.filePath("gone"), type);
    int outVersion = -1;
    QString outType = "untouched";
    QString outDir = "untouched";
    QVERIFY(!UpdateIniData::get(&outVersion, &outType, &outDir));
    QCOMPARE(outVersion, -1);
    QCOMPARE(outType, QString("untouched"));
    QCOMPARE(outDir, QString("untouched"));
}

void tst_UpdateIniData::cleanupKeepsOtherGroups()
{
    {
        QSettings settings(root.filePath("update.ini"), QSettings::IniFormat);
        settings.setValue("Channel/alpha", "http://alpha.example/");
        settings.setValue("update/streams", 3);
    }
    UpdateIniData::modify(7, runDir.path(), "client_linux_amd64");
    UpdateIniData::cleanup();

    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
    QSettings settings(root.filePath("update.ini"), QSettings::IniFormat);
    QCOMPARE(settings.childGroups(), QStringList({"Channel", "update"}));
    QCOMPARE(settings.value("Channel/alpha").toString(), QString("http://alpha.example/"));
    QCOMPARE(settings.value("update/streams").toInt(), 3);
}

QTEST_GUILESS_MAIN(tst_UpdateIniData)
#include "tst_updateinidata.moc"
