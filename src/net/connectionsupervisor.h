#pragma once

#include "model/user.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <vector>

class WebSocketClient;

// Keeps the client connected: notices a lost connection, reconnects with back-off, and logs in
// again, first with the token of the last login and then, should the server refuse it, with the
// user name and password the window holds. It never reconnects after a deliberate logout, and
// never logs in again by itself after the password was refused.
class ConnectionSupervisor : public QObject
{
    Q_OBJECT

public:
    enum class State {
        // No connection; a retry may be scheduled (retryScheduled()).
        Offline,
        Connecting,
        // Connected; logging in with the token.
        Resuming,
        // Connected, not logged in: the login page's business.
        Connected,
        LoggedIn,
        // No connection, and none needed until someone logs in: the server closed one that
        // waited for a login. Nothing retries; the next login connects.
        Idle,
    };
    Q_ENUM(State)

    struct Timing {
        // Waits before the first, second, ... reconnect; the last one repeats.
        std::vector<int> backoffMs { 500, 1000, 2000, 4000, 8000, 16000, 30000 };
        // Each wait varies by up to this fraction either way, so that clients cut off together
        // do not all come back in the same instant.
        double jitter = 0.2;
        // A login answer that has not come by then means a server that is stuck.
        int loginTimeoutMs = 20000;
        // A login counts as a recovery, resetting the back-off, once the connection has stayed
        // up this long; a server that drops every client right after login keeps backing off.
        int stableMs = 5000;
    };

    explicit ConnectionSupervisor(WebSocketClient *client, QObject *parent = nullptr);

    void setTiming(const Timing &timing);

    State state() const;
    bool retryScheduled() const;
    // Milliseconds until the scheduled retry, or -1.
    int msUntilRetry() const;
    // Failed attempts since the last recovery.
    int failures() const;
    // Whether the user logged out and nothing was started since.
    bool stoppedByUser() const;
    // The token of the last login, held in memory only.
    QString token() const;
    // The token a password change handed out in place of the last login's, which it revoked.
    void setToken(const QString &token);
    // A password login is sent and not yet answered, or waits for the connection.
    bool loginPending() const;
    // The scheduled retry waits out a login refused for too many failed logins.
    bool waitingToLogInAgain() const;

    // The wait before reconnect number `attempt` (0-based), `spread` in [-1, 1] picking where in
    // the jitter band it lands.
    static int backoffDelay(const Timing &timing, int attempt, double spread);

public slots:
    // Opens the first connection.
    void start();
    // Skips the wait and connects now.
    void retryNow();
    // A password login typed by the user; sent at once, or as soon as the connection is up.
    void loginWithPassword(const QString &username, const QString &password);
    // The user logs out: the token is forgotten and nothing reconnects by itself until start().
    void logout();
    // The server refused a login that resumed the session for too many failed logins and asks
    // to wait: the connection is let go and the same login is tried again after `seconds`.
    void logInAgainAfter(int seconds);

signals:
    void stateChanged(ConnectionSupervisor::State state);
    // The connection is up and no token login is under way, or the token was refused: the
    // window may log in with the password, as its automatic login does.
    void readyForLogin();
    // A password login was refused (token refusals are handled here).
    void authFailed(const QString &message);
    // Logged in, once per connection.
    void loggedIn();
    // The connection is gone after having been logged in or connected.
    void connectionLost();
    // An "error" frame that was no answer to a token login.
    void serverError(const QString &message);
    // The server ended the session for good (WebSocketClient::sessionRevoked): nothing logs in
    // or reconnects by itself any more; `connectionLost` follows.
    void sessionRevoked(int closeCode);

private:
    void openConnection();
    void onConnected();
    void onLost();
    void onLoginSuccess(const User &user, const QString &token);
    void onAuthFailed(const QString &message);
    void onServerError(const QString &message);
    void onSessionRevoked(int closeCode);
    void scheduleRetry();
    void waitOutRefusal();
    void setState(State next);
    void sendPasswordLogin(const QString &username, const QString &password);
    void fallBackToPassword();
    void onLoginTimeout();

    WebSocketClient *client;
    Timing timing;
    State current = State::Offline;
    QTimer retryTimer;
    QTimer loginTimer;
    QTimer stableTimer;
    QString lastToken;
    QString queuedUsername;
    QString queuedPassword;
    int failureCount = 0;
    // The wait asked for by a refused login, taken up when the connection is gone; -1 for none.
    int loginWaitMs = -1;
    bool waitingOutRefusal = false;
    bool loggedInOnThisConnection = false;
    // After a refused password nothing logs in or reconnects by itself.
    bool halted = true;
    bool loggedOut = false;
    // The server ended the session; the connection's end is no failure then.
    bool revoked = false;
};
