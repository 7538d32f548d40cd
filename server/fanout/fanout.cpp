#include "fanout.h"

#include "clientconnection.h"
#include "servermetrics.h"

#include <QVarLengthArray>

FanOut::FanOut(ServerMetrics &metrics, QObject *parent)
    : QObject(parent)
    , metrics(metrics)
{
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

void FanOut::closeUser(
    const QString &userId, int code, const QString &reason, const ClientConnection *except)
{
    // From a copy: the list changes as they leave.
    const QList<ClientConnection *> connections = connectionsByUser.value(userId);
    for (ClientConnection *connection : connections) {
        if (connection != except && !connection->isClosing())
            connection->closeWithGrace(static_cast<QWebSocketProtocol::CloseCode>(code), reason);
    }
}

int FanOut::usersOnline() const
{
    return connectionsByUser.size();
}

void FanOut::deliver(const ChangeNotice &notice, quint64 transaction)
{
    QVarLengthArray<ClientConnection *, 64> targets;
    for (const QString &userId : notice.users) {
        const auto connections = connectionsByUser.constFind(userId);
        if (connections == connectionsByUser.constEnd())
            continue;
        for (ClientConnection *connection : *connections)
            targets.append(connection);
    }
    metrics.countFrameSent(notice.type, int(targets.size()));
    // From a copy: telling one may cut off a slow reader, which leaves its list. It stays a valid
    // object, since connections are only ever deleted later, by the loop.
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
    delivered = transaction;
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
