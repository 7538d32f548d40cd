#pragma once

#include "model/chat.h"
#include "model/message.h"
#include "model/user.h"
#include "session/chatresync.h"
#include "session/drafts.h"
#include "session/outbox.h"

#include <QColor>
#include <QElapsedTimer>
#include <QHash>
#include <QIcon>
#include <QMainWindow>
#include <QMap>
#include <QModelIndex>
#include <QPixmap>
#include <QSet>
#include <QString>
#include <QSystemTrayIcon>
#include <utility>
#include <vector>

class AvatarCache;
class ConnectionBar;
class ConnectionSupervisor;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QNetworkAccessManager;
class QNetworkReply;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class ChatStore;
class QTimer;
class CredentialStore;
class WebSocketClient;

// The one window of the client: owns the server connection, the conversation store and every
// widget. Its slots hand inbound events to the store; its views follow the store's signals. Its
// methods are split by subsystem across src/app, src/conversations and src/view.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Scrolls to a message of the open chat and outlines it for a few seconds; the message
    // delegate calls it when a reply quote is clicked.
    void focusOnMessage(const QString &messageId);

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void changeEvent(QEvent *event) override;

private slots:
    void onConnected();
    void onLoginBtnClicked();
    void onLoginSuccess(const User &user, const QString &token);
    void onAuthFailed(const QString &msg);
    void onFrameTooLarge();
    void onChatHistoryReceived(const std::vector<Chat> &chats);
    void onMessageReceived(const Message &msg);
    void onUserListUpdated(const std::vector<User> &users);
    void onSendBtnClicked();
    void onNewChatCreated(const Chat &chat);
    void onMessageSeenUpdate(
        const QString &chatId, const QString &messageId, const QString &userId);
    void onChatSelected(QListWidgetItem *item);
    void onContactSelected(QListWidgetItem *item);
    void onDarkModeToggled(bool checked);
    void onLogoutClicked();
    void onNotificationsToggled(bool checked);
    void onChatListContextMenu(const QPoint &pos);
    void onEditMessage();
    void onDeleteMessage();
    void onReplyToMessage();
    void onForwardMessage();
    void onCancelEdit();
    void onCancelReply();
    void onMessageUpdated(const QString &chatId,
        const QString &messageId,
        const QString &newContent,
        qint64 editedAt);
    void onMessageDeleted(const QString &chatId, const QString &messageId);
    void onScrollValueChanged(int value);
    void onChatListItemClicked(const QModelIndex &index);
    void onTrayIconActivated(QSystemTrayIcon::ActivationReason reason);
    void onTrayShowHide();
    void onTrayQuit();
    void onTrayMessageClicked();
    void onCertificateRejected(const QString &reason);
    void onStoredPasswordLoaded(const QString &password);

