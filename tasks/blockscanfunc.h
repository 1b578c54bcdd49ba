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
// scan touches only its own buffer and result, and the results are joined at the end. A cancel is seen
// between two reads.
class BlockScanFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // Per block of the map, the offset in the local file where the same bytes lie, or -1.
    using Matches = QList<qint64>;

    BlockScanFunc(std::shared_ptr<const BlockMap> map, const QString &localPath, Matches &result,
                  std::shared_ptr<std::atomic_bool> cancel);
    bool run() override;

    // The scan itself, on the calling thread and on idle pool threads; false when cancelled or unreadable.
    static bool scan(const BlockMap &map, const QString &localPath, Matches &matches, const std::atomic_bool &cancel,
                     const std::function<void(qreal)> &progress = {});

private:
    std::shared_ptr<const BlockMap> map;
    QString localPath;
    Matches &result;
    std::shared_ptr<std::atomic_bool> cancel;
};
