#include "credentials.h"
#include "loginthrottle.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "sqlitestore.h"
#include "testframes.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>
#include <algorithm>
#include <memory>

namespace
{

QJsonObject tokenLogin(const QJsonValue &token)
{
    QJsonObject request { { QStringLiteral("type"), QStringLiteral("login_with_token") } };
    if (!token.isUndefined())
        request.insert(QStringLiteral("token"), token);
    return request;
}

QJsonObject passwordLogin(const QString &username, const QString &password)
{
    return { { QStringLiteral("type"), QStringLiteral("login_with_password") },
        { QStringLiteral("username"), username },
        { QStringLiteral("password"), password } };
}

// A wrong guess of either kind; "mallory" has no account, so her password is checked against
// a hash of full strength, as a wrong token is.
QJsonObject wrongGuess(const QString &kind)
{
    return kind == QLatin1String("token")
        ? tokenLogin(credentials::newToken())
        : passwordLogin(QStringLiteral("mallory"), QStringLiteral("guess"));
}

QString tokenOf(const QJsonObject &frame)
{
    return frame.value(QLatin1String("token")).toString();
}

constexpr qint64 day = 24 * 3600;

} // namespace

class TestTokenLogin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void tokenLoginAnswersLikePasswordLogin();
    void tokenServesOneLogin();
    void tokenExpiresAfterThirtyDaysUnused_data();
    void tokenExpiresAfterThirtyDaysUnused();
    void refusedTokensKeepConnectionOpen_data();
    void refusedTokensKeepConnectionOpen();
    void tokensAreStoredOnlyAsHashes();
    void wrongTokenIsRefusedAsSlowlyAsWrongPassword();
    void failuresThrottleOnlyPasswordsOfTheirAccount_data();
    void failuresThrottleOnlyPasswordsOfTheirAccount();

private:
    // Sends one request on a new connection and returns the first answer; `keep` receives
    // the peer when given.
    QJsonObject answerTo(const QJsonObject &request, std::unique_ptr<Peer> *keep = nullptr);
    QString passwordToken();

    ServerFixture fixture;
    QString alice;
    qint64 nowMs = 0;
};

void TestTokenLogin::init()
{
    FERROW_SET_UP(fixture);
    alice = fixture.addUser(QStringLiteral("alice"));
    nowMs = QDateTime::currentMSecsSinceEpoch();
    ChatServer::Options options = fixture.defaultOptions();
    options.clock = [this] { return nowMs; };
    QVERIFY(fixture.start(options));
}

void TestTokenLogin::cleanup()
{
    fixture.stop();
}

QJsonObject TestTokenLogin::answerTo(const QJsonObject &request, std::unique_ptr<Peer> *keep)
{
    std::unique_ptr<Peer> peer = fixture.connectPeer();
    if (!peer)
        return {};
    peer->send(request);
    if (!peer->waitForFrames(1))
        return {};
    const QJsonObject answer = peer->frames.first();
    if (keep)
        *keep = std::move(peer);
    return answer;
}

QString TestTokenLogin::passwordToken()
{
    std::unique_ptr<Peer> peer = fixture.login(QStringLiteral("alice"));
    return peer ? tokenOf(peer->loginFrames.value(0)) : QString();
}

void TestTokenLogin::tokenLoginAnswersLikePasswordLogin()
{
    std::unique_ptr<Peer> first = fixture.login(QStringLiteral("alice"));
    QVERIFY(first);
    const QString token = tokenOf(first->loginFrames.first());
    QVERIFY(!token.isEmpty());

    std::unique_ptr<Peer> peer;
    const QJsonObject again = answerTo(tokenLogin(token), &peer);
    QCOMPARE(typeOf(again), QStringLiteral("login_success"));
    QCOMPARE(again.value(QLatin1String("user")),
        first->loginFrames.first().value(QLatin1String("user")));
    const QString fresh = tokenOf(again);
    QVERIFY(!fresh.isEmpty());
    QVERIFY(fresh != token);
    // The same push as after a password login follows.
    QVERIFY(peer->waitForFrames(3));
    QCOMPARE(typeOf(peer->frames.at(1)), QStringLiteral("chat_history"));
    QCOMPARE(typeOf(peer->frames.at(2)), QStringLiteral("user_list_update"));

    // Logged in: a second login on the same connection is refused.
    peer->send(tokenLogin(fresh));
    QVERIFY(peer->waitForFrames(4));
    QCOMPARE(typeOf(peer->frames.at(3)), QStringLiteral("error"));
}

