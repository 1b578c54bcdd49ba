#include "app/configuration.h"
#include "support/testfiles.h"
#include "support/testinstallation.h"
#include "update/filereplacespecification.h"
#include "update/filespecifications.h"
#include "update/makedownloadreplacelisttaskspecification.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

namespace {
QStringList downloads(const FileSpecifications &lists)
{
    QStringList result;
    for (const FileDownloadSpecification &file : lists.downloadList)
        result << QString("%1/%2 %3 %4").arg(file.remoteDir, file.fileName, file.md5).arg(file.size);
    return result;
}

QStringList replacements(const FileSpecifications &lists)
{
    QStringList result;
    for (const FileReplaceSpecification &file : lists.replaceList) {
        QString line = QString("%1/%2").arg(file.remoteDir, file.fileName);
        if (file.hasUnzip())
            line += QString(" -> %1 %2 %3").arg(file.unzipFileName, file.unzipMd5).arg(file.unzipSize);
        result << line;
    }
    return result;
}
} // namespace

class tst_MakeDownloadReplaceListTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void compilesAgainstInstallationAndTemporaryCopies();
    void fieldCounts_data();
    void fieldCounts();
    void capitalDeleteIsAFileSection();
    void subdirectoryKeysKeepTheirPath();
    void unsafePathsFailTheCompile_data();
    void unsafePathsFailTheCompile();
    void pathChecksHoldForEveryEntry_data();
    void pathChecksHoldForEveryEntry();
    void noFiles_data();
    void noFiles();
    void manyFilesKeepTheirOrder_data();
    void manyFilesKeepTheirOrder();
    void listedSizeDecidesBeforeTheSum_data();
    void listedSizeDecidesBeforeTheSum();

private:
    bool compile(const QByteArray &ini);

    QScopedPointer<TestInstallation> root;
    QScopedPointer<QTemporaryDir> temp;
    Configuration configuration;
    FileSpecifications lists;
    QStringList messages;
    double finalProgress = 0.0;
};

void tst_MakeDownloadReplaceListTaskSpecification::init()
{
    root.reset(new TestInstallation);
    temp.reset(new QTemporaryDir);
    QVERIFY(root->isValid() && temp->isValid());
    configuration.tempDir = temp->path();
    configuration.clientType = "client_linux_amd64";
    lists.clear();
    messages.clear();
}

// Runs the compiler over the given product ini and tells whether the task finished.
bool tst_MakeDownloadReplaceListTaskSpecification::compile(const QByteArray &ini)
{
    if (!ini.isNull() && !writeFile(temp->filePath("client_linux_amd64.ini"), ini))
        qFatal("cannot write the product ini");
    MakeDownloadReplaceListTaskSpecification task(&configuration, lists, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    connect(&task, &TaskSpecification::message, this, [this](const QString &text) { messages << text; });
    task.execute();
    if (!QTest::qWaitFor([&] { return finished.size() + canceled.size() > 0; }, 10000))
        qFatal("list compiler did not end");
    finalProgress = progress.isEmpty() ? 0.0 : progress.last().first().toDouble();
    return finished.size() == 1;
}

void tst_MakeDownloadReplaceListTaskSpecification::compilesAgainstInstallationAndTemporaryCopies()
{
    const QByteArray current = "installed and current";
    const QByteArray fresh = "new content";
    const QByteArray unzipped = "decompressed program";
    QVERIFY(writeFile(root->filePath("current.txt"), current));
    QVERIFY(writeFile(root->filePath("changed.txt"), "old content"));
    QVERIFY(writeFile(root->filePath("client"), unzipped));
    QVERIFY(writeFile(root->filePath("obsolete.txt"), "remove me"));
    QVERIFY(writeFile(temp->filePath("reused.txt"), fresh));
    QVERIFY(writeFile(temp->filePath("wrongcopy.txt"), "truncated"));

    const QByteArray ini = "[release]\n"
                           "current.txt=" + md5Hex(current).toUpper() + "::21\n"
                           "changed.txt=" + md5Hex(fresh) + "::11\n"
                           "reused.txt=" + md5Hex(fresh) + "::11\n"
                           "wrongcopy.txt=" + md5Hex(fresh) + "::11\n"
                           "client.gz=" + md5Hex("gzip bytes") + "::99::" + md5Hex(unzipped) + "::20::client\n"
                           "emptysize.txt=" + md5Hex(fresh) + "::\n"
                           "[delete]\n"
                           "obsolete.txt=\n"
                           "alreadygone.txt=\n";
    QVERIFY(compile(ini));

    QCOMPARE(replacements(lists),
             QStringList({"release/changed.txt", "release/emptysize.txt", "release/reused.txt",
                          "release/wrongcopy.txt"}));
    QCOMPARE(downloads(lists), QStringList({"release/changed.txt " + md5Hex(fresh) + " 11",
                                            "release/emptysize.txt " + md5Hex(fresh) + " 0",
                                            "release/wrongcopy.txt " + md5Hex(fresh) + " 11"}));
    QCOMPARE(lists.deleteList, QStringList({"obsolete.txt"}));
    QCOMPARE(messages, QStringList({"Compiling download and replace list"}));
    QCOMPARE(finalProgress, 1.0);
}

void tst_MakeDownloadReplaceListTaskSpecification::fieldCounts_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("replacement");

    const QByteArray sum = md5Hex("x");
    QTest::newRow("two fields") << sum + "::1" << "files/a";
    QTest::newRow("five fields") << sum + "::1::" + sum + "::5::b" << QString("files/a -> b " + sum + " 5");
    QTest::newRow("five fields, empty unzip name") << sum + "::1::" + sum + "::5::" << "files/a";
    QTest::newRow("one field") << sum << "";
    QTest::newRow("three fields") << sum + "::1::" + sum << "";
    QTest::newRow("four fields") << sum + "::1::" + sum + "::5" << "";
    QTest::newRow("six fields") << sum + "::1::" + sum + "::5::b::" << "";
    QTest::newRow("unquoted comma") << sum + "::1,2" << "";
}

