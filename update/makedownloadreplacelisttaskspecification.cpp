#include "update/makedownloadreplacelisttaskspecification.h"

#include "update/makedownloadreplacelistfunc.h"

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration *configuration, FileSpecifications &target, QObject *parent, double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange), configuration(configuration), target(&target)
{
}

ASyncFunc *MakeDownloadReplaceListTaskSpecification::createFunction()
{
    auto function = new MakeDownloadReplaceListFunc(configuration, result);
    if (target->manifest)
        function->setManifestFiles(target->manifest->files);
    return function;
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    if (ok) {
        target->downloadList = result.downloadList;
        target->replaceList = result.replaceList;
        target->deleteList = result.deleteList;
    }
    ASyncTaskSpecification::runDone(ok);
}
