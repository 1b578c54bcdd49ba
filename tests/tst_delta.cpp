#include "app/configuration.h"
#include "net/deltadownloadtaskspecification.h"
#include "net/downloadfilelisttaskspecification.h"
#include "net/downloadfiletaskspecification.h"
#include "net/mirrors.h"
#include "support/httptestserver.h"
#include "support/nginxserver.h"
#include "support/testfiles.h"
#include "support/testinstallation.h"
#include "tasks/blockmap.h"

#include "net/httpaccessmanager.h"
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const int Version = 5;
const QString Name = QStringLiteral("big.bin");
const QString FilePath = QStringLiteral("/5/release/big.bin");
constexpr qsizetype FileSize = 6 * 1024 * 1024;

BlockMap mapOf(const QByteArray &content)
{
    BlockMap::Builder builder(BlockMap::blockSizeFor(quint64(content.size())), quint64(content.size()));
    builder.add(content);
    return builder.result();
}

// The installed release's file and the new one, as a vendor's edit between two releases makes them.
struct Edit
{
    QByteArray installed;
    QByteArray released;
};

// A file this long is planned while it is scanned: its first changes are fetched before the scan ends.
constexpr qsizetype LongFileSize = 40 * 1024 * 1024;

Edit changedInPlaces(qsizetype size = FileSize)
{
    Edit edit{randomBytes(size, 1), {}};
    edit.released = edit.installed;
    for (int i = 0; i < 10; ++i)
        edit.released.replace(i * 600000 + 1000, 3000, randomBytes(3000, 100 + i));
    return edit;
}
} // namespace

// A big file fetched as a delta against its installed copy: the block map from the mirror, the scan of
// the installed copy, the reused blocks and the ranges for the rest, and every way back to the whole file.
class tst_Delta : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void bytesOnTheWire_data();
    void bytesOnTheWire();
    void fallsBackToWholeFile_data();
    void fallsBackToWholeFile();
    void cancel_data();
    void cancel();
    void rangesRunSideBySide();
    void listTotalIsWhatTravels();

private:
    // Bytes nginx sent of the block map and of the file itself.
    static std::pair<qint64, qint64> bytesSent(const NginxServer &nginx);
    void makeMirrors(const QUrl &mirror);
    void layOut(const Edit &edit, const QByteArray &map);
    DownloadFileTaskSpecification *makeTask(const QUrl &mirror, const QByteArray &released);
    // Runs the task to its end; its final state.
    TaskSpecification::TaskState run(DownloadFileTaskSpecification *task);

    std::unique_ptr<TestInstallation> installation;
    std::unique_ptr<QTemporaryDir> mirrorRoot;
    std::unique_ptr<QTemporaryDir> tempDir;
    Configuration configuration;
    HttpAccessManager manager;
    Mirrors *mirrors = nullptr;
    QStringList messages;
};

void tst_Delta::init()
{
    qDeleteAll(findChildren<QObject *>(Qt::FindDirectChildrenOnly));
    installation = std::make_unique<TestInstallation>();
    mirrorRoot = std::make_unique<QTemporaryDir>();
    tempDir = std::make_unique<QTemporaryDir>();
    configuration.tempDir = tempDir->path();
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    messages.clear();
}

void tst_Delta::layOut(const Edit &edit, const QByteArray &map)
{
    QVERIFY(writeFile(installation->filePath(Name), edit.installed));
    QVERIFY(writeFile(mirrorRoot->path() + FilePath, edit.released));
    if (!map.isNull())
        QVERIFY(writeFile(BlockMap::pathFor(mirrorRoot->path() + FilePath), map));
}

// Two mirror entries lead to the same server, so that range requests can spread over them.
void tst_Delta::makeMirrors(const QUrl &mirror)
{
    const QString mirrorsIni = mirrorRoot->filePath(QStringLiteral("mirrors.ini"));
    {
        QSettings ini(mirrorsIni, QSettings::IniFormat);
        ini.beginWriteArray(QStringLiteral("mirrors"), 2);
        for (int i = 0; i < 2; ++i) {
            ini.setArrayIndex(i);
            ini.setValue(QStringLiteral("mirror"), QStringLiteral("m%1").arg(i));
        }
        ini.endArray();
        for (int i = 0; i < 2; ++i)
            ini.setValue(QStringLiteral("m%1/url").arg(i), mirror.toString());
    }
    mirrors = new Mirrors(this);
    mirrors->initDefault(mirrorsIni, Version);
}

