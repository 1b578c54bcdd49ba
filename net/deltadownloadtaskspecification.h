#pragma once

#include "tasks/blockcopyfunc.h"
#include "tasks/composedtaskspecification.h"
#include "tasks/deltaplan.h"

#include <memory>

class AssemblyDigestTaskSpecification;
class BlockCopyTaskSpecification;
class BlockMap;
class BlockScanTaskSpecification;
class CheckSignatureTaskSpecification;
class DownloadTaskSpecification;
class FileDigest;
class Mirrors;
class QNetworkAccessManager;

// Fetches a big file by what changed: its block map from a mirror, a scan of the installed copy for the
// map's blocks (wherever an insertion or a deletion moved them), byte-range requests for the rest (a
// bounded number, a few at once, each drawing its own mirror) into the new file, a copy of the blocks
// found into the gaps, the whole file's MD5 sum taken from the bytes' sources, and last the check of that
// sum against the signed product ini. The ranges and the digest, the longest step, follow the scan as far
// as its plan is decided (DeltaPlan) rather than wait for its end. The file is put together beside its
// final place and takes that place only once the check has passed.
//
// Whatever stands in the way of a delta (no usable map, nothing to reuse, a mirror that ignores ranges,
// a local copy that changed, a failed check) ends the task finished with isComplete() false: the caller
// then fetches the file whole, and no mirror was charged for it. Only a cancel, or a range download that
// ran out of mirrors, ends it cancelled; then nothing of it is left on disk.
class DeltaDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Range requests of one file at once.
    static constexpr int RangeStreams = 3;

    // remotePath: below the mirror's version URL; installedPath: the older copy; localPath: where the new
    // file goes; size and md5: from the product ini.
    DeltaDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors, const QString &remotePath,
                                   const QString &installedPath, const QString &localPath, quint64 size,
                                   const QString &md5, QObject *parent, double parentProgressRange);

    void execute() override;
    void reset() override;
    // From the release manifest: the file's SHA-256 is checked as well. Empty: none.
    void setExpectedSha256(const QString &sha256) { expectedSha256 = sha256; }

    bool isComplete() const { return complete; }
    // Bytes of the block map that travelled (so far).
    qint64 getMapBytes() const;
    static QString assemblyPath(const QString &localPath) { return localPath + QStringLiteral(",delta"); }

signals:
    // Once the scan has shown what is to be fetched: the map's bytes and the ranges' together.
    void transferPlanned(quint64 bytes);

protected:
    void subtasksDone() override;

private:
    void onMapFetched();
    // The fetched map, when it parses and describes the file from the product ini; else null and why.
    std::shared_ptr<const BlockMap> readMap(QString &why) const;
    // Starts the ranges the plan has newly decided, and tells the digest how far the plan goes.
    void handOut();
    void onScanned();
    void onRangeFinished(DownloadTaskSpecification *download, qsizetype index);
    void onCopyDone();
    // The copy or the digest has finished: the check follows both.
    void onAssemblyPartDone();
    void onCopied(const FileDigest &digest);
    void onChecked(bool pass);
    void giveUp(const QString &why);

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    QString remotePath;
    QString installedPath;
    QString localPath;
    quint64 size;
    QString md5;
    QString expectedSha256;
    // Maps are optional and unsigned: no failure to fetch one is held against a mirror.
    DownloadTaskSpecification *mapTask = nullptr;
    std::shared_ptr<const BlockMap> map;
    BlockScanTaskSpecification *scanTask = nullptr;
    std::unique_ptr<DeltaPlan> plan;
    qsizetype rangesStarted = 0; // of the plan's
    BlockCopyFunc::Assembly assembly;
    BlockCopyTaskSpecification *copyTask = nullptr;
    AssemblyDigestTaskSpecification *digestTask = nullptr;
    bool gaveUp = false;
    bool complete = false;
};
