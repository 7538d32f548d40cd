#pragma once

#include "model/chat.h"
#include "model/message.h"
#include "model/user.h"
#include "net/connectionsupervisor.h"
#include "session/chatresync.h"
#include "session/drafts.h"
#include "session/outbox.h"
#include "session/typingtracker.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

class ChatStore;
class DetachedTimeline;
class FileUpload;
class QNetworkAccessManager;
class MessageSearch;
class QTimer;
class WebSocketClient;

// One account's session with the server, below any window. It owns the connection and its
// supervisor, the store (where the local copies of messages being sent live), the outbox, the
// merge of the server's fresh push after a re-login, the seen receipts with their hold while
// nobody can see the window, and the composer of each chat. A window or a test drives it; its
// signals say what changed, and the store says what is now.
class ChatSession : public QObject
{
    Q_OBJECT

public:
    // The longest message text the server takes, in characters.
    static constexpr int maxTextLength = 4000;

    // Why a session ended.
    enum class EndReason {
        // A re-login was refused, or there was no password to give.
        LoginRefused,
        // The server closed it: the password was changed on another device.
        PasswordChanged,
        // The server closed it: the account was disabled.
        AccountDisabled,
    };
    Q_ENUM(EndReason)

    enum class SendResult {
        // No text, or no chat open.
        Nothing,
        Sent,
        // The edit is requested (or was no change); edit mode is still on.
        EditSaved,
        // Longer than maxTextLength: nothing is sent.
        TooLong,
        // A file is over the server's limit (maxUploadSize): nothing is sent.
        FileTooLarge,
    };

    // How far a local copy's file has gone up to the server.
    struct UploadProgress {
        qint64 sent = 0;
        qint64 total = 0;
        // The server is busy; the file goes up again by itself after a wait.
        bool waiting = false;
    };

    explicit ChatSession(QObject *parent = nullptr);
    ~ChatSession() override;

    WebSocketClient *client() const;
    ConnectionSupervisor *supervisor() const;
    const ChatStore &store() const;
    // The open chat's stretch of history away from its newest messages, when one is shown.
    DetachedTimeline *detachedTimeline() const;
    MessageSearch *search() const;

    // Connection and login.
    void start();
    // A password login: sent now, or once the connection is up.
    void logIn(const QString &username, const QString &password);
    // Forgets the account and closes the connection; nothing reconnects until start().
    void logOut();
    // A re-login is impossible (no password to give): what is held stays for the same user's
    // next login, and nothing logs in by itself.
    void endSession(EndReason reason = EndReason::LoginRefused);
    // Asks the server to change the account's password; false (and nothing sent) while not
    // logged in, or while another change is under way. passwordChanged or
    // passwordChangeFailed follows.
    bool changePassword(const QString &oldPassword, const QString &newPassword);
    // Logged in, with the fresh push merged: requests go out now rather than queue.
    bool isOnline() const;
    // Logged in at some point and neither logged out nor ended since: re-logins resume it.
    bool isActive() const;
    const QString &currentUserId() const;

    // The open chat: held, or a private chat that comes into being with its first message.
    const QString &currentChatId() const;
    // Opens a chat. `typed` is the composer's text in the chat open until now, kept as its
    // draft; returns the composer's text for the chat opened.
    QString openChat(const QString &chatId, const QString &typed);
    // Minimised or hidden: what arrives in the open chat is not seen, and its receipts wait.
    void setInBackground(bool background);

    // The composer of the open chat.
    const QString &replyToMessageId() const;
    // Reply mode, for a message held in the open chat; false (and nothing changes) otherwise.
    bool replyTo(const QString &messageId);
    void cancelReply();
    const QString &editingMessageId() const;
    const QString &editingOldText() const;
    // Edit mode for one of the user's messages; `typed` is kept until the edit ends.
    void startEditing(const QString &messageId, const QString &oldText, const QString &typed);
    // Leaves edit mode; returns what was typed before it began.
    QString stopEditing();
    // The newest of the user's messages held in the open chat; null when none.
    const Message *lastOwnMessage() const;

