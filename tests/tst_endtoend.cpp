// The built updater against the real servers: releases published with murmelo-publish onto private
// nginx mirrors, the version query answered by murmelo-updated, and an installation that holds a copy of
// the updater, started the way the client starts it ("--nouser"). Each test builds its own world in a
// temporary directory; the updater's runs get a temporary directory of their own through TMPDIR, which
// also holds its single-instance socket.

#include "support/childprocess.h"
#include "support/driverlog.h"
#include "support/mountnamespace.h"
#include "support/mirrorsini.h"
#include "support/nginxserver.h"
#include "support/runcommand.h"
#include "support/testfiles.h"
#include "support/updateserverprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using Tree = QMap<QString, QByteArray>; // relative path -> contents

const QString ClientType = QStringLiteral("client_linux_amd64");
constexpr int OldVersion = 3041;
constexpr int NewVersion = 3042;
// A run takes seconds (2 of them before the update begins, 1 before the client starts after it); the
// limit leaves room for a loaded machine.
constexpr int RunTimeoutMs = 60000;

const QString binDir = QStringLiteral(MURMELO_BINARY_DIR "/bin");
const QString privateKey = QStringLiteral(MURMELO_SOURCE_DIR "/keys/demo/private.key");

// The files of an installation that belong to the updater, not to the client release.
const QStringList updaterFiles = {QStringLiteral("update"), QStringLiteral("update.ini"),
                                  QStringLiteral("mirrors.ini")};

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// The client's files of an installation: everything but the updater's own files.
Tree readTree(const QString &dir)
{
    Tree tree;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(dir).relativeFilePath(it.next());
        if (!updaterFiles.contains(relative))
            tree.insert(relative, readFile(it.filePath()));
    }
    return tree;
}

QStringList subdirectories(const QString &dir)
{
    QStringList dirs;
    QDirIterator it(dir, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        dirs << QDir(dir).relativeFilePath(it.next());
    dirs.sort();
    return dirs;
}

// Names the first difference, so that a failed comparison says more than "not equal".
QString treeDifference(const Tree &actual, const Tree &expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            return QStringLiteral("%1 is missing").arg(it.key());
        if (actual.value(it.key()) != it.value())
            return QStringLiteral("%1 differs").arg(it.key());
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            return QStringLiteral("%1 should not be there").arg(it.key());
    }
    return QString();
}

QByteArray startScript(int version)
{
    // Started detached by the updater; leaves its mark beside the installation.
    return "#!/bin/sh\necho \"client " + QByteArray::number(version)
         + " started\" > \"$(dirname \"$0\")/../client-started.txt\"\n";
}

// Releases N and N+1: a changed executable and start script, files in a new subdirectory, a changed and an
// unchanged text, a text map that is shipped gzip-compressed (the last file installed) and a sound file
// that N+1 drops. Four files of N+1 are large enough that a rate-limited mirror is busy with them for
// seconds.
Tree makeOldRelease()
{
    Tree tree;
    tree.insert(QStringLiteral("mx4client_runscript.sh"), startScript(OldVersion));
    tree.insert(QStringLiteral("mx4client_linux_amd64"), randomBytes(240000));
    tree.insert(QStringLiteral("readme.txt"), "Murmelo client\n");
    tree.insert(QStringLiteral("data/levels.txt"), "level 1\nlevel 2\n");
    tree.insert(QStringLiteral("data/music.ogg"), randomBytes(200000));
    tree.insert(QStringLiteral("sounds/old-theme.ogg"), randomBytes(20000));
    return tree;
}

Tree makeNewRelease(const Tree &old)
{
    Tree tree;
    tree.insert(QStringLiteral("mx4client_runscript.sh"), startScript(NewVersion));
    tree.insert(QStringLiteral("mx4client_linux_amd64"), randomBytes(256000));
    tree.insert(QStringLiteral("readme.txt"), old.value(QStringLiteral("readme.txt")));
    tree.insert(QStringLiteral("data/levels.txt"), "level 1\nlevel 2\nlevel 3\n");
    tree.insert(QStringLiteral("data/music.ogg"), randomBytes(200000));
    tree.insert(QStringLiteral("plugins/libdemo.so"), randomBytes(200000));
    tree.insert(QStringLiteral("plugins/libextra.so"), randomBytes(200000));
    QByteArray map;
    for (int row = 0; row < 3000; ++row)
        map += "row " + QByteArray::number(row) + ": " + QByteArray(60, '.') + '\n';
    tree.insert(QStringLiteral("textures/world.map"), map);
    return tree;
}

} // namespace

// One test's world: both releases published onto a mirror tree, an installation of release N holding a
// copy of the built updater, the update server, and the updater's runs.
class Scenario
{
public:
    Scenario();

