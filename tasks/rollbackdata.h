#pragma once

#include <QString>

class QObject;

// How to undo one change that an installation made. Records hold only paths; nothing is checked when a
// record is made.
class RollbackData
{
public:
    enum Operation {
        Rename = 0,     // oldPath got the name path; undo renames it back
        CreateFile = 1, // a file was created at path; undo removes it
        CreateDir = 2,  // a directory was created at path; undo removes it if it is empty
    };

    RollbackData(Operation operation, const QString &path);
    RollbackData(Operation operation, const QString &oldPath, const QString &path);

    // A failure is reported to messageTarget's message(QString) as a warning and is not retried.
    bool rollback(QObject *messageTarget) const;

    QString path;
    QString oldPath;
    Operation operation;

private:
    static void message(QObject *messageTarget, const QString &text);
};
