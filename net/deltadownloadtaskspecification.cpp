#include "net/deltadownloadtaskspecification.h"

#include "net/checksignaturetaskspecification.h"
#include "net/downloadtaskspecification.h"
#include "tasks/assemblydigesttaskspecification.h"
#include "tasks/blockcopytaskspecification.h"
#include "tasks/blockmap.h"
#include "tasks/blockscantaskspecification.h"

#include <QFile>

namespace {
// Shares of the task's progress. The ranges are planned as the scan goes: each has its share of
// RangesWeight by its length in the file, and what the file reuses is left for the end.
constexpr double MapWeight = 0.05;
constexpr double ScanWeight = 0.3;
constexpr double DigestWeight = 0.4;
constexpr double CopyWeight = 0.1;
constexpr double RangesWeight = 0.1;
constexpr double CheckWeight = 0.05;
} // namespace

DeltaDownloadTaskSpecification::DeltaDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                                               const QString &remotePath,
                                                               const QString &installedPath,
                                                               const QString &localPath, quint64 size,
                                                               const QString &md5, QObject *parent,
                                                               double parentProgressRange)
    : ComposedTaskSpecification(RangeStreams + 2, parentProgressRange, parent)
    , manager(manager)
    , mirrors(mirrors)
    , remotePath(remotePath)
    , installedPath(installedPath)
    , localPath(localPath)
    , size(size)
    , md5(md5)
{
}

void DeltaDownloadTaskSpecification::execute()
{
    complete = false;
    gaveUp = false;
    // Left over from a run that ended abruptly; the ranges must not land in it.
    QFile::remove(assemblyPath(localPath));
    mapTask = new DownloadTaskSpecification(manager, mirrors, BlockMap::pathFor(remotePath), BlockMap::pathFor(localPath), -1,
                                            this, MapWeight);
    mapTask->setOptional();
    mapTask->setSizeLimit(BlockMap::maxStoredSize(size));
    connect(mapTask, &TaskSpecification::finished, this, &DeltaDownloadTaskSpecification::onMapFetched);
    addSubTask(mapTask);
    executeSubTasks();
}

void DeltaDownloadTaskSpecification::onMapFetched()
{
    QString why = QStringLiteral("no block map on the mirror");
    if (!mapTask->isAbsent())
        map = readMap(why);
    QFile::remove(BlockMap::pathFor(localPath));
    if (!map) {
        giveUp(why);
        return;
    }
    // The digest and the fetching follow the scan as far as the plan is decided; the copy of the blocks
    // found waits for its end, and then takes the scan's slot.
    plan = std::make_unique<DeltaPlan>(*map);
    scanTask = new BlockScanTaskSpecification(map, installedPath, this, ScanWeight);
    scanTask->setFollowed();
    connect(scanTask, &BlockScanTaskSpecification::blocksFound, this,
            [this](const BlockScanFunc::Found &placed, qint64 scannedUpTo) {
                if (gaveUp || state != StateRunning || cancelRequested || cancelPropagated)
                    return;
                plan->found(placed, scannedUpTo);
                handOut();
            });
    connect(scanTask, &TaskSpecification::finished, this, &DeltaDownloadTaskSpecification::onScanned);
    addSubTask(scanTask);
    assembly.source = installedPath;
    assembly.destination = assemblyPath(localPath);
    assembly.size = qint64(size);
    assembly.sums = expectedSha256.isEmpty() ? FileDigest::Md5 : FileDigest::Md5AndSha256;
    digestTask = new AssemblyDigestTaskSpecification(assembly, {}, 0, this, DigestWeight);
    connect(digestTask, &TaskSpecification::finished, this, &DeltaDownloadTaskSpecification::onAssemblyPartDone);
    addSubTask(digestTask);
    maxParallel = RangeStreams + 2; // as a run before may have left it
    // The map's end starts the scan; the digest needs a start of its own.
    emit startNextTask();
}

std::shared_ptr<const BlockMap> DeltaDownloadTaskSpecification::readMap(QString &why) const
{
    // Its size was bounded by the download.
    QFile file(BlockMap::pathFor(localPath));
    if (!file.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("the block map cannot be read: %1").arg(file.errorString());
        return nullptr;
    }
    auto parsed = std::make_shared<BlockMap>();
    QString reason;
    if (!BlockMap::parse(file.readAll(), *parsed, reason)) {
        why = QStringLiteral("the block map %1").arg(reason);
        return nullptr;
    }
    if (!parsed->describes(FileDigest(md5, size))) {
        why = QStringLiteral("the block map describes another file");
        return nullptr;
    }
    return parsed;
}

void DeltaDownloadTaskSpecification::handOut()
{
    for (qsizetype i = rangesStarted; i < plan->fetch.size(); ++i) {
        const DeltaPlan::Range &range = plan->fetch.at(i);
        auto download = new DownloadTaskSpecification(manager, mirrors, remotePath, assemblyPath(localPath),
                                                      qint64(size), this,
                                                      RangesWeight * double(range.length) / double(size));
        download->setRange(range.offset, range.length);
        connect(download, &TaskSpecification::finished, this, [this, download, i] { onRangeFinished(download, i); });
        addSubTask(download);
        emit startNextTask();
    }
    rangesStarted = plan->fetch.size();
    digestTask->planned(plan->copies, plan->fetch, plan->decidedUpTo());
}

