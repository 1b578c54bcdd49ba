#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "support/httptestserver.h"
#include "support/mirrorsini.h"
#include "support/mirrorseed.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include "net/httpaccessmanager.h"
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Response = HttpTestServer::Response;
using Fault = HttpTestServer::Fault;

// Every mirror is an HttpTestServer of its own; the release lives under /client/3021/ on each.
class tst_DownloadTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void downloadsFile_data();
    void downloadsFile();
    void badAnswerCostsMirror_data();
    void badAnswerCostsMirror();
    void rangeAnswers_data();
    void rangeAnswers();
    void rangesOfOneFileFromSeveralTasks();
    void cancelledRangeKeepsFile();
    void stallTimesOutOnSixteenthTick();
    void endlessDataFailsAttempt();
    void tasksWaitForSingleSlot();
    void lastMirrorGoneEndsEveryTaskOnce();
    void optionalFileFailsOnce_data();
    void optionalFileFailsOnce();
    void cancelWhileWaiting_data();
    void cancelWhileWaiting();
    void cancelWhileDownloadingDeletesPartialFile();
    void unwritableFileCancels();

private:
    static constexpr const char *RemotePath = "file.bin";
    static constexpr const char *ServerPath = "/client/3021/file.bin";

    HttpTestServer *addServer(const Response &response);
    std::unique_ptr<Mirrors> mirrorsFor(const QList<HttpTestServer *> &servers);
    std::unique_ptr<Mirrors> alphaMirrorFor(HttpTestServer *server);
    std::unique_ptr<DownloadTaskSpecification> makeTask(Mirrors *mirrors, qint64 size = -1,
                                                        const QString &name = QStringLiteral("local.bin"));
    QByteArray localFile(const QString &name = QStringLiteral("local.bin")) const;

    HttpAccessManager *manager = nullptr;
    QList<HttpTestServer *> servers;
    std::unique_ptr<QTemporaryDir> dir;
    QByteArray content;
};

HttpTestServer *tst_DownloadTaskSpecification::addServer(const Response &response)
{
    auto *server = new HttpTestServer(this);
    if (!server->listen())
        qFatal("cannot listen on 127.0.0.1");
    server->setHandler(ServerPath, [response](const HttpTestServer::Request &) { return response; });
    servers.append(server);
    return server;
}

// Named "m0", "m1", ... in the order given.
std::unique_ptr<Mirrors> tst_DownloadTaskSpecification::mirrorsFor(const QList<HttpTestServer *> &list)
{
    QList<QPair<QString, QUrl>> entries;
    for (int i = 0; i < list.size(); ++i)
        entries.append({QStringLiteral("m%1").arg(i), list.at(i)->url("/client")});
    const QString path = dir->filePath(QStringLiteral("mirrors.ini"));
    if (!writeMirrorsIni(path, entries))
        qFatal("cannot write mirrors.ini");
    auto mirrors = std::make_unique<Mirrors>();
    mirrors->initDefault(path, 3021);
    return mirrors;
}

// The alpha mirror is the one http mirror with a single slot.
std::unique_ptr<Mirrors> tst_DownloadTaskSpecification::alphaMirrorFor(HttpTestServer *server)
{
    const QString path = dir->filePath(QStringLiteral("update.ini"));
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue("Channel/alpha", server->url("/client").toString());
    }
    auto mirrors = std::make_unique<Mirrors>();
    mirrors->initAlpha(path, 3021);
    return mirrors;
}

std::unique_ptr<DownloadTaskSpecification> tst_DownloadTaskSpecification::makeTask(Mirrors *mirrors, qint64 size,
                                                                                    const QString &name)
{
    return std::make_unique<DownloadTaskSpecification>(manager, mirrors, RemotePath, dir->filePath(name), size,
                                                       nullptr, 0.5);
}

QByteArray tst_DownloadTaskSpecification::localFile(const QString &name) const
{
    return readFile(dir->filePath(name));
}

void tst_DownloadTaskSpecification::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    manager = new HttpAccessManager(this);
    content.clear();
    for (int i = 0; i < 10000; ++i)
        content.append(char('a' + i % 26));
}

