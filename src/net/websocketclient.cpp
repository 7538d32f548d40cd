#include "websocketclient.h"

#include "jsonguard.h"
#include "logging.h"
#include "model/metatypes.h"
#include "net/jsonview.h"
#include "net/serveraddress.h"
#include "net/wireformat.h"

#include <QJsonDocument>
#include <QStringList>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace
{

// A connection quiet for this long is probed with a ping; NAT boxes and proxies commonly drop
// idle connections after a minute or more, and half a minute keeps the probe well inside that.
constexpr int idlePingMs = 30000;
// A live server answers a ping within milliseconds; ten seconds allow for a slow network.
constexpr int pongTimeoutMs = 10000;
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
    , parser(std::make_unique<wire::FrameParser>())
{
    registerMetaTypes();
    qRegisterMetaType<QList<QSslError>>("QList<QSslError>");
    webSocket.setMaxAllowedIncomingMessageSize(maxIncomingMessageSize);

    connect(&webSocket, &QWebSocket::connected, this, &WebSocketClient::onConnected);
    connect(&webSocket, &QWebSocket::disconnected, this, &WebSocketClient::onDisconnected);
    // The socket keeps the close code of the last close handshake also across a connection that
    // is dropped without one: only a handshake of this connection says why it ended.
    connect(&webSocket, &QWebSocket::aboutToClose, this, [this] { closedByHandshake = true; });
    connect(&webSocket,
        QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error),
        this,
        &WebSocketClient::onSocketError);
    connect(&webSocket, &QWebSocket::pong, this, [this] {
        pongTimer.stop();
        idleTimer.start();
    });
    idleTimer.setSingleShot(true);
    pongTimer.setSingleShot(true);
    setLiveness(idlePingMs, pongTimeoutMs);
    connect(&idleTimer, &QTimer::timeout, this, &WebSocketClient::onIdle);
    connect(&pongTimer, &QTimer::timeout, this, [this] {
        qCWarning(lcNet) << "no answer to a ping, the connection is dead";
        abortConnection();
    });
    connect(&webSocket,
        &QWebSocket::textMessageReceived,
        this,
        &WebSocketClient::onTextMessageReceived);
    connect(&webSocket,
        QOverload<const QList<QSslError> &>::of(&QWebSocket::sslErrors),
        this,
        &WebSocketClient::onSslErrors);
}

WebSocketClient::~WebSocketClient()
{
    // The socket closes as it goes; that is no lost connection to report to anyone.
    webSocket.disconnect(this);
}

void WebSocketClient::connectToServer()
{
    if (webSocket.state() != QAbstractSocket::UnconnectedState)
        webSocket.abort();
    const ServerAddress address = ServerAddress::fromEnvironment();
    if (address.tls)
        webSocket.setSslConfiguration(serverSslConfiguration());
    live = true;
    closedByHandshake = false;
    webSocket.open(address.webSocketUrl());
}

void WebSocketClient::abortConnection()
{
    idleTimer.stop();
    pongTimer.stop();
    webSocket.abort();
    live = false;
}

bool WebSocketClient::isConnected() const
{
    return webSocket.state() == QAbstractSocket::ConnectedState;
}

void WebSocketClient::setLiveness(int idleMs, int pongMs)
{
    idleTimer.setInterval(idleMs);
    pongTimer.setInterval(pongMs);
    if (idleMs <= 0)
        idleTimer.stop();
    else if (isConnected() && !pongTimer.isActive())
        idleTimer.start();
}

void WebSocketClient::onIdle()
{
    if (!isConnected() || pongTimer.interval() <= 0)
        return;
    webSocket.ping();
    pongTimer.start();
}

void WebSocketClient::onSocketError(QAbstractSocket::SocketError error)
{
    // An attempt that never got as far as a connection reports no `disconnected` of its own.
    if (webSocket.state() == QAbstractSocket::ConnectedState)
        return;
    qCDebug(lcNet) << "connection failed:" << error << webSocket.errorString();
    reportDown();
}

void WebSocketClient::reportDown()
{
    // Once per attempt, whichever of the socket's error and close comes first.
    if (!live)
        return;
    live = false;
    emit disconnected();
}

