#include "support/scriptedtask.h"
#include "tasks/composedtaskspecification.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

namespace {

class TestComposed : public ComposedTaskSpecification
{
public:
    TestComposed(const QString &name, int maxParallel, QStringList *log, QObject *parent = nullptr,
                 double parentProgressRange = 1.0)
        : ComposedTaskSpecification(maxParallel, parentProgressRange, parent), log(log)
    {
        setObjectName(name);
        ScriptedTask::recordEnd(this, log);
        connect(this, &TaskSpecification::otherTaskCancelled, this, [this](TaskSpecification *other) {
            this->log->append(objectName() + " announces " + other->objectName() + " canceled");
        });
    }

    void execute() override
    {
        if (parent())
            log->append(objectName() + " execute");
        state = StateRunning;
        executeSubTasks();
    }

    // What a subclass does to build a fresh set of sub-tasks for another attempt.
    void clearForRebuild()
    {
        clearSubTasks();
        TaskSpecification::reset();
    }

    ScriptedTask *sub(const QString &name) { return findChild<ScriptedTask *>(name); }
    void releaseWhenFinished() { releaseSubTasksWhenFinished = true; }

private:
    QStringList *log;
};

// One event-loop turn: delivers what was queued before it, not what it queues itself.
void turn(QStringList *log)
{
    log->append("|");
    QCoreApplication::sendPostedEvents();
}

ScriptedTask::Behaviour behaviourOf(QChar c)
{
    switch (c.toLatin1()) {
    case 'f': return ScriptedTask::FinishAtOnce;
    case 'e': return ScriptedTask::FailAtOnce;
    case 'h': return ScriptedTask::Hold;
    default: return ScriptedTask::Abortable;
    }
}

// "A:f B:h" adds A (finishes at once) and B (held) with equal weights.
void addSubTasks(TestComposed *composed, const QString &recipe, QStringList *log)
{
    const QStringList specs = recipe.split(' ', Qt::SkipEmptyParts);
    for (const QString &spec : specs) {
        const QStringList parts = spec.split(':');
        composed->addSubTask(new ScriptedTask(parts[0], behaviourOf(parts[1].at(0)), log, composed,
                                              1.0 / specs.size()));
    }
}

void runSteps(TestComposed *root, const QStringList &steps, QStringList *log)
{
    for (const QString &step : steps) {
        const QString name = step.section(' ', 1);
        if (step == "turn")
            turn(log);
        else if (step == "cancel")
            root->userCanceled();
        else if (step.startsWith("finish "))
            root->sub(name)->finish();
        else if (step.startsWith("error "))
            root->sub(name)->errorCancel();
        else
            QFAIL(qPrintable("unknown step " + step));
    }
}

QStringList turns(int n)
{
    return QStringList(n, "turn");
}

} // namespace

class tst_ComposedTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void order_data();
    void order();
    void nestedCancel_data();
    void nestedCancel();
    void resetRunsSameSubTasksAgain();
    void rebuiltSubTasksRunAndClearedOnesAreIgnored();
    void progressSums_data();
    void progressSums();
    void progressEmittedOnlyOnChange();
    void emptyTaskReportsFullWeightThenFinished();
    void timeTickSums_data();
    void timeTickSums();
    void releasedSubTasks_data();
    void releasedSubTasks();
    void clearedSubTasksHearNoLaterCancel_data();
    void clearedSubTasksHearNoLaterCancel();
};

