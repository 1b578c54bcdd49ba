#pragma once

#include "tasks/rollbackdata.h"
#include "tasks/taskspecification.h"

class RollbackDataList;

// A quick file operation done inside execute() on the main thread; the task has ended when execute()
// returns. Cancels cannot reach it while it runs.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollbackList, QObject *parent,
                                double parentProgressRange);

    void execute() override;

protected:
    virtual bool doOp() = 0;
    void addRollbackOp(const RollbackData &data);

    RollbackDataList *rollbackList; // not owned; null records nothing
    QString path;
};