void tst_DownloadTaskSpecification::cleanup()
{
    qDeleteAll(servers);
    servers.clear();
    delete manager;
}

void tst_DownloadTaskSpecification::downloadsFile_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("sizeGiven");
    QTest::addColumn<bool>("drip");

    QTest::newRow("one chunk exactly") << 4096 << true << false;
    QTest::newRow("several chunks") << 10000 << true << false;
    QTest::newRow("size learned from server") << 10000 << false << false;
    QTest::newRow("zero-length body") << 0 << true << false;
    QTest::newRow("zero-length body, no size") << 0 << false << false;
    QTest::newRow("slow drip") << 3000 << true << true;
    // Beyond the size hashed on the spot, and beyond what may wait for the pool: reading pauses and goes on.
    QTest::newRow("hashed on the pool") << 5 * 1024 * 1024 + 17 << true << false;
    QTest::newRow("hashed on the pool, size learned from server") << 3 * 1024 * 1024 << false << false;
}

void tst_DownloadTaskSpecification::downloadsFile()
{
    QFETCH(int, size);
    QFETCH(bool, sizeGiven);
    QFETCH(bool, drip);

    QByteArray body;
    for (int i = 0; body.size() < size; ++i)
        body += QByteArray::number(i * 2654435761u % 1000003) + ' ';
    body.truncate(size);
    Response response = Response::withBody(body);
    if (drip) {
        response.fault = Fault::SlowDrip;
        response.dripBytes = 500;
        response.dripIntervalMs = 5;
    }
    HttpTestServer *server = addServer(response);
    const auto mirrors = mirrorsFor({server});
    const auto task = makeTask(mirrors.get(), sizeGiven ? size : -1);
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    QSignalSpy canceled(task.get(), &TaskSpecification::canceled);

    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    QCOMPARE(canceled.size(), 0);
    QCOMPARE(task->getState(), TaskSpecification::StateFinished);
    QCOMPARE(task->getProgress(), 0.5);
    QCOMPARE(localFile(), body);
    QCOMPARE(task->getReceived(), qint64(size));
    // The sum the check after the download compares, taken while the bytes arrived.
    QCOMPARE(task->getReceivedDigest(),
             FileDigest(QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex()),
                        quint64(size)));
    if (size > 0)
        QCOMPARE(task->getExpectedSize(), qint64(size));
    QCOMPARE(messages.size(), 2);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Downloading file.bin"));
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("Downloading file.bin finished"));
    QCOMPARE(server->requestCount(ServerPath), 1);

    // The mirror that served the file stays named; its slot was given back once, not again on reset.
    QCOMPARE(task->getMirror().name, QStringLiteral("m0"));
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
    task->reset();
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
    QCOMPARE(task->getState(), TaskSpecification::StateIdle);
    QCOMPARE(task->getExpectedSize(), sizeGiven ? qint64(size) : -1);
}

void tst_DownloadTaskSpecification::badAnswerCostsMirror_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("removedAtOnce");
    QTest::addColumn<QString>("text"); // %1: the bad mirror's URL of the file

    QTest::newRow("404") << Response::withStatus(404, "not here") << true << "%1 returned 404";
    QTest::newRow("500") << Response::withStatus(500) << true << "%1 returned 500";
    QTest::newRow("401") << Response::withStatus(401) << true << "%1 returned 401";
    QTest::newRow("redirect") << Response::redirectTo("/elsewhere") << true << "%1 returned 302";
    // Partial content is an answer to a range request only.
    QTest::newRow("206 to a whole-file request") << Response::withStatus(206, "part") << true << "%1 returned 206";

    Response reset = Response::withBody(QByteArray(10000, 'x'));
    reset.fault = Fault::ResetMidBody;
    QTest::newRow("reset in the body") << reset << false << QString();
}

