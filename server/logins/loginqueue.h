#pragma once

#include "credentials.h"
#include "ratelimiter.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

// Password checks, hashed on a pool of threads in a fair order: each address waits in a line of
// its own, has at most one check hashing at a time, and starts a few checks per second at most.
// The next check is the one for the account tried least so far, then from the address served
// least, so that a real user's login waits only for the checks already hashing, however many
// strangers guess another account. Checks beyond an address's pace wait for their turn rather
// than being refused: many people share one office router. The lines are bounded in total; the
// check of a connection that has gone is dropped, or its result when it is hashing. One check
// costs a core some 40 ms and 19 MiB, so without this a few hundred connections that send a login
// and hang up would hold up every other login for seconds. Hashing one check per core at most
// also bounds the memory the checks take: cores x 19 MiB (a new hash made after a check runs in
// the same turn, after it).
class LoginQueue : public QObject
{
    Q_OBJECT

public:
    struct Check {
        quint64 connectionId = 0;
        QString address;
        // The account as the failure throttle names it; fairness between accounts uses it.
        QString account;
        QString password;
        QString storedHash;
        // A token login: never throttled, but paced like a password.
        bool byToken = false;
        // A password change: once `password` matches, this is hashed into `newHash`.
        QString newPassword;
        // Carried through to the result.
        QString userId;
        QString username;
        bool disabled = false;
        // Set by the check when it matched: the hash to store in place of `storedHash` (the
        // new password's, or the same password's with today's limits), else empty.
        QString newHash;
    };

    // Checks waiting in all lines together: far more than honest clients ever queue, and few
    // enough that the last waits seconds, not minutes.
    static constexpr int defaultMaxQueued = 1024;
    // Checks one address may start: a burst for an office arriving at once, then a steady pace
    // that keeps one address to a share of one core's hashing.
    static constexpr int paceBurst = 10;
    static constexpr int pacePerSecond = 5;

    // `clock` gives milliseconds on any monotonic scale; it paces the addresses, unless
    // `pacePerAddress` is off (where every client comes through one proxy's address).
    // New hashes are made with `limits`.
    LoginQueue(std::function<qint64()> clock,
        int maxQueued,
        bool pacePerAddress,
        const credentials::Limits &limits,
        QObject *parent = nullptr);
    ~LoginQueue() override;

    // Asked as a check's turn comes; a check it refuses is reported through `skipped`, unhashed.
    // Checks that waited may have become pointless meanwhile (their address is throttled now).
    void setGate(std::function<bool(const Check &)> gate);
    // Queues a check; false, and nothing queued, when all lines together are full.
    bool enqueue(const Check &check);
    // Drops the check of a connection that has gone: a waiting one at once, one hashing within a
    // few milliseconds. Returns it, when there was one; nothing is reported for it any more.
    std::optional<Check> cancel(quint64 connectionId);

signals:
    // On the queue's thread.
    void checked(const LoginQueue::Check &check, bool ok);
    void skipped(const LoginQueue::Check &check);

private:
    void dispatch();
    void finish(const Check &check, bool ok);
    void release(const Check &check);
    // Forgets the paces of addresses that have nothing waiting and a full bucket again.
    void prunePaces(qint64 nowMs);

    std::function<qint64()> clock;
    int maxQueued;
    credentials::Limits limits;
    bool pacePerAddress;
    std::function<bool(const Check &)> gate;
    QHash<QString, std::deque<Check>> lines;
    // Addresses with waiting checks, in the order of their next turn.
    QStringList turns;
    QHash<QString, int> hashing;
    // Checks hashed per address and per account while they keep coming.
    QHash<QString, int> served;
    QHash<QString, int> servedAccounts;
    // Checks waiting or hashing per account, to forget an account's share once it has none.
    QHash<QString, int> pendingAccounts;
    QHash<QString, RateLimiter> paces;
    // Wakes the queue when the next address may start a check.
    QTimer paceTimer;
    int enqueuedSincePrune = 0;
    struct Running {
        Check check;
        std::shared_ptr<std::atomic_bool> cancelled;
    };
    // The checks hashing, by connection.
    QHash<quint64, Running> running;
    int hashingTotal = 0;
    int queuedTotal = 0;
    QThreadPool pool;
};
