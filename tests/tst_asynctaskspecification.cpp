#include "tasks/asyncfunc.h"
#include "tasks/asynctaskspecification.h"

#include <QSemaphore>
#include <QTest>
#include <QThreadPool>

namespace {

// Reports a message and half of its work, then waits for the test to let it return its result.
class GatedFunc : public ASyncFunc
{
public:
    GatedFunc(bool result, QSemaphore *gate) : result(result), gate(gate) {}
    bool run() override
    {
        emit message("working");
        emit progress(0.5);
        gate->acquire();
        return result;
    }

private:
    bool result;
    QSemaphore *gate;
};

class GatedTask : public ASyncTaskSpecification
{
public:
    GatedTask(double weight, QStringList *log) : ASyncTaskSpecification(nullptr, weight)
    {
        connect(this, &TaskSpecification::message, this, [log](const QString &m) { log->append(m); });
        connect(this, &TaskSpecification::updateProgress, this,
                [log](qreal p) { log->append(QString("progress %1").arg(p)); });
        connect(this, &TaskSpecification::finished, this, [log] { log->append("finished"); });
        connect(this, &TaskSpecification::canceled, this, [log] { log->append("canceled"); });
    }

    // A failed check must not leave a worker waiting on a gate that is about to be destroyed.
    ~GatedTask() override
    {
        gate.release(1000);
        QThreadPool::globalInstance()->waitForDone();
    }

    bool nextResult = true;
    QSemaphore gate;

protected:
    ASyncFunc *createFunction() override { return new GatedFunc(nextResult, &gate); }
};

} // namespace

class tst_ASyncTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void resultBecomesEnd_data();
    void resultBecomesEnd();
    void resultAfterResetIsIgnored();
    void resultOfOldRunDoesNotEndNewRun();
    void cancelDoesNotStopWorker();
};

void tst_ASyncTaskSpecification::resultBecomesEnd_data()
{
    QTest::addColumn<bool>("result");
    QTest::addColumn<double>("weight");
    QTest::addColumn<QString>("expected");

    QTest::newRow("success, weight 0.25")
        << true << 0.25 << "working, progress 0.125, released, progress 0.25, finished";
    QTest::newRow("failure, weight 0.25") << false << 0.25 << "working, progress 0.125, released, canceled";
    QTest::newRow("success, weight 1") << true << 1.0 << "working, progress 0.5, released, progress 1, finished";
}

void tst_ASyncTaskSpecification::resultBecomesEnd()
{
    QFETCH(bool, result);
    QFETCH(double, weight);
    QFETCH(QString, expected);

    QStringList log;
    GatedTask task(weight, &log);
    task.nextResult = result;
    task.execute();
    QCOMPARE(task.getState(), TaskSpecification::StateRunning);
    QTRY_COMPARE(task.getProgress(), weight / 2);
    log.append("released");
    task.gate.release();
    QTRY_VERIFY(task.getState() != TaskSpecification::StateRunning);
    QCOMPARE(log.join(", "), expected);
}

void tst_ASyncTaskSpecification::resultAfterResetIsIgnored()
{
    QStringList log;
    GatedTask task(1.0, &log);
    task.execute();
    task.gate.release();
    QThreadPool::globalInstance()->waitForDone(); // the result is now queued, not yet delivered
    task.reset();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(task.getState(), TaskSpecification::StateIdle);
    QVERIFY(!log.contains("finished"));
    QCOMPARE(task.getProgress(), 0.0);
}

void tst_ASyncTaskSpecification::resultOfOldRunDoesNotEndNewRun()
{
    QStringList log;
    GatedTask task(1.0, &log);
    task.nextResult = false;
    task.execute();
    task.gate.release();
    QThreadPool::globalInstance()->waitForDone();
    task.reset();

    task.nextResult = true;
    task.execute();
    QCoreApplication::sendPostedEvents(); // would deliver the old failure
    QCOMPARE(task.getState(), TaskSpecification::StateRunning);
    task.gate.release();
    QTRY_COMPARE(task.getState(), TaskSpecification::StateFinished);
    QVERIFY(!log.contains("canceled"));
}

void tst_ASyncTaskSpecification::cancelDoesNotStopWorker()
{
    QStringList log;
    GatedTask task(1.0, &log);
    task.execute();
    task.userCanceled();
    task.gate.release();
    QTRY_COMPARE(task.getState(), TaskSpecification::StateFinished);
    QVERIFY(task.isCancelRequested());
}

QTEST_GUILESS_MAIN(tst_ASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