    QString path(const QString &name) const { return root.filePath(name); }
    QString mirrorTree() const { return path(QStringLiteral("mirror")); }
    QString installation() const { return path(QStringLiteral("install")); }
    QString versionDir() const { return mirrorTree() + QLatin1Char('/') + QString::number(NewVersion); }
    QString productIni() const { return versionDir() + QLatin1Char('/') + ClientType + QStringLiteral(".ini"); }

    // Publishes N and N+1 into the mirror tree with murmelo-publish.
    bool publish(QString *error);
    // Starts the update server with `config` and writes the installation of release N, its mirrors.ini
    // listing `mirrors` (name, base URL) and its update.ini naming the server plus `updateIni`.
    bool install(const QList<QPair<QString, QUrl>> &mirrors, const QByteArray &serverConfig, QString *error,
                 const QByteArray &updateIni = QByteArray());

    // Started inside `mounts` when given, so that it sees that namespace's file systems.
    ChildProcess *startUpdater(const QStringList &arguments, const MountNamespace *mounts = nullptr);
    static QStringList withVersion() { return {QStringLiteral("--nouser"), ClientType, QString::number(NewVersion)}; }

    // The product ini's entries of release N+1: key in the section -> its "::" fields.
    QMap<QString, QStringList> entries() const;
    // The temporary directory that update.ini records for an unfinished run, or "".
    QString recordedRunDir() const;
    QString clientStartMark() const { return QString::fromUtf8(readFile(path(QStringLiteral("client-started.txt")), {})); }
    // The message boxes the updaters showed, as the test driver logged them: title, text, buttons.
    QList<QStringList> messageBoxes() const;

    static Tree oldRelease;
    static Tree newRelease;

private:
    QTemporaryDir root;
    UpdateServerProcess server;
    // Declared last: the updaters stop before the servers and their files go.
    std::vector<std::unique_ptr<ChildProcess>> updaters;
};

Tree Scenario::oldRelease;
Tree Scenario::newRelease;