    // Sends the composer's text (trimmed): a new message, a reply in reply mode (which then
    // ends), or the edit in edit mode.
    SendResult send(const QString &text);
    // Sends each file as a message of its own, the caption (trimmed) with the first; in reply
    // mode the first is the reply. Each shows at once as a local copy while its file uploads;
    // its message goes out once the server has the file.
    SendResult sendFiles(const QStringList &paths, const QString &caption);
    // The largest file the server takes, in bytes; 0 when it did not say (nothing is refused
    // here then).
    qint64 maxUploadSize() const;
    // The upload of a local copy's file; nothing when none is under way.
    std::optional<UploadProgress> uploadProgress(const QString &localId) const;
    // Stops a local copy's upload and drops the copy: no message goes out.
    void cancelUpload(const QString &localId);
    // For the window's downloads: the HTTP side of the connection.
    QNetworkAccessManager *network() const;
    QString httpToken() const;

    // A local copy goes here and now; a message the server holds is deleted there.
    void deleteMessage(const QString &messageId);
    // A failed local copy is sent again.
    void retry(const QString &localId);
    // A local copy is dropped without asking the server.
    void discard(const QString &localId);
    // The composer's text changed: the open chat's other members hear that the user types, at
    // most every few seconds, while there is text and no edit.
    void composerChanged(const QString &text);
    // Off: the user's typing is not told to anyone; others' is still shown.
    void setSendTyping(bool send);
    // Users typing in the chat, in the order they began.
    QStringList typists(const QString &chatId) const;

    // Muted chats raise no notification but for mentions; kept per account across logins.
    bool isMuted(const QString &chatId) const;
    void setMuted(const QString &chatId, bool muted);
    const QSet<QString> &mutedChats() const;

    // For tests: milliseconds on a monotonic clock of their own, for the pace of typing.
    void setClock(std::function<qint64()> clock);

    // Asks the server for the open chat's next older page; false when none is asked for now
    // (one is under way, the chat is exhausted, or the connection is not ready: then it is
    // asked for once it is).
    bool loadOlderMessages();
    // Shows the open chat at one of its messages: true when it is held and can be scrolled to
    // now; otherwise the page around it is asked for, and the detached timeline says when it
    // is ready or unavailable.
    bool openAtMessage(const QString &chatId, const QString &messageId);
    // Asks for the newer page of the detached timeline; false when none is asked for now.
    bool loadNewerMessages();
    // Leaves the detached timeline for the newest messages.
    void jumpToLatest();

    // Groups; each is sent only while online (false, and nothing sent, otherwise). A creation
    // is answered by groupCreated or groupCreationFailed, one at a time; the other changes by
    // chatUpdated or chatRemoved, or by a serverError.
    bool createGroup(const QString &name, const QStringList &memberIds);
    bool isCreatingGroup() const;
    bool renameChat(const QString &chatId, const QString &name);
    bool addMembers(const QString &chatId, const QStringList &memberIds);
    bool leaveChat(const QString &chatId);

signals:
    void stateChanged(ConnectionSupervisor::State state);
    // Connected and not logged in: a login may be given.
    void readyForLogin();
    void loginSuccess(const User &user, const QString &token);
    // A login given by the user was refused.
    void authFailed(const QString &message);
    void sessionEnded(ChatSession::EndReason reason);
    // The password is changed; the session goes on, with the new tokens.
    void passwordChanged();
    void passwordChangeFailed(const QString &message);
    // The account's chats, users, composers and queued work were forgotten.
    void accountForgotten();
    void serverError(const QString &message);
    void certificateRejected(const QString &reason);
    void frameTooLarge();

