#include "loginthrottle.h"

#include <algorithm>

namespace
{

// A streak quiet this long is forgotten.
constexpr qint64 forgetAfterMs = 60 * 60 * 1000;
// Bounds the memory one flood of made-up names or addresses can take.
constexpr int maxEntries = 100000;
constexpr int maxAddressesPerAccount = 1000;
constexpr int pruneEvery = 1024;

} // namespace

bool LoginThrottle::waiting(const Streak &streak, qint64 nowMs)
{
    if (streak.failures < freeFailures)
        return false;
    const int doublings = std::min(streak.failures - freeFailures, 20);
    const qint64 delay = std::min(maxDelayMs, firstDelayMs << doublings);
    return nowMs < streak.lastMs + delay;
}

bool LoginThrottle::allows(const QString &account, const QString &address, qint64 nowMs) const
{
    const auto byAddress = addresses.constFind(address);
    if (byAddress != addresses.constEnd() && waiting(*byAddress, nowMs))
        return false;
    const auto byAccount = accounts.constFind(account);
    return byAccount == accounts.constEnd() || !byAccount->addresses.contains(address)
        || !waiting(*byAccount, nowMs);
}

void LoginThrottle::recordFailure(const QString &account, const QString &address, qint64 nowMs)
{
    if (++recordsSincePrune >= pruneEvery || accounts.size() >= maxEntries
        || addresses.size() >= maxEntries)
        prune(nowMs);
    Streak &byAccount = accounts[account];
    ++byAccount.failures;
    byAccount.lastMs = nowMs;
    if (byAccount.addresses.size() < maxAddressesPerAccount)
        byAccount.addresses.insert(address);
    Streak &byAddress = addresses[address];
    ++byAddress.failures;
    byAddress.lastMs = nowMs;
}

void LoginThrottle::recordSuccess(const QString &account, const QString &address)
{
    const auto byAccount = accounts.find(account);
    if (byAccount != accounts.end())
        byAccount->addresses.remove(address);
}

void LoginThrottle::prune(qint64 nowMs)
{
    recordsSincePrune = 0;
    for (QHash<QString, Streak> *table : { &accounts, &addresses }) {
        for (auto it = table->begin(); it != table->end();) {
            if (nowMs - it->lastMs >= forgetAfterMs)
                it = table->erase(it);
            else
                ++it;
        }
        // Still full: a flood of names or addresses, none of which had many tries yet.
        for (auto it = table->begin(); it != table->end() && table->size() >= maxEntries;) {
            if (it->failures < freeFailures)
                it = table->erase(it);
            else
                ++it;
        }
    }
}
