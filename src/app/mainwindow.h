#pragma once

#include "model/chat.h"
#include "model/message.h"
#include "model/user.h"

#include <QHash>
#include <QIcon>
#include <QMainWindow>
#include <QModelIndex>
#include <QPixmap>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QSystemTrayIcon>
#include <vector>

class AttachmentStrip;
class AvatarCache;
class DownloadBar;
class FileDownloads;
class PictureCache;
class PictureViewer;
class ChangePasswordDialog;
class ChatSession;
class ChatStore;
class GroupDialog;
class ConnectionBar;
class CredentialStore;
class DesktopNotifier;
class MentionCompleter;
class MessageDelegate;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QNetworkAccessManager;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QToolButton;
class SearchPanel;

// The one window of the client: widgets, layout, theme and tray over a ChatSession, which holds
// the connection and every piece of conversation state. User actions go to the session; the
// session's signals refresh the rows, which are filled from its store and never read back. The
// methods are split by subsystem across src/app and src/conversations.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Scrolls to a message of the open chat and outlines it for a few seconds; the message
    // delegate asks for it when a reply quote is clicked.
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
    const ChatStore &store() const;
    const QString &currentChatId() const;
    MessageDelegate *messageDelegate() const;

    // Frame, layout, theme and tray (src/app).
    void setupUi();
    void applyTheme();
    void setupTrayIcon();
    void toggleWindowVisibility();
    void showNotificationForMessage(const Message &msg);
    bool isWindowInFront() const;
    // Minimised or hidden to the tray: nothing shown can be taken as seen.
    bool isInBackground() const;
    void onSessionEnded(int reason);
    // "Change Password…" of the Settings tab (src/app/login.cpp).
    void onChangePasswordClicked();
    void onPasswordChanged();
    void onAccountForgotten();
    void focusLoginForm();
    void rememberGeometry() const;

    // Chat list and contacts (src/conversations/chatlist.cpp).
    QString resolveChatName(const Chat &chat) const;
    QString chatAvatarUrl(const Chat &chat) const;
    QListWidgetItem *makeChatRow(const Chat &chat);
    // Rows for the held chats among `chatIds` that have none yet, on top, latest activity first.
    void addChatRows(QStringList chatIds);
    bool openChat(const QString &chatId);
    // The header's title, elided to its width; the whole name is its tooltip.
    void setChatTitle(const QString &title);
    // The open chat's name as the header shows it, anew from the store.
    void refreshChatTitle();
    // Makes the open chat's row the selected one (none when it has no row yet).
    void selectOpenChatRow();
    void onChatMoved(const QString &chatId);
    void reorderChatRows();
    void clearChatRows();

    // Message timeline (src/conversations/timeline.cpp).
    void renderMessages(const QString &chatId);
    void addMessageBubble(const Message &msg);
    void prependMessageBubble(const Message &msg);
    void fillMessageRow(QListWidgetItem *item, const Message &msg);
    // The message a row shows, from the store: a held message or a local copy; null if gone.
    const Message *messageOfRow(const QListWidgetItem *item) const;
    QString getReplyPreviewText(const QString &replyToId, const QString &chatId) const;
    MessageStatus calculateMessageStatus(const Message &msg, const Chat &chat) const;
    void scrollToBottom();
    bool isScrolledToBottom() const;
    QListWidgetItem *findMessageRow(const QString &messageId) const;
    void clearMessageRows();
    void removeMessageRow(const QString &messageId);
    // Fills the row of a message anew from the store, if it is shown.
    void refreshMessageRow(const QString &messageId);
    bool extendWindowUpTo(int position);
    // Rows [first, end) of `chat`'s held messages, short of the newest ones.
    void renderHeldSlice(const Chat &chat, int first, int end);
    // Shows a held message of the open chat that has no row: the window grows up to it when it
    // is near, else becomes the slice around it. Its row, or null.
    QListWidgetItem *bringHeldMessageIntoWindow(const QString &messageId);
    // A step more of the slice at its bottom, up to the newest messages.
    void extendWindowDown();
    void onOlderMessagesAdded(const QString &chatId);
    // The open chat's held messages changed under the view: rebuilt in place, at the bottom
    // when it was there, else with the same message at the top.
    void onChatReloaded(const QString &chatId);
    void setHighlightedMessageId(const QString &messageId);
    void followBottom();

    // Sending and live updates (src/conversations/sending.cpp, liveupdates.cpp).
    void updateMessageStatus(const QString &messageId, MessageStatus status);
    void moveChatRowToTop(int row);
    void onPendingMessageAdded(const Message &local);
    void showTextLength();
    void onMessageStatusChanged(
        const QString &chatId, const QString &messageId, MessageStatus status);

    // Message actions (src/conversations/actions.cpp).
    QMenu *menuOfTriggeredAction() const;
    void startEditing(const QString &messageId, const QString &text);
    void showReplyBar();
    // Shows the reply and edit modes of the open chat's composer as the session has them.
    void showComposerModes();
    // Keys of the composer (src/app/composerkeys.h): Escape and Up in an empty input.
    void leaveComposerMode();
    void editLastOwnMessage();
    void onRetryMessage();
    void onDiscardMessage();
    void copyCurrentMessage();

    // Message search and the timeline away from the newest messages
    // (src/conversations/search.cpp).
    void setupSearch();
    void openSearch();
    void closeSearch();
    void openSearchResult(const QString &chatId, const QString &messageId);
    // The open chat shows a stretch of its history away from its newest messages.
    bool showsDetachedTimeline() const;
    void onDetachedReady(const QString &chatId, const QString &messageId);
    void onDetachedUnavailable(const QString &chatId, const QString &messageId);
    void onDetachedOlderAdded(int count);
    void onDetachedNewerAdded(int count);
    void onDetachedJoined(const QString &chatId);
    // Rebuilds the rows from the store and scrolls back to the message that was at the top.
    void renderKeepingTopRow(const QString &chatId);
    void jumpToLatest();
    void updateJumpButton();
    void showTimelineNotice(const QString &text);

    // Groups: "New Group…", the header's member list and group menu, and the changes that
    // reach a chat (src/conversations/groups.cpp).
    void setupGroups();
    // Shown at the top of the Chats tab while it is in sight.
    void showNewGroupButton();
    void openNewGroupDialog();
    void openAddMembersDialog();
    void renameOpenGroup();
    void leaveOpenGroup();
    // The member list and menu of the open chat, anew from the store.
    void refreshGroupHeader();
    void onChatUpdated(const QString &chatId);
    void onChatRemoved(const QString &chatId);

    // Staying connected (src/app/connection.cpp).
    void setupConnection();
    void onConnectionStateChanged();
    void onServerError(const QString &message);

    // What is new: unread counts and previews on the chat rows, the total, mutes, desktop
    // notifications, who is typing and mentions (src/conversations/whatsnew.cpp).
    void setupWhatsNew();
    void onPreviewsToggled(bool checked);
    void onSendTypingToggled(bool checked);
    // The preview, time, unread count and mute of a chat's row, when previews are shown.
    void fillChatSummary(QListWidgetItem *item, const Chat &chat);
    // The chat's row (none for an empty id) and the total are brought up to date once per
    // event-loop turn.
    void markSummaryStale(const QString &chatId);
    void refreshStaleSummaries();
    void showUnreadTotal();
    void showTypists();
    void onChatRowsContextMenu(const QPoint &pos);
    void onNotificationActivated(const QString &chatId);
    // The open chat's other members, for completing "@" in the composer.
    void updateMentionNames();
    bool mentionsMe(const Message &msg) const;
    // A notification of the desktop, or a tray balloon where it has none.
    void notifyDesktop(const Message &msg, const QString &title, const QString &text);

    // Files (src/conversations/files.cpp).
    void setupFiles();
    // Puts files in the strip for the next message; those over the server's limit are refused
    // with a notice.
    void attachFiles(const QStringList &paths);
    // Sends what the strip holds, the composer's text as the caption; false when it is empty.
    bool sendAttachments();
    void fillFileRoles(QListWidgetItem *item, const Message &msg);
    void onShowPicturesToggled(bool checked);
    void onPictureNeeded(const QString &messageId);
    void onPictureReady(const QString &url);
    // A picture opens in a viewer; any other file is downloaded.
    void openFile(const QString &messageId);

    // Avatars (src/app/avatars.cpp).
    QIcon getAvatar(const QString &name, const QString &avatarUrl);
    QIcon generateGenericAvatar(const QString &name) const;
    QColor getColorForName(const QString &name) const;
    void updateAvatarOnItems(const QString &url, const QPixmap &pixmap);

    ChatSession *session;
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
    // The search button above the tabs, and the search that takes the tabs' place while open.
    QPushButton *searchButton = nullptr;
    SearchPanel *searchPanel = nullptr;
    QPushButton *newGroupButton = nullptr;
    QPointer<GroupDialog> groupDialog;
    QListWidget *chatListWidget = nullptr;
    QListWidget *contactListWidget = nullptr;
    QWidget *settingsPage = nullptr;
    QCheckBox *notificationsCheckBox = nullptr;
    QPushButton *changePasswordButton = nullptr;
    QPointer<ChangePasswordDialog> passwordDialog;
    // The new password asked for, stored once the server has taken it.
    QString requestedPassword;
    // Says so while the password lies in the settings file for want of a secret store.
    QLabel *passwordNotice = nullptr;
    QWidget *chatArea = nullptr;
    QLabel *chatTitleLabel = nullptr;
    QToolButton *membersButton = nullptr;
    QToolButton *groupMenuButton = nullptr;
    QListWidget *messageListWidget = nullptr;
    // Over the message list while its newest messages are not in view.
    QPushButton *jumpToLatestButton = nullptr;
    // Says for a few seconds why a jump to a message did not happen.
    QLabel *timelineNotice = nullptr;
    QWidget *replyBar = nullptr;
    QLabel *replyPreviewLabel = nullptr;
    QPushButton *cancelReplyButton = nullptr;
    QWidget *editBar = nullptr;
    QLabel *editLabel = nullptr;
    QPushButton *cancelEditButton = nullptr;
    QLineEdit *messageInput = nullptr;
    QPushButton *sendButton = nullptr;
    QPushButton *attachButton = nullptr;
    AttachmentStrip *attachmentStrip = nullptr;
    // The bars of files being downloaded, above the composer.
    QWidget *downloadArea = nullptr;
    QCheckBox *picturesCheckBox = nullptr;
    bool showPictures = false;
    FileDownloads *downloads = nullptr;
    PictureCache *pictureCache = nullptr;
    // Transfers under way, by key, and what shows them.
    QHash<QString, QPointer<PictureViewer>> viewers;
    QHash<QString, QPointer<DownloadBar>> downloadBars;
    quint64 transferCount = 0;
    // Rows waiting for a thumbnail, by the picture's URL.
    QMultiHash<QString, QString> pictureRows;
    // How long the message is, once near the longest the server takes.
    QLabel *lengthLabel = nullptr;
    QCheckBox *previewsCheckBox = nullptr;
    QCheckBox *typingCheckBox = nullptr;
    // Under the chat's name: who is typing in it.
    QLabel *typingLabel = nullptr;
    DesktopNotifier *notifier = nullptr;
    MentionCompleter *mentionCompleter = nullptr;

    bool darkMode = false;
    bool notificationsEnabled = true;
    bool showPreviews = false;
    // Chats whose row summary is out of date; the total follows with them.
    QSet<QString> staleSummaries;
    bool summariesQueued = false;
    int shownUnreadTotal = 0;

    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QAction *showHideAction = nullptr;
    QAction *quitAction = nullptr;
    // The chat of the latest message announced while the window was not in front: a click on
    // its balloon opens it.
    QString attentionChatId;
    bool hiddenToTray = false;

    // Which message, chat or user each row shows, both ways: the message list holds a window of
    // the open chat (its newest messages, extended upwards as the user scrolls), the chat list
    // one row per held chat, the contact list one per other user.
    QHash<QString, QListWidgetItem *> messageRows;
    QHash<const QListWidgetItem *, QString> rowMessageIds;
    QHash<QString, QListWidgetItem *> chatRows;
    QHash<const QListWidgetItem *, QString> rowChatIds;
    QHash<const QListWidgetItem *, QString> rowUserIds;
    // Chats moved since the chat list was last reordered; it is reordered once per event-loop
    // turn however many messages arrive.
    QSet<QString> movedChats;
    bool chatReorderQueued = false;
    // The message list showed its newest message when it last scrolled.
    bool viewAtBottom = true;
    // The rows are a slice of the open chat's held messages that stops short of the newest.
    bool heldSlice = false;

    // The stored login (src/app/credentialstore.h); a connection that opens while its password
    // is still being read from the secret store logs in once it arrives.
    CredentialStore *credentials = nullptr;
    bool autoLoginWhenLoaded = false;

    // The bars that show how the connection is.
    ConnectionBar *connectionBar = nullptr;
    ConnectionBar *loginConnectionBar = nullptr;
    bool everConnected = false;
    // The login page says the session has ended; a new connection leaves that in sight.
    bool sessionEndShown = false;

    // Tests reach widgets and the session through this one door.
    friend struct WindowProbe;
};
