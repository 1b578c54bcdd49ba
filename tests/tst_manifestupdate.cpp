// The built updater against a private nginx mirror that serves a release published with a release
// manifest: a normal update accepts it and records its version; a rollback to an older release than one
// accepted before, a frozen (expired) release and files whose MD5 sums are right but whose SHA-256 sums
// are not are refused, and the installation stays as it was.

#include "net/crypt.h"
#include "net/manifestkey.h"
#include "net/releasemanifest.h"
#include "support/childprocess.h"
#include "support/driverlog.h"
#include "support/mirrorsini.h"
#include "support/nginxserver.h"
#include "support/runcommand.h"
#include "support/testfiles.h"
#include "support/updateserverprocess.h"
#include "update/inidownloadtaskspecification.h"

#include <QDir>
#include <QDirIterator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Tree = QMap<QString, QByteArray>; // relative path -> contents

const QString ClientType = QStringLiteral("client_linux_amd64");
constexpr int Version = 5042;
constexpr int RunTimeoutMs = 60000;
const QString binDir = QStringLiteral(MURMELO_BINARY_DIR "/bin");
const QString sourceDir = QStringLiteral(MURMELO_SOURCE_DIR);
const QStringList updaterFiles = {QStringLiteral("update"), QStringLiteral("update.ini"), QStringLiteral("mirrors.ini")};

enum Tamper { Nothing, Remove, Expire, FileSha256, UnpackedSha256 };

Tree readTree(const QString &dir)
{
    Tree tree;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(dir).relativeFilePath(it.next());
        if (!updaterFiles.contains(relative))
            tree.insert(relative, readFile(it.filePath()));
    }
    return tree;
}

Tree oldRelease()
{
    return {{QStringLiteral("mx4client_runscript.sh"), "#!/bin/sh\nexit 0\n"},
            {QStringLiteral("readme.txt"), "old\n"}};
}

Tree newRelease()
{
    QByteArray map;
    for (int row = 0; row < 2000; ++row)
        map += "row " + QByteArray::number(row) + '\n';
    return {{QStringLiteral("mx4client_runscript.sh"), "#!/bin/sh\nexit 0\n"},
            {QStringLiteral("readme.txt"), "new\n"},
            {QStringLiteral("data/levels.txt"), QByteArray(40000, 'l')},
            {QStringLiteral("textures/world.map"), map}};
}

} // namespace

class tst_ManifestUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void update_data();
    void update();

private:
    bool publish(const QString &root, Tamper tamper, QString *error);
};

void tst_ManifestUpdate::initTestCase()
{
    if (!QFileInfo(NginxServer::program()).isExecutable())
        QSKIP("nginx is not installed (scripts/install-deps installs it)");
    for (const char *program : {"update", "murmelo-publish", "murmelo-updated"})
        QVERIFY2(QFileInfo(binDir + QLatin1Char('/') + QLatin1String(program)).isExecutable(), program);
    crypt_init();
}

// Publishes the new release with its manifest into root/mirror; a tampered manifest is signed again with
// the trusted key, as a thief of that key or a vendor's mistake would.
bool tst_ManifestUpdate::publish(const QString &root, Tamper tamper, QString *error)
{
    const QString releaseDir = root + QStringLiteral("/release");
    if (!writeTree(releaseDir, newRelease())) {
        *error = QStringLiteral("cannot write the release");
        return false;
    }
    const CommandResult result = runCommand(
            binDir + QStringLiteral("/murmelo-publish"),
            {QStringLiteral("publish"), QStringLiteral("--client-type"), ClientType, QStringLiteral("--key"),
             sourceDir + QStringLiteral("/keys/demo/private.key"), QStringLiteral("--manifest-key"),
             sourceDir + QStringLiteral("/keys/demo/manifest-private.key"), QStringLiteral("--version"),
             QString::number(Version), QStringLiteral("--gzip"), QStringLiteral("*.map"), releaseDir,
             root + QStringLiteral("/mirror")});
    *error = result.output;
    if (result.exitCode != 0 || tamper == Nothing)
        return result.exitCode == 0;

    const QString path = root + QStringLiteral("/mirror/%1/%2").arg(Version).arg(ReleaseManifest::fileName(ClientType));
    if (tamper == Remove)
        return QFile::remove(path);
    ReleaseManifest manifest;
    *error = ReleaseManifest::parse(readFile(path), manifest);
    if (!error->isEmpty())
        return false;
    const QString wrong(64, QLatin1Char('0'));
    for (ReleaseManifest::File &file : manifest.files) {
        if (tamper == FileSha256 && !file.compressed)
            file.sha256 = wrong;
        if (tamper == UnpackedSha256 && file.compressed)
            file.unpackedSha256 = wrong;
    }
    if (tamper == Expire)
        manifest.expires = QDateTime::currentDateTimeUtc().addSecs(-60);
    ManifestKey key;
    *error = ManifestKey::fromFile(sourceDir + QStringLiteral("/keys/demo/manifest-private.key"), key);
    if (!error->isEmpty())
        return false;
    manifest.sign(key);
    return writeFile(path, manifest.text());
}

