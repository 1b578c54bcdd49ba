#pragma once

#include "tasks/asyncfunc.h"
#include "tasks/blockmap.h"

#include <QList>

#include <atomic>
#include <functional>
#include <memory>

// Finds, in a local file, the blocks of a block map wherever they lie: the weak checksum is rolled over
// every offset, so content that moved (by an insertion or a deletion before it) is found as well as
// content that stayed. The file is read in pieces, a few pieces at once on idle pool threads; each piece's
// scan touches only its own buffer and result, and the results are joined at the end. A scan that work is
// to follow instead reads its pieces one after the other on its own thread, leaving the other cores to
// that work, and tells what each piece found (blocksFound). A cancel is seen between two reads.
class BlockScanFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // Per block of the map, the offset in the local file where the same bytes lie, or -1.
    using Matches = QList<qint64>;
    // (block, offset in the local file)
    using Found = QList<std::pair<qint64, qint64>>;
    // Told after each piece of a followed scan: the blocks that piece placed, and the offset below which
    // every window of the local file has been looked at.
    using FoundReport = std::function<void(const Found &placed, qint64 scannedUpTo)>;

    BlockScanFunc(std::shared_ptr<const BlockMap> map, const QString &localPath, Matches &result,
                  std::shared_ptr<std::atomic_bool> cancel, bool followed = false);
    bool run() override;

    // The scan itself, on the calling thread and on idle pool threads, or in order on the calling thread
    // alone when report is set; false when cancelled or unreadable.
    static bool scan(const BlockMap &map, const QString &localPath, Matches &matches, const std::atomic_bool &cancel,
                     const std::function<void(qreal)> &progress = {}, const FoundReport &report = {});

signals:
    void blocksFound(const BlockScanFunc::Found &placed, qint64 scannedUpTo);

private:
    std::shared_ptr<const BlockMap> map;
    QString localPath;
    Matches &result;
    std::shared_ptr<std::atomic_bool> cancel;
    bool followed;
};
