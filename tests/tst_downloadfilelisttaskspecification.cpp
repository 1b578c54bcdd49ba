#include "app/configuration.h"
#include "net/downloadfilelisttaskspecification.h"
#include "net/downloadfiletaskspecification.h"
#include "net/httpaccessmanager.h"
#include "net/mirrors.h"
#include "support/httptestserver.h"
#include "support/testfiles.h"
#include "support/testrelease.h"

#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const int Version = 5;
const QString Section = QStringLiteral("release");

QByteArray contentOf(int i)
{
    return QByteArray(1000 + i, char('a' + i));
}
}

class tst_DownloadFileListTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void emptyList();
    void directoriesBeforeDownloads();
    void directoryCannotBeCreated();
    void streamLimit();
    void corruptOnEveryMirror();
    void cancelDuringFailingCheckDoesNotRetry();
    void sizeNotGiven_data();
    void sizeNotGiven();

private:
    DownloadFileListTaskSpecification *makeTask(const QStringList &names, int mirrorCount = 1,
                                                int retries = 2);
    QString urlPath(const QString &name) const { return QStringLiteral("/%1/%2/%3").arg(Version).arg(Section, name); }

    std::unique_ptr<QTemporaryDir> mirrorRoot;
    std::unique_ptr<QTemporaryDir> tempDir;
    std::unique_ptr<HttpTestServer> server;
    Configuration configuration;
    HttpAccessManager manager;
    QList<FileDownloadSpecification> fileList;
    Mirrors *mirrors = nullptr;
    QStringList messages;
};

void tst_DownloadFileListTaskSpecification::init()
{
    qDeleteAll(findChildren<QObject *>(Qt::FindDirectChildrenOnly));
    mirrorRoot = std::make_unique<QTemporaryDir>();
    tempDir = std::make_unique<QTemporaryDir>();
    server = std::make_unique<HttpTestServer>();
    QVERIFY(server->listen());
    server->serveDirectory(mirrorRoot->path());
    configuration.tempDir = tempDir->path();
    configuration.downloadStreams = 6;
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    fileList.clear();
    messages.clear();
}

// Files named in names get contentOf(their index); mirrorCount mirror entries all lead to the one
// server, each with its own slots.
DownloadFileListTaskSpecification *
tst_DownloadFileListTaskSpecification::makeTask(const QStringList &names, int mirrorCount,
                                                int retries)
{
    for (int i = 0; i < names.size(); ++i) {
        const QString path = mirrorRoot->path() + urlPath(names.at(i));
        if (!writeFile(path, contentOf(i)))
            qFatal("cannot lay out the mirror");
        fileList.append(FileDownloadSpecification(Section, names.at(i),
                                                  QString::fromLatin1(md5Hex(contentOf(i))),
                                                  quint64(contentOf(i).size())));
    }
    const QString mirrorsIni = mirrorRoot->filePath(QStringLiteral("mirrors.ini"));
    {
        QSettings ini(mirrorsIni, QSettings::IniFormat);
        ini.beginWriteArray(QStringLiteral("mirrors"), mirrorCount);
        for (int i = 0; i < mirrorCount; ++i) {
            ini.setArrayIndex(i);
            ini.setValue(QStringLiteral("mirror"), QStringLiteral("m%1").arg(i));
        }
        ini.endArray();
        for (int i = 0; i < mirrorCount; ++i) {
            ini.setValue(QStringLiteral("m%1/url").arg(i), server->url().toString());
            ini.setValue(QStringLiteral("m%1/retries").arg(i), retries);
        }
    }
    mirrors = new Mirrors(this);
    mirrors->initDefault(mirrorsIni, Version);
    auto task = new DownloadFileListTaskSpecification(&fileList, &manager, mirrors, &configuration,
                                                      this, 0.4);
    connect(task, &TaskSpecification::message, this, [this](const QString &text) {
        messages.append(text);
    });
    connect(mirrors, &Mirrors::message, this, [this](const QString &text) {
        messages.append(text);
    });
    return task;
}

