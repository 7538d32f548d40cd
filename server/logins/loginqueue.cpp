#include "loginqueue.h"

#include "credentials.h"
#include "poolthreads.h"

#include <QMetaObject>
#include <algorithm>
#include <utility>

namespace
{

constexpr int prunePacesEvery = 1024;

} // namespace

LoginQueue::LoginQueue(std::function<qint64()> clock,
    int maxQueued,
    bool pacePerAddress,
    const credentials::Limits &limits,
    QObject *parent)
    : QObject(parent)
    , clock(std::move(clock))
    , maxQueued(maxQueued)
    , limits(limits)
    , pacePerAddress(pacePerAddress)
{
    startPoolThreads(pool);
    paceTimer.setSingleShot(true);
    connect(&paceTimer, &QTimer::timeout, this, &LoginQueue::dispatch);
}

LoginQueue::~LoginQueue()
{
    for (const Running &check : qAsConst(running))
        check.cancelled->store(true);
    // Results are posted back to this object; none may arrive once it is gone.
    pool.waitForDone();
}

void LoginQueue::setGate(std::function<bool(const Check &)> newGate)
{
    gate = std::move(newGate);
}

bool LoginQueue::enqueue(const Check &check)
{
    if (queuedTotal >= maxQueued)
        return false;
    if (++enqueuedSincePrune >= prunePacesEvery)
        prunePaces(clock());
    std::deque<Check> &line = lines[check.address];
    if (line.empty())
        turns.append(check.address);
    line.push_back(check);
    ++queuedTotal;
    ++pendingAccounts[check.account];
    dispatch();
    return true;
}

std::optional<LoginQueue::Check> LoginQueue::cancel(quint64 connectionId)
{
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        std::deque<Check> &line = it.value();
        const auto found = std::find_if(line.begin(), line.end(), [connectionId](const Check &c) {
            return c.connectionId == connectionId;
        });
        if (found == line.end())
            continue;
        const Check check = *found;
        line.erase(found);
        --queuedTotal;
        if (line.empty()) {
            turns.removeOne(it.key());
            lines.erase(it);
        }
        release(check);
        return check;
    }
    const auto hashing = running.constFind(connectionId);
    if (hashing == running.constEnd() || hashing->cancelled->exchange(true))
        return std::nullopt;
    // finish() tidies up once the thread has stopped, and reports nothing.
    return hashing->check;
}

void LoginQueue::dispatch()
{
    const qint64 now = clock();
    while (hashingTotal < pool.maxThreadCount()) {
        auto next = turns.end();
        qint64 nextPaceMs = -1;
        // The account tried least goes first, then the address served least, so that neither
        // many addresses guessing one account nor many accounts guessed from one address hold
        // up a newcomer; equal lines take turns.
        const auto rank = [this](const QString &address) {
            const std::deque<Check> &line = *lines.constFind(address);
            return std::make_pair(
                servedAccounts.value(line.front().account), served.value(address));
        };
        for (auto it = turns.begin(); it != turns.end(); ++it) {
            if (hashing.contains(*it))
                continue;
            const auto pace = paces.constFind(*it);
            const qint64 waitMs = pace == paces.constEnd() ? 0 : pace->msUntilToken(now);
            if (waitMs > 0) {
                nextPaceMs = nextPaceMs < 0 ? waitMs : std::min(nextPaceMs, waitMs);
                continue;
            }
            if (next == turns.end() || rank(*it) < rank(*next))
                next = it;
        }
        if (next == turns.end()) {
            if (nextPaceMs > 0 && (!paceTimer.isActive() || paceTimer.remainingTime() > nextPaceMs))
                paceTimer.start(int(std::min<qint64>(nextPaceMs, 1000)));
            return;
        }
        const QString address = *next;
        turns.erase(next);
        std::deque<Check> &line = lines[address];
        const Check check = line.front();
        line.pop_front();
        --queuedTotal;
        if (line.empty())
            lines.remove(address);
        else
            turns.append(address);
        if (gate && !gate(check)) {
            release(check);
            // Later, so that no answer reaches a connection before its login counts as pending.
            QMetaObject::invokeMethod(
                this, [this, check] { emit skipped(check); }, Qt::QueuedConnection);
            continue;
        }
        if (pacePerAddress) {
            auto pace = paces.find(address);
            if (pace == paces.end())
                pace = paces.insert(address, RateLimiter(paceBurst, pacePerSecond));
            pace->tryTake(now);
        }
        ++hashing[address];
        ++served[address];
        ++servedAccounts[check.account];
        ++hashingTotal;
        auto cancelled = std::make_shared<std::atomic_bool>(false);
        running.insert(check.connectionId, { check, cancelled });
        // A copy of its own, which the check fills in.
        pool.start([this, check = Check(check), cancelled]() mutable {
            const bool ok =
                credentials::verifyPassword(check.password, check.storedHash, cancelled.get());
            if (ok && !cancelled->load()) {
                if (!check.newPassword.isEmpty())
                    check.newHash = credentials::hashPassword(check.newPassword, limits);
                else if (credentials::needsRehash(check.storedHash, limits))
                    check.newHash = credentials::hashPassword(check.password, limits);
            }
            QMetaObject::invokeMethod(
                this, [this, check, ok] { finish(check, ok); }, Qt::QueuedConnection);
        });
    }
}

void LoginQueue::finish(const Check &check, bool ok)
{
    const std::shared_ptr<std::atomic_bool> cancelled = running.take(check.connectionId).cancelled;
    if (--hashing[check.address] <= 0) {
        hashing.remove(check.address);
        // An address that stops sending logins starts afresh.
        if (!lines.contains(check.address))
            served.remove(check.address);
    }
    --hashingTotal;
    release(check);
    if (!cancelled || !cancelled->load())
        emit checked(check, ok);
    dispatch();
}

void LoginQueue::release(const Check &check)
{
    const auto pending = pendingAccounts.find(check.account);
    if (pending == pendingAccounts.end() || --pending.value() > 0)
        return;
    pendingAccounts.erase(pending);
    // An account nobody tries any more starts afresh.
    servedAccounts.remove(check.account);
}

void LoginQueue::prunePaces(qint64 nowMs)
{
    enqueuedSincePrune = 0;
    for (auto it = paces.begin(); it != paces.end();) {
        if (!lines.contains(it.key()) && !hashing.contains(it.key()) && it->isFull(nowMs))
            it = paces.erase(it);
        else
            ++it;
    }
}
