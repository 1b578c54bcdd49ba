#include "app/configuration.h"
#include "net/banner.h"
#include "net/mirrors.h"
#include "support/httptestserver.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testinstallation.h"
#include "support/testrelease.h"
#include "update/updateengine.h"
#include "update/updateinidata.h"

#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

const int Version = 3021;
const QString Section = QStringLiteral("release");
const QFileDevice::Permissions Mode0755 = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser
        | QFileDevice::ExeUser | QFileDevice::ReadGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::ExeOther;

// Every entry below dir with its content and mode (directories as "<dir>"), for before/after
// comparisons; update.ini is left out because the run records itself there.
QMap<QString, QPair<QByteArray, int>> snapshot(const QString &dir)
{
    QMap<QString, QPair<QByteArray, int>> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(dir).relativeFilePath(path);
        if (relative == QLatin1String("update.ini"))
            continue;
        entries.insert(relative, {it.fileInfo().isDir() ? QByteArray("<dir>") : readFile(path),
                                  int(it.fileInfo().permissions())});
    }
    return entries;
}

QStringList oldFiles(const QString &dir)
{
    QStringList found;
    QDirIterator it(dir, {QStringLiteral("_old_*")}, QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(dir).relativeFilePath(it.next()));
    return found;
}

} // namespace

// Drives whole update runs against mirrors on 127.0.0.1, with a release signed by the demo key that
// the updater has built in, in a temporary installation.
class tst_UpdateEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void proxy_data();
    void proxy();
    void invalidProxyIsKeptForTheWindow();
    void cancelOutsideRunDoesNothing();
    void cleanupDirectoryLeavesLinkTargets();
    void removeOldFiles();
    void bannerImage_data();
    void bannerImage();
    void bannerDownloadsOneImageAtATime();

    void freshUpdate();
    void mirrorFailover();
    void rollbackWhenLateFileFails();
    void cancelAndResume();
    void staleSessionIsCleanedUp();
    void foreignRecordIsDropped_data();
    void foreignRecordIsDropped();
    void vanishedSessionDirectoryIsReported();
    void alphaWithoutUrlReachesFatalError();

private:
    void writeUpdateIni(int streams, const QString &proxy = QString());
    void installFile(const QString &name, const QByteArray &content);
    UpdateEngine *makeEngine();
    bool runToEnd();
    QString installPath(const QString &name) const { return installDir->filePath(name); }
    QStringList tempDirs() const;

    QTemporaryDir systemTemp;
    std::unique_ptr<TestInstallation> installDir;
    std::unique_ptr<QTemporaryDir> mirrorRoot;
    std::unique_ptr<Configuration> configuration;
    std::unique_ptr<HttpTestServer> goodMirror;
    QStringList events;
};

void tst_UpdateEngine::initTestCase()
{
    QVERIFY(systemTemp.isValid());
    // The run's temporary directories go below the system's temporary path; keep them in the test's.
    qputenv("TMPDIR", QFile::encodeName(systemTemp.path()));
    QCOMPARE(QDir::tempPath(), systemTemp.path());
}

void tst_UpdateEngine::init()
{
    installDir = std::make_unique<TestInstallation>();
    mirrorRoot = std::make_unique<QTemporaryDir>();
    QVERIFY(installDir->isValid() && mirrorRoot->isValid());
    configuration = std::make_unique<Configuration>();
    configuration->clientType = TestRelease::DefaultClientType;
    configuration->clientVersion = Version;
    goodMirror = std::make_unique<HttpTestServer>();
    QVERIFY(goodMirror->listen());
    goodMirror->serveDirectory(mirrorRoot->path());
    writeUpdateIni(6);
    QVERIFY(writeMirrorsIni(installPath(QStringLiteral("mirrors.ini")),
                            {{QStringLiteral("good"), goodMirror->url()}}));
    events.clear();
}