// The bad mirror comes first and is drawn first; the good one must then serve the whole file. A request
// that Qt has already failed for its status is let go without a second failure, so Qt has nothing to warn
// about.
void tst_DownloadTaskSpecification::badAnswerCostsMirror()
{
    QFETCH(Response, response);
    QFETCH(bool, removedAtOnce);
    QFETCH(QString, text);
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));

    HttpTestServer *bad = addServer(response);
    HttpTestServer *good = addServer(Response::withBody(content));
    const auto mirrors = mirrorsFor({bad, good});
    QSignalSpy mirrorMessages(mirrors.get(), &Mirrors::message);
    mirrors->seedRandom(seedForDraw(6, 0));
    const auto task = makeTask(mirrors.get(), content.size());
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);

    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(localFile(), content);
    QCOMPARE(task->getReceived(), qint64(content.size()));
    QCOMPARE(task->getMirror().name, QStringLiteral("m1"));
    QCOMPARE(good->requestCount(ServerPath), 1);
    QCOMPARE(bad->requestCount("/elsewhere"), 0);

    const int badIndex = mirrors->getMirrorIndex("m0");
    if (removedAtOnce) {
        QCOMPARE(badIndex, -1);
        QCOMPARE(bad->requestCount(ServerPath), 1);
        QVERIFY(mirrorMessages.isEmpty()); // removed, not counted out
        const QString url = bad->url(ServerPath).toString();
        QCOMPARE(messages.at(1).at(0).toString(), text.arg(url));
    } else {
        // Counted as errors: every failed attempt on it is one of its tolerated errors.
        const int errors = badIndex < 0 ? 3 : mirrors->getMirrorList().at(badIndex).errorCount;
        QVERIFY(errors >= 1);
        QCOMPARE(bad->requestCount(ServerPath), errors);
    }
}

void tst_DownloadTaskSpecification::optionalFileFailsOnce_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<QString>("text");
    QTest::newRow("404") << Response::withStatus(404, "not here") << "%1 returned 404";
    QTest::newRow("500") << Response::withStatus(500) << "%1 returned 500";
    QTest::newRow("redirect") << Response::redirectTo("/elsewhere") << "%1 returned 302";
    Response reset = Response::withBody(QByteArray(4000, 'r'));
    reset.fault = Fault::ResetMidBody;
    QTest::newRow("reset in the body") << reset << QString();
    QTest::newRow("larger than its limit") << Response::withBody(QByteArray(5000, 'l'))
                                           << "file file.bin on mirror m0 is larger than the allowed 4096 bytes";
}

// A file that helps but is not needed: the first failure ends the task finished and absent, on the first
// mirror drawn, with no error charged to it and no second mirror asked.
void tst_DownloadTaskSpecification::optionalFileFailsOnce()
{
    QFETCH(Response, response);
    QFETCH(QString, text);
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    HttpTestServer *bad = addServer(response);
    HttpTestServer *good = addServer(Response::withBody(content));
    const auto mirrors = mirrorsFor({bad, good});
    mirrors->seedRandom(seedForDraw(6, 0));
    const auto task = makeTask(mirrors.get());
    task->setOptional();
    task->setSizeLimit(4096);
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QVERIFY(task->isAbsent());
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("local.bin"))));
    QCOMPARE(bad->requestCount(ServerPath), 1);
    QCOMPARE(good->requestCount(ServerPath), 0);
    QCOMPARE(mirrors->getMirrorList().size(), 2);
    for (const FTPSiteAccessData &mirror : mirrors->getMirrorList())
        QCOMPARE(mirror.errorCount, 0);
    if (text.contains(QLatin1String("%1")))
        text = text.arg(bad->url(ServerPath).toString());
    if (!text.isEmpty())
        QCOMPARE(messages.at(1).at(0).toString(), text);
}

