#include "update/filespecifications.h"

void FileSpecifications::clear()
{
    downloadList.clear();
    replaceList.clear();
    deleteList.clear();
    manifest.reset();
    retiredManifestKeys.clear();
}
