#include "tasks/rollbackdata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

RollbackData::RollbackData(Operation operation, const QString &path) : path(path), operation(operation)
{
}

RollbackData::RollbackData(Operation operation, const QString &oldPath, const QString &path)
    : path(path), oldPath(oldPath), operation(operation)
{
}

bool RollbackData::rollback(QObject *messageTarget) const
{
    switch (operation) {
    case Rename:
        if (QFile::rename(path, oldPath))
            return true;
        // Named in the direction of the rename being undone.
        message(messageTarget, QString("warning: rollback rename %1 to %2 failed").arg(oldPath, path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(messageTarget, QString("warning: rollback create file %1 failed").arg(path));
        return false;
    case CreateDir:
        if (QFileInfo(path).dir().rmdir(QDir(path).dirName()))
            return true;
        message(messageTarget, QString("warning: rollback create dir %1 failed").arg(path));
        return false;
    }
    qFatal("Should not reach here");
}

void RollbackData::message(QObject *messageTarget, const QString &text)
{
    // Any object with a message(QString) signal or slot will do; the installation task passes itself.
    if (messageTarget)
        QMetaObject::invokeMethod(messageTarget, "message", Qt::AutoConnection, Q_ARG(QString, text));
}
