#include "tasks/assemblydigesttaskspecification.h"
#include "tasks/blockmap.h"
#include "tasks/blockscanfunc.h"
#include "tasks/blockscantaskspecification.h"
#include "tasks/blockcopytaskspecification.h"
#include "tasks/deltaplan.h"

#include "support/testfiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {
BlockMap mapOf(const QByteArray &content, int blockSize)
{
    BlockMap::Builder builder(blockSize, quint64(content.size()));
    builder.add(content);
    return builder.result();
}

QByteArray withNumber(QByteArray data, int at, quint64 value, int width)
{
    uchar bytes[8];
    if (width == 4)
        qToBigEndian(quint32(value), bytes);
    else
        qToBigEndian(value, bytes);
    data.replace(at, width, reinterpret_cast<const char *>(bytes), width);
    return data;
}
} // namespace

class tst_BlockMap : public QObject
{
    Q_OBJECT
private slots:
    void builderIsIndependentOfChunking();
    void rollingEqualsFreshSum();
    void parse_data();
    void parse();
    void blockSizeFor_data();
    void blockSizeFor();
    void scan_data();
    void scan();
    void scanOfMissingFileFindsNothing();
    void cancelledScanStops();
    void cancelledTaskEndsCancelled_data();
    void cancelledTaskEndsCancelled();
    void plan_data();
    void plan();
    void planFollowsTheScan_data();
    void planFollowsTheScan();
    void copyPutsBlocksInPlace_data();
    void copyPutsBlocksInPlace();
    void digestFollowsTheRanges_data();
    void digestFollowsTheRanges();
};

void tst_BlockMap::builderIsIndependentOfChunking()
{
    const QByteArray content = randomBytes(10000, 1);
    const BlockMap whole = mapOf(content, 1024);
    BlockMap::Builder builder(1024, quint64(content.size()));
    for (qsizetype at = 0; at < content.size(); at += 333)
        builder.add(QByteArrayView(content).sliced(at, qMin(qsizetype(333), content.size() - at)));
    QVERIFY(builder.result() == whole);
    QCOMPARE(whole.blockCount(), 10);
    QCOMPARE(whole.blockLength(9), 10000 - 9 * 1024);
    QCOMPARE(whole.digest, FileDigest(QString::fromLatin1(md5Hex(content)), 10000));
    QCOMPARE(whole.blocks.at(3).strong,
             QCryptographicHash::hash(content.mid(3 * 1024, 1024), QCryptographicHash::Md4));
}

void tst_BlockMap::rollingEqualsFreshSum()
{
    const QByteArray data = randomBytes(5000, 2);
    const int length = 1024;
    BlockMap::Rolling rolling(QByteArrayView(data).first(length));
    for (int pos = 1; pos + length <= data.size(); ++pos) {
        rolling.roll(uchar(data[pos - 1]), uchar(data[pos + length - 1]));
        QCOMPARE(rolling.value(), BlockMap::Rolling(QByteArrayView(data).sliced(pos, length)).value());
    }
}

void tst_BlockMap::parse_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("valid");
    const QByteArray good = mapOf(randomBytes(5000, 3), 1024).serialize();
    QCOMPARE(good.size(), BlockMap::HeaderSize + 5 * BlockMap::EntrySize);
    QTest::newRow("as written") << good << true;
    QTest::newRow("empty file's map") << mapOf(QByteArray(), 4096).serialize() << true;
    QTest::newRow("nothing") << QByteArray() << false;
    QTest::newRow("truncated by a byte") << good.chopped(1) << false;
    QTest::newRow("one block short") << good.chopped(BlockMap::EntrySize) << false;
    QTest::newRow("a byte more") << good + 'x' << false;
    QTest::newRow("header only") << good.left(BlockMap::HeaderSize) << false;
    QTest::newRow("other magic") << QByteArray(good).replace(0, 8, "MBLKMAP2") << false;
    QTest::newRow("block size not a power of two") << withNumber(good, 8, 1000, 4) << false;
    QTest::newRow("block size too small") << withNumber(good, 8, 512, 4) << false;
    QTest::newRow("block size too large") << withNumber(good, 8, quint64(1) << 31, 4) << false;
    // Claims a huge file: refused on the header, before anything is allocated for its blocks.
    QTest::newRow("more blocks than allowed") << withNumber(good, 12, quint64(1) << 40, 8) << false;
    QTest::newRow("file size that needs more blocks") << withNumber(good, 12, 5121, 8) << false;
    QTest::newRow("file size that needs fewer blocks") << withNumber(good, 12, 4096, 8) << false;
}

