#include "admin.h"
#include "credentials.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "testframes.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

namespace
{

QJsonObject passwordLogin(const QString &username, const QJsonValue &password)
{
    return { { QStringLiteral("type"), QStringLiteral("login_with_password") },
        { QStringLiteral("username"), username },
        { QStringLiteral("password"), password } };
}

QJsonObject tokenLogin(const QString &token)
{
    return { { QStringLiteral("type"), QStringLiteral("login_with_token") },
        { QStringLiteral("token"), token } };
}

QJsonObject changeRequest(const QJsonValue &oldPassword, const QJsonValue &newPassword)
{
    QJsonObject request { { QStringLiteral("type"), QStringLiteral("change_password") } };
    if (!oldPassword.isUndefined())
        request.insert(QStringLiteral("oldPassword"), oldPassword);
    if (!newPassword.isUndefined())
        request.insert(QStringLiteral("newPassword"), newPassword);
    return request;
}

QJsonObject changeError(const QString &message)
{
    return { { QStringLiteral("type"), QStringLiteral("error") },
        { QStringLiteral("message"), message },
        { QStringLiteral("request"), QStringLiteral("change_password") } };
}

const QJsonObject wrongPasswordAnswer { { QStringLiteral("type"), QStringLiteral("auth_failed") },
    { QStringLiteral("message"), QStringLiteral("Invalid username or password") } };

// A text frame as a client sends it, masked with a key of zeros, so that `payload` goes out as
// it is, invalid UTF-8 included.
QByteArray maskedTextFrame(const QByteArray &payload)
{
    QByteArray frame;
    frame.append(char(0x81));
    frame.append(char(0x80 | 126));
    frame.append(char(payload.size() >> 8));
    frame.append(char(payload.size() & 0xff));
    frame.append(QByteArray(4, '\0'));
    return frame + payload;
}

} // namespace

class TestAccounts : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void oldHashesAreReplacedAtTheFirstLogin_data();
    void oldHashesAreReplacedAtTheFirstLogin();
    void garbageHashesNeverLogIn_data();
    void garbageHashesNeverLogIn();
    void badPasswordsNeverLogIn_data();
    void badPasswordsNeverLogIn();
    void nonUtf8PasswordNeverLogsIn();
    void changePasswordRefusals_data();
    void changePasswordRefusals();
    void changePasswordRevokesOtherDevicesAndTokens();
    void wrongOldPasswordsCountForTheThrottle();
    void disabledAccountsAreRefusedLikeAWrongPassword_data();
    void disabledAccountsAreRefusedLikeAWrongPassword();
    void adminCommandsEndRunningSessions_data();
    void adminCommandsEndRunningSessions();

private:
    QJsonObject answerTo(Peer &peer, const QJsonObject &request);

    ServerFixture fixture;
    QString alice;
    qint64 nowMs = 0;
};

void TestAccounts::init()
{
    FERROW_SET_UP(fixture);
    alice = fixture.addUser(QStringLiteral("alice"));
    fixture.addUser(QStringLiteral("bob"));
    nowMs = QDateTime::currentMSecsSinceEpoch();
    ChatServer::Options options = fixture.defaultOptions();
    options.clock = [this] { return nowMs; };
    QVERIFY(fixture.start(options));
}

void TestAccounts::cleanup()
{
    fixture.stop();
}

QJsonObject TestAccounts::answerTo(Peer &peer, const QJsonObject &request)
{
    peer.frames.clear();
    peer.send(request);
    if (!peer.waitForFrames(1))
        return {};
    return peer.frames.takeFirst();
}

void TestAccounts::oldHashesAreReplacedAtTheFirstLogin_data()
{
    QTest::addColumn<QString>("oldHash");

    QTest::newRow("PBKDF2 of an older server")
        << credentials::hashPasswordPbkdf2(QStringLiteral("secret"), 1000);
    QTest::newRow("Argon2id of other limits")
        << credentials::hashPassword(QStringLiteral("secret"), credentials::defaultLimits);
}