void tst_ComposedTaskSpecification::order_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("subTasks");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no sub-tasks: ends inside execute") << 1 << "" << turns(1) << "T finished, |";
    QTest::newRow("limit 1: one start per turn, end one turn after the last")
        << 1 << "A:f B:f C:f" << turns(5)
        << "|, A execute, A finished, |, B execute, B finished, |, C execute, C finished, |, T finished, |";
    QTest::newRow("limit 6, two quick sub-tasks: both start in the first turn")
        << 6 << "A:f B:f" << turns(3) << "|, A execute, A finished, B execute, B finished, |, T finished, |";
    QTest::newRow("limit 6, two held sub-tasks: ends once, after the second")
        << 6 << "A:h B:h" << QStringList{"turn", "finish A", "turn", "finish B", "turn", "turn"}
        << "|, A execute, B execute, A finished, |, B finished, |, T finished, |";
    QTest::newRow("limit 2: a freed slot starts the next")
        << 2 << "A:h B:h C:f" << QStringList{"turn", "finish B", "turn", "turn", "finish A", "turn", "turn"}
        << "|, A execute, B execute, B finished, |, C execute, C finished, |, A finished, |, T finished, |";
    QTest::newRow("failure stops later sub-tasks")
        << 1 << "A:f B:e C:f" << turns(4)
        << "|, A execute, A finished, |, B execute, B error-canceled, T announces B canceled, "
           "T error-canceled, |, |";
    QTest::newRow("failure waits for a running sibling and stays a failure")
        << 2 << "A:h B:e C:f" << QStringList{"turn", "turn", "finish A", "turn", "turn"}
        << "|, A execute, B execute, B error-canceled, T announces B canceled, A sees B canceled, |, "
           "A finished, |, T error-canceled, |";
    QTest::newRow("failure aborts an abortable sibling")
        << 2 << "A:a B:a" << QStringList{"turn", "error A", "turn"}
        << "|, A execute, B execute, A error-canceled, T announces A canceled, B sees A canceled, "
           "B error-canceled, T error-canceled, |";
    QTest::newRow("user cancel waits for a non-interruptible sub-task")
        << 1 << "A:h B:f" << QStringList{"turn", "cancel", "turn", "finish A", "turn", "turn"}
        << "|, A execute, A cancel requested, B cancel requested, |, A finished, |, T user-canceled, |";
    QTest::newRow("user cancel during the last sub-task: all finished, so finished")
        << 1 << "A:f B:h" << QStringList{"turn", "turn", "cancel", "finish B", "turn"}
        << "|, A execute, A finished, |, B execute, A cancel requested, B cancel requested, B finished, |, "
           "T finished";
    // Regression: siblings told through otherTaskCancelled ended as failed, so a user cancel of two
    // parallel downloads was reported as an error.
    QTest::newRow("user cancel of abortable sub-tasks stays a user cancel")
        << 2 << "A:a B:a C:f" << QStringList{"turn", "cancel", "turn"}
        << "|, A execute, B execute, A cancel requested, A user-canceled, B cancel requested, "
           "B user-canceled, T user-canceled, C cancel requested, |";
    QTest::newRow("user cancel before the first start")
        << 1 << "A:f" << QStringList{"cancel", "turn", "turn"} << "A cancel requested, |, T user-canceled, |";
}

void tst_ComposedTaskSpecification::order()
{
    QFETCH(int, limit);
    QFETCH(QString, subTasks);
    QFETCH(QStringList, steps);
    QFETCH(QString, expected);

    QStringList log;
    {
        TestComposed root("T", limit, &log);
        addSubTasks(&root, subTasks, &log);
        root.execute();
        runSteps(&root, steps, &log);
        QCOMPARE(log.join(", "), expected);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(ScriptedTask::liveCount(), 0);
}

void tst_ComposedTaskSpecification::nestedCancel_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("expected");

    const QString start = "|, N execute, D2 execute, |, D1 execute, ";
    QTest::newRow("failure travels down to a nested download and up to the root")
        << "error D2"
        << start + "D2 error-canceled, T announces D2 canceled, N announces D2 canceled, D1 sees D2 canceled, "
                   "D1 error-canceled, N announces D1 canceled, N error-canceled, T error-canceled";
    QTest::newRow("user cancel reaches every level and stays a user cancel")
        << "cancel"
        << start + "D1 cancel requested, D1 user-canceled, N user-canceled, E cancel requested, "
                   "D2 cancel requested, D2 user-canceled, T user-canceled";
}

