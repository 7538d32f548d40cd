#include "websocketclient.h"

#include "jsonguard.h"
#include "logging.h"
#include "model/metatypes.h"
#include "net/serveraddress.h"
#include "net/wireformat.h"

#include <QJsonDocument>
#include <QStringList>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace
{

// Frames at least this large leave freed memory worth handing back to the system.
constexpr int largeFrameSize = 1024 * 1024;

void trimFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

} // namespace

WebSocketClient::WebSocketClient(QObject *parent)
    : QObject(parent)
    , webSocket(QString(), QWebSocketProtocol::Version13)
{
    registerMetaTypes();
    qRegisterMetaType<QList<QSslError>>("QList<QSslError>");
    webSocket.setMaxAllowedIncomingMessageSize(maxIncomingMessageSize);

    connect(&webSocket, &QWebSocket::connected, this, &WebSocketClient::onConnected);
    connect(&webSocket, &QWebSocket::disconnected, this, &WebSocketClient::onDisconnected);
    connect(&webSocket,
        &QWebSocket::textMessageReceived,
        this,
        &WebSocketClient::onTextMessageReceived);
    connect(&webSocket,
        QOverload<const QList<QSslError> &>::of(&QWebSocket::sslErrors),
        this,
        &WebSocketClient::onSslErrors);
}

WebSocketClient::~WebSocketClient() = default;

void WebSocketClient::connectToServer()
{
    const ServerAddress address = ServerAddress::fromEnvironment();
    if (address.tls)
        webSocket.setSslConfiguration(serverSslConfiguration());
    webSocket.open(address.webSocketUrl());
}

void WebSocketClient::onConnected()
{
    qCDebug(lcNet) << "WebSocket connected";
    emit connected();
}

void WebSocketClient::onDisconnected()
{
    if (webSocket.closeCode() == QWebSocketProtocol::CloseCodeTooMuchData) {
        qCWarning(lcNet) << "Frame over" << maxIncomingMessageSize << "bytes refused";
        emit frameTooLarge();
    }
    emit disconnected();
}

void WebSocketClient::onSslErrors(const QList<QSslError> &errors)
{
    // Not ignored: the socket aborts the handshake, so nothing is sent to an unverified peer.
    QStringList reasons;
    for (const QSslError &error : errors)
        reasons.append(error.errorString());
    const QString reason = reasons.join(QStringLiteral("; "));
    qCWarning(lcNet).noquote() << "Refusing the server's certificate:" << reason;
    emit certificateRejected(reason);
}

void WebSocketClient::onTextMessageReceived(QString message)
{
    if (message.size() >= largeFrameSize) {
        // Once the frame, its JSON and the records built from it are gone, glibc keeps the
        // freed pages unless asked to return them.
        QMetaObject::invokeMethod(
            this, [] { trimFreedMemory(); }, Qt::QueuedConnection);
    }
    QJsonObject frame;
    {
        const QJsonDocument document = jsonguard::parse(message.toUtf8());
        message.clear();
        if (!document.isObject())
            return;
        frame = document.object();
    }
    const QString type = wire::readString(frame, QLatin1String("type"));

    if (type == QLatin1String("login_success"))
        handleLoginSuccess(frame);
    else if (type == QLatin1String("auth_failed"))
        emit authFailed(wire::readString(frame, QLatin1String("message")));
    else if (type == QLatin1String("chat_history"))
        handleChatHistory(frame);
    else if (type == QLatin1String("message"))
        handleMessage(frame);
    else if (type == QLatin1String("user_list_update"))
        handleUserListUpdate(frame);
    else if (type == QLatin1String("new_chat_info"))
        handleNewChat(frame);
    else if (type == QLatin1String("message_seen_update"))
        handleMessageSeenUpdate(frame);
    else if (type == QLatin1String("message_updated"))
        handleMessageUpdated(frame);
    else if (type == QLatin1String("message_deleted"))
        handleMessageDeleted(frame);
    else if (type == QLatin1String("error"))
        emit errorOccurred(wire::readString(frame, QLatin1String("message")));
}

void WebSocketClient::handleLoginSuccess(const QJsonObject &frame)
{
    currentUser = wire::userFromJson(frame.value(QLatin1String("user")).toObject());
    token = wire::readString(frame, QLatin1String("token"));
    emit loginSuccess(currentUser, token);
}

void WebSocketClient::handleChatHistory(const QJsonObject &frame)
{
    emit chatHistoryReceived(wire::chatsFromJson(frame.value(QLatin1String("chats"))));
}

void WebSocketClient::handleMessage(const QJsonObject &frame)
{
    emit messageReceived(wire::messageFromJson(frame));
}

void WebSocketClient::handleUserListUpdate(const QJsonObject &frame)
{
    emit userListUpdated(wire::usersFromJson(frame.value(QLatin1String("users"))));
}

void WebSocketClient::handleNewChat(const QJsonObject &frame)
{
    emit newChatCreated(wire::newChatFromJson(frame.value(QLatin1String("chat")).toObject()));
}

void WebSocketClient::handleMessageSeenUpdate(const QJsonObject &frame)
{
    emit messageSeenUpdate(wire::readString(frame, QLatin1String("chatId")),
        wire::readString(frame, QLatin1String("messageId")),
        wire::readString(frame, QLatin1String("userId")));
}

void WebSocketClient::handleMessageUpdated(const QJsonObject &frame)
{
    emit messageUpdated(wire::readString(frame, QLatin1String("chatId")),
        wire::readString(frame, QLatin1String("messageId")),
        wire::contentText(frame.value(QLatin1String("newContent"))),
        wire::readTime(frame.value(QLatin1String("editedAt"))));
}

void WebSocketClient::handleMessageDeleted(const QJsonObject &frame)
{
    emit messageDeleted(wire::readString(frame, QLatin1String("chatId")),
        wire::readString(frame, QLatin1String("messageId")));
}

void WebSocketClient::send(const QJsonObject &frame)
{
    if (webSocket.state() != QAbstractSocket::ConnectedState)
        return;
    webSocket.sendTextMessage(
        QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
}

void WebSocketClient::login(const QString &username, const QString &password)
{
    send(wire::loginFrame(username, password));
}

void WebSocketClient::fetchHistory(const QString &chatId, qint64 before)
{
    send(wire::historyFrame(chatId, before));
}

void WebSocketClient::sendMessageSeen(const QString &chatId, const QString &messageId)
{
    send(wire::messageSeenFrame(chatId, messageId));
}

void WebSocketClient::editMessage(
    const QString &chatId, const QString &messageId, const QString &newContent)
{
    send(wire::editFrame(chatId, messageId, newContent));
}

void WebSocketClient::deleteMessage(const QString &chatId, const QString &messageId)
{
    send(wire::deleteFrame(chatId, messageId));
}

void WebSocketClient::sendMessage(
    const QString &chatId, const QString &text, const QString &replyToId)
{
    send(wire::messageFrame(chatId, text, replyToId, currentUser.id));
}

void WebSocketClient::logout()
{
    currentUser = User();
    token.clear();
    webSocket.close(QWebSocketProtocol::CloseCodeNormal, QString());
}
