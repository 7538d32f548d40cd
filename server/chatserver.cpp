#include "chatserver.h"

#include "clientconnection.h"
#include "credentials.h"
#include "protocol.h"
#include "serverlogging.h"
#include "sqlitestore.h"

#include <QAbstractEventDispatcher>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <algorithm>
#include <cmath>
#include <optional>

namespace
{

// Messages stamped with the very second a "get_history" asks before, sent again in full so that
// none is skipped; bounded so that one answer stays a few megabytes at most.
constexpr int historyTieLimit = 500;
// Longest user name looked up at login; longer ones cannot exist.
constexpr int maxUsernameLength = 256;
// Tokens we hand out are 64 characters; anything much longer is not worth hashing.
constexpr int maxTokenLength = 256;
// How long a login refused unchecked by the failure throttle waits for its answer.
constexpr int throttledAnswerDelayMs = 1000;
// How long shutdown waits for clients to answer the close handshake.
constexpr int shutdownGraceMs = 3000;
// Checked against when the user name is unknown, so that a failed login takes as long either
// way and does not reveal which names exist.
const QString unknownUserHash =
    QStringLiteral("pbkdf2-sha256$100000$6a1f0c3e9b7d25a84f6e0d1c2b3a4958"
                   "$0d6f4b1c9a8e7d3f2a5b6c4d8e9f0a1b2c3d4e5f60718293a4b5c6d7e8f90a1b");

std::optional<QString> stringField(const QJsonObject &request, QLatin1String key)
{
    const QJsonValue value = request.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

QString invalidField(QLatin1String key)
{
    return QStringLiteral("Missing or invalid \"") + key + QLatin1Char('"');
}

// Names are matched without regard to ASCII case, so "Alice" and "alice" share one account's
// failures; long names are cut as the lookup does.
QString throttleKey(const QString &username)
{
    return username.left(maxUsernameLength + 1).toLower();
}

const QLatin1String chatIdKey("chatId");
const QLatin1String messageIdKey("messageId");

} // namespace

ChatServer::ChatServer(SqliteStore &database, const Options &options, QObject *parent)
    : QObject(parent)
    , db(database)
    , options(options)
    , frontDoor(
          FrontDoor::Options { options.staticDir,
              options.tls,
              options.maxConnectionsPerAddress,
              options.staticWriteTimeoutMs },
          [this](std::function<void(bool)> answer) {
              settleCommit();
              answer(db.ping());
          },
          [this] {
              ServerMetrics::Gauges gauges;
              gauges.connections = connections.size();
              gauges.usersLoggedIn = connectionsByUser.size();
              gauges.queuedRequests = queuedRequests();
              return metrics.render(gauges);
          })
    , loginQueue([this] { return this->options.clock(); }, options.maxWaitingLogins)
{
    if (!this->options.clock)
        this->options.clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    if (this->options.historyPage < 1)
        this->options.historyPage = 1;
    commitTimer.setSingleShot(true);
    connect(&commitTimer, &QTimer::timeout, this, &ChatServer::startCommit);
    // One thread, kept: commits follow one another, each in its turn.
    committer.setMaxThreadCount(1);
    committer.setExpiryTimeout(-1);
    // Frames written during a pass of the loop go out together at its end, one write per socket,
    // without waiting for the loop to poll each socket for room first.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        connect(
            dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &ChatServer::flushOutput);
    connect(&frontDoor, &FrontDoor::webSocketOpened, this, &ChatServer::onNewWebSocket);
    connect(&loginQueue, &LoginQueue::checked, this, &ChatServer::finishLogin);
    connect(&loginQueue, &LoginQueue::skipped, this, &ChatServer::onLoginSkipped);
    loginQueue.setGate([this](const LoginQueue::Check &check) {
        return check.byToken
            || loginThrottle.waitMs(check.account, check.address, this->options.clock()) == 0;
    });
}

ChatServer::~ChatServer()
{
    commitBatch();
}

