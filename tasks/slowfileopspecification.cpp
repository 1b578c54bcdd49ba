#include "tasks/slowfileopspecification.h"

#include "tasks/rollbackdatalist.h"

SlowFileOpSpecification::SlowFileOpSpecification(QString failureMessage, RollbackDataList *rollbackList,
                                                 const QString &source, const QString &destination,
                                                 QObject *parent, double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange),
      rollbackList(rollbackList),
      source(source),
      destination(destination),
      failureMessage(failureMessage)
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (ok && rollbackList)
        rollbackList->add(RollbackData(RollbackData::CreateFile, destination));
    if (!ok)
        emit message(failureMessage);
    ASyncTaskSpecification::runDone(ok);
}
