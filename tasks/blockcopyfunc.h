#pragma once

#include "tasks/asyncfunc.h"
#include "tasks/deltaplan.h"

// Puts the reused blocks of a delta update into place: opens the new file without truncating it, gives it
// its full size, and copies each run of blocks from the local copy to its offset in the new file. The
// bytes between them are left for the range downloads. On failure the new file is removed.
class BlockCopyFunc : public ASyncFunc
{
    Q_OBJECT
public:
    BlockCopyFunc(const QString &source, const QString &destination, qint64 size, QList<DeltaPlan::Copy> copies);
    bool run() override;

private:
    QString source;
    QString destination;
    qint64 size;
    QList<DeltaPlan::Copy> copies;
};