bool ChatServer::listen(const QHostAddress &address, quint16 port)
{
    return frontDoor.listen(address, port);
}

QHostAddress ChatServer::serverAddress() const
{
    return frontDoor.serverAddress();
}

quint16 ChatServer::serverPort() const
{
    return frontDoor.serverPort();
}

QString ChatServer::errorString() const
{
    return frontDoor.errorString();
}

bool ChatServer::isSecure() const
{
    return frontDoor.isSecure();
}

int ChatServer::connectionCount() const
{
    return connections.size();
}

int ChatServer::queuedRequests() const
{
    int queued = int(waiting.size());
    for (const ClientConnection *connection : connections)
        queued += connection->queuedRequests();
    return queued;
}

void ChatServer::shutdown()
{
    if (stopping)
        return;
    // Requests that came before the signal and wait for the commit in flight are served first.
    settleCommit();
    stopping = true;
    frontDoor.close();
    // What is written in the open batch is committed and echoed before everyone is told to go.
    commitBatch();
    qCInfo(lcServer) << "shutting down," << connections.size() << "connections open";
    if (connections.isEmpty()) {
        QTimer::singleShot(0, this, &ChatServer::finishShutdown);
        return;
    }
    const QList<ClientConnection *> open = connections.values();
    for (ClientConnection *connection : open)
        connection->shutdown();
    QTimer::singleShot(shutdownGraceMs, this, &ChatServer::finishShutdown);
}

void ChatServer::finishShutdown()
{
    if (stopSignalled)
        return;
    stopSignalled = true;
    emit stopped();
}

void ChatServer::onNewWebSocket(QWebSocket *socket, QTcpSocket *tcpSocket)
{
    {
        auto *connection = new ClientConnection(socket, nextConnectionId++, options.clock, this);
        // Qt leaves the upgraded TCP socket to its old owner. As the connection's child after
        // the WebSocket, it ends with the connection and outlives the WebSocket that uses it.
        if (tcpSocket)
            tcpSocket->setParent(connection);
        connections.insert(connection->id(), connection);
        connection->startLoginDeadline(options.loginTimeoutMs);
        connect(connection, &ClientConnection::requestReceived, this, &ChatServer::onRequest);
        connect(connection, &ClientConnection::requestRefused, this, &ChatServer::onRequestRefused);
        connect(connection, &ClientConnection::closed, this, &ChatServer::onConnectionClosed);
        qCInfo(lcServer).noquote()
            << "connection" << connection->id() << "opened from" << connection->peer();
    }
}

void ChatServer::onConnectionClosed(ClientConnection *connection)
{
    if (!connections.remove(connection->id()))
        return;
    if (connection->loginPending) {
        // A login given up before its answer counts as a failure, so that connections that send
        // a login and hang up soon have their account answered unchecked from there.
        const std::optional<LoginQueue::Check> check = loginQueue.cancel(connection->id());
        if (check && !check->byToken)
            loginThrottle.recordFailure(check->account, check->address, options.clock());
    }
    if (!connection->userId.isEmpty()) {
        auto it = connectionsByUser.find(connection->userId);
        if (it != connectionsByUser.end()) {
            it->removeAll(connection);
            if (it->isEmpty())
                connectionsByUser.erase(it);
        }
    }
    qCInfo(lcServer).noquote() << "connection" << connection->id() << "closed"
                               << (connection->username.isEmpty() ? QString()
                                                                  : QStringLiteral("(")
                                              + connection->username + QLatin1Char(')'));
    connection->deleteLater();
    if (stopping && connections.isEmpty())
        QTimer::singleShot(0, this, &ChatServer::finishShutdown);
}

bool ChatServer::databaseBusy() const
{
    return inFlight || (!waiting.empty() && !replaying);
}

void ChatServer::onRequestRefused(ClientConnection *connection, const QString &problem)
{
    // In its turn behind the requests that wait, so that the answers keep their order.
    if (databaseBusy()) {
        waiting.push_back([this, id = connection->id(), problem] {
            if (ClientConnection *open = connections.value(id))
                sendError(open, problem);
        });
        return;
    }
    sendError(connection, problem);
}