private:
    // Frame, layout, theme and tray (src/app).
    void setupUi();
    void applyTheme();
    void setupTrayIcon();
    void toggleWindowVisibility();
    void showNotificationForMessage(const Message &msg);
    bool isWindowInFront() const;
    // Minimised or hidden to the tray: nothing shown can be taken as seen.
    bool isInBackground() const;
    // The receipts held back while in the background, once the window is back.
    void sendHeldReceipts();

    // Chat list and contacts (src/conversations/chatlist.cpp).
    QString resolveChatName(const Chat &chat) const;
    QString chatAvatarUrl(const Chat &chat) const;
    QListWidgetItem *makeChatRow(const Chat &chat);
    void insertChatRows(const QStringList &chatIds, int firstRow);
    bool openChat(const QString &chatId);
    // The header's title, elided to its width; the whole name is its tooltip.
    void setChatTitle(const QString &title);
    // Makes the open chat's row the selected one (none when it has no row yet).
    void selectOpenChatRow();
    void finishHistoryRequest();
    void onChatsAdded(const QStringList &chatIds);
    void onChatMoved(const QString &chatId);
    void reorderChatRows();
    void refreshChatRows();

    // Message timeline (src/conversations/timeline.cpp).
    void renderMessages(const QString &chatId);
    void addMessageBubble(const Message &msg);
    void prependMessageBubble(const Message &msg);
    void fillMessageRow(QListWidgetItem *item, const Message &msg);
    QString getReplyPreviewText(const QString &replyToId, const QString &chatId) const;
    MessageStatus calculateMessageStatus(const Message &msg, const Chat &chat) const;
    void scrollToBottom();
    bool isScrolledToBottom() const;
    QListWidgetItem *findMessageRow(const QString &messageId) const;
    void clearMessageRows();
    void forgetMessageRow(QListWidgetItem *item);
    bool extendWindowUpTo(int position);
    void onOlderMessagesAdded(const QString &chatId);
    void queueReceipts(const QString &chatId, const QStringList &messageIds);
    void sendQueuedReceipts();

    // Sending and live updates (src/conversations/sending.cpp, liveupdates.cpp).
    void updateMessageStatus(const QString &messageId, MessageStatus status);
    void moveChatRowToTop(int row);
    void onMessageArrived(const Message &msg, const QString &replacedLocalId);
    void onMessageStatusChanged(
        const QString &chatId, const QString &messageId, MessageStatus status);
    void onMessageEdited(const QString &chatId,
        const QString &messageId,
        const QString &newContent,
        qint64 editedAt);
    void onMessageRemoved(const QString &chatId, const QString &messageId);

    // Message actions (src/conversations/actions.cpp).
    QMenu *menuOfTriggeredAction() const;
    void startEditing(const QString &messageId, const QString &text);
    void showReplyBar();
    // Keeps the composer of the chat being left and brings back the one of the chat opened.
    void switchComposer(const QString &fromChatId, const QString &toChatId);
    // Keys of the composer (src/app/composerkeys.h): Escape and Up in an empty input.
    void leaveComposerMode();
    void editLastOwnMessage();
    void onRetryMessage();
    void onDiscardMessage();

    // Staying connected (src/app/connection.cpp).
    void setupConnection();
    void onConnectionStateChanged();
    void onSessionStarted();
    void onConnectionLost();
    void onServerError(const QString &message);
    void keepBottomInView(bool wasAtBottom);
    // A re-login was refused, or had no password to fall back on: back to the login page.
    void endSession();
    // Drops everything of the logged-in account: chats, rows, composer modes, the outbox.
    void forgetAccount();
    // Sends a request now, or queues it for the next login while the connection is down.
    void request(const Outbox::Action &action);
    bool isOnline() const;
    // Sends the local copy of a new message now, when logged in.
    void sendLocalCopy(const Message &local);
    // The server's fresh push after a login: held chats are brought up to date (asking for
    // older pages where a gap opened), then queued work is sent.
    void resyncHeldChats(const std::vector<Chat> &fresh);
    void continueResync(const std::vector<Chat> &page);
    void onResyncPageLost();
    void finishResync();
    void applyResync(const ChatResync &resync);
    // Matches queued messages against the fresh push, then sends what is still queued, in
    // order.
    void resumeAfterLogin(const std::vector<Chat> &fresh, const QSet<QString> &heldIds);
    void markFailed(const QStringList &localIds);
    void showOutboxRows(const QString &chatId);

    // Avatars (src/app/avatars.cpp).
    QIcon getAvatar(const QString &name, const QString &avatarUrl);
    QIcon generateGenericAvatar(const QString &name) const;
    QColor getColorForName(const QString &name) const;
    void updateAvatarOnItems(const QString &url, const QPixmap &pixmap);

    WebSocketClient *client;
    ChatStore *store;
    QNetworkAccessManager *networkManager;
    AvatarCache *avatars;

    QStackedWidget *stackedWidget = nullptr;
    QWidget *loginPage = nullptr;
    QWidget *chatPage = nullptr;
    QLineEdit *usernameEdit = nullptr;
    QLineEdit *passwordEdit = nullptr;
    QPushButton *loginButton = nullptr;
    QLabel *statusLabel = nullptr;
    QTabWidget *sidebarTabs = nullptr;
    QListWidget *chatListWidget = nullptr;
    QListWidget *contactListWidget = nullptr;
    QWidget *settingsPage = nullptr;
    QCheckBox *notificationsCheckBox = nullptr;
    QWidget *chatArea = nullptr;
    QLabel *chatTitleLabel = nullptr;
    QListWidget *messageListWidget = nullptr;
    QWidget *replyBar = nullptr;
    QLabel *replyPreviewLabel = nullptr;
    QPushButton *cancelReplyButton = nullptr;
    QWidget *editBar = nullptr;
    QLabel *editLabel = nullptr;
    QPushButton *cancelEditButton = nullptr;
    QLineEdit *messageInput = nullptr;
    QPushButton *sendButton = nullptr;

    QString currentChatId;
    bool darkMode = false;
    bool notificationsEnabled = true;
    QString highlightedMessageId;
    QString editingMessageId;
    QString editingOldText;
    QString replyToMessageId;
    QString replyToText;
    QString replyToSenderName;
    // The chat the quoted message belongs to; a reply goes nowhere else.
    QString replyChatId;
    // What was typed before edit mode replaced it; it is the chat's draft if the chat is left.
    QString draftBeforeEdit;
    Drafts drafts;

    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QAction *showHideAction = nullptr;
    QAction *quitAction = nullptr;
    // The chat of the latest message announced while the window was not in front: a click on
    // its balloon opens it.
    QString attentionChatId;
    bool hiddenToTray = false;
    // Messages of the open chat arrived or were shown while in the background; their
    // "message_seen" waits for the window to come back.
    bool receiptsHeld = false;

    // The rows shown: the message list holds a window of the open chat (its newest messages,
    // extended upwards as the user scrolls), the chat list one row per stored chat.
    QHash<QString, QListWidgetItem *> messageRows;
    QHash<QString, QListWidgetItem *> chatRows;
    // Chats moved since the chat list was last reordered; it is reordered once per event-loop
    // turn however many messages arrive.
    QSet<QString> movedChats;
    bool chatReorderQueued = false;
    // Receipts of an opened chat still to be sent, a chunk per event-loop turn.
    std::vector<std::pair<QString, QString>> queuedReceipts;
    size_t nextReceipt = 0;

    // The stored login (src/app/credentialstore.h); a connection that opens while its password
    // is still being read from the secret store logs in once it arrives.
    CredentialStore *credentials = nullptr;
    bool autoLoginWhenLoaded = false;

    // Staying connected: the supervisor beside the client, the bars that show its state, the
    // messages and requests waiting for the connection, and the merge of the fresh push.
    ConnectionSupervisor *supervisor = nullptr;
    ConnectionBar *connectionBar = nullptr;
    ConnectionBar *loginConnectionBar = nullptr;
    Outbox outbox;
    QTimer *outboxTimer = nullptr;
    QElapsedTimer monotonic;
    bool hadSession = false;
    bool everConnected = false;
    bool awaitingFreshPush = false;
    std::vector<ChatResync> resyncs;
    std::vector<Chat> resyncFresh;
    QSet<QString> resyncHeldIds;
    // The chat whose older page the resync asked for last; empty when none is awaited.
    QString resyncPageChatId;
    // The user scrolled to the top while that could not be answered; tried again after the
    // re-login.
    bool pagingDeferred = false;

    // Tests reach widgets and state through this one door.
    friend struct WindowProbe;
};
