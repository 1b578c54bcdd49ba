#include "tasks/fastfileoptaskspecification.h"

#include "tasks/rollbackdatalist.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollbackList,
                                                         QObject *parent, double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange), rollbackList(rollbackList), path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    state = StateRunning;
    if (doOp())
        finish();
    else
        errorCancel();
}

void FastFileOpTaskSpecification::addRollbackOp(const RollbackData &data)
{
    if (rollbackList)
        rollbackList->add(data);
}
