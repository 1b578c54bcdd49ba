#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Renames sourcePath to path; fails when path exists.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString &sourcePath, const QString &targetPath,
                                RollbackDataList *rollbackList, QObject *parent, double parentProgressRange);

protected:
    bool doOp() override;

    QString sourcePath;
};
