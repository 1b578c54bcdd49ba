#pragma once

#include "tasks/filedigest.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>
#include <QList>
#include <QString>

// The block checksums of one release file, published beside it so that an updater holding an older copy
// can tell which of its bytes it may reuse. The file is cut into blocks of one size (the last one may be
// shorter); each block has a weak checksum that can be rolled over a byte stream one byte at a time, and a
// strong one (MD4, 128 bits) that confirms a weak match. The weak sum finds candidates cheaply at every
// offset of the installed copy; the strong sum makes an accidental false match vanishingly rare even over
// files of many GiB. MD4 is broken against chosen collisions, which do not matter here: the map is not
// trusted anyway, and whatever it says, the file's MD5 from the signed product ini decides in the end.
// It is chosen for speed: every reused block is hashed once more during the scan.
//
// Stored form, all numbers big-endian:
//     "MBLKMAP1"                      8 bytes
//     block size                      4 bytes, a power of two from MinBlockSize to MaxBlockSize
//     file size                       8 bytes
//     file MD5                        16 bytes
//     per block: weak sum, MD4        4 + 16 bytes
// The file size and the block size fix the number of blocks, so the stored form has exactly one length.
class BlockMap
{
public:
    static constexpr int MinBlockSize = 1024;
    static constexpr int MaxBlockSize = 1 << 24;
    // Keeps a map below about 5 MiB however large the file: larger files get larger blocks.
    static constexpr qint64 MaxBlocks = qint64(1) << 18;
    static constexpr int DefaultBlockSize = 4096;
    // Files from this size on get a map unless the publisher is told otherwise; below it the map and the
    // extra requests would cost about as much as they save.
    static constexpr qint64 DefaultThreshold = 4 * 1024 * 1024;
    static constexpr qint64 HeaderSize = 8 + 4 + 8 + 16;
    static constexpr qint64 EntrySize = 4 + 16;
    // The name of the map beside a file on the mirror. Every file name the publisher accepts is free of
    // commas, so no release file can lie under such a name.
    static QString pathFor(const QString &filePath) { return filePath + QStringLiteral(",blockmap"); }

    struct Block
    {
        quint32 weak = 0;
        QByteArray strong; // 16 bytes, strongSum() of the block
        bool operator==(const Block &other) const { return weak == other.weak && strong == other.strong; }
    };

    // The weak checksum of a window, rolled forward one byte at a time (two 16-bit running sums, as in
    // rsync's design).
    class Rolling
    {
    public:
        explicit Rolling(QByteArrayView window);
        // Moves the window one byte: out leaves at its start, in enters at its end.
        void roll(uchar out, uchar in)
        {
            a = quint16(a - out + in);
            b = quint16(b - quint32(length) * out + a);
        }
        quint32 value() const { return (quint32(b) << 16) | a; }
        // Rolls the window, which starts at offset pos of data, on until candidate(value()) holds or the
        // window would start at end; returns where it starts then (end when nothing held). The sums stay
        // in registers: per byte this is the hot loop of a scan.
        template<typename Candidate>
        qint64 rollUntil(const uchar *data, qint64 pos, qint64 end, Candidate candidate)
        {
            quint16 sum = a;
            quint16 weighted = b;
            const quint32 window = quint32(length);
            for (; !candidate((quint32(weighted) << 16) | sum); ++pos) {
                if (pos + 1 >= end) {
                    pos = end;
                    break;
                }
                const uchar out = data[pos];
                sum = quint16(sum - out + data[pos + length]);
                weighted = quint16(weighted - window * out + sum);
            }
            a = sum;
            b = weighted;
            return pos;
        }

    private:
        quint16 a = 0;
        quint16 b = 0;
        qint64 length;
    };

    // Builds the map of content that passes by in pieces.
    class Builder;

    static QByteArray strongSum(QByteArrayView block);
    // The block size for a file of this size: the default, doubled until the map stays within MaxBlocks.
    static int blockSizeFor(quint64 fileSize);
    // The map of a file on disk, read once in pieces.
    static FileDigest::Result ofFile(const QString &path, BlockMap &map);

    // Strict: anything but exactly the stored form above gives false and a reason.
    static bool parse(QByteArrayView data, BlockMap &map, QString &why);
    // The exact length of the stored form of a map for these sizes, -1 when no valid map has them.
    static qint64 storedSize(int blockSize, quint64 fileSize);
    // The most bytes a map of a file of this size can have, whatever its block size.
    static qint64 maxStoredSize(quint64 fileSize);
    QByteArray serialize() const;

    bool describes(const FileDigest &file) const { return digest == file; }
    qint64 blockCount() const { return blocks.size(); }
    qint64 blockOffset(qint64 index) const { return index * blockSize; }
    qint64 blockLength(qint64 index) const;
    bool operator==(const BlockMap &other) const
    {
        return blockSize == other.blockSize && digest == other.digest && blocks == other.blocks;
    }

    int blockSize = DefaultBlockSize;
    FileDigest digest; // size and MD5 of the whole file
    QList<Block> blocks;
};

class BlockMap::Builder
{
public:
    Builder(int blockSize, quint64 fileSize);
    void add(QByteArrayView chunk);
    // The map of everything added; the file's MD5 is taken on the way.
    BlockMap result();

private:
    void addBlock(QByteArrayView block);

    BlockMap map;
    QByteArray pending;
    FileDigest::Stream digest;
};
