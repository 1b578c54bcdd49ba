#include "tasks/taskspecification.h"

#include <QSignalSpy>
#include <QTest>

namespace {

class PlainTask : public TaskSpecification
{
public:
    using TaskSpecification::TaskSpecification;
    void execute() override { state = StateRunning; }
    void handleOtherTaskCancelled(TaskSpecification *) override { ++handled; }

    using TaskSpecification::errorCancel;
    using TaskSpecification::finish;
    using TaskSpecification::setProgress;
    using TaskSpecification::userCancel;

    int handled = 0;
};

} // namespace

class tst_TaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void endsReportWeightedProgress_data();
    void endsReportWeightedProgress();
    void resetClearsRunAndCancelRequest();
    void otherTaskCancelledOnlyWhileRunning_data();
    void otherTaskCancelledOnlyWhileRunning();
};

void tst_TaskSpecification::endsReportWeightedProgress_data()
{
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<double>("finalProgress");

    QTest::newRow("finish") << int(TaskSpecification::StateFinished)
                            << "progress 0.125, progress 0.25, finished" << 0.25;
    QTest::newRow("error cancel keeps progress") << int(TaskSpecification::StateErrorCanceled)
                                                 << "progress 0.125, canceled" << 0.125;
    QTest::newRow("user cancel keeps progress") << int(TaskSpecification::StateUserCanceled)
                                                << "progress 0.125, canceled" << 0.125;
}

void tst_TaskSpecification::endsReportWeightedProgress()
{
    QFETCH(int, end);
    QFETCH(QString, expected);
    QFETCH(double, finalProgress);

    PlainTask task(nullptr, 0.25);
    QStringList log;
    connect(&task, &TaskSpecification::updateProgress, &task,
            [&log](qreal p) { log.append(QString("progress %1").arg(p)); });
    // The state is final by the time the end is announced.
    connect(&task, &TaskSpecification::finished, &task, [&log, end](TaskSpecification *t) {
        QCOMPARE(int(t->getState()), end);
        log.append("finished");
    });
    connect(&task, &TaskSpecification::canceled, &task, [&log, end](TaskSpecification *t) {
        QCOMPARE(int(t->getState()), end);
        log.append("canceled");
    });

    task.execute();
    task.setProgress(0.5);
    if (end == TaskSpecification::StateFinished)
        task.finish();
    else if (end == TaskSpecification::StateErrorCanceled)
        task.errorCancel();
    else
        task.userCancel();
    QCOMPARE(log.join(", "), expected);
    QCOMPARE(task.getProgress(), finalProgress);
}

void tst_TaskSpecification::resetClearsRunAndCancelRequest()
{
    PlainTask task(nullptr, 0.5);
    task.execute();
    task.userCanceled();
    QCOMPARE(task.getState(), TaskSpecification::StateRunning); // a request alone ends nothing
    task.finish();
    QVERIFY(task.isCancelRequested());

    QSignalSpy spy(&task, &TaskSpecification::updateProgress);
    task.reset();
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toDouble(), 0.0);
    QCOMPARE(task.getState(), TaskSpecification::StateIdle);
    QVERIFY(!task.isCancelRequested());
}

void tst_TaskSpecification::otherTaskCancelledOnlyWhileRunning_data()
{
    QTest::addColumn<bool>("start");
    QTest::addColumn<bool>("end");
    QTest::addColumn<bool>("self");
    QTest::addColumn<int>("handled");

    QTest::newRow("running, other task") << true << false << false << 1;
    QTest::newRow("running, itself") << true << false << true << 0;
    QTest::newRow("idle") << false << false << false << 0;
    QTest::newRow("ended") << true << true << false << 0;
}

void tst_TaskSpecification::otherTaskCancelledOnlyWhileRunning()
{
    QFETCH(bool, start);
    QFETCH(bool, end);
    QFETCH(bool, self);
    QFETCH(int, handled);

    PlainTask task(nullptr, 1.0);
    PlainTask other(nullptr, 1.0);
    if (start)
        task.execute();
    if (end)
        task.errorCancel();
    task.onOtherTaskCancelled(self ? &task : &other);
    QCOMPARE(task.handled, handled);
}

QTEST_GUILESS_MAIN(tst_TaskSpecification)
#include "tst_taskspecification.moc"
