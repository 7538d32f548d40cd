#include "chatserver.h"

#include "clientconnection.h"
#include "credentials.h"
#include "database.h"
#include "filestream.h"
#include "handshake.h"
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
// How long shutdown waits for clients to answer the close handshake.
constexpr int shutdownGraceMs = 3000;
// Pauses after `accept` fails, typically for want of descriptors: retrying at once would fail
// again in a busy loop, while a short, growing pause lets closing connections free some.
constexpr int minAcceptBackoffMs = 50;
constexpr int maxAcceptBackoffMs = 1000;
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

// Groups IPv6 peers by their /64, which one subscriber usually holds whole; IPv4-mapped peers
// count as their IPv4 address.
QString addressKey(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        return QHostAddress(ipv4).toString();
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString();
}

// Names are matched without regard to ASCII case, so "Alice" and "alice" share one account's
// failures; long names are cut as the lookup does.
QString throttleKey(const QString &username)
{
    return username.left(maxUsernameLength + 1).toLower();
}

QString peerKey(const QHostAddress &address, quint16 port)
{
    return address.toString() + QLatin1Char(' ') + QString::number(port);
}

QString peerKey(const QTcpSocket *socket)
{
    return peerKey(socket->peerAddress(), socket->peerPort());
}

const QLatin1String chatIdKey("chatId");
const QLatin1String messageIdKey("messageId");

} // namespace

ChatServer::ChatServer(Database &database, const Options &options, QObject *parent)
    : QObject(parent)
    , db(database)
    , options(options)
    , webSocketServer(QStringLiteral("ferrow-server"), QWebSocketServer::NonSecureMode)
    // Each connection has at most one login waiting; a quarter of an address's connections is
    // plenty for people sharing one address.
    , loginQueue(options.maxConnectionsPerAddress > 0
              ? std::max(1, options.maxConnectionsPerAddress / 4)
              : 0)
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
    connect(&tcpServer, &QTcpServer::acceptError, this, &ChatServer::onAcceptError);
    connect(&webSocketServer, &QWebSocketServer::newConnection, this, &ChatServer::onNewWebSocket);
    connect(&loginQueue, &LoginQueue::checked, this, &ChatServer::finishLogin);
}

