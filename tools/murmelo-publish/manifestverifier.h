#pragma once

#include "net/manifestkeyring.h"
#include "net/releasemanifest.h"
#include "update/productini.h"

#include <QStringList>

class FileDigest;

// Checks the release manifest beside a published product ini the way the updater will: its signature
// under the trusted keys (after its rotation statements), its client type, version and expiry, and that it
// lists exactly the ini's files with their SHA-256 sums and sizes.
class ManifestVerifier
{
public:
    // The key file trusted alone; empty: the keys built into the updater.
    explicit ManifestVerifier(const QString &keyPath);

    // Empty when the trusted key is usable, else why not.
    QString checkKey() const;
    // False when there is no manifest or it does not verify; each problem is added to problems.
    bool load(const QString &versionDir, const QString &clientType, QStringList &problems);
    void checkFile(const QString &relative, const FileDigest &file, const FileDigest &unzipped, bool compressed,
                   QStringList &problems);
    // The manifest's files that the ini does not list.
    void checkComplete(const ProductIni &ini, QStringList &problems) const;
    QString summary() const;

private:
    QString keyPath;
    QString manifestPath;
    ReleaseManifest manifest;
};
