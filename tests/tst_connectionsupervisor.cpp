#include "net/connectionsupervisor.h"
#include "net/websocketclient.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

namespace
{

QString typeOf(const QJsonObject &frame)
{
    return frame.value(QLatin1String("type")).toString();
}

QJsonObject loginSuccess(const QString &token)
{
    return { { QStringLiteral("type"), QStringLiteral("login_success") },
        { QStringLiteral("user"),
            QJsonObject { { QStringLiteral("userId"), QStringLiteral("u1") },
                { QStringLiteral("username"), QStringLiteral("alice") } } },
        { QStringLiteral("token"), token } };
}

QJsonObject answer(const QString &type, const QString &message)
{
    return { { QStringLiteral("type"), type }, { QStringLiteral("message"), message } };
}

// Quick waits, so that a test sees several reconnects in well under a second.
ConnectionSupervisor::Timing quickTiming()
{
    ConnectionSupervisor::Timing timing;
    timing.backoffMs = { 20, 40, 80, 160 };
    timing.loginTimeoutMs = 5000;
    timing.stableMs = 5000;
    return timing;
}

// Completes the WebSocket handshake of every connection and then never reads again: the
// server side of a connection whose peer has vanished.
class HalfOpenServer : public QTcpServer
{
public:
    HalfOpenServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    const QByteArray head = socket->peek(8192);
                    if (!head.contains("\r\n\r\n") || socket->property("done").toBool())
                        return;
                    socket->setProperty("done", true);
                    QByteArray key;
                    for (const QByteArray &line : head.split('\n')) {
                        if (line.toLower().startsWith("sec-websocket-key:"))
                            key = line.mid(18).trimmed();
                    }
                    const QByteArray accept = QCryptographicHash::hash(
                        key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1)
                                                  .toBase64();
                    socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                  "Connection: Upgrade\r\nSec-WebSocket-Accept: "
                        + accept + "\r\n\r\n");
                    // Stop reading: pings pile up unanswered.
                    disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
                });
            }
        });
    }
};

} // namespace

class TestConnectionSupervisor : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void backoffFollowsTheSchedule_data();
    void backoffFollowsTheSchedule();
    void reconnectsAfterRestartWithToken();
    void refusedTokenFallsBackToPassword_data();
    void refusedTokenFallsBackToPassword();
    void noReconnectAfterLogout();
    void noLoginAfterRefusedPassword();
    void loginTypedWhileOfflineIsSentOnceConnected();
    void retryNowSkipsTheWait();
    void backoffKeepsGrowingWhileServerDropsEveryLogin();
    void silentServerIsLeftAfterLoginTimeout();
    void repeatedLoginSuccessCountsOnce();
    void deadConnectionIsNoticedByPing();

private:
    // Connects and logs in with a password; the server answers with `token`.
    bool logIn(const QString &token);

    std::unique_ptr<TestServer> server;
    std::unique_ptr<WebSocketClient> client;
    std::unique_ptr<ConnectionSupervisor> supervisor;
};

void TestConnectionSupervisor::init()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
    client = std::make_unique<WebSocketClient>();
    supervisor = std::make_unique<ConnectionSupervisor>(client.get());
    supervisor->setTiming(quickTiming());
}

void TestConnectionSupervisor::cleanup()
{
    supervisor.reset();
    client.reset();
    server.reset();
}

bool TestConnectionSupervisor::logIn(const QString &token)
{
    QSignalSpy ready(supervisor.get(), &ConnectionSupervisor::readyForLogin);
    QSignalSpy loggedIn(supervisor.get(), &ConnectionSupervisor::loggedIn);
    supervisor->start();
    if (!ready.wait(5000))
        return false;
    supervisor->loginWithPassword(QStringLiteral("alice"), QStringLiteral("pw"));
    if (!server->waitForFrames(1))
        return false;
    server->send(loginSuccess(token));
    if (!loggedIn.wait(5000))
        return false;
    server->takeFrames();
    return supervisor->state() == ConnectionSupervisor::State::LoggedIn;
}

void TestConnectionSupervisor::backoffFollowsTheSchedule_data()
{
    QTest::addColumn<int>("attempt");
    QTest::addColumn<int>("shortest");
    QTest::addColumn<int>("longest");

    QTest::newRow("first retry") << 0 << 400 << 600;
    QTest::newRow("second retry") << 1 << 800 << 1200;
    QTest::newRow("sixth retry") << 5 << 12800 << 19200;
    QTest::newRow("seventh retry") << 6 << 24000 << 36000;
    QTest::newRow("hundredth retry") << 99 << 24000 << 36000;
}

