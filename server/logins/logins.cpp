#include "logins.h"

#include "clientconnection.h"
#include "credentials.h"
#include "fanout.h"
#include "frontdoor.h"
#include "protocol.h"
#include "readers.h"
#include "requests.h"
#include "serverlogging.h"
#include "servermetrics.h"
#include "writer.h"

#include <QTimer>
#include <memory>
#include <optional>

namespace
{

// Longest user name looked up at login; longer ones cannot exist.
constexpr int maxUsernameLength = 256;
// Tokens we hand out are 64 characters; anything much longer is not worth hashing.
constexpr int maxTokenLength = 256;
// How long a login refused unchecked by the failure throttle waits for its answer.
constexpr int throttledAnswerDelayMs = 1000;
// Passwords longer than any that may be set are checked as they are; this only keeps a hostile
// one from costing more than reading it.
constexpr int maxCheckedPasswordLength = 4 * protocol::maxPasswordLength;

// Names are matched without regard to ASCII case, so "Alice" and "alice" share one account's
// failures; long names are cut as the lookup does.
QString throttleKey(const QString &username)
{
    return username.left(maxUsernameLength + 1).toLower();
}

// What a login's work on the store found.
struct Found {
    std::optional<UserRecord> user;
    QString passwordHash;
    QString token;
    QString httpToken;
    // The account's streak of failures as every server has kept it.
    std::optional<LoginFailures> failures;
    // The user's logged-in connections on the other servers.
    int elsewhere = 0;
};

// A server says it is alive this often; its connections count on the others while it last said
// so within three times that, and are forgotten after, when it went away without a word.
constexpr int presenceIntervalMs = 10000;
constexpr qint64 presenceLifetimeMs = 3 * presenceIntervalMs;

// On the writer: the tokens of a new session, stored hashed, the login's time, and the user's
// connections on the other servers.
void openSession(Store &store, const QString &userId, qint64 nowMs, Found &found)
{
    const qint64 now = nowMs / 1000;
    found.token = credentials::newToken();
    found.httpToken = credentials::newToken();
    store.addLoginToken(credentials::tokenHash(found.token), userId, now);
    store.addHttpToken(credentials::tokenHash(found.httpToken), userId, now);
    store.recordLogin(userId, now);
    found.elsewhere = store.connectionsElsewhere(userId, nowMs - presenceLifetimeMs);
}

void send(ServerMetrics &metrics, ClientConnection *connection, const QJsonObject &frame)
{
    metrics.countFrameSent(frame.value(QLatin1String("type")).toString());
    connection->sendFrame(frame);
}

} // namespace

Logins::Logins(Writer &writer,
    Readers &readers,
    FanOut &fanOut,
    ServerMetrics &metrics,
    const Options &options,
    QObject *parent)
    : QObject(parent)
    , writer(writer)
    , readers(readers)
    , fanOut(fanOut)
    , metrics(metrics)
    , options(options)
    , unknownUserHash(credentials::hashPassword(credentials::newToken(), options.passwordLimits))
    , queue(options.clock, options.maxWaitingLogins, options.pacePerAddress, options.passwordLimits)
{
    connect(&queue, &LoginQueue::checked, this, &Logins::onChecked);
    connect(&queue, &LoginQueue::skipped, this, &Logins::onSkipped);
    queue.setGate([this](const LoginQueue::Check &check) {
        return check.byToken
            || throttle.waitMs(check.account, check.address, this->options.clock()) == 0;
    });
    presenceTimer.setInterval(presenceIntervalMs);
    connect(&presenceTimer, &QTimer::timeout, this, [this] {
        const qint64 now = this->options.clock();
        submitQuietly([now](Store &store) {
            return store.touchPresence(now, now - 10 * presenceLifetimeMs);
        });
    });
    if (options.maxConnectionsPerUser > 0)
        presenceTimer.start();
}

void Logins::submitQuietly(std::function<bool(Store &)> write)
{
    // In a savepoint: should it fail, it fails alone, and the messages committed with it do not.
    writer.submit(
        [write = std::move(write)](Store &store) {
            Store::Transaction part(store);
            if (part.isActive() && write(store))
                part.commit();
            return Outcome();
        },
        Outcome::Reply(),
        [](Outcome &&, bool, quint64) {});
}

