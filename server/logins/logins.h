#pragma once

#include "loginqueue.h"
#include "loginthrottle.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>

class ClientConnection;
class FanOut;
class Readers;
class ServerMetrics;
class Writer;
struct UserRecord;

// The two ways in, and the change of a password. A password is looked up on a reader and checked
// in the fair line (LoginQueue) behind the failure throttle; a login token is taken on the
// writer, and a wrong one waits for a hash too, so that guessing tokens is no faster than guessing
// passwords. Both end alike: a token for the next login and an HTTP token are stored (and an old
// kind of hash replaced), the connection joins its user's fan-out, and the push of chats and users
// follows, in its place among what others' writes tell the user meanwhile. A password change
// checks the old password in the same line and throttle, then revokes every token of the user
// and closes the user's other connections, here and, through the store, on other servers.
class Logins : public QObject
{
    Q_OBJECT

public:
    struct Options {
        // Milliseconds since the epoch: paces and throttles logins, stamps tokens.
        std::function<qint64()> clock;
        // A refused login has this long again to log in before its connection is closed.
        int loginTimeoutMs = 10000;
        // Logged-in connections of one user; 0 lifts the cap.
        int maxConnectionsPerUser = 10;
        // Password checks waiting, from all addresses together; beyond, a login is refused.
        int maxWaitingLogins = LoginQueue::defaultMaxQueued;
        // Paces the password checks of each address (LoginQueue).
        bool pacePerAddress = true;
        int historyPage = 50;
        qint64 maxLoginHistoryBytes = 8 * 1024 * 1024 - 1;
        // The cost of the hashes made: new passwords, and old kinds of hash replaced at login.
        credentials::Limits passwordLimits;
        // Told in "login_success", so that the client refuses larger files before sending.
        qint64 maxUploadSize = 0;
    };

    Logins(Writer &writer,
        Readers &readers,
        FanOut &fanOut,
        ServerMetrics &metrics,
        const Options &options,
        QObject *parent = nullptr);
    ~Logins() override;

    void loginWithPassword(ClientConnection *connection, const QJsonObject &request);
    void loginWithToken(ClientConnection *connection, const QJsonObject &request);
    // "change_password" of a logged-in connection; answered "password_changed" or "error".
    void changePassword(ClientConnection *connection, const QJsonObject &request);
    // A login given up before its answer is dropped, and counts as a failure.
    void connectionClosed(ClientConnection *connection);
    // Keeps the user's count of connections here in the store, for the cap on every server.
    void sharePresence(const QString &userId);

signals:
    // The login or password change on `connection` has been answered, either way.
    void finished(ClientConnection *connection);

private:
    // Refuses a second login on one connection; otherwise stops its login deadline.
    bool mayStart(ClientConnection *connection);
    // Answers with `frame` a login that did not go through; the deadline starts again.
    void refuse(ClientConnection *connection, const QJsonObject &frame);
    // Answers a login for an account throttled for this address, unchecked.
    void refuseThrottled(
        ClientConnection *connection, const QString &account, const QString &address);
    // Puts a password check in the fair line, or refuses it when the line is full.
    void queueCheck(ClientConnection *connection, const LoginQueue::Check &check);
    // A token that is no token of ours waits for a hash like a wrong password.
    void refuseTokenSlowly(ClientConnection *connection);
    void onChecked(const LoginQueue::Check &check, bool ok);
    void onSkipped(const LoginQueue::Check &check);
    // Opens the session of a checked password, unless the account changed since the check.
    void issueToken(ClientConnection *connection, const LoginQueue::Check &check);
    // Keeps the account's streak in the store, for the throttle of every server.
    void shareFailures(const QString &account);
    // `elsewhere` counts the user's connections on the other servers.
    void accept(ClientConnection *connection,
        const UserRecord &user,
        const QString &token,
        const QString &httpToken,
        int elsewhere);
    // Runs `write` with the writer's next batch, in a savepoint of its own; nobody is answered.
    void submitQuietly(std::function<bool(Store &)> write);
    void answerChange(ClientConnection *connection, const QJsonObject &frame);
    void onChangeChecked(const LoginQueue::Check &check, bool ok);

    Writer &writer;
    Readers &readers;
    FanOut &fanOut;
    ServerMetrics &metrics;
    Options options;
    // Checked against when the user name is unknown, so that a failed login takes as long either
    // way and does not reveal which names exist.
    QString unknownUserHash;
    LoginQueue queue;
    LoginThrottle throttle;
    // Password logins whose user is being looked up, and checks in the line or hashing.
    QHash<quint64, LoginQueue::Check> lookingUp;
    QHash<quint64, QPointer<ClientConnection>> checking;
    QTimer presenceTimer;
};