void ChatServer::onRequest(ClientConnection *connection, const QJsonObject &request)
{
    if (databaseBusy()) {
        waiting.push_back([this, id = connection->id(), request] {
            if (ClientConnection *open = connections.value(id))
                onRequest(open, request);
        });
        return;
    }
    // Nothing is written once the last batch has been committed for shutting down.
    if (stopping)
        return;
    const std::optional<QString> type = stringField(request, QLatin1String("type"));
    if (!type) {
        sendError(connection, invalidField(QLatin1String("type")));
        return;
    }
    using Handler = void (ChatServer::*)(ClientConnection *, const QJsonObject &);
    static const QHash<QString, Handler> handlers = {
        { QStringLiteral("login_with_password"), &ChatServer::handleLogin },
        { QStringLiteral("login_with_token"), &ChatServer::handleTokenLogin },
        { QStringLiteral("message"), &ChatServer::handleMessage },
        { QStringLiteral("message_seen"), &ChatServer::handleMessageSeen },
        { QStringLiteral("edit_message"), &ChatServer::handleEditMessage },
        { QStringLiteral("delete_message"), &ChatServer::handleDeleteMessage },
        { QStringLiteral("get_history"), &ChatServer::handleGetHistory },
    };
    const Handler handler = handlers.value(*type);
    metrics.countRequest(handler ? *type : QStringLiteral("unknown"));
    if (!handler) {
        sendError(connection, QStringLiteral("Unknown request type"));
        return;
    }
    if (handler != &ChatServer::handleLogin && handler != &ChatServer::handleTokenLogin
        && connection->userId.isEmpty()) {
        sendError(connection, QStringLiteral("Log in first"));
        return;
    }
    (this->*handler)(connection, request);
    currentWrite = -1;
}

bool ChatServer::mayStartLogin(ClientConnection *connection)
{
    if (!connection->userId.isEmpty()) {
        sendError(connection, QStringLiteral("Already logged in"));
        return false;
    }
    if (connection->loginPending) {
        sendError(connection, QStringLiteral("A login is already in progress"));
        return false;
    }
    connection->stopLoginDeadline();
    return true;
}

void ChatServer::queueLoginCheck(ClientConnection *connection, const LoginQueue::Check &check)
{
    if (!loginQueue.enqueue(check)) {
        qCInfo(lcServer).noquote() << "login queue full; refusing" << check.address;
        metrics.countRefusedLogin(ServerMetrics::LoginRefusal::QueueFull);
        sendError(connection, QStringLiteral("Too many logins at once; try again shortly"));
        connection->startLoginDeadline(options.loginTimeoutMs);
        return;
    }
    connection->loginPending = true;
}

void ChatServer::handleLogin(ClientConnection *connection, const QJsonObject &request)
{
    const std::optional<QString> username = stringField(request, QLatin1String("username"));
    const std::optional<QString> password = stringField(request, QLatin1String("password"));
    if (!username || !password) {
        sendError(connection,
            invalidField(!username ? QLatin1String("username") : QLatin1String("password")));
        return;
    }
    if (!mayStartLogin(connection))
        return;
    const QString address = addressKey(connection->peerAddress());
    if (loginThrottle.waitMs(throttleKey(*username), address, options.clock()) > 0) {
        refuseThrottledLogin(connection, throttleKey(*username), address);
        return;
    }
    std::optional<UserRecord> user;
    if (!username->isEmpty() && username->size() <= maxUsernameLength)
        user = db.userByName(*username);
    LoginQueue::Check check;
    check.connectionId = connection->id();
    check.address = address;
    check.account = throttleKey(*username);
    check.password = *password;
    check.storedHash = user ? db.passwordHash(user->id) : unknownUserHash;
    check.userId = user ? user->id : QString();
    check.username = *username;
    queueLoginCheck(connection, check);
}