void tst_DownloadTaskSpecification::rangeAnswers_data()
{
    using Result = DownloadTaskSpecification::RangeResult;
    using Ranges = HttpTestServer::Ranges;
    QTest::addColumn<Ranges>("ranges");
    QTest::addColumn<QByteArray>("contentRange"); // set: the mirror answers 206 with it, whatever was asked
    QTest::addColumn<qint64>("resetAfter");       // >= 0: the first answer breaks off after that many bytes
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<Result>("result");
    QTest::addColumn<QString>("text"); // %1: the mirror's URL of the file

    const QByteArray none;
    QTest::newRow("inside the file") << Ranges::Serve << none << qint64(-1) << qint64(1000) << qint64(2500)
                                     << Result::Served << QString();
    QTest::newRow("to the end") << Ranges::Serve << none << qint64(-1) << qint64(9000) << qint64(1000)
                                << Result::Served << QString();
    QTest::newRow("one byte") << Ranges::Serve << none << qint64(-1) << qint64(0) << qint64(1) << Result::Served
                              << QString();
    QTest::newRow("every byte") << Ranges::Serve << none << qint64(-1) << qint64(0) << qint64(10000)
                                << Result::Served << QString();
    QTest::newRow("reset inside the range: asked again") << Ranges::Serve << none << qint64(700) << qint64(1000)
                                                         << qint64(2500) << Result::Served << QString();
    QTest::newRow("200: mirror ignores ranges") << Ranges::Ignore << none << qint64(-1) << qint64(1000)
                                                << qint64(2500) << Result::Ignored << "%1 ignores ranges";
    QTest::newRow("416") << Ranges::NotSatisfiable << none << qint64(-1) << qint64(1000) << qint64(2500)
                         << Result::NotSatisfiable << "%1 cannot serve the range";
    QTest::newRow("206 naming other bytes") << Ranges::Serve << QByteArray("bytes 0-2499/10000") << qint64(-1)
                                            << qint64(1000) << qint64(2500) << Result::NotSatisfiable
                                            << "%1 answered a range with other bytes (bytes 0-2499/10000)";
    QTest::newRow("206 of another file size") << Ranges::Serve << QByteArray("bytes 1000-3499/20000")
                                              << qint64(-1) << qint64(1000) << qint64(2500)
                                              << Result::NotSatisfiable
                                              << "%1 answered a range with other bytes (bytes 1000-3499/20000)";
}

// The local file holds other bytes around the range; only the range may change, and only with the
// mirror's bytes of it. A mirror that cannot serve the range keeps its place and its error count.
void tst_DownloadTaskSpecification::rangeAnswers()
{
    using Result = DownloadTaskSpecification::RangeResult;
    QFETCH(HttpTestServer::Ranges, ranges);
    QFETCH(QByteArray, contentRange);
    QFETCH(qint64, resetAfter);
    QFETCH(qint64, offset);
    QFETCH(qint64, length);
    QFETCH(Result, result);
    QFETCH(QString, text);
    // As for the error statuses above: a 416 is let go without a warning.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));

    HttpTestServer *server = addServer({});
    QList<QByteArray> asked;
    server->setHandler(ServerPath, [&](const HttpTestServer::Request &request) {
        asked.append(request.header("range"));
        Response response = Response::withBody(content);
        response.ranges = ranges;
        if (!contentRange.isEmpty()) {
            response = Response::withStatus(206, content.mid(offset, length));
            response.headers.append({"Content-Range", contentRange});
        }
        if (resetAfter >= 0 && asked.size() == 1) {
            response.fault = Fault::ResetMidBody;
            response.faultOffset = resetAfter;
        }
        return response;
    });
    const QByteArray before(content.size(), '.');
    QVERIFY(writeFile(dir->filePath("local.bin"), before));
    const auto mirrors = mirrorsFor({server});
    const auto task = makeTask(mirrors.get(), content.size());
    task->setRange(offset, length);
    QSignalSpy messages(task.get(), &TaskSpecification::message);

    task->execute();
    // Finished, also when the mirror could not serve the range: that is the caller's to decide on.
    QTRY_COMPARE_WITH_TIMEOUT(task->getState(), TaskSpecification::StateFinished, 5000);
    QCOMPARE(task->getRangeResult(), result);
    const QByteArray range = "bytes=" + QByteArray::number(offset) + '-' + QByteArray::number(offset + length - 1);
    QCOMPARE(asked, QList<QByteArray>(resetAfter >= 0 ? 2 : 1, range));
    QCOMPARE(mirrors->getMirrorList().size(), 1);
    QCOMPARE(mirrors->getMirrorList().at(0).errorCount, resetAfter >= 0 ? 1 : 0);
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
    if (result == Result::Served) {
        QCOMPARE(localFile(), QByteArray(before).replace(offset, length, content.mid(offset, length)));
        QCOMPARE(task->getReceived(), length);
        QCOMPARE(task->getReceivedDigest().size, quint64(length));
        quint64 done = 0;
        quint64 total = 0;
        quint64 speed = 0;
        bool downloading = false;
        task->timeTick(done, total, speed, downloading);
        QCOMPARE(done, quint64(length));
        QCOMPARE(total, quint64(length));
    } else {
        QCOMPARE(localFile(), before);
        QCOMPARE(task->getReceived(), 0);
        QCOMPARE(messages.at(1).at(0).toString(), text.arg(server->url(ServerPath).toString()));
    }
    // The outcome is of the last run; a reset task has asked nothing yet.
    task->reset();
    QCOMPARE(task->getRangeResult(), Result::NotRequested);
}