void Logins::sharePresence(const QString &userId)
{
    if (options.maxConnectionsPerUser <= 0)
        return;
    const int count = fanOut.connectionsOf(userId);
    const qint64 now = options.clock();
    submitQuietly(
        [userId, count, now](Store &store) { return store.setConnections(userId, count, now); });
}

Logins::~Logins() = default;

bool Logins::mayStart(ClientConnection *connection)
{
    if (!connection->userId.isEmpty()) {
        send(metrics, connection, protocol::errorFrame(QStringLiteral("Already logged in")));
        return false;
    }
    if (connection->loginPending) {
        send(metrics,
            connection,
            protocol::errorFrame(QStringLiteral("A login is already in progress")));
        return false;
    }
    connection->stopLoginDeadline();
    return true;
}

void Logins::refuse(ClientConnection *connection, const QJsonObject &frame)
{
    connection->loginPending = false;
    send(metrics, connection, frame);
    connection->startLoginDeadline(options.loginTimeoutMs);
    emit finished(connection);
}

void Logins::loginWithPassword(ClientConnection *connection, const QJsonObject &request)
{
    const QJsonValue username = request.value(QLatin1String("username"));
    const QJsonValue password = request.value(QLatin1String("password"));
    if (!username.isString() || !password.isString()) {
        send(metrics,
            connection,
            protocol::errorFrame(requests::invalidField(
                !username.isString() ? QLatin1String("username") : QLatin1String("password"))));
        emit finished(connection);
        return;
    }
    if (!mayStart(connection)) {
        emit finished(connection);
        return;
    }
    LoginQueue::Check check;
    check.connectionId = connection->id();
    check.address = addressKey(connection->peerAddress());
    check.account = throttleKey(username.toString());
    check.password = password.toString().left(maxCheckedPasswordLength);
    check.username = username.toString();
    if (throttle.waitMs(check.account, check.address, options.clock()) > 0) {
        refuseThrottled(connection, check.account, check.address);
        return;
    }
    connection->loginPending = true;
    lookingUp.insert(check.connectionId, check);
    auto found = std::make_shared<Found>();
    const QString name = check.username;
    const QString account = check.account;
    readers.submit(
        [found, name, account](Store &store) {
            if (!name.isEmpty() && name.size() <= maxUsernameLength)
                found->user = store.userByName(name);
            if (found->user)
                found->passwordHash = store.passwordHash(found->user->id);
            found->failures = store.loginFailures(account);
            return Outcome();
        },
        [this, connection = QPointer<ClientConnection>(connection), found](Outcome &&, quint64) {
            if (!connection)
                return;
            LoginQueue::Check check = lookingUp.take(connection->id());
            // Failures on other servers count here too: the line's gate checks them.
            if (found->failures)
                throttle.merge(check.account, *found->failures, options.clock());
            check.storedHash = found->user ? found->passwordHash : unknownUserHash;
            check.userId = found->user ? found->user->id : QString();
            check.disabled = found->user && found->user->disabled;
            queueCheck(connection, check);
        });
}

void Logins::loginWithToken(ClientConnection *connection, const QJsonObject &request)
{
    const QJsonValue token = request.value(QLatin1String("token"));
    if (!token.isString()) {
        send(metrics,
            connection,
            protocol::errorFrame(requests::invalidField(QLatin1String("token"))));
        emit finished(connection);
        return;
    }
    if (!mayStart(connection)) {
        emit finished(connection);
        return;
    }
    connection->loginPending = true;
    if (token.toString().isEmpty() || token.toString().size() > maxTokenLength) {
        refuseTokenSlowly(connection);
        return;
    }
    auto found = std::make_shared<Found>();
    const QString tokenHash = credentials::tokenHash(token.toString());
    const qint64 nowMs = options.clock();
    const qint64 now = nowMs / 1000;
    // Taking the token and handing out the next are one write: a token serves one login.
    writer.submit(
        [found, tokenHash, now, nowMs](Store &store) {
            Outcome outcome;
            outcome.wrote = true;
            found->user.reset();
            const std::optional<QString> userId = store.takeLoginToken(tokenHash, now);
            if (userId)
                found->user = store.userById(*userId);
            // A disabled account keeps no tokens, but one may have been added since.
            if (found->user && found->user->disabled)
                found->user.reset();
            if (found->user)
                openSession(store, found->user->id, nowMs, *found);
            return outcome;
        },
        Outcome::Reply(),
        [this, connection = QPointer<ClientConnection>(connection), found](
            Outcome &&, bool committed, quint64) {
            if (!connection)
                return;
            if (committed && found->user)
                accept(connection, *found->user, found->token, found->httpToken, found->elsewhere);
            else
                refuseTokenSlowly(connection);
        });
}

