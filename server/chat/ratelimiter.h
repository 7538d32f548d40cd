#pragma once

#include <QtGlobal>

// A token bucket: `burst` requests at once, then `perSecond` on average. Time is passed in, so
// the limiter is a pure function of the calls made to it.
class RateLimiter
{
public:
    RateLimiter(int burst, int perSecond);

    // Takes one token at time `nowMs` (milliseconds on any monotonic clock); false when empty.
    bool tryTake(qint64 nowMs);
    // Milliseconds from `nowMs` until a token is there; 0 when one is there now.
    qint64 msUntilToken(qint64 nowMs) const;
    // Whether the bucket has refilled to its burst by `nowMs`, as if never used.
    bool isFull(qint64 nowMs) const;

private:
    double capacity;
    double refillPerMs;
    double tokens;
    qint64 lastMs = -1;
};
