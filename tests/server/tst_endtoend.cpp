#include "chatserver.h"
#include "credentials.h"
#include "model/metatypes.h"
#include "net/connectionsupervisor.h"
#include "net/websocketclient.h"
#include "protocol.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "session/chatsession.h"
#include "sqlitestore.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void clientLogsInSendsAndSeesReceipt();
    void clientStartsPrivateChatAndEditsAndDeletes();
    void clientIsRefusedWithServerReason();
    void passwordChangeEndsTheOtherSessions();

private:
    std::unique_ptr<WebSocketClient> connectedClient();
    std::unique_ptr<WebSocketClient> loggedInClient(const QString &username);

    ServerFixture fixture;
    QString alice, bob, team;
};

void TestEndToEnd::initTestCase()
{
    registerMetaTypes();
}

void TestEndToEnd::init()
{
    FERROW_SET_UP(fixture);
    alice = fixture.addUser(QStringLiteral("alice"));
    bob = fixture.addUser(QStringLiteral("bob"));
    team =
        fixture.db
            ->createChat(
                QString(), QStringLiteral("Team"), QStringLiteral("group"), alice, { alice, bob })
            ->id;
    fixture.db->addMessage(team, bob, QStringLiteral("welcome"), QString(), 1700000000);
    QVERIFY(fixture.start());
    qputenv("FERROW_SERVER_HOST", "127.0.0.1");
    qputenv("FERROW_SERVER_PORT", QByteArray::number(fixture.port()));
}

void TestEndToEnd::passwordChangeEndsTheOtherSessions()
{
    // Two devices of alice, each a whole session, and bob's.
    ChatSession laptop;
    ChatSession phone;
    ChatSession bobs;
    for (ChatSession *session : { &laptop, &phone, &bobs }) {
        QSignalSpy loggedIn(session, &ChatSession::loginSuccess);
        session->logIn(session == &bobs ? QStringLiteral("bob") : QStringLiteral("alice"),
            QStringLiteral("secret"));
        QVERIFY(loggedIn.wait(10000));
    }
    const QString oldHttpToken = laptop.client()->httpToken();
    QCOMPARE(oldHttpToken.size(), 64);
    QSignalSpy changed(laptop.client(), &WebSocketClient::passwordChanged);
    QSignalSpy phoneEnded(&phone, &ChatSession::sessionEnded);
    QSignalSpy bobEnded(&bobs, &ChatSession::sessionEnded);

    QVERIFY(laptop.changePassword(QStringLiteral("secret"), QStringLiteral("a new secret")));
    QVERIFY(!laptop.changePassword(QStringLiteral("secret"), QStringLiteral("once at a time")));
    QVERIFY(changed.wait(10000));
    QVERIFY(phoneEnded.count() == 1 || phoneEnded.wait(10000));
    QCOMPARE(phoneEnded.first().first().value<ChatSession::EndReason>(),
        ChatSession::EndReason::PasswordChanged);
    QCOMPARE(phone.supervisor()->state(), ConnectionSupervisor::State::Idle);
    QVERIFY(bobEnded.isEmpty());
    QCOMPARE(laptop.supervisor()->state(), ConnectionSupervisor::State::LoggedIn);
    QVERIFY(laptop.client()->httpToken() != oldHttpToken);

    // The laptop keeps the new token for its next login, and it works.
    const QString token = changed.first().first().toString();
    QCOMPARE(laptop.supervisor()->token(), token);
    std::unique_ptr<WebSocketClient> resumed = connectedClient();
    QVERIFY(resumed);
    QSignalSpy resumedIn(resumed.get(), &WebSocketClient::loginSuccess);
    resumed->loginWithToken(token);
    QVERIFY(resumedIn.wait(10000));
}

void TestEndToEnd::cleanup()
{
    fixture.stop();
}

std::unique_ptr<WebSocketClient> TestEndToEnd::connectedClient()
{
    auto client = std::make_unique<WebSocketClient>();
    QSignalSpy connected(client.get(), &WebSocketClient::connected);
    client->connectToServer();
    if (!connected.wait(5000))
        return nullptr;
    return client;
}

std::unique_ptr<WebSocketClient> TestEndToEnd::loggedInClient(const QString &username)
{
    std::unique_ptr<WebSocketClient> client = connectedClient();
    if (!client)
        return nullptr;
    QSignalSpy users(client.get(), &WebSocketClient::userListUpdated);
    client->login(username, QStringLiteral("secret"));
    if (!users.wait(10000))
        return nullptr;
    return client;
}

