// MainWindow's frame: construction, the signal wiring, and closing.
#include "mainwindow.h"

#include "app/appicon.h"
#include "app/changepassworddialog.h"
#include "app/composerkeys.h"
#include "app/credentialstore.h"
#include "app/listfilter.h"
#include "app/rowkeys.h"
#include "app/settings.h"
#include "session/chatsession.h"
#include "store/chatstore.h"
#include "view/avatarcache.h"
#include "view/messagedelegate.h"

#include <QCloseEvent>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QShowEvent>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , session(new ChatSession(this))
    , networkManager(new QNetworkAccessManager(this))
    , avatars(new AvatarCache(networkManager, this))
{
    connect(avatars, &AvatarCache::avatarReady, this, &MainWindow::updateAvatarOnItems);
    {
        AppSettings settings;
        darkMode = settings.value(SettingsKey::darkMode, false).toBool();
        notificationsEnabled = settings.value(SettingsKey::notificationsEnabled, true).toBool();
        showPreviews = settings.value(SettingsKey::showPreviews, false).toBool();
    }

    setupUi();
    // Where the user left it last time; the default size otherwise.
    restoreGeometry(AppSettings().value(SettingsKey::windowGeometry).toByteArray());
    applyTheme();
    setWindowIcon(appIcon());
    setupTrayIcon();

    auto *composerKeys = new ComposerKeys(messageInput);
    connect(composerKeys, &ComposerKeys::escapePressed, this, &MainWindow::leaveComposerMode);
    connect(composerKeys, &ComposerKeys::upInEmptyInput, this, &MainWindow::editLastOwnMessage);
    auto *filter = new ListFilter(sidebarTabs, { chatListWidget, contactListWidget });
    connect(filter, &ListFilter::rowChosen, this, [this](QListWidget *list, QListWidgetItem *item) {
        if (list == chatListWidget)
            onChatSelected(item);
        else
            onContactSelected(item);
    });
    setupSearch();
    connect(new RowKeys(chatListWidget), &RowKeys::rowActivated, this, &MainWindow::onChatSelected);
    connect(new RowKeys(contactListWidget),
        &RowKeys::rowActivated,
        this,
        &MainWindow::onContactSelected);

    credentials = new CredentialStore(this);
    connect(
        credentials, &CredentialStore::passwordLoaded, this, &MainWindow::onStoredPasswordLoaded);
    connect(credentials, &CredentialStore::passwordStored, passwordNotice, [this](bool safe) {
        passwordNotice->setVisible(!safe);
    });
    credentials->load();
    if (!credentials->username().isNull()) {
        usernameEdit->setText(credentials->username());
        passwordEdit->setText(credentials->password());
    }
    focusLoginForm();

    setupConnection();
    setupWhatsNew();
    setupFiles();
    setupGroups();
    connect(session, &ChatSession::readyForLogin, this, &MainWindow::onConnected);
    connect(session, &ChatSession::loginSuccess, this, &MainWindow::onLoginSuccess);
    connect(session, &ChatSession::authFailed, this, &MainWindow::onAuthFailed);
    connect(session, &ChatSession::sessionEnded, this, [this](ChatSession::EndReason reason) {
        onSessionEnded(int(reason));
    });
    connect(session, &ChatSession::passwordChanged, this, &MainWindow::onPasswordChanged);
    connect(session, &ChatSession::passwordChangeFailed, this, [this](const QString &message) {
        if (passwordDialog)
            passwordDialog->showError(message);
    });
    connect(session, &ChatSession::accountForgotten, this, &MainWindow::onAccountForgotten);
    connect(session, &ChatSession::frameTooLarge, this, &MainWindow::onFrameTooLarge);
    connect(session, &ChatSession::certificateRejected, this, &MainWindow::onCertificateRejected);
    connect(session, &ChatSession::chatHistoryReceived, this, &MainWindow::onChatHistoryReceived);
    connect(session, &ChatSession::newChatCreated, this, &MainWindow::onNewChatCreated);
    connect(session, &ChatSession::chatMoved, this, &MainWindow::onChatMoved);
    connect(session, &ChatSession::userListUpdated, this, &MainWindow::onUserListUpdated);
    connect(session, &ChatSession::messageReceived, this, &MainWindow::onMessageReceived);
    connect(session, &ChatSession::pendingMessageAdded, this, &MainWindow::onPendingMessageAdded);
    connect(session, &ChatSession::olderMessagesAdded, this, &MainWindow::onOlderMessagesAdded);
    connect(session, &ChatSession::messageSeenUpdate, this, &MainWindow::onMessageSeenUpdate);
    connect(session, &ChatSession::messageStatusChanged, this, &MainWindow::onMessageStatusChanged);
    connect(session, &ChatSession::messageUpdated, this, &MainWindow::onMessageUpdated);
    connect(session, &ChatSession::messageDeleted, this, &MainWindow::onMessageDeleted);
    connect(session, &ChatSession::chatReloaded, this, &MainWindow::onChatReloaded);

    statusLabel->setText(QStringLiteral("Connecting to server..."));
    session->start();
}

MainWindow::~MainWindow()
{
    rememberGeometry();
    // The children go one by one; none may report to a window half gone.
    session->disconnect(this);
}

void MainWindow::rememberGeometry() const
{
    AppSettings().setValue(SettingsKey::windowGeometry, saveGeometry());
}

const ChatStore &MainWindow::store() const
{
    return session->store();
}

const QString &MainWindow::currentChatId() const
{
    return session->currentChatId();
}

MessageDelegate *MainWindow::messageDelegate() const
{
    return static_cast<MessageDelegate *>(messageListWidget->itemDelegate());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    rememberGeometry();
    if (trayIcon && trayIcon->isVisible()) {
        hide();
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    updateJumpButton();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    hiddenToTray = false;
    session->setInBackground(isInBackground());
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    // A spontaneous hide is the window system's (minimising); hide() is the tray's.
    if (!event->spontaneous())
        hiddenToTray = true;
    session->setInBackground(isInBackground());
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        session->setInBackground(isInBackground());
}