void DeltaDownloadTaskSpecification::onScanned()
{
    if (gaveUp)
        return;
    plan->finish();
    if (plan->copies.isEmpty()) {
        giveUp(QStringLiteral("no block of it is in the installed copy"));
        return;
    }
    handOut();
    emit transferPlanned(quint64(getMapBytes() + plan->fetchedBytes));
    assembly.copies = plan->copies;
    copyTask = new BlockCopyTaskSpecification(assembly, this, CopyWeight);
    connect(copyTask, &TaskSpecification::finished, this, &DeltaDownloadTaskSpecification::onCopyDone);
    addSubTask(copyTask);
    // Ahead of ranges still waiting for a slot: the start that the scan's end queued is the copy's.
    pendingTasks.removeOne(copyTask);
    pendingTasks.prepend(copyTask);
}

void DeltaDownloadTaskSpecification::onRangeFinished(DownloadTaskSpecification *download, qsizetype index)
{
    if (download->getRangeResult() == DownloadTaskSpecification::RangeResult::Served) {
        digestTask->rangeArrived(index);
        return;
    }
    // The other ranges would be in vain: the file is fetched whole. Those running end on their own.
    if (!gaveUp)
        giveUp(QStringLiteral("a mirror does not serve byte ranges"));
}

void DeltaDownloadTaskSpecification::onCopyDone()
{
    // Its slot is not handed on to a further range: a file has RangeStreams range requests at most.
    maxParallel = RangeStreams + 1;
    onAssemblyPartDone();
}

void DeltaDownloadTaskSpecification::onAssemblyPartDone()
{
    // The digest may fail while the scan goes on, before there is a copy.
    const bool copyFailed = copyTask && copyTask->getState() == StateFinished && !copyTask->isCopied();
    const bool digestFailed = digestTask->getState() == StateFinished && !digestTask->isDigested();
    if (copyFailed || digestFailed) {
        if (!gaveUp)
            giveUp(QStringLiteral("the installed copy could not be copied from"));
        return;
    }
    if (copyTask && copyTask->getState() == StateFinished && digestTask->getState() == StateFinished)
        onCopied(digestTask->getDigest());
}

void DeltaDownloadTaskSpecification::onCopied(const FileDigest &digest)
{
    auto check = new CheckSignatureTaskSpecification(assemblyPath(localPath), md5, false, this, CheckWeight);
    check->setKnownDigest(digest);
    check->setExpectedSha256(expectedSha256);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            [this](bool pass) { onChecked(pass); });
    addSubTask(check);
}

void DeltaDownloadTaskSpecification::onChecked(bool pass)
{
    if (!pass) {
        giveUp(QStringLiteral("the file put together from blocks failed its md5 sum"));
        return;
    }
    QFile::remove(localPath);
    if (!QFile::rename(assemblyPath(localPath), localPath)) {
        giveUp(QStringLiteral("%1 could not take its place").arg(assemblyPath(localPath)));
        return;
    }
    complete = true;
    emit message(QStringLiteral("Delta update of %1: %2 bytes reused, %3 bytes fetched in %4 ranges, block map %5 bytes")
                         .arg(remotePath)
                         .arg(plan->reusedBytes)
                         .arg(plan->fetchedBytes)
                         .arg(plan->fetch.size())
                         .arg(getMapBytes()));
}

qint64 DeltaDownloadTaskSpecification::getMapBytes() const
{
    return mapTask ? mapTask->getReceived() : 0;
}

void DeltaDownloadTaskSpecification::giveUp(const QString &why)
{
    gaveUp = true;
    // Range tasks that were never started stay idle: the outcome is this task's own.
    pendingTasks.clear();
    if (scanTask)
        scanTask->abandon();
    if (digestTask)
        digestTask->abandon();
    QFile::remove(assemblyPath(localPath));
    emit message(QStringLiteral("Fetching %1 whole: %2").arg(remotePath, why));
}

void DeltaDownloadTaskSpecification::subtasksDone()
{
    if (cancelRequested || cancelPropagated) {
        QFile::remove(assemblyPath(localPath));
        QFile::remove(BlockMap::pathFor(localPath));
        if (cancelRequested)
            userCancel();
        else
            errorCancel();
        return;
    }
    // A range that was still running when the delta was given up may have written the file anew.
    if (!complete)
        QFile::remove(assemblyPath(localPath));
    finish();
}

void DeltaDownloadTaskSpecification::reset()
{
    clearSubTasks();
    mapTask = nullptr;
    map.reset();
    scanTask = nullptr;
    plan.reset();
    rangesStarted = 0;
    copyTask = nullptr;
    digestTask = nullptr;
    gaveUp = false;
    complete = false;
    TaskSpecification::reset();
}