ChatServer::~ChatServer() = default;

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
    acceptBackoffMs = 0;
    while (QTcpSocket *socket = tcpServer.nextPendingConnection()) {
        const QString address = addressKey(socket->peerAddress());
        const int open = connectionsByAddress.value(address);
        if (stopping
            || (options.maxConnectionsPerAddress > 0 && open >= options.maxConnectionsPerAddress)) {
            if (!stopping && open == options.maxConnectionsPerAddress)
                qCDebug(lcServer).noquote() << "refusing connections from" << address;
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connectionsByAddress.insert(address, open + 1);
        // The socket lives on inside the WebSocket after an upgrade, and Qt drops the signal
        // connections of an upgraded socket; a child object ends with it either way.
        auto *slot = new QObject(socket);
        connect(slot, &QObject::destroyed, this, [this, address] { releaseAddress(address); });
        socket->setParent(this);
        auto *timeout = new QTimer(socket);
        timeout->setSingleShot(true);
        connect(timeout, &QTimer::timeout, socket, &QTcpSocket::abort);
        timeout->start(requestHeadTimeoutMs);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onRequestHead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void ChatServer::onAcceptError(QAbstractSocket::SocketError error)
{
    // Qt has stopped accepting; it is resumed here after a pause.
    acceptBackoffMs =
        acceptBackoffMs ? std::min(acceptBackoffMs * 2, maxAcceptBackoffMs) : minAcceptBackoffMs;
    if (acceptBackoffMs == minAcceptBackoffMs || acceptBackoffMs == maxAcceptBackoffMs)
        qCWarning(lcServer).noquote()
            << "cannot accept connections:" << tcpServer.errorString() << "(error" << error
            << "), retrying in" << acceptBackoffMs << "ms";
    QTimer::singleShot(acceptBackoffMs, this, [this] {
        if (!stopping)
            tcpServer.resumeAccepting();
    });
}

void ChatServer::releaseAddress(const QString &address)
{
    auto it = connectionsByAddress.find(address);
    if (it == connectionsByAddress.end())
        return;
    if (--it.value() <= 0)
        connectionsByAddress.erase(it);
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
    if ((query < 0 ? target : target.left(query)) == "/ws") {
        // Qt would close on a bad handshake without a word; it gets a proper answer here.
        const int status = handshake::check(peeked.left(end));
        if (status != 0) {
            socket->read(end + 4);
            socket->write(handshake::refusal(status));
            socket->disconnectFromHost();
            return;
        }
        // The WebSocket server reads the handshake itself.
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        const QString peer = peerKey(socket);
        upgrading.insert(peer, socket);
        // Deleted here only if no WebSocket took it: a failed handshake leaves it to us.
        auto *handshakeTimeout = new QTimer(socket);
        handshakeTimeout->setSingleShot(true);
        connect(handshakeTimeout, &QTimer::timeout, this, [this, socket, peer] {
            if (upgrading.value(peer) != socket)
                return;
            upgrading.remove(peer);
            socket->abort();
            socket->deleteLater();
        });
        handshakeTimeout->start(requestHeadTimeoutMs);
        webSocketServer.handleConnection(socket);
        return;
    }
    const QByteArray head = socket->read(end + 4).left(end);
    QString bodyFile;
    socket->write(staticfiles::respond(head, options.staticDir, &bodyFile));
    if (!bodyFile.isEmpty()) {
        new FileStream(socket, bodyFile, options.staticWriteTimeoutMs);
        return;
    }
    // Closes once the response is written.
    socket->disconnectFromHost();
}

void ChatServer::onNewWebSocket()
{
    while (QWebSocket *socket = webSocketServer.nextPendingConnection()) {
        QTcpSocket *tcpSocket = upgrading.take(peerKey(socket->peerAddress(), socket->peerPort()));
        if (stopping) {
            socket->abort();
            socket->deleteLater();
            if (tcpSocket)
                tcpSocket->deleteLater();
            continue;
        }
        auto *connection = new ClientConnection(socket, nextConnectionId++, this);
        // Qt leaves the upgraded TCP socket to its old owner. As the connection's child after
        // the WebSocket, it ends with the connection and outlives the WebSocket that uses it.
        if (tcpSocket)
            tcpSocket->setParent(connection);
        connections.insert(connection->id(), connection);
        connection->startLoginDeadline(options.loginTimeoutMs);
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
    if (connection->loginPending)
        loginQueue.cancel(connection->id());
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
    if (handler != &ChatServer::handleLogin && connection->userId.isEmpty()) {
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
    connection->stopLoginDeadline();
    const QString address = addressKey(connection->peerAddress());
    if (!loginThrottle.allows(throttleKey(*username), address, options.clock())) {
        qCInfo(lcServer).noquote() << "login throttled for" << username->left(maxUsernameLength)
                                   << "on connection" << connection->id();
        connection->sendFrame(protocol::authFailedFrame());
        connection->startLoginDeadline(options.loginTimeoutMs);
        return;
    }
    std::optional<UserRecord> user;
    if (!username->isEmpty() && username->size() <= maxUsernameLength)
        user = db.userByName(*username);
    LoginQueue::Check check;
    check.connectionId = connection->id();
    check.address = address;
    check.password = *password;
    check.storedHash = user ? db.passwordHash(user->id) : unknownUserHash;
    check.userId = user ? user->id : QString();
    check.username = *username;
    if (!loginQueue.enqueue(check)) {
        qCInfo(lcServer).noquote() << "login queue full for" << check.address;
        connection->sendError(QStringLiteral("Too many logins at once; try again shortly"));
        connection->startLoginDeadline(options.loginTimeoutMs);
        return;
    }
    connection->loginPending = true;
}

void ChatServer::finishLogin(const LoginQueue::Check &check, bool ok)
{
    // Counted even when the guesser has hung up meanwhile.
    ok = ok && !check.userId.isEmpty();
    if (ok)
        loginThrottle.recordSuccess(throttleKey(check.username), check.address);
    else
        loginThrottle.recordFailure(throttleKey(check.username), check.address, options.clock());
    const quint64 connectionId = check.connectionId;
    ClientConnection *connection = connections.value(connectionId);
    if (!connection)
        return;
    connection->loginPending = false;
    const std::optional<UserRecord> user = ok ? db.userById(check.userId) : std::nullopt;
    if (!user) {
        qCInfo(lcServer).noquote() << "login failed for" << check.username.left(maxUsernameLength)
                                   << "on connection" << connectionId;
        connection->sendFrame(protocol::authFailedFrame());
        connection->startLoginDeadline(options.loginTimeoutMs);
        return;
    }
    QList<ClientConnection *> &ofUser = connectionsByUser[user->id];
    if (options.maxConnectionsPerUser > 0 && ofUser.size() >= options.maxConnectionsPerUser) {
        if (ofUser.isEmpty())
            connectionsByUser.remove(user->id);
        qCInfo(lcServer).noquote() << "refusing another connection of" << user->username;
        connection->sendError(QStringLiteral("Too many connections for this account"));
        connection->closeWithGrace(QWebSocketProtocol::CloseCodePolicyViolated,
            QStringLiteral("Too many connections for this account"));
        return;
    }
    connection->userId = user->id;
    connection->username = user->username;
    ofUser.append(connection);
    qCInfo(lcServer).noquote() << "login of" << user->username << "on connection" << connectionId;

    connection->sendFrame(protocol::loginSuccessFrame(*user, credentials::newToken()));
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
