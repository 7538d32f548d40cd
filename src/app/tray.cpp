// MainWindow's tray icon, its menu, and balloons for incoming messages.
#include "app/notification.h"
#include "app/settings.h"
#include "mainwindow.h"
#include "session/chatsession.h"
#include "store/chatstore.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMenu>
#include <QPixmap>
#include <QStackedWidget>

void MainWindow::setupTrayIcon()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable() || trayIcon)
        return;
    trayIcon = new QSystemTrayIcon(this);

    QIcon icon = windowIcon();
    if (icon.isNull()) {
        const QString themeName = QStringLiteral("mail-message-new");
        if (QIcon::hasThemeIcon(themeName)) {
            icon = QIcon::fromTheme(themeName);
        } else {
            QPixmap square(16, 16);
            square.fill(Qt::red);
            icon = QIcon(square);
        }
    }
    trayIcon->setIcon(icon);
    trayIcon->setToolTip(QStringLiteral("Ferrow Desktop"));

    trayMenu = new QMenu(this);
    showHideAction = trayMenu->addAction(QStringLiteral("Show/Hide"));
    quitAction = trayMenu->addAction(QStringLiteral("Quit"));
    connect(showHideAction, &QAction::triggered, this, &MainWindow::onTrayShowHide);
    connect(quitAction, &QAction::triggered, this, &MainWindow::onTrayQuit);
    trayIcon->setContextMenu(trayMenu);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::onTrayIconActivated);
    connect(trayIcon, &QSystemTrayIcon::messageClicked, this, &MainWindow::onTrayMessageClicked);
    trayIcon->setVisible(true);
}

void MainWindow::toggleWindowVisibility()
{
    if (isVisible() && !isMinimized()) {
        hide();
        return;
    }
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::onTrayIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        toggleWindowVisibility();
}

void MainWindow::onTrayShowHide()
{
    toggleWindowVisibility();
}

void MainWindow::onTrayQuit()
{
    if (trayIcon)
        trayIcon->setVisible(false);
    QCoreApplication::quit();
}

void MainWindow::onNotificationsToggled(bool checked)
{
    notificationsEnabled = checked;
    AppSettings().setValue(SettingsKey::notificationsEnabled, checked);
}

bool MainWindow::isWindowInFront() const
{
    return isVisible() && isActiveWindow() && !isMinimized();
}

bool MainWindow::isInBackground() const
{
    return isMinimized() || hiddenToTray;
}

void MainWindow::onTrayMessageClicked()
{
    // Opened before the window comes back, so that only this chat's messages count as seen.
    if (store().hasChat(attentionChatId) && stackedWidget->currentWidget() == chatPage)
        openChat(attentionChatId);
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::showNotificationForMessage(const Message &msg)
{
    NotificationContext context;
    context.enabled = notificationsEnabled;
    context.trayVisible = trayIcon && trayIcon->isVisible();
    context.windowInFront = isWindowInFront();
    context.currentUserId = session->currentUserId();
    if (const Chat *chat = store().chat(msg.chatId))
        context.chatName = resolveChatName(*chat);

    if (!wantsAttention(msg, context))
        return;
    // A muted chat stays quiet, unless it names the user.
    if (session->isMuted(msg.chatId) && !mentionsMe(msg))
        return;
    attentionChatId = msg.chatId;
    QApplication::alert(this);
    // The desktop's own notifications need no tray; the balloon's text rules apply without one.
    context.trayVisible = true;
    const std::optional<TrayNotification> notification = notificationFor(msg, context);
    if (notification)
        notifyDesktop(msg, notification->title, notification->text);
}