void tst_UpdateEngine::cleanup()
{
    qDeleteAll(findChildren<UpdateEngine *>());
    goodMirror.reset();
    configuration.reset();
    // Leftover run directories must not leak into the next test's expectations. A link is removed
    // as such: following it would empty what it points to.
    for (const QString &name : tempDirs()) {
        const QString path = systemTemp.filePath(name);
        if (QFileInfo(path).isSymLink())
            QFile::remove(path);
        else
            QDir(path).removeRecursively();
    }
}

QStringList tst_UpdateEngine::tempDirs() const
{
    return QDir(systemTemp.path()).entryList({QStringLiteral("murmelo_temp_*")},
                                             QDir::AllEntries | QDir::System);
}

void tst_UpdateEngine::writeUpdateIni(int streams, const QString &proxy)
{
    QSettings ini(installPath(QStringLiteral("update.ini")), QSettings::IniFormat);
    ini.setValue(QStringLiteral("update/streams"), streams);
    ini.setValue(QStringLiteral("update/proxy"), proxy);
}

void tst_UpdateEngine::installFile(const QString &name, const QByteArray &content)
{
    QVERIFY(writeFile(installPath(name), content));
}

UpdateEngine *tst_UpdateEngine::makeEngine()
{
    auto engine = new UpdateEngine(*configuration, this);
    connect(engine, &UpdateEngine::message, this, [this](const QString &text) {
        events.append(QStringLiteral("message: ") + text);
    });
    connect(engine, &UpdateEngine::error, this, [this](const QString &text) {
        events.append(QStringLiteral("error: ") + text);
    });
    connect(engine, &UpdateEngine::fatalError, this, [this](const QString &text) {
        events.append(QStringLiteral("fatal: ") + text);
    });
    connect(engine, &UpdateEngine::downloadProgress, this,
            [this](quint64 done, quint64 total, quint64 speed, bool downloading) {
                if (!done && !total && !speed && !downloading)
                    events.append(QStringLiteral("downloadProgress 0"));
            });
    connect(engine, &UpdateEngine::updateFinished, this,
            [this] { events.append(QStringLiteral("updateFinished")); });
    connect(engine, &UpdateEngine::updateCanceled, this,
            [this] { events.append(QStringLiteral("updateCanceled")); });
    return engine;
}

bool tst_UpdateEngine::runToEnd()
{
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("updateFinished"))
                                         || events.contains(QStringLiteral("updateCanceled")),
                                 30000);
    }();
    return !QTest::currentTestFailed();
}

void tst_UpdateEngine::proxy_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("none") << "" << int(QNetworkProxy::NoProxy) << "" << 0;
    QTest::newRow("host and port") << "http://proxy.local:8080" << int(QNetworkProxy::HttpProxy)
                                   << "proxy.local" << 8080;
    QTest::newRow("default port") << "http://proxy.local" << int(QNetworkProxy::HttpProxy)
                                  << "proxy.local" << 3128;
}

void tst_UpdateEngine::proxy()
{
    QFETCH(QString, setting);
    writeUpdateIni(6, setting);
    UpdateEngine *engine = makeEngine();
    QVERIFY(engine->pendingFatalError().isEmpty());
    const QNetworkProxy proxy = engine->findChild<QNetworkAccessManager *>()->proxy();
    QTEST(int(proxy.type()), "type");
    if (proxy.type() == QNetworkProxy::HttpProxy) {
        QTEST(proxy.hostName(), "host");
        QTEST(int(proxy.port()), "port");
    }
}

// The constructor runs before the window can listen, so the error waits for it, and no run may start
// with a proxy setting that cannot be honoured.
void tst_UpdateEngine::invalidProxyIsKeptForTheWindow()
{
    writeUpdateIni(6, QStringLiteral("proxy.local:8080"));
    UpdateEngine *engine = makeEngine();
    const QString expected = QStringLiteral("'proxy.local:8080' is an invalid proxy specification");
    QCOMPARE(engine->pendingFatalError(), expected);
    QVERIFY(!engine->initialize());
    QCOMPARE(events, QStringList{QStringLiteral("fatal: ") + expected});
    QVERIFY(!engine->busy());
}

