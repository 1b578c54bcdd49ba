#include "support/testfiles.h"
#include "tasks/dircreatetaskspecification.h"
#include "tasks/filedeletetaskspecification.h"
#include "tasks/filerenametaskspecification.h"
#include "tasks/rollbackdatalist.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// "d:x" makes the directory x, "f:x" the file x (with missing parents), inside the temporary directory.
void prepare(const QTemporaryDir &tmp, const QString &setup)
{
    for (const QString &entry : setup.split(' ', Qt::SkipEmptyParts)) {
        const QString path = tmp.filePath(entry.mid(2));
        if (entry.startsWith("d:")) {
            QVERIFY(QDir().mkpath(path));
        } else {
            QVERIFY(writeFile(path, entry.toUtf8()));
        }
    }
}

// Runs a task that ends inside execute() and returns its messages followed by its end.
QStringList run(TaskSpecification *task)
{
    QStringList log;
    QObject::connect(task, &TaskSpecification::message, task, [&log](const QString &m) { log.append(m); });
    task->execute();
    log.append(task->getState() == TaskSpecification::StateFinished ? "finished" : "error-canceled");
    return log;
}

QStringList recordStrings(const RollbackDataList &list)
{
    QStringList out;
    for (const RollbackData &r : list.records())
        out.append(QString::number(r.operation) + " " + (r.oldPath.isEmpty() ? "" : r.oldPath + " ") + r.path);
    return out;
}

} // namespace

class tst_FastFileOpTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void createDir_data();
    void createDir();
    void deleteFile_data();
    void deleteFile();
    void renameFile_data();
    void renameFile();
};

void tst_FastFileOpTaskSpecification::createDir_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("path");       // @ stands for the temporary directory
    QTest::addColumn<QStringList>("log");     // messages, then the end
    QTest::addColumn<QStringList>("records"); // "2 <path>" is a CreateDir record

    QTest::newRow("existing directory: nothing recorded")
        << "d:x" << "@/x" << QStringList{"finished"} << QStringList{};
    QTest::newRow("file in the way")
        << "f:x" << "@/x"
        << QStringList{"Could not create dir '@/x' because it already exists and is not a dir", "error-canceled"}
        << QStringList{};
    QTest::newRow("two missing levels: outer recorded first")
        << "d:x" << "@/x/y/z" << QStringList{"finished"} << QStringList{"2 @/x/y", "2 @/x/y/z"};
    QTest::newRow("file where a parent should be: names the parent")
        << "f:x/f" << "@/x/f/z"
        << QStringList{"Could not create dir '@/x/f' because it already exists and is not a dir", "error-canceled"}
        << QStringList{};
    QTest::newRow("relative single component")
        << "" << "tst-no-such-dir" << QStringList{"Could not create dir tst-no-such-dir", "error-canceled"}
        << QStringList{};
    QTest::newRow("relative path with missing first component: names the whole path")
        << "" << "tst-no-such-dir/sub" << QStringList{"Could not create dir tst-no-such-dir/sub", "error-canceled"}
        << QStringList{};
}

void tst_FastFileOpTaskSpecification::createDir()
{
    QFETCH(QString, setup);
    QFETCH(QString, path);
    QFETCH(QStringList, log);
    QFETCH(QStringList, records);

    QTemporaryDir tmp;
    prepare(tmp, setup);
    log.replaceInStrings("@", tmp.path());
    records.replaceInStrings("@", tmp.path());

    RollbackDataList list;
    DirCreateTaskSpecification task(QString(path).replace("@", tmp.path()), &list, nullptr, 1.0);
    QCOMPARE(run(&task), log);
    QCOMPARE(recordStrings(list), records);

    // The records undo exactly what was created, deepest level first.
    QVERIFY(list.rollback(nullptr));
    QVERIFY(!QFileInfo::exists(tmp.filePath("x/y")));
    QCOMPARE(QFileInfo::exists(tmp.filePath("x")), setup.contains("x"));
}

void tst_FastFileOpTaskSpecification::deleteFile_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("failOnError");
    QTest::addColumn<QStringList>("log");

    QTest::newRow("existing file") << "f:a" << true << QStringList{"finished"};
    QTest::newRow("missing file, failure ignored") << "" << false << QStringList{"finished"};
    QTest::newRow("missing file, failure counts")
        << "" << true << QStringList{"Could not delete '@/a'", "error-canceled"};
}

void tst_FastFileOpTaskSpecification::deleteFile()
{
    QFETCH(QString, setup);
    QFETCH(bool, failOnError);
    QFETCH(QStringList, log);

    QTemporaryDir tmp;
    prepare(tmp, setup);
    FileDeleteTaskSpecification task(failOnError, tmp.filePath("a"), nullptr, 1.0);
    QCOMPARE(run(&task), log.replaceInStrings("@", tmp.path()));
    QVERIFY(!QFileInfo::exists(tmp.filePath("a")));
}

void tst_FastFileOpTaskSpecification::renameFile_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QStringList>("records");

    QTest::newRow("free target") << "f:a" << QStringList{"finished"} << QStringList{"0 @/a @/b"};
    QTest::newRow("occupied target is not replaced")
        << "f:a f:b" << QStringList{"Could not rename '@/a' to '@/b'", "error-canceled"} << QStringList{};
    QTest::newRow("missing source")
        << "" << QStringList{"Could not rename '@/a' to '@/b'", "error-canceled"} << QStringList{};
}

void tst_FastFileOpTaskSpecification::renameFile()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, log);
    QFETCH(QStringList, records);

    QTemporaryDir tmp;
    prepare(tmp, setup);
    RollbackDataList list;
    FileRenameTaskSpecification task(tmp.filePath("a"), tmp.filePath("b"), &list, nullptr, 1.0);
    QCOMPARE(run(&task), log.replaceInStrings("@", tmp.path()));
    QCOMPARE(recordStrings(list), records.replaceInStrings("@", tmp.path()));

    QVERIFY(list.rollback(nullptr));
    QCOMPARE(QFileInfo::exists(tmp.filePath("a")), setup.contains("f:a"));
    QCOMPARE(QFileInfo::exists(tmp.filePath("b")), setup.contains("f:b"));
}

QTEST_GUILESS_MAIN(tst_FastFileOpTaskSpecification)
#include "tst_fastfileoptaskspecification.moc"
