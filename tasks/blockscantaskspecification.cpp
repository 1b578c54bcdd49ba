#include "tasks/blockscantaskspecification.h"

BlockScanTaskSpecification::BlockScanTaskSpecification(std::shared_ptr<const BlockMap> map,
                                                       const QString &localPath, QObject *parent,
                                                       double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , map(std::move(map))
    , localPath(localPath)
    , cancel(std::make_shared<std::atomic_bool>(false))
{
}

ASyncFunc *BlockScanTaskSpecification::createFunction()
{
    emit message(QStringLiteral("Looking for reusable blocks in %1").arg(localPath));
    auto func = new BlockScanFunc(map, localPath, matches, cancel, followed);
    connect(func, &BlockScanFunc::blocksFound, this, &BlockScanTaskSpecification::blocksFound, Qt::QueuedConnection);
    return func;
}

void BlockScanTaskSpecification::runDone(bool res)
{
    if (state != StateRunning)
        return;
    if (abandoned) {
        matches.clear();
        ASyncTaskSpecification::runDone(true);
        return;
    }
    if (*cancel) {
        matches.clear();
        if (cancelledByOther)
            errorCancel();
        else
            userCancel();
        return;
    }
    if (!res) {
        matches = BlockScanFunc::Matches(map->blockCount(), -1);
        emit message(QStringLiteral("%1 cannot be read; every block is fetched").arg(localPath));
    }
    ASyncTaskSpecification::runDone(true);
}

qint64 BlockScanTaskSpecification::getReusableBytes() const
{
    qint64 bytes = 0;
    for (qint64 i = 0; i < matches.size(); ++i) {
        if (matches.at(i) >= 0)
            bytes += map->blockLength(i);
    }
    return bytes;
}

void BlockScanTaskSpecification::userCanceled()
{
    // Also before the worker runs: the request may come while the task is being started.
    ASyncTaskSpecification::userCanceled();
    *cancel = true;
}

void BlockScanTaskSpecification::abandon()
{
    abandoned = true;
    *cancel = true;
}

void BlockScanTaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
    cancelledByOther = true;
    *cancel = true;
}

void BlockScanTaskSpecification::reset()
{
    ASyncTaskSpecification::reset();
    *cancel = false;
    cancelledByOther = false;
    abandoned = false;
    matches.clear();
}
