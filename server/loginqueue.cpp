#include "loginqueue.h"

#include "credentials.h"

#include <algorithm>

LoginQueue::LoginQueue(int maxQueuedPerAddress, QObject *parent)
    : QObject(parent)
    , maxQueuedPerAddress(maxQueuedPerAddress)
{
}

LoginQueue::~LoginQueue()
{
    // Results are posted back to this object; none may arrive once it is gone.
    pool.waitForDone();
}

bool LoginQueue::enqueue(const Check &check)
{
    std::deque<Check> &line = lines[check.address];
    if (queuedTotal >= maxQueued
        || (maxQueuedPerAddress > 0 && int(line.size()) >= maxQueuedPerAddress)) {
        if (line.empty())
            lines.remove(check.address);
        return false;
    }
    if (line.empty())
        turns.append(check.address);
    line.push_back(check);
    ++queuedTotal;
    dispatch();
    return true;
}

void LoginQueue::cancel(quint64 connectionId)
{
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        std::deque<Check> &line = it.value();
        const auto found = std::find_if(line.begin(), line.end(), [connectionId](const Check &c) {
            return c.connectionId == connectionId;
        });
        if (found == line.end())
            continue;
        line.erase(found);
        --queuedTotal;
        if (line.empty()) {
            turns.removeOne(it.key());
            lines.erase(it);
        }
        return;
    }
}

void LoginQueue::dispatch()
{
    while (hashingTotal < pool.maxThreadCount()) {
        // The line served least so far goes first, so that a newcomer does not wait behind a
        // round of every address that keeps guessing; equal lines take turns.
        auto next = turns.end();
        for (auto it = turns.begin(); it != turns.end(); ++it) {
            if (!hashing.contains(*it)
                && (next == turns.end() || served.value(*it) < served.value(*next)))
                next = it;
        }
        if (next == turns.end())
            return;
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
        ++hashing[address];
        ++served[address];
        ++hashingTotal;
        pool.start([this, check] {
            const bool ok = credentials::verifyPassword(check.password, check.storedHash);
            QMetaObject::invokeMethod(
                this, [this, check, ok] { finish(check, ok); }, Qt::QueuedConnection);
        });
    }
}

void LoginQueue::finish(const Check &check, bool ok)
{
    if (--hashing[check.address] <= 0) {
        hashing.remove(check.address);
        // An address that stops sending logins starts afresh.
        if (!lines.contains(check.address))
            served.remove(check.address);
    }
    --hashingTotal;
    emit checked(check, ok);
    dispatch();
}