void tst_ComposedTaskSpecification::nestedCancel()
{
    QFETCH(QString, step);
    QFETCH(QString, expected);

    QStringList log;
    {
        TestComposed root("T", 2, &log);
        auto *nested = new TestComposed("N", 1, &log, &root, 0.5);
        addSubTasks(nested, "D1:a E:f", &log);
        root.addSubTask(nested);
        auto *d2 = new ScriptedTask("D2", ScriptedTask::Abortable, &log, &root, 0.5);
        root.addSubTask(d2);

        root.execute();
        turn(&log);
        turn(&log);
        if (step == "cancel")
            root.userCanceled();
        else
            d2->errorCancel();
        QCOMPARE(log.join(", "), expected);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(ScriptedTask::liveCount(), 0);
}

void tst_ComposedTaskSpecification::resetRunsSameSubTasksAgain()
{
    QStringList log;
    TestComposed root("T", 1, &log);
    addSubTasks(&root, "A:f B:e", &log);
    root.execute();
    runSteps(&root, turns(3), &log);
    QCOMPARE(root.getState(), TaskSpecification::StateErrorCanceled);
    const QString firstRun = log.join(", ");

    root.reset();
    QCOMPARE(root.getState(), TaskSpecification::StateIdle);
    QCOMPARE(root.getProgress(), 0.0);
    log.clear();
    root.execute();
    runSteps(&root, turns(3), &log);
    QCOMPARE(log.join(", "), firstRun);
    // The second run used the same two sub-tasks and made no new ones.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(ScriptedTask::liveCount(), 2);
}

void tst_ComposedTaskSpecification::rebuiltSubTasksRunAndClearedOnesAreIgnored()
{
    QStringList log;
    TestComposed root("T", 1, &log);
    addSubTasks(&root, "A:h", &log);
    root.execute();
    turn(&log);
    QPointer<ScriptedTask> old = root.sub("A");

    // A new attempt while the old sub-task still runs: its late end must not count for the new run.
    root.clearForRebuild();
    addSubTasks(&root, "B:f", &log);
    root.execute();
    old->finish();
    runSteps(&root, turns(3), &log);
    QCOMPARE(log.join(", "), "|, A execute, A finished, |, B execute, B finished, |, T finished, |");

    // And once more after a completed run: the previous run's end must not block this one's.
    log.clear();
    root.clearForRebuild();
    addSubTasks(&root, "C:f", &log);
    root.execute();
    runSteps(&root, turns(2), &log);
    QCOMPARE(log.join(", "), "|, C execute, C finished, |, T finished");

    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(old.isNull());
    QCOMPARE(root.findChildren<ScriptedTask *>().size(), 1);
    // The cleared sub-tasks are really gone, not only no longer children.
    QCOMPARE(ScriptedTask::liveCount(), 1);
}

void tst_ComposedTaskSpecification::progressSums_data()
{
    QTest::addColumn<double>("weight");
    QTest::addColumn<QList<double>>("subWeights");
    QTest::addColumn<QList<double>>("shares");
    QTest::addColumn<double>("expected");

    QTest::newRow("one of two halves done, other half way") << 1.0 << QList<double>{0.5, 0.5}
                                                            << QList<double>{1.0, 0.5} << 0.75;
    QTest::newRow("weighted parent") << 0.4 << QList<double>{0.25, 0.75} << QList<double>{0.5, 0.0} << 0.05;
    QTest::newRow("five phases") << 1.0 << QList<double>{0.1, 0.05, 0.4, 0.4, 0.05}
                                 << QList<double>{1.0, 1.0, 0.5, 0.0, 0.0} << 0.35;
    // A kept-up sum must not drift from the total over thousands of reports.
    QTest::newRow("thousands of small sub-tasks") << 1.0 << QList<double>(3000, 1.0 / 3000)
                                                  << QList<double>(3000, 1.0) << 1.0;
}

void tst_ComposedTaskSpecification::progressSums()
{
    QFETCH(double, weight);
    QFETCH(QList<double>, subWeights);
    QFETCH(QList<double>, shares);
    QFETCH(double, expected);

    QStringList log;
    TestComposed root("T", 1, &log, nullptr, weight);
    QList<ScriptedTask *> subs;
    for (double w : subWeights) {
        subs.append(new ScriptedTask("S", ScriptedTask::Hold, &log, &root, w));
        root.addSubTask(subs.last());
    }
    QSignalSpy spy(&root, &TaskSpecification::updateProgress);
    for (int i = 0; i < subs.size(); ++i) {
        subs[i]->setProgress(shares[i] / 2);
        subs[i]->setProgress(shares[i]);
    }
    QCOMPARE(root.getProgress(), expected);
    QCOMPARE(spy.last().at(0).toDouble(), expected);

    // Every sub-task back at the start: exactly nothing done, not a rounding remainder.
    for (ScriptedTask *sub : std::as_const(subs))
        sub->setProgress(0.0);
    QCOMPARE(root.getProgress(), 0.0);
}

void tst_ComposedTaskSpecification::progressEmittedOnlyOnChange()
{
    QStringList log;
    TestComposed root("T", 1, &log);
    auto *a = new ScriptedTask("A", ScriptedTask::Hold, &log, &root, 0.5);
    auto *b = new ScriptedTask("B", ScriptedTask::Hold, &log, &root, 0.5);
    QSignalSpy spy(&root, &TaskSpecification::updateProgress);
    root.addSubTask(a);
    root.addSubTask(b);
    QCOMPARE(spy.size(), 0);
    a->setProgress(0.5);
    a->setProgress(0.5);
    b->setProgress(0.0);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toDouble(), 0.25);
}

void tst_ComposedTaskSpecification::emptyTaskReportsFullWeightThenFinished()
{
    QStringList log;
    TestComposed root("T", 1, &log, nullptr, 0.3);
    connect(&root, &TaskSpecification::updateProgress, &root,
            [&log](qreal p) { log.append(QString("progress %1").arg(p)); });
    root.execute();
    QCOMPARE(log.join(", "), "progress 0.3, T finished");
}

