#include "chatserver.h"
#include "credentials.h"
#include "database.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>
#include <algorithm>
#include <memory>

namespace
{

// A test client that keeps every frame it receives.
struct Peer {
    QWebSocket socket;
    QList<QJsonObject> frames;

    void send(const QJsonObject &frame)
    {
        socket.sendTextMessage(
            QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
    }
    bool waitForFrames(int count)
    {
        QDeadlineTimer deadline(10000);
        while (frames.size() < count && !deadline.hasExpired()) {
            QSignalSpy spy(&socket, &QWebSocket::textMessageReceived);
            spy.wait(int(deadline.remainingTime()));
        }
        return frames.size() >= count;
    }
};

QString typeOf(const QJsonObject &frame)
{
    return frame.value(QLatin1String("type")).toString();
}

QJsonObject tokenLogin(const QString &token)
{
    return { { QStringLiteral("type"), QStringLiteral("login_with_token") },
        { QStringLiteral("token"), token } };
}

QJsonObject passwordLogin(const QString &username, const QString &password)
{
    return { { QStringLiteral("type"), QStringLiteral("login_with_password") },
        { QStringLiteral("username"), username },
        { QStringLiteral("password"), password } };
}

} // namespace

class TestTokenLogin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void tokenLoginAnswersLikePasswordLogin();
    void tokenServesOneLogin();
    void tokenLoginByAge_data();
    void tokenLoginByAge();
    void refusedTokensKeepConnectionOpen_data();
    void refusedTokensKeepConnectionOpen();
    void tokensAreStoredOnlyAsHashes();
    void wrongTokenIsRefusedAsSlowlyAsWrongPassword();

private:
    std::unique_ptr<Peer> connectPeer();
    // Sends one login request and returns the first answer.
    QJsonObject answerTo(const QJsonObject &request, std::unique_ptr<Peer> *keep = nullptr);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Database> db;
    std::unique_ptr<ChatServer> server;
    QString alice;
};

void TestTokenLogin::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    db = std::make_unique<Database>();
    QVERIFY(db->open(dir->path()));
    alice = db->addUser(QStringLiteral("alice"),
                  credentials::hashPassword(QStringLiteral("secret"), 1000))
                ->id;
    ChatServer::Options options;
    options.staticDir = dir->filePath(QStringLiteral("static"));
    server = std::make_unique<ChatServer>(*db, options);
    QVERIFY(server->listen(QHostAddress::LocalHost, 0));
}

void TestTokenLogin::cleanup()
{
    server.reset();
    db.reset();
    dir.reset();
}

std::unique_ptr<Peer> TestTokenLogin::connectPeer()
{
    auto peer = std::make_unique<Peer>();
    QObject::connect(&peer->socket,
        &QWebSocket::textMessageReceived,
        &peer->socket,
        [p = peer.get()](const QString &text) {
            p->frames.append(QJsonDocument::fromJson(text.toUtf8()).object());
        });
    QSignalSpy connected(&peer->socket, &QWebSocket::connected);
    peer->socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(server->serverPort())));
    if (!connected.wait(5000))
        return nullptr;
    return peer;
}

