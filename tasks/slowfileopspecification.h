#pragma once

#include "tasks/asynctaskspecification.h"

class RollbackDataList;

// A file operation that runs on the thread pool. The undo record is added on the main thread when the
// result arrives; the worker never touches the list.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    SlowFileOpSpecification(QString failureMessage, RollbackDataList *rollbackList, const QString &source,
                            const QString &destination, QObject *parent, double parentProgressRange);

protected:
    void runDone(bool ok) override;

    RollbackDataList *rollbackList; // not owned; null records nothing
    QString source;
    QString destination;
    QString failureMessage; // already filled in with source and destination
};