DownloadFileTaskSpecification *tst_Delta::makeTask(const QUrl &mirror, const QByteArray &released)
{
    makeMirrors(mirror);
    const FileDownloadSpecification file(QStringLiteral("release"), Name, QString::fromLatin1(md5Hex(released)),
                                         quint64(released.size()));
    auto task = new DownloadFileTaskSpecification(file, &manager, mirrors, &configuration, this, 1.0);
    connect(task, &TaskSpecification::message, this, [this](const QString &text) { messages.append(text); });
    return task;
}

TaskSpecification::TaskState tst_Delta::run(DownloadFileTaskSpecification *task)
{
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    if (!QTest::qWaitFor([&] { return finished.size() + canceled.size() > 0; }, 60000))
        return TaskSpecification::StateRunning;
    return task->getState();
}

void tst_Delta::bytesOnTheWire_data()
{
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<QByteArray>("released");
    QTest::addColumn<qint64>("maxFetched"); // bytes of the file itself that may travel

    const Edit changed = changedInPlaces();
    // Each changed stretch costs at most its own bytes and two partly changed blocks.
    QTest::newRow("changes in places") << changed.installed << changed.released << qint64(10 * (3000 + 2 * 4096));
    const Edit longChanged = changedInPlaces(LongFileSize);
    QTest::newRow("changes fetched while the scan goes on")
            << longChanged.installed << longChanged.released << qint64(10 * (3000 + 2 * 4096));
    const QByteArray base = randomBytes(FileSize, 2);
    const QByteArray inserted = randomBytes(100000, 3);
    QTest::newRow("insertion in the middle") << base << base.left(3000000) + inserted + base.mid(3000000)
                                             << qint64(100000 + 2 * 4096);
    QTest::newRow("deletion in the middle") << base << base.left(2000000) + base.mid(2500000) << qint64(2 * 4096);
    QTest::newRow("shifted by an insertion at the start") << base << QByteArray("new header") + base
                                                          << qint64(2 * 4096);
    QTest::newRow("insertions, deletions and changes")
            << base << base.left(1000000) + inserted + base.mid(1200000, 3000000) + randomBytes(5000, 4) + base.mid(4205000)
            << qint64(100000 + 5000 + 6 * 4096);
}

void tst_Delta::bytesOnTheWire()
{
    QFETCH(QByteArray, installed);
    QFETCH(QByteArray, released);
    QFETCH(qint64, maxFetched);
    const QByteArray map = mapOf(released).serialize();
    layOut({installed, released}, map);
    NginxServer nginx(mirrorRoot->path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    DownloadFileTaskSpecification *task = makeTask(nginx.url(), released);
    QCOMPARE(run(task), TaskSpecification::StateFinished);
    QCOMPARE(readFile(tempDir->filePath(Name)), released);
    QVERIFY(!QFile::exists(DeltaDownloadTaskSpecification::assemblyPath(tempDir->filePath(Name))));

    // What travelled, from nginx's own log: the map once, then only ranges (206) of the file.
    const auto [mapBytes, fileBytes] = bytesSent(nginx);
    QCOMPARE(mapBytes, qint64(map.size()));
    QVERIFY2(fileBytes <= maxFetched, qPrintable(QStringLiteral("%1 bytes of the file travelled").arg(fileBytes)));
    QVERIFY(nginx.requests().size() <= 1 + DeltaPlan::DefaultMaxRanges);
    QCOMPARE(task->getTravel(), quint64(mapBytes + fileBytes));
    const QString summary = QStringLiteral("Delta update of release/big.bin: %1 bytes reused, %2 bytes fetched")
                                    .arg(released.size() - fileBytes)
                                    .arg(fileBytes);
    QVERIFY2(messages.filter(summary).size() == 1, qPrintable(messages.join(QLatin1Char('\n'))));
}

std::pair<qint64, qint64> tst_Delta::bytesSent(const NginxServer &nginx)
{
    qint64 fileBytes = 0;
    qint64 mapBytes = 0;
    for (const QString &line : nginx.requests()) {
        const QStringList fields = line.split(QLatin1Char(' '));
        if (fields.size() != 4)
            continue;
        if (fields.at(1) == BlockMap::pathFor(FilePath)) {
            mapBytes += fields.at(3).toLongLong();
        } else if (fields.at(1) == FilePath && fields.at(2) == QStringLiteral("206")) {
            fileBytes += fields.at(3).toLongLong();
        } else {
            qWarning("unexpected request: %s", qPrintable(line));
        }
    }
    return {mapBytes, fileBytes};
}

void tst_Delta::fallsBackToWholeFile_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("map missing") << "missing";
    QTest::newRow("map truncated") << "truncated";
    QTest::newRow("map lies about a block") << "lies";
    QTest::newRow("map huge") << "huge";
    QTest::newRow("map of another file") << "other file";
    QTest::newRow("mirror ignores ranges") << "ignores ranges";
    QTest::newRow("mirror ignores ranges asked for while the scan goes on") << "ignores ranges while scanning";
    QTest::newRow("mirror refuses ranges") << "refuses ranges";
    QTest::newRow("installed copy deleted meanwhile") << "installed deleted";
}