void WebSocketClient::onConnected()
{
    qCDebug(lcNet) << "WebSocket connected";
    if (idleTimer.interval() > 0)
        idleTimer.start();
    emit connected();
}

void WebSocketClient::onDisconnected()
{
    idleTimer.stop();
    pongTimer.stop();
    if (webSocket.closeCode() == QWebSocketProtocol::CloseCodeTooMuchData) {
        qCWarning(lcNet) << "Frame over" << maxIncomingMessageSize << "bytes refused";
        emit frameTooLarge();
    }
    const int code = webSocket.closeCode();
    if (live && closedByHandshake
        && (code == passwordChangedCloseCode || code == accountDisabledCloseCode)) {
        qCInfo(lcNet) << "the server ended the session:" << code << webSocket.closeReason();
        emit sessionRevoked(code);
    }
    reportDown();
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
    // Anything from the server proves the connection alive.
    if (idleTimer.interval() > 0 && !pongTimer.isActive())
        idleTimer.start();
    if (message.size() >= largeFrameSize) {
        // Once the frame, its JSON and the records built from it are gone, glibc keeps the
        // freed pages unless asked to return them.
        QMetaObject::invokeMethod(
            this, [] { trimFreedMemory(); }, Qt::QueuedConnection);
    }
    const QByteArray text = message.toUtf8();
    message.clear();
    if (parserBusy) {
        readWithQt(text);
        return;
    }
    parserBusy = true;
    switch (parser->parse(text)) {
    case wire::FrameParser::Result::Parsed:
        dispatch(parser->root());
        break;
    case wire::FrameParser::Result::NotRead:
        readWithQt(text);
        break;
    case wire::FrameParser::Result::Refused:
        break;
    }
    if (text.size() >= largeFrameSize)
        parser->release();
    parserBusy = false;
}

void WebSocketClient::readWithQt(const QByteArray &text)
{
    const QJsonDocument document = jsonguard::parse(text);
    if (document.isObject())
        dispatch(wire::QtJsonView(document.object()));
}

template <typename Frame> void WebSocketClient::dispatch(const Frame &frame)
{
    const QString type = frame[QLatin1String("type")].toString();
    if (type == QLatin1String("login_success"))
        handleLoginSuccess(frame);
    else if (type == QLatin1String("auth_failed"))
        emit authFailed(frame[QLatin1String("message")].toString());
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
    else if (type == QLatin1String("search_results"))
        emit searchResultsReceived(frame[QLatin1String("requestId")].toString(),
            wire::searchResultsOf(frame[QLatin1String("results")]),
            frame[QLatin1String("next")].toString());
    else if (type == QLatin1String("error") && frame[QLatin1String("requestId")].isString())
        emit requestFailed(frame[QLatin1String("requestId")].toString(),
            frame[QLatin1String("message")].toString());
    else if (type == QLatin1String("group_created"))
        emit groupCreated(frame[QLatin1String("requestId")].toString(),
            frame[QLatin1String("chatId")].toString());
    else if (type == QLatin1String("chat_updated"))
        emit chatUpdated(wire::chatOf(frame[QLatin1String("chat")]));
    else if (type == QLatin1String("chat_removed"))
        emit chatRemoved(frame[QLatin1String("chatId")].toString());
    else if (type == QLatin1String("typing"))
        emit typingReceived(
            frame[QLatin1String("chatId")].toString(), frame[QLatin1String("userId")].toString());
    else if (type == QLatin1String("password_changed")) {
        token = frame[QLatin1String("token")].toString();
        currentHttpToken = frame[QLatin1String("httpToken")].toString();
        emit passwordChanged(token, currentHttpToken);
    } else if (type == QLatin1String("error")) {
        if (frame[QLatin1String("request")].toString() == QLatin1String("change_password"))
            emit passwordChangeFailed(frame[QLatin1String("message")].toString());
        else
            emit errorOccurred(frame[QLatin1String("message")].toString());
    }
}

template <typename Frame> void WebSocketClient::handleLoginSuccess(const Frame &frame)
{
    currentUser = wire::userOf(frame[QLatin1String("user")]);
    token = frame[QLatin1String("token")].toString();
    currentHttpToken = frame[QLatin1String("httpToken")].toString();
    uploadLimit = wire::byteCount(frame[QLatin1String("maxUploadSize")]);
    emit loginSuccess(currentUser, token);
}

