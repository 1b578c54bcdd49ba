#include "tasks/asynctaskspecification.h"

#include "tasks/asyncfunc.h"
#include "tasks/asyncrun.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <memory>

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
{
}

void ASyncTaskSpecification::execute()
{
    std::unique_ptr<ASyncFunc> func(createFunction());
    if (func->isQuick()) {
        connect(func.get(), &ASyncFunc::message, this, &TaskSpecification::message);
        connect(func.get(), &ASyncFunc::error, this, &TaskSpecification::error);
        state = StateRunning;
        runDone(func->run());
        return;
    }
    connectDefaultSignals(func.get());
    workerOutstanding = true;
    QThreadPool::globalInstance()->start(new ASyncRun(func.release()), 0);
    // Safe after the hand-over: the worker's reports reach this task only through the event loop.
    state = StateRunning;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc *func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult, Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress, Qt::QueuedConnection);
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    // The old worker's reports may still be queued; dropped here, they cannot end (or move the progress of)
    // a run started after this reset. The removal searches the whole event queue, which thousands of
    // resets in a row would feel, so it is skipped when nothing of this task can be queued.
    if (workerOutstanding)
        QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    workerOutstanding = false;
    TaskSpecification::reset();
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    workerOutstanding = false;
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}

void ASyncTaskSpecification::runDone(bool res)
{
    if (state != StateRunning)
        return;
    if (res)
        finish();
    else
        errorCancel();
}
