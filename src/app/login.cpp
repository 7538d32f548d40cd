// MainWindow's login and logout: status texts, stored credentials, the reconnect after logout.
#include "app/changepassworddialog.h"
#include "app/credentialstore.h"
#include "mainwindow.h"
#include "net/connectionsupervisor.h"
#include "net/websocketclient.h"
#include "session/chatsession.h"
#include "view/attachmentstrip.h"
#include "view/avatarcache.h"
#include "view/connectionbar.h"
#include "view/messagedelegate.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTimer>

namespace
{

// Gives the closing socket time to finish before a new connection is opened.
constexpr int reconnectDelayMs = 500;

} // namespace

void MainWindow::onConnected()
{
    // The news that the session has ended stays until the user acts on it.
    if (!sessionEndShown)
        statusLabel->setText(QStringLiteral("Connected."));
    loginButton->setEnabled(true);
    autoLoginWhenLoaded = credentials->isLoading();
    if (credentials->hasLogin() && !sessionEndShown) {
        statusLabel->setText(QStringLiteral("Auto-logging in..."));
        onLoginBtnClicked();
    }
    // Logging in again after a lost connection without a token that works: with no password
    // to try either, the session is over rather than "Connecting…" for ever.
    if (session->isActive() && !autoLoginWhenLoaded && !session->supervisor()->loginPending())
        session->endSession();
}

void MainWindow::onLoginBtnClicked()
{
    const QString username = usernameEdit->text().trimmed();
    const QString password = passwordEdit->text();
    if (username.isEmpty() || password.isEmpty())
        return;
    sessionEndShown = false;
    statusLabel->setText(QStringLiteral("Logging in..."));
    session->logIn(username, password);
}

void MainWindow::onLoginSuccess(const User &user, const QString &token)
{
    Q_UNUSED(user)
    Q_UNUSED(token)
    credentials->save(usernameEdit->text(), passwordEdit->text());
    sessionEndShown = false;
    if (stackedWidget->currentWidget() == chatPage)
        return;
    stackedWidget->setCurrentWidget(chatPage);
    // A fresh login starts on the chats, never on a control that one key press would trigger.
    sidebarTabs->setCurrentWidget(chatListWidget);
    chatListWidget->setFocus(Qt::OtherFocusReason);
}

void MainWindow::onAuthFailed(const QString &msg)
{
    statusLabel->setText(QStringLiteral("Login Failed: ") + msg);
}

void MainWindow::onSessionEnded(int reason)
{
    if (passwordDialog)
        passwordDialog->close();
    // What the account holds stays: the same user logging in again carries on with the open
    // chat and the queued messages, which keep their clock meanwhile.
    connectionBar->clear();
    loginConnectionBar->clear();
    if (usernameEdit->text().trimmed().isEmpty())
        usernameEdit->setText(session->client()->currentUser.username);
    passwordEdit->clear();
    loginButton->setEnabled(true);
    switch (ChatSession::EndReason(reason)) {
    case ChatSession::EndReason::PasswordChanged:
        statusLabel->setText(QStringLiteral("Your password was changed. Please log in again."));
        break;
    case ChatSession::EndReason::AccountDisabled:
        statusLabel->setText(QStringLiteral("This account has been disabled."));
        break;
    case ChatSession::EndReason::LoginRefused:
        statusLabel->setText(QStringLiteral("Your session has ended. Please log in again."));
        break;
    }
    sessionEndShown = true;
    stackedWidget->setCurrentWidget(loginPage);
    focusLoginForm();
}

void MainWindow::focusLoginForm()
{
    // The first letters typed go into the first field still to fill, not nowhere.
    QLineEdit *field = usernameEdit->text().trimmed().isEmpty() ? usernameEdit : passwordEdit;
    field->setFocus(Qt::OtherFocusReason);
}

void MainWindow::onFrameTooLarge()
{
    // Without a word the user would wait for a login push that never comes.
    stackedWidget->setCurrentWidget(loginPage);
    loginButton->setEnabled(false);
    statusLabel->setText(
        QStringLiteral("Connection closed: the server sent more data at once than the client "
                       "accepts (64 MiB)."));
}

void MainWindow::onChangePasswordClicked()
{
    if (!passwordDialog) {
        passwordDialog = new ChangePasswordDialog(this);
        passwordDialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(passwordDialog,
            &ChangePasswordDialog::changeRequested,
            this,
            [this](const QString &oldPassword, const QString &newPassword) {
                requestedPassword = newPassword;
                if (!session->changePassword(oldPassword, newPassword))
                    passwordDialog->showError(
                        QStringLiteral("Not connected to the server; try again once the "
                                       "connection is back."));
            });
    }
    passwordDialog->open();
}

void MainWindow::onPasswordChanged()
{
    // The next start logs in with it, and so does a re-login once the new token fails.
    const QString password = std::exchange(requestedPassword, QString());
    credentials->save(usernameEdit->text(), password);
    passwordEdit->setText(password);
    if (passwordDialog)
        passwordDialog->showChanged();
}

void MainWindow::onLogoutClicked()
{
    if (passwordDialog)
        passwordDialog->close();
    credentials->forget();
    passwordNotice->hide();
    autoLoginWhenLoaded = false;
    usernameEdit->clear();
    passwordEdit->clear();
    session->logOut();
    everConnected = false;
    sessionEndShown = false;
    loginButton->setEnabled(false);
    statusLabel->setText(QStringLiteral("Resetting connection..."));
    stackedWidget->setCurrentWidget(loginPage);
    focusLoginForm();
    QTimer::singleShot(reconnectDelayMs, Qt::PreciseTimer, session, &ChatSession::start);
}

void MainWindow::onAccountForgotten()
{
    movedChats.clear();
    avatars->clear();
    attentionChatId.clear();
    connectionBar->clear();
    setHighlightedMessageId(QString());
    // Nothing of this account's composer may carry over into the next one's first message.
    replyBar->hide();
    editBar->hide();
    messageInput->clear();
    messageInput->setEnabled(false);
    sendButton->setEnabled(false);
    attachButton->setEnabled(false);
    attachmentStrip->clear();
    sendButton->setText(QStringLiteral("Send"));

    clearChatRows();
    contactListWidget->clear();
    rowUserIds.clear();
    clearMessageRows();
    setChatTitle(QStringLiteral("Select a chat"));
    refreshGroupHeader();
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
    // In a session this is the password fallback of a refused token.
    const bool resuming = session->isActive();
    if (credentials->hasLogin() && (resuming || stackedWidget->currentWidget() == loginPage)) {
        statusLabel->setText(QStringLiteral("Auto-logging in..."));
        onLoginBtnClicked();
    }
    if (resuming && !session->supervisor()->loginPending())
        session->endSession();
}
