#pragma once

#include "tasks/blockmap.h"
#include "tasks/blockscanfunc.h"

#include <QList>

// What a delta update of one file does with the blocks a scan found: which local bytes are copied where,
// and which byte ranges of the remote file are fetched. Adjacent missing blocks make one range; when
// there would be more than maxRanges, the ranges with the shortest gaps between them are joined (fetching
// the few reusable bytes between them again), so a file costs a bounded number of requests.
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

    DeltaPlan(const BlockMap &map, const BlockScanFunc::Matches &matches, int maxRanges = DefaultMaxRanges);

    QList<Range> fetch; // in file order, neither overlapping nor touching
    QList<Copy> copies; // in order of the new file; local runs that continue each other are joined
    qint64 reusedBytes = 0;
    qint64 fetchedBytes = 0;
};