QJsonObject TestTokenLogin::answerTo(const QJsonObject &request, std::unique_ptr<Peer> *keep)
{
    std::unique_ptr<Peer> peer = connectPeer();
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

void TestTokenLogin::tokenLoginAnswersLikePasswordLogin()
{
    const QJsonObject first =
        answerTo(passwordLogin(QStringLiteral("alice"), QStringLiteral("secret")));
    QCOMPARE(typeOf(first), QStringLiteral("login_success"));
    const QString token = first.value(QLatin1String("token")).toString();
    QVERIFY(!token.isEmpty());

    std::unique_ptr<Peer> peer;
    const QJsonObject again = answerTo(tokenLogin(token), &peer);
    QCOMPARE(typeOf(again), QStringLiteral("login_success"));
    QCOMPARE(again.value(QLatin1String("user")), first.value(QLatin1String("user")));
    const QString fresh = again.value(QLatin1String("token")).toString();
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
    const QString token = answerTo(passwordLogin(QStringLiteral("alice"), QStringLiteral("secret")))
                              .value(QLatin1String("token"))
                              .toString();
    const QString fresh = answerTo(tokenLogin(token)).value(QLatin1String("token")).toString();
    QVERIFY(!fresh.isEmpty());
    QCOMPARE(typeOf(answerTo(tokenLogin(token))), QStringLiteral("auth_failed"));
    QCOMPARE(typeOf(answerTo(tokenLogin(fresh))), QStringLiteral("login_success"));
}

void TestTokenLogin::tokenLoginByAge_data()
{
    QTest::addColumn<qint64>("age");
    QTest::addColumn<bool>("accepted");

    const qint64 day = 24 * 3600;
    QTest::newRow("issued just now") << qint64(0) << true;
    QTest::newRow("unused for 29 days") << 29 * day << true;
    QTest::newRow("unused for 30 days and an hour") << 30 * day + 3600 << false;
    QTest::newRow("unused for a year") << 365 * day << false;
}

void TestTokenLogin::tokenLoginByAge()
{
    QFETCH(qint64, age);
    QFETCH(bool, accepted);
    const QString token = credentials::newToken();
    QVERIFY(db->addLoginToken(
        credentials::tokenHash(token), alice, QDateTime::currentSecsSinceEpoch() - age));
    const QJsonObject answer = answerTo(tokenLogin(token));
    QCOMPARE(
        typeOf(answer), accepted ? QStringLiteral("login_success") : QStringLiteral("auth_failed"));
    if (accepted)
        QCOMPARE(answer.value(QLatin1String("user"))
                     .toObject()
                     .value(QLatin1String("userId"))
                     .toString(),
            alice);
}

void TestTokenLogin::refusedTokensKeepConnectionOpen_data()
{
    QTest::addColumn<QJsonValue>("token");
    QTest::addColumn<QString>("answer");

    QTest::newRow("unknown token") << QJsonValue(credentials::newToken()) << "auth_failed";
    QTest::newRow("empty token") << QJsonValue(QString()) << "auth_failed";
    QTest::newRow("very long token")
        << QJsonValue(QString(5000, QLatin1Char('a'))) << "auth_failed";
    QTest::newRow("token of the stored hash itself")
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
        const QString real = credentials::newToken();
        QVERIFY(db->addLoginToken(
            credentials::tokenHash(real), alice, QDateTime::currentSecsSinceEpoch()));
        token = credentials::tokenHash(real);
    }
    QJsonObject request { { QStringLiteral("type"), QStringLiteral("login_with_token") } };
    if (!token.isUndefined())
        request.insert(QStringLiteral("token"), token);
    std::unique_ptr<Peer> peer;
    QCOMPARE(typeOf(answerTo(request, &peer)), answer);
    // The same connection can still log in with the password.
    peer->send(passwordLogin(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(peer->waitForFrames(2));
    QCOMPARE(typeOf(peer->frames.at(1)), QStringLiteral("login_success"));
}

void TestTokenLogin::tokensAreStoredOnlyAsHashes()
{
    const QString token = answerTo(passwordLogin(QStringLiteral("alice"), QStringLiteral("secret")))
                              .value(QLatin1String("token"))
                              .toString();
    QVERIFY(!token.isEmpty());
    QByteArray stored;
    const QDir data(dir->path());
    for (const QString &name :
        data.entryList({ Database::fileName + QLatin1Char('*') }, QDir::Files)) {
        QFile file(data.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        stored += file.readAll();
    }
    QVERIFY(!stored.isEmpty());
    QVERIFY(!stored.contains(token.toLatin1()));
    QVERIFY(stored.contains(credentials::tokenHash(token).toLatin1()));
}

void TestTokenLogin::wrongTokenIsRefusedAsSlowlyAsWrongPassword()
{
    // Medians of a few refusals each: a token refusal must cost a guesser about what a password
    // refusal does (an unknown name is checked against a full-strength hash).
    const auto medianRefusal = [this](const QJsonObject &request) {
        std::vector<qint64> times;
        for (int i = 0; i < 3; ++i) {
            std::unique_ptr<Peer> peer = connectPeer();
            if (!peer)
                return qint64(-1);
            QElapsedTimer timer;
            timer.start();
            peer->send(request);
            if (!peer->waitForFrames(1)
                || typeOf(peer->frames.first()) != QLatin1String("auth_failed"))
                return qint64(-1);
            times.push_back(timer.elapsed());
        }
        std::sort(times.begin(), times.end());
        return times.at(1);
    };
    const qint64 password =
        medianRefusal(passwordLogin(QStringLiteral("mallory"), QStringLiteral("x")));
    const qint64 token = medianRefusal(tokenLogin(credentials::newToken()));
    QVERIFY(password >= 0);
    QVERIFY(token >= 0);
    QVERIFY2(token * 2 >= password,
        qPrintable(QStringLiteral("token %1 ms, password %2 ms").arg(token).arg(password)));
}

QTEST_GUILESS_MAIN(TestTokenLogin)
#include "tst_tokenlogin.moc"