void tst_DownloadFileListTaskSpecification::emptyList()
{
    DownloadFileListTaskSpecification *task = makeTask({});
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(messages, QStringList{QStringLiteral("No downloads needed")});
    QCOMPARE(task->getProgress(), 0.4);
    QVERIFY(QDir(tempDir->path()).isEmpty());
}

void tst_DownloadFileListTaskSpecification::directoriesBeforeDownloads()
{
    const QStringList names{QStringLiteral("plugins/a.so"), QStringLiteral("top.txt"),
                            QStringLiteral("plugins/b.so"), QStringLiteral("x/y/z.txt")};
    DownloadFileListTaskSpecification *task = makeTask(names);
    bool directoriesReady = false;
    connect(server.get(), &HttpTestServer::requestReceived, this, [&] {
        if (server->totalRequestCount() == 1) {
            directoriesReady = QFileInfo(tempDir->filePath("plugins")).isDir()
                    && QFileInfo(tempDir->filePath("x/y")).isDir();
        }
    });
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.size(), 1);
    QVERIFY(directoriesReady);
    QCOMPARE(messages.first(), QStringLiteral("Downloading files"));
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(readFile(tempDir->filePath(names.at(i))), contentOf(i));
    QVERIFY(qAbs(task->getProgress() - 0.4) < 1e-9);
}