void tst_MakeDownloadReplaceListTaskSpecification::fieldCounts()
{
    QFETCH(QByteArray, value);
    QFETCH(QString, replacement);

    // The lists of an earlier compile must survive a failed one.
    lists.deleteList << "sentinel";
    const bool ok = compile("[files]\na=" + value + "\n");
    QCOMPARE(ok, !replacement.isEmpty());
    if (ok) {
        QCOMPARE(replacements(lists), QStringList({replacement}));
        QCOMPARE(lists.deleteList, QStringList());
    } else {
        QCOMPARE(messages.last(), QString("Warning: product ini contains invalid line in section files"));
        QCOMPARE(lists.deleteList, QStringList({"sentinel"}));
    }
}

void tst_MakeDownloadReplaceListTaskSpecification::capitalDeleteIsAFileSection()
{
    QVERIFY(writeFile(root->filePath("obsolete.txt"), "still here"));
    QVERIFY(compile("[Delete]\nobsolete.txt=" + md5Hex("new") + "::3\n"));
    QCOMPARE(replacements(lists), QStringList({"Delete/obsolete.txt"}));
    QCOMPARE(lists.deleteList, QStringList());
}

void tst_MakeDownloadReplaceListTaskSpecification::subdirectoryKeysKeepTheirPath()
{
    QVERIFY(compile("[release]\nplugins/libfoo.so=" + md5Hex("foo") + "::3\n"
                    "imageformats\\libqgif.so=" + md5Hex("gif") + "::3\n"));
    QCOMPARE(replacements(lists), QStringList({"release/imageformats/libqgif.so", "release/plugins/libfoo.so"}));
    QCOMPARE(lists.replaceList.at(1).oldDestFileName(), QString("plugins/_old_libfoo.so"));
    QCOMPARE(lists.replaceList.at(1).destFileName(QString()), QString("plugins/libfoo.so"));
}

