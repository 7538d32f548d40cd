#include "loginthrottle.h"

#include <algorithm>

namespace
{

// Bounds the memory one flood of made-up names can take.
constexpr int maxEntries = 100000;
constexpr int maxAddressesPerAccount = 1000;
constexpr int pruneEvery = 1024;

} // namespace

qint64 LoginThrottle::delayMs(const Streak &streak)
{
    if (streak.failures < freeFailures)
        return 0;
    const int doublings = std::min(streak.failures - freeFailures, 20);
    return std::min(maxDelayMs, firstDelayMs << doublings);
}

qint64 LoginThrottle::waitMs(const QString &account, const QString &address, qint64 nowMs) const
{
    const auto byAccount = accounts.constFind(account);
    if (byAccount == accounts.constEnd() || !byAccount->addresses.contains(address))
        return 0;
    return std::max<qint64>(0, byAccount->lastMs + delayMs(*byAccount) - nowMs);
}

void LoginThrottle::recordFailure(const QString &account, const QString &address, qint64 nowMs)
{
    if (++recordsSincePrune >= pruneEvery || accounts.size() >= maxEntries)
        prune(nowMs);
    Streak &byAccount = accounts[account];
    ++byAccount.failures;
    byAccount.lastMs = nowMs;
    if (byAccount.addresses.size() < maxAddressesPerAccount)
        byAccount.addresses.insert(address);
}

void LoginThrottle::recordSuccess(const QString &account, const QString &address)
{
    const auto byAccount = accounts.find(account);
    if (byAccount != accounts.end())
        byAccount->addresses.remove(address);
}

std::optional<LoginFailures> LoginThrottle::failures(const QString &account) const
{
    const auto byAccount = accounts.constFind(account);
    if (byAccount == accounts.constEnd())
        return std::nullopt;
    return LoginFailures { byAccount->failures, byAccount->lastMs, byAccount->addresses.values() };
}

void LoginThrottle::merge(const QString &account, const LoginFailures &failures, qint64 nowMs)
{
    if (nowMs - failures.lastMs >= forgetAfterMs)
        return;
    const auto known = accounts.constFind(account);
    if (known != accounts.constEnd() && known->lastMs >= failures.lastMs)
        return;
    if (++recordsSincePrune >= pruneEvery || accounts.size() >= maxEntries)
        prune(nowMs);
    Streak &byAccount = accounts[account];
    byAccount.failures = failures.failures;
    byAccount.lastMs = failures.lastMs;
    for (const QString &address : failures.addresses.mid(0, maxAddressesPerAccount))
        byAccount.addresses.insert(address);
}

void LoginThrottle::prune(qint64 nowMs)
{
    recordsSincePrune = 0;
    for (auto it = accounts.begin(); it != accounts.end();) {
        if (nowMs - it->lastMs >= forgetAfterMs)
            it = accounts.erase(it);
        else
            ++it;
    }
    // Still full: a flood of names, none of which had many tries yet.
    for (auto it = accounts.begin(); it != accounts.end() && accounts.size() >= maxEntries;) {
        if (it->failures < freeFailures)
            it = accounts.erase(it);
        else
            ++it;
    }
}