// Pieces of one file, each fetched by a task of its own at the same time, make up the file.
void tst_DownloadTaskSpecification::rangesOfOneFileFromSeveralTasks()
{
    const auto mirrors = mirrorsFor({addServer(Response::withBody(content)), addServer(Response::withBody(content))});
    const QList<QPair<qint64, qint64>> pieces = {{7000, 3000}, {0, 3000}, {3000, 4000}};
    std::vector<std::unique_ptr<DownloadTaskSpecification>> tasks;
    std::vector<std::unique_ptr<QSignalSpy>> finished;
    for (const auto &piece : pieces) {
        tasks.push_back(makeTask(mirrors.get(), content.size(), "assembled.bin"));
        tasks.back()->setRange(piece.first, piece.second);
        finished.push_back(std::make_unique<QSignalSpy>(tasks.back().get(), &TaskSpecification::finished));
        tasks.back()->execute();
    }
    for (const auto &spy : finished)
        QTRY_COMPARE_WITH_TIMEOUT(spy->size(), 1, 5000);
    for (const auto &task : tasks)
        QCOMPARE(task->getRangeResult(), DownloadTaskSpecification::RangeResult::Served);
    QCOMPARE(localFile("assembled.bin"), content);
}

void tst_DownloadTaskSpecification::cancelledRangeKeepsFile()
{
    Response stall = Response::withBody(content);
    stall.fault = Fault::Stall;
    stall.faultOffset = 500;
    HttpTestServer *server = addServer(stall);
    const QByteArray before(content.size(), '.');
    QVERIFY(writeFile(dir->filePath("local.bin"), before));
    const auto mirrors = mirrorsFor({server});
    const auto task = makeTask(mirrors.get(), content.size());
    task->setRange(2000, 3000);
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(task->getReceived(), 500, 5000);

    task->onOtherTaskCancelled(nullptr);
    QCOMPARE(task->getState(), TaskSpecification::StateErrorCanceled);
    // The bytes outside the range are other tasks' work; those of the range are the mirror's own.
    QCOMPARE(localFile(), QByteArray(before).replace(2000, 500, content.mid(2000, 500)));
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
    QTRY_COMPARE_WITH_TIMEOUT(server->openConnectionCount(), 0, 5000);
}

void tst_DownloadTaskSpecification::stallTimesOutOnSixteenthTick()
{
    int requests = 0;
    HttpTestServer *server = addServer({});
    server->setHandler(ServerPath, [&](const HttpTestServer::Request &) {
        Response response = Response::withBody(content);
        if (++requests == 1) {
            response.fault = Fault::Stall;
            response.faultOffset = 100;
        }
        return response;
    });
    const auto mirrors = mirrorsFor({server});
    const auto task = makeTask(mirrors.get(), content.size());
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);

    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(task->getReceived(), 100, 5000);
    QCOMPARE(task->getProgress(), 0.5 * 100 / content.size());

    for (int tick = 1; tick <= 16; ++tick) {
        quint64 done = 0;
        quint64 total = 0;
        quint64 speed = 0;
        bool downloading = false;
        task->timeTick(done, total, speed, downloading);
        if (tick < 16) {
            QCOMPARE(done, 100u);
            QCOMPARE(total, quint64(content.size()));
            QCOMPARE(speed, tick == 1 ? 100u : 0u);
            QVERIFY(downloading);
            QCOMPARE(mirrors->getMirrorList().at(0).errorCount, 0);
        } else {
            QVERIFY(!downloading);
        }
    }
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("file file.bin timed out on mirror m0"));
    QCOMPARE(mirrors->getMirrorList().at(0).errorCount, 1);

    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    QCOMPARE(localFile(), content);
    QCOMPARE(requests, 2);
}