void tst_MakeDownloadReplaceListTaskSpecification::unsafePathsFailTheCompile_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("section");

    const QByteArray sum = md5Hex("x");
    QTest::newRow("key climbing out") << "[release]\n../victim=" + sum + "::1\n" << "release";
    QTest::newRow("key climbing out with backslashes") << "[release]\nsub\\..\\..\\victim=" + sum + "::1\n"
                                                       << "release";
    QTest::newRow("absolute unzip name") << "[release]\na.gz=" + sum + "::1::" + sum + "::1::/tmp/victim\n"
                                         << "release";
    QTest::newRow("unzip name climbing out") << "[release]\na.gz=" + sum + "::1::" + sum + "::1::../victim\n"
                                             << "release";
    // In an ini value a backslash itself has to be escaped.
    QTest::newRow("unzip name climbing out with backslashes")
        << "[release]\na.gz=" + sum + "::1::" + sum + "::1::sub\\\\..\\\\..\\\\victim\n" << "release";
    QTest::newRow("key naming the installation itself") << "[release]\n.=" + sum + "::1\n" << "release";
    QTest::newRow("delete key climbing out") << QByteArray("[delete]\n../victim=\n") << "delete";
    QTest::newRow("key through a linked directory") << "[release]\noutside/victim=" + sum + "::1\n"
                                                    << "release";
    QTest::newRow("delete key through a linked directory") << QByteArray("[delete]\noutside/victim=\n") << "delete";
}

void tst_MakeDownloadReplaceListTaskSpecification::unsafePathsFailTheCompile()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, section);

    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath("victim"), "not ours"));
    QVERIFY(QFile::link(outside.path(), root->filePath("outside")));

    QVERIFY(!compile(ini));
    QCOMPARE(messages.last(), "Warning: product ini contains invalid line in section " + section);
    QVERIFY(lists.replaceList.isEmpty() && lists.downloadList.isEmpty() && lists.deleteList.isEmpty());
}

void tst_MakeDownloadReplaceListTaskSpecification::pathChecksHoldForEveryEntry_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("linkInTemporary"); // else in the installation; the other has a real "outside"
    QTest::addColumn<int>("replacements");     // -1: the compile fails

    const QByteArray file = "=" + md5Hex("x") + "::1\n";
    const QByteArray unzipped = "=" + md5Hex("x") + "::1::" + md5Hex("y") + "::1::";
    QTest::newRow("safe entries, then one through a linked directory")
        << "[release]\na/one" + file + "a/two" + file + "outside/victim" + file << false << -1;
    QTest::newRow("key through a link of the temporary directory only")
        << "[release]\nfine" + file + "outside/victim" + file << true << -1;
    QTest::newRow("unzip name through a link that the key's directory is not")
        << "[release]\noutside/x" + unzipped + "x\nvictim.gz" + unzipped + "outside/victim\n" << false << -1;
    QTest::newRow("missing directory below a linked one")
        << "[release]\noutside/x" + unzipped + "x\nnew" + unzipped + "outside/new/victim\n" << false << -1;
    QTest::newRow("directories not there yet")
        << "[release]\nnew/deeper/one" + file + "new/two" + file + "new/deeper/three" + file << false << 3;
    QTest::newRow("delete key through a link after a safe one beside it")
        << "[delete]\na/one=\noutside/victim=\n[release]\na/one" + file << false << -1;
}

// Every entry is checked on its own, however many share a directory, and each base on its own.
void tst_MakeDownloadReplaceListTaskSpecification::pathChecksHoldForEveryEntry()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, linkInTemporary);
    QFETCH(int, replacements);

    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath("victim"), "not ours"));
    const QString linked = linkInTemporary ? temp->path() : root->path();
    const QString real = linkInTemporary ? root->path() : temp->path();
    QVERIFY(QFile::link(outside.path(), linked + "/outside"));
    QVERIFY(QDir(real).mkpath("outside") && QDir(root->path()).mkpath("a"));

    const bool ok = compile(ini);
    QCOMPARE(ok, replacements >= 0);
    if (ok) {
        QCOMPARE(lists.replaceList.size(), replacements);
    } else {
        QVERIFY(messages.last().startsWith("Warning: product ini contains invalid line in section "));
        QVERIFY(lists.replaceList.isEmpty() && lists.deleteList.isEmpty());
    }
    QCOMPARE(QFile(outside.filePath("victim")).size(), qint64(8));
}

void tst_MakeDownloadReplaceListTaskSpecification::noFiles_data()
{
    QTest::addColumn<QByteArray>("ini");

    QTest::newRow("missing ini") << QByteArray();
    QTest::newRow("empty ini") << QByteArray("");
    QTest::newRow("only top-level keys") << QByteArray("a=b\n[General]\nc=d\n[general]\ne=f\n");
}

void tst_MakeDownloadReplaceListTaskSpecification::noFiles()
{
    QFETCH(QByteArray, ini);
    QVERIFY(!compile(ini));
    QCOMPARE(messages, QStringList({"Compiling download and replace list", "No files in product ini"}));
}


