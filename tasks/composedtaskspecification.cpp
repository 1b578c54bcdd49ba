#include "tasks/composedtaskspecification.h"

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, double parentProgressRange,
                                                     QObject *parent)
    : TaskSpecification(parent, parentProgressRange), maxParallel(maxParallel)
{
    // Starts always go through the event loop: a sub-task that ends inside its own execute() or finished()
    // must not start its successor from within that call, or a long chain of quick sub-tasks would nest
    // ever deeper on the stack.
    connect(this, &ComposedTaskSpecification::startNextTask, this, &ComposedTaskSpecification::onStartNextTask,
            Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    // The sub-tasks must not report into a half-destroyed parent. They die here rather than later: each
    // deferred deletion still queued would be searched for in the whole event queue when its child dies
    // with this task, for thousands of children one after the other.
    const QList<TaskSpecification *> tasks = subTasks;
    detachSubTasks();
    qDeleteAll(tasks);
}

void ComposedTaskSpecification::addSubTask(TaskSpecification *task)
{
    subTasks.append(task);
    pendingTasks.append(task);
    reportedProgress.append(0.0);
    connectSignals(task);
    onSubTaskProgress(subTasks.size() - 1, task->getProgress());
}

void ComposedTaskSpecification::connectSignals(TaskSpecification *task)
{
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(task, &TaskSpecification::updateProgress, this,
            [this, index = subTasks.lastIndexOf(task)](qreal doneFrac) { onSubTaskProgress(index, doneFrac); });
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    cancelLinks.append(
            connect(this, &TaskSpecification::otherTaskCancelled, task, &TaskSpecification::onOtherTaskCancelled));
}

void ComposedTaskSpecification::executeSubTasks()
{
    state = StateRunning;
    // The flags belong to one run; a subclass that rebuilds its sub-tasks after clearSubTasks() and the
    // plain base reset() would otherwise never report the new run.
    cancelPropagated = false;
    doneReported = false;
    const int n = qMin(int(pendingTasks.size()), maxParallel);
    if (n == 0) {
        doneReported = true;
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    // A start queued before the run ended (or before a reset) must not start anything. The parallel limit
    // is checked again because a reset and a new run may leave old queued starts behind.
    if (state != StateRunning)
        return;
    if (pendingTasks.isEmpty() || cancelPropagated || cancelRequested || runningTasks.size() >= maxParallel) {
        drainCheck();
        return;
    }
    TaskSpecification *task = pendingTasks.takeFirst();
    runningTasks.append(task); // before execute(): the task may end inside it
    task->execute();
}

void ComposedTaskSpecification::drainCheck()
{
    // Only a running task may end: a subclass may have ended or reset this task itself while sub-tasks
    // were still out, and it must not be ended a second time.
    if (runningTasks.isEmpty() && !doneReported && state == StateRunning) {
        doneReported = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *task)
{
    runningTasks.removeOne(task);
    doneTasks.append(task);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *task)
{
    runningTasks.removeOne(task);
    doneTasks.append(task);
    if (!cancelPropagated) {
        cancelPropagated = true;
        // During a user cancel every sub-task is told by userCanceled() itself. Telling the siblings
        // through otherTaskCancelled as well would make them end as failed, and the user's cancel would be
        // reported as an error.
        if (!cancelRequested)
            emit otherTaskCancelled(task);
    }
    drainCheck();
}

TaskSpecification::TaskState ComposedTaskSpecification::getStateFromSubTasks() const
{
    bool userCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification *task : subTasks) {
        switch (task->getState()) {
        case StateErrorCanceled:
            return StateErrorCanceled;
        case StateUserCanceled:
            userCanceled = true;
            allFinished = false;
            break;
        case StateFinished:
            break;
        default:
            allFinished = false;
            break;
        }
    }
    if (userCanceled)
        return StateUserCanceled;
    if (allFinished)
        return StateFinished;
    if (cancelRequested)
        return StateUserCanceled;
    if (cancelPropagated)
        return StateErrorCanceled;
    return StateRunning;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getStateFromSubTasks()) {
    case StateFinished:
        finish();
        if (releaseSubTasksWhenFinished)
            releaseSubTasks();
        break;
    case StateUserCanceled:
        userCancel();
        break;
    default:
        errorCancel();
        break;
    }
}

void ComposedTaskSpecification::onSubTaskProgress(qsizetype index, qreal doneFrac)
{
    double &reported = reportedProgress[index];
    progressSum += doneFrac - reported;
    reported = doneFrac;
    // Rounding must not leave a trace once every sub-task is back at the start.
    if (qAbs(progressSum) < 1e-12)
        progressSum = 0.0;
    setProgress(progressSum);
}

void ComposedTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != StateRunning)
        return;
    // A sub-task may end this task from inside the loop; the list itself is not changed by that.
    const QList<TaskSpecification *> tasks = subTasks;
    for (TaskSpecification *task : tasks)
        task->userCanceled();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                         bool &downloading)
{
    downloading = false;
    if (subTasksReleased) {
        downloadDone += released.done;
        downloadTotal += released.total;
        speed += released.speed;
        released.speed = 0; // bytes since the last tick, told once
        return;
    }
    for (TaskSpecification *task : std::as_const(subTasks)) {
        quint64 childDone = 0;
        quint64 childTotal = 0;
        quint64 childSpeed = 0;
        bool childDownloading = false;
        task->timeTick(childDone, childTotal, childSpeed, childDownloading);
        if (childDownloading)
            downloading = true;
        speed += childSpeed;
        if (childTotal != 0) {
            downloadDone += childDone;
            downloadTotal += childTotal;
        }
    }
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification *task : std::as_const(subTasks))
        task->reset();
    pendingTasks = subTasks;
    runningTasks.clear();
    doneTasks.clear();
    cancelPropagated = false;
    doneReported = false;
    TaskSpecification::reset();
}

bool ComposedTaskSpecification::resetForRetryAfterFailedCheck(const QString &retryMessage)
{
    if (cancelRequested) {
        userCancel();
        return false;
    }
    emit message(retryMessage);
    clearSubTasks();
    TaskSpecification::reset();
    return true;
}

void ComposedTaskSpecification::releaseSubTasks()
{
    Released kept;
    bool downloading = false;
    timeTick(kept.done, kept.total, kept.speed, downloading);
    clearSubTasks();
    released = kept;
    subTasksReleased = true;
}

void ComposedTaskSpecification::clearSubTasks()
{
    const QList<TaskSpecification *> tasks = subTasks;
    detachSubTasks();
    for (TaskSpecification *task : tasks)
        task->deleteLater();
}

void ComposedTaskSpecification::detachSubTasks()
{
    for (TaskSpecification *task : std::as_const(subTasks))
        task->disconnect(this);
    for (const QMetaObject::Connection &link : std::as_const(cancelLinks))
        disconnect(link);
    cancelLinks.clear();
    subTasks.clear();
    subTasksReleased = false;
    released = Released();
    reportedProgress.clear();
    progressSum = 0.0;
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
}
