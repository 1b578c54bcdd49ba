// A file that is partly in the temporary directory is continued where it stops, whichever mirror serves
// the rest, and checked whole. The fault cases run against HttpTestServer mirrors; the bytes that travel
// are shown by a real nginx mirror's access log.

#include "app/configuration.h"
#include "net/downloadfilelisttaskspecification.h"
#include "net/mirrors.h"
#include "support/httptestserver.h"
#include "support/nginxserver.h"
#include "support/testfiles.h"

#include <QFileInfo>
#include "net/httpaccessmanager.h"
#include <QRegularExpression>
#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int Version = 7;
const QString FileName = QStringLiteral("data/big.bin");
const QString UrlPath = QStringLiteral("/7/release/data/big.bin");
// Above what is hashed on the spot, so that a prefix on disk is hashed on the pool in several pieces.
constexpr qsizetype FileSize = 3 * 1024 * 1024 + 123;
constexpr qsizetype PrefixSize = 2 * 1024 * 1024 + 7;

// What the mirrors answer to the n-th request of a test, whichever mirror is drawn for it.
enum class Answer {
    Serve,
    Reset,   // a TCP reset after half a MiB of the answer
    Ignore,  // 200 with the whole file, whatever the range
    Refuse,  // 416
    Shift,   // 206 with bytes from the start of the file, named as such
    Corrupt, // every 64th byte inverted
};

} // namespace

class tst_Resume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void continuedDownloads_data();
    void continuedDownloads();
    void nginxSendsOnlyTheRest_data();
    void nginxSendsOnlyTheRest();

private:
    // One mirror entry per URL, in this order, each with three slots and two tolerated errors.
    DownloadFileListTaskSpecification *makeTask(const QList<QUrl> &urls);
    QString localPath() const { return tempDir->filePath(FileName); }

    QByteArray content;
    std::unique_ptr<QTemporaryDir> tempDir;
    std::unique_ptr<QTemporaryDir> mirrorRoot;
    Configuration configuration;
    HttpAccessManager *manager = nullptr;
    Mirrors *mirrors = nullptr;
    QList<FileDownloadSpecification> fileList;
    QStringList messages;
};

void tst_Resume::initTestCase()
{
    content.resize(FileSize);
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(content.data()), FileSize / 4);
}

void tst_Resume::init()
{
    tempDir = std::make_unique<QTemporaryDir>();
    mirrorRoot = std::make_unique<QTemporaryDir>();
    QVERIFY(tempDir->isValid() && mirrorRoot->isValid());
    QVERIFY(writeFile(mirrorRoot->path() + UrlPath, content));
    configuration.tempDir = tempDir->path();
    configuration.downloadStreams = 6;
    manager = new HttpAccessManager(this);
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    fileList = {FileDownloadSpecification(QStringLiteral("release"), FileName,
                                          QString::fromLatin1(md5Hex(content)), quint64(content.size()))};
    messages.clear();
}

void tst_Resume::cleanup()
{
    qDeleteAll(findChildren<QObject *>(Qt::FindDirectChildrenOnly));
    manager = nullptr;
    mirrors = nullptr;
}

DownloadFileListTaskSpecification *tst_Resume::makeTask(const QList<QUrl> &urls)
{
    const QString mirrorsIni = mirrorRoot->filePath(QStringLiteral("mirrors.ini"));
    {
        QSettings ini(mirrorsIni, QSettings::IniFormat);
        ini.beginWriteArray(QStringLiteral("mirrors"), int(urls.size()));
        for (int i = 0; i < urls.size(); ++i) {
            ini.setArrayIndex(i);
            ini.setValue(QStringLiteral("mirror"), QStringLiteral("m%1").arg(i));
        }
        ini.endArray();
        for (int i = 0; i < urls.size(); ++i)
            ini.setValue(QStringLiteral("m%1/url").arg(i), urls.at(i).toString());
    }
    mirrors = new Mirrors(this);
    mirrors->initDefault(mirrorsIni, Version);
    auto *task = new DownloadFileListTaskSpecification(&fileList, manager, mirrors, &configuration, this, 1.0);
    connect(task, &TaskSpecification::message, this, [this](const QString &text) { messages.append(text); });
    return task;
}