void TestAccounts::oldHashesAreReplacedAtTheFirstLogin()
{
    QFETCH(QString, oldHash);
    QVERIFY(fixture.db->setPasswordHash(alice, oldHash));

    std::unique_ptr<Peer> guess = fixture.connectPeer();
    QCOMPARE(answerTo(*guess, passwordLogin(QStringLiteral("alice"), QStringLiteral("wrong"))),
        wrongPasswordAnswer);
    QCOMPARE(fixture.db->passwordHash(alice), oldHash);

    QVERIFY(fixture.login(QStringLiteral("alice")));
    const QString replaced = fixture.db->passwordHash(alice);
    QVERIFY(replaced != oldHash);
    QVERIFY(replaced.startsWith(QLatin1String("$argon2id$")));
    QVERIFY(!credentials::needsRehash(replaced, credentials::cheapestLimits));

    QVERIFY(fixture.login(QStringLiteral("alice")));
    QCOMPARE(fixture.db->passwordHash(alice), replaced);
}

void TestAccounts::garbageHashesNeverLogIn_data()
{
    QTest::addColumn<QString>("stored");

    QTest::newRow("empty") << QStringLiteral("");
    QTest::newRow("the password itself") << QStringLiteral("secret");
    QTest::newRow("Argon2id asking for 4 GiB")
        << QStringLiteral("$argon2id$v=19$m=4194304,t=2,p=1$c2FsdHNhbHRzYWx0$"
                          "aGFzaGhhc2hoYXNoaGFzaGhhc2hoYXNoaGFzaA");
    QTest::newRow("PBKDF2 of a trillion rounds")
        << QStringLiteral("pbkdf2-sha256$999999999999$00$00");
    QTest::newRow("binary noise") << QString::fromLatin1(QByteArray(300, '\xff'));
}

void TestAccounts::garbageHashesNeverLogIn()
{
    QFETCH(QString, stored);
    QVERIFY(fixture.db->setPasswordHash(alice, stored));
    std::unique_ptr<Peer> peer = fixture.connectPeer();
    QCOMPARE(answerTo(*peer, passwordLogin(QStringLiteral("alice"), QStringLiteral("secret"))),
        wrongPasswordAnswer);
    QCOMPARE(answerTo(*peer, passwordLogin(QStringLiteral("alice"), stored)), wrongPasswordAnswer);
    QVERIFY(!peer->closed);
    QCOMPARE(fixture.db->passwordHash(alice), stored);
}

void TestAccounts::badPasswordsNeverLogIn_data()
{
    QTest::addColumn<QJsonValue>("password");

    QTest::newRow("empty") << QJsonValue(QString());
    QTest::newRow("10 000 characters") << QJsonValue(QString(10000, QLatin1Char('s')));
    QTest::newRow("the password and a NUL") << QJsonValue(QStringLiteral("secret") + QChar(0));
    QTest::newRow("a lone surrogate") << QJsonValue(QStringLiteral("secret") + QChar(0xd800));
}

void TestAccounts::badPasswordsNeverLogIn()
{
    QFETCH(QJsonValue, password);
    std::unique_ptr<Peer> peer = fixture.connectPeer();
    QCOMPARE(
        answerTo(*peer, passwordLogin(QStringLiteral("alice"), password)), wrongPasswordAnswer);
    QVERIFY(!peer->closed);
}

void TestAccounts::nonUtf8PasswordNeverLogsIn()
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, fixture.port());
    QVERIFY(socket.waitForConnected(5000));
    socket.write(
        "GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    QByteArray received;
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += socket.readAll();
            return received.contains("\r\n\r\n");
        },
        5000));
    QVERIFY(received.startsWith("HTTP/1.1 101"));
    socket.write(maskedTextFrame(
        "{\"type\":\"login_with_password\",\"username\":\"alice\",\"password\":\"secr\xff\xfe\"}"));
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000));
    QVERIFY(!received.contains("login_success"));
}

