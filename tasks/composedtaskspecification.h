#pragma once

#include "tasks/taskspecification.h"

#include <QList>

// A task made of sub-tasks, started in the order added with at most maxParallel running at once.
//
// Lifetime: the sub-tasks are QObject children of the composed task and are deleted with it, or earlier by
// clearSubTasks() (deleteLater). A run ends exactly once, after no sub-task is running any more: finished
// when every sub-task finished, canceled otherwise (see getStateFromSubTasks()). After the first canceled
// sub-task nothing new is started; the running ones are told through otherTaskCancelled and waited for.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ComposedTaskSpecification(int maxParallel, double parentProgressRange, QObject *parent);
    ~ComposedTaskSpecification() override;

    void reset() override;
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed, bool &downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    void addSubTask(TaskSpecification *task);

signals:
    void startNextTask();

protected:
    virtual void subtasksDone();
    virtual void connectSignals(TaskSpecification *task);

    void executeSubTasks();
    TaskState getStateFromSubTasks() const;
    void clearSubTasks();
    // For a task whose last sub-task checks what the others produced, after that check failed: a cancel
    // that arrived meanwhile ends the task (a fresh attempt would start new work after the user asked to
    // stop, and the reset would forget the request); otherwise retryMessage is reported, the sub-tasks
    // are dropped and the task is idle again, and true tells the caller to build and start them anew.
    bool resetForRetryAfterFailedCheck(const QString &retryMessage);

    // For a task that stands for one of thousands of files: once it has finished, its sub-tasks are
    // deleted (a finished run has no more use for them, and keeping them all would make the memory grow
    // with the number of files), and timeTick() answers what they would still have answered.
    bool releaseSubTasksWhenFinished = false;

    QList<TaskSpecification *> subTasks;
    QList<TaskSpecification *> pendingTasks;
    QList<TaskSpecification *> runningTasks;
    QList<TaskSpecification *> doneTasks;
    int maxParallel;
    bool cancelPropagated = false;
    bool doneReported = false;

private slots:
    void onStartNextTask();
    void onSubTaskFinished(TaskSpecification *task);
    void onSubTaskCanceled(TaskSpecification *task);

private:
    void drainCheck();
    void onSubTaskProgress(qsizetype index, qreal doneFrac);
    void releaseSubTasks();
    // Disconnects the sub-tasks and forgets them, without deleting them.
    void detachSubTasks();

    // Thousands of sub-tasks each report many times: the sum is kept up to date instead of being
    // added up again on every report. One entry per sub-task, in the order of subTasks.
    QList<double> reportedProgress;
    double progressSum = 0.0;
    // This task's link to each sub-task's onOtherTaskCancelled, in the order of subTasks. Cut through
    // its handle: a plain disconnect searches every receiver of the signal, and dropping thousands of
    // sub-tasks one after the other would take time growing with the square of their number.
    QList<QMetaObject::Connection> cancelLinks;

    // What the released sub-tasks last told timeTick().
    struct Released
    {
        quint64 done = 0;
        quint64 total = 0;
        quint64 speed = 0;
    };
    bool subTasksReleased = false;
    Released released;
};
