#include "tasks/blockscanfunc.h"

#include "tasks/parallelfor.h"

#include <QFile>
#include <QThread>

#include <algorithm>

namespace {
// Each piece is scanned from its own buffer of this size plus one block: memory stays bounded by the
// number of pool threads, whatever the file's size.
constexpr qint64 PieceSize = 8 * 1024 * 1024;

// The blocks sorted by weak sum, with a bit filter before them: at almost every offset of the local file
// the weak sum matches no block, and the filter says so with one memory access.
class WeakIndex
{
public:
    explicit WeakIndex(const BlockMap &map)
    {
        // Only whole blocks: the rolling window has the block size. A short last block is fetched.
        std::vector<Entry> all;
        for (qint64 i = 0; i < map.blockCount(); ++i) {
            if (map.blockLength(i) == map.blockSize)
                all.push_back({map.blocks.at(i).weak, i});
        }
        const auto byContent = [&map](const Entry &x, const Entry &y) {
            if (x.weak != y.weak)
                return x.weak < y.weak;
            const int order = map.blocks.at(x.block).strong.compare(map.blocks.at(y.block).strong);
            return order != 0 ? order < 0 : x.block < y.block;
        };
        std::sort(all.begin(), all.end(), byContent);
        // Blocks with the same content (runs of zeros, say) are looked for once, under the first of them,
        // so that one window of the local file never matches thousands of blocks.
        for (const Entry &entry : all) {
            if (!entries.empty() && entries.back().weak == entry.weak
                && map.blocks.at(entries.back().block).strong == map.blocks.at(entry.block).strong) {
                duplicates.push_back({entries.back().block, entry.block});
            } else {
                entries.push_back(entry);
            }
        }
        // About 32 bits per block: few false hits, and small enough to stay in the cache (the filter is
        // read at every offset where nothing matched).
        filterShift = 32;
        while (filterShift > 8 && (quint64(1) << (32 - filterShift)) < quint64(entries.size()) * 32)
            --filterShift;
        filter.assign(((quint64(1) << (32 - filterShift)) + 63) / 64, 0);
        for (const Entry &entry : entries)
            filter[bitOf(entry.weak) / 64] |= quint64(1) << (bitOf(entry.weak) % 64);
    }

    bool mayContain(quint32 weak) const { return filter[bitOf(weak) / 64] & (quint64(1) << (bitOf(weak) % 64)); }
    // Calls found(block) for each distinct block whose weak sum is weak and whose strong sum is strong().
    template<typename Strong, typename Found>
    void match(quint32 weak, const BlockMap &map, Strong strong, Found found) const
    {
        auto it = std::lower_bound(entries.begin(), entries.end(), weak,
                                   [](const Entry &entry, quint32 value) { return entry.weak < value; });
        for (; it != entries.end() && it->weak == weak; ++it) {
            if (strong() == map.blocks.at(it->block).strong)
                found(it->block);
        }
    }
    bool isEmpty() const { return entries.empty(); }
    // (first block with that content, another block with the same content)
    const std::vector<std::pair<qint64, qint64>> &sameContent() const { return duplicates; }

private:
    struct Entry
    {
        quint32 weak;
        qint64 block;
    };
    // The low half of the weak sum is a plain byte sum and clusters; mixing spreads both halves.
    quint32 bitOf(quint32 weak) const { return quint32(quint64(weak * 2654435761u) >> filterShift); }

    std::vector<Entry> entries; // one per distinct content, by weak sum
    std::vector<std::pair<qint64, qint64>> duplicates;
    std::vector<quint64> filter;
    int filterShift = 32; // the filter has 2^(32 - filterShift) bits
};

// Scans the window starts [start, end) of the local file; the reads reach one block further.
bool scanPiece(const BlockMap &map, const WeakIndex &index, QFile &file, qint64 start, qint64 end,
               BlockScanFunc::Found &found)
{
    const qint64 blockSize = map.blockSize;
    const qint64 readEnd = qMin(end + blockSize - 1, file.size());
    if (readEnd - start < blockSize)
        return true;
    QByteArray buffer(readEnd - start, Qt::Uninitialized);
    qint64 got = 0;
    while (got < buffer.size()) {
        const qint64 part = file.read(buffer.data() + got, buffer.size() - got);
        if (part <= 0)
            return false;
        got += part;
    }
    const uchar *data = reinterpret_cast<const uchar *>(buffer.constData());
    const qint64 lastStart = qMin(end, readEnd - blockSize + 1) - start;
    qint64 pos = 0;
    // Unchanged content comes as runs of blocks in order: right after a match, the next block of the map
    // is tried first, by its strong sum alone, which spares the weak sum and the index for most windows.
    qint64 expected = -1;
    BlockMap::Rolling rolling(QByteArrayView(buffer.constData(), blockSize));
    bool rollingValid = true;
    QByteArray strong;
    qint64 strongAt = -1;
    const auto strongSum = [&]() -> const QByteArray & {
        if (strongAt != pos) {
            strong = BlockMap::strongSum(QByteArrayView(buffer.constData() + pos, blockSize));
            strongAt = pos;
        }
        return strong;
    };
    while (pos < lastStart) {
        if (expected >= 0 && expected < map.blockCount() && map.blockLength(expected) == blockSize
            && strongSum() == map.blocks.at(expected).strong) {
            found.append({expected, start + pos});
            ++expected;
            pos += blockSize;
            rollingValid = false;
            continue;
        }
        expected = -1;
        if (!rollingValid) {
            rolling = BlockMap::Rolling(QByteArrayView(buffer.constData() + pos, blockSize));
            rollingValid = true;
        }
        pos = rolling.rollUntil(data, pos, lastStart, [&index](quint32 weak) { return index.mayContain(weak); });
        if (pos >= lastStart)
            break;
        bool matched = false;
        index.match(rolling.value(), map, strongSum, [&](qint64 block) {
            found.append({block, start + pos});
            expected = block + 1;
            matched = true;
        });
        if (matched) {
            // The bytes of a found block are not looked at again: the next window begins after it.
            pos += blockSize;
            rollingValid = false;
            continue;
        }
        if (pos + 1 < lastStart)
            rolling.roll(data[pos], data[pos + blockSize]);
        ++pos;
    }
    return true;
}
} // namespace

