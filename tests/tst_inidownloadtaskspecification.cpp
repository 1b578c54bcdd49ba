#include "app/configuration.h"
#include "net/checksignaturetaskspecification.h"
#include "net/mirrors.h"
#include "support/httptestserver.h"
#include "support/mirrorseed.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testrelease.h"
#include "update/inidownloadtaskspecification.h"

#include <QFile>
#include "net/httpaccessmanager.h"
#include <QSemaphore>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <memory>

namespace {
const int Version = 77;
}

class tst_IniDownloadTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void weights_data();
    void weights();
    void tamperedLocalIniIsFetchedAgain();
    void givesUpAfterLimit();
    void cancelDuringFailingCheckDoesNotRetry();
    void oversizedAnswerDropsMirror_data();
    void oversizedAnswerDropsMirror();

private:
    IniDownloadTaskSpecification *makeTask();
    QString localIni() const { return tempDir->filePath(TestRelease::DefaultClientType + ".ini"); }
    QString iniUrlPath() const { return QStringLiteral("/%1/%2.ini").arg(Version).arg(TestRelease::DefaultClientType); }

    std::unique_ptr<QTemporaryDir> mirrorRoot;
    std::unique_ptr<QTemporaryDir> tempDir;
    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<TestRelease> release;
    Configuration configuration;
    HttpAccessManager manager;
    QStringList messages;
};

void tst_IniDownloadTaskSpecification::init()
{
    qDeleteAll(findChildren<QObject *>(Qt::FindDirectChildrenOnly));
    mirrorRoot = std::make_unique<QTemporaryDir>();
    tempDir = std::make_unique<QTemporaryDir>();
    server = std::make_unique<HttpTestServer>();
    QVERIFY(server->listen());
    server->serveDirectory(mirrorRoot->path());
    release = std::make_unique<TestRelease>(mirrorRoot->path(), Version);
    release->addFile(QStringLiteral("release"), QStringLiteral("a.txt"), "a");
    QVERIFY(release->write());
    configuration.clientType = TestRelease::DefaultClientType;
    configuration.tempDir = tempDir->path();
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    messages.clear();
}

IniDownloadTaskSpecification *tst_IniDownloadTaskSpecification::makeTask()
{
    const QString mirrorsIni = mirrorRoot->filePath(QStringLiteral("mirrors.ini"));
    {
        QSettings ini(mirrorsIni, QSettings::IniFormat);
        ini.beginWriteArray(QStringLiteral("mirrors"), 1);
        ini.setArrayIndex(0);
        ini.setValue(QStringLiteral("mirror"), QStringLiteral("local"));
        ini.endArray();
        ini.setValue(QStringLiteral("local/url"), server->url().toString());
        ini.setValue(QStringLiteral("local/retries"), 1000);
    }
    auto mirrors = new Mirrors(this);
    mirrors->initDefault(mirrorsIni, Version);
    auto task = new IniDownloadTaskSpecification(&manager, mirrors, &configuration, this, 1.0);
    connect(task, &TaskSpecification::message, this, [this](const QString &text) {
        messages.append(text);
    });
    return task;
}

void tst_IniDownloadTaskSpecification::weights_data()
{
    QTest::addColumn<bool>("iniPresent");
    QTest::addColumn<bool>("sigPresent");
    QTest::addColumn<QList<double>>("weights");

    QTest::newRow("both fetched") << false << false << QList<double>{0.3333, 0.3333, 0.3334};
    QTest::newRow("signature fetched") << true << false << QList<double>{0.3333, 0.6667};
    QTest::newRow("nothing fetched") << true << true << QList<double>{1.0};
}

void tst_IniDownloadTaskSpecification::weights()
{
    QFETCH(bool, iniPresent);
    QFETCH(bool, sigPresent);
    QFETCH(QList<double>, weights);

    if (iniPresent)
        QVERIFY(QFile::copy(release->iniPath(), localIni()));
    if (sigPresent)
        QVERIFY(QFile::copy(release->iniPath() + ".sig", localIni() + ".sig"));
    IniDownloadTaskSpecification *task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.size(), 1);

    // A finished sub-task's progress is its full weight.
    QList<double> seen;
    for (TaskSpecification *sub : task->findChildren<TaskSpecification *>(Qt::FindDirectChildrenOnly))
        seen.append(sub->getProgress());
    QCOMPARE(seen.size(), weights.size());
    for (int i = 0; i < seen.size(); ++i)
        QVERIFY2(qAbs(seen.at(i) - weights.at(i)) < 1e-9, qPrintable(QString::number(seen.at(i))));
    QCOMPARE(server->requestCount(iniUrlPath()), iniPresent ? 0 : 1);
    QCOMPARE(server->requestCount(iniUrlPath() + ".sig"), sigPresent ? 0 : 1);
    QCOMPARE(task->getProgress(), 1.0);
}

void tst_IniDownloadTaskSpecification::tamperedLocalIniIsFetchedAgain()
{
    QVERIFY(QFile::copy(release->iniPath() + ".sig", localIni() + ".sig"));
    QVERIFY(writeFile(localIni(), "[release]\nevil.so=00000000000000000000000000000000::1\n"));

    IniDownloadTaskSpecification *task = makeTask();
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(messages.count(QStringLiteral("Could not verify the product ini file. Retrying")), 1);
    QCOMPARE(server->requestCount(iniUrlPath()), 1);
    QCOMPARE(server->requestCount(iniUrlPath() + ".sig"), 1);
    QCOMPARE(readFile(localIni()), readFile(release->iniPath(), "<original missing>"));
}