void tst_Resume::continuedDownloads_data()
{
    QTest::addColumn<QByteArray>("partial");        // in the temporary directory before the run
    QTest::addColumn<QList<Answer>>("answers");     // to the requests in order; Serve after the last
    QTest::addColumn<QStringList>("ranges");        // asked in order; "*" for "where the last one broke off"
    QTest::addColumn<int>("mirrorErrors");          // summed over the mirrors left
    QTest::addColumn<int>("mirrorsLeft");
    QTest::addColumn<QString>("retry");             // the per-file task's retry message, if any

    const QByteArray prefix = content.left(PrefixSize);
    const QString rest = QStringLiteral("bytes=%1-").arg(PrefixSize);
    QByteArray corruptPrefix = prefix;
    corruptPrefix[1000] = char(~corruptPrefix.at(1000));
    QByteArray corruptWhole = content;
    corruptWhole[1000] = char(~corruptWhole.at(1000));
    const QString continuedFailed = QStringLiteral("md5 sum for %1 failed on a continued download, fetching it whole")
                                            .arg(FileName);

    QTest::newRow("nothing on disk: whole file") << QByteArray() << QList<Answer>() << QStringList{QString()} << 0
                                                 << 2 << QString();
    QTest::newRow("earlier run's prefix: only the rest") << prefix << QList<Answer>() << QStringList{rest} << 0 << 2
                                                         << QString();
    QTest::newRow("reset mid-file: the next attempt continues")
            << QByteArray() << QList<Answer>{Answer::Reset} << QStringList{QString(), "*"} << 1 << 2 << QString();
    QTest::newRow("reset in the rest: continued again")
            << prefix << QList<Answer>{Answer::Reset, Answer::Reset} << QStringList{rest, "*", "*"} << 2 << 2
            << QString();
    QTest::newRow("200 to a range: whole file from that reply")
            << prefix << QList<Answer>{Answer::Ignore} << QStringList{rest} << 0 << 2 << QString();
    QTest::newRow("416: partial file goes, whole file")
            << prefix << QList<Answer>{Answer::Refuse} << QStringList{rest, QString()} << 0 << 2 << QString();
    QTest::newRow("206 naming other bytes: partial file goes, whole file")
            << prefix << QList<Answer>{Answer::Shift} << QStringList{rest, QString()} << 0 << 2 << QString();
    QTest::newRow("corrupt prefix: fails, whole file, no mirror dropped")
            << corruptPrefix << QList<Answer>() << QStringList{rest, QString()} << 0 << 2 << continuedFailed;
    QTest::newRow("corrupt prefix, whole file reset: from byte 0 again")
            << corruptPrefix << QList<Answer>{Answer::Serve, Answer::Reset}
            << QStringList{rest, QString(), QString()} << 1 << 2 << continuedFailed;
    QTest::newRow("full-size copy that failed before: whole file")
            << corruptWhole << QList<Answer>() << QStringList{QString()} << 0 << 2 << QString();
    QTest::newRow("longer than the file: whole file")
            << content + "tail" << QList<Answer>() << QStringList{QString()} << 0 << 2 << QString();
    QTest::newRow("one mirror's corrupt whole copy: that mirror goes")
            << QByteArray() << QList<Answer>{Answer::Corrupt} << QStringList{QString(), QString()} << 0 << 1
            << QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying").arg(FileName);
}

