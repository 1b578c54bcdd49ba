#include "tasks/deltaplan.h"

#include <algorithm>

DeltaPlan::DeltaPlan(const BlockMap &map, int maxRanges, qint64 lookAhead)
    : blockSize(map.blockSize)
    , blockCount(map.blockCount())
    , fileSize(qint64(map.digest.size))
    , maxRanges(qMax(1, maxRanges))
    , lookAhead(lookAhead >= 0 ? lookAhead : qMax(qint64(16) << 20, fileSize / 16))
    , matches(map.blockCount(), -1)
{
}

DeltaPlan::DeltaPlan(const BlockMap &map, const BlockScanFunc::Matches &matches, int maxRanges)
    : DeltaPlan(map, maxRanges)
{
    for (qint64 i = 0; i < qMin(matches.size(), blockCount); ++i)
        this->matches[i] = matches.at(i);
    finish();
}

qint64 DeltaPlan::decidedUpTo() const
{
    return qMin(decided * blockSize, fileSize);
}

void DeltaPlan::found(const BlockScanFunc::Found &placed, qint64 scannedUpTo)
{
    for (const auto &[block, offset] : placed) {
        if (block < 0 || block >= blockCount || matches.at(block) >= 0)
            continue;
        matches[block] = offset;
        if (firstFound < 0 || block < firstFound)
            firstFound = block;
    }
    scanned = qMax(scanned, scannedUpTo);
    // Ranges decided early are fetched whatever the rest brings; half the budget stays for the end.
    const int earlyBudget = maxRanges / 2;
    while (decided < blockCount) {
        if (matches.at(decided) >= 0) {
            addCopy(decided++);
            continue;
        }
        if (fetch.size() >= earlyBudget)
            return;
        const qint64 first = decided;
        qint64 end = first;
        for (; end < blockCount && matches.at(end) < 0; ++end) {
            const qint64 place = expectedPlace(end);
            if (place < 0 || scanned < place + blockSize + lookAhead)
                break;
        }
        if (end == first)
            return;
        addRange(first, end);
        decided = end;
    }
}

qint64 DeltaPlan::expectedPlace(qint64 block) const
{
    if (lastCopied >= 0)
        return matches.at(lastCopied) + (block - lastCopied) * blockSize;
    if (firstFound >= 0)
        return qMax(qint64(0), matches.at(firstFound) - (firstFound - block) * blockSize);
    return -1;
}

void DeltaPlan::addCopy(qint64 block)
{
    const qint64 to = block * blockSize;
    const qint64 from = matches.at(block);
    const qint64 length = blockLength(block);
    if (!copies.isEmpty() && copies.last().to + copies.last().length == to
        && copies.last().from + copies.last().length == from) {
        copies.last().length += length;
    } else {
        copies.append({from, to, length});
    }
    reusedBytes += length;
    lastCopied = block;
}

void DeltaPlan::addRange(qint64 firstBlock, qint64 endBlock)
{
    const qint64 offset = firstBlock * blockSize;
    const qint64 length = qMin(endBlock * blockSize, fileSize) - offset;
    fetch.append({offset, length});
    fetchedBytes += length;
}

void DeltaPlan::finish()
{
    // Early ranges take at most half the budget, so at least one is left.
    const int budget = maxRanges - int(fetch.size());
    const qsizetype firstCopy = copies.size();
    const qsizetype firstRange = fetch.size();
    for (; decided < blockCount; ++decided) {
        if (matches.at(decided) >= 0) {
            addCopy(decided);
        } else if (fetch.size() > firstRange && fetch.last().offset + fetch.last().length == decided * blockSize) {
            fetch.last().length += blockLength(decided);
        } else {
            fetch.append({decided * blockSize, blockLength(decided)});
        }
    }

    QList<Range> rest = fetch.mid(firstRange);
    fetch.resize(firstRange);
    if (rest.size() > qMax(1, budget)) {
        // Join across the shortest gaps until the count fits; the gaps' blocks are fetched again.
        QList<std::pair<qint64, qsizetype>> gaps; // (gap length, index of the range before it)
        for (qsizetype i = 0; i + 1 < rest.size(); ++i)
            gaps.append({rest.at(i + 1).offset - (rest.at(i).offset + rest.at(i).length), i});
        std::sort(gaps.begin(), gaps.end());
        QList<bool> joinWithNext(rest.size(), false);
        for (qsizetype i = 0; i < rest.size() - qMax(1, budget); ++i)
            joinWithNext[gaps.at(i).second] = true;
        QList<Range> joined;
        for (qsizetype i = 0; i < rest.size(); ++i) {
            if (i > 0 && joinWithNext.at(i - 1))
                joined.last().length = rest.at(i).offset + rest.at(i).length - joined.last().offset;
            else
                joined.append(rest.at(i));
        }
        rest = joined;
        // Copies into bytes that are fetched anyway are dropped.
        QList<Copy> kept = copies.first(firstCopy);
        qsizetype range = 0;
        for (qsizetype i = firstCopy; i < copies.size(); ++i) {
            const Copy &copy = copies.at(i);
            while (range < rest.size() && rest.at(range).offset + rest.at(range).length <= copy.to)
                ++range;
            const bool covered = range < rest.size() && rest.at(range).offset <= copy.to;
            if (!covered)
                kept.append(copy);
        }
        copies = kept;
    }
    for (const Range &range : std::as_const(rest))
        fetchedBytes += range.length;
    fetch += rest;
    reusedBytes = fileSize - fetchedBytes;
}
