#pragma once

#include "tasks/filedigest.h"

#include <QByteArray>
#include <QObject>

#include <memory>

// The MD5 sum of a download, fed with the bytes as they arrive, so that the check after the download
// compares a known sum instead of reading the file once more. Large downloads are hashed on the thread
// pool: the worker touches only the chunks handed to it and reports through queued signals, and the owner
// stops reading (leaving the rest to the network's bounded buffer) while more than a few chunks wait.
// Small ones are hashed at once, where a pool round trip would cost more than the hashing. A download that
// continues a partial file first hashes the bytes already on disk, on the pool as well.
class DownloadDigest : public QObject
{
    Q_OBJECT
public:
    // Bytes waiting for the worker beyond which the owner should pause.
    static constexpr qint64 MaxPending = 2 * 1024 * 1024;
    // Downloads up to this size are hashed on the calling thread.
    static constexpr qint64 InlineLimit = 8 * 1024;

    explicit DownloadDigest(QObject *parent);
    ~DownloadDigest() override;

    // Takes effect at the next restart().
    void setSums(FileDigest::Sums wanted) { sums = wanted; }
    // Forgets everything fed so far; a late report of the old worker is ignored.
    void restart(qint64 expectedSize);
    // As restart(), then the first prefixLength bytes of the file at path come before anything fed. A
    // prefix that cannot be read whole gives no digest (an empty sum), so that the check reads the file.
    void restartWithPrefix(const QString &path, qint64 prefixLength);
    void add(const QByteArray &chunk);
    bool isBackedUp() const;
    // No more data: finished() follows once everything fed is hashed, within this call when nothing is
    // left for a worker.
    void finish();
    // Of everything fed, once finished() was emitted.
    FileDigest result() const { return digest; }

signals:
    void finished();
    // The worker caught up below MaxPending.
    void drained();

public:
    // Between this object and its workers; the mutex guards everything but the hash, which belongs to the
    // one worker running (or, for inline hashing, to this object).
    struct Shared;

private:
    void onCaughtUp(quint64 workerGeneration);
    void onWorkerDone(quint64 workerGeneration);
    void startWorker();
    void completeIfDone();

    FileDigest::Sums sums = FileDigest::Md5;
    std::shared_ptr<Shared> shared;
    quint64 generation = 0;
    bool inlineHashing = true;
    bool finishRequested = false;
    bool done = false;
    FileDigest digest;
};