void TestAccounts::changePasswordRefusals_data()
{
    QTest::addColumn<QJsonValue>("oldPassword");
    QTest::addColumn<QJsonValue>("newPassword");
    QTest::addColumn<QString>("message");

    const QJsonValue secret(QStringLiteral("secret"));
    QTest::newRow("no old password")
        << QJsonValue(QJsonValue::Undefined) << QJsonValue(QStringLiteral("a new password"))
        << QStringLiteral("Missing or invalid \"oldPassword\"");
    QTest::newRow("new password a number")
        << secret << QJsonValue(12345678) << QStringLiteral("Missing or invalid \"newPassword\"");
    QTest::newRow("wrong old password")
        << QJsonValue(QStringLiteral("Secret")) << QJsonValue(QStringLiteral("a new password"))
        << QStringLiteral("The current password is wrong");
    QTest::newRow("empty new password")
        << secret << QJsonValue(QString())
        << QStringLiteral("The new password must have at least 8 characters");
    QTest::newRow("7 characters") << secret << QJsonValue(QStringLiteral("1234567"))
                                  << QStringLiteral(
                                         "The new password must have at least 8 characters");
    QTest::newRow("4 emoji are 8 UTF-16 units but 4 characters")
        << secret
        << QJsonValue(QString::fromUtf8("\xf0\x9f\x94\x91\xf0\x9f\x94\x91\xf0\x9f\x94\x91"
                                        "\xf0\x9f\x94\x91"))
        << QStringLiteral("The new password must have at least 8 characters");
    QTest::newRow("1 025 characters")
        << secret << QJsonValue(QString(1025, QLatin1Char('p')))
        << QStringLiteral("The new password must have at most 1024 characters");
    QTest::newRow("10 000 characters")
        << secret << QJsonValue(QString(10000, QLatin1Char('p')))
        << QStringLiteral("The new password must have at most 1024 characters");
    QTest::newRow("a NUL inside") << secret
                                  << QJsonValue(
                                         QStringLiteral("long password").replace(4, 1, QChar(0)))
                                  << QStringLiteral(
                                         "The new password must not contain NUL characters");
    QTest::newRow("a lone surrogate")
        << secret << QJsonValue(QStringLiteral("password") + QChar(0xdc00))
        << QStringLiteral("The new password is not valid text");
    QTest::newRow("the user name in other case")
        << secret << QJsonValue(QStringLiteral("cHRISTOPHER"))
        << QStringLiteral("The new password must not be your user name");
    QTest::newRow("8 characters") << secret << QJsonValue(QStringLiteral("12345678")) << QString();
    QTest::newRow("1 024 emoji") << secret
                                 << QJsonValue(QString::fromUtf8("\xf0\x9f\x94\x91").repeated(1024))
                                 << QString();
    QTest::newRow("the user name and more")
        << secret << QJsonValue(QStringLiteral("Christopher!")) << QString();
}

void TestAccounts::changePasswordRefusals()
{
    QFETCH(QJsonValue, oldPassword);
    QFETCH(QJsonValue, newPassword);
    QFETCH(QString, message);

    std::unique_ptr<Peer> anonymous = fixture.connectPeer();
    QCOMPARE(answerTo(*anonymous, changeRequest(oldPassword, newPassword)),
        (QJsonObject { { QStringLiteral("type"), QStringLiteral("error") },
            { QStringLiteral("message"), QStringLiteral("Log in first") } }));

    const QString christopher = fixture.addUser(QStringLiteral("Christopher"));
    std::unique_ptr<Peer> peer = fixture.login(QStringLiteral("Christopher"));
    QVERIFY(peer);
    const QString before = fixture.db->passwordHash(christopher);
    const QJsonObject answer = answerTo(*peer, changeRequest(oldPassword, newPassword));
    QVERIFY(!peer->closed);
    if (message.isEmpty()) {
        QCOMPARE(typeOf(answer), QStringLiteral("password_changed"));
        QVERIFY(fixture.login(QStringLiteral("Christopher"), newPassword.toString()));
        return;
    }
    QCOMPARE(answer, changeError(message));
    QCOMPARE(fixture.db->passwordHash(christopher), before);
    QVERIFY(fixture.login(QStringLiteral("Christopher")));
}

