#pragma once

#include <QHostAddress>
#include <QVector>

// Caps the replies any one source address receives, so that requests with a forged sender cannot
// turn the server into a flood against that address: a 2-byte request may earn up to 4095 bytes.
//
// Addresses share a fixed table of buckets by hash: memory and work per request stay constant
// however many senders there are; a collision only makes two senders share one budget.
class ReplyRateLimiter
{
public:
    // `repliesPerSecond` per address, at most that many in a burst; 0 lets every reply through.
    explicit ReplyRateLimiter(int repliesPerSecond = 0);

    // Whether a reply to `sender` may go out at `nowMs` (a monotonic clock), counting it if so.
    bool allow(const QHostAddress &sender, qint64 nowMs);

private:
    int repliesPerSecond;
    // Per bucket the time, in microseconds, at which its budget is full again.
    QVector<qint64> fullAgainAt;
    size_t seed;
};