// However the delta fails, the file is fetched whole, once, and no mirror is charged for it.
void tst_Delta::fallsBackToWholeFile()
{
    QFETCH(QString, fault);
    // A refused range or a missing map is let go without failing the request twice, which Qt warns about.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    const Edit edit = changedInPlaces(fault.endsWith("while scanning") ? LongFileSize : FileSize);
    BlockMap map = mapOf(edit.released);
    QByteArray mapData = map.serialize();
    if (fault == "truncated") {
        mapData.chop(100);
    } else if (fault == "lies") {
        // Block 3 is said to hold what the installed copy has at its start.
        map.blocks[3] = mapOf(edit.installed.left(map.blockSize)).blocks.at(0);
        mapData = map.serialize();
    } else if (fault == "huge") {
        mapData = QByteArray(1024 * 1024, 'm');
    } else if (fault == "other file") {
        mapData = mapOf(edit.installed).serialize();
    }
    layOut(edit, fault == "missing" ? QByteArray() : mapData);

    HttpTestServer server;
    QVERIFY(server.listen());
    server.serveDirectory(mirrorRoot->path());
    int wholeFileRequests = 0;
    int rangeRequests = 0;
    server.setFallbackHandler([&](const HttpTestServer::Request &request) {
        HttpTestServer::Response response = server.fileResponse(request.path);
        if (request.path == FilePath) {
            (request.header("range").isEmpty() ? wholeFileRequests : rangeRequests) += 1;
            if (fault.startsWith("ignores ranges"))
                response.ranges = HttpTestServer::Ranges::Ignore;
            else if (fault == "refuses ranges")
                response.ranges = HttpTestServer::Ranges::NotSatisfiable;
        } else if (fault == "installed deleted") {
            QFile::remove(installation->filePath(Name));
        }
        return response;
    });
    DownloadFileTaskSpecification *task = makeTask(server.url(), edit.released);
    QCOMPARE(run(task), TaskSpecification::StateFinished);
    QCOMPARE(readFile(tempDir->filePath(Name)), edit.released);
    QCOMPARE(wholeFileRequests, 1);
    QVERIFY(!QFile::exists(DeltaDownloadTaskSpecification::assemblyPath(tempDir->filePath(Name))));
    QVERIFY2(messages.filter(QStringLiteral("Fetching release/big.bin whole: ")).size() == 1,
             qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(mirrors->getMirrorList().size(), 2);
    for (const FTPSiteAccessData &mirror : mirrors->getMirrorList())
        QCOMPARE(mirror.errorCount, 0);
    // The file travels whole, after whatever of a map did.
    QVERIFY(task->getTravel() >= quint64(edit.released.size()));
    QVERIFY(task->getTravel() <= quint64(edit.released.size() + mapData.size() + 1));
    if (fault.contains("ranges"))
        QVERIFY(rangeRequests >= 1);
    else if (fault != "lies")
        QCOMPARE(rangeRequests, 0);
}

void tst_Delta::cancel_data()
{
    QTest::addColumn<bool>("duringRanges"); // else during the scan
    QTest::newRow("during the scan") << false;
    QTest::newRow("while ranges are fetched and the copy waits for them") << true;
}

// A cancel ends the delta cancelled wherever it comes, with nothing of it left and the installed copy intact.
void tst_Delta::cancel()
{
    QFETCH(bool, duringRanges);
    const Edit edit = changedInPlaces();
    layOut(edit, mapOf(edit.released).serialize());
    HttpTestServer server;
    QVERIFY(server.listen());
    server.serveDirectory(mirrorRoot->path());
    DownloadFileTaskSpecification *task = makeTask(server.url(), edit.released);
    int rangeRequests = 0;
    server.setFallbackHandler([&](const HttpTestServer::Request &request) {
        if (request.path == FilePath && ++rangeRequests == 1 && duringRanges)
            task->userCanceled();
        return server.fileResponse(request.path);
    });
    connect(task, &TaskSpecification::message, this, [task, duringRanges](const QString &text) {
        if (!duringRanges && text.startsWith(QStringLiteral("Looking for reusable blocks")))
            task->userCanceled();
    });
    QCOMPARE(run(task), TaskSpecification::StateUserCanceled);
    QCOMPARE(rangeRequests > 0, duringRanges);
    QVERIFY(!QFile::exists(tempDir->filePath(Name)));
    QVERIFY(!QFile::exists(DeltaDownloadTaskSpecification::assemblyPath(tempDir->filePath(Name))));
    QCOMPARE(readFile(installation->filePath(Name)), edit.installed);
}

// A file has RangeStreams range requests out at once: not fewer (they do not wait for each other), and not
// more when the copy of the reused blocks has ended and left its slot.
void tst_Delta::rangesRunSideBySide()
{
    const Edit edit = changedInPlaces();
    layOut(edit, mapOf(edit.released).serialize());
    HttpTestServer server;
    QVERIFY(server.listen());
    server.serveDirectory(mirrorRoot->path());
    server.setFallbackHandler([&](const HttpTestServer::Request &request) {
        HttpTestServer::Response response = server.fileResponse(request.path);
        if (request.path == FilePath)
            response.fault = HttpTestServer::Fault::Stall;
        return response;
    });
    DownloadFileTaskSpecification *task = makeTask(server.url(), edit.released);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(FilePath), DeltaDownloadTaskSpecification::RangeStreams, 10000);
    // Long enough for the copy of 6 MiB to end, and for a further request to come if it were let.
    QTest::qWait(1000);
    QCOMPARE(server.requestCount(FilePath), DeltaDownloadTaskSpecification::RangeStreams);
    task->userCanceled();
    QTRY_COMPARE_WITH_TIMEOUT(canceled.size(), 1, 10000);
}

