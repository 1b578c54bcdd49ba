#pragma once

#include "net/ftpsiteaccessdata.h"
#include "tasks/filedigest.h"
#include "tasks/taskspecification.h"

#include <QFile>
#include <QSet>

#include <chrono>

class DownloadDigest;
class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;

// Download and verification, above the tasks and the configuration: Mirrors hands out the mirrors of
// mirrors.ini and drops those that fail; DownloadTaskSpecification fetches one file over HTTP from them;
// DownloadFileTaskSpecification pairs it with a CheckSignatureTaskSpecification (MD5 sum, or the RSA
// signature against the key in crypt) and fetches again elsewhere after a failed check;
// DownloadFileListTaskSpecification runs those for a whole list of FileDownloadSpecification records,
// a configured number at once. Banner asks the update server for the banner on its own.
//
// Fetches one remote file into one local file. Each attempt draws a mirror from Mirrors and streams the
// body to disk in large chunks through a bounded receive buffer; any failure of the mirror (wrong status,
// network error, time-out, more data than expected) deletes the partial file, charges the mirror and starts
// over on a fresh draw, from the first byte (a resumed task goes on from where the file stops, below). The
// task gives up (errorCancel) when no mirror is left, and at once, with an error, when the local file cannot
// be written (a full disk). While every mirror slot is taken it waits, without a request, for any request
// of the shared manager to end.
//
// With setRange() the task fetches one byte range of the remote file into the same bytes of a local file
// that others may be filling at other offsets: the file is neither truncated nor deleted, a failed
// attempt fetches the range again, and a mirror that cannot serve the range ends the task with
// getRangeResult() saying why, as no fault of that mirror.
//
// With setResume() a partial local file is continued from its size on disk (Range: bytes=N-), at the first
// attempt and after every failed one, whichever mirror comes next. A mirror that ignores the range sends
// the whole file, which is then taken from its first byte; one that refuses it, or names other bytes,
// shows that the partial file is no prefix of this file: it goes, and the file is fetched whole. None of
// these is a fault of the mirror. The partial file survives failed attempts and cancellation; only a
// full disk removes it.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // Large writes keep the kernel's per-call cost small; the bounded buffer keeps a fast mirror from
    // piling the file up in memory while the event loop is busy elsewhere.
    static constexpr qint64 ChunkSize = 256 * 1024;
    static constexpr qint64 ReadBufferSize = 1024 * 1024;
    // The most of an error page, and the longest wait for it, that is read and thrown away rather than
    // aborted.
    static constexpr qint64 MaxErrorPageSize = 64 * 1024;
    static constexpr std::chrono::milliseconds ErrorPageTime{500};

    // What came of a range request, once the task has finished.
    enum class RangeResult {
        NotRequested, // a whole-file download
        Served,       // 206 with exactly the asked bytes of a file of the expected size
        Ignored,      // 200: the mirror sends whole files only
        NotSatisfiable, // 416, or a 206 naming other bytes or another file size
    };

    // expectedSize: the file's size in bytes, or -1 when only the server can tell.
    DownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors, const QString &remotePath,
                              const QString &localPath, qint64 expectedSize, QObject *parent,
                              double parentProgressRange);

    void execute() override;
    void reset() override;
    void timeTick(quint64 &downloadDone, quint64 &downloadTotal, quint64 &speed, bool &downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // A ceiling for every attempt, on top of the expected size: an answer that announces or sends more
    // fails that mirror's attempt, and the mirror is dropped. Meant for files whose size nobody gives
    // (the product ini and its signature), which a mirror could otherwise make endless. -1: none.
    void setSizeLimit(qint64 limit) { sizeLimit = limit; }

    // Fetches only bytes [offset, offset + length) into the same bytes of the local file. Needs the expected
    // size (a 206 must name it) and a range inside it; call before execute().
    void setRange(qint64 offset, qint64 length);
    RangeResult getRangeResult() const { return rangeResult; }

    // Continue a partial local file; needs the expected size (without it every attempt starts from byte 0).
    void setResume(bool on) { resume = on; }
    // The size of the partial file as the caller has just seen it, which the first attempt takes instead
    // of looking again; later attempts look.
    void setSizeOnDisk(qint64 bytes) { knownSizeOnDisk = bytes; }
    // After success: the file begins with bytes that were on disk before the reply that completed it, so
    // no single reply vouches for all of it.
    bool wasContinued() const { return resume && rangeOffset > 0; }

    // For a file that a mirror may lack without being at fault (the release manifest): a 404 then neither
    // charges nor drops the mirror. The first 404 ends the task finished and isAbsent(), or, with
    // askEveryMirror, the first 404 after every mirror still listed has answered so. No local file is left.
    void setNotFoundMeansAbsent(bool askEveryMirror);
    // For a file that helps but is not needed (a block map): whatever fails in the first attempt (a
    // status but 200, a network error, a time-out, more than the size limit, no mirror at all) ends the
    // task finished and isAbsent(), and charges no mirror. Only a local write failure still cancels.
    void setOptional() { optional = true; }
    bool isAbsent() const { return absent; }
    // SHA-256 besides the MD5 sum, from the same pass over the received bytes.
    void setDigestSums(FileDigest::Sums sums);

    // The mirror of the current attempt; after success the one that served the file, so that a caller
    // that rejects the file can still name it.
    const FTPSiteAccessData &getMirror() const { return mirror; }
    qint64 getReceived() const { return received; }
    qint64 getExpectedSize() const { return expectedSize; }
    // Of the file's bytes (a continued file's prefix on disk included), once the download has finished.
    FileDigest getReceivedDigest() const;

protected:
    virtual void downloadFinished();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply *otherReply);
    void onDigestDrained();
    void onDigestFinished();

private:
    void startDownload();
    bool readData();
    void drainReply();
    bool errorRetry(const QString &text);
    void rejectOversized();
    void failLocally(const QString &text);
    void notFound();
    void resetDownload();
    void dropReply();
    void dropMirror();
    void releaseSlot();
    void stopWaitingForSlot();
    bool isRangeRequest() const { return rangeLength >= 0; }
    qint64 fetchLength() const { return isRangeRequest() ? rangeLength : expectedSize; }
    void prepareAttempt();
    bool openFile();
    void takeWholeReply();
    void fetchWholeInstead(const QString &text);
    bool rangeAnswerFits() const;
    void endWithoutRange(RangeResult result, const QString &text);

    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    QNetworkReply *reply = nullptr;
    // The reply has ended; what it still holds is read once the digest has caught up.
    bool replyDone = false;
    int idleTicks = 0;
    QString remotePath;
    QFile file;
    qint64 lastReceived = 0;
    qint64 expectedSize;
    qint64 initialExpectedSize;
    qint64 received = 0; // bytes written to file in the current attempt
    qint64 sizeLimit = -1;
    qint64 rangeOffset = 0;
    qint64 rangeLength = -1; // -1: the whole file
    RangeResult rangeResult = RangeResult::NotRequested;
    bool resume = false;
    qint64 knownSizeOnDisk = -1;
    FTPSiteAccessData mirror;
    // Whether mirror still occupies one of its slots. The name outlives the slot after success, and
    // giving a slot back twice would let the mirror serve more downloads than it allows.
    bool slotHeld = false;
    DownloadDigest *digest;
    enum class NotFound { MirrorError, AbsentAtFirst, AbsentOnEveryMirror };
    NotFound notFoundMeans = NotFound::MirrorError;
    QSet<QString> lacking; // mirrors that answered 404, while notFoundMeans is not MirrorError
    bool absent = false;
    bool optional = false;
};