    // Chats the store took in from a history batch or an announcement; their rows are due.
    void chatHistoryReceived(const std::vector<Chat> &chats);
    void newChatCreated(const Chat &chat);
    void chatMoved(const QString &chatId);
    void userListUpdated(const std::vector<User> &users);
    // A message from the server that was not held (also for a chat that is not held).
    void messageReceived(const Message &msg);
    // A local copy of a message being sent.
    void pendingMessageAdded(const Message &local);
    void olderMessagesAdded(const QString &chatId);
    void messageSeenUpdate(const QString &chatId, const QString &messageId, const QString &userId);
    // A local copy failed, or is sent again.
    void messageStatusChanged(
        const QString &chatId, const QString &messageId, MessageStatus status);
    void messageUpdated(const QString &chatId,
        const QString &messageId,
        const QString &newContent,
        qint64 editedAt);
    // Deleted on the server, or a local copy confirmed or dropped.
    void messageDeleted(const QString &chatId, const QString &messageId);
    // The chat's held messages were brought up to date after a re-login.
    void chatReloaded(const QString &chatId);
    void unreadCountChanged(const QString &chatId);
    void typingChanged(const QString &chatId);
    void muteChanged(const QString &chatId);
    // A local copy's upload moved on, or ended.
    void uploadProgressChanged(const QString &chatId, const QString &localId);
    // The server did not take a file; its copy is now Failed.
    void uploadFailed(const QString &chatId, const QString &localId, const QString &reason);
    // The group asked for here exists and is held.
    void groupCreated(const QString &chatId);
    void groupCreationFailed(const QString &message);
    // A held chat's name, owner or members changed.
    void chatUpdated(const QString &chatId);
    // The user is no longer in the chat; it is forgotten, draft and all. When it was open, no
    // chat is open now.
    void chatRemoved(const QString &chatId);

private:
    void onLoggedIn();
    void onAuthFailed(const QString &message);
    void onConnectionLost();
    void onServerError(const QString &message);
    void onFrameTooLarge();
    void onSessionRevoked(int closeCode);
    void onChatHistoryReceived(const std::vector<Chat> &chats);
    void onNewChatCreated(const Chat &chat);
    void onMessageSeenUpdate(
        const QString &chatId, const QString &messageId, const QString &userId);
    void onMessageArrived(const Message &msg, const QString &replacedLocalId);
    void onTypingReceived(const QString &chatId, const QString &userId);
    void onChatUpdated(const Chat &chat);
    void onChatRemoved(const QString &chatId);
    void expireTyping();
    void scheduleTypingExpiry();
    void loadMutes();
    void forgetAccount();

    // Sends a request now, or queues it for the next login while offline.
    void request(const Outbox::Action &action);
    void sendLocalCopy(const QString &localId);
    void startUpload(const QString &localId);
    void onUploaded(const QString &localId, const Attachment &file);
    void onUploadFailed(const QString &localId, const QString &reason);
    void stopUploads();
    void fail(const QStringList &localIds);

    // The open chat's messages of others not seen yet are seen now, or once the window is back.
    void acknowledgeOpenChat();
    void queueReceipts(const QString &chatId, const QStringList &messageIds);
    void sendQueuedReceipts();

    // The fresh push after a re-login: held chats are brought up to date (asking for older
    // pages where a gap opened), then what is queued goes out.
    void resyncHeldChats(const std::vector<Chat> &fresh);
    void continueResync(const std::vector<Chat> &page);
    void onResyncPageLost();
    void finishResync();

    WebSocketClient *connection;
    ChatStore *chats;
    ConnectionSupervisor *watchdog;

    QString openChatId;
    bool active = false;
    bool background = false;
    bool changingPassword = false;
    // The "requestId" of the group creation awaiting its answer; empty when none is.
    QString groupRequestId;
    int nextGroupRequest = 0;

    // The composer of the open chat; the drafts of the others.
    QString replyId;
    QString editingId;
    QString editingText;
    QString draftBeforeEdit;
    Drafts drafts;

    Outbox outbox;
    QNetworkAccessManager *http = nullptr;
    // Local copies whose file is on its way: the file, and the upload under way (none after
    // a failure, until a retry).
    struct Upload {
        QString path;
        FileUpload *job = nullptr;
        UploadProgress progress;
    };
    QHash<QString, Upload> uploads;
    QTimer *outboxTimer;
    DetachedTimeline *stretch;
    MessageSearch *finder;
    QElapsedTimer monotonic;

    // Receipts of the open chat are held while in the background; those queued go out a chunk
    // per event-loop turn.
    bool receiptsHeld = false;
    std::vector<std::pair<QString, QString>> queuedReceipts;
    size_t nextReceipt = 0;

    std::function<qint64()> clock;
    bool sendTyping = true;
    QString typingSentChatId;
    qint64 typingSentAt = 0;
    TypingTracker typing;
    QTimer *typingTimer;
    QSet<QString> muted;

    bool awaitingFreshPush = false;
    std::vector<ChatResync> resyncs;
    std::vector<Chat> resyncFresh;
    QSet<QString> resyncHeldIds;
    // The chat whose older page the resync asked for last; empty when none is awaited.
    QString resyncPageChatId;
    // Older messages were asked for while that could not be answered; asked for after the
    // re-login.
    bool pagingDeferred = false;
};
