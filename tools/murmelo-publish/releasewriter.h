#pragma once

#include "releasetree.h"

#include "tasks/blockmap.h"
#include "update/productini.h"

#include <QHash>
#include <QString>
#include <QStringList>

class PublishProgress;
class QFileDevice;
class QSaveFile;
class QTextStream;

// Writes a release into its version directory on the mirror tree: each file (copied or gzip-compressed,
// its digests taken on the way), the changelog, and last the product ini with its signature, each
// replacing its target only once it is complete. A file that is already there with the same content is
// left alone; one with other content that a published product ini uses is refused. A file shipped
// uncompressed from the block map threshold on gets its block map beside it (BlockMap::pathFor), taken in
// the same pass. Problems are added to the list given at construction, one line each.
class ReleaseWriter
{
public:
    ReleaseWriter(const QString &versionDir, QTextStream &out, QStringList &problems);

    // Reads the product inis already in the version directory; false if one cannot be read.
    bool readOtherReleases();
    bool writeFile(const QString &section, const ReleaseTree::SourceFile &source, ProductIni::Entry &entry);
    // Writes "changelog_client.txt" from the given file.
    bool writeChangelog(const QString &changelog);
    bool writeIni(const ProductIni &ini, const QString &clientType, const QString &privateKey);
    // Told of every byte read from the release directory while set; null: nobody is.
    void setProgress(PublishProgress *progress) { this->progress = progress; }
    // Files shipped uncompressed from this size on get a block map; negative: none does.
    void setBlockMapThreshold(qint64 bytes) { blockMapThreshold = bytes; }
    int blockMapsWritten() const { return blockMaps; }

private:
    bool transfer(QFileDevice &from, QFileDevice &to, bool compress, FileDigest &read, FileDigest &written,
                  BlockMap::Builder *blocks = nullptr);
    bool commit(QSaveFile &file, const QString &relative, const FileDigest &digest);
    bool writeBlockMap(const QString &target, const BlockMap &map);

    QString versionDir;
    QTextStream &out;
    QStringList &problems;
    QHash<QString, QString> otherReleases; // path below the version directory -> product ini using it
    PublishProgress *progress = nullptr;
    qint64 blockMapThreshold = BlockMap::DefaultThreshold;
    int blockMaps = 0;
};
