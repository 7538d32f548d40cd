#pragma once

#include "app/changepassworddialog.h"
#include "app/credentialstore.h"
#include "app/groupdialog.h"
#include "app/mainwindow.h"
#include "app/mentioncompleter.h"
#include "net/websocketclient.h"
#include "session/chatsession.h"
#include "store/chatstore.h"
#include "view/attachmentstrip.h"
#include "view/avatarcache.h"
#include "view/connectionbar.h"
#include "view/messagedelegate.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

// The tests' view into a MainWindow: its widgets, what only the window computes, and the
// session below it.
struct WindowProbe {
    explicit WindowProbe(MainWindow &window)
        : w(window)
    {
    }

    MainWindow &w;

    QStackedWidget *stackedWidget() const
    {
        return w.stackedWidget;
    }
    QWidget *loginPage() const
    {
        return w.loginPage;
    }
    QWidget *chatPage() const
    {
        return w.chatPage;
    }
    QLineEdit *usernameEdit() const
    {
        return w.usernameEdit;
    }
    QLineEdit *passwordEdit() const
    {
        return w.passwordEdit;
    }
    QPushButton *loginButton() const
    {
        return w.loginButton;
    }
    QLabel *statusLabel() const
    {
        return w.statusLabel;
    }
    QPushButton *changePasswordButton() const
    {
        return w.changePasswordButton;
    }
    ChangePasswordDialog *passwordDialog() const
    {
        return w.passwordDialog;
    }
    QTabWidget *sidebarTabs() const
    {
        return w.sidebarTabs;
    }
    QListWidget *chatListWidget() const
    {
        return w.chatListWidget;
    }
    QListWidget *contactListWidget() const
    {
        return w.contactListWidget;
    }
    QWidget *settingsPage() const
    {
        return w.settingsPage;
    }
    QCheckBox *notificationsCheckBox() const
    {
        return w.notificationsCheckBox;
    }
    QCheckBox *previewsCheckBox() const
    {
        return w.previewsCheckBox;
    }
    QCheckBox *typingCheckBox() const
    {
        return w.typingCheckBox;
    }
    QLabel *typingLabel() const
    {
        return w.typingLabel;
    }
    MentionCompleter *mentionCompleter() const
    {
        return w.mentionCompleter;
    }
    QWidget *chatArea() const
    {
        return w.chatArea;
    }
    QLabel *chatTitleLabel() const
    {
        return w.chatTitleLabel;
    }
    QPushButton *newGroupButton() const
    {
        return w.newGroupButton;
    }
    GroupDialog *groupDialog() const
    {
        return w.groupDialog;
    }
    QToolButton *membersButton() const
    {
        return w.membersButton;
    }
    QToolButton *groupMenuButton() const
    {
        return w.groupMenuButton;
    }
    QListWidget *messageListWidget() const
    {
        return w.messageListWidget;
    }
    QWidget *replyBar() const
    {
        return w.replyBar;
    }
    QLabel *replyPreviewLabel() const
    {
        return w.replyPreviewLabel;
    }
    QPushButton *cancelReplyButton() const
    {
        return w.cancelReplyButton;
    }
    QWidget *editBar() const
    {
        return w.editBar;
    }
    QLabel *editLabel() const
    {
        return w.editLabel;
    }
    QPushButton *cancelEditButton() const
    {
        return w.cancelEditButton;
    }
    QLineEdit *messageInput() const
    {
        return w.messageInput;
    }
    AttachmentStrip *attachmentStrip() const
    {
        return w.attachmentStrip;
    }
    QPushButton *sendButton() const
    {
        return w.sendButton;
    }
    QSystemTrayIcon *trayIcon() const
    {
        return w.trayIcon;
    }
    // What the tray's balloon does when clicked; no tray runs headless to click one.
    void clickBalloon() const
    {
        w.onTrayMessageClicked();
    }

    CredentialStore *credentials() const
    {
        return w.credentials;
    }
    // The session below the window, for what it holds rather than shows.
    ChatSession &session() const
    {
        return *w.session;
    }
    const ChatStore &store() const
    {
        return w.session->store();
    }
    WebSocketClient *client() const
    {
        return w.session->client();
    }
    // The stored chat, or an empty one when it is not stored.
    const Chat &chat(const QString &chatId) const
    {
        static const Chat none;
        const Chat *stored = store().chat(chatId);
        return stored ? *stored : none;
    }
    const QString &currentChatId() const
    {
        return w.session->currentChatId();
    }
    const QString &highlightedMessageId() const
    {
        return w.messageDelegate()->highlightedMessageId();
    }
    QMap<QString, QPixmap> &avatarCache() const
    {
        return w.avatars->avatarCache;
    }
    QSet<QString> &pendingAvatarDownloads() const
    {
        return w.avatars->pendingAvatarDownloads;
    }
    ConnectionBar *connectionBar() const
    {
        return w.connectionBar;
    }
    ConnectionBar *loginConnectionBar() const
    {
        return w.loginConnectionBar;
    }

    QCheckBox *darkModeCheckBox() const
    {
        for (QCheckBox *box : w.settingsPage->findChildren<QCheckBox *>()) {
            if (box->text() == QLatin1String("Dark Mode"))
                return box;
        }
        return nullptr;
    }
    QPushButton *logoutButton() const
    {
        for (QPushButton *button : w.settingsPage->findChildren<QPushButton *>()) {
            if (button->text() == QLatin1String("Log Out"))
                return button;
        }
        return nullptr;
    }

    // Methods a user reaches only through painting or timers.
    QIcon getAvatar(const QString &name, const QString &url)
    {
        return w.getAvatar(name, url);
    }
    QIcon generateGenericAvatar(const QString &name) const
    {
        return w.generateGenericAvatar(name);
    }
    QColor getColorForName(const QString &name) const
    {
        return w.getColorForName(name);
    }
    QString getReplyPreviewText(const QString &replyToId, const QString &chatId) const
    {
        return w.getReplyPreviewText(replyToId, chatId);
    }
};
