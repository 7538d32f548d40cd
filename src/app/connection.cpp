// MainWindow's side of staying connected: the bars that say how the connection is.
#include "app/mainwindow.h"
#include "net/connectionsupervisor.h"
#include "net/serveraddress.h"
#include "session/chatsession.h"
#include "view/connectionbar.h"

#include <QLabel>
#include <QStackedWidget>
#include <QVBoxLayout>

void MainWindow::setupConnection()
{
    connectionBar = new ConnectionBar(chatArea);
    // Between the chat's header and its messages.
    if (auto *layout = qobject_cast<QVBoxLayout *>(chatArea->layout()))
        layout->insertWidget(1, connectionBar);
    loginConnectionBar = new ConnectionBar(loginPage);
    // Its room is kept while it is hidden, so that the form never moves when it comes and goes.
    QSizePolicy keepRoom = loginConnectionBar->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    loginConnectionBar->setSizePolicy(keepRoom);
    if (auto *layout = qobject_cast<QVBoxLayout *>(loginPage->layout()))
        layout->insertWidget(layout->indexOf(statusLabel) + 1, loginConnectionBar);
    for (ConnectionBar *bar : { connectionBar, loginConnectionBar }) {
        connect(bar,
            &ConnectionBar::retryClicked,
            session->supervisor(),
            &ConnectionSupervisor::retryNow);
    }

    connect(session, &ChatSession::stateChanged, this, &MainWindow::onConnectionStateChanged);
    connect(session, &ChatSession::serverError, this, &MainWindow::onServerError);
}

void MainWindow::onConnectionStateChanged()
{
    using State = ConnectionSupervisor::State;
    const ConnectionSupervisor *supervisor = session->supervisor();
    const bool inSession = session->isActive();
    switch (supervisor->state()) {
    case State::Offline: {
        // A logout says what it does on the login page itself.
        if (supervisor->stoppedByUser()) {
            loginConnectionBar->clear();
            connectionBar->clear();
            break;
        }
        const int wait = supervisor->msUntilRetry();
        if (supervisor->waitingToLogInAgain()) {
            connectionBar->showLoginWait(wait);
            break;
        }
        loginConnectionBar->showOffline(wait);
        if (inSession)
            connectionBar->showOffline(wait);
        // A refused certificate says more than that the server cannot be reached.
        if (!everConnected && stackedWidget->currentWidget() == loginPage
            && !statusLabel->text().startsWith(QLatin1String("Cannot connect securely"))) {
            const ServerAddress address = ServerAddress::fromEnvironment();
            statusLabel->setText(QStringLiteral("Cannot reach the server at ") + address.host
                + QLatin1Char(':') + QString::number(address.port));
        }
        break;
    }
    case State::Connecting:
        if (!loginConnectionBar->text().isEmpty())
            loginConnectionBar->showConnecting();
        if (inSession)
            connectionBar->showConnecting();
        break;
    case State::Resuming:
    case State::Connected:
        everConnected = true;
        loginConnectionBar->clear();
        if (inSession)
            connectionBar->showConnecting();
        break;
    case State::Idle:
        // The server let go of a connection that waited for a login: nothing to worry about on
        // the login page, and the next login connects again.
        loginConnectionBar->clear();
        if (inSession)
            connectionBar->showOffline(-1);
        break;
    case State::LoggedIn:
        everConnected = true;
        loginConnectionBar->clear();
        if (!connectionBar->text().isEmpty())
            connectionBar->showConnected();
        break;
    }
}

void MainWindow::onServerError(const QString &message)
{
    (stackedWidget->currentWidget() == chatPage ? connectionBar : loginConnectionBar)
        ->showError(message);
}
