#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/rollbackdatalist.h"
#include "update/filereplacespecification.h"

#include <QList>
#include <QString>
#include <QStringList>

class Configuration;

// Installs one file: removes a stale parked copy, parks the installed file under its "_old_" name, copies
// or gunzips the new one into place and checks it. On success its undo records go to the phase's list;
// on failure or reset it undoes its own steps.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceTaskSpecification(const FileReplaceSpecification &specification, QList<QString> *deleteList,
                                 RollbackDataList *phaseRollbackList, Configuration *configuration,
                                 QObject *parent, double parentProgressRange);

    void execute() override;
    void reset() override;

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    static void makeSingleFileExecutable(const QString &path);

    static const QStringList executableFiles;
    static const QStringList executableSuffixes;

    FileReplaceSpecification specification;
    QList<QString> *deleteList;          // not owned
    RollbackDataList *phaseRollbackList; // not owned
    RollbackDataList rollbackList;       // this file's steps
    Configuration *configuration;
    bool oldFileParked = false;
};