void tst_UpdateEngine::cancelOutsideRunDoesNothing()
{
    UpdateEngine *engine = makeEngine();
    engine->cancelUpdate();
    QVERIFY(engine->initialize());
    QVERIFY(engine->busy());
    engine->cancelUpdate();
    QCOMPARE(engine->state(), int(UpdateEngine::Initialized));
    QVERIFY(events.filter(QStringLiteral("aborted")).isEmpty());
}

void tst_UpdateEngine::cleanupDirectoryLeavesLinkTargets()
{
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath(QStringLiteral("keep.txt")), "keep"));
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.txt")), "a"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral(".hidden")), "h"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("sub/deeper/b.txt")), "b"));
    QVERIFY(QFile::link(outside.path(), dir.filePath(QStringLiteral("sub/linkdir"))));
    QVERIFY(QFile::link(outside.filePath(QStringLiteral("keep.txt")),
                        dir.filePath(QStringLiteral("linkfile"))));

    makeEngine()->cleanupDirectory(dir.path());

    QCOMPARE(readFile(outside.filePath(QStringLiteral("keep.txt"))), QByteArray("keep"));
    const QStringList left = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden
                                                        | QDir::System | QDir::NoDotAndDotDot);
    // The links themselves stay as well, and with them the directory that holds one.
    QCOMPARE(left, (QStringList{QStringLiteral("linkfile"), QStringLiteral("sub")}));
    QCOMPARE(QDir(dir.filePath(QStringLiteral("sub"))).entryList(QDir::AllEntries | QDir::System
                                                                 | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("linkdir")});
}

void tst_UpdateEngine::removeOldFiles()
{
    QTemporaryDir dir;
    for (const QString &name : Configuration::getSpecialFileNames())
        QVERIFY(writeFile(dir.filePath(QStringLiteral("_old_") + name), "old"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("_old_other.so")), "other"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("update")), "current"));

    UpdateEngine::removeOldFiles(dir.path());

    QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
             (QStringList{QStringLiteral("_old_other.so"), QStringLiteral("update")}));
}

void tst_UpdateEngine::bannerImage_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("announceLength");
    QTest::addColumn<bool>("shown");

    QTest::newRow("small") << QByteArray(1000, 'i') << true << true;
    QTest::newRow("at the limit") << QByteArray(270000, 'i') << true << true;
    QTest::newRow("announced too large") << QByteArray(270001, 'i') << true << false;
    QTest::newRow("too large without length") << QByteArray(270001, 'i') << false << false;
}

void tst_UpdateEngine::bannerImage()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, announceLength);
    QFETCH(bool, shown);

    HttpTestServer server;
    QVERIFY(server.listen());
    server.setHandler(QStringLiteral("/banner.png"), [&](const HttpTestServer::Request &) {
        HttpTestServer::Response response = HttpTestServer::Response::withBody(image);
        if (!announceLength)
            response.fault = HttpTestServer::Fault::Endless;
        return response;
    });
    UpdateEngine *engine = makeEngine();
    QSignalSpy spy(engine, &UpdateEngine::bannerFound);
    engine->onBannerFound(server.url(QStringLiteral("/banner.png")).toString(),
                          QStringLiteral("http://example.org/news"));
    if (shown) {
        QTRY_COMPARE(spy.size(), 1);
        QCOMPARE(spy.first().at(0).toByteArray(), image);
        QCOMPARE(spy.first().at(1).toString(), QStringLiteral("http://example.org/news"));
    } else {
        QTRY_COMPARE(server.openConnectionCount(), 0);
        QCOMPARE(spy.size(), 0);
    }
}

