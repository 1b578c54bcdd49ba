#include "tasks/blockmap.h"

#include <QFile>
#include <QtEndian>

namespace {
const QByteArray magic = QByteArrayLiteral("MBLKMAP1");
constexpr int Md5Length = 16;
constexpr qint64 ReadChunk = 1 << 20;

bool isPowerOfTwo(quint32 value)
{
    return value != 0 && (value & (value - 1)) == 0;
}
} // namespace

BlockMap::Rolling::Rolling(QByteArrayView window) : length(window.size())
{
    // b is the sum of (length - i) * x[i]; written with two independent sums, the loop vectorises. Only
    // the low 16 bits count, and unsigned overflow keeps them exact.
    const uchar *data = reinterpret_cast<const uchar *>(window.data());
    quint32 sum = 0;
    quint32 weighted = 0;
    for (qsizetype i = 0; i < window.size(); ++i) {
        sum += data[i];
        weighted += quint32(length - i) * data[i];
    }
    a = quint16(sum);
    b = quint16(weighted);
}

BlockMap::Builder::Builder(int blockSize, quint64 fileSize)
{
    map.blockSize = blockSize;
    map.blocks.reserve(qsizetype((fileSize + quint64(blockSize) - 1) / quint64(blockSize)));
}

void BlockMap::Builder::add(QByteArrayView chunk)
{
    digest.add(chunk);
    if (!pending.isEmpty()) {
        const qsizetype take = qMin(chunk.size(), map.blockSize - pending.size());
        pending.append(chunk.first(take));
        chunk = chunk.sliced(take);
        if (pending.size() < map.blockSize)
            return;
        addBlock(pending);
        pending.clear();
    }
    for (; chunk.size() >= map.blockSize; chunk = chunk.sliced(map.blockSize))
        addBlock(chunk.first(map.blockSize));
    pending.append(chunk);
}

void BlockMap::Builder::addBlock(QByteArrayView block)
{
    map.blocks.append({Rolling(block).value(), strongSum(block)});
}

QByteArray BlockMap::strongSum(QByteArrayView block)
{
    return QCryptographicHash::hash(block, QCryptographicHash::Md4);
}

BlockMap BlockMap::Builder::result()
{
    if (!pending.isEmpty())
        addBlock(pending);
    pending.clear();
    map.digest = digest.result();
    return map;
}

int BlockMap::blockSizeFor(quint64 fileSize)
{
    int size = DefaultBlockSize;
    while (size < MaxBlockSize && fileSize > quint64(MaxBlocks) * quint64(size))
        size *= 2;
    return size;
}

FileDigest::Result BlockMap::ofFile(const QString &path, BlockMap &map)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return FileDigest::CannotOpen;
    const qint64 size = file.size();
    Builder builder(blockSizeFor(quint64(size)), quint64(size));
    QByteArray chunk(ReadChunk, Qt::Uninitialized);
    for (qint64 remaining = size; remaining > 0;) {
        const qint64 got = file.read(chunk.data(), qMin(remaining, ReadChunk));
        if (got <= 0)
            return FileDigest::CannotRead;
        builder.add(QByteArrayView(chunk.constData(), got));
        remaining -= got;
    }
    map = builder.result();
    return FileDigest::Done;
}

qint64 BlockMap::storedSize(int blockSize, quint64 fileSize)
{
    if (blockSize < MinBlockSize || blockSize > MaxBlockSize || !isPowerOfTwo(quint32(blockSize)))
        return -1;
    const quint64 count = (fileSize + quint64(blockSize) - 1) / quint64(blockSize);
    if (count > quint64(MaxBlocks))
        return -1;
    return HeaderSize + qint64(count) * EntrySize;
}

qint64 BlockMap::maxStoredSize(quint64 fileSize)
{
    const quint64 smallestBlocks = (fileSize + MinBlockSize - 1) / MinBlockSize;
    return HeaderSize + qint64(qMin(smallestBlocks, quint64(MaxBlocks))) * EntrySize;
}

bool BlockMap::parse(QByteArrayView data, BlockMap &map, QString &why)
{
    if (data.size() < HeaderSize || data.first(magic.size()) != magic) {
        why = QStringLiteral("is not a block map");
        return false;
    }
    const uchar *bytes = reinterpret_cast<const uchar *>(data.data());
    const quint32 blockSize = qFromBigEndian<quint32>(bytes + 8);
    const quint64 fileSize = qFromBigEndian<quint64>(bytes + 12);
    if (blockSize > quint32(MaxBlockSize)) {
        why = QStringLiteral("has a block size of %1 bytes").arg(blockSize);
        return false;
    }
    const qint64 expected = storedSize(int(blockSize), fileSize);
    if (expected < 0) {
        why = QStringLiteral("has a block size of %1 bytes for a file of %2 bytes").arg(blockSize).arg(fileSize);
        return false;
    }
    if (data.size() != expected) {
        why = QStringLiteral("has %1 bytes where its header asks for %2").arg(data.size()).arg(expected);
        return false;
    }
    BlockMap result;
    result.blockSize = int(blockSize);
    result.digest = FileDigest(QString::fromLatin1(data.sliced(20, Md5Length).toByteArray().toHex()), fileSize);
    const qint64 count = (expected - HeaderSize) / EntrySize;
    result.blocks.reserve(count);
    for (qint64 i = 0; i < count; ++i) {
        const qint64 at = HeaderSize + i * EntrySize;
        result.blocks.append({qFromBigEndian<quint32>(bytes + at), data.sliced(at + 4, Md5Length).toByteArray()});
    }
    map = std::move(result);
    return true;
}

QByteArray BlockMap::serialize() const
{
    QByteArray data;
    data.reserve(HeaderSize + blocks.size() * EntrySize);
    data.append(magic);
    uchar number[8];
    qToBigEndian(quint32(blockSize), number);
    data.append(reinterpret_cast<const char *>(number), 4);
    qToBigEndian(quint64(digest.size), number);
    data.append(reinterpret_cast<const char *>(number), 8);
    data.append(QByteArray::fromHex(digest.md5.toLatin1()));
    for (const Block &block : blocks) {
        qToBigEndian(block.weak, number);
        data.append(reinterpret_cast<const char *>(number), 4);
        data.append(block.strong);
    }
    return data;
}

qint64 BlockMap::blockLength(qint64 index) const
{
    return qMin(qint64(blockSize), qint64(digest.size) - blockOffset(index));
}
