#pragma once

#include "tasks/rollbackdata.h"

#include <QList>

// The undo records of an installation, oldest first. Emptied either by rollback() (changes undone) or by
// clear() (changes kept). Main thread only.
class RollbackDataList
{
public:
    void add(const RollbackData &data);
    void clear();
    void appendList(const RollbackDataList &other);
    // Undoes newest first, so that a file goes before the directory it was created in; carries on past
    // failures and returns false if any undo failed. The list is empty afterwards.
    bool rollback(QObject *messageTarget);

    const QList<RollbackData> &records() const { return list; }

private:
    QList<RollbackData> list;
};
