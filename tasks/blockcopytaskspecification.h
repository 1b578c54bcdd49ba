#pragma once

#include "tasks/asynctaskspecification.h"
#include "tasks/deltaplan.h"

// Puts a delta update's reused blocks into the new file and takes the file's digest, on the thread pool
// (BlockCopyFunc). A copy that fails is no failure of the run: the task finishes all the same, and
// isCopied() tells the owner to fetch the file whole instead.
class BlockCopyTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    BlockCopyTaskSpecification(const QString &source, const QString &destination, qint64 size,
                               const QList<DeltaPlan::Copy> &copies, FileDigest::Sums sums, QObject *parent,
                               double parentProgressRange);

    bool isCopied() const { return copied; }
    // Of the whole new file, once copied.
    const FileDigest &getDigest() const { return digest; }

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool res) override;

private:
    QString source;
    QString destination;
    qint64 size;
    QList<DeltaPlan::Copy> copies;
    FileDigest::Sums sums;
    bool copied = false;
    FileDigest digest; // written only by the worker until its result arrives
};
