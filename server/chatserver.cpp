#include "chatserver.h"

#include "clientconnection.h"
#include "credentials.h"
#include "database.h"
#include "protocol.h"
#include "serverlogging.h"
#include "staticfiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <cmath>
#include <optional>

namespace
{

// A request head larger than this is no browser or client of ours.
constexpr qint64 maxRequestHeadBytes = 16 * 1024;
// How long a new TCP connection may take to send its request head.
constexpr int requestHeadTimeoutMs = 10000;
// Messages stamped with the very second a "get_history" asks before, sent again in full so that
// none is skipped; bounded so that one answer stays a few megabytes at most.
constexpr int historyTieLimit = 500;
// Longest user name looked up at login; longer ones cannot exist.
constexpr int maxUsernameLength = 256;
// Tokens we hand out are 64 characters; anything much longer is not worth hashing.
constexpr int maxTokenLength = 256;
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

const QLatin1String chatIdKey("chatId");
const QLatin1String messageIdKey("messageId");

} // namespace

ChatServer::ChatServer(Database &database, const Options &options, QObject *parent)
    : QObject(parent)
    , db(database)
    , options(options)
    , webSocketServer(QStringLiteral("ferrow-server"), QWebSocketServer::NonSecureMode)
{
    Q_INIT_RESOURCE(server);
    if (!this->options.clock)
        this->options.clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    if (this->options.historyPage < 1)
        this->options.historyPage = 1;
    QDir().mkpath(this->options.staticDir);
    const QString defaultAvatar =
        QDir(this->options.staticDir).filePath(QStringLiteral("default.png"));
    if (!QFile::exists(defaultAvatar)) {
        QFile::copy(QStringLiteral(":/server/default.png"), defaultAvatar);
        QFile::setPermissions(defaultAvatar,
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }

    tcpServer.setSslConfiguration(this->options.tls);
    connect(&tcpServer, &QTcpServer::newConnection, this, &ChatServer::onNewTcpConnection);
    connect(&webSocketServer, &QWebSocketServer::newConnection, this, &ChatServer::onNewWebSocket);
}

ChatServer::~ChatServer()
{
    // Login results are posted back to this object; none may arrive once it is gone.
    loginPool.waitForDone();
}

bool ChatServer::listen(const QHostAddress &address, quint16 port)
{
    return tcpServer.listen(address, port);
}

QHostAddress ChatServer::serverAddress() const
{
    return tcpServer.serverAddress();
}

quint16 ChatServer::serverPort() const
{
    return tcpServer.serverPort();
}

QString ChatServer::errorString() const
{
    return tcpServer.errorString();
}

bool ChatServer::isSecure() const
{
    return tcpServer.isSecure();
}

int ChatServer::connectionCount() const
{
    return connections.size();
}

void ChatServer::shutdown()
{
    if (stopping)
        return;
    stopping = true;
    tcpServer.close();
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

void ChatServer::onNewTcpConnection()
{
    while (QTcpSocket *socket = tcpServer.nextPendingConnection()) {
        if (stopping) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setParent(this);
        auto *timeout = new QTimer(socket);
        timeout->setSingleShot(true);
        connect(timeout, &QTimer::timeout, socket, &QTcpSocket::abort);
        timeout->start(requestHeadTimeoutMs);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onRequestHead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void ChatServer::onRequestHead(QTcpSocket *socket)
{
    const QByteArray peeked = socket->peek(maxRequestHeadBytes + 4);
    const int end = peeked.indexOf("\r\n\r\n");
    if (end < 0) {
        if (socket->bytesAvailable() > maxRequestHeadBytes) {
            disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
            // Read what is there, so that closing does not reset the connection under the
            // response.
            socket->readAll();
            socket->write(staticfiles::errorResponse(431));
            socket->disconnectFromHost();
        }
        return;
    }
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    delete socket->findChild<QTimer *>();

    const int lineEnd = peeked.indexOf("\r\n");
    const QByteArray target = peeked.left(lineEnd).split(' ').value(1);
    const int query = target.indexOf('?');
    // Qt drops a plain request for the WebSocket path without a word; such a request gets a
    // proper "400" below instead.
    const QByteArray lowerHead = peeked.left(end).toLower();
    if ((query < 0 ? target : target.left(query)) == "/ws" && lowerHead.contains("\r\nupgrade:")
        && lowerHead.contains("websocket")) {
        // The WebSocket server reads the handshake itself and owns the socket from here on.
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        webSocketServer.handleConnection(socket);
        return;
    }
    const QByteArray head = socket->read(end + 4).left(end);
    const bool webSocketPath = target == "/ws" || target.startsWith("/ws?");
    socket->write(webSocketPath ? staticfiles::errorResponse(400)
                                : staticfiles::respond(head, options.staticDir));
    // Closes once the response is written.
    socket->disconnectFromHost();
}

void ChatServer::onNewWebSocket()
{
    while (QWebSocket *socket = webSocketServer.nextPendingConnection()) {
        if (stopping) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new ClientConnection(socket, nextConnectionId++, this);
        connections.insert(connection->id(), connection);
        connect(connection, &ClientConnection::requestReceived, this, &ChatServer::onRequest);
        connect(connection, &ClientConnection::closed, this, &ChatServer::onConnectionClosed);
        qCInfo(lcServer).noquote()
            << "connection" << connection->id() << "opened from" << connection->peer();
    }
}

void ChatServer::onConnectionClosed(ClientConnection *connection)
{
    if (!connections.remove(connection->id()))
        return;
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

void ChatServer::onRequest(ClientConnection *connection, const QJsonObject &request)
{
    const std::optional<QString> type = stringField(request, QLatin1String("type"));
    if (!type) {
        connection->sendError(invalidField(QLatin1String("type")));
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
    if (!handler) {
        connection->sendError(QStringLiteral("Unknown request type"));
        return;
    }
    if (handler != &ChatServer::handleLogin && handler != &ChatServer::handleTokenLogin
        && connection->userId.isEmpty()) {
        connection->sendError(QStringLiteral("Log in first"));
        return;
    }
    (this->*handler)(connection, request);
}

void ChatServer::handleLogin(ClientConnection *connection, const QJsonObject &request)
{
    const std::optional<QString> username = stringField(request, QLatin1String("username"));
    const std::optional<QString> password = stringField(request, QLatin1String("password"));
    if (!username || !password) {
        connection->sendError(
            invalidField(!username ? QLatin1String("username") : QLatin1String("password")));
        return;
    }
    if (!connection->userId.isEmpty()) {
        connection->sendError(QStringLiteral("Already logged in"));
        return;
    }
    if (connection->loginPending) {
        connection->sendError(QStringLiteral("A login is already in progress"));
        return;
    }
    std::optional<UserRecord> user;
    if (!username->isEmpty() && username->size() <= maxUsernameLength)
        user = db.userByName(*username);
    const QString userId = user ? user->id : QString();
    const QString stored = user ? db.passwordHash(user->id) : unknownUserHash;
    const quint64 connectionId = connection->id();
    const QString name = *username;
    const QString secret = *password;
    connection->loginPending = true;
    loginPool.start([this, connectionId, userId, name, secret, stored] {
        const bool ok = credentials::verifyPassword(secret, stored) && !userId.isEmpty();
        QMetaObject::invokeMethod(
            this,
            [this, connectionId, userId, name, ok] { finishLogin(connectionId, userId, name, ok); },
            Qt::QueuedConnection);
    });
}

void ChatServer::handleTokenLogin(ClientConnection *connection, const QJsonObject &request)
{
    const std::optional<QString> token = stringField(request, QLatin1String("token"));
    if (!token) {
        connection->sendError(invalidField(QLatin1String("token")));
        return;
    }
    if (!connection->userId.isEmpty()) {
        connection->sendError(QStringLiteral("Already logged in"));
        return;
    }
    if (connection->loginPending) {
        connection->sendError(QStringLiteral("A login is already in progress"));
        return;
    }
    std::optional<QString> userId;
    if (!token->isEmpty() && token->size() <= maxTokenLength)
        userId = db.takeLoginToken(credentials::tokenHash(*token), nowSeconds());
    if (userId) {
        finishLogin(connection->id(), *userId, QString(), true);
        return;
    }
    // A refusal takes as long as a wrong password does, so that guessing tokens is no faster
    // than guessing passwords.
    const quint64 connectionId = connection->id();
    connection->loginPending = true;
    loginPool.start([this, connectionId] {
        credentials::verifyPassword(QString(), unknownUserHash);
        QMetaObject::invokeMethod(
            this,
            [this, connectionId] {
                finishLogin(connectionId, QString(), QStringLiteral("a login token"), false);
            },
            Qt::QueuedConnection);
    });
}

void ChatServer::finishLogin(
    quint64 connectionId, const QString &userId, const QString &name, bool ok)
{
    ClientConnection *connection = connections.value(connectionId);
    if (!connection)
        return;
    connection->loginPending = false;
    const std::optional<UserRecord> user = ok ? db.userById(userId) : std::nullopt;
    if (!user) {
        qCInfo(lcServer).noquote() << "login failed for" << name.left(maxUsernameLength)
                                   << "on connection" << connectionId;
        connection->sendFrame(protocol::authFailedFrame());
        return;
    }
    connection->userId = user->id;
    connection->username = user->username;
    connectionsByUser[user->id].append(connection);
    qCInfo(lcServer).noquote() << "login of" << user->username << "on connection" << connectionId;

    const QString token = credentials::newToken();
    db.addLoginToken(credentials::tokenHash(token), user->id, nowSeconds());
    connection->sendFrame(protocol::loginSuccessFrame(*user, token));
    QJsonArray chats;
    for (const ChatRecord &chat : db.chatsOfUser(user->id))
        chats.append(protocol::chatJson(chat, db.newestMessages(chat.id, options.historyPage)));
    connection->sendFrame(protocol::chatHistoryFrame(chats));
    connection->sendFrame(protocol::userListFrame(db.users()));
}

void ChatServer::handleMessage(ClientConnection *connection, const QJsonObject &request)
{
    const QString &me = connection->userId;
    const QJsonValue content = request.value(QLatin1String("content"));
    const QJsonValue textValue = content.toObject().value(QLatin1String("text"));
    if (!content.isObject() || !textValue.isString()) {
        connection->sendError(invalidField(QLatin1String("content")));
        return;
    }
    const QJsonValue file = content.toObject().value(QLatin1String("file"));
    if (!file.isUndefined() && !file.isNull()) {
        connection->sendError(QStringLiteral("Attachments are not supported"));
        return;
    }
    const QString text = textValue.toString();
    const QString problem = protocol::checkText(text);
    if (!problem.isEmpty()) {
        connection->sendError(problem);
        return;
    }
    const QJsonValue replyValue = request.value(QLatin1String("replyToId"));
    if (!replyValue.isUndefined() && !replyValue.isNull() && !replyValue.isString()) {
        connection->sendError(invalidField(QLatin1String("replyToId")));
        return;
    }
    const bool hasChatId = request.contains(chatIdKey);
    const bool hasRecipient = request.contains(QLatin1String("recipientId"));
    if (hasChatId == hasRecipient) {
        connection->sendError(QStringLiteral("Give exactly one of \"chatId\" and \"recipientId\""));
        return;
    }

    std::optional<ChatRecord> chat;
    bool created = false;
    // The chat and its first message are committed together: a chat that exists has been
    // announced, and a later message can rely on that.
    Database::Transaction transaction(db);
    if (!transaction.isActive()) {
        connection->sendError(QStringLiteral("The message could not be stored"));
        return;
    }
    if (hasRecipient) {
        const std::optional<QString> recipientId =
            stringField(request, QLatin1String("recipientId"));
        if (!recipientId || *recipientId == me || !db.userById(*recipientId)) {
            connection->sendError(QStringLiteral("Unknown recipient"));
            return;
        }
        const QString chatId = protocol::privateChatId(me, *recipientId);
        chat = db.chat(chatId);
        if (!chat) {
            QStringList members { me, *recipientId };
            members.sort();
            chat = db.createChat(chatId, QString(), QStringLiteral("private"), me, members);
            created = true;
        }
    } else {
        const std::optional<QString> chatId = stringField(request, chatIdKey);
        if (!chatId) {
            connection->sendError(invalidField(chatIdKey));
            return;
        }
        if (db.isMember(*chatId, me))
            chat = db.chat(*chatId);
        if (!chat) {
            connection->sendError(QStringLiteral("Not a member of this chat"));
            return;
        }
    }

    std::optional<MessageRecord> message;
    if (chat) {
        // A reply to a message that is gone, or that belongs elsewhere, is stored as no reply.
        QString replyToId = replyValue.toString();
        if (!replyToId.isEmpty()) {
            const std::optional<MessageRecord> original = db.message(replyToId);
            if (!original || original->chatId != chat->id)
                replyToId.clear();
        }
        message = db.addMessage(chat->id, me, text, replyToId, nowSeconds());
    }
    if (!message || !transaction.commit()) {
        connection->sendError(QStringLiteral("The message could not be stored"));
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
        connection->sendError(invalidField(!chatId ? chatIdKey : messageIdKey));
        return std::nullopt;
    }
    // The same answer whether the message does not exist or lies in a chat the user is not in,
    // so that nothing leaks about other chats.
    std::optional<MessageRecord> message = db.message(*messageId);
    if (!message || message->chatId != *chatId || !db.isMember(*chatId, connection->userId)) {
        connection->sendError(QStringLiteral("Message not found"));
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
    if (db.markSeen(message->seq, connection->userId, nowSeconds()))
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
        connection->sendError(invalidField(QLatin1String("newContent")));
        return;
    }
    if (message->senderId != connection->userId) {
        connection->sendError(QStringLiteral("Only the sender can edit a message"));
        return;
    }
    const QString problem = protocol::checkText(textValue.toString());
    if (!problem.isEmpty()) {
        connection->sendError(problem);
        return;
    }
    message->text = textValue.toString();
    message->editedAt = nowSeconds();
    if (!db.editMessage(message->seq, message->text, message->editedAt)) {
        connection->sendError(QStringLiteral("The edit could not be stored"));
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
        connection->sendError(QStringLiteral("Only the sender can delete a message"));
        return;
    }
    if (!db.deleteMessage(message->seq)) {
        connection->sendError(QStringLiteral("The message could not be deleted"));
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
        connection->sendError(invalidField(chatIdKey));
        return;
    }
    // Any finite number works; far-off values are clamped into the range of real timestamps.
    const double beforeNumber = beforeValue.toDouble();
    if (!beforeValue.isDouble() || !std::isfinite(beforeNumber)) {
        connection->sendError(invalidField(QLatin1String("before")));
        return;
    }
    const qint64 before =
        static_cast<qint64>(std::trunc(std::max(-1e15, std::min(1e15, beforeNumber))));
    std::optional<ChatRecord> chat;
    if (db.isMember(*chatId, connection->userId))
        chat = db.chat(*chatId);
    if (!chat) {
        connection->sendError(QStringLiteral("Not a member of this chat"));
        return;
    }
    const std::vector<MessageRecord> messages =
        db.messagesBefore(chat->id, before, options.historyPage, historyTieLimit);
    connection->sendFrame(
        protocol::chatHistoryFrame(QJsonArray { protocol::chatJson(*chat, messages) }));
}

qint64 ChatServer::nowSeconds() const
{
    return options.clock() / 1000;
}

void ChatServer::sendToUsers(const QStringList &userIds, const QJsonObject &frame)
{
    const QString text = protocol::serialize(frame);
    for (const QString &userId : userIds) {
        // A copy: a send may cut off a slow reader, which changes the list.
        const QList<ClientConnection *> targets = connectionsByUser.value(userId);
        for (ClientConnection *connection : targets)
            connection->sendText(text);
    }
}