void TestAccounts::changePasswordRevokesOtherDevicesAndTokens()
{
    std::unique_ptr<Peer> laptop = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> phone = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bob = fixture.login(QStringLiteral("bob"));
    QVERIFY(laptop && phone && bob);
    const QString phoneToken = phone->loginFrames.at(0).value(QLatin1String("token")).toString();
    const QString oldHttpToken =
        laptop->loginFrames.at(0).value(QLatin1String("httpToken")).toString();
    const qint64 now = nowMs / 1000;
    QCOMPARE(fixture.db->httpTokenUser(credentials::tokenHash(oldHttpToken), now), alice);

    const QJsonObject changed =
        answerTo(*laptop, changeRequest(QStringLiteral("secret"), QStringLiteral("new secret")));
    QCOMPARE(keysOf(changed),
        sorted({ QStringLiteral("type"), QStringLiteral("token"), QStringLiteral("httpToken") }));
    QCOMPARE(typeOf(changed), QStringLiteral("password_changed"));

    QVERIFY(phone->waitForClose());
    QCOMPARE(phone->closeCode, 4001);
    QCOMPARE(phone->closeReason, QStringLiteral("Password changed"));
    QVERIFY(!laptop->closed);
    QVERIFY(!bob->closed);
    // The laptop carries on.
    const QString bobId = bob->loginFrames.at(0)
                              .value(QLatin1String("user"))
                              .toObject()
                              .value(QLatin1String("userId"))
                              .toString();
    laptop->send(messageTo(QStringLiteral("recipientId"), bobId, QStringLiteral("still here")));
    QStringList types;
    for (const QJsonObject &frame : laptop->sync())
        types.append(typeOf(frame));
    QVERIFY2(types.contains(QStringLiteral("message")), qPrintable(types.join(QLatin1Char(' '))));

    std::unique_ptr<Peer> other = fixture.connectPeer();
    QCOMPARE(answerTo(*other, tokenLogin(phoneToken)), wrongPasswordAnswer);
    QVERIFY(!fixture.db->httpTokenUser(credentials::tokenHash(oldHttpToken), now));
    const QString newHttpToken = changed.value(QLatin1String("httpToken")).toString();
    QCOMPARE(fixture.db->httpTokenUser(credentials::tokenHash(newHttpToken), now), alice);
    QCOMPARE(typeOf(answerTo(*other, tokenLogin(changed.value(QLatin1String("token")).toString()))),
        QStringLiteral("login_success"));

    std::unique_ptr<Peer> withOldPassword = fixture.connectPeer();
    QCOMPARE(answerTo(*withOldPassword,
                 passwordLogin(QStringLiteral("alice"), QStringLiteral("secret"))),
        wrongPasswordAnswer);
    QVERIFY(fixture.login(QStringLiteral("alice"), QStringLiteral("new secret")));
}

void TestAccounts::wrongOldPasswordsCountForTheThrottle()
{
    std::unique_ptr<Peer> peer = fixture.login(QStringLiteral("alice"));
    QVERIFY(peer);
    const QString before = fixture.db->passwordHash(alice);
    QStringList answers;
    for (int i = 0; i < 50; ++i) {
        const QJsonObject answer = answerTo(
            *peer, changeRequest(QStringLiteral("guess %1").arg(i), QStringLiteral("mine now!")));
        QCOMPARE(
            answer.value(QLatin1String("request")).toString(), QStringLiteral("change_password"));
        answers.append(answer.value(QLatin1String("message")).toString());
    }
    QCOMPARE(answers.count(QStringLiteral("The current password is wrong")), 5);
    QCOMPARE(answers.count(QStringLiteral("Too many failed logins; try again in 1 s")), 45);
    // Throttled, the right old password is not even checked.
    QCOMPARE(answerTo(*peer, changeRequest(QStringLiteral("secret"), QStringLiteral("mine now!"))),
        changeError(QStringLiteral("Too many failed logins; try again in 1 s")));
    QVERIFY(!peer->closed);
    QCOMPARE(fixture.db->passwordHash(alice), before);

    nowMs += 2000;
    QCOMPARE(typeOf(answerTo(
                 *peer, changeRequest(QStringLiteral("secret"), QStringLiteral("mine now!")))),
        QStringLiteral("password_changed"));
}

