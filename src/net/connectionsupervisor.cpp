#include "connectionsupervisor.h"

#include "logging.h"
#include "net/websocketclient.h"
#include "net/wireformat.h"

#include <QRandomGenerator>
#include <algorithm>
#include <utility>

ConnectionSupervisor::ConnectionSupervisor(WebSocketClient *client, QObject *parent)
    : QObject(parent)
    , client(client)
{
    retryTimer.setSingleShot(true);
    // The wait it counts down is shown in whole seconds; a coarse timer may run 5 % over.
    retryTimer.setTimerType(Qt::PreciseTimer);
    loginTimer.setSingleShot(true);
    stableTimer.setSingleShot(true);
    setTiming(timing);
    connect(&retryTimer, &QTimer::timeout, this, &ConnectionSupervisor::openConnection);
    connect(&loginTimer, &QTimer::timeout, this, &ConnectionSupervisor::onLoginTimeout);
    connect(&stableTimer, &QTimer::timeout, this, [this] { failureCount = 0; });

    connect(client, &WebSocketClient::connected, this, &ConnectionSupervisor::onConnected);
    connect(client, &WebSocketClient::disconnected, this, &ConnectionSupervisor::onLost);
    connect(client, &WebSocketClient::loginSuccess, this, &ConnectionSupervisor::onLoginSuccess);
    connect(client, &WebSocketClient::authFailed, this, &ConnectionSupervisor::onAuthFailed);
    connect(client, &WebSocketClient::errorOccurred, this, &ConnectionSupervisor::onServerError);
    connect(
        client, &WebSocketClient::sessionRevoked, this, &ConnectionSupervisor::onSessionRevoked);
}

void ConnectionSupervisor::setTiming(const Timing &newTiming)
{
    timing = newTiming;
    if (timing.backoffMs.empty())
        timing.backoffMs.push_back(1000);
    loginTimer.setInterval(timing.loginTimeoutMs);
    stableTimer.setInterval(timing.stableMs);
}

ConnectionSupervisor::State ConnectionSupervisor::state() const
{
    return current;
}

bool ConnectionSupervisor::retryScheduled() const
{
    return retryTimer.isActive();
}

int ConnectionSupervisor::msUntilRetry() const
{
    return retryTimer.isActive() ? retryTimer.remainingTime() : -1;
}

int ConnectionSupervisor::failures() const
{
    return failureCount;
}

bool ConnectionSupervisor::stoppedByUser() const
{
    return loggedOut;
}

QString ConnectionSupervisor::token() const
{
    return lastToken;
}

void ConnectionSupervisor::setToken(const QString &token)
{
    lastToken = token;
}

bool ConnectionSupervisor::loginPending() const
{
    return (loginTimer.isActive() && current == State::Connected) || !queuedUsername.isEmpty();
}

bool ConnectionSupervisor::waitingToLogInAgain() const
{
    return waitingOutRefusal && retryTimer.isActive();
}

int ConnectionSupervisor::backoffDelay(const Timing &timing, int attempt, double spread)
{
    if (timing.backoffMs.empty())
        return 0;
    const size_t step = std::min<size_t>(std::max(attempt, 0), timing.backoffMs.size() - 1);
    const double factor = 1.0 + timing.jitter * std::max(-1.0, std::min(1.0, spread));
    return qRound(timing.backoffMs.at(step) * factor);
}

void ConnectionSupervisor::start()
{
    halted = false;
    loggedOut = false;
    if (current == State::Offline || current == State::Idle)
        openConnection();
}

void ConnectionSupervisor::retryNow()
{
    start();
}

void ConnectionSupervisor::openConnection()
{
    retryTimer.stop();
    waitingOutRefusal = false;
    // The client drops a half-open socket first; its close must not count as a loss, so the
    // state changes only afterwards.
    client->connectToServer();
    setState(State::Connecting);
}

void ConnectionSupervisor::onConnected()
{
    loggedInOnThisConnection = false;
    if (!lastToken.isEmpty()) {
        setState(State::Resuming);
        qCDebug(lcNet) << "logging in again with the session token";
        client->loginWithToken(lastToken);
        loginTimer.start();
        return;
    }
    setState(State::Connected);
    if (!queuedUsername.isEmpty()) {
        const QString username = queuedUsername;
        const QString password = queuedPassword;
        sendPasswordLogin(username, password);
        return;
    }
    emit readyForLogin();
}

void ConnectionSupervisor::loginWithPassword(const QString &username, const QString &password)
{
    halted = false;
    loggedOut = false;
    if (current == State::Connected) {
        sendPasswordLogin(username, password);
        return;
    }
    queuedUsername = username;
    queuedPassword = password;
    if (current == State::Offline || current == State::Idle)
        openConnection();
}