void tst_DownloadTaskSpecification::endlessDataFailsAttempt()
{
    Response endless = Response::withBody("endless");
    endless.fault = Fault::Endless;
    HttpTestServer *bad = addServer(endless);
    HttpTestServer *good = addServer(Response::withBody(content));
    const auto mirrors = mirrorsFor({bad, good});
    mirrors->seedRandom(seedForDraw(6, 0));
    const auto task = makeTask(mirrors.get(), content.size());
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy finished(task.get(), &TaskSpecification::finished);

    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(localFile(), content);
    QCOMPARE(messages.at(1).at(0).toString(),
             QStringLiteral("file file.bin on mirror m0 is larger than the expected 10000 bytes"));
    const int badIndex = mirrors->getMirrorIndex("m0");
    QCOMPARE(bad->requestCount(ServerPath), badIndex < 0 ? 3 : mirrors->getMirrorList().at(badIndex).errorCount);
    QTRY_COMPARE_WITH_TIMEOUT(bad->openConnectionCount(), 0, 5000);
}

void tst_DownloadTaskSpecification::tasksWaitForSingleSlot()
{
    Response drip = Response::withBody(content.left(2000));
    drip.fault = Fault::SlowDrip;
    drip.dripBytes = 200;
    drip.dripIntervalMs = 10;
    HttpTestServer *server = addServer(drip);
    const auto mirrors = alphaMirrorFor(server);
    const auto first = makeTask(mirrors.get(), 2000, "first.bin");
    const auto second = makeTask(mirrors.get(), 2000, "second.bin");
    QStringList events;
    connect(server, &HttpTestServer::requestReceived, this, [&] { events << "request"; });
    connect(first.get(), &TaskSpecification::finished, this, [&] { events << "first finished"; });
    connect(second.get(), &TaskSpecification::finished, this, [&] { events << "second finished"; });

    first->execute();
    second->execute();
    QCOMPARE(second->getState(), TaskSpecification::StateRunning);
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    second->timeTick(done, total, speed, downloading);
    QVERIFY(!downloading); // waiting is neither downloading nor counted towards the time-out

    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 4, 10000);
    QCOMPARE(events, QStringList({"request", "first finished", "request", "second finished"}));
    QCOMPARE(localFile("first.bin"), content.left(2000));
    QCOMPARE(localFile("second.bin"), content.left(2000));
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
}

// One single-slot mirror answering 404 and three tasks: the first removes it, the two waiting ones wake
// when its request is abandoned and find nothing left.
void tst_DownloadTaskSpecification::lastMirrorGoneEndsEveryTaskOnce()
{
    // The body never comes: the waiting tasks are woken only because the abandoned request is aborted.
    Response notFound = Response::withStatus(404, QByteArray(100000, 'x'));
    notFound.fault = Fault::Stall;
    HttpTestServer *server = addServer(notFound);
    const auto mirrors = alphaMirrorFor(server);
    QSignalSpy mirrorMessages(mirrors.get(), &Mirrors::message);
    std::vector<std::unique_ptr<DownloadTaskSpecification>> tasks;
    std::vector<std::unique_ptr<QSignalSpy>> canceled;
    for (int i = 0; i < 3; ++i) {
        tasks.push_back(makeTask(mirrors.get(), -1, QStringLiteral("f%1").arg(i)));
        canceled.push_back(std::make_unique<QSignalSpy>(tasks.back().get(), &TaskSpecification::canceled));
        tasks.back()->execute();
    }

    for (const auto &spy : canceled)
        QTRY_COMPARE_WITH_TIMEOUT(spy->size(), 1, 5000);
    for (const auto &task : tasks)
        QCOMPARE(task->getState(), TaskSpecification::StateErrorCanceled);
    QCOMPARE(mirrorMessages.size(), 1);
    QCOMPARE(mirrorMessages.at(0).at(0).toString(),
             QStringLiteral("There are no (more) known working mirrors available"));
    QCOMPARE(server->requestCount(ServerPath), 1);
    QVERIFY(!QFile::exists(dir->filePath("f0")));
}

