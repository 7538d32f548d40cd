#include "fanout.h"

#include "clientconnection.h"
#include "feedrelay.h"
#include "serverlogging.h"
#include "servermetrics.h"

#include <QVarLengthArray>

namespace
{

// A notice numbered past the next one waits for the relay to read what lies between; the relay
// is asked again this often...
constexpr int askAgainMs = 1000;
// ...and after this many asks the notice goes out anyway: far beyond a read's time even on a
// starved machine, for an entry that is truly lost (dropped from the feed while its server was
// away), which must not stall a chat for good.
constexpr int maxAsks = 30;

} // namespace

FanOut::FanOut(ServerMetrics &metrics, QObject *parent)
    : QObject(parent)
    , metrics(metrics)
{
    waitLimit.setInterval(askAgainMs);
    connect(&waitLimit, &QTimer::timeout, this, &FanOut::giveUpWaiting);
}

void FanOut::setRelay(FeedRelay *feedRelay, const FeedPosition &position)
{
    relay = feedRelay;
    for (auto it = position.streams.cbegin(); it != position.streams.cend(); ++it)
        streams[it.key()].delivered = it.value();
}

FanOut::~FanOut() = default;

void FanOut::join(ClientConnection *connection)
{
    Q_ASSERT(!connection->isClosed());
    connectionsByUser[connection->userId].append(connection);
}

void FanOut::leave(ClientConnection *connection)
{
    auto it = connectionsByUser.find(connection->userId);
    if (it == connectionsByUser.end())
        return;
    it->removeAll(connection);
    if (it->isEmpty())
        connectionsByUser.erase(it);
}

int FanOut::connectionsOf(const QString &userId) const
{
    const auto it = connectionsByUser.constFind(userId);
    return it == connectionsByUser.constEnd() ? 0 : it->size();
}

int FanOut::usersOnline() const
{
    return connectionsByUser.size();
}

void FanOut::deliver(const ChangeNotice &notice, quint64 transaction)
{
    if (notice.seq == 0) {
        tell(notice, transaction);
        return;
    }
    Stream &stream = streams[notice.chatId];
    if (notice.seq <= stream.delivered)
        return;
    if (notice.seq > stream.delivered + 1) {
        stream.early.emplace(notice.seq, Early { notice, transaction });
        if (relay)
            relay->readSoon(notice.chatId);
        if (!waitLimit.isActive())
            waitLimit.start();
        return;
    }
    tell(notice, transaction);
    stream.delivered = notice.seq;
    stream.asks = 0;
    if (!stream.early.empty())
        deliverEarly(stream);
}

void FanOut::deliverEarly(Stream &stream)
{
    while (!stream.early.empty() && stream.early.begin()->first <= stream.delivered + 1) {
        const auto first = stream.early.begin();
        const Early early = std::move(first->second);
        stream.early.erase(first);
        if (early.notice.seq <= stream.delivered)
            continue;
        tell(early.notice, early.transaction);
        stream.delivered = early.notice.seq;
    }
}

void FanOut::giveUpWaiting()
{
    bool waiting = false;
    for (auto it = streams.begin(); it != streams.end(); ++it) {
        Stream &stream = it.value();
        if (stream.early.empty())
            continue;
        if (++stream.asks < maxAsks) {
            waiting = true;
            if (relay)
                relay->readSoon(it.key());
            continue;
        }
        stream.asks = 0;
        qCWarning(lcServer).noquote()
            << "changes" << stream.delivered + 1 << "to" << stream.early.begin()->first - 1 << "of"
            << it.key() << "could not be read; going on without them";
        stream.delivered = stream.early.begin()->first - 1;
        deliverEarly(stream);
    }
    if (!waiting)
        waitLimit.stop();
}

void FanOut::receive(std::vector<ChangeNotice> &&notices, quint64 transaction)
{
    for (const ChangeNotice &notice : notices)
        deliver(notice, transaction);
    transactionDelivered(transaction);
}

void FanOut::publish(const ChangeNotice &notice)
{
    ChangeNotice unkept = notice;
    unkept.seq = 0;
    tell(unkept, delivered);
    if (relay)
        relay->broadcast(unkept);
}

void FanOut::tell(const ChangeNotice &notice, quint64 transaction)
{
    QVarLengthArray<ClientConnection *, 64> targets;
    if (notice.everyone) {
        for (const QList<ClientConnection *> &connections : qAsConst(connectionsByUser)) {
            for (ClientConnection *connection : connections)
                targets.append(connection);
        }
    } else {
        for (const QString &userId : notice.users) {
            const auto connections = connectionsByUser.constFind(userId);
            if (connections == connectionsByUser.constEnd())
                continue;
            for (ClientConnection *connection : *connections) {
                if (connection->id() != notice.exceptConnection)
                    targets.append(connection);
            }
        }
    }
    // From a copy: telling one may cut off a slow reader, which leaves its list. It stays a valid
    // object, since connections are only ever deleted later, by the loop.
    if (notice.closeCode != 0) {
        for (ClientConnection *connection : targets) {
            if (connection->spareCloseCode != notice.closeCode && !connection->isClosing())
                connection->closeWithGrace(
                    notice.closeCode, notice.text);
        }
        return;
    }
    metrics.countFrameSent(notice.type, int(targets.size()));
    for (ClientConnection *connection : targets)
        connection->tell(notice.text, transaction);
}

void FanOut::hold(ClientConnection *connection)
{
    connection->hold();
}

void FanOut::answerRead(ClientConnection *connection,
    std::vector<Outcome::Reply> replies,
    quint64 snapshot,
    bool repliesHoldThem,
    std::function<void()> then)
{
    PendingAnswer answer {
        connection, std::move(replies), snapshot, repliesHoldThem, std::move(then)
    };
    if (snapshot <= delivered)
        release(answer);
    else
        pending.push_back(std::move(answer));
}

void FanOut::transactionDelivered(quint64 transaction)
{
    // The writer's and the relay's transactions come back in their own orders.
    if (transaction <= delivered)
        return;
    if (transaction != delivered + 1) {
        deliveredAhead.insert(transaction);
        return;
    }
    delivered = transaction;
    while (deliveredAhead.remove(delivered + 1))
        ++delivered;
    if (pending.empty())
        return;
    std::vector<PendingAnswer> due;
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->snapshot <= delivered) {
            due.push_back(std::move(*it));
            it = pending.erase(it);
        } else {
            ++it;
        }
    }
    for (PendingAnswer &answer : due)
        release(answer);
}

void FanOut::release(PendingAnswer &answer)
{
    if (!answer.connection)
        return;
    QStringList texts;
    for (const Outcome::Reply &reply : answer.replies) {
        metrics.countFrameSent(reply.type);
        texts.append(reply.text);
    }
    answer.connection->release(answer.snapshot, answer.repliesHoldThem, texts);
    if (answer.then)
        answer.then();
}
