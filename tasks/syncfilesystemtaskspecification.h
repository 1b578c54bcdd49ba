#pragma once

#include "tasks/asynctaskspecification.h"

// Waits on the pool until everything written to the file system holding a directory is on disk. Files are
// installed without a sync each; this one sync stands before the parked originals are deleted, so that a
// power cut after the update never leaves neither the old nor the new files. Best effort: a failed sync
// still finishes.
class SyncFileSystemTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    SyncFileSystemTaskSpecification(const QString &directory, QObject *parent, double parentProgressRange);

protected:
    ASyncFunc *createFunction() override;

private:
    const QString directory;
};