void tst_MakeDownloadReplaceListTaskSpecification::manyFilesKeepTheirOrder_data()
{
    QTest::addColumn<bool>("poolBusy"); // every other pool thread taken: the compiler hashes alone

    QTest::newRow("all cores") << false;
    QTest::newRow("pool busy elsewhere") << true;
}

// The installed files are hashed on several threads at once; the lists still follow the product ini.
void tst_MakeDownloadReplaceListTaskSpecification::manyFilesKeepTheirOrder()
{
    QFETCH(bool, poolBusy);

    QByteArray ini = "[release]\n";
    QStringList expectedReplacements;
    QStringList expectedDownloads;
    for (int i = 0; i < 300; ++i) {
        const QString name = QString("f%1.bin").arg(i, 3, 10, QLatin1Char('0'));
        const QByteArray content = QByteArray::number(i).repeated(100 + i);
        ini += name.toUtf8() + "=" + md5Hex(content) + "::" + QByteArray::number(content.size()) + "\n";
        if (i % 3 == 0) {
            QVERIFY(writeFile(root->filePath(name), content));
            continue;
        }
        if (i % 3 == 1)
            QVERIFY(writeFile(root->filePath(name), "old"));
        expectedReplacements << "release/" + name;
        if (i % 5 == 0)
            QVERIFY(writeFile(temp->filePath(name), content));
        else
            expectedDownloads << QString("release/%1 %2 %3").arg(name, QString::fromLatin1(md5Hex(content))).arg(content.size());
    }

    QThreadPool *pool = QThreadPool::globalInstance();
    QSemaphore release;
    QSemaphore blocked;
    const int blockers = poolBusy ? pool->maxThreadCount() - 1 : 0;
    for (int i = 0; i < blockers; ++i)
        pool->start([&] {
            blocked.release();
            release.acquire();
        });
    blocked.acquire(blockers);
    const bool ok = compile(ini);
    release.release(blockers);
    pool->waitForDone();

    QVERIFY(ok);
    QCOMPARE(replacements(lists), expectedReplacements);
    QCOMPARE(downloads(lists), expectedDownloads);
    QCOMPARE(finalProgress, 1.0);
}

void tst_MakeDownloadReplaceListTaskSpecification::listedSizeDecidesBeforeTheSum_data()
{
    QTest::addColumn<QByteArray>("value"); // of "data.bin" (plain) or "data.bin.gz" (unpacked to data.bin)
    QTest::addColumn<bool>("installed");

    // The installed data.bin holds `content`: 21 bytes.
    const QByteArray sum = md5Hex("installed and current");
    const QByteArray gz = md5Hex("gzip bytes") + "::99::";
    QTest::newRow("sum and size") << sum + "::21" << true;
    QTest::newRow("sum, another size") << sum + "::22" << false;
    QTest::newRow("sum, size not listed") << sum + "::" << true;
    QTest::newRow("sum, size 0") << sum + "::0" << true;
    QTest::newRow("sum, size not a number") << sum + "::many" << true;
    QTest::newRow("another sum, same size") << md5Hex("other") + "::21" << false;
    QTest::newRow("compressed, unpacked sum and size") << gz + sum + "::21::data.bin" << true;
    QTest::newRow("compressed, unpacked sum, another unpacked size") << gz + sum + "::20::data.bin" << false;
    QTest::newRow("compressed, unpacked sum, unpacked size not listed") << gz + sum + "::::data.bin" << true;
}

// A known size that the installed file does not have rules it out without reading it; without a known
// size the sum alone decides, as before.
void tst_MakeDownloadReplaceListTaskSpecification::listedSizeDecidesBeforeTheSum()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, installed);
    QVERIFY(writeFile(root->filePath("data.bin"), "installed and current"));
    const QByteArray key = value.endsWith("::data.bin") ? "data.bin.gz" : "data.bin";

    QVERIFY(compile("[release]\n" + key + "=" + value + "\n"));
    QCOMPARE(replacements(lists).isEmpty(), installed);
    QCOMPARE(lists.downloadList.isEmpty(), installed);
}

QTEST_GUILESS_MAIN(tst_MakeDownloadReplaceListTaskSpecification)
#include "tst_makedownloadreplacelisttaskspecification.moc"
