#pragma once

#include "tasks/asyncfunc.h"
#include "tasks/deltaplan.h"
#include "tasks/filedigest.h"

// Completes a delta update's new file once its fetched ranges are in place: gives the file its size,
// copies each run of reused blocks from the local copy to its offset, and takes the digest of the whole
// new file. The two go on at once over different bytes: the blocks are copied inside the kernel, while
// the digest reads the new file's bytes in its order from where they come from (the local copy for reused
// blocks, the new file for fetched ones), so the new file is never read back after the copy. On failure
// the new file is removed.
class BlockCopyFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // What is put together, and from what.
    struct Assembly
    {
        QString source;      // the local copy the blocks are reused from
        QString destination; // the new file, its fetched ranges already in place
        qint64 size = 0;     // of the new file
        QList<DeltaPlan::Copy> copies;
        FileDigest::Sums sums = FileDigest::Md5;
    };

    BlockCopyFunc(const Assembly &assembly, FileDigest &digest);
    bool run() override;

private:
    // Each returns an empty text on success, else why it failed.
    QString copyBlocks() const;
    QString takeDigest(const std::function<void(qreal)> &progress);

    Assembly assembly;
    FileDigest &digest; // the task's own, written only here
};