Scenario::Scenario()
{
    QDir().mkpath(path(QStringLiteral("tmp")));
    QDir().mkdir(path(QStringLiteral("runtime")));
    QFile::setPermissions(path(QStringLiteral("runtime")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool Scenario::publish(QString *error)
{
    const QString oldDir = path(QStringLiteral("releases/old"));
    const QString newDir = path(QStringLiteral("releases/new"));
    if (!writeTree(oldDir, oldRelease) || !writeTree(newDir, newRelease)) {
        *error = QStringLiteral("cannot write the releases");
        return false;
    }
    const QString publisher = binDir + QStringLiteral("/murmelo-publish");
    const QStringList common = {QStringLiteral("publish"), QStringLiteral("--client-type"), ClientType,
                                QStringLiteral("--key"), privateKey};
    CommandResult result = runCommand(publisher, common + QStringList{QStringLiteral("--version"),
                                                                      QString::number(OldVersion), oldDir,
                                                                      mirrorTree()});
    if (result.exitCode == 0) {
        result = runCommand(publisher, common + QStringList{QStringLiteral("--version"), QString::number(NewVersion),
                                                            QStringLiteral("--gzip"), QStringLiteral("*.map"),
                                                            QStringLiteral("--previous"),
                                                            mirrorTree() + QStringLiteral("/%1/%2.ini")
                                                                                   .arg(OldVersion)
                                                                                   .arg(ClientType),
                                                            newDir, mirrorTree()});
    }
    *error = result.output;
    return result.exitCode == 0;
}

bool Scenario::install(const QList<QPair<QString, QUrl>> &mirrors, const QByteArray &serverConfig, QString *error,
                       const QByteArray &updateIni)
{
    if (!server.startOnStandardPorts(serverConfig)) {
        *error = server.errorString();
        return false;
    }
    const QString updater = installation() + QStringLiteral("/update");
    if (!writeTree(installation(), oldRelease) || !QFile::copy(binDir + QStringLiteral("/update"), updater)
        || !writeMirrorsIni(installation() + QStringLiteral("/mirrors.ini"), mirrors)
        || !writeFile(installation() + QStringLiteral("/update.ini"),
                      "[update]\nserver=" + server.address().toString().toUtf8() + '\n' + updateIni)) {
        *error = QStringLiteral("cannot write the installation in %1").arg(installation());
        return false;
    }
    QFile::setPermissions(installation() + QStringLiteral("/mx4client_runscript.sh"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return true;
}

ChildProcess *Scenario::startUpdater(const QStringList &arguments, const MountNamespace *mounts)
{
    auto *process = updaters.emplace_back(std::make_unique<ChildProcess>()).get();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("runtime")));
    loadTestDriver(environment, path(QStringLiteral("driver.log")));
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setWorkingDirectory(installation());
    const QString updater = installation() + QStringLiteral("/update");
    if (mounts)
        process->start(QStringLiteral("nsenter"), mounts->wrap(updater, arguments));
    else
        process->start(updater, arguments);
    return process;
}

QMap<QString, QStringList> Scenario::entries() const
{
    QMap<QString, QStringList> result;
    QSettings ini(productIni(), QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("release"));
    for (const QString &key : ini.allKeys())
        result.insert(key, ini.value(key).toString().split(QStringLiteral("::")));
    return result;
}

QList<QStringList> Scenario::messageBoxes() const
{
    QList<QStringList> boxes;
    for (const QStringList &line : readDriverLog(path(QStringLiteral("driver.log")))) {
        if (line.constFirst() == QLatin1String("box"))
            boxes << line.mid(1);
    }
    return boxes;
}

QString Scenario::recordedRunDir() const
{
    return QSettings(installation() + QStringLiteral("/update.ini"), QSettings::IniFormat)
            .value(QStringLiteral("current/dir"))
            .toString();
}

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void latestVersionFromServer_data();
    void latestVersionFromServer();
    void mirrorFailover();
    void killedRunResumesWithoutRefetching();
    void lateFailureRollsBack();
    void secondStartLeavesFirstRunning();
    void diskFullInTemporaryDirectory();
    void diskFullInInstallation();
    void readOnlyInstallation();

private:
    // A namespace with `setup` done, or a skip when this machine does not allow one.
    bool startMounts(MountNamespace &mounts, const QString &setup);
    // Waits until the updater has shown its boxes (a run that ends cancelled waits then), and stops it.
    void waitForCancelled(const Scenario &scenario, ChildProcess *updater);
    bool runToEnd(ChildProcess *updater);
    void verifyUpdated(const Scenario &scenario);

    QString output;
};

void tst_EndToEnd::initTestCase()
{
    if (!QFileInfo(NginxServer::program()).isExecutable())
        QSKIP("nginx is not installed (scripts/install-deps installs it)");
    for (const char *program : {"update", "murmelo-publish", "murmelo-updated", "keytool"})
        QVERIFY2(QFileInfo(binDir + QLatin1Char('/') + QLatin1String(program)).isExecutable(), program);
    Scenario::oldRelease = makeOldRelease();
    Scenario::newRelease = makeNewRelease(Scenario::oldRelease);
}

void tst_EndToEnd::cleanup()
{
    if (QTest::currentTestFailed() && !output.isEmpty())
        qInfo().noquote() << "The updater's output:\n" << output;
    output.clear();
}

// Waits for the updater to end by itself, collecting what it wrote.
bool tst_EndToEnd::runToEnd(ChildProcess *updater)
{
    const bool ended = QTest::qWaitFor([&] {
        output += QString::fromLocal8Bit(updater->readAll());
        return updater->state() == QProcess::NotRunning;
    }, RunTimeoutMs);
    output += QString::fromLocal8Bit(updater->readAll());
    return ended && updater->exitStatus() == QProcess::NormalExit && updater->exitCode() == 0;
}

// After a successful run: release N+1 installed byte for byte, the run's record and temporary directory
// gone, and the new client started.
void tst_EndToEnd::verifyUpdated(const Scenario &scenario)
{
    QCOMPARE(scenario.messageBoxes(), QList<QStringList>());
    const Tree installed = readTree(scenario.installation());
    QVERIFY2(installed == Scenario::newRelease, qPrintable(treeDifference(installed, Scenario::newRelease)));
    QCOMPARE(scenario.recordedRunDir(), QString());
    QCOMPARE(QDir(scenario.path(QStringLiteral("tmp"))).entryList({QStringLiteral("murmelo_temp_*")}, QDir::Dirs),
             QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(scenario.clientStartMark(), QStringLiteral("client %1 started\n").arg(NewVersion), 10000);
}

void tst_EndToEnd::latestVersionFromServer_data()
{
    QTest::addColumn<QByteArray>("serverConfig");
    QTest::addColumn<QByteArray>("updateIni");

    QTest::newRow("stable") << QByteArray("[stable]\nversion = " + QByteArray::number(NewVersion)
                                          + "\nname = 3.4.2\n[beta]\nversion = 9999\n")
                            << QByteArray();
    QTest::newRow("beta") << QByteArray("[stable]\nversion = " + QByteArray::number(OldVersion)
                                        + "\n[beta]\nversion = " + QByteArray::number(NewVersion) + "\n")
                          << QByteArray("[Channel]\nbeta=true\n");
}

// "--nouser" alone: the version comes from the update server's list, at the channel's place.
void tst_EndToEnd::latestVersionFromServer()
{
    QFETCH(QByteArray, serverConfig);
    QFETCH(QByteArray, updateIni);

    Scenario scenario;
    QString error;
    QVERIFY2(scenario.publish(&error), qPrintable(error));
    NginxServer mirror(scenario.mirrorTree());
    QVERIFY2(mirror.start(), qPrintable(mirror.errorString()));
    QVERIFY2(scenario.install({{QStringLiteral("mirror"), mirror.url()}},
                              serverConfig + "[news]\ntext = <b>New</b> release\n", &error, updateIni),
             qPrintable(error));

    QVERIFY(runToEnd(scenario.startUpdater({QStringLiteral("--nouser")})));
    verifyUpdated(scenario);
    QVERIFY(mirror.requests().contains(QStringLiteral("GET /%1/%2.ini 200 ").arg(NewVersion).arg(ClientType)
                                       + QString::number(QFileInfo(scenario.productIni()).size())));
}

// Three mirrors: one without the release, one serving corrupt copies of every release file, one good
// but slow. The good one has three download slots and is busy for seconds with each large file, so of the
// six parallel downloads some must go to the two bad mirrors; each bad mirror is dropped at its first
// failure and the files are fetched again from the good one.
void tst_EndToEnd::mirrorFailover()
{
    Scenario scenario;
    QString error;
    QVERIFY2(scenario.publish(&error), qPrintable(error));

    QTemporaryDir emptyTree;
    QTemporaryDir corruptTree;
    QVERIFY(writeFile(corruptTree.filePath(QStringLiteral("%1/%2.ini").arg(NewVersion).arg(ClientType)),
                      readFile(scenario.productIni())));
    QVERIFY(writeFile(corruptTree.filePath(QStringLiteral("%1/%2.ini.sig").arg(NewVersion).arg(ClientType)),
                      readFile(scenario.productIni() + QStringLiteral(".sig"))));
    const QMap<QString, QStringList> entries = scenario.entries();
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        QByteArray contents = readFile(scenario.versionDir() + QStringLiteral("/release/") + it.key());
        contents[contents.size() / 2] = char(contents.at(contents.size() / 2) ^ 0x55);
        QVERIFY(writeFile(corruptTree.filePath(QStringLiteral("%1/release/").arg(NewVersion) + it.key()), contents));
    }

    NginxServer missing(emptyTree.path());
    NginxServer corrupt(corruptTree.path());
    NginxServer good(scenario.mirrorTree());
    good.setRateLimit(100000);
    for (NginxServer *server : {&missing, &corrupt, &good})
        QVERIFY2(server->start(), qPrintable(server->errorString()));
    QVERIFY2(scenario.install({{QStringLiteral("missing"), missing.url()},
                               {QStringLiteral("corrupt"), corrupt.url()},
                               {QStringLiteral("good"), good.url()}},
                              "[stable]\nversion = 1\n", &error),
             qPrintable(error));

    QVERIFY(runToEnd(scenario.startUpdater(Scenario::withVersion())));
    verifyUpdated(scenario);

    // A status other than 200 drops a mirror at once, so only the requests already running on it then
    // (at most one per download slot, three) reach it. A corrupt copy is found only after the download
    // has given its slot back, so that mirror may serve a few more before it goes.
    // The release has no manifest: a 404 for it is no mirror error and ends the search for it, so that
    // request (if "missing" was asked) counts apart.
    QStringList missingRequests = missing.requests();
    for (const QString &request : std::as_const(missingRequests))
        QVERIFY2(request.contains(QLatin1String(" 404 ")), qPrintable(request));
    const QString manifestRequest = QStringLiteral("GET /%1/%2.ini.manifest ").arg(NewVersion).arg(ClientType);
    QVERIFY(missingRequests.removeIf([&](const QString &request) { return request.startsWith(manifestRequest); }) <= 1);
    QVERIFY2(missingRequests.size() >= 1 && missingRequests.size() <= 3, qPrintable(missingRequests.join(u'\n')));
    const QStringList corruptRequests = corrupt.requests();
    const QString releasePath = QStringLiteral("/%1/release/").arg(NewVersion);
    QVERIFY2(std::any_of(corruptRequests.cbegin(), corruptRequests.cend(),
                         [&](const QString &request) {
                             return request.contains(releasePath) && request.contains(QLatin1String(" 200 "));
                         }),
             qPrintable(corruptRequests.join(u'\n')));
}

// The process is killed while the large file is still coming in; the next run of the same version takes
// the files that were complete from the temporary directory, continues the large one where it stopped
// and fetches only the rest.
void tst_EndToEnd::killedRunResumesWithoutRefetching()
{
    Scenario scenario;
    QString error;
    QVERIFY2(scenario.publish(&error), qPrintable(error));
    NginxServer mirror(scenario.mirrorTree());
    // The 200 kB files take seconds; the small ones are sent at once.
    mirror.setRateLimit(40000);
    QVERIFY2(mirror.start(), qPrintable(mirror.errorString()));
    QVERIFY2(scenario.install({{QStringLiteral("mirror"), mirror.url()}}, "[stable]\nversion = 1\n", &error),
             qPrintable(error));

    const QMap<QString, QStringList> entries = scenario.entries();
    QStringList small; // the files to fetch that come at once
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const QString installed = it.value().size() == 5 ? it.value().at(4) : it.key();
        if (it.value().at(1).toLongLong() < 40000
            && Scenario::oldRelease.value(installed) != Scenario::newRelease.value(installed)) {
            small << it.key();
        }
    }
    QVERIFY(small.size() >= 3);
    QVERIFY(small.size() < entries.size());

    ChildProcess *first = scenario.startUpdater(Scenario::withVersion());
    // The small files are complete and the large ones are on their way.
    const auto smallFilesDone = [&] {
        output += QString::fromLocal8Bit(first->readAll());
        const QString runDir = scenario.recordedRunDir();
        if (runDir.isEmpty())
            return false;
        for (const QString &key : std::as_const(small)) {
            if (md5Hex(readFile(runDir + QLatin1Char('/') + key)) != entries.value(key).at(0).toLatin1())
                return false;
        }
        return QFileInfo(runDir + QStringLiteral("/mx4client_linux_amd64")).size() > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(smallFilesDone(), 20000);
    QCOMPARE(first->state(), QProcess::Running);
    first->kill();
    QVERIFY(first->waitForFinished(5000));
    QCOMPARE(readTree(scenario.installation()), Scenario::oldRelease);
    const qint64 bigSize = entries.value(QStringLiteral("mx4client_linux_amd64")).at(1).toLongLong();
    const qint64 partialSize = QFileInfo(scenario.recordedRunDir() + QStringLiteral("/mx4client_linux_amd64")).size();
    QVERIFY2(partialSize > 0 && partialSize < bigSize, qPrintable(QString::number(partialSize)));

    mirror.stop();
    mirror.setRateLimit(0);
    QVERIFY2(mirror.start(), qPrintable(mirror.errorString()));
    const qsizetype firstRunRequests = mirror.requests().size();
    QVERIFY(runToEnd(scenario.startUpdater(Scenario::withVersion())));
    verifyUpdated(scenario);

    const QStringList secondRun = mirror.requests().mid(firstRunRequests);
    for (const QString &key : std::as_const(small)) {
        const QString path = QStringLiteral("/%1/release/").arg(NewVersion) + key;
        QVERIFY2(!secondRun.contains(QStringLiteral("GET %1 200 %2").arg(path, entries.value(key).at(1))),
                 qPrintable(path + QStringLiteral(" was fetched again")));
    }
    // The large file that was on its way is continued: only its missing bytes travel.
    const QString bigPath = QStringLiteral("/%1/release/mx4client_linux_amd64").arg(NewVersion);
    QVERIFY2(secondRun.contains(QStringLiteral("GET %1 206 %2").arg(bigPath).arg(bigSize - partialSize)),
             qPrintable(secondRun.join(u'\n')));
    QVERIFY(!secondRun.contains(QStringLiteral("GET %1 200 %2").arg(bigPath).arg(bigSize)));
}

// The signed product ini gives a wrong MD5 for the unpacked content of the gzip-shipped file, which is
// installed last: everything installed before it is undone, the new directories go again, and the run
// ends cancelled with its downloads kept for the next attempt.
void tst_EndToEnd::lateFailureRollsBack()
{
    Scenario scenario;
    QString error;
    QVERIFY2(scenario.publish(&error), qPrintable(error));
    const QString gzipKey = QStringLiteral("textures/world.map.gz");
    const QStringList fields = scenario.entries().value(gzipKey);
    QCOMPARE(fields.size(), 5);
    QByteArray ini = readFile(scenario.productIni());
    QVERIFY(ini.contains(fields.at(2).toLatin1()));
    ini.replace(fields.at(2).toLatin1(), md5Hex("something else"));
    QVERIFY(writeFile(scenario.productIni(), ini));
    const CommandResult signing = runCommand(binDir + QStringLiteral("/keytool"),
                                             {QStringLiteral("sign"), privateKey, scenario.productIni()});
    QVERIFY2(signing.exitCode == 0, qPrintable(signing.output));

    NginxServer mirror(scenario.mirrorTree());
    QVERIFY2(mirror.start(), qPrintable(mirror.errorString()));
    QVERIFY2(scenario.install({{QStringLiteral("mirror"), mirror.url()}}, "[stable]\nversion = 1\n", &error),
             qPrintable(error));
    const QStringList directoriesBefore = subdirectories(scenario.installation());

    ChildProcess *updater = scenario.startUpdater(Scenario::withVersion());
    // The run ends cancelled after the rollback; the window reports it in a box and then waits, with its
    // button offering a restart, until someone closes it.
    const QStringList cancelled = {QStringLiteral("Update"),
                                   QStringLiteral("Update cancelled. Push \"Details\" to check reasons."),
                                   QStringLiteral("OK")};
    QTRY_VERIFY_WITH_TIMEOUT(!scenario.messageBoxes().isEmpty(), RunTimeoutMs);
    QCOMPARE(scenario.messageBoxes(), QList<QStringList>{cancelled});
    QCOMPARE(updater->state(), QProcess::Running);
    output += QString::fromLocal8Bit(updater->readAll());
    updater->stop();

    const Tree installed = readTree(scenario.installation());
    QVERIFY2(installed == Scenario::oldRelease, qPrintable(treeDifference(installed, Scenario::oldRelease)));
    QCOMPARE(subdirectories(scenario.installation()), directoriesBefore);
    const QString runDir = scenario.recordedRunDir();
    QVERIFY(!runDir.isEmpty());
    QVERIFY(QFileInfo::exists(runDir + QLatin1Char('/') + gzipKey));
    QVERIFY(scenario.clientStartMark().isEmpty());
}

// A second updater started for the same installation hands over to the first and ends at once; the first
// goes on to the end undisturbed.
void tst_EndToEnd::secondStartLeavesFirstRunning()
{
    Scenario scenario;
    QString error;
    QVERIFY2(scenario.publish(&error), qPrintable(error));
    NginxServer mirror(scenario.mirrorTree());
    mirror.setRateLimit(100000);
    QVERIFY2(mirror.start(), qPrintable(mirror.errorString()));
    QVERIFY2(scenario.install({{QStringLiteral("mirror"), mirror.url()}}, "[stable]\nversion = 1\n", &error),
             qPrintable(error));

    ChildProcess *first = scenario.startUpdater(Scenario::withVersion());
    QTRY_VERIFY_WITH_TIMEOUT(!scenario.recordedRunDir().isEmpty()
                                     && QFileInfo(scenario.recordedRunDir() + QStringLiteral("/mx4client_linux_amd64")).size() > 0,
                             20000);

    ChildProcess *second = scenario.startUpdater(Scenario::withVersion());
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(first->state(), QProcess::Running);

    QVERIFY(runToEnd(first));
    verifyUpdated(scenario);
    // One product ini request: the second process fetched nothing.
    const QString iniRequest = QStringLiteral("GET /%1/%2.ini ").arg(NewVersion).arg(ClientType);
    const QStringList requests = mirror.requests();
    QCOMPARE(std::count_if(requests.cbegin(), requests.cend(),
                           [&](const QString &request) { return request.startsWith(iniRequest); }),
             1);
}

bool tst_EndToEnd::startMounts(MountNamespace &mounts, const QString &setup)
{
    QString reason;
    if (!MountNamespace::permitted(&reason)) {
        QTest::qSkip(qPrintable(reason), __FILE__, __LINE__);
        return false;
    }
    QString error;
    if (!mounts.start(setup, &error)) {
        QTest::qFail(qPrintable(error), __FILE__, __LINE__);
        return false;
    }
    return true;
}

void tst_EndToEnd::waitForCancelled(const Scenario &scenario, ChildProcess *updater)
{
    const auto cancelled = [&] {
        output += QString::fromLocal8Bit(updater->readAll());
        const QList<QStringList> boxes = scenario.messageBoxes();
        return !boxes.isEmpty() && boxes.constLast().value(0) == QLatin1String("Update");
    };
    QTRY_VERIFY_WITH_TIMEOUT(cancelled(), RunTimeoutMs);
    QCOMPARE(updater->state(), QProcess::Running);
    updater->stop();
    output += QString::fromLocal8Bit(updater->readAll());
}

// Both releases published and served by `mirror`, the installation of N listing it as its one mirror.
static bool publishOnOneMirror(Scenario &scenario, NginxServer &mirror, QString *error)
{
    if (!scenario.publish(error))
        return false;
    if (!mirror.start()) {
        *error = mirror.errorString();
        return false;
    }
    return scenario.install({{QStringLiteral("mirror"), mirror.url()}}, "[stable]\nversion = 1\n", error);
}

// The files of the run's directory (as `mounts` sees it) that are complete copies of their entry.
static QStringList completeDownloads(const Scenario &scenario, const QString &runDir)
{
    QStringList complete;
    const QMap<QString, QStringList> entries = scenario.entries();
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (md5Hex(readFile(runDir + QLatin1Char('/') + it.key(), {})) == it.value().at(0).toLatin1())
            complete << it.key();
    }
    return complete;
}

// The temporary directory is a small tmpfs that fills up while the large files come in: the run ends
// with the disk's error (no mirror is blamed for it), the installation is untouched and the files that
// were complete stay. Given space, the next run finishes without fetching those again.
void tst_EndToEnd::diskFullInTemporaryDirectory()
{
    Scenario scenario;
    NginxServer mirror(scenario.mirrorTree());
    // The small files come at once, the 200 kB ones over seconds.
    mirror.setRateLimit(100000);
    QString error;
    QVERIFY2(publishOnOneMirror(scenario, mirror, &error), qPrintable(error));
    const QString tmp = scenario.path(QStringLiteral("tmp"));
    MountNamespace mounts;
    if (!startMounts(mounts, QStringLiteral("mount -t tmpfs -o size=300k tmpfs '%1'").arg(tmp)))
        return;

    waitForCancelled(scenario, scenario.startUpdater(Scenario::withVersion(), &mounts));
    const QList<QStringList> boxes = scenario.messageBoxes();
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes.at(0).value(0), QStringLiteral("Error"));
    QVERIFY2(boxes.at(0).value(1).startsWith(QLatin1String("Error writing to file "))
                     && boxes.at(0).value(1).endsWith(QLatin1String(": No space left on device")),
             qPrintable(boxes.at(0).join(u' ')));
    QVERIFY2(!output.contains(QLatin1String("There are no (more) known working mirrors available")), qPrintable(output));
    const Tree installed = readTree(scenario.installation());
    QVERIFY2(installed == Scenario::oldRelease, qPrintable(treeDifference(installed, Scenario::oldRelease)));
    const QString runDir = scenario.recordedRunDir();
    QVERIFY(!runDir.isEmpty());
    const QStringList complete = completeDownloads(scenario, mounts.view(runDir));
    QVERIFY2(!complete.isEmpty(), qPrintable(output));
    QVERIFY(complete.size() < scenario.entries().size());

    QVERIFY2(mounts.run(QStringLiteral("mount -o remount,size=64m '%1'").arg(tmp), &error), qPrintable(error));
    QVERIFY(QFile::remove(scenario.path(QStringLiteral("driver.log")))); // the next run's boxes only
    const qsizetype firstRunRequests = mirror.requests().size();
    QVERIFY(runToEnd(scenario.startUpdater(Scenario::withVersion(), &mounts)));
    verifyUpdated(scenario);
    QCOMPARE(QDir(mounts.view(tmp)).entryList({QStringLiteral("murmelo_temp_*")}, QDir::Dirs), QStringList());
    const QStringList secondRun = mirror.requests().mid(firstRunRequests);
    for (const QString &key : complete) {
        const QString request = QStringLiteral("GET /%1/release/%2 ").arg(NewVersion).arg(key);
        QVERIFY2(std::none_of(secondRun.cbegin(), secondRun.cend(),
                              [&](const QString &line) { return line.startsWith(request); }),
                 qPrintable(key + QStringLiteral(" was fetched again")));
    }
}