void TestAccounts::disabledAccountsAreRefusedLikeAWrongPassword_data()
{
    QTest::addColumn<bool>("byToken");

    QTest::newRow("by password") << false;
    QTest::newRow("by token") << true;
}

void TestAccounts::disabledAccountsAreRefusedLikeAWrongPassword()
{
    QFETCH(bool, byToken);
    std::unique_ptr<Peer> first = fixture.login(QStringLiteral("alice"));
    QVERIFY(first);
    const QString token = first->loginFrames.at(0).value(QLatin1String("token")).toString();
    first.reset();
    const QJsonObject login = byToken
        ? tokenLogin(token)
        : passwordLogin(QStringLiteral("alice"), QStringLiteral("secret"));

    QVERIFY(fixture.db->setUserDisabled(alice, true));
    std::unique_ptr<Peer> peer = fixture.connectPeer();
    QCOMPARE(answerTo(*peer, login), wrongPasswordAnswer);

    // A refused token is used up, as any token is by its login.
    QVERIFY(fixture.db->setUserDisabled(alice, false));
    QCOMPARE(
        typeOf(answerTo(*peer, passwordLogin(QStringLiteral("alice"), QStringLiteral("secret")))),
        QStringLiteral("login_success"));
}

void TestAccounts::adminCommandsEndRunningSessions_data()
{
    QTest::addColumn<bool>("disable");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");

    QTest::newRow("passwd") << false << 4001 << QStringLiteral("Password changed");
    QTest::newRow("disable-user") << true << 4003 << QStringLiteral("Account disabled");
}

void TestAccounts::adminCommandsEndRunningSessions()
{
    QFETCH(bool, disable);
    QFETCH(int, code);
    QFETCH(QString, reason);
    std::unique_ptr<Peer> laptop = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> phone = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bob = fixture.login(QStringLiteral("bob"));
    QVERIFY(laptop && phone && bob);
    const QString token = laptop->loginFrames.at(0).value(QLatin1String("token")).toString();

    // As the command line does it: another connection to the store, outside the server.
    QString error;
    std::unique_ptr<Store> outside = fixture.location.open(&error);
    QVERIFY2(outside, qPrintable(error));
    QCOMPARE(disable
            ? admin::setDisabled(*outside, QStringLiteral("alice"), true)
            : admin::setPassword(*outside, QStringLiteral("alice"), QStringLiteral("new secret")),
        QString());
    for (Peer *peer : { laptop.get(), phone.get() }) {
        QVERIFY(peer->waitForClose());
        QCOMPARE(peer->closeCode, code);
        QCOMPARE(peer->closeReason, reason);
    }
    QVERIFY(!bob->closed);

    std::unique_ptr<Peer> again = fixture.connectPeer();
    QCOMPARE(answerTo(*again, tokenLogin(token)), wrongPasswordAnswer);
    QCOMPARE(answerTo(*again, passwordLogin(QStringLiteral("alice"), QStringLiteral("secret"))),
        wrongPasswordAnswer);
    if (disable) {
        QCOMPARE(admin::setDisabled(*outside, QStringLiteral("alice"), false), QString());
        QVERIFY(fixture.login(QStringLiteral("alice")));
    } else {
        QVERIFY(fixture.login(QStringLiteral("alice"), QStringLiteral("new secret")));
    }
}

FERROW_SERVER_TEST_MAIN(TestAccounts)

#include "tst_accounts.moc"