void tst_Resume::continuedDownloads()
{
    QFETCH(QByteArray, partial);
    QFETCH(QList<Answer>, answers);
    QFETCH(QStringList, ranges);
    QFETCH(int, mirrorErrors);
    QFETCH(int, mirrorsLeft);
    QFETCH(QString, retry);
    // A 416 is let go without failing the request a second time, which Qt would warn about.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));

    QStringList asked;
    const auto handler = [&](const HttpTestServer::Request &request) {
        const Answer answer = answers.value(asked.size(), Answer::Serve);
        asked.append(QString::fromLatin1(request.header("range")));
        HttpTestServer::Response response = HttpTestServer::Response::withBody(content);
        switch (answer) {
        case Answer::Serve:
            break;
        case Answer::Reset:
            response.fault = HttpTestServer::Fault::ResetMidBody;
            response.faultOffset = 512 * 1024;
            break;
        case Answer::Ignore:
            response.ranges = HttpTestServer::Ranges::Ignore;
            break;
        case Answer::Refuse:
            response.ranges = HttpTestServer::Ranges::NotSatisfiable;
            break;
        case Answer::Shift:
            response = HttpTestServer::Response::withStatus(206, content.left(FileSize - PrefixSize));
            response.headers.append({"Content-Range", QStringLiteral("bytes 0-%1/%2")
                                                              .arg(FileSize - PrefixSize - 1)
                                                              .arg(FileSize)
                                                              .toLatin1()});
            break;
        case Answer::Corrupt:
            response.fault = HttpTestServer::Fault::Corrupt;
            break;
        }
        return response;
    };
    HttpTestServer first;
    HttpTestServer second;
    QList<QUrl> urls;
    for (HttpTestServer *server : {&first, &second}) {
        QVERIFY(server->listen());
        server->setHandler(UrlPath, handler);
        urls.append(server->url());
    }
    if (!partial.isEmpty())
        QVERIFY(writeFile(localPath(), partial));
    DownloadFileListTaskSpecification *task = makeTask(urls);
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);

    task->execute();
    // Only what travels counts: a prefix that is continued is not part of the total.
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    task->timeTick(done, total, speed, downloading);
    const bool continued = !partial.isEmpty() && partial.size() < content.size();
    QCOMPARE(total, quint64(continued ? FileSize - partial.size() : FileSize));

    QTRY_COMPARE_WITH_TIMEOUT(finished.size() + canceled.size(), 1, 20000);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(readFile(localPath()), content);

    QCOMPARE(asked.size(), ranges.size());
    qint64 brokeOff = continued ? partial.size() : 0;
    for (int i = 0; i < ranges.size(); ++i) {
        if (ranges.at(i) != QLatin1String("*")) {
            QCOMPARE(asked.at(i), ranges.at(i));
            continue;
        }
        // Continued from exactly where the file on disk ended, which lies beyond where it began.
        QVERIFY2(asked.at(i).startsWith(QLatin1String("bytes=")) && asked.at(i).endsWith(QLatin1Char('-')),
                 qPrintable(asked.at(i)));
        const qint64 from = asked.at(i).mid(6).chopped(1).toLongLong();
        QVERIFY2(from > brokeOff && from < FileSize, qPrintable(asked.at(i)));
        brokeOff = from;
    }

    QCOMPARE(mirrors->getMirrorList().size(), mirrorsLeft);
    int errors = 0;
    for (const FTPSiteAccessData &mirror : mirrors->getMirrorList())
        errors += mirror.errorCount;
    QCOMPARE(errors, mirrorErrors);
    QCOMPARE(messages.contains(retry), !retry.isEmpty());
}

void tst_Resume::nginxSendsOnlyTheRest_data()
{
    QTest::addColumn<QByteArray>("partial");
    QTest::addColumn<QStringList>("log"); // nginx's lines for the file: "status bytes sent"

    QByteArray corrupt = content.left(PrefixSize);
    corrupt[5] = char(~corrupt.at(5));
    const QString whole = QStringLiteral("200 %1").arg(FileSize);
    QTest::newRow("prefix") << content.left(PrefixSize)
                            << QStringList{QStringLiteral("206 %1").arg(FileSize - PrefixSize)};
    QTest::newRow("all but the last byte") << content.left(FileSize - 1) << QStringList{QStringLiteral("206 1")};
    QTest::newRow("first byte only") << content.left(1) << QStringList{QStringLiteral("206 %1").arg(FileSize - 1)};
    QTest::newRow("corrupt prefix: the rest, then the whole file")
            << corrupt << QStringList{QStringLiteral("206 %1").arg(FileSize - PrefixSize), whole};
    QTest::newRow("nothing") << QByteArray() << QStringList{whole};
}

void tst_Resume::nginxSendsOnlyTheRest()
{
    QFETCH(QByteArray, partial);
    QFETCH(QStringList, log);

    NginxServer nginx(mirrorRoot->path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    if (!partial.isEmpty())
        QVERIFY(writeFile(localPath(), partial));
    DownloadFileListTaskSpecification *task = makeTask({nginx.url()});
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    QCOMPARE(readFile(localPath()), content);

    QStringList served;
    for (const QString &line : nginx.requests()) {
        if (line.startsWith(QStringLiteral("GET %1 ").arg(UrlPath)))
            served << line.section(QLatin1Char(' '), 2);
    }
    QCOMPARE(served, log);
}

QTEST_GUILESS_MAIN(tst_Resume)
#include "tst_resume.moc"
