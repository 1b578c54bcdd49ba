#pragma once

#include "tasks/blockmap.h"
#include "tasks/blockscanfunc.h"

#include <QList>

// What a delta update of one file does with the blocks a scan found: which local bytes are copied where,
// and which byte ranges of the remote file are fetched. Adjacent missing blocks make one range; when
// there would be more than maxRanges, the ranges with the shortest gaps between them are joined (fetching
// the few reusable bytes between them again), so a file costs a bounded number of requests.
//
// The plan can follow the scan, so that the new file's digest and the fetching need not wait for its end.
// It is decided block by block in the new file's order: a block found is copied; a block not found yet
// is taken for missing once the scan has looked well past the place where it would lie if the content
// around it had stayed in order (an insertion or a deletion moves that place, a found neighbour tells
// where). Content that moved back further than that is fetched although the scan finds it later: that
// costs bytes over the wire, never the result. Half the range budget may go on such early decisions; the
// rest is planned when the scan is over.
class DeltaPlan
{
public:
    struct Range
    {
        qint64 offset = 0;
        qint64 length = 0;
        bool operator==(const Range &other) const { return offset == other.offset && length == other.length; }
    };
    // A reused block: length bytes from offset `from` of the local copy to offset `to` of the new file.
    struct Copy
    {
        qint64 from = 0;
        qint64 to = 0;
        qint64 length = 0;
        bool operator==(const Copy &other) const
        {
            return from == other.from && to == other.to && length == other.length;
        }
    };

    static constexpr int DefaultMaxRanges = 64;

    // A plan that follows a scan: found() and finish() decide it. lookAhead: how far past a block's place the
    // scan must have looked before the block is taken for missing; by default a 16th of the file, at least
    // 16 MiB.
    explicit DeltaPlan(const BlockMap &map, int maxRanges = DefaultMaxRanges, qint64 lookAhead = -1);
    // The plan for a finished scan.
    DeltaPlan(const BlockMap &map, const BlockScanFunc::Matches &matches, int maxRanges = DefaultMaxRanges);

    // Blocks the scan placed (each block's first place, in the order found), and the local offset below which
    // it has looked at every window. Decides what can be decided now.
    void found(const BlockScanFunc::Found &placed, qint64 scannedUpTo);
    // The scan is over: decides the rest, every block not found missing, in what is left of the budget.
    void finish();
    // Every byte of the new file below this offset is either copied or fetched; the lists cover them.
    qint64 decidedUpTo() const;

    QList<Range> fetch; // in file order, never overlapping
    QList<Copy> copies; // in order of the new file; local runs that continue each other are joined
    qint64 reusedBytes = 0;
    qint64 fetchedBytes = 0;

private:
    // Where block's bytes would lie in the local copy if the content had stayed in order around the
    // nearest found block; -1 while nothing has been found.
    qint64 expectedPlace(qint64 block) const;
    qint64 blockLength(qint64 block) const { return qMin(blockSize, fileSize - block * blockSize); }
    void addCopy(qint64 block);
    void addRange(qint64 firstBlock, qint64 endBlock);

    qint64 blockSize;
    qint64 blockCount;
    qint64 fileSize;
    int maxRanges;
    qint64 lookAhead;
    BlockScanFunc::Matches matches;
    qint64 scanned = 0;
    qint64 decided = 0;        // blocks
    qint64 lastCopied = -1;    // the block of the last copy decided
    qint64 firstFound = -1;    // the lowest block found so far
};
