#pragma once

#include <QObject>

// The task framework, the lowest layer: every step of an update is a TaskSpecification. A
// ComposedTaskSpecification runs sub-tasks it owns, in order or a few at once, and adds up their weighted
// progress; an ASyncTaskSpecification runs an ASyncFunc on the global thread pool (ASyncRun carries it
// there) and hears its result through queued signals. The file-operation tasks (create a directory,
// rename, copy, gunzip, delete) record what they changed in a RollbackDataList, so that their owner can
// undo them. FileDigest and Gunzip are the one place where a file's MD5 sum is taken and a gzip file read.
//
// One unit of work in the task tree of an update run.
//
// Lifetime: a run starts with execute() and ends exactly once, with finish() (signal finished) or with
// errorCancel()/userCancel() (signal canceled; getState() tells which). The end may come inside execute()
// itself. reset() makes the task idle again so that it can run once more. The QObject parent owns the task:
// a composed task owns its sub-tasks, the update engine owns the root.
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    enum TaskState {
        StateIdle = 0,          // constructed or reset, not started
        StateRunning = 1,       // set by the subclass's execute()
        StateFinished = 2,      // ended by finish()
        StateErrorCanceled = 3, // ended by errorCancel(): something failed here or elsewhere in the tree
        StateUserCanceled = 4,  // ended by userCancel(): the user asked to stop
    };
    Q_ENUM(TaskState)

    TaskSpecification(QObject *parent, double parentProgressRange);

    virtual void execute() = 0;
    virtual void reset();
    // Transfer figures for the once-a-second display; composed tasks add into the outputs, so callers
    // zero them first.
    virtual void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed, bool &downloading);
    virtual void userCanceled();
    virtual void handleOtherTaskCancelled(TaskSpecification *other);

    void setParentProgressRange(double range);
    TaskState getState() const { return state; }
    // Weighted: between 0 and the share of the parent given at construction.
    double getProgress() const { return progress; }
    bool isCancelRequested() const { return cancelRequested; }

signals:
    void finished(TaskSpecification *task);
    void canceled(TaskSpecification *task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification *task);

public slots:
    void onOtherTaskCancelled(TaskSpecification *other);

protected:
    // share: this task's own completed fraction, 0.0 to 1.0.
    void setProgress(double share);
    void finish();
    void errorCancel();
    void userCancel();

    bool cancelRequested = false;
    double parentProgressRange;
    double progress = 0.0;
    TaskState state = StateIdle;
};