void ConnectionSupervisor::sendPasswordLogin(const QString &username, const QString &password)
{
    queuedUsername.clear();
    queuedPassword.clear();
    client->login(username, password);
    loginTimer.start();
}

void ConnectionSupervisor::onLoginSuccess(const User &, const QString &token)
{
    loginTimer.stop();
    lastToken = token;
    // A server repeating itself must not make the window resend what it holds.
    if (loggedInOnThisConnection)
        return;
    loggedInOnThisConnection = true;
    setState(State::LoggedIn);
    stableTimer.start();
    emit loggedIn();
}

void ConnectionSupervisor::onAuthFailed(const QString &message)
{
    loginTimer.stop();
    if (current == State::Resuming) {
        // Refused for what failed logins did, not for the token: it is tried again later.
        const int wait = wire::loginRetryAfterSecs(message);
        if (wait >= 0)
            logInAgainAfter(wait);
        else
            fallBackToPassword();
        return;
    }
    halted = true;
    if (current != State::Offline)
        setState(State::Connected);
    emit authFailed(message);
}

void ConnectionSupervisor::onServerError(const QString &message)
{
    // A server that does not know token logins answers with an error.
    if (current == State::Resuming) {
        loginTimer.stop();
        fallBackToPassword();
        return;
    }
    emit serverError(message);
}

void ConnectionSupervisor::onSessionRevoked(int closeCode)
{
    // The token is revoked, and the password held is wrong or of no use: trying either would
    // only be refused.
    halted = true;
    revoked = true;
    lastToken.clear();
    queuedUsername.clear();
    queuedPassword.clear();
    loginWaitMs = -1;
    loginTimer.stop();
    emit sessionRevoked(closeCode);
}

void ConnectionSupervisor::fallBackToPassword()
{
    qCDebug(lcNet) << "session token refused, logging in with the password";
    lastToken.clear();
    setState(State::Connected);
    emit readyForLogin();
}

void ConnectionSupervisor::onLoginTimeout()
{
    qCWarning(lcNet) << "no answer to the login, reconnecting";
    client->abortConnection();
    onLost();
}

void ConnectionSupervisor::onLost()
{
    if (current == State::Offline || current == State::Idle)
        return;
    // The server closes a connection that waits too long for a login. Nothing is lost then, and
    // reconnecting would only repeat it every few seconds, for as long as the login page stays.
    // Nor after the server ended the session: the next login connects.
    const bool idle = std::exchange(revoked, false)
        || (current == State::Connected && !loginTimer.isActive() && queuedUsername.isEmpty()
            && loginWaitMs < 0);
    loginTimer.stop();
    stableTimer.stop();
    const bool wasUp = current != State::Connecting;
    setState(idle ? State::Idle : State::Offline);
    if (wasUp)
        emit connectionLost();
    if (loginWaitMs >= 0)
        waitOutRefusal();
    else if (!halted && !idle)
        scheduleRetry();
}

void ConnectionSupervisor::logInAgainAfter(int seconds)
{
    halted = false;
    loginTimer.stop();
    loginWaitMs = std::max(seconds, 0) * 1000;
    if (current == State::Offline || current == State::Idle) {
        setState(State::Offline);
        waitOutRefusal();
        return;
    }
    client->abortConnection();
    onLost();
}

void ConnectionSupervisor::waitOutRefusal()
{
    // A wait the server asked for is no failure of the connection: the back-off stays as it is.
    waitingOutRefusal = true;
    retryTimer.start(loginWaitMs);
    loginWaitMs = -1;
    emit stateChanged(current);
}

void ConnectionSupervisor::scheduleRetry()
{
    const double spread = QRandomGenerator::global()->generateDouble() * 2.0 - 1.0;
    const int delay = backoffDelay(timing, failureCount, spread);
    ++failureCount;
    qCDebug(lcNet) << "reconnecting in" << delay << "ms";
    retryTimer.start(delay);
    emit stateChanged(current);
}

void ConnectionSupervisor::logout()
{
    halted = true;
    loggedOut = true;
    lastToken.clear();
    queuedUsername.clear();
    queuedPassword.clear();
    loginWaitMs = -1;
    waitingOutRefusal = false;
    retryTimer.stop();
    loginTimer.stop();
    stableTimer.stop();
    failureCount = 0;
    setState(State::Offline);
    client->logout();
}

void ConnectionSupervisor::setState(State next)
{
    if (current == next)
        return;
    current = next;
    emit stateChanged(current);
}
