#include "chatservice.h"

#include "fanout.h"
#include "logins.h"
#include "protocol.h"
#include "readers.h"
#include "requests.h"
#include "serverlogging.h"
#include "servermetrics.h"
#include "writer.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

namespace
{

// Writes of one connection handed to the writer and not yet answered; beyond, the connection
// reads on only as they are answered. Far above what its rates let through while the disk keeps
// up, it bounds what a stalled disk lets pile up.
constexpr std::size_t maxWritesInFlight = 1000;
// How long shutdown waits for clients to answer the close handshake.
constexpr int shutdownGraceMs = 3000;
// One "typing" relay per user and chat in this time: clients send one every few seconds while
// someone writes, and show it for longer than that.
constexpr qint64 typingIntervalMs = 2000;
// Relay times kept before old ones are swept out.
constexpr int typingSweepFloor = 1024;

enum class Kind { Write, Read, Typing, PasswordLogin, TokenLogin, PasswordChange };

QString typingKey(const QString &userId, const QString &chatId)
{
    return userId + QLatin1Char('\n') + chatId;
}

struct Route {
    Kind kind;
    requests::Handler handler;
    // What the asker is told when its write is not committed; made once, not per request.
    Outcome::Reply failure;
};

Outcome::Reply failureReply(const QString &message)
{
    return { QStringLiteral("error"), protocol::serialize(protocol::errorFrame(message)) };
}

const QHash<QString, Route> &routes()
{
    static const QHash<QString, Route> table = {
        { QStringLiteral("login_with_password"), { Kind::PasswordLogin, nullptr, {} } },
        { QStringLiteral("login_with_token"), { Kind::TokenLogin, nullptr, {} } },
        { QStringLiteral("change_password"), { Kind::PasswordChange, nullptr, {} } },
        { QStringLiteral("message"),
            { Kind::Write,
                &requests::message,
                failureReply(QStringLiteral("The message could not be stored")) } },
        { QStringLiteral("message_seen"),
            { Kind::Write,
                &requests::messageSeen,
                failureReply(QStringLiteral("The receipt could not be stored")) } },
        { QStringLiteral("edit_message"),
            { Kind::Write,
                &requests::editMessage,
                failureReply(QStringLiteral("The edit could not be stored")) } },
        { QStringLiteral("delete_message"),
            { Kind::Write,
                &requests::deleteMessage,
                failureReply(QStringLiteral("The message could not be deleted")) } },
        { QStringLiteral("create_group"),
            { Kind::Write,
                &requests::createGroup,
                failureReply(QStringLiteral("The group could not be created")) } },
        { QStringLiteral("rename_chat"),
            { Kind::Write,
                &requests::renameChat,
                failureReply(QStringLiteral("The group could not be renamed")) } },
        { QStringLiteral("add_members"),
            { Kind::Write,
                &requests::addMembers,
                failureReply(QStringLiteral("The members could not be added")) } },
        { QStringLiteral("leave_chat"),
            { Kind::Write,
                &requests::leaveChat,
                failureReply(QStringLiteral("The group could not be left")) } },
        { QStringLiteral("get_history"), { Kind::Read, &requests::history, {} } },
        { QStringLiteral("search"), { Kind::Read, &requests::search, {} } },
        { QStringLiteral("typing"), { Kind::Typing, &requests::typing, {} } },
    };
    return table;
}

} // namespace

ChatService::ChatService(Writer &writer,
    Readers &readers,
    FanOut &fanOut,
    Logins &logins,
    ServerMetrics &metrics,
    const Options &options,
    QObject *parent)
    : QObject(parent)
    , writer(writer)
    , readers(readers)
    , fanOut(fanOut)
    , logins(logins)
    , metrics(metrics)
    , options(options)
{
    // Frames written during a pass of the loop go out together at its end, one write per socket,
    // without waiting for the loop to poll each socket for room first.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        connect(
            dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &ChatService::flushOutput);
}

ChatService::~ChatService() = default;

void ChatService::addConnection(QWebSocket *socket, QTcpSocket *tcpSocket)
{
    auto *connection = new ClientConnection(socket, nextConnectionId++, options.clock, this);
    // Qt leaves the upgraded TCP socket to its old owner. As the connection's child after the
    // WebSocket, it ends with the connection and outlives the WebSocket that uses it.
    if (tcpSocket)
        tcpSocket->setParent(connection);
    connections.insert(connection->id(), connection);
    connection->onWritten = [this](ClientConnection *written) { unflushed.append(written->id()); };
    connection->startLoginDeadline(options.loginTimeoutMs);
    connect(connection, &ClientConnection::requestReceived, this, &ChatService::onRequest);
    connect(connection, &ClientConnection::requestRefused, this, &ChatService::onRequestRefused);
    connect(connection, &ClientConnection::closed, this, &ChatService::onConnectionClosed);
    qCInfo(lcServer).noquote() << "connection" << connection->id() << "opened from"
                               << connection->peer();
}