void Logins::refuseTokenSlowly(ClientConnection *connection)
{
    LoginQueue::Check check;
    check.connectionId = connection->id();
    check.address = addressKey(connection->peerAddress());
    // A token of 256 random bits cannot be guessed, so a wrong one throttles nobody: stale tokens
    // of colleagues behind one router must not lock the others out.
    check.byToken = true;
    check.storedHash = unknownUserHash;
    queueCheck(connection, check);
}

void Logins::queueCheck(ClientConnection *connection, const LoginQueue::Check &check)
{
    if (!queue.enqueue(check)) {
        qCInfo(lcServer).noquote() << "login queue full; refusing" << check.address;
        metrics.countRefusedLogin(ServerMetrics::LoginRefusal::QueueFull);
        refuse(connection,
            protocol::errorFrame(QStringLiteral("Too many logins at once; try again shortly")));
        return;
    }
    checking.insert(check.connectionId, connection);
}

void Logins::onSkipped(const LoginQueue::Check &check)
{
    ClientConnection *connection = checking.take(check.connectionId);
    if (!connection)
        return;
    if (!check.newPassword.isEmpty())
        answerChange(connection,
            protocol::passwordChangeErrorFrame(protocol::throttledText(
                throttle.waitMs(check.account, check.address, options.clock()))));
    else
        refuseThrottled(connection, check.account, check.address);
}

void Logins::refuseThrottled(
    ClientConnection *connection, const QString &account, const QString &address)
{
    qCInfo(lcServer).noquote() << "login throttled on connection" << connection->id();
    metrics.countRefusedLogin(ServerMetrics::LoginRefusal::Throttled);
    // Answered after a pause, as a checked login would be, and not at once: a guesser that waits
    // for its answers then sends a login a second per connection, not as many as the server
    // could refuse, which would take the cores the real users' checks need.
    connection->loginPending = true;
    QTimer::singleShot(throttledAnswerDelayMs, connection, [this, connection, account, address] {
        refuse(connection,
            protocol::throttledLoginFrame(throttle.waitMs(account, address, options.clock())));
    });
}

void Logins::onChecked(const LoginQueue::Check &check, bool ok)
{
    ok = ok && !check.userId.isEmpty();
    if (!check.byToken) {
        if (ok)
            throttle.recordSuccess(check.account, check.address);
        else
            throttle.recordFailure(check.account, check.address, options.clock());
        shareFailures(check.account);
    }
    if (!check.newPassword.isEmpty()) {
        onChangeChecked(check, ok);
        return;
    }
    ClientConnection *connection = checking.take(check.connectionId);
    if (!connection)
        return;
    // A disabled account is refused as a wrong password is, so that nobody learns it exists.
    if (!ok || check.disabled) {
        qCInfo(lcServer).noquote() << "login failed for" << check.username.left(maxUsernameLength)
                                   << "on connection" << check.connectionId;
        metrics.countRefusedLogin(ServerMetrics::LoginRefusal::BadCredentials);
        refuse(connection, protocol::authFailedFrame());
        return;
    }
    issueToken(connection, check);
}

void Logins::issueToken(ClientConnection *connection, const LoginQueue::Check &check)
{
    auto found = std::make_shared<Found>();
    const qint64 nowMs = options.clock();
    const QString userId = check.userId;
    const QString checkedHash = check.storedHash;
    const QString newHash = check.newHash;
    writer.submit(
        [found, userId, checkedHash, newHash, nowMs](Store &store) {
            Outcome outcome;
            found->user = store.userById(userId);
            // Disabled, or given a new password, while the old one was being checked.
            if (found->user && (found->user->disabled || store.passwordHash(userId) != checkedHash))
                found->user.reset();
            if (!found->user)
                return outcome;
            outcome.wrote = true;
            // An old kind of hash, or one of other limits, is replaced now that the password is
            // at hand; unless a change came first.
            if (!newHash.isEmpty())
                store.setPasswordHash(userId, newHash, checkedHash);
            openSession(store, userId, nowMs, *found);
            return outcome;
        },
        Outcome::Reply(),
        // A token that could not be stored only costs the next login a password.
        [this, connection = QPointer<ClientConnection>(connection), found](
            Outcome &&, bool, quint64) {
            if (!connection)
                return;
            if (!found->user) {
                metrics.countRefusedLogin(ServerMetrics::LoginRefusal::BadCredentials);
                refuse(connection, protocol::authFailedFrame());
                return;
            }
            accept(connection, *found->user, found->token, found->httpToken, found->elsewhere);
        });
}