void tst_UpdateEngine::bannerDownloadsOneImageAtATime()
{
    HttpTestServer server;
    QVERIFY(server.listen());
    server.setFallbackHandler([](const HttpTestServer::Request &) {
        HttpTestServer::Response response = HttpTestServer::Response::withBody("image");
        response.fault = HttpTestServer::Fault::SlowDrip;
        response.dripBytes = 1;
        response.dripIntervalMs = 50;
        return response;
    });
    UpdateEngine *engine = makeEngine();
    QSignalSpy spy(engine, &UpdateEngine::bannerFound);
    engine->onBannerFound(QStringLiteral("not a url ::"), QStringLiteral("x"));
    engine->onBannerFound(server.url(QStringLiteral("/first.png")).toString(), QStringLiteral("1"));
    engine->onBannerFound(server.url(QStringLiteral("/second.png")).toString(), QStringLiteral("2"));
    engine->getBanner(); // a lookup would start a second download
    QTRY_COMPARE(spy.size(), 1);
    QCOMPARE(spy.first().at(1).toString(), QStringLiteral("1"));
    QCOMPARE(server.totalRequestCount(), 1);
    QVERIFY(engine->findChildren<Banner *>().isEmpty());
}

void tst_UpdateEngine::freshUpdate()
{
    const QByteArray newClient = "#!client v2\n" + QByteArray(5000, 'c');
    const QByteArray newUpdater = "updater v2";
    TestRelease release(mirrorRoot->path(), Version);
    release.addGzipFile(Section, QStringLiteral("mx4client_linux_amd64.gz"),
                        QStringLiteral("mx4client_linux_amd64"), newClient);
    release.addFile(Section, QStringLiteral("data/changed.txt"), "changed v2");
    release.addFile(Section, QStringLiteral("missing.txt"), "was missing");
    release.addFile(Section, QStringLiteral("plugins/new/libfoo.so"), "library");
    release.addFile(Section, QStringLiteral("unchanged.txt"), "same");
    release.addFile(Section, QStringLiteral("update"), newUpdater);
    release.addDelete(QStringLiteral("obsolete.txt"));
    release.addDelete(QStringLiteral("never-there.txt"));
    QVERIFY(release.write());

    installFile(QStringLiteral("mx4client_linux_amd64"), "client v1");
    installFile(QStringLiteral("data/changed.txt"), "changed v1");
    installFile(QStringLiteral("unchanged.txt"), "same");
    installFile(QStringLiteral("update"), "updater v1");
    installFile(QStringLiteral("obsolete.txt"), "obsolete");
    const QFileDevice::Permissions textMode = QFile::permissions(installPath("unchanged.txt"));

    UpdateEngine *engine = makeEngine();
    QSignalSpy progress(engine, &UpdateEngine::updateProgress);
    QVERIFY(engine->initialize());
    const QString tempDir = configuration->tempDir;
    QVERIFY(QFileInfo(tempDir).isDir());
    QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr));
    QVERIFY(engine->startUpdate());
    QVERIFY(runToEnd());
    QCOMPARE(engine->state(), int(UpdateEngine::Finished));
    QVERIFY(events.filter(QStringLiteral("error")).isEmpty());

    QCOMPARE(readFile(installPath("mx4client_linux_amd64")), newClient);
    QCOMPARE(readFile(installPath("data/changed.txt")), QByteArray("changed v2"));
    QCOMPARE(readFile(installPath("missing.txt")), QByteArray("was missing"));
    QCOMPARE(readFile(installPath("plugins/new/libfoo.so")), QByteArray("library"));
    QCOMPARE(readFile(installPath("unchanged.txt")), QByteArray("same"));
    QCOMPARE(readFile(installPath("update")), newUpdater);
    QVERIFY(!QFile::exists(installPath("obsolete.txt")));
    QVERIFY(!QFile::exists(installPath("mx4client_linux_amd64.gz")));
    // The running updater's own file stays parked until its next start; all others are gone.
    QCOMPARE(oldFiles(installDir->path()), QStringList{QStringLiteral("_old_update")});
    QCOMPARE(readFile(installPath("_old_update")), QByteArray("updater v1"));

    QCOMPARE(QFile::permissions(installPath("update")), Mode0755);
    QCOMPARE(QFile::permissions(installPath("mx4client_linux_amd64")), Mode0755);
    QCOMPARE(QFile::permissions(installPath("plugins/new/libfoo.so")), Mode0755);
    QCOMPARE(QFile::permissions(installPath("unchanged.txt")), textMode);
    QVERIFY(!(QFile::permissions(installPath("missing.txt")) & QFileDevice::ExeOwner));

    QVERIFY(!QFileInfo::exists(tempDir));
    QVERIFY(tempDirs().isEmpty());
    QSettings ini(installPath(QStringLiteral("update.ini")), QSettings::IniFormat);
    QVERIFY(!ini.childGroups().contains(QStringLiteral("current")));
    QCOMPARE(ini.value(QStringLiteral("update/streams")).toInt(), 6);

    QCOMPARE(events.mid(events.size() - 5),
             (QStringList{QStringLiteral("message: Remove temporary files..."),
                          QStringLiteral("message: Temporary files removed."),
                          QStringLiteral("message: Update successfully finished"),
                          QStringLiteral("downloadProgress 0"), QStringLiteral("updateFinished")}));
    QVERIFY(events.indexOf(QStringLiteral("message: Starting update process"))
            < events.indexOf(QStringLiteral("message: Download / check product ini")));
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toDouble(), 1.0);
    const auto reached = [&](double value) {
        return std::any_of(progress.cbegin(), progress.cend(), [value](const QList<QVariant> &args) {
            return qAbs(args.at(0).toDouble() - value) < 1e-9;
        });
    };
    QVERIFY(reached(0.1));  // product ini done
    QVERIFY(reached(0.15)); // lists compiled
}

