#include "net/downloaddigest.h"

#include "tasks/asyncfunc.h"
#include "tasks/asyncrun.h"

#include <QFile>
#include <QMutex>
#include <QThreadPool>

#include <atomic>
#include <deque>

struct DownloadDigest::Shared
{
    explicit Shared(FileDigest::Sums sums) : stream(sums) {}

    QMutex mutex;
    std::deque<QByteArray> queue;
    qint64 pending = 0;
    bool workerActive = false;
    bool ownerWaiting = false;
    FileDigest::Stream stream;
    // Read by the worker before the queue; the flags let the owner drop a worker that is still reading.
    QString prefixPath;
    qint64 prefixLength = 0;
    bool prefixFailed = false;
    std::atomic<bool> abandoned{false};
};

namespace {

// Hashes the queued chunks in order until the queue is empty, then ends.
class DigestDrainFunc : public ASyncFunc
{
    Q_OBJECT
public:
    DigestDrainFunc(std::shared_ptr<DownloadDigest::Shared> shared, quint64 generation)
        : shared(std::move(shared)), generation(generation)
    {
    }

    bool run() override
    {
        // Once: a later worker of the same download finds the prefix done.
        if (shared->prefixLength > 0) {
            shared->prefixFailed = !hashPrefix();
            shared->prefixLength = 0;
        }
        for (;;) {
            QByteArray chunk;
            {
                QMutexLocker lock(&shared->mutex);
                if (shared->queue.empty()) {
                    shared->workerActive = false;
                    break;
                }
                chunk = std::move(shared->queue.front());
                shared->queue.pop_front();
            }
            shared->stream.add(chunk);
            bool wake = false;
            {
                QMutexLocker lock(&shared->mutex);
                shared->pending -= chunk.size();
                if (shared->ownerWaiting && shared->pending <= DownloadDigest::MaxPending / 2) {
                    shared->ownerWaiting = false;
                    wake = true;
                }
            }
            if (wake)
                emit caughtUp(generation);
        }
        emit drainDone(generation);
        return true;
    }

private:
    // Exactly prefixLength bytes, in pieces as large as the download's, so that memory stays bounded.
    bool hashPrefix()
    {
        QFile file(shared->prefixPath);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QByteArray buffer(qMin(shared->prefixLength, DownloadDigest::MaxPending / 2), Qt::Uninitialized);
        for (qint64 left = shared->prefixLength; left > 0;) {
            if (shared->abandoned)
                return false;
            const qint64 count = file.read(buffer.data(), qMin(left, qint64(buffer.size())));
            if (count <= 0)
                return false;
            shared->stream.add(QByteArrayView(buffer.constData(), count));
            left -= count;
        }
        return true;
    }

signals:
    void caughtUp(quint64 generation);
    void drainDone(quint64 generation);

private:
    const std::shared_ptr<DownloadDigest::Shared> shared;
    const quint64 generation;
};

} // namespace

DownloadDigest::DownloadDigest(QObject *parent) : QObject(parent), shared(std::make_shared<Shared>(sums))
{
}

DownloadDigest::~DownloadDigest()
{
    shared->abandoned = true;
}

void DownloadDigest::restart(qint64 expectedSize)
{
    // A worker of the old attempt keeps its own state alive and reports under the old generation.
    shared->abandoned = true;
    shared = std::make_shared<Shared>(sums);
    ++generation;
    inlineHashing = expectedSize >= 0 && expectedSize <= InlineLimit;
    finishRequested = false;
    done = false;
    digest = FileDigest();
}

void DownloadDigest::restartWithPrefix(const QString &path, qint64 prefixLength)
{
    restart(-1);
    shared->prefixPath = path;
    shared->prefixLength = prefixLength;
    shared->workerActive = true;
    startWorker();
}

void DownloadDigest::add(const QByteArray &chunk)
{
    if (inlineHashing) {
        shared->stream.add(chunk);
        return;
    }
    bool start = false;
    {
        QMutexLocker lock(&shared->mutex);
        shared->queue.push_back(chunk);
        shared->pending += chunk.size();
        if (!shared->workerActive) {
            shared->workerActive = true;
            start = true;
        }
    }
    if (start)
        startWorker();
}

bool DownloadDigest::isBackedUp() const
{
    if (inlineHashing)
        return false;
    QMutexLocker lock(&shared->mutex);
    if (shared->pending <= MaxPending)
        return false;
    shared->ownerWaiting = true;
    return true;
}

void DownloadDigest::finish()
{
    finishRequested = true;
    completeIfDone();
}

void DownloadDigest::startWorker()
{
    auto *func = new DigestDrainFunc(shared, generation);
    connect(func, &DigestDrainFunc::caughtUp, this, &DownloadDigest::onCaughtUp, Qt::QueuedConnection);
    connect(func, &DigestDrainFunc::drainDone, this, &DownloadDigest::onWorkerDone, Qt::QueuedConnection);
    QThreadPool::globalInstance()->start(new ASyncRun(func));
}

void DownloadDigest::onCaughtUp(quint64 workerGeneration)
{
    if (workerGeneration == generation)
        emit drained();
}

void DownloadDigest::onWorkerDone(quint64 workerGeneration)
{
    if (workerGeneration == generation)
        completeIfDone();
}

void DownloadDigest::completeIfDone()
{
    if (!finishRequested || done)
        return;
    {
        QMutexLocker lock(&shared->mutex);
        // An idle worker has emptied the queue, and the hash is this object's again.
        if (shared->workerActive)
            return;
    }
    digest = shared->prefixFailed ? FileDigest() : shared->stream.result();
    done = true;
    emit finished();
}

#include "downloaddigest.moc"
