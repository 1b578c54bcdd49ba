// The product-ini phase with a release manifest beside the ini, against local HTTP mirrors: which
// manifests are accepted and handed to the run, which are refused (and how), and what a mirror without
// one means with the manifest optional and required.

#include "app/configuration.h"
#include "net/crypt.h"
#include "net/keyrotation.h"
#include "net/manifestkey.h"
#include "net/mirrors.h"
#include "support/httptestserver.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testinstallation.h"
#include "support/testrelease.h"
#include "update/filespecifications.h"
#include "update/inidownloadtaskspecification.h"
#include "update/makedownloadreplacelistfunc.h"

#include "net/httpaccessmanager.h"
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const int Version = 77;
const QString Section = QStringLiteral("release");

ManifestKey key(const char *file)
{
    ManifestKey key;
    const QString why = ManifestKey::fromFile(QStringLiteral(MURMELO_SOURCE_DIR "/") + QLatin1String(file), key);
    if (!why.isEmpty())
        qFatal("%s", qPrintable(why));
    return key;
}

enum Outcome { Accepted, NoManifest, Refused };
} // namespace

Q_DECLARE_METATYPE(TestRelease::Manifest)

class tst_ManifestCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void manifest_data();
    void manifest();
    void mirrorsWithoutManifest_data();
    void mirrorsWithoutManifest();
    void compilerComparesSha256_data();
    void compilerComparesSha256();

private:
    // Runs the phase on mirrors (name -> server) until it ends; true when it finished.
    bool runPhase(const QList<HttpTestServer *> &servers, bool required);
    void writeRelease(const std::optional<TestRelease::Manifest> &manifest);

    std::unique_ptr<TestInstallation> installation;
    std::unique_ptr<QTemporaryDir> mirrorRoot;
    std::unique_ptr<QTemporaryDir> tempDir;
    Configuration configuration;
    HttpAccessManager manager;
    FileSpecifications specifications;
    Mirrors *mirrors = nullptr;
    QStringList messages;
};

void tst_ManifestCheck::initTestCase()
{
    crypt_init();
}

void tst_ManifestCheck::init()
{
    qDeleteAll(findChildren<QObject *>(Qt::FindDirectChildrenOnly));
    installation = std::make_unique<TestInstallation>();
    mirrorRoot = std::make_unique<QTemporaryDir>();
    tempDir = std::make_unique<QTemporaryDir>();
    configuration.clientType = TestRelease::DefaultClientType;
    configuration.clientVersion = Version;
    configuration.channel = Stable;
    configuration.tempDir = tempDir->path();
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    specifications.clear();
    messages.clear();
}

void tst_ManifestCheck::writeRelease(const std::optional<TestRelease::Manifest> &manifest)
{
    TestRelease release(mirrorRoot->path(), Version);
    release.addFile(Section, QStringLiteral("bin/client"), QByteArray(3000, 'c'));
    release.addGzipFile(Section, QStringLiteral("maps/world.map.gz"), QStringLiteral("maps/world.map"),
                        QByteArray(5000, 'm'));
    release.addDelete(QStringLiteral("old.txt"));
    if (manifest)
        release.setManifest(*manifest);
    QVERIFY(release.write());
}

bool tst_ManifestCheck::runPhase(const QList<HttpTestServer *> &servers, bool required)
{
    QList<QPair<QString, QUrl>> list;
    for (int i = 0; i < servers.size(); ++i)
        list << qMakePair(QStringLiteral("mirror%1").arg(i), servers.at(i)->url());
    const QString mirrorsIni = tempDir->filePath(QStringLiteral("mirrors.ini"));
    if (!writeMirrorsIni(mirrorsIni, list))
        return false;
    mirrors = new Mirrors(this);
    mirrors->initDefault(mirrorsIni, Version);
    auto task = new IniDownloadTaskSpecification(&manager, mirrors, &configuration, this, 1.0);
    task->setManifestTarget(&specifications);
    task->setManifestRequired(required);
    connect(task, &TaskSpecification::message, this, [this](const QString &text) { messages << text; });
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    if (!QTest::qWaitFor([&] { return finished.size() + canceled.size() > 0; }, 20000))
        return false;
    return finished.size() == 1;
}

