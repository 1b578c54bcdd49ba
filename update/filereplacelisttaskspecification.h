#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/rollbackdatalist.h"
#include "update/filereplacespecification.h"

#include <QList>
#include <QString>

class Configuration;

// Installation phase, all or nothing: creates the missing directories, then installs the files two at a
// time. Every finished file hands its undo records to this task; if any file fails, or on reset, the
// whole phase is undone, created directories included. On success the records are kept until deletion.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification> *replaceList, QList<QString> *deleteList,
                                     Configuration *configuration, QObject *parent, double parentProgressRange);

    void execute() override;
    void reset() override;

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool subdirTasksAdded);

    QList<FileReplaceSpecification> *replaceList; // not owned
    QList<QString> *deleteList;                   // not owned; file tasks append parked names
    RollbackDataList rollbackList;                // undo records of the whole phase
    Configuration *configuration;
};