void TestTokenLogin::tokenServesOneLogin()
{
    const QString token = passwordToken();
    const QString fresh = tokenOf(answerTo(tokenLogin(token)));
    QVERIFY(!fresh.isEmpty());
    QCOMPARE(typeOf(answerTo(tokenLogin(token))), QStringLiteral("auth_failed"));
    QCOMPARE(typeOf(answerTo(tokenLogin(fresh))), QStringLiteral("login_success"));
}

void TestTokenLogin::tokenExpiresAfterThirtyDaysUnused_data()
{
    QTest::addColumn<qint64>("unusedFor");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("used at once") << qint64(0) << true;
    QTest::newRow("unused for 29 days") << 29 * day << true;
    QTest::newRow("unused for 30 days and an hour") << 30 * day + 3600 << false;
    QTest::newRow("unused for a year") << 365 * day << false;
}

void TestTokenLogin::tokenExpiresAfterThirtyDaysUnused()
{
    QFETCH(qint64, unusedFor);
    QFETCH(bool, accepted);
    const QString token = passwordToken();
    QVERIFY(!token.isEmpty());
    nowMs += unusedFor * 1000;
    const QJsonObject answer = answerTo(tokenLogin(token));
    QCOMPARE(
        typeOf(answer), accepted ? QStringLiteral("login_success") : QStringLiteral("auth_failed"));
    if (!accepted)
        return;
    QCOMPARE(
        answer.value(QLatin1String("user")).toObject().value(QLatin1String("userId")).toString(),
        alice);
    // Its successor lives another 30 days from its own use.
    nowMs += 29 * day * 1000;
    QCOMPARE(typeOf(answerTo(tokenLogin(tokenOf(answer)))), QStringLiteral("login_success"));
}

void TestTokenLogin::refusedTokensKeepConnectionOpen_data()
{
    QTest::addColumn<QJsonValue>("token");
    QTest::addColumn<QString>("answer");

    QTest::newRow("unknown token") << QJsonValue(credentials::newToken()) << "auth_failed";
    QTest::newRow("empty token") << QJsonValue(QString()) << "auth_failed";
    QTest::newRow("very long token")
        << QJsonValue(QString(5000, QLatin1Char('a'))) << "auth_failed";
    QTest::newRow("the stored hash of a real token")
        << QJsonValue(QStringLiteral("HASH")) << "auth_failed";
    QTest::newRow("number instead of a token") << QJsonValue(42) << "error";
    QTest::newRow("no token at all") << QJsonValue(QJsonValue::Undefined) << "error";
}

