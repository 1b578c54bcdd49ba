#include "tasks/blockcopytaskspecification.h"

BlockCopyTaskSpecification::BlockCopyTaskSpecification(const BlockCopyFunc::Assembly &assembly, QObject *parent,
                                                       double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange), assembly(assembly)
{
}

ASyncFunc *BlockCopyTaskSpecification::createFunction()
{
    copied = false;
    return new BlockCopyFunc(assembly);
}

void BlockCopyTaskSpecification::runDone(bool res)
{
    copied = res;
    ASyncTaskSpecification::runDone(true);
}
