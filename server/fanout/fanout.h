#pragma once

#include "outcome.h"
#include "store.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

class ClientConnection;
class ServerMetrics;

// Who is told what. A logged-in connection joins its user's fan-out, and what a commit tells the
// members of a chat goes to every connection of theirs. A connection waiting for a read gets
// these frames in their place around the read's answer: those of the commits the read saw before
// it, the rest after, so that an answer never misses a change nor is followed by one it already
// holds. Changes committed by other servers sharing the store are to come in through deliver()
// too, from a relay beside the writer's announcements.
class FanOut : public QObject
{
    Q_OBJECT

public:
    explicit FanOut(ServerMetrics &metrics, QObject *parent = nullptr);
    ~FanOut() override;

    // Joins the fan-out of the connection's `userId`.
    void join(ClientConnection *connection);
    void leave(ClientConnection *connection);
    int connectionsOf(const QString &userId) const;
    // Closes every connection of the user but `except` with a close code of the chat protocol:
    // their session is over (the password changed, the account was disabled).
    void closeUser(
        const QString &userId, int code, const QString &reason, const ClientConnection *except);
    int usersOnline() const;

    // Tells every connection of the notice's users; `transaction` numbers the commit it came
    // from.
    void deliver(const ChangeNotice &notice, quint64 transaction);
    // From now on, what `connection` is told waits for answerRead().
    void hold(ClientConnection *connection);
    // Answers a read begun after hold() that saw the writer's transactions up to `snapshot`:
    // once every one of those has been delivered, sends their frames (none when `repliesHoldThem`:
    // a login's push does), `replies`, then what came after; then calls `then`.
    void answerRead(ClientConnection *connection,
        std::vector<Outcome::Reply> replies,
        quint64 snapshot,
        bool repliesHoldThem,
        std::function<void()> then);
    // Every outcome of the writer's transaction `transaction` has been handed back.
    void transactionDelivered(quint64 transaction);

private:
    struct PendingAnswer {
        QPointer<ClientConnection> connection;
        std::vector<Outcome::Reply> replies;
        quint64 snapshot;
        bool repliesHoldThem;
        std::function<void()> then;
    };
    void release(PendingAnswer &answer);

    ServerMetrics &metrics;
    QHash<QString, QList<ClientConnection *>> connectionsByUser;
    quint64 delivered = 0;
    // Answers of reads that saw a transaction not delivered yet.
    std::vector<PendingAnswer> pending;
};
