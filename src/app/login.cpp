// MainWindow's login and logout: status texts, stored credentials, the reconnect after logout.
#include "app/credentialstore.h"
#include "mainwindow.h"
#include "net/connectionsupervisor.h"
#include "net/websocketclient.h"
#include "store/chatstore.h"
#include "view/connectionbar.h"
#include "view/messagedelegate.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>

namespace
{

// Gives the closing socket time to finish before a new connection is opened.
constexpr int reconnectDelayMs = 500;

} // namespace

void MainWindow::onConnected()
{
    statusLabel->setText(QStringLiteral("Connected."));
    loginButton->setEnabled(true);
    autoLoginWhenLoaded = credentials->isLoading();
    if (credentials->hasLogin()) {
        statusLabel->setText(QStringLiteral("Auto-logging in..."));
        onLoginBtnClicked();
    }
}

void MainWindow::onLoginBtnClicked()
{
    const QString username = usernameEdit->text().trimmed();
    const QString password = passwordEdit->text();
    if (username.isEmpty() || password.isEmpty())
        return;
    statusLabel->setText(QStringLiteral("Logging in..."));
    supervisor->loginWithPassword(username, password);
}

void MainWindow::onLoginSuccess(const User &user, const QString &token)
{
    Q_UNUSED(token)
    credentials->save(usernameEdit->text(), passwordEdit->text());
    store->setCurrentUserId(user.id);
    store->forgetExhaustedHistory();
    stackedWidget->setCurrentWidget(chatPage);
}

void MainWindow::onAuthFailed(const QString &msg)
{
    statusLabel->setText(QStringLiteral("Login Failed: ") + msg);
    // Refused when logging in again after a lost connection: back to the login page.
    connectionBar->clear();
    stackedWidget->setCurrentWidget(loginPage);
}

void MainWindow::onFrameTooLarge()
{
    // Reconnecting would only fetch the same frame again.
    supervisor->logout();
    // Without a word the user would wait for a login push that never comes.
    stackedWidget->setCurrentWidget(loginPage);
    loginButton->setEnabled(false);
    statusLabel->setText(
        QStringLiteral("Connection closed: the server sent more data at once than the client "
                       "accepts (64 MiB)."));
}

void MainWindow::onLogoutClicked()
{
    credentials->forget();
    autoLoginWhenLoaded = false;
    usernameEdit->clear();
    passwordEdit->clear();

    store->clear();
    currentChatId.clear();
    movedChats.clear();
    queuedReceipts = {};
    nextReceipt = 0;
    avatarCache.clear();
    genericAvatars.clear();
    pendingAvatarDownloads.clear();

    // Nothing of this account's composer may carry over into the next one's first message.
    onCancelReply();
    onCancelEdit();
    drafts.clear();
    receiptsHeld = false;
    attentionChatId.clear();
    outbox.clear();
    hadSession = false;
    everConnected = false;
    connectionBar->clear();
    highlightedMessageId.clear();
    if (auto *delegate = dynamic_cast<MessageDelegate *>(messageListWidget->itemDelegate()))
        delegate->setHighlightedMessageId(QString());

    chatListWidget->clear();
    chatRows.clear();
    contactListWidget->clear();
    clearMessageRows();
    setChatTitle(QStringLiteral("Select a chat"));
    loginButton->setEnabled(false);
    statusLabel->setText(QStringLiteral("Resetting connection..."));
    supervisor->logout();
    stackedWidget->setCurrentWidget(loginPage);
    QTimer::singleShot(
        reconnectDelayMs, Qt::PreciseTimer, supervisor, &ConnectionSupervisor::start);
}

void MainWindow::onCertificateRejected(const QString &reason)
{
    statusLabel->setText(
        QStringLiteral("Cannot connect securely: the server's certificate was refused (") + reason
        + QStringLiteral(")."));
}

void MainWindow::onStoredPasswordLoaded(const QString &password)
{
    if (passwordEdit->text().isEmpty())
        passwordEdit->setText(password);
    if (!autoLoginWhenLoaded)
        return;
    autoLoginWhenLoaded = false;
    if (credentials->hasLogin() && stackedWidget->currentWidget() == loginPage) {
        statusLabel->setText(QStringLiteral("Auto-logging in..."));
        onLoginBtnClicked();
    }
}