int ChatService::connectionCount() const
{
    return connections.size();
}

int ChatService::queuedRequests() const
{
    int queued = writer.queued() + readers.queued();
    for (const ClientConnection *connection : connections)
        queued += connection->queuedRequests() + (connection->parked ? 1 : 0);
    return queued;
}

void ChatService::shutdown()
{
    if (stopping)
        return;
    stopping = true;
    for (ClientConnection *connection : qAsConst(connections))
        connection->pause();
    // Behind every write handed on: once this is answered, so are they.
    writer.submit([](Store &) { return Outcome(); },
        Outcome::Reply(),
        [this](Outcome &&, bool, quint64) {
            qCInfo(lcServer) << "shutting down," << connections.size() << "connections open";
            if (connections.isEmpty()) {
                emit closed();
                return;
            }
            const QList<ClientConnection *> open = connections.values();
            for (ClientConnection *connection : open)
                connection->shutdown();
            QTimer::singleShot(shutdownGraceMs, this, &ChatService::closed);
        });
}

void ChatService::onConnectionClosed(ClientConnection *connection)
{
    if (!connections.remove(connection->id()))
        return;
    logins.connectionClosed(connection);
    if (!connection->userId.isEmpty()) {
        fanOut.leave(connection);
        logins.sharePresence(connection->userId);
    }
    qCInfo(lcServer).noquote() << "connection" << connection->id() << "closed"
                               << (connection->username.isEmpty() ? QString()
                                                                  : QStringLiteral("(")
                                              + connection->username + QLatin1Char(')'));
    connection->deleteLater();
    if (stopping && connections.isEmpty())
        emit closed();
}

void ChatService::onRequest(ClientConnection *connection, const QJsonObject &request)
{
    const QJsonValue type = request.value(QLatin1String("type"));
    if (type.isString())
        metrics.countRequest(
            routes().contains(type.toString()) ? type.toString() : QStringLiteral("unknown"));
    take(connection, { request, QString() });
}

void ChatService::onRequestRefused(ClientConnection *connection, const QString &problem)
{
    take(connection, { QJsonObject(), problem });
}

void ChatService::take(ClientConnection *connection, ClientConnection::Incoming incoming)
{
    // Nothing more is handled once the last writes have been handed on for shutting down.
    if (stopping)
        return;
    if (connection->busy || connection->parked) {
        park(connection, std::move(incoming));
        return;
    }
    handle(connection, std::move(incoming));
}

void ChatService::park(ClientConnection *connection, ClientConnection::Incoming incoming)
{
    connection->parked = std::move(incoming);
    connection->pause();
}

