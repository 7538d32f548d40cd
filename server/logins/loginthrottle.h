#pragma once

#include "store.h"

#include <QHash>
#include <QSet>
#include <QString>

// Slows down password guessing per account, as a pure function of the failures reported to it
// and the times passed in. After a few free failures every further one doubles a wait (1 s,
// 2 s, 4 s, ... up to 5 minutes) during which logins to the account are refused unchecked. The
// wait holds only for the addresses that failed on the account, so that an attacker's guesses
// never lock its owner out elsewhere, and failures on other accounts never lock out anyone at
// the same address: people behind one office router share it. Unknown accounts are treated
// exactly like known ones.
class LoginThrottle
{
public:
    static constexpr int freeFailures = 5;
    static constexpr qint64 firstDelayMs = 1000;
    static constexpr qint64 maxDelayMs = 5 * 60 * 1000;

    // Milliseconds from `nowMs` until a password for `account` from `address` may be checked;
    // 0 when it may be now.
    qint64 waitMs(const QString &account, const QString &address, qint64 nowMs) const;
    void recordFailure(const QString &account, const QString &address, qint64 nowMs);
    // The address proved it knows the password; it is no suspect of this account any more.
    void recordSuccess(const QString &account, const QString &address);
    // The account's streak, to share with the other servers; none when there is none.
    std::optional<LoginFailures> failures(const QString &account) const;
    // Takes in what another server kept of the account's streak, when it is the newer.
    void merge(const QString &account, const LoginFailures &failures, qint64 nowMs);
    // A streak quiet this long is forgotten.
    static constexpr qint64 forgetAfterMs = 60 * 60 * 1000;

private:
    struct Streak {
        int failures = 0;
        qint64 lastMs = 0;
        // The addresses that failed on the account.
        QSet<QString> addresses;
    };
    static qint64 delayMs(const Streak &streak);
    void prune(qint64 nowMs);

    QHash<QString, Streak> accounts;
    int recordsSincePrune = 0;
};
