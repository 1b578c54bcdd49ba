#include "tasks/syncfilesystemtaskspecification.h"

#include "tasks/syncfilesystemfunc.h"

SyncFileSystemTaskSpecification::SyncFileSystemTaskSpecification(const QString &directory, QObject *parent,
                                                                 double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange), directory(directory)
{
}

ASyncFunc *SyncFileSystemTaskSpecification::createFunction()
{
    return new SyncFileSystemFunc(directory);
}