// The download list's total for the speed and size display is what travels, not the file's size.
void tst_Delta::listTotalIsWhatTravels()
{
    const Edit edit = changedInPlaces();
    layOut(edit, mapOf(edit.released).serialize());
    NginxServer nginx(mirrorRoot->path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    makeMirrors(nginx.url());
    configuration.downloadStreams = 6;
    QList<FileDownloadSpecification> files{FileDownloadSpecification(
            QStringLiteral("release"), Name, QString::fromLatin1(md5Hex(edit.released)), quint64(edit.released.size()))};
    DownloadFileListTaskSpecification list(&files, &manager, mirrors, &configuration, nullptr, 1.0);
    QSignalSpy finished(&list, &TaskSpecification::finished);
    list.execute();
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    list.timeTick(done, total, speed, downloading);
    QCOMPARE(total, quint64(edit.released.size()));
    QVERIFY(finished.wait(60000));
    done = total = speed = 0;
    list.timeTick(done, total, speed, downloading);
    QCOMPARE(readFile(tempDir->filePath(Name)), edit.released);
    const auto [mapBytes, fileBytes] = bytesSent(nginx);
    QVERIFY(fileBytes < edit.released.size() / 10);
    QCOMPARE(total, quint64(mapBytes + fileBytes));
    QCOMPARE(done, total);
}

QTEST_GUILESS_MAIN(tst_Delta)
#include "tst_delta.moc"
