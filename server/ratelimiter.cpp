#include "ratelimiter.h"

#include <algorithm>

RateLimiter::RateLimiter(int burst, int perSecond)
    : capacity(burst)
    , refillPerMs(perSecond / 1000.0)
    , tokens(burst)
{
}

bool RateLimiter::tryTake(qint64 nowMs)
{
    if (lastMs >= 0 && nowMs > lastMs)
        tokens = std::min(capacity, tokens + (nowMs - lastMs) * refillPerMs);
    if (lastMs < 0 || nowMs > lastMs)
        lastMs = nowMs;
    if (tokens < 1.0)
        return false;
    tokens -= 1.0;
    return true;
}
