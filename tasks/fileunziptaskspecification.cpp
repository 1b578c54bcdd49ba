#include "tasks/fileunziptaskspecification.h"

#include "tasks/fileunzipfunc.h"

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList *rollbackList, const QString &source,
                                                       const QString &destination, QObject *parent,
                                                       double parentProgressRange)
    : SlowFileOpSpecification(QString("Could not unzip '%1' to '%2'").arg(source, destination), rollbackList,
                              source, destination, parent, parentProgressRange)
{
}

ASyncFunc *FileUnzipTaskSpecification::createFunction()
{
    unpacked = FileDigest();
    auto function = new FileUnzipFunc(source, destination, sums);
    // Queued like the result, which the worker emits after it: the digest is in place when the task ends.
    connect(function, &FileUnzipFunc::unpacked, this, [this](const FileDigest &digest) { unpacked = digest; },
            Qt::QueuedConnection);
    return function;
}

void FileUnzipTaskSpecification::reset()
{
    ASyncTaskSpecification::reset();
    unpacked = FileDigest();
}
