#pragma once

#include "model/chat.h"
#include "model/message.h"
#include "model/user.h"
#include "net/wireformat.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>
#include <QWebSocket>
#include <memory>
#include <vector>

namespace wire
{
class FrameParser;
}

// The client's one connection to the chat server: turns every inbound JSON frame into one signal
// and offers one method per request frame.
class WebSocketClient : public QObject
{
    Q_OBJECT

public:
    // Close codes with which the server ends a session for good: another device changed the
    // password, or the administrator disabled the account.
    static constexpr int passwordChangedCloseCode = 4001;
    static constexpr int accountDisabledCloseCode = 4003;

    // Bounds what one hostile frame can make the client hold. The login push of a big account
    // (a thousand chats of fifty messages is about 13 MiB) stays well below it.
    static constexpr qint64 maxIncomingMessageSize = 64 * 1024 * 1024;

    explicit WebSocketClient(QObject *parent = nullptr);
    ~WebSocketClient() override;

    void connectToServer();
    // Drops the connection at once, without a close handshake.
    void abortConnection();
    bool isConnected() const;
    // While nothing arrives for `idleMs`, a ping goes out; no pong within `pongTimeoutMs` means
    // the connection is dead. 0 turns the check off.
    void setLiveness(int idleMs, int pongTimeoutMs);

    void login(const QString &username, const QString &password);
    void loginWithToken(const QString &token);
    void changePassword(const QString &oldPassword, const QString &newPassword);
    // The token for HTTP requests of the last login or password change; empty when none.
    QString httpToken() const;
    // The largest upload the server takes, in bytes, as its last login said; 0 when it did not.
    qint64 maxUploadSize() const;
    void fetchHistory(const QString &chatId, qint64 before);
    // A history page answered through historyPageReceived with the same `requestId`.
    void fetchHistoryPage(const QString &chatId,
        wire::HistoryAnchor anchor,
        const QJsonValue &value,
        const QString &requestId);
    void search(const QString &requestId,
        const QString &query,
        const QString &chatId,
        const QString &before);
    void sendMessageSeen(const QString &chatId, const QString &messageId);
    void sendTyping(const QString &chatId);
    void editMessage(const QString &chatId, const QString &messageId, const QString &newContent);
    void deleteMessage(const QString &chatId, const QString &messageId);
    void sendMessage(const QString &chatId,
        const QString &text,
        const QString &replyToId,
        const Attachment &file = Attachment());
    // Groups: the creation is answered by groupCreated with the same `requestId`, or by
    // requestFailed; the others by chatUpdated and chatRemoved, or by errorOccurred.
    void createGroup(const QString &requestId, const QString &name, const QStringList &memberIds);
    void renameChat(const QString &chatId, const QString &name);
    void addMembers(const QString &chatId, const QStringList &memberIds);
    void leaveChat(const QString &chatId);
    void logout();

signals:
    void connected();
    // Also when an attempt to connect fails: either way there is no connection now.
    void disconnected();
    void loginSuccess(const User &user, const QString &token);
    void authFailed(const QString &message);
    void chatHistoryReceived(const std::vector<Chat> &chats);
    // A "chat_history" answering a request that carried a "requestId".
    void historyPageReceived(const QString &requestId, const std::vector<Chat> &chats);
    void searchResultsReceived(
        const QString &requestId, const std::vector<Message> &results, const QString &next);
    // An "error" answering a request that carried a "requestId".
    void requestFailed(const QString &requestId, const QString &message);
    void messageReceived(const Message &msg);
    void userListUpdated(const std::vector<User> &users);
    void errorOccurred(const QString &msg);
    void newChatCreated(const Chat &chat);
    void messageSeenUpdate(const QString &chatId, const QString &messageId, const QString &userId);
    void messageUpdated(const QString &chatId,
        const QString &messageId,
        const QString &newContent,
        qint64 editedAt);
    void messageDeleted(const QString &chatId, const QString &messageId);
    // "password_changed": the tokens of the session go on with the new password.
    void passwordChanged(const QString &token, const QString &httpToken);
    // An "error" answering "change_password".
    void passwordChangeFailed(const QString &message);
    // The server closed the connection with passwordChangedCloseCode or accountDisabledCloseCode;
    // `disconnected` follows.
    void sessionRevoked(int closeCode);
    void typingReceived(const QString &chatId, const QString &userId);
    void groupCreated(const QString &requestId, const QString &chatId);
    // A chat's name, owner or members changed; members as the server now has them.
    void chatUpdated(const Chat &chat);
    // The user is no longer a member of the chat.
    void chatRemoved(const QString &chatId);
    // The server sent a frame larger than maxIncomingMessageSize; the connection is closed.
    void frameTooLarge();
    // The server's certificate was refused; the connection is dropped, never retried in clear.
    void certificateRejected(const QString &reason);

private slots:
    void onConnected();
    void onDisconnected();
    void onTextMessageReceived(QString message);
    void onSslErrors(const QList<QSslError> &errors);

private:
    void send(const QJsonObject &frame);
    void onSocketError(QAbstractSocket::SocketError error);
    void onIdle();
    void reportDown();
    void readWithQt(const QByteArray &text);

    // A frame is read through either of two JSON views (see net/jsonview.h); these are
    // instantiated for both in the source file.
    template <typename Frame> void dispatch(const Frame &frame);
    template <typename Frame> void handleLoginSuccess(const Frame &frame);
    template <typename Frame> void handleChatHistory(const Frame &frame);
    template <typename Frame> void handleMessage(const Frame &frame);
    template <typename Frame> void handleUserListUpdate(const Frame &frame);
    template <typename Frame> void handleNewChat(const Frame &frame);
    template <typename Frame> void handleMessageSeenUpdate(const Frame &frame);
    template <typename Frame> void handleMessageUpdated(const Frame &frame);
    template <typename Frame> void handleMessageDeleted(const Frame &frame);

    QWebSocket webSocket;
    QTimer idleTimer;
    QTimer pongTimer;
    // An attempt is under way or its connection open, and its end not yet reported.
    bool live = false;
    bool closedByHandshake = false;
    std::unique_ptr<wire::FrameParser> parser;
    // A slot that spins an event loop can bring the next frame in while one is being read; that
    // one must not reuse the parser whose document is still in use.
    bool parserBusy = false;

public:
    // The logged-in user; the window reads it to tell its own messages from others'.
    User currentUser;

private:
    QString token;
    QString currentHttpToken;
    qint64 uploadLimit = 0;
};
