#include "replyratelimiter.h"

#include <QRandomGenerator>

namespace {
constexpr int BucketCount = 4096;
}

ReplyRateLimiter::ReplyRateLimiter(int repliesPerSecond)
    : repliesPerSecond(repliesPerSecond),
      fullAgainAt(repliesPerSecond > 0 ? BucketCount : 0, 0),
      // A seed unknown to senders keeps them from choosing addresses that share a victim's bucket.
      seed(size_t(QRandomGenerator::system()->generate64()))
{
}

bool ReplyRateLimiter::allow(const QHostAddress &sender, qint64 nowMs)
{
    if (repliesPerSecond <= 0)
        return true;
    // Each reply pushes the bucket's "full again" time one interval further; a reply is refused
    // while that time lies more than a whole budget ahead.
    const qint64 now = nowMs * 1000;
    const qint64 interval = 1000000 / repliesPerSecond;
    qint64 &bucket = fullAgainAt[qHash(sender, seed) % BucketCount];
    const qint64 next = std::max(bucket, now) + interval;
    if (next - now > interval * repliesPerSecond)
        return false;
    bucket = next;
    return true;
}