void ChatService::handle(ClientConnection *connection, ClientConnection::Incoming incoming)
{
    if (!incoming.problem.isEmpty()) {
        answer(connection, protocol::errorFrame(incoming.problem));
        return;
    }
    const QJsonValue type = incoming.request.value(QLatin1String("type"));
    if (!type.isString()) {
        answer(connection, protocol::errorFrame(requests::invalidField(QLatin1String("type"))));
        return;
    }
    const auto route = routes().constFind(type.toString());
    if (route == routes().constEnd()) {
        answer(connection, protocol::errorFrame(QStringLiteral("Unknown request type")));
        return;
    }
    const bool login = route->kind == Kind::PasswordLogin || route->kind == Kind::TokenLogin;
    if (!login && connection->userId.isEmpty()) {
        answer(connection, protocol::errorFrame(QStringLiteral("Log in first")));
        return;
    }
    const bool waitsForWrites = route->kind != Kind::Write && !connection->afterWrites.empty();
    if (waitsForWrites || connection->afterWrites.size() >= maxWritesInFlight) {
        park(connection, std::move(incoming));
        return;
    }
    const qint64 now = options.clock();
    const requests::Asker asker { connection->userId,
        now / 1000,
        options.historyPage,
        connection->id(),
        options.maxGroupMembers };
    const requests::Handler handler = route->handler;
    const QJsonObject request = incoming.request;
    const QPointer<ClientConnection> asking(connection);
    switch (route->kind) {
    case Kind::Write:
        connection->afterWrites.emplace_back();
        writer.submit(
            [handler, asker, request](Store &store) { return handler(store, asker, request); },
            route->failure,
            [this, asking](Outcome &&outcome, bool committed, quint64 transaction) {
                finishWrite(asking, std::move(outcome), committed, transaction);
            });
        return;
    case Kind::Typing: {
        // Dropped unchecked while the last relay is recent: a flood costs no store read.
        const QJsonValue chatId = request.value(QLatin1String("chatId"));
        if (chatId.isString()
            && typingRelayedWithin(typingKey(asker.userId, chatId.toString()), now))
            return;
        [[fallthrough]];
    }
    case Kind::Read: {
        const bool typing = route->kind == Kind::Typing;
        connection->busy = true;
        fanOut.hold(connection);
        readers.submit(
            [handler, asker, request](Store &store) { return handler(store, asker, request); },
            [this, asking, asker, typing](Outcome &&outcome, quint64 snapshot) {
                // The check of a "typing" reads; what it allows is relayed, not stored.
                if (typing)
                    relayTyping(asker.userId, outcome.notices);
                if (!asking)
                    return;
                fanOut.answerRead(
                    asking, std::move(outcome.replies), snapshot, false, [this, asking] {
                        finishRead(asking);
                    });
            });
        return;
    }
    case Kind::PasswordLogin:
    case Kind::TokenLogin:
    case Kind::PasswordChange:
        connection->busy = true;
        if (route->kind == Kind::PasswordLogin)
            logins.loginWithPassword(connection, request);
        else if (route->kind == Kind::TokenLogin)
            logins.loginWithToken(connection, request);
        else
            logins.changePassword(connection, request);
        return;
    }
}

void ChatService::answer(ClientConnection *connection, const QJsonObject &frame)
{
    metrics.countFrameSent(frame.value(QLatin1String("type")).toString());
    const QString text = protocol::serialize(frame);
    if (connection->afterWrites.empty())
        connection->sendText(text);
    else
        connection->afterWrites.back().append(text);
}

void ChatService::finishWrite(
    ClientConnection *connection, Outcome &&outcome, bool committed, quint64 transaction)
{
    if (committed && !outcome.removedUploads.isEmpty())
        emit uploadsRemoved(outcome.removedUploads);
    if (connection) {
        for (const Outcome::Reply &reply : outcome.replies) {
            metrics.countFrameSent(reply.type);
            connection->sendText(reply.text);
        }
    }
    for (const ChangeNotice &notice : outcome.notices)
        fanOut.deliver(notice, transaction);
    if (!connection || connection->afterWrites.empty())
        return;
    const QStringList after = std::move(connection->afterWrites.front());
    connection->afterWrites.pop_front();
    for (const QString &text : after)
        connection->sendText(text);
    goOn(connection);
}

bool ChatService::typingRelayedWithin(const QString &key, qint64 now) const
{
    const auto last = typingRelays.constFind(key);
    return last != typingRelays.constEnd() && now - *last < typingIntervalMs;
}

void ChatService::relayTyping(const QString &userId, const std::vector<ChangeNotice> &notices)
{
    const qint64 now = options.clock();
    for (const ChangeNotice &notice : notices) {
        // Another connection of the same user may have been relayed while this one was checked.
        const QString key = typingKey(userId, notice.chatId);
        if (typingRelayedWithin(key, now))
            continue;
        if (typingRelays.size() >= typingSweepAt) {
            for (auto it = typingRelays.begin(); it != typingRelays.end();)
                it = now - *it < typingIntervalMs ? std::next(it) : typingRelays.erase(it);
            typingSweepAt = std::max(typingSweepFloor, 2 * int(typingRelays.size()));
        }
        typingRelays.insert(key, now);
        // Typing is no change of the store: told here and to the other servers now, not kept.
        fanOut.publish(notice);
    }
}

void ChatService::finishRead(ClientConnection *connection)
{
    if (!connection)
        return;
    connection->busy = false;
    goOn(connection);
}

void ChatService::finishLogin(ClientConnection *connection)
{
    finishRead(connection);
}

void ChatService::goOn(ClientConnection *connection)
{
    if (connection->busy || stopping)
        return;
    if (connection->parked) {
        ClientConnection::Incoming incoming = std::move(*connection->parked);
        connection->parked.reset();
        handle(connection, std::move(incoming));
        if (connection->parked || connection->busy)
            return;
    }
    connection->resume();
}

void ChatService::flushOutput()
{
    for (const quint64 connectionId : std::exchange(unflushed, {})) {
        if (ClientConnection *connection = connections.value(connectionId))
            connection->flush();
    }
}
