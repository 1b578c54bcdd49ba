#pragma once

#include "tasks/asynctaskspecification.h"
#include "tasks/blockscanfunc.h"

// Looks for a block map's blocks in a local file on the thread pool (BlockScanFunc). Unlike other
// workers, the scan of a large file stops early on a cancel, and on abandon(), which is no cancel: the
// task then finishes with nothing found. So does a scan of a local file that cannot be read: every block
// will be fetched.
class BlockScanTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    BlockScanTaskSpecification(std::shared_ptr<const BlockMap> map, const QString &localPath, QObject *parent,
                               double parentProgressRange);

    // The scan tells what it found piece by piece (blocksFound), in order on one thread.
    void setFollowed() { followed = true; }
    // Its result is of no use any more.
    void abandon();
    void reset() override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // Valid once the task has finished.
    const BlockScanFunc::Matches &getMatches() const { return matches; }
    qint64 getReusableBytes() const;

signals:
    void blocksFound(const BlockScanFunc::Found &placed, qint64 scannedUpTo);

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool res) override;

private:
    std::shared_ptr<const BlockMap> map;
    QString localPath;
    BlockScanFunc::Matches matches; // written only by the worker until its result arrives
    std::shared_ptr<std::atomic_bool> cancel;
    bool cancelledByOther = false;
    bool abandoned = false;
    bool followed = false;
};
