#pragma once

#include "outcome.h"
#include "store.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <vector>

class ClientConnection;
class FeedRelay;
class ServerMetrics;

// Who is told what: the one place that delivers. A logged-in connection joins its user's
// fan-out, and what a commit tells the members of a chat goes to every connection of theirs. A
// connection waiting for a read gets these frames in their place around the read's answer: those
// of the commits the read saw before it, the rest after, so that an answer never misses a change
// nor is followed by one it already holds.
//
// Servers sharing a store tell each other through its change feed: the writer keeps each
// transaction's notices there, numbered within their chat, and the FeedRelay hands what the
// other servers kept to receive(). Each stream's notices are delivered once and in their order,
// whichever way they come: a notice numbered past the next one waits until the relay has read
// what lies between.
//
// To tell users on every server:
// - from a write, add the notice to its Outcome (Outcome::notify, Outcome::closeConnections):
//   it is kept and sent with the commit, and only if the commit succeeds;
// - outside a write (who is typing), call publish(): it is told here now and sent to the other
//   servers as it is, unkept, so that only those listening then get it;
// - from another process (the administration commands), Store::publish() keeps notices for
//   every server, on SQLite too.
class FanOut : public QObject
{
    Q_OBJECT

public:
    explicit FanOut(ServerMetrics &metrics, QObject *parent = nullptr);
    ~FanOut() override;

    // The relay of notices from other processes, once it has started reading at `position`.
    void setRelay(FeedRelay *relay, const FeedPosition &position);

    // Joins the fan-out of the connection's `userId`.
    void join(ClientConnection *connection);
    void leave(ClientConnection *connection);
    int connectionsOf(const QString &userId) const;
    int usersOnline() const;

    // Tells every connection of the notice's users (or closes them); `transaction` numbers the
    // commit it came from.
    void deliver(const ChangeNotice &notice, quint64 transaction);
    // Notices read from the change feed, numbered `transaction` on the commit clock.
    void receive(std::vector<ChangeNotice> &&notices, quint64 transaction);
    // Tells the notice's users here and on every other server now, without keeping it.
    void publish(const ChangeNotice &notice);
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
    // Every outcome of transaction `transaction` (the writer's or the relay's) has been handed
    // back.
    void transactionDelivered(quint64 transaction);

private:
    struct PendingAnswer {
        QPointer<ClientConnection> connection;
        std::vector<Outcome::Reply> replies;
        quint64 snapshot;
        bool repliesHoldThem;
        std::function<void()> then;
    };
    struct Early {
        ChangeNotice notice;
        quint64 transaction;
    };
    struct Stream {
        qint64 delivered = 0;
        // Notices numbered past the next one, by number.
        std::map<qint64, Early> early;
        // How often the relay was asked for what lies between, in vain so far.
        int asks = 0;
    };
    void release(PendingAnswer &answer);
    void tell(const ChangeNotice &notice, quint64 transaction);
    void deliverEarly(Stream &stream);
    void giveUpWaiting();

    ServerMetrics &metrics;
    FeedRelay *relay = nullptr;
    QHash<QString, QList<ClientConnection *>> connectionsByUser;
    QHash<QString, Stream> streams;
    QTimer waitLimit;
    quint64 delivered = 0;
    // Transactions handed back ahead of one numbered before them.
    QSet<quint64> deliveredAhead;
    // Answers of reads that saw a transaction not delivered yet.
    std::vector<PendingAnswer> pending;
};
