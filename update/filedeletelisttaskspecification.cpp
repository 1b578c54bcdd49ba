#include "update/filedeletelisttaskspecification.h"

#include "app/configuration.h"
#include "tasks/filedeletetaskspecification.h"
#include "tasks/syncfilesystemtaskspecification.h"

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString> *deleteList, QObject *parent,
                                                                 double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent), deleteList(deleteList)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}

// The list is read only now, after the installation phase has appended the parked names.
void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QString root = Configuration::getAppRootPath();
    const double weight = deleteList->isEmpty() ? 0.0 : 1.0 / deleteList->size();
    // The installed files reach the disk before the parked originals go.
    if (!deleteList->isEmpty())
        addSubTask(new SyncFileSystemTaskSpecification(root, this, 0.0));
    for (const QString &entry : std::as_const(*deleteList))
        addSubTask(new FileDeleteTaskSpecification(false, root + QLatin1Char('/') + entry, this, weight));
    state = StateRunning;
    executeSubTasks();
}