void tst_ManifestCheck::manifest_data()
{
    QTest::addColumn<bool>("published");
    QTest::addColumn<TestRelease::Manifest>("manifest");
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<bool>("required");
    QTest::addColumn<QByteArray>("replaceFrom"); // in the manifest as the mirror serves it
    QTest::addColumn<QByteArray>("replaceTo");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("line");

    const ManifestKey demo = key("keys/demo/manifest-private.key");
    const ManifestKey next = key("tests/keys/manifest-next-private.key");
    const TestRelease::Manifest valid;
    const QByteArray none;
    const QString accepted = QStringLiteral("Release manifest of version %1 accepted").arg(Version);

    QTest::newRow("valid") << true << valid << none << false << none << none << int(Accepted) << accepted;
    QTest::newRow("valid, required") << true << valid << none << true << none << none << int(Accepted) << accepted;
    QTest::newRow("missing, optional") << false << valid << none << false << none << none << int(NoManifest)
                                       << QStringLiteral("No release manifest for this release");
    QTest::newRow("missing, required") << false << valid << none << true << none << none << int(Refused)
                                       << QStringLiteral("no mirror has a release manifest, and this updater requires one");
    QTest::newRow("bad signature") << true << valid << none << false << QByteArray("channel stable")
                                   << QByteArray("channel stabl3") << int(Refused)
                                   << QStringLiteral("signature does not verify under the key %1").arg(demo.id());
    TestRelease::Manifest untrusted;
    untrusted.key = QStringLiteral("tests/keys/manifest-untrusted-private.key");
    QTest::newRow("key not trusted") << true << untrusted << none << false << none << none << int(Refused)
                                     << QStringLiteral("which this updater does not trust");
    TestRelease::Manifest rotated;
    rotated.key = QStringLiteral("tests/keys/manifest-next-private.key");
    rotated.rotationLines << KeyRotation::add(next, demo).line();
    QTest::newRow("rotation adds the signer") << true << rotated << none << false << none << none << int(Accepted)
                                              << accepted;
    TestRelease::Manifest retiring = rotated;
    retiring.key = QStringLiteral("keys/demo/manifest-private.key");
    retiring.rotationLines << KeyRotation::retire(demo.id(), next).line();
    QTest::newRow("rotation retires the signer") << true << retiring << none << false << none << none << int(Refused)
                                                 << QStringLiteral("(it was retired)");
    QTest::newRow("signer retired before") << true << valid << QByteArray("[manifest]\nretiredKeys=" + demo.id().toLatin1() + '\n')
                                           << false << none << none << int(Refused) << QStringLiteral("(it was retired)");
    TestRelease::Manifest wrongVersion;
    wrongVersion.version = Version - 1;
    QTest::newRow("wrong version") << true << wrongVersion << none << false << none << none << int(Refused)
                                   << QStringLiteral("is for version %1, this run installs version %2").arg(Version - 1).arg(Version);
    TestRelease::Manifest wrongType;
    wrongType.clientType = QStringLiteral("client_linux_x86");
    QTest::newRow("wrong client type") << true << wrongType << none << false << none << none << int(Refused)
                                       << QStringLiteral("is for the client type client_linux_x86");
    TestRelease::Manifest wrongChannel;
    wrongChannel.channel = QStringLiteral("beta");
    QTest::newRow("wrong channel") << true << wrongChannel << none << false << none << none << int(Refused)
                                   << QStringLiteral("is for the channel beta, this installation follows stable");
    TestRelease::Manifest expired;
    expired.expires = QDateTime::currentDateTimeUtc().addSecs(-3600);
    QTest::newRow("expired") << true << expired << none << false << none << none << int(Refused)
                             << QStringLiteral("expired at %1").arg(ReleaseManifest::formatTime(expired.expires));
    QTest::newRow("older than accepted before")
            << true << valid << QByteArray("[manifest]\nhighestVersion=" + QByteArray::number(Version + 1) + '\n') << false
            << none << none << int(Refused) << QStringLiteral("a rollback is refused");
    QTest::newRow("the version accepted before")
            << true << valid << QByteArray("[manifest]\nhighestVersion=" + QByteArray::number(Version) + '\n') << false
            << none << none << int(Accepted) << accepted;
    TestRelease::Manifest omits;
    omits.omitted << Section + QStringLiteral("/bin/client");
    QTest::newRow("a file of the ini left out") << true << omits << none << false << none << none << int(Refused)
                                                << QStringLiteral("does not list release/bin/client");
    QTest::newRow("truncated") << true << valid << none << false << QByteArray("\nsignature ") << QByteArray()
                               << int(Refused) << QStringLiteral("truncated");
    QTest::newRow("more than the limit") << true << valid << none << false << QByteArray("murmelo-release-manifest 1\n")
                                         << QByteArray(ReleaseManifest::MaxBytes + 1, '#') << int(Refused)
                                         << QStringLiteral("is larger than the allowed %1 bytes").arg(ReleaseManifest::MaxBytes);
}

