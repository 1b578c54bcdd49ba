#include "tasks/filerenametaskspecification.h"

#include <QFile>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &sourcePath, const QString &targetPath,
                                                         RollbackDataList *rollbackList, QObject *parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(targetPath, rollbackList, parent, parentProgressRange), sourcePath(sourcePath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    if (!QFile::rename(sourcePath, path)) {
        emit message(QString("Could not rename '%1' to '%2'").arg(sourcePath, path));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, path));
    return true;
}
