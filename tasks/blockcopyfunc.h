#pragma once

#include "tasks/asyncfunc.h"
#include "tasks/deltaplan.h"
#include "tasks/filedigest.h"

// Completes a delta update's new file once its fetched ranges are in place: gives the file its size,
// copies each run of reused blocks from the local copy to its offset, and takes the digest of the whole
// new file in the same pass, in file order, reading back the fetched bytes between the copies. On
// failure the new file is removed.
class BlockCopyFunc : public ASyncFunc
{
    Q_OBJECT
public:
    BlockCopyFunc(const QString &source, const QString &destination, qint64 size, QList<DeltaPlan::Copy> copies,
                  FileDigest::Sums sums, FileDigest &digest);
    bool run() override;

private:
    QString source;
    QString destination;
    qint64 size;
    QList<DeltaPlan::Copy> copies;
    FileDigest::Sums sums;
    FileDigest &digest; // the task's own, written only here
};
