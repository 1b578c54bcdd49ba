#pragma once

#include "tasks/asynctaskspecification.h"
#include "tasks/blockcopyfunc.h"

// Puts a delta update's reused blocks into the new file and takes the file's digest, on the thread pool
// (BlockCopyFunc). A copy that fails is no failure of the run: the task finishes all the same, and
// isCopied() tells the owner to fetch the file whole instead.
class BlockCopyTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    BlockCopyTaskSpecification(const BlockCopyFunc::Assembly &assembly, QObject *parent, double parentProgressRange);

    bool isCopied() const { return copied; }
    // Of the whole new file, once copied.
    const FileDigest &getDigest() const { return digest; }

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool res) override;

private:
    BlockCopyFunc::Assembly assembly;
    bool copied = false;
    FileDigest digest; // written only by the worker until its result arrives
};