void Logins::accept(ClientConnection *connection,
    const UserRecord &user,
    const QString &token,
    const QString &httpToken,
    int elsewhere)
{
    // Gone while its token was stored: it must not join the fan-out it has already left.
    if (connection->isClosed())
        return;
    connection->loginPending = false;
    if (options.maxConnectionsPerUser > 0
        && fanOut.connectionsOf(user.id) + elsewhere >= options.maxConnectionsPerUser) {
        qCInfo(lcServer).noquote() << "refusing another connection of" << user.username;
        metrics.countRefusedLogin(ServerMetrics::LoginRefusal::TooManyConnections);
        const QString reason = QStringLiteral("Too many connections for this account");
        send(metrics, connection, protocol::errorFrame(reason));
        connection->closeWithGrace(QWebSocketProtocol::CloseCodePolicyViolated, reason);
        emit finished(connection);
        return;
    }
    connection->userId = user.id;
    connection->username = user.username;
    qCInfo(lcServer).noquote() << "login of" << user.username << "on connection"
                               << connection->id();
    // What others' writes tell the user from now on waits for the push, which may hold it.
    fanOut.join(connection);
    sharePresence(user.id);
    fanOut.hold(connection);
    send(metrics,
        connection,
        protocol::loginSuccessFrame(user, token, httpToken, options.maxUploadSize));
    const QString userId = user.id;
    const int page = options.historyPage;
    const qint64 maxBytes = options.maxLoginHistoryBytes;
    readers.submit([userId, page, maxBytes](
                       Store &store) { return requests::loginPush(store, userId, page, maxBytes); },
        [this, connection = QPointer<ClientConnection>(connection)](
            Outcome &&outcome, quint64 snapshot) {
            if (!connection)
                return;
            fanOut.answerRead(
                connection, std::move(outcome.replies), snapshot, true, [this, connection] {
                    emit finished(connection);
                });
        });
}

void Logins::connectionClosed(ClientConnection *connection)
{
    const quint64 id = connection->id();
    checking.remove(id);
    if (!connection->loginPending)
        return;
    // A login given up before its answer counts as a failure, so that connections that send a
    // login and hang up soon have their account answered unchecked from there.
    std::optional<LoginQueue::Check> check = queue.cancel(id);
    if (!check && lookingUp.contains(id))
        check = lookingUp.take(id);
    if (check && !check->byToken) {
        throttle.recordFailure(check->account, check->address, options.clock());
        shareFailures(check->account);
    }
}

void Logins::shareFailures(const QString &account)
{
    const std::optional<LoginFailures> failures = throttle.failures(account);
    if (!failures)
        return;
    const qint64 forgetBefore = options.clock() - LoginThrottle::forgetAfterMs;
    submitQuietly([account, failures = *failures, forgetBefore](Store &store) {
        return store.setLoginFailures(account, failures, forgetBefore);
    });
}