void tst_ManifestUpdate::update_data()
{
    QTest::addColumn<int>("tamper");
    QTest::addColumn<int>("acceptedBefore"); // [manifest] highestVersion; 0: none
    QTest::addColumn<QString>("line");       // in the details log; empty for a run that succeeds
    QTest::addColumn<int>("recorded");       // [manifest] highestVersion after a run that succeeds

    QTest::newRow("normal update") << int(Nothing) << 0 << QString() << Version;
    QTest::newRow("newer than accepted before") << int(Nothing) << Version - 1 << QString() << Version;
    // What this build was configured for decides: MURMELO_REQUIRE_MANIFEST.
    if (IniDownloadTaskSpecification::ManifestRequiredByBuild) {
        QTest::newRow("no manifest, required") << int(Remove) << 0
                                               << QStringLiteral("Release manifest refused: no mirror has a release "
                                                                 "manifest, and this updater requires one") << 0;
    } else {
        QTest::newRow("no manifest, optional") << int(Remove) << Version - 1 << QString() << Version - 1;
    }
    QTest::newRow("rollback attempt") << int(Nothing) << Version + 1
                                      << QStringLiteral("Release manifest refused: the release manifest is for version "
                                                        "%1, older than version %2").arg(Version).arg(Version + 1) << 0;
    QTest::newRow("freeze attempt") << int(Expire) << 0
                                    << QStringLiteral("Release manifest refused: the release manifest expired at") << 0;
    QTest::newRow("file with the MD5 sum but not the SHA-256") << int(FileSha256) << 0
                                                               << QStringLiteral("differs from the release manifest") << 0;
    QTest::newRow("unpacked file with the MD5 sum but not the SHA-256")
            << int(UnpackedSha256) << 0 << QStringLiteral("textures/world.map differs from the release manifest") << 0;
}

void tst_ManifestUpdate::update()
{
    QFETCH(int, tamper);
    QFETCH(int, acceptedBefore);
    QFETCH(QString, line);
    QFETCH(int, recorded);

    QTemporaryDir root;
    QString error;
    QVERIFY2(publish(root.path(), Tamper(tamper), &error), qPrintable(error));
    NginxServer mirror(root.filePath(QStringLiteral("mirror")));
    QVERIFY2(mirror.start(), qPrintable(mirror.errorString()));
    UpdateServerProcess server;
    QVERIFY2(server.startOnStandardPorts("[stable]\nversion = 1\n"), qPrintable(server.errorString()));

    const QString installation = root.filePath(QStringLiteral("install"));
    QByteArray updateIni = "[update]\nserver=" + server.address().toString().toUtf8() + '\n';
    if (acceptedBefore)
        updateIni += "[manifest]\nhighestVersion=" + QByteArray::number(acceptedBefore) + '\n';
    QVERIFY(writeTree(installation, oldRelease()));
    QVERIFY(QFile::copy(binDir + QStringLiteral("/update"), installation + QStringLiteral("/update")));
    QVERIFY(writeMirrorsIni(installation + QStringLiteral("/mirrors.ini"), {{QStringLiteral("mirror"), mirror.url()}}));
    QVERIFY(writeFile(installation + QStringLiteral("/update.ini"), updateIni));
    QVERIFY(QDir().mkdir(root.filePath(QStringLiteral("tmp"))));

    ChildProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TMPDIR"), root.filePath(QStringLiteral("tmp")));
    const QString driverLog = root.filePath(QStringLiteral("driver.log"));
    loadTestDriver(environment, driverLog);
    environment.insert(QStringLiteral("MURMELO_TEST_DRIVER_DETAILS"), QStringLiteral("1"));
    updater.setProcessEnvironment(environment);
    updater.setProcessChannelMode(QProcess::MergedChannels);
    updater.setWorkingDirectory(installation);
    updater.start(installation + QStringLiteral("/update"),
                  {QStringLiteral("--nouser"), ClientType, QString::number(Version)});
    QString output;
    const auto boxes = [&] {
        QList<QStringList> shown;
        for (const QStringList &entry : readDriverLog(driverLog)) {
            if (entry.constFirst() == QLatin1String("box"))
                shown << entry.mid(1);
        }
        return shown;
    };
    if (line.isEmpty()) {
        QVERIFY2(QTest::qWaitFor([&] {
                     output += QString::fromLocal8Bit(updater.readAll());
                     return updater.state() == QProcess::NotRunning;
                 }, RunTimeoutMs),
                 qPrintable(output));
        QCOMPARE(updater.exitCode(), 0);
        QCOMPARE(boxes(), QList<QStringList>());
        QCOMPARE(readTree(installation), newRelease());
        // Recorded only for an accepted manifest, and only now that its release is installed.
        QCOMPARE(QSettings(installation + QStringLiteral("/update.ini"), QSettings::IniFormat)
                         .value(QStringLiteral("manifest/highestVersion")).toInt(),
                 recorded);
        return;
    }
    // A refused run ends cancelled, as a product ini that cannot be verified ends it.
    QVERIFY2(QTest::qWaitFor([&] {
                 output += QString::fromLocal8Bit(updater.readAll());
                 return !boxes().isEmpty() && boxes().constLast().value(0) == QLatin1String("Update");
             }, RunTimeoutMs),
             qPrintable(output));
    updater.stop();
    QString details;
    for (const QStringList &entry : readDriverLog(driverLog)) {
        if (entry.constFirst() == QLatin1String("details"))
            details = entry.value(1);
    }
    QVERIFY2(details.contains(line), qPrintable(details));
    QCOMPARE(readTree(installation), oldRelease());
    const QSettings after(installation + QStringLiteral("/update.ini"), QSettings::IniFormat);
    QCOMPARE(after.value(QStringLiteral("manifest/highestVersion")).toInt(), acceptedBefore);
    // The run's temporary directory stays for the next run, as after any cancelled run.
    const QString runDir = after.value(QStringLiteral("current/dir")).toString();
    QVERIFY(!runDir.isEmpty() && QFileInfo(runDir).isDir());
}

QTEST_MAIN(tst_ManifestUpdate)
#include "tst_manifestupdate.moc"