void ChatServer::handleTokenLogin(ClientConnection *connection, const QJsonObject &request)
{
    const std::optional<QString> token = stringField(request, QLatin1String("token"));
    if (!token) {
        sendError(connection, invalidField(QLatin1String("token")));
        return;
    }
    if (!mayStartLogin(connection))
        return;
    LoginQueue::Check check;
    check.connectionId = connection->id();
    check.address = addressKey(connection->peerAddress());
    // A token of 256 random bits cannot be guessed, so a wrong one throttles nobody: stale tokens
    // of colleagues behind one router must not lock the others out.
    check.byToken = true;
    std::optional<QString> userId;
    // Taking the token is its own write, not part of a batch that may yet fail.
    commitBatch();
    if (!token->isEmpty() && token->size() <= maxTokenLength)
        userId = db.takeLoginToken(credentials::tokenHash(*token), nowSeconds());
    if (userId) {
        check.userId = *userId;
        finishLogin(check, true);
        return;
    }
    // A refusal waits for a hash like a wrong password does, so that guessing tokens is no
    // faster than guessing passwords, and it takes its turn in the same fair line.
    check.storedHash = unknownUserHash;
    queueLoginCheck(connection, check);
}

void ChatServer::onLoginSkipped(const LoginQueue::Check &check)
{
    // Behind what this connection sent before, should that wait for a commit.
    if (databaseBusy()) {
        waiting.push_back([this, check] { onLoginSkipped(check); });
        return;
    }
    if (ClientConnection *connection = connections.value(check.connectionId)) {
        connection->loginPending = false;
        refuseThrottledLogin(connection, check.account, check.address);
    }
}

void ChatServer::refuseThrottledLogin(
    ClientConnection *connection, const QString &account, const QString &address)
{
    qCInfo(lcServer).noquote() << "login throttled on connection" << connection->id();
    metrics.countRefusedLogin(ServerMetrics::LoginRefusal::Throttled);
    // Answered after a pause, as a checked login would be, and not at once: a guesser that waits
    // for its answers then sends a login a second per connection, not as many as the server
    // could refuse, which would take the cores the real users' checks need.
    connection->loginPending = true;
    QTimer::singleShot(throttledAnswerDelayMs, connection, [this, connection, account, address] {
        connection->loginPending = false;
        send(connection,
            protocol::throttledLoginFrame(loginThrottle.waitMs(account, address, options.clock())));
        connection->startLoginDeadline(options.loginTimeoutMs);
    });
}

void ChatServer::finishLogin(const LoginQueue::Check &check, bool ok)
{
    if (databaseBusy()) {
        waiting.push_back([this, check, ok] { finishLogin(check, ok); });
        return;
    }
    ok = ok && !check.userId.isEmpty();
    if (ok && !check.byToken)
        loginThrottle.recordSuccess(check.account, check.address);
    else if (!check.byToken)
        loginThrottle.recordFailure(check.account, check.address, options.clock());
    const quint64 connectionId = check.connectionId;
    ClientConnection *connection = connections.value(connectionId);
    if (!connection)
        return;
    connection->loginPending = false;
    // The push reads what is committed, and nothing may reach the new connection twice.
    commitBatch();
    const std::optional<UserRecord> user = ok ? db.userById(check.userId) : std::nullopt;
    if (!user) {
        qCInfo(lcServer).noquote() << "login failed for" << check.username.left(maxUsernameLength)
                                   << "on connection" << connectionId;
        metrics.countRefusedLogin(ServerMetrics::LoginRefusal::BadCredentials);
        send(connection, protocol::authFailedFrame());
        connection->startLoginDeadline(options.loginTimeoutMs);
        return;
    }
    QList<ClientConnection *> &ofUser = connectionsByUser[user->id];
    if (options.maxConnectionsPerUser > 0 && ofUser.size() >= options.maxConnectionsPerUser) {
        if (ofUser.isEmpty())
            connectionsByUser.remove(user->id);
        qCInfo(lcServer).noquote() << "refusing another connection of" << user->username;
        metrics.countRefusedLogin(ServerMetrics::LoginRefusal::TooManyConnections);
        sendError(connection, QStringLiteral("Too many connections for this account"));
        connection->closeWithGrace(QWebSocketProtocol::CloseCodePolicyViolated,
            QStringLiteral("Too many connections for this account"));
        return;
    }
    connection->userId = user->id;
    connection->username = user->username;
    ofUser.append(connection);
    qCInfo(lcServer).noquote() << "login of" << user->username << "on connection" << connectionId;

    const QString token = credentials::newToken();
    db.addLoginToken(credentials::tokenHash(token), user->id, nowSeconds());
    send(connection, protocol::loginSuccessFrame(*user, token));
    metrics.countFrameSent(QStringLiteral("chat_history"));
    sendText(connectionId, loginHistory(user->id));
    send(connection, protocol::userListFrame(db.users()));
}