BlockScanFunc::BlockScanFunc(std::shared_ptr<const BlockMap> map, const QString &localPath, Matches &result,
                             std::shared_ptr<std::atomic_bool> cancel, bool followed)
    : map(std::move(map)), localPath(localPath), result(result), cancel(std::move(cancel)), followed(followed)
{
}

bool BlockScanFunc::run()
{
    FoundReport report;
    if (followed)
        report = [this](const Found &placed, qint64 scannedUpTo) { emit blocksFound(placed, scannedUpTo); };
    return scan(*map, localPath, result, *cancel, [this](qreal share) { emit progress(share); }, report);
}

namespace {
// Takes a piece's finds into matches, where each block keeps its first place, and gives the blocks of the
// same content the place found for any of them (a run of blocks in order finds such a block under its own
// index, the index under the first of them); appends to placed what got a place.
void place(const BlockScanFunc::Found &pieceFound, const WeakIndex &index, BlockScanFunc::Matches &matches,
           BlockScanFunc::Found &placed)
{
    for (const auto &[block, offset] : pieceFound) {
        if (matches[block] < 0) {
            matches[block] = offset;
            placed.append({block, offset});
        }
    }
    for (const auto &[first, other] : index.sameContent()) {
        if (matches[first] < 0 && matches[other] >= 0) {
            matches[first] = matches[other];
            placed.append({first, matches[first]});
        }
    }
    for (const auto &[first, other] : index.sameContent()) {
        if (matches[other] < 0 && matches[first] >= 0) {
            matches[other] = matches[first];
            placed.append({other, matches[other]});
        }
    }
}
} // namespace

bool BlockScanFunc::scan(const BlockMap &map, const QString &localPath, Matches &matches,
                         const std::atomic_bool &cancel, const std::function<void(qreal)> &progress,
                         const FoundReport &report)
{
    matches = Matches(map.blockCount(), -1);
    QFile probe(localPath);
    if (!probe.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = probe.size();
    probe.close();
    const WeakIndex index(map);
    if (index.isEmpty() || size < map.blockSize) {
        if (report && !cancel)
            report({}, size);
        return !cancel;
    }

    // Each piece holds whole window starts; a window that begins in one piece and ends in the next is
    // read by the first, so nothing is missed at the seams.
    const qint64 pieceSize = qMax(PieceSize, qint64(map.blockSize));
    const qint64 pieces = (size + pieceSize - 1) / pieceSize;
    QList<Found> found(pieces);
    std::atomic<qint64> piecesDone{0};
    std::atomic_bool failed{false};
    const Qt::HANDLE caller = QThread::currentThreadId();
    const auto scanOne = [&](qsizetype piece) {
        if (cancel || failed)
            return;
        QFile file(localPath);
        const qint64 start = piece * pieceSize;
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !file.seek(start)
            || !scanPiece(map, index, file, start, qMin(start + pieceSize, size), found[piece])) {
            failed = true;
            return;
        }
        const qint64 done = ++piecesDone;
        // Reports leave only from the worker's own thread, where its signals belong.
        if (progress && QThread::currentThreadId() == caller)
            progress(qreal(done) / qreal(pieces));
    };
    if (!report) {
        parallelFor(pieces, scanOne);
        if (cancel || failed)
            return false;
        // Pieces in file order, so each block takes its first place in the local file.
        Found placed;
        for (const Found &pieceFound : std::as_const(found))
            place(pieceFound, index, matches, placed);
        return true;
    }
    for (qsizetype piece = 0; piece < pieces; ++piece) {
        scanOne(piece);
        if (cancel || failed)
            return false;
        Found placed;
        place(found.at(piece), index, matches, placed);
        found[piece] = Found();
        report(placed, qMin((piece + 1) * pieceSize, size));
    }
    return true;
}
