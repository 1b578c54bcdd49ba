#include "tasks/blockcopytaskspecification.h"

BlockCopyTaskSpecification::BlockCopyTaskSpecification(const BlockCopyFunc::Assembly &assembly, QObject *parent,
                                                       double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange), assembly(assembly)
{
}

ASyncFunc *BlockCopyTaskSpecification::createFunction()
{
    copied = false;
    digest = FileDigest();
    return new BlockCopyFunc(assembly, digest);
}

void BlockCopyTaskSpecification::runDone(bool res)
{
    copied = res;
    ASyncTaskSpecification::runDone(true);
}