void TestConnectionSupervisor::backoffFollowsTheSchedule()
{
    QFETCH(int, attempt);
    QFETCH(int, shortest);
    QFETCH(int, longest);
    const ConnectionSupervisor::Timing timing;
    QCOMPARE(ConnectionSupervisor::backoffDelay(timing, attempt, -1.0), shortest);
    QCOMPARE(ConnectionSupervisor::backoffDelay(timing, attempt, 1.0), longest);
    // Each retry waits at least as long as the one before, jitter aside.
    if (attempt > 0)
        QVERIFY(ConnectionSupervisor::backoffDelay(timing, attempt, 0)
            >= ConnectionSupervisor::backoffDelay(timing, attempt - 1, 0));
}

void TestConnectionSupervisor::reconnectsAfterRestartWithToken()
{
    QVERIFY(logIn(QStringLiteral("t1")));
    QSignalSpy lost(supervisor.get(), &ConnectionSupervisor::connectionLost);
    QSignalSpy loggedIn(supervisor.get(), &ConnectionSupervisor::loggedIn);
    const quint16 port = server->port();
    server->stop();
    QVERIFY(lost.wait(5000));
    QCOMPARE(supervisor->state(), ConnectionSupervisor::State::Offline);
    QVERIFY(supervisor->retryScheduled());

    QVERIFY(server->start(port));
    QVERIFY(server->waitForFrames(1, 10000));
    const QJsonObject expected { { QStringLiteral("type"), QStringLiteral("login_with_token") },
        { QStringLiteral("token"), QStringLiteral("t1") } };
    QCOMPARE(server->frames.first(), expected);
    server->send(loginSuccess(QStringLiteral("t2")));
    QVERIFY(loggedIn.wait(5000));
    QCOMPARE(supervisor->token(), QStringLiteral("t2"));
    QCOMPARE(server->frames.size(), 1);
}

void TestConnectionSupervisor::refusedTokenFallsBackToPassword_data()
{
    QTest::addColumn<QString>("refusal");

    QTest::newRow("auth_failed") << "auth_failed";
    QTest::newRow("server without token logins") << "error";
}

void TestConnectionSupervisor::refusedTokenFallsBackToPassword()
{
    QFETCH(QString, refusal);
    QVERIFY(logIn(QStringLiteral("t1")));
    QSignalSpy ready(supervisor.get(), &ConnectionSupervisor::readyForLogin);
    QSignalSpy refused(supervisor.get(), &ConnectionSupervisor::authFailed);
    QSignalSpy errors(supervisor.get(), &ConnectionSupervisor::serverError);
    const quint16 port = server->port();
    server->stop();
    QVERIFY(server->start(port));
    QVERIFY(server->waitForFrames(1, 10000));
    QCOMPARE(typeOf(server->frames.first()), QStringLiteral("login_with_token"));
    server->send(answer(refusal, QStringLiteral("nope")));
    QVERIFY(ready.wait(5000));
    // The window logs in with the password now; the refusal itself is not the user's business.
    QCOMPARE(refused.count(), 0);
    QCOMPARE(errors.count(), 0);
    QVERIFY(supervisor->token().isEmpty());
    QSignalSpy loggedIn(supervisor.get(), &ConnectionSupervisor::loggedIn);
    supervisor->loginWithPassword(QStringLiteral("alice"), QStringLiteral("pw"));
    QVERIFY(server->waitForFrames(2));
    QCOMPARE(typeOf(server->frames.at(1)), QStringLiteral("login_with_password"));
    server->send(loginSuccess(QStringLiteral("t3")));
    QVERIFY(loggedIn.wait(5000));
}

void TestConnectionSupervisor::noReconnectAfterLogout()
{
    QVERIFY(logIn(QStringLiteral("t1")));
    QSignalSpy gone(server.get(), &TestServer::clientDisconnected);
    QSignalSpy connections(server.get(), &TestServer::clientConnected);
    supervisor->logout();
    QVERIFY(gone.wait(5000));
    QVERIFY(supervisor->token().isEmpty());
    QVERIFY(!supervisor->retryScheduled());
    // Many times the longest back-off: nothing comes back.
    QVERIFY(!connections.wait(500));
    QCOMPARE(supervisor->state(), ConnectionSupervisor::State::Offline);

    // Starting again connects without logging in: the token is gone.
    QSignalSpy ready(supervisor.get(), &ConnectionSupervisor::readyForLogin);
    supervisor->start();
    QVERIFY(ready.wait(5000));
    QVERIFY(server->frames.isEmpty());
}