void tst_IniDownloadTaskSpecification::givesUpAfterLimit()
{
    // The mirror's copy does not match its signature, so every attempt fails.
    QFile ini(release->iniPath());
    QVERIFY(ini.open(QIODevice::Append));
    ini.write("\n");
    ini.close();

    IniDownloadTaskSpecification *task = makeTask();
    task->setMaxFailedChecks(3);
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_COMPARE(canceled.size(), 1);
    QCOMPARE(task->getState(), TaskSpecification::StateErrorCanceled);
    QCOMPARE(messages.count(QStringLiteral("Could not verify the product ini file. Retrying")), 3);
    QCOMPARE(messages.last(), QStringLiteral("Could not verify the product ini file. Aborting"));
    QCOMPARE(server->requestCount(iniUrlPath()), 4);
    // The last check still finishes after the abort; that must not end the task a second time.
    auto *lastCheck = task->findChildren<CheckSignatureTaskSpecification *>().constLast();
    QTRY_COMPARE(lastCheck->getState(), TaskSpecification::StateFinished);
    QCoreApplication::sendPostedEvents(); // what that end queued
    QCOMPARE(finished.size(), 0);
    QCOMPARE(canceled.size(), 1);
    QCOMPARE(task->getState(), TaskSpecification::StateErrorCanceled);
}

// Regression: a failed check used to fetch both files again although the user had asked to stop.
void tst_IniDownloadTaskSpecification::cancelDuringFailingCheckDoesNotRetry()
{
    QVERIFY(QFile::copy(release->iniPath() + ".sig", localIni() + ".sig"));
    QVERIFY(writeFile(localIni(), "[release]\n"));

    // Hold the pool's threads so that the check is started but cannot deliver its verdict yet.
    QThreadPool *pool = QThreadPool::globalInstance();
    QSemaphore hold;
    for (int i = 0; i < pool->maxThreadCount(); ++i)
        pool->start([&hold] { hold.acquire(); });
    IniDownloadTaskSpecification *task = makeTask();
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_VERIFY(task->findChild<CheckSignatureTaskSpecification *>()
                && task->findChild<CheckSignatureTaskSpecification *>()->getState()
                        == TaskSpecification::StateRunning);
    task->userCanceled();
    hold.release(pool->maxThreadCount());

    QTRY_COMPARE(canceled.size(), 1);
    QCOMPARE(task->getState(), TaskSpecification::StateUserCanceled);
    QVERIFY(!messages.contains(QStringLiteral("Could not verify the product ini file. Retrying")));
    QTest::qWait(100);
    QCOMPARE(server->totalRequestCount(), 0);
}

void tst_IniDownloadTaskSpecification::oversizedAnswerDropsMirror_data()
{
    QTest::addColumn<bool>("signature"); // which file the hostile mirror makes too large
    QTest::addColumn<bool>("endless");   // without Content-Length, until the client stops reading
    QTest::addColumn<qint64>("limit");

    const qint64 iniLimit = IniDownloadTaskSpecification::MaxProductIniSize;
    const qint64 sigLimit = IniDownloadTaskSpecification::MaxSignatureSize;
    QTest::newRow("endless product ini") << false << true << iniLimit;
    QTest::newRow("product ini above the ceiling") << false << false << iniLimit;
    QTest::newRow("endless signature") << true << true << sigLimit;
    QTest::newRow("signature longer than the largest key's") << true << false << sigLimit;
}

// A mirror that sends more than the file can be is dropped at once, its partial file goes, and the
// next mirror serves.
void tst_IniDownloadTaskSpecification::oversizedAnswerDropsMirror()
{
    QFETCH(bool, signature);
    QFETCH(bool, endless);
    QFETCH(qint64, limit);

    // Only the file under test is fetched: the other one is already in the temporary directory.
    const QString other = signature ? QString() : QStringLiteral(".sig");
    QVERIFY(QFile::copy(release->iniPath() + other, localIni() + other));
    const QString path = iniUrlPath() + (signature ? QStringLiteral(".sig") : QString());

    HttpTestServer hostile;
    QVERIFY(hostile.listen());
    hostile.setHandler(path, [endless, limit](const HttpTestServer::Request &) {
        HttpTestServer::Response response = HttpTestServer::Response::withBody(QByteArray(limit + 1, 'x'));
        if (endless)
            response.fault = HttpTestServer::Fault::Endless;
        return response;
    });
    const QString mirrorsIni = tempDir->filePath(QStringLiteral("two-mirrors.ini"));
    QVERIFY(writeMirrorsIni(mirrorsIni, { { QStringLiteral("hostile"), hostile.url() },
                                          { QStringLiteral("good"), server->url() } }));
    auto mirrors = new Mirrors(this);
    mirrors->initDefault(mirrorsIni, Version);
    mirrors->seedRandom(seedForDraw(6, 0)); // the hostile mirror first
    auto task = new IniDownloadTaskSpecification(&manager, mirrors, &configuration, this, 1.0);
    connect(task, &TaskSpecification::message, this, [this](const QString &text) { messages.append(text); });
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();

    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    const QString remote = TestRelease::DefaultClientType + QStringLiteral(".ini") + (signature ? ".sig" : "");
    QVERIFY2(messages.contains(QStringLiteral("file %1 on mirror hostile is larger than the allowed %2 bytes")
                                       .arg(remote).arg(limit)),
             qPrintable(messages.join(u'\n')));
    QCOMPARE(hostile.requestCount(path), 1);
    QCOMPARE(server->requestCount(path), 1);
    QCOMPARE(mirrors->getMirrorIndex(QStringLiteral("hostile")), -1);
    QCOMPARE(readFile(localIni() + (signature ? ".sig" : "")),
             readFile(release->iniPath() + (signature ? ".sig" : ""), "<original missing>"));
}

QTEST_GUILESS_MAIN(tst_IniDownloadTaskSpecification)
#include "tst_inidownloadtaskspecification.moc"
