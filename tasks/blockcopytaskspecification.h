#pragma once

#include "tasks/asynctaskspecification.h"
#include "tasks/blockcopyfunc.h"

// Puts a delta update's reused blocks into the new file on the thread pool (BlockCopyFunc), while the
// ranges are fetched and the digest is taken. A copy that fails is no failure of the run: the task
// finishes all the same, and isCopied() tells the owner to fetch the file whole instead.
class BlockCopyTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    BlockCopyTaskSpecification(const BlockCopyFunc::Assembly &assembly, QObject *parent, double parentProgressRange);

    bool isCopied() const { return copied; }

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool res) override;

private:
    BlockCopyFunc::Assembly assembly;
    bool copied = false;
};