void TestEndToEnd::clientLogsInSendsAndSeesReceipt()
{
    std::unique_ptr<WebSocketClient> client = connectedClient();
    QVERIFY(client);
    QSignalSpy success(client.get(), &WebSocketClient::loginSuccess);
    QSignalSpy history(client.get(), &WebSocketClient::chatHistoryReceived);
    QSignalSpy users(client.get(), &WebSocketClient::userListUpdated);
    client->login(QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(users.wait(10000));
    QCOMPARE(success.count(), 1);
    QCOMPARE(client->currentUser.id, alice);
    QCOMPARE(client->currentUser.username, QStringLiteral("alice"));
    QCOMPARE(history.count(), 1);
    const auto chats = history.at(0).at(0).value<std::vector<Chat>>();
    QCOMPARE(int(chats.size()), 1);
    QCOMPARE(chats.front().id, team);
    QCOMPARE(chats.front().type, QStringLiteral("group"));
    QCOMPARE(int(chats.front().messages.size()), 1);
    QCOMPARE(chats.front().messages.front().content, QStringLiteral("welcome"));
    QCOMPARE(int(users.at(0).at(0).value<std::vector<User>>().size()), 2);

    std::unique_ptr<WebSocketClient> reader = loggedInClient(QStringLiteral("bob"));
    QVERIFY(reader);
    QSignalSpy received(client.get(), &WebSocketClient::messageReceived);
    QSignalSpy readerReceived(reader.get(), &WebSocketClient::messageReceived);
    client->sendMessage(team, QStringLiteral("Hello from the real client"), QString());
    QVERIFY(received.wait(5000));
    const Message echo = received.at(0).at(0).value<Message>();
    QVERIFY(!echo.id.startsWith(QLatin1String("temp")));
    QCOMPARE(echo.chatId, team);
    QCOMPARE(echo.senderId, alice);
    QCOMPARE(echo.content, QStringLiteral("Hello from the real client"));
    QVERIFY(echo.replyToId.isEmpty());
    QTRY_COMPARE(readerReceived.count(), 1);
    QCOMPARE(readerReceived.at(0).at(0).value<Message>().id, echo.id);

    QSignalSpy seen(client.get(), &WebSocketClient::messageSeenUpdate);
    reader->sendMessageSeen(team, echo.id);
    QVERIFY(seen.wait(5000));
    QCOMPARE(seen.at(0), (QVariantList { team, echo.id, bob }));

    // A reply carries its target.
    client->sendMessage(team, QStringLiteral("Replying"), echo.id);
    QVERIFY(received.wait(5000));
    QCOMPARE(received.at(1).at(0).value<Message>().replyToId, echo.id);
}

void TestEndToEnd::clientStartsPrivateChatAndEditsAndDeletes()
{
    std::unique_ptr<WebSocketClient> client = loggedInClient(QStringLiteral("alice"));
    std::unique_ptr<WebSocketClient> other = loggedInClient(QStringLiteral("bob"));
    QVERIFY(client && other);
    const QString chatId = protocol::privateChatId(alice, bob);

    // The order the client relies on: the chat is known before its first message arrives.
    QStringList order;
    connect(other.get(), &WebSocketClient::newChatCreated, this, [&order](const Chat &chat) {
        order.append(QStringLiteral("chat ") + chat.id);
    });
    connect(other.get(), &WebSocketClient::messageReceived, this, [&order](const Message &message) {
        order.append(QStringLiteral("message ") + message.chatId);
    });
    QSignalSpy received(client.get(), &WebSocketClient::messageReceived);
    client->sendMessage(chatId, QStringLiteral("Just us"), QString());
    QVERIFY(received.wait(5000));
    const Message echo = received.at(0).at(0).value<Message>();
    QCOMPARE(echo.chatId, chatId);
    QTRY_COMPARE(order,
        (QStringList { QStringLiteral("chat ") + chatId, QStringLiteral("message ") + chatId }));

    QSignalSpy updated(other.get(), &WebSocketClient::messageUpdated);
    client->editMessage(chatId, echo.id, QStringLiteral("Just the two of us"));
    QVERIFY(updated.wait(5000));
    QCOMPARE(updated.at(0).at(0).toString(), chatId);
    QCOMPARE(updated.at(0).at(1).toString(), echo.id);
    QCOMPARE(updated.at(0).at(2).toString(), QStringLiteral("Just the two of us"));
    QVERIFY(updated.at(0).at(3).toLongLong() >= echo.timestamp);

    QSignalSpy deleted(client.get(), &WebSocketClient::messageDeleted);
    client->deleteMessage(chatId, echo.id);
    QVERIFY(deleted.wait(5000));
    QCOMPARE(deleted.at(0), (QVariantList { chatId, echo.id }));

    QSignalSpy page(client.get(), &WebSocketClient::chatHistoryReceived);
    client->fetchHistory(team, 1700000001);
    QVERIFY(page.wait(5000));
    const auto chats = page.at(0).at(0).value<std::vector<Chat>>();
    QCOMPARE(int(chats.size()), 1);
    QCOMPARE(chats.front().id, team);
    QCOMPARE(int(chats.front().messages.size()), 1);
}

void TestEndToEnd::clientIsRefusedWithServerReason()
{
    std::unique_ptr<WebSocketClient> client = connectedClient();
    QVERIFY(client);
    QSignalSpy refused(client.get(), &WebSocketClient::authFailed);
    client->login(QStringLiteral("alice"), QStringLiteral("wrong"));
    QVERIFY(refused.wait(10000));
    QCOMPARE(refused.at(0).at(0).toString(), QStringLiteral("Invalid username or password"));
}

FERROW_SERVER_TEST_MAIN(TestEndToEnd)

#include "tst_endtoend.moc"