void ChatServer::handleMessage(ClientConnection *connection, const QJsonObject &request)
{
    const QString &me = connection->userId;
    const QJsonValue content = request.value(QLatin1String("content"));
    const QJsonValue textValue = content.toObject().value(QLatin1String("text"));
    if (!content.isObject() || !textValue.isString()) {
        sendError(connection, invalidField(QLatin1String("content")));
        return;
    }
    const QJsonValue file = content.toObject().value(QLatin1String("file"));
    if (!file.isUndefined() && !file.isNull()) {
        sendError(connection, QStringLiteral("Attachments are not supported"));
        return;
    }
    const QString text = textValue.toString();
    const QString problem = protocol::checkText(text);
    if (!problem.isEmpty()) {
        sendError(connection, problem);
        return;
    }
    const QJsonValue replyValue = request.value(QLatin1String("replyToId"));
    if (!replyValue.isUndefined() && !replyValue.isNull() && !replyValue.isString()) {
        sendError(connection, invalidField(QLatin1String("replyToId")));
        return;
    }
    const bool hasChatId = request.contains(chatIdKey);
    const bool hasRecipient = request.contains(QLatin1String("recipientId"));
    if (hasChatId == hasRecipient) {
        sendError(connection, QStringLiteral("Give exactly one of \"chatId\" and \"recipientId\""));
        return;
    }

    const QString failure = QStringLiteral("The message could not be stored");
    std::optional<ChatRecord> chat;
    bool created = false;
    if (hasRecipient) {
        const std::optional<QString> recipientId =
            stringField(request, QLatin1String("recipientId"));
        if (!recipientId || *recipientId == me || !db.userById(*recipientId)) {
            sendError(connection, QStringLiteral("Unknown recipient"));
            return;
        }
        const QString chatId = protocol::privateChatId(me, *recipientId);
        chat = db.chat(chatId);
        if (!chat) {
            // The chat and its first message are committed together: a chat that exists has
            // been announced, and a later message can rely on that.
            if (!beginWrite(connection, failure))
                return;
            QStringList members { me, *recipientId };
            members.sort();
            chat = db.createChat(chatId, QString(), QStringLiteral("private"), me, members);
            if (!chat) {
                abortBatch();
                return;
            }
            created = true;
        }
    } else {
        const std::optional<QString> chatId = stringField(request, chatIdKey);
        if (!chatId) {
            sendError(connection, invalidField(chatIdKey));
            return;
        }
        if (db.isMember(*chatId, me))
            chat = db.chat(*chatId);
        if (!chat) {
            sendError(connection, QStringLiteral("Not a member of this chat"));
            return;
        }
    }

    // A reply to a message that is gone, or that belongs elsewhere, is stored as no reply.
    QString replyToId = replyValue.toString();
    if (!replyToId.isEmpty()) {
        const std::optional<MessageRecord> original = db.message(replyToId);
        if (!original || original->chatId != chat->id)
            replyToId.clear();
    }
    if (!created && !beginWrite(connection, failure))
        return;
    const std::optional<MessageRecord> message =
        db.addMessage(chat->id, me, text, replyToId, nowSeconds());
    if (!message) {
        abortBatch();
        return;
    }
    if (created)
        sendToUsers(chat->members, protocol::newChatFrame(*chat));
    sendToUsers(chat->members, protocol::messageFrame(*message));
}