void tst_BlockMap::parse()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, valid);
    BlockMap map;
    QString why;
    QCOMPARE(BlockMap::parse(data, map, why), valid);
    QCOMPARE(why.isEmpty(), valid);
    if (valid)
        QCOMPARE(map.serialize(), data);
}

void tst_BlockMap::blockSizeFor_data()
{
    QTest::addColumn<quint64>("fileSize");
    QTest::addColumn<int>("blockSize");
    const quint64 gib = quint64(1) << 30;
    QTest::newRow("empty") << quint64(0) << 4096;
    QTest::newRow("256 MiB") << gib / 4 << 4096;
    QTest::newRow("1 GiB: the most blocks") << gib << 4096;
    QTest::newRow("a byte over 1 GiB") << gib + 1 << 8192;
    QTest::newRow("4 GiB") << 4 * gib << 16384;
    QTest::newRow("beyond the largest block size") << (quint64(1) << 50) << BlockMap::MaxBlockSize;
}

void tst_BlockMap::blockSizeFor()
{
    QFETCH(quint64, fileSize);
    QFETCH(int, blockSize);
    QCOMPARE(BlockMap::blockSizeFor(fileSize), blockSize);
    if (blockSize < BlockMap::MaxBlockSize)
        QVERIFY(BlockMap::storedSize(blockSize, fileSize) <= BlockMap::HeaderSize + BlockMap::MaxBlocks * BlockMap::EntrySize);
}

void tst_BlockMap::scan_data()
{
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<QByteArray>("target");
    const QByteArray old = randomBytes(64 * 1024 + 300, 4);
    const QByteArray other = randomBytes(3000, 5);
    QByteArray changed = old;
    for (int at : {100, 9000, 30000, 50001})
        changed[at] = char(~changed[at]);
    QTest::newRow("identical") << old << old;
    QTest::newRow("bytes inserted at the start") << old << other.left(100) + old;
    QTest::newRow("bytes inserted in the middle") << old << old.left(20000) + other + old.mid(20000);
    QTest::newRow("bytes deleted in the middle") << old << old.left(10000) + old.mid(12345);
    QTest::newRow("bytes deleted at the start") << old << old.mid(77);
    QTest::newRow("bytes changed in places") << old << changed;
    QTest::newRow("blocks moved around") << old << old.mid(40000) + old.left(40000);
    QTest::newRow("nothing in common") << old << randomBytes(old.size(), 6);
    QTest::newRow("local copy shorter than a block") << old.left(1000) << old;
    QTest::newRow("block in the local copy's last window") << other.left(777) + old.left(1024) << old.left(1024);
    QTest::newRow("runs of zeros") << QByteArray(5000, '\0') + old.left(3000) << QByteArray(40 * 1024, '\0');
    // The second copy of a repeated block is found as the next of a run; the first copy takes it too.
    const QByteArray zeros(1024, '\0');
    QTest::newRow("repeated block found in a run only") << old.left(1024) + zeros
                                                        << other.left(1024) + zeros + old.left(1024) + zeros;
    QTest::newRow("local copy spans several pieces") << QByteArray(1, 'x') + randomBytes(20 * 1024 * 1024, 7)
                                                     << randomBytes(20 * 1024 * 1024, 7).mid(8 * 1024 * 1024 - 500, 8192);
}

