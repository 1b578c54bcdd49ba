#pragma once

#include "tasks/taskspecification.h"

#include <QStringList>

// A task for tests of the task tree: what it does when started or canceled is chosen per instance, and
// every call and end is appended to a shared log as "<name> <event>", so a test can compare the order
// of events with an expected log.
class ScriptedTask : public TaskSpecification
{
    Q_OBJECT
public:
    enum Behaviour {
        FinishAtOnce, // finish() inside execute()
        FailAtOnce,   // errorCancel() inside execute()
        Hold,         // keeps running until the test ends it; ignores every cancel (like a pool worker)
        Abortable,    // keeps running; a user cancel ends it with userCancel(), a failure elsewhere in the
                      // tree with errorCancel() (like a download)
    };

    ScriptedTask(const QString &name, Behaviour behaviour, QStringList *log, QObject *parent,
                 double parentProgressRange = 1.0);
    ~ScriptedTask() override;

    // How many ScriptedTask objects exist: a test that has deleted its tree expects 0, so a task that a
    // run, a cancel or a reset left behind shows up.
    static int liveCount();

    void execute() override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed, bool &downloading) override;

    // Logs "<name> finished", "<name> error-canceled" or "<name> user-canceled" when task ends.
    static void recordEnd(TaskSpecification *task, QStringList *log);

    using TaskSpecification::errorCancel;
    using TaskSpecification::finish;
    using TaskSpecification::setProgress;
    using TaskSpecification::userCancel;

    // Reported by timeTick().
    quint64 done = 0;
    quint64 total = 0;
    quint64 bytesSinceTick = 0;
    bool active = false;

private:
    static int live;

    Behaviour behaviour;
    QStringList *log;
};