void tst_UpdateEngine::mirrorFailover()
{
    TestRelease release(mirrorRoot->path(), Version);
    for (int i = 0; i < 10; ++i)
        release.addFile(Section, QStringLiteral("file%1.bin").arg(i), QByteArray(3000 + i, char('a' + i)));
    QVERIFY(release.write());

    HttpTestServer missing;
    QVERIFY(missing.listen());
    missing.setFallbackHandler([](const HttpTestServer::Request &) {
        return HttpTestServer::Response::withStatus(404);
    });
    HttpTestServer corrupt;
    QVERIFY(corrupt.listen());
    corrupt.serveDirectory(mirrorRoot->path());
    corrupt.setFallbackHandler([&](const HttpTestServer::Request &request) {
        HttpTestServer::Response response = corrupt.fileResponse(request.path);
        if (request.path.contains(QLatin1Char('/') + Section + QLatin1Char('/')))
            response.fault = HttpTestServer::Fault::Corrupt;
        return response;
    });
    QVERIFY(writeMirrorsIni(installPath(QStringLiteral("mirrors.ini")),
                            {{QStringLiteral("missing"), missing.url()},
                             {QStringLiteral("corrupt"), corrupt.url()},
                             {QStringLiteral("good"), goodMirror->url()}}));
    // Nine streams take all nine slots of the three mirrors at once, so every mirror serves files.
    writeUpdateIni(9);

    UpdateEngine *engine = makeEngine();
    QVERIFY(engine->initialize());
    QVERIFY(engine->startUpdate());
    QVERIFY(runToEnd());
    QCOMPARE(engine->state(), int(UpdateEngine::Finished));

    for (int i = 0; i < 10; ++i) {
        QCOMPARE(readFile(installPath(QStringLiteral("file%1.bin").arg(i))),
                 QByteArray(3000 + i, char('a' + i)));
    }
    auto mirrors = engine->findChild<Mirrors *>();
    QVERIFY(mirrors);
    QCOMPARE(mirrors->getMirrorIndex(QStringLiteral("missing")), -1);
    QCOMPARE(mirrors->getMirrorIndex(QStringLiteral("corrupt")), -1);
    QCOMPARE(mirrors->getMirrorIndex(QStringLiteral("good")), 0);
    // A wrong status drops the mirror at its first answer; up to its three slots may have been
    // asked at the same moment. The release has no manifest: its 404 is no mirror error and ends the
    // search for it, so it counts apart.
    const int manifestRequests = missing.requestCount(release.manifestUrlPath());
    QVERIFY(manifestRequests <= 1);
    const int otherRequests = missing.totalRequestCount() - manifestRequests;
    QVERIFY(otherRequests >= 1 && otherRequests <= 3);
    QVERIFY(!events.filter(QStringLiteral("failed, invalidating mirror and retrying")).isEmpty());
}