void TestConnectionSupervisor::noLoginAfterRefusedPassword()
{
    QSignalSpy ready(supervisor.get(), &ConnectionSupervisor::readyForLogin);
    QSignalSpy refused(supervisor.get(), &ConnectionSupervisor::authFailed);
    supervisor->start();
    QVERIFY(ready.wait(5000));
    supervisor->loginWithPassword(QStringLiteral("alice"), QStringLiteral("wrong"));
    QVERIFY(server->waitForFrames(1));
    server->send(
        answer(QStringLiteral("auth_failed"), QStringLiteral("Invalid username or password")));
    QVERIFY(refused.wait(5000));
    QCOMPARE(refused.first().first().toString(), QStringLiteral("Invalid username or password"));

    // A server that then drops the connection gets no new one and no new login.
    QSignalSpy connections(server.get(), &TestServer::clientConnected);
    server->stop();
    QVERIFY(QTest::qWaitFor(
        [this] { return supervisor->state() == ConnectionSupervisor::State::Idle; }, 5000));
    QVERIFY(!supervisor->retryScheduled());
    QVERIFY(server->start(server->port()));
    QVERIFY(!connections.wait(500));
    QCOMPARE(server->frames.size(), 1);
}

void TestConnectionSupervisor::loginTypedWhileOfflineIsSentOnceConnected()
{
    const quint16 port = server->port();
    server->stop();
    supervisor->start();
    QVERIFY(QTest::qWaitFor([this] { return supervisor->retryScheduled(); }, 5000));
    supervisor->loginWithPassword(QStringLiteral("alice"), QStringLiteral("pw"));
    QVERIFY(server->start(port));
    QVERIFY(server->waitForFrames(1, 10000));
    QCOMPARE(typeOf(server->frames.first()), QStringLiteral("login_with_password"));
    QCOMPARE(server->frames.first().value(QLatin1String("username")).toString(),
        QStringLiteral("alice"));
}

void TestConnectionSupervisor::retryNowSkipsTheWait()
{
    ConnectionSupervisor::Timing slow = quickTiming();
    slow.backoffMs = { 60000 };
    supervisor->setTiming(slow);
    const quint16 port = server->port();
    server->stop();
    supervisor->start();
    QVERIFY(QTest::qWaitFor([this] { return supervisor->retryScheduled(); }, 5000));
    QVERIFY(supervisor->msUntilRetry() > 30000);
    QVERIFY(server->start(port));
    QSignalSpy ready(supervisor.get(), &ConnectionSupervisor::readyForLogin);
    supervisor->retryNow();
    QVERIFY(ready.wait(5000));
    QVERIFY(!supervisor->retryScheduled());
}

void TestConnectionSupervisor::backoffKeepsGrowingWhileServerDropsEveryLogin()
{
    // Every login succeeds and the connection drops at once: a login alone is no recovery.
    connect(
        server.get(), &TestServer::frameReceived, server.get(), [this](const QJsonObject &frame) {
            if (typeOf(frame) == QLatin1String("login_with_token")) {
                server->send(loginSuccess(QStringLiteral("t")));
                server->client()->flush();
                server->client()->abort();
            }
        });
    QVERIFY(logIn(QStringLiteral("t")));
    server->client()->abort();
    QVERIFY(QTest::qWaitFor([this] { return supervisor->failures() >= 4; }, 10000));
    QVERIFY(server->connectionCount >= 4);
}

void TestConnectionSupervisor::silentServerIsLeftAfterLoginTimeout()
{
    ConnectionSupervisor::Timing timing = quickTiming();
    timing.loginTimeoutMs = 100;
    supervisor->setTiming(timing);
    QVERIFY(logIn(QStringLiteral("t1")));
    server->client()->abort();
    // The server takes the token login and never answers: the client gives up on it and
    // tries again on a new connection.
    QVERIFY(QTest::qWaitFor(
        [this] { return server->framesOfType(QStringLiteral("login_with_token")).size() >= 2; },
        10000));
    QVERIFY(server->connectionCount >= 3);
}

void TestConnectionSupervisor::repeatedLoginSuccessCountsOnce()
{
    QVERIFY(logIn(QStringLiteral("t1")));
    QSignalSpy loggedIn(supervisor.get(), &ConnectionSupervisor::loggedIn);
    QSignalSpy received(client.get(), &WebSocketClient::loginSuccess);
    server->send(loginSuccess(QStringLiteral("t2")));
    QVERIFY(received.wait(5000));
    QCOMPARE(loggedIn.count(), 0);
    QCOMPARE(supervisor->token(), QStringLiteral("t2"));
}

void TestConnectionSupervisor::deadConnectionIsNoticedByPing()
{
    HalfOpenServer halfOpen;
    QVERIFY(halfOpen.listen(QHostAddress::LocalHost, 0));
    qputenv("FERROW_SERVER_PORT", QByteArray::number(halfOpen.serverPort()));
    client->setLiveness(50, 100);
    QSignalSpy ready(supervisor.get(), &ConnectionSupervisor::readyForLogin);
    QSignalSpy lost(supervisor.get(), &ConnectionSupervisor::connectionLost);
    supervisor->start();
    QVERIFY(ready.wait(5000));
    QVERIFY(lost.wait(5000));
}

QTEST_GUILESS_MAIN(TestConnectionSupervisor)
#include "tst_connectionsupervisor.moc"