std::optional<MessageRecord> ChatServer::requestedMessage(
    ClientConnection *connection, const QJsonObject &request)
{
    const std::optional<QString> chatId = stringField(request, chatIdKey);
    const std::optional<QString> messageId = stringField(request, messageIdKey);
    if (!chatId || !messageId) {
        sendError(connection, invalidField(!chatId ? chatIdKey : messageIdKey));
        return std::nullopt;
    }
    // The same answer whether the message does not exist or lies in a chat the user is not in,
    // so that nothing leaks about other chats.
    std::optional<MessageRecord> message = db.message(*messageId);
    if (!message || message->chatId != *chatId || !db.isMember(*chatId, connection->userId)) {
        sendError(connection, QStringLiteral("Message not found"));
        return std::nullopt;
    }
    return message;
}

void ChatServer::handleMessageSeen(ClientConnection *connection, const QJsonObject &request)
{
    const std::optional<MessageRecord> message = requestedMessage(connection, request);
    if (!message)
        return;
    // A sender's own client may report its own messages; that is no receipt.
    if (message->senderId == connection->userId)
        return;
    if (!beginWrite(connection, QStringLiteral("The receipt could not be stored")))
        return;
    const bool recorded = db.markSeen(message->seq, connection->userId, nowSeconds());
    if (db.lastStatementFailed()) {
        abortBatch();
        return;
    }
    if (recorded)
        sendToUsers({ message->senderId },
            protocol::seenUpdateFrame(message->chatId, message->id, connection->userId));
}

void ChatServer::handleEditMessage(ClientConnection *connection, const QJsonObject &request)
{
    std::optional<MessageRecord> message = requestedMessage(connection, request);
    if (!message)
        return;
    // The client sends a plain string; a content object with a "text" is taken too.
    const QJsonValue newContent = request.value(QLatin1String("newContent"));
    const QJsonValue textValue =
        newContent.isObject() ? newContent.toObject().value(QLatin1String("text")) : newContent;
    if (!textValue.isString()) {
        sendError(connection, invalidField(QLatin1String("newContent")));
        return;
    }
    if (message->senderId != connection->userId) {
        sendError(connection, QStringLiteral("Only the sender can edit a message"));
        return;
    }
    const QString problem = protocol::checkText(textValue.toString());
    if (!problem.isEmpty()) {
        sendError(connection, problem);
        return;
    }
    message->text = textValue.toString();
    message->editedAt = nowSeconds();
    const QString failure = QStringLiteral("The edit could not be stored");
    if (!beginWrite(connection, failure))
        return;
    if (!db.editMessage(message->seq, message->text, message->editedAt)) {
        abortBatch();
        return;
    }
    const std::optional<ChatRecord> chat = db.chat(message->chatId);
    sendToUsers(chat ? chat->members : QStringList(), protocol::messageUpdatedFrame(*message));
}

void ChatServer::handleDeleteMessage(ClientConnection *connection, const QJsonObject &request)
{
    const std::optional<MessageRecord> message = requestedMessage(connection, request);
    if (!message)
        return;
    if (message->senderId != connection->userId) {
        sendError(connection, QStringLiteral("Only the sender can delete a message"));
        return;
    }
    if (!beginWrite(connection, QStringLiteral("The message could not be deleted")))
        return;
    if (!db.deleteMessage(message->seq)) {
        abortBatch();
        return;
    }
    const std::optional<ChatRecord> chat = db.chat(message->chatId);
    sendToUsers(chat ? chat->members : QStringList(),
        protocol::messageDeletedFrame(message->chatId, message->id));
}

