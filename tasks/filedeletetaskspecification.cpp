#include "tasks/filedeletetaskspecification.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failOnError, const QString &path,
                                                         QObject *parent, double parentProgressRange)
    : FastFileOpTaskSpecification(path, nullptr, parent, parentProgressRange), failOnError(failOnError)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    QFile file(path);
    if (file.remove() || !failOnError)
        return true;
    emit message(QString("Could not delete '%1'").arg(path));
    return false;
}
