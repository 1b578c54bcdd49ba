#pragma once

#include "net/filedownloadspecification.h"
#include "net/releasemanifest.h"
#include "update/filereplacespecification.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The three lists compiled from the product ini; one per update run, owned by the main task.
class FileSpecifications
{
public:
    void clear();

    QList<FileDownloadSpecification> downloadList;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList; // relative to the installation directory
    // The release manifest the product-ini phase accepted, when the release has one, and the manifest keys
    // retired after its rotation statements.
    std::optional<ReleaseManifest> manifest;
    QStringList retiredManifestKeys;
};
