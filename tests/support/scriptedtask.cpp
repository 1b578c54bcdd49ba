#include "support/scriptedtask.h"

ScriptedTask::ScriptedTask(const QString &name, Behaviour behaviour, QStringList *log, QObject *parent,
                           double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange), behaviour(behaviour), log(log)
{
    setObjectName(name);
    recordEnd(this, log);
    ++live;
}

int ScriptedTask::live = 0;

ScriptedTask::~ScriptedTask()
{
    --live;
}

int ScriptedTask::liveCount()
{
    return live;
}

void ScriptedTask::recordEnd(TaskSpecification *task, QStringList *log)
{
    connect(task, &TaskSpecification::finished, task,
            [log](TaskSpecification *t) { log->append(t->objectName() + " finished"); });
    connect(task, &TaskSpecification::canceled, task, [log](TaskSpecification *t) {
        log->append(t->objectName()
                    + (t->getState() == StateUserCanceled ? " user-canceled" : " error-canceled"));
    });
}

void ScriptedTask::execute()
{
    log->append(objectName() + " execute");
    state = StateRunning;
    if (behaviour == FinishAtOnce)
        finish();
    else if (behaviour == FailAtOnce)
        errorCancel();
}

void ScriptedTask::userCanceled()
{
    TaskSpecification::userCanceled();
    log->append(objectName() + " cancel requested");
    if (behaviour == Abortable && state == StateRunning)
        userCancel();
}

void ScriptedTask::handleOtherTaskCancelled(TaskSpecification *other)
{
    log->append(objectName() + " sees " + other->objectName() + " canceled");
    if (behaviour == Abortable)
        errorCancel();
}

void ScriptedTask::timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed, bool &downloading)
{
    downloadDone = done;
    downloadTotal = total;
    speed = bytesSinceTick;
    downloading = active;
}
