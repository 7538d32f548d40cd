#include "ratelimiter.h"

#include <algorithm>
#include <cmath>

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

qint64 RateLimiter::msUntilToken(qint64 nowMs) const
{
    double available = tokens;
    if (lastMs >= 0 && nowMs > lastMs)
        available = std::min(capacity, tokens + (nowMs - lastMs) * refillPerMs);
    if (available >= 1.0 || refillPerMs <= 0)
        return 0;
    return static_cast<qint64>(std::ceil((1.0 - available) / refillPerMs));
}

bool RateLimiter::isFull(qint64 nowMs) const
{
    if (lastMs < 0)
        return true;
    return tokens + (nowMs > lastMs ? (nowMs - lastMs) * refillPerMs : 0.0) >= capacity;
}
