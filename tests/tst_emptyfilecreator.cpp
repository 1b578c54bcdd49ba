#include "support/testfiles.h"
#include "tasks/emptyfilecreator.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

class tst_EmptyFileCreator : public QObject
{
    Q_OBJECT
private slots:
    void createsWhatNobodyHasClaimed_data();
    void createsWhatNobodyHasClaimed();
};

void tst_EmptyFileCreator::createsWhatNobodyHasClaimed_data()
{
    QTest::addColumn<QString>("existing"); // file=content, before the start
    QTest::addColumn<int>("claimed");      // index claimed before the start, -1 none
    QTest::addColumn<QString>("expected"); // the three files afterwards

    QTest::newRow("all made, empty") << "" << -1 << ",,";
    QTest::newRow("a claimed file is left to its task") << "" << 1 << ",<missing>,";
    QTest::newRow("a partial download stays as it is") << "b=part" << -1 << ",part,";
    QTest::newRow("the last one claimed") << "a=x" << 2 << "x,,<missing>";
}

void tst_EmptyFileCreator::createsWhatNobodyHasClaimed()
{
    QFETCH(QString, existing);
    QFETCH(int, claimed);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    const QStringList names{"a", "d/b", "d/c"};
    QVERIFY(writeFile(dir.filePath("d/keep"), ""));
    if (!existing.isEmpty()) {
        const QString name = existing.section('=', 0, 0);
        QVERIFY(writeFile(dir.filePath(name == "a" ? "a" : "d/" + name), existing.section('=', 1).toUtf8()));
    }
    QStringList paths;
    for (const QString &name : names)
        paths << dir.filePath(name);

    // Every pool thread held, so that the claim comes before the worker, as in a run where the worker
    // is ahead of the downloads everywhere but at the one file.
    QThreadPool *pool = QThreadPool::globalInstance();
    QSemaphore held;
    for (int i = 0; i < pool->maxThreadCount(); ++i)
        pool->start([&held] { held.acquire(); });
    EmptyFileCreator creator(nullptr);
    QSignalSpy finished(&creator, &EmptyFileCreator::finished);
    creator.start(paths);
    creator.claim(claimed);
    held.release(pool->maxThreadCount());
    // The holders are past the semaphore before it goes, and the worker has ended; its report is queued.
    pool->waitForDone();
    QVERIFY(finished.wait());
    QVERIFY(!creator.isRunning());
    QStringList contents;
    for (const QString &path : std::as_const(paths))
        contents << QString::fromUtf8(readFile(path));
    QCOMPARE(contents.join(','), expected);
}

QTEST_GUILESS_MAIN(tst_EmptyFileCreator)
#include "tst_emptyfilecreator.moc"