void ChatServer::handleGetHistory(ClientConnection *connection, const QJsonObject &request)
{
    const std::optional<QString> chatId = stringField(request, chatIdKey);
    const QJsonValue beforeValue = request.value(QLatin1String("before"));
    if (!chatId) {
        sendError(connection, invalidField(chatIdKey));
        return;
    }
    // Any finite number works; far-off values are clamped into the range of real timestamps.
    const double beforeNumber = beforeValue.toDouble();
    if (!beforeValue.isDouble() || !std::isfinite(beforeNumber)) {
        sendError(connection, invalidField(QLatin1String("before")));
        return;
    }
    const qint64 before =
        static_cast<qint64>(std::trunc(std::max(-1e15, std::min(1e15, beforeNumber))));
    std::optional<ChatRecord> chat;
    if (db.isMember(*chatId, connection->userId))
        chat = db.chat(*chatId);
    if (!chat) {
        sendError(connection, QStringLiteral("Not a member of this chat"));
        return;
    }
    // Read what is committed, so that an answer never holds what a failed commit takes back.
    commitBatch();
    const std::vector<MessageRecord> messages =
        db.messagesBefore(chat->id, before, options.historyPage, historyTieLimit);
    send(
        connection, protocol::chatHistoryFrame(QJsonArray { protocol::chatJson(*chat, messages) }));
}

QString ChatServer::loginHistory(const QString &userId)
{
    // Full pages for everyone but those in very many busy chats; for them, fewer messages per
    // chat until the frame fits, at least the newest one. The client pages back for the rest.
    // Pages hold whole seconds while they can; only when even that is too large does a chat get
    // just its newest message, and "get_history" then sends the rest of that second again.
    int perChat = options.historyPage;
    bool wholeSeconds = true;
    for (;;) {
        QJsonArray chats;
        int longest = 0;
        for (const ChatHistory &history : db.chatHistories(userId, perChat, wholeSeconds)) {
            chats.append(protocol::chatJson(history.chat, history.messages));
            longest = std::max(longest, int(history.messages.size()));
        }
        QString text = protocol::serialize(protocol::chatHistoryFrame(chats));
        const qint64 bytes = text.toUtf8().size();
        if (bytes <= options.maxLoginHistoryBytes || longest <= 1 || !wholeSeconds)
            return text;
        if (perChat <= 1) {
            wholeSeconds = false;
            continue;
        }
        // Aims a little below the bound, so that one more round is rarely needed.
        const int page = std::min(longest, perChat);
        perChat = std::clamp(
            int(page * 0.9 * double(options.maxLoginHistoryBytes) / double(bytes)), 1, page - 1);
    }
}

qint64 ChatServer::nowSeconds() const
{
    return options.clock() / 1000;
}

void ChatServer::send(ClientConnection *connection, const QJsonObject &frame)
{
    metrics.countFrameSent(frame.value(QLatin1String("type")).toString());
    sendText(connection->id(), protocol::serialize(frame));
}

void ChatServer::sendError(ClientConnection *connection, const QString &message)
{
    send(connection, protocol::errorFrame(message));
}

void ChatServer::sendText(quint64 connectionId, const QString &text)
{
    if (batch) {
        outgoing.append({ connectionId, text, currentWrite });
        return;
    }
    ClientConnection *connection = connections.value(connectionId);
    if (!connection)
        return;
    connection->sendText(text);
    if (connection->markForFlush())
        unflushed.append(connectionId);
}

void ChatServer::flushOutput()
{
    for (const quint64 connectionId : std::exchange(unflushed, {})) {
        if (ClientConnection *connection = connections.value(connectionId))
            connection->flush();
    }
}

void ChatServer::sendToUsers(const QStringList &userIds, const QJsonObject &frame)
{
    const QString text = protocol::serialize(frame);
    QVector<quint64> targets;
    for (const QString &userId : userIds) {
        for (ClientConnection *connection : connectionsByUser.value(userId))
            targets.append(connection->id());
    }
    metrics.countFrameSent(frame.value(QLatin1String("type")).toString(), targets.size());
    // By id: a send may cut off a slow reader, which changes the lists.
    for (quint64 connectionId : qAsConst(targets))
        sendText(connectionId, text);
}

