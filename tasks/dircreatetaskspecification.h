#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Creates a directory with its missing parents; each level it creates gets its own undo record.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString &path, RollbackDataList *rollbackList, QObject *parent,
                               double parentProgressRange);

    bool tryCreateDir(const QString &dirPath);

protected:
    bool doOp() override;
};