void TestTokenLogin::refusedTokensKeepConnectionOpen()
{
    QFETCH(QJsonValue, token);
    QFETCH(QString, answer);
    if (token.toString() == QLatin1String("HASH")) {
        // Knowing what the database holds must not be enough to log in.
        token = credentials::tokenHash(passwordToken());
    }
    std::unique_ptr<Peer> peer;
    QCOMPARE(typeOf(answerTo(tokenLogin(token), &peer)), answer);
    // The same connection can still log in with the password.
    peer->sendLogin(QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(peer->waitForFrames(2));
    QCOMPARE(typeOf(peer->frames.at(1)), QStringLiteral("login_success"));
}

void TestTokenLogin::tokensAreStoredOnlyAsHashes()
{
    if (fixture.onPostgres())
        QSKIP("reads the SQLite files; PostgreSQL stores tokens through the same statements");
    const QString token = passwordToken();
    QVERIFY(!token.isEmpty());
    QByteArray stored;
    const QDir data(fixture.path());
    const QStringList files =
        data.entryList({ SqliteStore::fileName + QLatin1Char('*') }, QDir::Files);
    for (const QString &name : files) {
        QFile file(data.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        stored += file.readAll();
    }
    QVERIFY(stored.contains(credentials::tokenHash(token).toLatin1()));
    QVERIFY(!stored.contains(token.toLatin1()));
}

void TestTokenLogin::wrongTokenIsRefusedAsSlowlyAsWrongPassword()
{
    // A token refusal must cost a guesser about what a password refusal does (an unknown name is
    // checked against a full-strength hash). Medians of a few tries each, and a wide margin, so
    // that a busy machine does not decide the outcome.
    fixture.server.reset();
    ChatServer::Options fullStrength = fixture.options;
    fullStrength.passwordLimits = credentials::defaultLimits;
    QVERIFY(fixture.start(fullStrength));
    // Taken in turns, so that both kinds see the same load of a busy machine.
    const auto refusalMs = [this](const QJsonObject &request) {
        std::unique_ptr<Peer> peer = fixture.connectPeer();
        if (!peer)
            return qint64(-1);
        QElapsedTimer timer;
        timer.start();
        peer->send(request);
        if (!peer->waitForFrames(1) || typeOf(peer->frames.first()) != QLatin1String("auth_failed"))
            return qint64(-1);
        return timer.elapsed();
    };
    std::vector<qint64> passwords;
    std::vector<qint64> tokens;
    for (int i = 0; i < 5; ++i) {
        passwords.push_back(
            refusalMs({ { QStringLiteral("type"), QStringLiteral("login_with_password") },
                { QStringLiteral("username"), QStringLiteral("mallory") },
                { QStringLiteral("password"), QStringLiteral("x") } }));
        tokens.push_back(refusalMs(tokenLogin(credentials::newToken())));
    }
    std::sort(passwords.begin(), passwords.end());
    std::sort(tokens.begin(), tokens.end());
    const qint64 password = passwords.at(2);
    const qint64 token = tokens.at(2);
    QVERIFY(passwords.front() >= 0);
    QVERIFY(tokens.front() >= 0);
    QVERIFY2(token * 2 >= password,
        qPrintable(QStringLiteral("token %1 ms, password %2 ms").arg(token).arg(password)));
}

void TestTokenLogin::failuresThrottleOnlyPasswordsOfTheirAccount_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("then");
    QTest::addColumn<bool>("throttled");

    QTest::newRow("wrong tokens, then the right password") << "token"
                                                           << "password" << false;
    QTest::newRow("wrong tokens, then a valid token") << "token"
                                                      << "token" << false;
    QTest::newRow("another name's passwords, then a valid token") << "password"
                                                                  << "token" << false;
    QTest::newRow("the account's passwords, then a valid token") << "alice"
                                                                 << "token" << false;
    QTest::newRow("the account's passwords, then its password") << "alice"
                                                                << "password" << true;
}

void TestTokenLogin::failuresThrottleOnlyPasswordsOfTheirAccount()
{
    QFETCH(QString, failing);
    QFETCH(QString, then);
    QFETCH(bool, throttled);
    const QString token = passwordToken();
    QVERIFY(!token.isEmpty());
    const auto answer = [this](const QJsonObject &request) {
        std::unique_ptr<Peer> peer = fixture.connectPeer();
        if (!peer)
            return QJsonObject();
        peer->send(request);
        return peer->waitForFrames(1) ? peer->frames.first() : QJsonObject();
    };
    const QJsonObject failure = failing == QLatin1String("alice")
        ? passwordLogin(QStringLiteral("alice"), QStringLiteral("guess"))
        : wrongGuess(failing);
    for (int i = 0; i < LoginThrottle::freeFailures; ++i)
        QCOMPARE(typeOf(answer(failure)), QStringLiteral("auth_failed"));

    const QJsonObject right = then == QLatin1String("token")
        ? tokenLogin(token)
        : passwordLogin(QStringLiteral("alice"), QStringLiteral("secret"));
    const QJsonObject refused = answer(right);
    if (!throttled) {
        QCOMPARE(typeOf(refused), QStringLiteral("login_success"));
        return;
    }
    // Refused unchecked while the account waits for this address...
    QCOMPARE(refused.value(QLatin1String("message")).toString(),
        QStringLiteral("Too many failed logins; try again in 1 s"));
    // ...and accepted once the wait is over.
    nowMs += LoginThrottle::firstDelayMs;
    QCOMPARE(typeOf(answer(right)), QStringLiteral("login_success"));
}

FERROW_SERVER_TEST_MAIN(TestTokenLogin)
#include "tst_tokenlogin.moc"