void tst_ComposedTaskSpecification::timeTickSums_data()
{
    QTest::addColumn<QString>("children"); // done/total/speed/downloading per child
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<bool>("downloading");

    QTest::newRow("no children") << "" << quint64(0) << quint64(0) << quint64(0) << false;
    QTest::newRow("zero total adds its speed but not its done bytes")
        << "10/0/5/1 20/100/7/0" << quint64(20) << quint64(100) << quint64(12) << true;
    QTest::newRow("only zero totals") << "10/0/5/0 30/0/1/0" << quint64(0) << quint64(0) << quint64(6) << false;
    QTest::newRow("a finished download still counts")
        << "100/100/0/0 5/50/5/1" << quint64(105) << quint64(150) << quint64(5) << true;
}

void tst_ComposedTaskSpecification::timeTickSums()
{
    QFETCH(QString, children);
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(bool, downloading);

    QStringList log;
    TestComposed root("T", 1, &log);
    const QStringList specs = children.split(' ', Qt::SkipEmptyParts);
    for (const QString &spec : specs) {
        const QStringList f = spec.split('/');
        auto *child = new ScriptedTask("S", ScriptedTask::Hold, &log, &root, 1.0 / specs.size());
        child->done = f[0].toULongLong();
        child->total = f[1].toULongLong();
        child->bytesSinceTick = f[2].toULongLong();
        child->active = f[3] == "1";
        root.addSubTask(child);
    }
    quint64 d = 0, t = 0, s = 0;
    bool active = true;
    root.timeTick(d, t, s, active);
    QCOMPARE(d, done);
    QCOMPARE(t, total);
    QCOMPARE(s, speed);
    QCOMPARE(active, downloading);
}

void tst_ComposedTaskSpecification::releasedSubTasks_data()
{
    QTest::addColumn<bool>("release");
    QTest::addColumn<QString>("recipe");
    QTest::addColumn<bool>("subTasksKept");
    QTest::addColumn<quint64>("laterSpeed"); // the second tick's speed

    // The children report 100/100 and 7 bytes since the last tick each (ScriptedTask keeps reporting them).
    QTest::newRow("a finished run drops its sub-tasks and tells their bytes once") << true << "A:f B:f" << false
                                                                                   << quint64(0);
    QTest::newRow("without asking, the sub-tasks stay") << false << "A:f B:f" << true << quint64(14);
    QTest::newRow("a failed run keeps its sub-tasks") << true << "A:f B:e" << true << quint64(14);
}

void tst_ComposedTaskSpecification::releasedSubTasks()
{
    QFETCH(bool, release);
    QFETCH(QString, recipe);
    QFETCH(bool, subTasksKept);
    QFETCH(quint64, laterSpeed);

    QStringList log;
    TestComposed root("T", 1, &log);
    auto *file = new TestComposed("F", 1, &log, &root);
    if (release)
        file->releaseWhenFinished();
    addSubTasks(file, recipe, &log);
    QList<QPointer<ScriptedTask>> children;
    for (ScriptedTask *child : file->findChildren<ScriptedTask *>()) {
        child->done = 100;
        child->total = 100;
        child->bytesSinceTick = 7;
        children.append(child);
    }
    root.addSubTask(file);
    root.execute();
    for (int i = 0; i < 6; ++i)
        QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(file->getState() != TaskSpecification::StateRunning);
    for (const QPointer<ScriptedTask> &child : std::as_const(children))
        QCOMPARE(!child.isNull(), subTasksKept);

    for (const quint64 speed : {quint64(14), laterSpeed}) {
        quint64 done = 0, total = 0, bytes = 0;
        bool downloading = true;
        root.timeTick(done, total, bytes, downloading);
        QCOMPARE(done, quint64(200));
        QCOMPARE(total, quint64(200));
        QCOMPARE(bytes, speed);
        QCOMPARE(downloading, false);
    }
}

void tst_ComposedTaskSpecification::clearedSubTasksHearNoLaterCancel_data()
{
    QTest::addColumn<QString>("firstRun"); // still running when the sub-tasks are cleared

    QTest::newRow("one") << "A:a";
    QTest::newRow("several, the first and the last of them") << "A:a B:a C:a";
}

void tst_ComposedTaskSpecification::clearedSubTasksHearNoLaterCancel()
{
    QFETCH(QString, firstRun);

    QStringList log;
    {
        TestComposed root("T", 3, &log);
        addSubTasks(&root, firstRun, &log);
        root.execute();
        runSteps(&root, turns(2), &log);
        root.clearForRebuild();
        addSubTasks(&root, "X:a Y:a", &log);
        root.execute();
        log.clear();
        runSteps(&root, turns(2) << "error X", &log);
        // Only the sibling of the new run is told; the cleared ones are not part of it any more.
        QCOMPARE(log.join(", "), "|, X execute, Y execute, |, X error-canceled, T announces X canceled, "
                                 "Y sees X canceled, Y error-canceled, T error-canceled");
    }
    QCOMPARE(ScriptedTask::liveCount(), 0);
}

QTEST_GUILESS_MAIN(tst_ComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
