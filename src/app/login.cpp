// MainWindow's login and logout: status texts, stored credentials, the reconnect after logout.
#include "app/credentialstore.h"
#include "mainwindow.h"
#include "net/connectionsupervisor.h"
#include "net/websocketclient.h"
#include "net/wireformat.h"
#include "store/chatstore.h"
#include "view/avatarcache.h"
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
    // Logging in again after a lost connection without a token that works: with no password
    // to try either, the session is over rather than "Connecting…" for ever.
    if (stackedWidget->currentWidget() == chatPage && !autoLoginWhenLoaded
        && !supervisor->loginPending())
        endSession();
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
    // Refused when logging in again after a lost connection: the stored password no longer
    // holds, and the user has to say who they are.
    if (stackedWidget->currentWidget() == chatPage) {
        // Unless it was refused for what failed logins did, which only asks to wait.
        const int wait = wire::loginRetryAfterSecs(msg);
        if (wait >= 0)
            supervisor->logInAgainAfter(wait);
        else
            endSession();
        return;
    }
    statusLabel->setText(QStringLiteral("Login Failed: ") + msg);
}

void MainWindow::endSession()
{
    // What the account holds stays: the same user logging in again carries on with the open
    // chat and the queued messages, which keep their clock meanwhile.
    connectionBar->clear();
    loginConnectionBar->clear();
    if (usernameEdit->text().trimmed().isEmpty())
        usernameEdit->setText(client->currentUser.username);
    passwordEdit->clear();
    loginButton->setEnabled(true);
    statusLabel->setText(QStringLiteral("Your session has ended. Please log in again."));
    stackedWidget->setCurrentWidget(loginPage);
    passwordEdit->setFocus(Qt::OtherFocusReason);
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
    forgetAccount();
    everConnected = false;
    loginButton->setEnabled(false);
    statusLabel->setText(QStringLiteral("Resetting connection..."));
    supervisor->logout();
    stackedWidget->setCurrentWidget(loginPage);
    QTimer::singleShot(
        reconnectDelayMs, Qt::PreciseTimer, supervisor, &ConnectionSupervisor::start);
}

void MainWindow::forgetAccount()
{
    store->clear();
    currentChatId.clear();
    movedChats.clear();
    queuedReceipts = {};
    nextReceipt = 0;
    avatars->clear();

    // Nothing of this account's composer may carry over into the next one's first message.
    onCancelReply();
    onCancelEdit();
    drafts.clear();
    receiptsHeld = false;
    attentionChatId.clear();
    outbox.clear();
    awaitingFreshPush = false;
    resyncs.clear();
    resyncFresh.clear();
    resyncHeldIds.clear();
    resyncPageChatId.clear();
    pagingDeferred = false;
    hadSession = false;
    connectionBar->clear();
    highlightedMessageId.clear();
    if (auto *delegate = dynamic_cast<MessageDelegate *>(messageListWidget->itemDelegate()))
        delegate->setHighlightedMessageId(QString());

    chatListWidget->clear();
    chatRows.clear();
    contactListWidget->clear();
    clearMessageRows();
    setChatTitle(QStringLiteral("Select a chat"));
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
    // On the chat page this is the password fallback of a refused token.
    const bool resuming = stackedWidget->currentWidget() == chatPage;
    if (credentials->hasLogin() && (resuming || stackedWidget->currentWidget() == loginPage)) {
        statusLabel->setText(QStringLiteral("Auto-logging in..."));
        onLoginBtnClicked();
    }
    if (resuming && !supervisor->loginPending())
        endSession();
}
