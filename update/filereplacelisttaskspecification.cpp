#include "update/filereplacelisttaskspecification.h"

#include "app/configuration.h"
#include "tasks/dircreatetaskspecification.h"
#include "update/filereplacetaskspecification.h"

#include <QFileInfo>
#include <QSet>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<FileReplaceSpecification> *replaceList,
                                                                   QList<QString> *deleteList,
                                                                   Configuration *configuration,
                                                                   QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(2, parentProgressRange, parent),
      replaceList(replaceList),
      deleteList(deleteList),
      configuration(configuration)
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    const int subdirTasks = makeSubdirTasks();
    makeFileReplaceTasks(subdirTasks > 0);
    state = StateRunning;
    executeSubTasks();
}

// The directory tasks end inside their own execute() and stand first in the queue, so every directory
// exists before the first file task starts, although two sub-tasks may run at once.
int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    const QString root = Configuration::getAppRootPath();
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification &file : std::as_const(*replaceList)) {
        const QString directory = QFileInfo(root + QLatin1Char('/') + file.destFileName(QString())).path();
        if (seen.contains(directory))
            continue;
        seen.insert(directory);
        if (!QFileInfo::exists(directory))
            missing.append(directory);
    }
    // Plain string order puts a parent before its children.
    missing.sort();
    for (const QString &directory : std::as_const(missing))
        addSubTask(new DirCreateTaskSpecification(directory, &rollbackList, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool subdirTasksAdded)
{
    if (replaceList->isEmpty())
        return;
    const double weight = (subdirTasksAdded ? 0.9 : 1.0) / replaceList->size();
    for (const FileReplaceSpecification &file : std::as_const(*replaceList))
        addSubTask(new FileReplaceTaskSpecification(file, deleteList, &rollbackList, configuration, this, weight));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != StateFinished) {
        emit message(QStringLiteral("rolling back file updates"));
        rollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubTasks();
    rollbackList.rollback(this);
    TaskSpecification::reset();
}