void tst_UpdateEngine::rollbackWhenLateFileFails()
{
    TestRelease release(mirrorRoot->path(), Version);
    release.addFile(Section, QStringLiteral("a_first.txt"), "first v2");
    release.addFile(Section, QStringLiteral("newdir/inner.txt"), "new");
    release.addFile(Section, QStringLiteral("update"), "updater v2");
    release.addFile(Section, QStringLiteral("m_middle.so"), "middle v2");
    release.addGzipFile(Section, QStringLiteral("zz_late.gz"), QStringLiteral("zz_late"),
                        "late v2", md5Hex("something else"));
    release.addDelete(QStringLiteral("obsolete.txt"));
    QVERIFY(release.write());

    installFile(QStringLiteral("a_first.txt"), "first v1");
    installFile(QStringLiteral("update"), "updater v1");
    installFile(QStringLiteral("m_middle.so"), "middle v1");
    installFile(QStringLiteral("zz_late"), "late v1");
    installFile(QStringLiteral("obsolete.txt"), "obsolete");
    const auto before = snapshot(installDir->path());

    UpdateEngine *engine = makeEngine();
    QVERIFY(engine->initialize());
    const QString tempDir = configuration->tempDir;
    QVERIFY(engine->startUpdate());
    QVERIFY(runToEnd());
    QCOMPARE(engine->state(), int(UpdateEngine::Canceled));

    QCOMPARE(snapshot(installDir->path()), before);
    QVERIFY(oldFiles(installDir->path()).isEmpty());
    QVERIFY(!QFileInfo::exists(installPath("newdir")));
    QVERIFY(events.contains(QStringLiteral("message: rolling back file updates")));
    QVERIFY(!events.contains(QStringLiteral("message: User aborted update")));
    QCOMPARE(events.mid(events.size() - 2),
             (QStringList{QStringLiteral("downloadProgress 0"), QStringLiteral("updateCanceled")}));
    // The downloads stay for the next attempt.
    QString recorded;
    QVERIFY(UpdateIniData::get(nullptr, nullptr, &recorded));
    QCOMPARE(recorded, tempDir);
    QCOMPARE(readFile(tempDir + QStringLiteral("/a_first.txt")), QByteArray("first v2"));
}

