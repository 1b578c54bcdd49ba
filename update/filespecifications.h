#pragma once

#include "net/filedownloadspecification.h"
#include "update/filereplacespecification.h"

#include <QList>
#include <QString>

// The three lists compiled from the product ini; one per update run, owned by the main task.
class FileSpecifications
{
public:
    void clear();

    QList<FileDownloadSpecification> downloadList;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList; // relative to the installation directory
};