void Logins::changePassword(ClientConnection *connection, const QJsonObject &request)
{
    const QJsonValue oldPassword = request.value(QLatin1String("oldPassword"));
    const QJsonValue newPassword = request.value(QLatin1String("newPassword"));
    if (!oldPassword.isString() || !newPassword.isString()) {
        answerChange(connection,
            protocol::passwordChangeErrorFrame(
                requests::invalidField(!oldPassword.isString() ? QLatin1String("oldPassword")
                                                               : QLatin1String("newPassword"))));
        return;
    }
    const QString problem =
        protocol::checkNewPassword(newPassword.toString(), connection->username);
    if (!problem.isEmpty()) {
        answerChange(connection, protocol::passwordChangeErrorFrame(problem));
        return;
    }
    LoginQueue::Check check;
    check.connectionId = connection->id();
    check.address = addressKey(connection->peerAddress());
    check.account = throttleKey(connection->username);
    check.password = oldPassword.toString().left(maxCheckedPasswordLength);
    check.newPassword = newPassword.toString();
    check.username = connection->username;
    check.userId = connection->userId;
    // A wrong old password is a guess like a wrong login, and waits out the same throttle; but
    // the asker is logged in already, and is told at once.
    const qint64 wait = throttle.waitMs(check.account, check.address, options.clock());
    if (wait > 0) {
        answerChange(connection, protocol::passwordChangeErrorFrame(protocol::throttledText(wait)));
        return;
    }
    // Marks the change as under way, so that a hang-up drops it (and counts as a failure).
    connection->loginPending = true;
    lookingUp.insert(check.connectionId, check);
    auto found = std::make_shared<Found>();
    const QString userId = check.userId;
    readers.submit(
        [found, userId](Store &store) {
            found->passwordHash = store.passwordHash(userId);
            return Outcome();
        },
        [this, connection = QPointer<ClientConnection>(connection), found](Outcome &&, quint64) {
            if (!connection)
                return;
            LoginQueue::Check check = lookingUp.take(connection->id());
            check.storedHash = found->passwordHash;
            if (!queue.enqueue(check)) {
                metrics.countRefusedLogin(ServerMetrics::LoginRefusal::QueueFull);
                answerChange(connection,
                    protocol::passwordChangeErrorFrame(
                        QStringLiteral("Too many logins at once; try again shortly")));
                return;
            }
            checking.insert(check.connectionId, connection);
        });
}

void Logins::onChangeChecked(const LoginQueue::Check &check, bool ok)
{
    ClientConnection *connection = checking.take(check.connectionId);
    if (!connection)
        return;
    if (!ok) {
        qCInfo(lcServer).noquote() << "password change refused for" << check.username
                                   << "on connection" << check.connectionId;
        answerChange(connection,
            protocol::passwordChangeErrorFrame(QStringLiteral("The current password is wrong")));
        return;
    }
    const QString failure = QStringLiteral("The password could not be changed; try again");
    if (check.newHash.isEmpty()) {
        answerChange(connection, protocol::passwordChangeErrorFrame(failure));
        return;
    }
    auto found = std::make_shared<Found>();
    auto changed = std::make_shared<bool>(false);
    const qint64 nowMs = options.clock();
    // The close of the user's connections, which this write sends to every server, passes the
    // asker by; however it comes back, through the writer or the change feed.
    connection->spareCloseCode = protocol::passwordChangedCloseCode;
    writer.submit(
        [found, changed, check, nowMs](Store &store) {
            Outcome outcome;
            outcome.wrote = true;
            *changed = false;
            // Refused when another change came first: this one checked a password that is gone.
            if (!store.setPasswordHash(check.userId, check.newHash, check.storedHash))
                return outcome;
            *changed = true;
            store.revokeTokens(check.userId);
            openSession(store, check.userId, nowMs, *found);
            outcome.closeConnections({ check.userId },
                protocol::passwordChangedCloseCode,
                protocol::passwordChangedReason);
            return outcome;
        },
        Outcome::Reply(),
        [this, connection = QPointer<ClientConnection>(connection), changed, found, check, failure](
            Outcome &&outcome, bool committed, quint64 transaction) {
            if (committed && *changed)
                qCInfo(lcServer).noquote() << "password of" << check.username << "changed";
            for (const ChangeNotice &notice : outcome.notices)
                fanOut.deliver(notice, transaction);
            if (!connection)
                return;
            connection->spareCloseCode = 0;
            if (committed && !*changed) {
                // Another change came first: this session's token is revoked with the rest.
                connection->closeWithGrace(
                    protocol::passwordChangedCloseCode, protocol::passwordChangedReason);
                return;
            }
            answerChange(connection,
                committed ? protocol::passwordChangedFrame(found->token, found->httpToken)
                          : protocol::passwordChangeErrorFrame(failure));
        });
}

void Logins::answerChange(ClientConnection *connection, const QJsonObject &frame)
{
    connection->loginPending = false;
    send(metrics, connection, frame);
    emit finished(connection);
}