// The installation lies on a tmpfs with too little room for the new files: installing fails part way,
// everything is rolled back, and the downloads stay. Given space, the next run installs without a
// single download.
void tst_EndToEnd::diskFullInInstallation()
{
    Scenario scenario;
    NginxServer mirror(scenario.mirrorTree());
    QString error;
    QVERIFY2(publishOnOneMirror(scenario, mirror, &error), qPrintable(error));
    // The installation moves onto a tmpfs holding what it holds now and 300 kB more; the new release
    // brings about 1 MB of changed files, installed beside the old ones until the run ends.
    const QString install = scenario.installation();
    const QString copy = scenario.path(QStringLiteral("install-copy"));
    MountNamespace mounts;
    if (!startMounts(mounts, QStringLiteral("cp -a '%1' '%2'\n"
                                            "mount -t tmpfs -o size=$(( $(du -sk '%2' | cut -f1) + 300 ))k tmpfs '%1'\n"
                                            "cp -a '%2/.' '%1/'").arg(install, copy)))
        return;
    const QString seen = mounts.view(install);
    QCOMPARE(readTree(seen), Scenario::oldRelease);

    waitForCancelled(scenario, scenario.startUpdater(Scenario::withVersion(), &mounts));
    const QList<QStringList> cancelled = {{QStringLiteral("Update"),
                                           QStringLiteral("Update cancelled. Push \"Details\" to check reasons."),
                                           QStringLiteral("OK")}};
    QCOMPARE(scenario.messageBoxes(), cancelled);
    const Tree installed = readTree(seen);
    QVERIFY2(installed == Scenario::oldRelease, qPrintable(treeDifference(installed, Scenario::oldRelease)));
    QCOMPARE(QDir(seen).entryList({QStringLiteral("_old_*")}, QDir::AllEntries | QDir::Hidden), QStringList());
    const QString runDir = QSettings(seen + QStringLiteral("/update.ini"), QSettings::IniFormat)
                                   .value(QStringLiteral("current/dir")).toString();
    QVERIFY(!runDir.isEmpty());
    QCOMPARE(completeDownloads(scenario, runDir).size(), scenario.entries().size() - 1); // readme.txt is unchanged

    QVERIFY2(mounts.run(QStringLiteral("mount -o remount,size=64m '%1'").arg(install), &error), qPrintable(error));
    const qsizetype firstRunRequests = mirror.requests().size();
    QVERIFY(runToEnd(scenario.startUpdater(Scenario::withVersion(), &mounts)));
    const Tree updated = readTree(seen);
    QVERIFY2(updated == Scenario::newRelease, qPrintable(treeDifference(updated, Scenario::newRelease)));
    QVERIFY(!QFileInfo::exists(runDir));
    const QStringList secondRun = mirror.requests().mid(firstRunRequests);
    const QString releaseRequest = QStringLiteral("GET /%1/release/").arg(NewVersion);
    QVERIFY2(std::none_of(secondRun.cbegin(), secondRun.cend(),
                          [&](const QString &line) { return line.startsWith(releaseRequest); }),
             qPrintable(secondRun.join(u'\n')));
    QTRY_COMPARE_WITH_TIMEOUT(scenario.clientStartMark(), QStringLiteral("client %1 started\n").arg(NewVersion), 10000);
}