void tst_BlockMap::scan()
{
    QFETCH(QByteArray, local);
    QFETCH(QByteArray, target);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("installed"));
    QVERIFY(writeFile(path, local));
    const BlockMap map = mapOf(target, 1024);
    BlockScanFunc::Matches matches;
    const std::atomic_bool cancel{false};
    QVERIFY(BlockScanFunc::scan(map, path, matches, cancel));
    QCOMPARE(matches.size(), map.blockCount());
    // Followed, the scan finds the same, and tells each place once, piece by piece in order.
    BlockScanFunc::Matches told(map.blockCount(), -1);
    QList<qint64> scannedUpTo;
    BlockScanFunc::Matches followed;
    QVERIFY(BlockScanFunc::scan(map, path, followed, cancel, {}, [&](const BlockScanFunc::Found &placed, qint64 upTo) {
        for (const auto &[block, offset] : placed)
            told[block] = told.at(block) < 0 ? offset : -2;
        scannedUpTo.append(upTo);
    }));
    QCOMPARE(followed, matches);
    QCOMPARE(told, matches);
    QVERIFY(std::is_sorted(scannedUpTo.begin(), scannedUpTo.end()));
    QCOMPARE(scannedUpTo.last(), local.size());
    // Every whole block whose bytes the local copy holds anywhere is found, and found where they are.
    for (qint64 i = 0; i < map.blockCount(); ++i) {
        const QByteArray block = target.mid(map.blockOffset(i), map.blockLength(i));
        const bool present = map.blockLength(i) == map.blockSize && local.contains(block);
        QVERIFY2((matches.at(i) >= 0) == present, qPrintable(QStringLiteral("block %1").arg(i)));
        if (present)
            QCOMPARE(local.mid(matches.at(i), map.blockSize), block);
    }
}

void tst_BlockMap::scanOfMissingFileFindsNothing()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("gone"));
    BlockScanTaskSpecification task(std::make_shared<BlockMap>(mapOf(randomBytes(8192, 8), 1024)), path, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(task.getMatches(), BlockScanFunc::Matches(8, -1));
    QCOMPARE(task.getReusableBytes(), 0);
    QCOMPARE(messages.constLast().constFirst().toString(), QStringLiteral("%1 cannot be read; every block is fetched").arg(path));
}

void tst_BlockMap::cancelledScanStops()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("installed"));
    const QByteArray content = randomBytes(64 * 1024, 9);
    QVERIFY(writeFile(path, content));
    BlockScanFunc::Matches matches;
    const std::atomic_bool cancel{true};
    QVERIFY(!BlockScanFunc::scan(mapOf(content, 1024), path, matches, cancel));
}

void tst_BlockMap::cancelledTaskEndsCancelled_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<int>("state");
    QTest::newRow("by the user") << true << int(TaskSpecification::StateUserCanceled);
    QTest::newRow("by another task") << false << int(TaskSpecification::StateErrorCanceled);
}

