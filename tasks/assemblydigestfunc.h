#pragma once

#include "tasks/asyncfunc.h"
#include "tasks/blockcopyfunc.h"

// Takes the digest of a stretch of a delta update's new file from where its bytes come from: the local
// copy for reused blocks, the new file for fetched ones. It needs neither the copy of the blocks done nor
// the later ranges in place, so the digest of the whole file is taken stretch by stretch, each worker going
// on from where the one before it stopped, while the copy and the fetching go on.
class AssemblyDigestFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // [from, to) of the new file; every fetched byte in it is in place.
    struct Stretch
    {
        qint64 from = 0;
        qint64 to = 0;
    };

    // digest: the task's own, written only here while this worker runs.
    AssemblyDigestFunc(const BlockCopyFunc::Assembly &assembly, const Stretch &stretch, FileDigest::Stream &digest);
    bool run() override;

private:
    // Empty on success, else why it failed.
    QString takeDigest();

    BlockCopyFunc::Assembly assembly;
    Stretch stretch;
    FileDigest::Stream &digest;
};