template <typename Frame> void WebSocketClient::handleChatHistory(const Frame &frame)
{
    if (frame[QLatin1String("requestId")].isString())
        emit historyPageReceived(frame[QLatin1String("requestId")].toString(),
            wire::chatsOf(frame[QLatin1String("chats")]));
    else
        emit chatHistoryReceived(wire::chatsOf(frame[QLatin1String("chats")]));
}

template <typename Frame> void WebSocketClient::handleMessage(const Frame &frame)
{
    emit messageReceived(wire::messageOf(frame));
}

template <typename Frame> void WebSocketClient::handleUserListUpdate(const Frame &frame)
{
    emit userListUpdated(wire::usersOf(frame[QLatin1String("users")]));
}

template <typename Frame> void WebSocketClient::handleNewChat(const Frame &frame)
{
    emit newChatCreated(wire::newChatOf(frame[QLatin1String("chat")]));
}

template <typename Frame> void WebSocketClient::handleMessageSeenUpdate(const Frame &frame)
{
    emit messageSeenUpdate(frame[QLatin1String("chatId")].toString(),
        frame[QLatin1String("messageId")].toString(),
        frame[QLatin1String("userId")].toString());
}

template <typename Frame> void WebSocketClient::handleMessageUpdated(const Frame &frame)
{
    emit messageUpdated(frame[QLatin1String("chatId")].toString(),
        frame[QLatin1String("messageId")].toString(),
        wire::contentTextOf(frame[QLatin1String("newContent")]),
        wire::timeOf(frame[QLatin1String("editedAt")]));
}

template <typename Frame> void WebSocketClient::handleMessageDeleted(const Frame &frame)
{
    emit messageDeleted(
        frame[QLatin1String("chatId")].toString(), frame[QLatin1String("messageId")].toString());
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

void WebSocketClient::loginWithToken(const QString &token)
{
    send(wire::tokenLoginFrame(token));
}

void WebSocketClient::changePassword(const QString &oldPassword, const QString &newPassword)
{
    send(wire::changePasswordFrame(oldPassword, newPassword));
}

QString WebSocketClient::httpToken() const
{
    return currentHttpToken;
}

qint64 WebSocketClient::maxUploadSize() const
{
    return uploadLimit;
}

void WebSocketClient::fetchHistory(const QString &chatId, qint64 before)
{
    send(wire::historyFrame(chatId, before));
}

void WebSocketClient::fetchHistoryPage(const QString &chatId,
    wire::HistoryAnchor anchor,
    const QJsonValue &value,
    const QString &requestId)
{
    send(wire::historyFrame(chatId, anchor, value, requestId));
}

void WebSocketClient::search(
    const QString &requestId, const QString &query, const QString &chatId, const QString &before)
{
    send(wire::searchFrame(requestId, query, chatId, before));
}

void WebSocketClient::sendMessageSeen(const QString &chatId, const QString &messageId)
{
    send(wire::messageSeenFrame(chatId, messageId));
}

void WebSocketClient::sendTyping(const QString &chatId)
{
    send(wire::typingFrame(chatId));
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
    const QString &chatId, const QString &text, const QString &replyToId, const Attachment &file)
{
    send(wire::messageFrame(chatId, text, replyToId, currentUser.id, file));
}

void WebSocketClient::createGroup(
    const QString &requestId, const QString &name, const QStringList &memberIds)
{
    send(wire::createGroupFrame(requestId, name, memberIds));
}

void WebSocketClient::renameChat(const QString &chatId, const QString &name)
{
    send(wire::renameChatFrame(chatId, name));
}

void WebSocketClient::addMembers(const QString &chatId, const QStringList &memberIds)
{
    send(wire::addMembersFrame(chatId, memberIds));
}

void WebSocketClient::leaveChat(const QString &chatId)
{
    send(wire::leaveChatFrame(chatId));
}

void WebSocketClient::logout()
{
    currentUser = User();
    token.clear();
    currentHttpToken.clear();
    webSocket.close(QWebSocketProtocol::CloseCodeNormal, QString());
}