void tst_DownloadFileListTaskSpecification::directoryCannotBeCreated()
{
    QFile blocker(tempDir->filePath(QStringLiteral("blocked")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    DownloadFileListTaskSpecification *task = makeTask({QStringLiteral("top.txt"),
                                                        QStringLiteral("blocked/file.txt")});
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QCOMPARE(canceled.size(), 1);
    QCOMPARE(task->getState(), TaskSpecification::StateErrorCanceled);
    QCOMPARE(messages, QStringList{QStringLiteral("Could not create dir %1/blocked")
                                           .arg(QDir(tempDir->path()).canonicalPath())});
    QTest::qWait(50);
    QCOMPARE(server->totalRequestCount(), 0);
}

// Ten files, six streams: six start together, the seventh only when one of them has ended. The
// display's total covers all ten from the first tick.
void tst_DownloadFileListTaskSpecification::streamLimit()
{
    QStringList names;
    for (int i = 0; i < 10; ++i)
        names.append(QStringLiteral("f%1.bin").arg(i));
    server->setFallbackHandler([this, first = urlPath(names.first())](const HttpTestServer::Request &request) {
        HttpTestServer::Response response = server->fileResponse(request.path);
        if (request.path != first)
            response.fault = HttpTestServer::Fault::Stall;
        return response;
    });
    DownloadFileListTaskSpecification *task = makeTask(names, 3); // nine mirror slots
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    task->timeTick(done, total, speed, downloading);
    quint64 expected = 0;
    for (int i = 0; i < 10; ++i)
        expected += quint64(contentOf(i).size());
    QCOMPARE(total, expected);
    QCOMPARE(done, quint64(0));

    QTRY_COMPARE(server->totalRequestCount(), 7);
    QTest::qWait(200);
    QCOMPARE(server->totalRequestCount(), 7);
    QCOMPARE(server->requestCount(urlPath(names.at(7))), 0);

    task->userCanceled();
    QTRY_COMPARE(canceled.size(), 1);
    QCOMPARE(task->getState(), TaskSpecification::StateUserCanceled);
}

// A mirror goes at the first bad copy although its retries would tolerate more errors; when every
// mirror is bad the phase fails after one attempt per mirror.
void tst_DownloadFileListTaskSpecification::corruptOnEveryMirror()
{
    server->setFallbackHandler([this](const HttpTestServer::Request &request) {
        HttpTestServer::Response response = server->fileResponse(request.path);
        response.fault = HttpTestServer::Fault::Corrupt;
        return response;
    });
    DownloadFileListTaskSpecification *task = makeTask({QStringLiteral("file.bin")}, 2, 5);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_COMPARE(canceled.size(), 1);
    QCOMPARE(task->getState(), TaskSpecification::StateErrorCanceled);
    QCOMPARE(server->totalRequestCount(), 2);
    QCOMPARE(messages.count(QStringLiteral("md5 sum for file.bin failed, invalidating mirror and retrying")), 2);
    QCOMPARE(messages.count(QStringLiteral("There are no (more) known working mirrors available")), 1);
}

// Regression: a failed check used to start a new transfer even though the user had asked to stop.
void tst_DownloadFileListTaskSpecification::cancelDuringFailingCheckDoesNotRetry()
{
    server->setFallbackHandler([this](const HttpTestServer::Request &request) {
        HttpTestServer::Response response = server->fileResponse(request.path);
        response.fault = HttpTestServer::Fault::Corrupt;
        return response;
    });
    DownloadFileListTaskSpecification *task = makeTask({QStringLiteral("file.bin")}, 2);
    // The user's cancel lands after the check has found the copy bad and before anything acts on that.
    connect(task, &TaskSpecification::message, task, [task](const QString &text) {
        if (text.startsWith(QLatin1String("Signature check failed for ")))
            task->userCanceled();
    });

    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_COMPARE(canceled.size(), 1);
    QCOMPARE(task->getState(), TaskSpecification::StateUserCanceled);
    QTest::qWait(100);
    QCOMPARE(server->totalRequestCount(), 1);
    QVERIFY(!messages.contains(QStringLiteral("md5 sum for file.bin failed, invalidating mirror and retrying")));
}

void tst_DownloadFileListTaskSpecification::sizeNotGiven_data()
{
    QTest::addColumn<qint64>("announced"); // the Content-Length the server sends, -1 for the true one
    QTest::addColumn<bool>("done");

    QTest::newRow("bounded by the server's length") << qint64(-1) << true;
    QTest::newRow("length beyond the ceiling")
        << DownloadFileTaskSpecification::MaxUnsizedFileSize + 1 << false;
}

// "md5::" with an empty, zero or non-numeric size lists size 0, which means "not known": such a file
// used to fail on every mirror for being larger than 0 bytes.
void tst_DownloadFileListTaskSpecification::sizeNotGiven()
{
    QFETCH(qint64, announced);
    QFETCH(bool, done);

    DownloadFileListTaskSpecification *task = makeTask({ QStringLiteral("a.bin") });
    fileList[0].size = 0;
    if (announced >= 0) {
        server->setHandler(urlPath(QStringLiteral("a.bin")), [announced](const HttpTestServer::Request &) {
            HttpTestServer::Response response = HttpTestServer::Response::withBody(contentOf(0));
            response.fault = HttpTestServer::Fault::BodyLargerThanAnnounced;
            response.announcedLength = announced;
            return response;
        });
    }
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_COMPARE(finished.size() + canceled.size(), 1);

    QCOMPARE(finished.size(), done ? 1 : 0);
    if (done) {
        QCOMPARE(readFile(tempDir->filePath(QStringLiteral("a.bin"))), contentOf(0));
        QCOMPARE(server->requestCount(urlPath(QStringLiteral("a.bin"))), 1);
        return;
    }
    QVERIFY2(messages.contains(QStringLiteral("file release/a.bin on mirror m0 is larger than the allowed %1 bytes")
                                       .arg(DownloadFileTaskSpecification::MaxUnsizedFileSize)),
             qPrintable(messages.join(u'\n')));
    QVERIFY(!QFile::exists(tempDir->filePath(QStringLiteral("a.bin"))));
}

QTEST_GUILESS_MAIN(tst_DownloadFileListTaskSpecification)
#include "tst_downloadfilelisttaskspecification.moc"