void tst_DownloadTaskSpecification::cancelWhileWaiting_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::newRow("by a sibling") << false;
    QTest::newRow("by the user") << true;
}

void tst_DownloadTaskSpecification::cancelWhileWaiting()
{
    QFETCH(bool, byUser);

    Response drip = Response::withBody(content.left(1000));
    drip.fault = Fault::SlowDrip;
    drip.dripBytes = 100;
    drip.dripIntervalMs = 10;
    HttpTestServer *server = addServer(drip);
    const auto mirrors = alphaMirrorFor(server);
    const auto running = makeTask(mirrors.get(), -1, "running.bin");
    const auto waiting = makeTask(mirrors.get(), -1, "waiting.bin");
    QSignalSpy messages(waiting.get(), &TaskSpecification::message);
    QSignalSpy canceled(waiting.get(), &TaskSpecification::canceled);
    running->execute();
    waiting->execute();

    if (byUser)
        waiting->userCanceled();
    else
        waiting->onOtherTaskCancelled(running.get());
    QCOMPARE(canceled.size(), 1);
    QCOMPARE(waiting->getState(), byUser ? TaskSpecification::StateUserCanceled
                                         : TaskSpecification::StateErrorCanceled);
    QCOMPARE(messages.size(), 1); // "Downloading file.bin" only, no "Abort downloading"

    QTRY_COMPARE_WITH_TIMEOUT(running->getState(), TaskSpecification::StateFinished, 5000);
    // Deliver the wake-up the finished request would have queued for a waiting task.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
    QCOMPARE(server->requestCount(ServerPath), 1);
    QCOMPARE(canceled.size(), 1);
    QVERIFY(!QFile::exists(dir->filePath("waiting.bin")));

    // The cancelled task can run again.
    waiting->reset();
    QSignalSpy finished(waiting.get(), &TaskSpecification::finished);
    waiting->execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    QCOMPARE(localFile("waiting.bin"), content.left(1000));
}

void tst_DownloadTaskSpecification::cancelWhileDownloadingDeletesPartialFile()
{
    Response stall = Response::withBody(content);
    stall.fault = Fault::Stall;
    stall.faultOffset = 500;
    HttpTestServer *server = addServer(stall);
    const auto mirrors = mirrorsFor({server});
    const auto task = makeTask(mirrors.get(), -1);
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(task->getReceived(), 500, 5000);
    QVERIFY(QFile::exists(dir->filePath("local.bin")));

    task->onOtherTaskCancelled(nullptr);
    QCOMPARE(task->getState(), TaskSpecification::StateErrorCanceled);
    QCOMPARE(messages.last().at(0).toString(), QStringLiteral("Abort downloading file.bin"));
    QVERIFY(!QFile::exists(dir->filePath("local.bin")));
    QCOMPARE(task->getReceived(), 0);
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
    QCOMPARE(mirrors->getMirrorList().at(0).errorCount, 0);
    QTRY_COMPARE_WITH_TIMEOUT(server->openConnectionCount(), 0, 5000);
}

void tst_DownloadTaskSpecification::unwritableFileCancels()
{
    HttpTestServer *server = addServer(Response::withBody(content));
    const auto mirrors = mirrorsFor({server});
    const auto task = makeTask(mirrors.get(), -1, "missing-directory/local.bin");
    QSignalSpy errors(task.get(), &TaskSpecification::error);
    QSignalSpy canceled(task.get(), &TaskSpecification::canceled);

    task->execute();
    QCOMPARE(canceled.size(), 1);
    QCOMPARE(task->getState(), TaskSpecification::StateErrorCanceled);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Unable to create file %1 for saving")
                                                    .arg(dir->filePath("missing-directory/local.bin")));
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
    task->reset();
    QCOMPARE(mirrors->getMirrorList().at(0).useCount, 0);
    QCOMPARE(server->totalRequestCount(), 0);
}

QTEST_GUILESS_MAIN(tst_DownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"
