#include "tasks/deltaplan.h"

#include <algorithm>

DeltaPlan::DeltaPlan(const BlockMap &map, const BlockScanFunc::Matches &matches, int maxRanges)
{
    for (qint64 i = 0; i < map.blockCount(); ++i) {
        const qint64 offset = map.blockOffset(i);
        const qint64 length = map.blockLength(i);
        if (i < matches.size() && matches.at(i) >= 0) {
            if (!copies.isEmpty() && copies.last().to + copies.last().length == offset
                && copies.last().from + copies.last().length == matches.at(i)) {
                copies.last().length += length;
            } else {
                copies.append({matches.at(i), offset, length});
            }
        } else if (!fetch.isEmpty() && fetch.last().offset + fetch.last().length == offset) {
            fetch.last().length += length;
        } else {
            fetch.append({offset, length});
        }
    }

    if (fetch.size() > qMax(1, maxRanges)) {
        // Join across the shortest gaps until the count fits; the gaps' blocks are fetched again.
        QList<std::pair<qint64, qsizetype>> gaps; // (gap length, index of the range before it)
        for (qsizetype i = 0; i + 1 < fetch.size(); ++i)
            gaps.append({fetch.at(i + 1).offset - (fetch.at(i).offset + fetch.at(i).length), i});
        std::sort(gaps.begin(), gaps.end());
        QList<bool> joinWithNext(fetch.size(), false);
        for (qsizetype i = 0; i < fetch.size() - qMax(1, maxRanges); ++i)
            joinWithNext[gaps.at(i).second] = true;
        QList<Range> joined;
        for (qsizetype i = 0; i < fetch.size(); ++i) {
            if (i > 0 && joinWithNext.at(i - 1))
                joined.last().length = fetch.at(i).offset + fetch.at(i).length - joined.last().offset;
            else
                joined.append(fetch.at(i));
        }
        fetch = joined;
        // Copies into bytes that are fetched anyway are dropped.
        QList<Copy> kept;
        qsizetype range = 0;
        for (const Copy &copy : std::as_const(copies)) {
            while (range < fetch.size() && fetch.at(range).offset + fetch.at(range).length <= copy.to)
                ++range;
            const bool covered = range < fetch.size() && fetch.at(range).offset <= copy.to;
            if (!covered)
                kept.append(copy);
        }
        copies = kept;
    }
    for (const Range &range : std::as_const(fetch))
        fetchedBytes += range.length;
    reusedBytes = qint64(map.digest.size) - fetchedBytes;
}
