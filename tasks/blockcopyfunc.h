#pragma once

#include "tasks/asyncfunc.h"
#include "tasks/deltaplan.h"
#include "tasks/filedigest.h"

// Completes a delta update's new file: gives the file its size and copies each run of reused blocks from
// the local copy to its offset, inside the kernel. The digest of the new file is taken apart from it
// (AssemblyDigestFunc), from the bytes' sources, so the new file is never read back after the copy. On
// failure the new file is removed.
class BlockCopyFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // What is put together, and from what.
    struct Assembly
    {
        QString source;      // the local copy the blocks are reused from
        QString destination; // the new file, where the fetched ranges are put
        qint64 size = 0;     // of the new file
        QList<DeltaPlan::Copy> copies;
        FileDigest::Sums sums = FileDigest::Md5;
    };

    explicit BlockCopyFunc(const Assembly &assembly);
    bool run() override;

    // Why a reused block could not be read from the local copy.
    static QString changedMeanwhile(const QString &source);

private:
    // Empty on success, else why it failed.
    QString copyBlocks() const;

    Assembly assembly;
};
