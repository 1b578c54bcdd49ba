#include "tasks/taskspecification.h"

TaskSpecification::TaskSpecification(QObject *parent, double parentProgressRange)
    : QObject(parent), parentProgressRange(parentProgressRange)
{
}

void TaskSpecification::reset()
{
    cancelRequested = false;
    state = StateIdle;
    setProgress(0.0);
}

void TaskSpecification::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed,
                                 bool &downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::userCanceled()
{
    cancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
}

void TaskSpecification::setParentProgressRange(double range)
{
    parentProgressRange = range;
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification *other)
{
    if (other != this && state == StateRunning)
        handleOtherTaskCancelled(other);
}

void TaskSpecification::setProgress(double share)
{
    const double weighted = share * parentProgressRange;
    if (weighted == progress)
        return;
    progress = weighted;
    emit updateProgress(progress);
}

void TaskSpecification::finish()
{
    state = StateFinished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel()
{
    state = StateErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel()
{
    state = StateUserCanceled;
    emit canceled(this);
}
