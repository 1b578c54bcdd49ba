#pragma once

#include "tasks/filedigest.h"
#include "tasks/slowfileopspecification.h"

#include <optional>

class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnzipTaskSpecification(RollbackDataList *rollbackList, const QString &source, const QString &destination,
                               QObject *parent, double parentProgressRange);

    // The unpacked bytes are hashed as they are written; their digest is known once the task finished.
    void setDigestSums(FileDigest::Sums wanted) { sums = wanted; }
    // Empty unless sums were asked for and the last run finished.
    FileDigest getUnpackedDigest() const { return unpacked; }
    void reset() override;

protected:
    ASyncFunc *createFunction() override;

private:
    std::optional<FileDigest::Sums> sums;
    FileDigest unpacked;
};