void tst_BlockMap::cancelledTaskEndsCancelled()
{
    QFETCH(bool, byUser);
    QFETCH(int, state);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("installed"));
    const QByteArray content = randomBytes(64 * 1024, 10);
    QVERIFY(writeFile(path, content));
    BlockScanTaskSpecification task(std::make_shared<BlockMap>(mapOf(content, 1024)), path, nullptr, 1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    if (byUser)
        task.userCanceled();
    else
        task.onOtherTaskCancelled(nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(canceled.size(), 1, 10000);
    QCOMPARE(int(task.getState()), state);
    QCOMPARE(finished.size(), 0);
    QVERIFY(task.getMatches().isEmpty());
}

Q_DECLARE_METATYPE(QList<DeltaPlan::Range>)

void tst_BlockMap::plan_data()
{
    using Ranges = QList<DeltaPlan::Range>;
    QTest::addColumn<BlockScanFunc::Matches>("matches");
    QTest::addColumn<int>("maxRanges");
    QTest::addColumn<Ranges>("fetch");
    QTest::addColumn<int>("copies");
    // Ten blocks of 1024 bytes and a last one of 100.
    QTest::newRow("everything found but the short last block")
            << BlockScanFunc::Matches{0, 1024, 2048, 3072, 4096, 5120, 6144, 7168, 8192, 9216, -1} << 64
            << Ranges{{10240, 100}} << 1;
    QTest::newRow("nothing found") << BlockScanFunc::Matches(11, -1) << 64 << Ranges{{0, 10340}} << 0;
    QTest::newRow("adjacent missing blocks make one range")
            << BlockScanFunc::Matches{0, -1, -1, 3072, -1, 5120, 6144, 7168, 8192, 9216, -1} << 64
            << Ranges{{1024, 2048}, {4096, 1024}, {10240, 100}} << 3;
    QTest::newRow("shifted blocks copy as one run")
            << BlockScanFunc::Matches{-1, 100, 1124, 2148, 3172, 4196, 5220, 6244, 7268, 8292, -1} << 64
            << Ranges{{0, 1024}, {10240, 100}} << 1;
    QTest::newRow("too many ranges: the shortest gap is fetched too")
            << BlockScanFunc::Matches{-1, 1024, -1, 3072, 4096, -1, 6144, 7168, 8192, -1, -1} << 3
            << Ranges{{0, 3072}, {5120, 1024}, {9216, 1124}} << 2;
    QTest::newRow("one range at most") << BlockScanFunc::Matches{-1, 1024, -1, 3072, 4096, -1, 6144, 7168, 8192, -1, -1}
                                       << 1 << Ranges{{0, 10340}} << 0;
}

void tst_BlockMap::plan()
{
    QFETCH(BlockScanFunc::Matches, matches);
    QFETCH(int, maxRanges);
    QFETCH(QList<DeltaPlan::Range>, fetch);
    QFETCH(int, copies);
    const BlockMap map = mapOf(randomBytes(10340, 11), 1024);
    const DeltaPlan plan(map, matches, maxRanges);
    QCOMPARE(plan.fetch, fetch);
    QCOMPARE(plan.copies.size(), copies);
    // Every byte of the new file is either copied or fetched, never both.
    QList<int> cover(10340, 0);
    for (const DeltaPlan::Range &range : plan.fetch) {
        for (qint64 i = range.offset; i < range.offset + range.length; ++i)
            ++cover[i];
    }
    qint64 copied = 0;
    for (const DeltaPlan::Copy &copy : plan.copies) {
        copied += copy.length;
        for (qint64 i = copy.to; i < copy.to + copy.length; ++i)
            ++cover[i];
    }
    QCOMPARE(cover, QList<int>(10340, 1));
    QCOMPARE(plan.reusedBytes, copied);
    QCOMPARE(plan.reusedBytes + plan.fetchedBytes, 10340);
}

namespace {
// What a followed scan tells after one piece, and how far the plan is decided then.
struct ScanStep
{
    BlockScanFunc::Found placed;
    qint64 scannedUpTo;
    qint64 decidedUpTo;
};

// Every byte below end is in exactly one copy or range of the plan.
bool coversOnce(const DeltaPlan &plan, qint64 end)
{
    QList<int> cover(end, 0);
    for (const DeltaPlan::Range &range : plan.fetch) {
        for (qint64 i = range.offset; i < range.offset + range.length; ++i)
            ++cover[i];
    }
    for (const DeltaPlan::Copy &copy : plan.copies) {
        for (qint64 i = copy.to; i < copy.to + copy.length; ++i)
            ++cover[i];
    }
    return cover == QList<int>(end, 1);
}
} // namespace

Q_DECLARE_METATYPE(QList<ScanStep>)

void tst_BlockMap::planFollowsTheScan_data()
{
    using Ranges = QList<DeltaPlan::Range>;
    QTest::addColumn<QList<ScanStep>>("steps");
    QTest::addColumn<int>("maxRanges");
    QTest::addColumn<Ranges>("fetch");
    // Ten blocks of 1024 bytes and a last one of 100; a block not found is taken for missing once the scan
    // has looked 2048 bytes past where it would end.
    QTest::newRow("a change is fetched once the scan is past it")
            << QList<ScanStep>{{{{0, 0}, {1, 1024}}, 3072, 2048},
                               {{{3, 3072}, {4, 4096}}, 5120, 5120},
                               {{{5, 5120}, {6, 6144}, {7, 7168}, {8, 8192}, {9, 9216}}, 10340, 10240}}
            << 64 << Ranges{{2048, 1024}, {10240, 100}};
    QTest::newRow("a deletion before a change moves where it is looked for")
            << QList<ScanStep>{{{{0, 3000}, {1, 4024}}, 6144, 2048}, {{{3, 6072}}, 8192, 4096}}
            << 64 << Ranges{{2048, 1024}, {4096, 6244}};
    QTest::newRow("a change at the start waits for a block after it")
            << QList<ScanStep>{{{}, 2048, 0}, {{{1, 100}, {2, 1124}}, 3072, 3072}}
            << 64 << Ranges{{0, 1024}, {3072, 7268}};
    QTest::newRow("content that moved back beyond the look-ahead is fetched")
            << QList<ScanStep>{{{{0, 0}}, 5120, 3072}, {{{1, 9216}, {2, 8192}}, 10340, 8192}}
            << 64 << Ranges{{1024, 2048}, {3072, 5120}, {8192, 2148}};
    QTest::newRow("nothing found decides nothing") << QList<ScanStep>{{{}, 10340, 0}} << 64 << Ranges{{0, 10340}};
    QTest::newRow("half the budget goes early")
            << QList<ScanStep>{{{{1, 1024}, {3, 3072}, {5, 5120}, {7, 7168}}, 10340, 4096}}
            << 4 << Ranges{{0, 1024}, {2048, 1024}, {4096, 3072}, {8192, 2148}};
}

void tst_BlockMap::planFollowsTheScan()
{
    QFETCH(QList<ScanStep>, steps);
    QFETCH(int, maxRanges);
    QFETCH(QList<DeltaPlan::Range>, fetch);
    const BlockMap map = mapOf(randomBytes(10340, 11), 1024);
    DeltaPlan plan(map, maxRanges, 2048);
    for (const ScanStep &step : std::as_const(steps)) {
        plan.found(step.placed, step.scannedUpTo);
        QCOMPARE(plan.decidedUpTo(), step.decidedUpTo);
        QVERIFY(coversOnce(plan, plan.decidedUpTo()));
    }
    plan.finish();
    QCOMPARE(plan.fetch, fetch);
    QCOMPARE(plan.decidedUpTo(), 10340);
    QVERIFY(coversOnce(plan, 10340));
    QCOMPARE(plan.reusedBytes + plan.fetchedBytes, 10340);
}

namespace {
// An installed copy, a new file that reuses most of it, and the plan for that.
struct Assembly
{
    QByteArray old = randomBytes(64 * 1024, 12);
    QByteArray target = randomBytes(3000, 13) + old.mid(5000, 40000) + randomBytes(2000, 14) + old.mid(50000);
    BlockMap map = mapOf(target, 1024);

    // Installs the old copy at source and scans it.
    DeltaPlan planFor(const QString &source) const
    {
        BlockScanFunc::Matches matches;
        const std::atomic_bool cancel{false};
        if (!writeFile(source, old) || !BlockScanFunc::scan(map, source, matches, cancel))
            return DeltaPlan(map, {});
        return DeltaPlan(map, matches);
    }
};

// Writes the fetched bytes of one range into the new file, as a range download does.
bool putInPlace(const QString &destination, const QByteArray &target, const DeltaPlan::Range &range)
{
    QFile file(destination);
    return file.open(QIODevice::ReadWrite) && file.seek(range.offset)
            && file.write(target.mid(range.offset, range.length)) == range.length;
}
} // namespace

void tst_BlockMap::copyPutsBlocksInPlace_data()
{
    QTest::addColumn<bool>("sourceShrinks");
    QTest::newRow("source as scanned") << false;
    QTest::newRow("source shrank since the scan") << true;
}

void tst_BlockMap::copyPutsBlocksInPlace()
{
    QFETCH(bool, sourceShrinks);
    QTemporaryDir dir;
    const Assembly a;
    const QString source = dir.filePath(QStringLiteral("installed"));
    const QString destination = dir.filePath(QStringLiteral("new"));
    const DeltaPlan plan = a.planFor(source);
    QVERIFY(plan.reusedBytes > 50000);
    // The fetched ranges are in place first, in a file of some other length.
    QVERIFY(writeFile(destination, QByteArray(a.target.size() + 500, 'z')));
    for (const DeltaPlan::Range &range : plan.fetch)
        QVERIFY(putInPlace(destination, a.target, range));
    if (sourceShrinks)
        QVERIFY(writeFile(source, a.old.left(10000)));
    BlockCopyTaskSpecification task({source, destination, a.target.size(), plan.copies, FileDigest::Md5}, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(task.isCopied(), !sourceShrinks);
    QCOMPARE(QFile::exists(destination), !sourceShrinks);
    if (!sourceShrinks)
        QCOMPARE(readFile(destination), a.target);
}

void tst_BlockMap::digestFollowsTheRanges_data()
{
    QTest::addColumn<QString>("ranges"); // how the fetched ranges come
    QTest::addColumn<bool>("sourceShrinks");
    QTest::addColumn<int>("endState");
    QTest::addColumn<bool>("digested");

    const int finished = TaskSpecification::StateFinished;
    QTest::newRow("in place before the start") << "before" << false << finished << true;
    QTest::newRow("arriving one by one, last first") << "during" << false << finished << true;
    QTest::newRow("source shrank since the scan") << "before" << true << finished << false;
    QTest::newRow("abandoned while ranges are missing") << "abandon" << false << finished << false;
    QTest::newRow("cancelled while ranges are missing")
            << "cancel" << false << int(TaskSpecification::StateUserCanceled) << false;
    QTest::newRow("another task cancelled while ranges are missing")
            << "other cancelled" << false << int(TaskSpecification::StateErrorCanceled) << false;
}

// The digest must never pass a fetched range before it is reported in place: each range's bytes are written
// only when it is reported, and anything read before would spoil the sum. The new file does not even exist
// before the first range.
void tst_BlockMap::digestFollowsTheRanges()
{
    QFETCH(QString, ranges);
    QFETCH(bool, sourceShrinks);
    QFETCH(int, endState);
    QFETCH(bool, digested);
    QTemporaryDir dir;
    const Assembly a;
    const QString source = dir.filePath(QStringLiteral("installed"));
    const QString destination = dir.filePath(QStringLiteral("new"));
    const DeltaPlan plan = a.planFor(source);
    QVERIFY(plan.fetch.size() >= 2);
    QVERIFY(plan.fetch.first().offset == 0);
    if (sourceShrinks)
        QVERIFY(writeFile(source, a.old.left(10000)));
    AssemblyDigestTaskSpecification task({source, destination, a.target.size(), plan.copies, FileDigest::Md5},
                                         plan.fetch, a.target.size(), nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    if (ranges == "before") {
        for (qsizetype i = 0; i < plan.fetch.size(); ++i) {
            QVERIFY(putInPlace(destination, a.target, plan.fetch.at(i)));
            task.rangeArrived(i);
        }
    }
    task.execute();
    QTest::qWait(100);
    if (ranges == "during") {
        for (qsizetype i = plan.fetch.size() - 1; i >= 0; --i) {
            QCOMPARE(finished.size(), 0);
            QVERIFY(putInPlace(destination, a.target, plan.fetch.at(i)));
            task.rangeArrived(i);
            QTest::qWait(50);
        }
    } else if (ranges == "abandon") {
        task.abandon();
    } else if (ranges == "cancel") {
        task.userCanceled();
    } else if (ranges == "other cancelled") {
        task.onOtherTaskCancelled(nullptr);
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.size() + canceled.size(), 1, 10000);
    QCOMPARE(int(task.getState()), endState);
    QCOMPARE(task.isDigested(), digested);
    if (digested)
        QCOMPARE(task.getDigest(), FileDigest(QString::fromLatin1(md5Hex(a.target)), quint64(a.target.size())));
}

QTEST_GUILESS_MAIN(tst_BlockMap)
#include "tst_blockmap.moc"