void tst_ManifestCheck::manifest()
{
    QFETCH(bool, published);
    QFETCH(TestRelease::Manifest, manifest);
    QFETCH(QByteArray, updateIni);
    QFETCH(bool, required);
    QFETCH(QByteArray, replaceFrom);
    QFETCH(QByteArray, replaceTo);
    QFETCH(int, outcome);
    QFETCH(QString, line);

    writeRelease(published ? std::optional(manifest) : std::nullopt);
    QVERIFY(writeFile(installation->filePath(QStringLiteral("update.ini")), updateIni));
    const QString manifestPath = mirrorRoot->filePath(QStringLiteral("%1/%2.ini.manifest").arg(Version).arg(TestRelease::DefaultClientType));
    if (!replaceFrom.isEmpty()) {
        QByteArray text = readFile(manifestPath);
        QVERIFY(text.contains(replaceFrom));
        if (replaceTo.isEmpty()) // cut off a little after it
            text.truncate(text.indexOf(replaceFrom) + replaceFrom.size() + 10);
        else
            text.replace(replaceFrom, replaceTo);
        QVERIFY(writeFile(manifestPath, text));
    }
    HttpTestServer server;
    QVERIFY(server.listen());
    server.serveDirectory(mirrorRoot->path());

    const bool finished = runPhase({&server}, required);
    QVERIFY2(std::any_of(messages.cbegin(), messages.cend(), [&](const QString &text) { return text.contains(line); }),
             qPrintable(messages.join(u'\n')));
    QCOMPARE(finished, outcome != Refused);
    QCOMPARE(specifications.manifest.has_value(), outcome == Accepted);
    if (outcome == Accepted) {
        QCOMPARE(specifications.manifest->version, quint64(Version));
        QCOMPARE(specifications.manifest->files.keys(),
                 (QList<QString>{Section + QStringLiteral("/bin/client"), Section + QStringLiteral("/maps/world.map.gz")}));
    }
    QCOMPARE(server.requestCount(QStringLiteral("/%1/%2.ini.manifest").arg(Version).arg(TestRelease::DefaultClientType)), 1);
    // Nothing the check learnt is kept before the run has installed the release.
    QCOMPARE(readFile(installation->filePath(QStringLiteral("update.ini"))), updateIni);
}

void tst_ManifestCheck::mirrorsWithoutManifest_data()
{
    QTest::addColumn<bool>("required");
    QTest::addColumn<bool>("secondHasIt");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("manifestRequests"); // of both mirrors together

    QTest::newRow("optional, neither has it") << false << false << int(NoManifest) << 1;
    QTest::newRow("required, neither has it") << true << false << int(Refused) << 2;
    QTest::newRow("required, the second has it") << true << true << int(Accepted) << -1;
}

