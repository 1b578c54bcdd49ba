#pragma once

#include "tasks/composedtaskspecification.h"
#include "net/filedownloadspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DeltaDownloadTaskSpecification;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Fetches one listed file into the temporary directory and checks its MD5 sum. A partial copy there (from
// an earlier run, or an earlier attempt of this one) is continued. A copy that one mirror served whole and
// that fails the check costs that mirror its place, and the file is fetched again elsewhere, until no
// mirror is left; a continued copy that fails has no single culprit: it goes, and the file is fetched
// whole. A big uncompressed file with an older copy in the installation and no partial copy is first
// tried as a delta (DeltaDownloadTaskSpecification); when that cannot be done, it is fetched whole.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // A file listed with size 0 (or none) has a size nobody knows: it is bounded by the server's
    // Content-Length and, whatever that says, by this ceiling. Larger files must be listed with their size.
    static constexpr qint64 MaxUnsizedFileSize = qint64(1) << 30;

    DownloadFileTaskSpecification(const FileDownloadSpecification &file,
                                  QNetworkAccessManager *manager, Mirrors *mirrors,
                                  Configuration *configuration, QObject *parent,
                                  double parentProgressRange);

    void execute() override;
    void reset() override;

    // What travels for this file: the listed size less a partial copy that is continued, or for a delta
    // the block map and the missing ranges. travelChanged() tells by how much it changed.
    quint64 getTravel() const { return travel; }

signals:
    void travelChanged(qint64 change);

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    void makeSubtasksAndStart();
    bool startDelta();
    void onDeltaFinished();
    void setTravel(quint64 bytes);
    qint64 sizeOnDisk() const;
    quint64 travelFrom(qint64 onDisk) const;

    QString remoteDir;
    QString fileName;
    QString md5;
    quint64 size;
    QString sha256;
    bool compressed;
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    DownloadTaskSpecification *currentDownload = nullptr;
    // A continued copy failed its check: the next attempts take the file whole from one mirror.
    bool wholeOnly = false;
    DeltaDownloadTaskSpecification *delta = nullptr;
    bool deltaTried = false;
    // From the list, for the first download only: what lay in the temporary directory then.
    qint64 listedOnDisk;
    quint64 travel;
};
