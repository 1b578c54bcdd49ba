#pragma once

#include "tasks/asynctaskspecification.h"
#include "tasks/blockscanfunc.h"

// Looks for a block map's blocks in a local file on the thread pool (BlockScanFunc). Unlike other
// workers, the scan of a large file stops early on a cancel. A local file that cannot be read is no
// failure: the task finishes with nothing found, and every block will be fetched.
class BlockScanTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    BlockScanTaskSpecification(std::shared_ptr<const BlockMap> map, const QString &localPath, QObject *parent,
                               double parentProgressRange);

    void reset() override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // Valid once the task has finished.
    const BlockScanFunc::Matches &getMatches() const { return matches; }
    qint64 getReusableBytes() const;

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool res) override;

private:
    std::shared_ptr<const BlockMap> map;
    QString localPath;
    BlockScanFunc::Matches matches; // written only by the worker until its result arrives
    std::shared_ptr<std::atomic_bool> cancel;
    bool cancelledByOther = false;
};