void tst_UpdateEngine::cancelAndResume()
{
    TestRelease release(mirrorRoot->path(), Version);
    const QStringList names{QStringLiteral("a.bin"), QStringLiteral("b.bin"),
                            QStringLiteral("c.bin"), QStringLiteral("d.bin")};
    for (const QString &name : names)
        release.addFile(Section, name, name.toLatin1().repeated(1000));
    QVERIFY(release.write());
    writeUpdateIni(1); // one file after the other, so the last one is reached last

    bool stall = true;
    const QString lastPath = release.urlPath(Section, names.last());
    QByteArray range;
    goodMirror->setHandler(lastPath, [&](const HttpTestServer::Request &request) {
        range = request.header("range");
        HttpTestServer::Response response = goodMirror->fileResponse(request.path);
        if (stall) {
            response.fault = HttpTestServer::Fault::Stall;
            response.faultOffset = 10;
        }
        return response;
    });

    UpdateEngine *engine = makeEngine();
    QVERIFY(engine->initialize());
    const QString tempDir = configuration->tempDir;
    QVERIFY(engine->startUpdate());
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(tempDir + QLatin1Char('/') + names.last()).size(), 10, 20000);
    engine->cancelUpdate();
    QVERIFY(runToEnd());
    QCOMPARE(engine->state(), int(UpdateEngine::Canceled));
    QCOMPARE(events.mid(events.size() - 3),
             (QStringList{QStringLiteral("message: User aborted update"),
                          QStringLiteral("downloadProgress 0"), QStringLiteral("updateCanceled")}));
    QString recorded;
    QVERIFY(UpdateIniData::get(nullptr, nullptr, &recorded));
    QCOMPARE(recorded, tempDir);
    // The partial copy stays for the next attempt to continue.
    QCOMPARE(readFile(tempDir + QLatin1Char('/') + names.last()), names.last().toLatin1().repeated(1000).left(10));
    for (const QString &name : names)
        QVERIFY(!QFile::exists(installPath(name)));

    stall = false;
    goodMirror->resetRequestCounts();
    events.clear();
    engine->reset();
    QVERIFY(engine->initialize());
    QVERIFY(events.contains(QStringLiteral("message: Previous update session for v. %1 found")
                                    .arg(Version)));
    QCOMPARE(configuration->tempDir, tempDir);
    QVERIFY(engine->startUpdate());
    QVERIFY(runToEnd());
    QCOMPARE(engine->state(), int(UpdateEngine::Finished));
    for (const QString &name : names)
        QCOMPARE(readFile(installPath(name)), name.toLatin1().repeated(1000));
    // Only what was not yet verified is fetched again: neither the product ini nor the first files, nor
    // the bytes of the last one that had arrived. The manifest is asked for afresh by every run (here the
    // release has none).
    QCOMPARE(goodMirror->requestCount(release.manifestUrlPath()), 1);
    QCOMPARE(goodMirror->totalRequestCount() - goodMirror->requestCount(release.manifestUrlPath()), 1);
    QCOMPARE(goodMirror->requestCount(lastPath), 1);
    QCOMPARE(range, QByteArray("bytes=10-"));
}

void tst_UpdateEngine::staleSessionIsCleanedUp()
{
    TestRelease release(mirrorRoot->path(), Version);
    release.addFile(Section, QStringLiteral("file.txt"), "v2");
    QVERIFY(release.write());

    const QString stale = systemTemp.filePath(QStringLiteral("murmelo_temp_5"));
    QVERIFY(writeFile(stale + QStringLiteral("/file.txt"), "download of another version"));
    QVERIFY(writeFile(stale + QStringLiteral("/sub/other.txt"), "other"));
    UpdateIniData::modify(Version - 1, stale, TestRelease::DefaultClientType);

    UpdateEngine *engine = makeEngine();
    QVERIFY(engine->initialize());
    QVERIFY(events.contains(QStringLiteral("message: Cleanup previous session (v. %1, %2) files...")
                                    .arg(Version - 1).arg(stale)));
    QVERIFY(events.contains(QStringLiteral("message: Ok")));
    QVERIFY(!QFileInfo::exists(stale));
    QVERIFY(configuration->tempDir != stale);
    int version = 0;
    QString dir;
    QVERIFY(UpdateIniData::get(&version, nullptr, &dir));
    QCOMPARE(version, Version);
    QCOMPARE(dir, configuration->tempDir);

    QVERIFY(engine->startUpdate());
    QVERIFY(runToEnd());
    QCOMPARE(engine->state(), int(UpdateEngine::Finished));
    QCOMPARE(readFile(installPath("file.txt")), QByteArray("v2"));
}

