#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <deque>

// Password checks, hashed on a pool of threads in a fair order: each address waits in a line of
// its own, the line served least goes next, and one address has at most one check hashing at a
// time. The lines are bounded in total and per address, and the check of a connection that has gone
// is dropped before it is hashed. One hash costs a core a fifth of a second, so without this a few
// hundred connections that send a login and hang up would hold up every other login for
// a minute.
class LoginQueue : public QObject
{
    Q_OBJECT

public:
    struct Check {
        quint64 connectionId = 0;
        QString address;
        QString password;
        QString storedHash;
        // Carried through to the result.
        QString userId;
        QString username;
    };

    // Checks waiting in all lines together: far more than honest clients ever queue, and few
    // enough that the last waits seconds, not minutes.
    static constexpr int maxQueued = 1024;

    // `maxQueuedPerAddress` 0 leaves only the total bound.
    explicit LoginQueue(int maxQueuedPerAddress, QObject *parent = nullptr);
    ~LoginQueue() override;

    // Queues a check; false, and nothing queued, when the line of its address or all lines
    // together are full.
    bool enqueue(const Check &check);
    // Drops the waiting check of a connection; one already hashing still reports.
    void cancel(quint64 connectionId);

signals:
    // On the queue's thread.
    void checked(const LoginQueue::Check &check, bool ok);

private:
    void dispatch();
    void finish(const Check &check, bool ok);

    int maxQueuedPerAddress;
    QHash<QString, std::deque<Check>> lines;
    // Addresses with waiting checks, in the order of their next turn.
    QStringList turns;
    QHash<QString, int> hashing;
    // Checks hashed per address while it keeps sending them.
    QHash<QString, int> served;
    int hashingTotal = 0;
    int queuedTotal = 0;
    QThreadPool pool;
};
