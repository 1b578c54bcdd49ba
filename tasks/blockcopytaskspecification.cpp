#include "tasks/blockcopytaskspecification.h"

#include "tasks/blockcopyfunc.h"

BlockCopyTaskSpecification::BlockCopyTaskSpecification(const QString &source, const QString &destination,
                                                       qint64 size, const QList<DeltaPlan::Copy> &copies,
                                                       FileDigest::Sums sums, QObject *parent,
                                                       double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , source(source)
    , destination(destination)
    , size(size)
    , copies(copies)
    , sums(sums)
{
}

ASyncFunc *BlockCopyTaskSpecification::createFunction()
{
    copied = false;
    digest = FileDigest();
    return new BlockCopyFunc(source, destination, size, copies, sums, digest);
}

void BlockCopyTaskSpecification::runDone(bool res)
{
    copied = res;
    ASyncTaskSpecification::runDone(true);
}
