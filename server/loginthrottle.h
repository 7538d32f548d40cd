#pragma once

#include <QHash>
#include <QSet>
#include <QString>

// Slows down password guessing, per account and per address, as a pure function of the
// failures reported to it and the times passed in. After a few free failures every further one
// doubles a wait (1 s, 2 s, 4 s, ... up to 5 minutes) during which logins are refused unchecked.
// An account's wait holds only for the addresses that failed on it, so that an attacker's
// guesses never lock its owner out elsewhere; an address's wait holds for every account.
// Unknown accounts are treated exactly like known ones.
class LoginThrottle
{
public:
    static constexpr int freeFailures = 5;
    static constexpr qint64 firstDelayMs = 1000;
    static constexpr qint64 maxDelayMs = 5 * 60 * 1000;

    // Whether a password for `account` from `address` may be checked at `nowMs`.
    bool allows(const QString &account, const QString &address, qint64 nowMs) const;
    void recordFailure(const QString &account, const QString &address, qint64 nowMs);
    // The address proved it knows the password; it is no suspect of this account any more.
    void recordSuccess(const QString &account, const QString &address);

private:
    struct Streak {
        int failures = 0;
        qint64 lastMs = 0;
        // For an account: the addresses that failed on it.
        QSet<QString> addresses;
    };
    static bool waiting(const Streak &streak, qint64 nowMs);
    void prune(qint64 nowMs);

    QHash<QString, Streak> accounts;
    QHash<QString, Streak> addresses;
    int recordsSincePrune = 0;
};