void tst_UpdateEngine::foreignRecordIsDropped_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("symlink");
    QTest::addColumn<int>("recordedVersion");

    QTest::newRow("other name, other version") << "photos" << false << Version - 1;
    QTest::newRow("other name, same version") << "photos" << false << Version;
    QTest::newRow("symlink, other version") << "murmelo_temp_9" << true << Version - 1;
    QTest::newRow("symlink, same version") << "murmelo_temp_9" << true << Version;
}

// Regression: update.ini is writable by whoever may write the installation; a record naming the
// user's files must not make the updater empty them.
void tst_UpdateEngine::foreignRecordIsDropped()
{
    QFETCH(QString, name);
    QFETCH(bool, symlink);
    QFETCH(int, recordedVersion);

    QTemporaryDir userFiles;
    QVERIFY(writeFile(userFiles.filePath(QStringLiteral("holiday.jpg")), "precious"));
    QVERIFY(writeFile(userFiles.filePath(QStringLiteral("album/more.jpg")), "more"));
    const QString recorded = systemTemp.filePath(name);
    if (symlink) {
        QVERIFY(QFile::link(userFiles.path(), recorded));
    } else {
        QVERIFY(QDir().rename(userFiles.path(), recorded));
        userFiles.setAutoRemove(false);
    }
    const QString filesDir = symlink ? userFiles.path() : recorded;
    const auto before = snapshot(filesDir);
    UpdateIniData::modify(recordedVersion, recorded, TestRelease::DefaultClientType);

    UpdateEngine *engine = makeEngine();
    QVERIFY(engine->initialize());
    QCOMPARE(snapshot(filesDir), before);
    QCOMPARE(QFileInfo(recorded).isSymLink(), symlink);
    QVERIFY(configuration->tempDir != recorded);
    QVERIFY(QFileInfo(configuration->tempDir).fileName().startsWith(QLatin1String("murmelo_temp_")));
    QString dir;
    QVERIFY(UpdateIniData::get(nullptr, nullptr, &dir));
    QCOMPARE(dir, configuration->tempDir);

    // The cleanup after a run is guarded the same way.
    UpdateIniData::modify(Version, recorded, TestRelease::DefaultClientType);
    engine->cleanup();
    QCOMPARE(snapshot(filesDir), before);
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));

    if (symlink)
        QFile::remove(recorded);
    else
        QDir(recorded).removeRecursively();
    QDir(configuration->tempDir).removeRecursively();
}

// The temporary path is cleared at a reboot: the log says what happened, not that the directory was
// someone else's.
void tst_UpdateEngine::vanishedSessionDirectoryIsReported()
{
    const QString vanished = systemTemp.filePath(QStringLiteral("murmelo_temp_7"));
    UpdateIniData::modify(Version, vanished, TestRelease::DefaultClientType);

    UpdateEngine *engine = makeEngine();
    QVERIFY(engine->initialize());
    QVERIFY2(events.contains(QStringLiteral("message: Recorded session directory %1 is gone; starting a new "
                                            "session").arg(vanished)),
             qPrintable(events.join(u'\n')));
    QVERIFY(!events.join(u'\n').contains(QLatin1String("not made by the updater")));
    QVERIFY(configuration->tempDir != vanished);
    QString dir;
    QVERIFY(UpdateIniData::get(nullptr, nullptr, &dir));
    QCOMPARE(dir, configuration->tempDir);
}

// Regression: the mirrors' fatal error was connected only after the list was loaded, so a missing
// alpha URL reached nobody and the run silently did not start.
void tst_UpdateEngine::alphaWithoutUrlReachesFatalError()
{
    configuration->channel = Alpha;
    UpdateEngine *engine = makeEngine();
    QVERIFY(!engine->initialize());
    QCOMPARE(events.filter(QStringLiteral("fatal: ")),
             QStringList{ QStringLiteral("fatal: Alpha parameter in channel section in update ini file not found") });
}

QTEST_GUILESS_MAIN(tst_UpdateEngine)
#include "tst_updateengine.moc"
