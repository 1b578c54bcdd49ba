#include "tasks/digestpipeline.h"

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
    std::unique_lock locker(mutex);
    changed.wait(locker, [this] { return full.size() < BuffersInFlight; });
    full.append(std::move(filling));
    filling = spare.isEmpty() ? QByteArray() : spare.takeLast();
    filling.resize(0); // keeps the capacity of a reused buffer
    if (filling.capacity() < BufferSize)
        filling.reserve(BufferSize);
    changed.notify_all();
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
    std::unique_lock locker(mutex);
    noMore = true;
    changed.notify_all();
    changed.wait(locker, [this] { return hasherDone; });
}

void DigestPipeline::hashPassedOn()
{
    std::unique_lock locker(mutex);
    for (;;) {
        changed.wait(locker, [this] { return !full.isEmpty() || noMore; });
        if (full.isEmpty())
            break;
        QByteArray buffer = full.takeFirst();
        changed.notify_all();
        locker.unlock();
        digest.add(buffer);
        locker.lock();
        spare.append(std::move(buffer));
    }
    hasherDone = true;
    changed.notify_all();
}
