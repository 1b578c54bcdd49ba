#include "tasks/digestpipeline.h"

#include <QMutexLocker>
#include <QThreadPool>

namespace {
// Large enough that handing a buffer over costs nothing next to hashing it, few enough to stay small.
constexpr qsizetype BufferSize = 256 * 1024;
constexpr qsizetype BuffersInFlight = 4;
} // namespace

DigestPipeline::DigestPipeline(FileDigest::Sums sums) : digest(sums)
{
    threaded = QThreadPool::globalInstance()->tryStart([this] { hashPassedOn(); });
    if (threaded)
        filling.reserve(BufferSize);
}

DigestPipeline::~DigestPipeline()
{
    finish();
}

void DigestPipeline::add(QByteArrayView chunk)
{
    Q_ASSERT(!finished);
    if (!threaded) {
        digest.add(chunk);
        return;
    }
    while (!chunk.isEmpty()) {
        const qsizetype take = qMin(chunk.size(), BufferSize - filling.size());
        filling.append(chunk.first(take));
        chunk = chunk.sliced(take);
        if (filling.size() == BufferSize)
            passOn();
    }
}

FileDigest DigestPipeline::result()
{
    finish();
    return digest.result();
}

void DigestPipeline::passOn()
{
    QMutexLocker locker(&mutex);
    while (full.size() >= BuffersInFlight)
        changed.wait(&mutex);
    full.append(std::move(filling));
    filling = spare.isEmpty() ? QByteArray() : spare.takeLast();
    filling.resize(0); // keeps the capacity of a reused buffer
    if (filling.capacity() < BufferSize)
        filling.reserve(BufferSize);
    changed.wakeAll();
}

void DigestPipeline::finish()
{
    if (finished)
        return;
    finished = true;
    if (!threaded)
        return;
    if (!filling.isEmpty())
        passOn();
    {
        QMutexLocker locker(&mutex);
        noMore = true;
        changed.wakeAll();
    }
    hasherDone.acquire();
}

void DigestPipeline::hashPassedOn()
{
    QMutexLocker locker(&mutex);
    for (;;) {
        while (full.isEmpty() && !noMore)
            changed.wait(&mutex);
        if (full.isEmpty())
            break;
        QByteArray buffer = full.takeFirst();
        changed.wakeAll();
        locker.unlock();
        digest.add(buffer);
        locker.relock();
        spare.append(std::move(buffer));
    }
    locker.unlock();
    hasherDone.release();
}
