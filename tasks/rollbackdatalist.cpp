#include "tasks/rollbackdatalist.h"

void RollbackDataList::add(const RollbackData &data)
{
    list.append(data);
}

void RollbackDataList::clear()
{
    list.clear();
}

void RollbackDataList::appendList(const RollbackDataList &other)
{
    list.append(other.list);
}

bool RollbackDataList::rollback(QObject *messageTarget)
{
    bool result = true;
    while (!list.isEmpty()) {
        if (!list.takeLast().rollback(messageTarget))
            result = false;
    }
    return result;
}