// A read-only installation (root ignores mode bits, so a read-only bind mount): the run says so and
// changes nothing.
void tst_EndToEnd::readOnlyInstallation()
{
    Scenario scenario;
    NginxServer mirror(scenario.mirrorTree());
    QString error;
    QVERIFY2(publishOnOneMirror(scenario, mirror, &error), qPrintable(error));
    const QString install = scenario.installation();
    const QByteArray updateIniBefore = readFile(install + QStringLiteral("/update.ini"));
    const QStringList directoriesBefore = subdirectories(install);
    MountNamespace mounts;
    if (!startMounts(mounts, QStringLiteral("mount --bind -o ro '%1' '%1'").arg(install)))
        return;

    ChildProcess *updater = scenario.startUpdater(Scenario::withVersion(), &mounts);
    QTRY_VERIFY_WITH_TIMEOUT(!scenario.messageBoxes().isEmpty() || updater->state() == QProcess::NotRunning,
                             RunTimeoutMs);
    QTest::qWait(500); // a box that follows the first
    output += QString::fromLocal8Bit(updater->readAll());
    updater->stop();
    output += QString::fromLocal8Bit(updater->readAll());

    const QList<QStringList> boxes = scenario.messageBoxes();
    QVERIFY(!boxes.isEmpty());
    QCOMPARE(boxes.constFirst().value(0), QStringLiteral("Error"));
    QCOMPARE(boxes.constFirst().value(1),
             QStringLiteral("The installation directory %1 is not writable; the update cannot be installed.")
                     .arg(install));
    const Tree installed = readTree(install);
    QVERIFY2(installed == Scenario::oldRelease, qPrintable(treeDifference(installed, Scenario::oldRelease)));
    QCOMPARE(readFile(install + QStringLiteral("/update.ini")), updateIniBefore);
    QCOMPARE(subdirectories(install), directoriesBefore);
    // Nothing was fetched for an installation that cannot take it.
    const QString releaseRequest = QStringLiteral("GET /%1/release/").arg(NewVersion);
    const QStringList requests = mirror.requests();
    QVERIFY2(std::none_of(requests.cbegin(), requests.cend(),
                          [&](const QString &line) { return line.startsWith(releaseRequest); }),
             qPrintable(requests.join(u'\n')));
    QVERIFY(scenario.clientStartMark().isEmpty());
}

QTEST_GUILESS_MAIN(tst_EndToEnd)

#include "tst_endtoend.moc"
