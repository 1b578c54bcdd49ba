#pragma once

#include "tasks/taskspecification.h"

class ASyncFunc;

// A task whose work runs on the global thread pool. A started worker always runs to its end: a cancel only
// records the request, and the task ends with the worker's result.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject *parent, double parentProgressRange);

    void execute() override;
    // Blocks until the whole global pool is idle, not only this task's worker.
    void reset() override;

protected:
    virtual ASyncFunc *createFunction() = 0;
    virtual void connectDefaultSignals(ASyncFunc *func);
    // On the main thread; overrides act on the result and then call this version.
    virtual void runDone(bool res);

protected slots:
    // From the pool thread (queued):
    void onRunResult(bool res);
    void onProgress(qreal progress);

private:
    // A worker was handed over and its result has not arrived yet: only then can reports of it still be
    // queued. (The result is its last report.)
    bool workerOutstanding = false;
};
