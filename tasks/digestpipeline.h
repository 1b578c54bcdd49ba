#pragma once

#include "tasks/filedigest.h"

#include <QByteArray>
#include <QList>

#include <condition_variable>
#include <mutex>

// Takes the digest of content that passes by in pieces, like FileDigest::Stream, but on an idle thread of
// the global pool while the caller goes on producing the content: unpacking and hashing then share two
// cores instead of taking turns on one. Without an idle pool thread it hashes on the caller's thread. The
// pieces are copied into a few buffers of fixed size, so memory stays bounded whatever the content.
class DigestPipeline
{
public:
    explicit DigestPipeline(FileDigest::Sums sums = FileDigest::Md5);
    ~DigestPipeline();
    DigestPipeline(const DigestPipeline &) = delete;
    DigestPipeline &operator=(const DigestPipeline &) = delete;

    void add(QByteArrayView chunk);
    // The digest of everything added; add nothing after it.
    FileDigest result();

private:
    void passOn();
    void finish();
    void hashPassedOn(); // on the pool thread

    FileDigest::Stream digest;
    QByteArray filling;
    bool threaded = false;
    bool finished = false;

    // Between the caller and the pool thread. The standard library's primitives rather than Qt's: a
    // thread sanitizer sees what they hand over, also when the toolkit itself is not instrumented.
    std::mutex mutex;
    std::condition_variable changed;
    QList<QByteArray> full;  // in the order of the content
    QList<QByteArray> spare; // hashed buffers, for reuse
    bool noMore = false;
    bool hasherDone = false;
};
