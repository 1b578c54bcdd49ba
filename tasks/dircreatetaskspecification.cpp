#include "tasks/dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &path, RollbackDataList *rollbackList,
                                                       QObject *parent, double parentProgressRange)
    : FastFileOpTaskSpecification(path, rollbackList, parent, parentProgressRange)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(path);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString &dirPath)
{
    const QFileInfo info(dirPath);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(QString("Could not create dir '%1' because it already exists and is not a dir").arg(dirPath));
        return false;
    }
    QDir parentDir = info.dir();
    if (parentDir.path() == "." || QDir(dirPath).isRoot()) {
        // Names the directory this task was asked for, whatever level the recursion has reached.
        emit message(QString("Could not create dir %1").arg(path));
        return false;
    }
    // Parents first, so their records come before the child's and are undone after it.
    if (!parentDir.exists() && !tryCreateDir(parentDir.path()))
        return false;
    if (!parentDir.mkdir(QDir(dirPath).dirName())) {
        emit message(QString("unable to create dir %1").arg(dirPath));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::CreateDir, dirPath));
    return true;
}
