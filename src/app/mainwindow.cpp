// MainWindow's frame: construction, the signal wiring, and closing.
#include "mainwindow.h"

#include "app/appicon.h"
#include "app/composerkeys.h"
#include "app/credentialstore.h"
#include "app/listfilter.h"
#include "app/rowkeys.h"
#include "app/settings.h"
#include "net/connectionsupervisor.h"
#include "net/websocketclient.h"
#include "store/chatstore.h"
#include "view/avatarcache.h"

#include <QCloseEvent>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkAccessManager>
#include <QShowEvent>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , client(new WebSocketClient(this))
    , store(new ChatStore(this))
    , networkManager(new QNetworkAccessManager(this))
    , avatars(new AvatarCache(networkManager, this))
{
    connect(avatars, &AvatarCache::avatarReady, this, &MainWindow::updateAvatarOnItems);
    {
        AppSettings settings;
        darkMode = settings.value(SettingsKey::darkMode, false).toBool();
        notificationsEnabled = settings.value(SettingsKey::notificationsEnabled, true).toBool();
    }

    setupUi();
    applyTheme();
    setWindowIcon(appIcon());
    setupTrayIcon();

    auto *composerKeys = new ComposerKeys(messageInput);
    connect(composerKeys, &ComposerKeys::escapePressed, this, &MainWindow::leaveComposerMode);
    connect(composerKeys, &ComposerKeys::upInEmptyInput, this, &MainWindow::editLastOwnMessage);
    new ListFilter(sidebarTabs, { chatListWidget, contactListWidget });
    connect(new RowKeys(chatListWidget), &RowKeys::rowActivated, this, &MainWindow::onChatSelected);
    connect(new RowKeys(contactListWidget),
        &RowKeys::rowActivated,
        this,
        &MainWindow::onContactSelected);

    credentials = new CredentialStore(this);
    connect(
        credentials, &CredentialStore::passwordLoaded, this, &MainWindow::onStoredPasswordLoaded);
    credentials->load();
    if (!credentials->username().isNull()) {
        usernameEdit->setText(credentials->username());
        passwordEdit->setText(credentials->password());
    }

    connect(store, &ChatStore::chatsAdded, this, &MainWindow::onChatsAdded);
    connect(store, &ChatStore::chatMoved, this, &MainWindow::onChatMoved);
    connect(store, &ChatStore::usersChanged, this, &MainWindow::refreshChatRows);
    connect(store, &ChatStore::messageArrived, this, &MainWindow::onMessageArrived);
    connect(store, &ChatStore::olderMessagesAdded, this, &MainWindow::onOlderMessagesAdded);
    connect(store, &ChatStore::messageStatusChanged, this, &MainWindow::onMessageStatusChanged);
    connect(store, &ChatStore::messageEdited, this, &MainWindow::onMessageEdited);
    connect(store, &ChatStore::messageRemoved, this, &MainWindow::onMessageRemoved);

    setupConnection();
    connect(client, &WebSocketClient::loginSuccess, this, &MainWindow::onLoginSuccess);
    connect(client, &WebSocketClient::frameTooLarge, this, &MainWindow::onFrameTooLarge);
    connect(
        client, &WebSocketClient::chatHistoryReceived, this, &MainWindow::onChatHistoryReceived);
    connect(client, &WebSocketClient::messageReceived, this, &MainWindow::onMessageReceived);
    connect(client, &WebSocketClient::userListUpdated, this, &MainWindow::onUserListUpdated);
    connect(client, &WebSocketClient::newChatCreated, this, &MainWindow::onNewChatCreated);
    connect(client, &WebSocketClient::messageSeenUpdate, this, &MainWindow::onMessageSeenUpdate);
    connect(client, &WebSocketClient::messageUpdated, this, &MainWindow::onMessageUpdated);
    connect(client, &WebSocketClient::messageDeleted, this, &MainWindow::onMessageDeleted);
    connect(
        client, &WebSocketClient::certificateRejected, this, &MainWindow::onCertificateRejected);

    statusLabel->setText(QStringLiteral("Connecting to server..."));
    supervisor->start();
}

MainWindow::~MainWindow()
{
    // The children go one by one; none may report to a window half gone.
    supervisor->disconnect(this);
    client->disconnect(this);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
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
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    hiddenToTray = false;
    sendHeldReceipts();
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    // A spontaneous hide is the window system's (minimising); hide() is the tray's.
    if (!event->spontaneous())
        hiddenToTray = true;
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        sendHeldReceipts();
}