bool ChatServer::beginWrite(ClientConnection *connection, const QString &failure)
{
    if (!batch) {
        batch = std::make_unique<Store::Transaction>(db);
        if (!batch->isActive()) {
            batch.reset();
            qCWarning(lcServer).noquote() << "cannot open a transaction:" << db.lastError();
            sendError(connection, failure);
            return false;
        }
        commitTimer.start(0);
    }
    currentWrite = batchWrites.size();
    batchWrites.append({ connection->id(), failure, outgoing.size() });
    return true;
}

void ChatServer::commitBatch()
{
    settleCommit();
    if (!batch)
        return;
    commitTimer.stop();
    QElapsedTimer timer;
    timer.start();
    const bool committed = batch->commit();
    metrics.countCommit(batchWrites.size(), timer.nsecsElapsed() / 1e9, committed);
    batch.reset();
    currentWrite = -1;
    const QVector<Outgoing> frames = std::exchange(outgoing, {});
    const QVector<BatchWrite> writes = std::exchange(batchWrites, {});
    sendBatch(frames, writes, committed);
}

void ChatServer::startCommit()
{
    if (!batch || inFlight)
        return;
    inFlight = std::make_unique<Commit>();
    inFlight->transaction = std::move(batch);
    inFlight->outgoing = std::exchange(outgoing, {});
    inFlight->writes = std::exchange(batchWrites, {});
    currentWrite = -1;
    Commit *commit = inFlight.get();
    const quint64 number = ++commitsStarted;
    committer.start([this, commit, number, hook = options.beforeCommit] {
        if (hook)
            hook();
        QElapsedTimer timer;
        timer.start();
        commit->committed = commit->transaction->commit();
        commit->seconds = timer.nsecsElapsed() / 1e9;
        QMetaObject::invokeMethod(
            this,
            [this, number] {
                if (inFlight && number == commitsStarted)
                    finishCommit();
            },
            Qt::QueuedConnection);
    });
}

void ChatServer::settleCommit()
{
    if (!inFlight)
        return;
    committer.waitForDone();
    finishCommit();
}

void ChatServer::finishCommit()
{
    // The commit thread is done with it; `waitForDone` or its notice says so.
    const std::unique_ptr<Commit> done = std::move(inFlight);
    metrics.countCommit(done->writes.size(), done->seconds, done->committed);
    sendBatch(done->outgoing, done->writes, done->committed);
    // What waited is served now, in the order it came; it forms the next batch.
    replaying = true;
    while (!waiting.empty() && !inFlight) {
        const std::function<void()> work = std::move(waiting.front());
        waiting.pop_front();
        work();
    }
    replaying = false;
}

void ChatServer::sendBatch(
    const QVector<Outgoing> &frames, const QVector<BatchWrite> &writes, bool committed)
{
    if (!committed)
        qCWarning(lcServer).noquote()
            << "a commit of" << writes.size() << "writes failed:" << db.lastError();
    int nextWrite = 0;
    const auto answerFailuresUpTo = [&](int position) {
        for (; nextWrite < writes.size() && writes.at(nextWrite).firstOutgoing <= position;
             ++nextWrite) {
            const BatchWrite &write = writes.at(nextWrite);
            sendText(write.connectionId, protocol::serialize(protocol::errorFrame(write.failure)));
        }
    };
    for (int i = 0; i < frames.size(); ++i) {
        const Outgoing &frame = frames.at(i);
        if (!committed)
            answerFailuresUpTo(i);
        if (committed || frame.write < 0)
            sendText(frame.connectionId, frame.text);
    }
    if (!committed)
        answerFailuresUpTo(frames.size());
}

void ChatServer::abortBatch()
{
    if (batch)
        batch->rollback();
    commitBatch();
}