// A mirror without the manifest is not at fault: it stays in the list for the release files.
void tst_ManifestCheck::mirrorsWithoutManifest()
{
    QFETCH(bool, required);
    QFETCH(bool, secondHasIt);
    QFETCH(int, outcome);
    QFETCH(int, manifestRequests);

    writeRelease(TestRelease::Manifest());
    TestRelease names(mirrorRoot->path(), Version);
    HttpTestServer lacking;
    HttpTestServer second;
    for (HttpTestServer *server : {&lacking, &second}) {
        QVERIFY(server->listen());
        server->serveDirectory(mirrorRoot->path());
        if (server == &lacking || !secondHasIt)
            server->setHandler(names.manifestUrlPath(), [](const HttpTestServer::Request &) {
                return HttpTestServer::Response::withStatus(404);
            });
    }

    const bool finished = runPhase({&lacking, &second}, required);
    QCOMPARE(finished, outcome != Refused);
    QCOMPARE(specifications.manifest.has_value(), outcome == Accepted);
    QCOMPARE(mirrors->getMirrorList().size(), 2);
    const int lackingAsked = lacking.requestCount(names.manifestUrlPath());
    const int secondAsked = second.requestCount(names.manifestUrlPath());
    if (manifestRequests >= 0) {
        QCOMPARE(lackingAsked + secondAsked, manifestRequests);
    } else {
        QVERIFY(lackingAsked <= 1);
        QCOMPARE(secondAsked, 1);
    }
}

void tst_ManifestCheck::compilerComparesSha256_data()
{
    QTest::addColumn<QString>("where"); // "installed" or "temporary": where a copy with the right MD5 lies
    QTest::addColumn<bool>("sha256Matches");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<bool>("downloaded");

    QTest::newRow("installed, both sums right") << "installed" << true << false << false;
    QTest::newRow("installed, only the MD5 right") << "installed" << false << true << true;
    QTest::newRow("left by an earlier run, both sums right") << "temporary" << true << true << false;
    QTest::newRow("left by an earlier run, only the MD5 right") << "temporary" << false << true << true;
}

// A copy whose MD5 sum is right but whose SHA-256 is not is a colliding file: it is neither taken as
// installed nor reused from the temporary directory.
void tst_ManifestCheck::compilerComparesSha256()
{
    QFETCH(QString, where);
    QFETCH(bool, sha256Matches);
    QFETCH(bool, replaced);
    QFETCH(bool, downloaded);

    const QByteArray content(3000, 'c');
    writeRelease(TestRelease::Manifest());
    QVERIFY(QFile::copy(mirrorRoot->filePath(QStringLiteral("%1/%2.ini").arg(Version).arg(TestRelease::DefaultClientType)),
                        tempDir->filePath(TestRelease::DefaultClientType + QStringLiteral(".ini"))));
    QVERIFY(writeFile((where == QLatin1String("installed") ? installation->path() : tempDir->path())
                              + QStringLiteral("/bin/client"),
                      content));
    ReleaseManifest manifest;
    QCOMPARE(ReleaseManifest::parse(readFile(mirrorRoot->filePath(QStringLiteral("%1/%2.ini.manifest")
                                                                           .arg(Version)
                                                                           .arg(TestRelease::DefaultClientType))),
                                    manifest),
             QString());
    if (!sha256Matches)
        manifest.files[Section + QStringLiteral("/bin/client")].sha256 = QString(64, QLatin1Char('0'));

    FileSpecifications result;
    MakeDownloadReplaceListFunc compiler(&configuration, result);
    compiler.setManifestFiles(manifest.files);
    QVERIFY(compiler.run());
    const auto names = [](const auto &list) {
        QStringList found;
        for (const auto &entry : list)
            found << entry.fileName;
        return found;
    };
    QCOMPARE(names(result.replaceList).contains(QStringLiteral("bin/client")), replaced);
    QCOMPARE(names(result.downloadList).contains(QStringLiteral("bin/client")), downloaded);
    for (const FileDownloadSpecification &download : std::as_const(result.downloadList))
        QCOMPARE(download.sha256, manifest.files.value(download.remoteDir + QLatin1Char('/') + download.fileName).sha256);
    for (const FileReplaceSpecification &replace : std::as_const(result.replaceList)) {
        QCOMPARE(replace.unzipSha256,
                 manifest.files.value(replace.remoteDir + QLatin1Char('/') + replace.fileName).unpackedSha256);
    }
}

QTEST_MAIN(tst_ManifestCheck)
#include "tst_manifestcheck.moc"
