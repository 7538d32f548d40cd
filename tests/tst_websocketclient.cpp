#include "net/websocketclient.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace
{

QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class TestWebSocketClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void emitsConnected();
    void sendsRequestFrames_data();
    void sendsRequestFrames();
    void addressesByLoggedInUser();
    void dropsRequestsWhileDisconnected();
    void logoutClearsIdentityAndClosesNormally();
    void handlesLoginSuccess_data();
    void handlesLoginSuccess();
    void reportsRefusalsAndErrors_data();
    void reportsRefusalsAndErrors();
    void handlesChatHistory();
    void handlesMessage();
    void handlesUserList();
    void handlesNewChat();
    void handlesSeenUpdate();
    void handlesMessageUpdated();
    void handlesMessageDeleted();
    void readsEveryFormOfAMessage_data();
    void readsEveryFormOfAMessage();
    void ignoresMalformedFrames_data();
    void ignoresMalformedFrames();
    void survivesHugeArrays();
    void survivesOversizedFrame();
    void survivesInvalidUtf8();

private:
    // Connects `client` to `server` and waits until both sides see the connection.
    void connectClient();
    // Sends one frame from the server, then a marker frame, and waits for the marker: every
    // signal the first frame causes has been emitted by then.
    void deliver(const QString &text);

    TestServer *server = nullptr;
    WebSocketClient *client = nullptr;
    QSignalSpy *markerSpy = nullptr;
};

void TestWebSocketClient::init()
{
    server = new TestServer(this);
    QVERIFY(server->start());
    client = new WebSocketClient(this);
    markerSpy = new QSignalSpy(client, &WebSocketClient::messageDeleted);
}

void TestWebSocketClient::cleanup()
{
    delete markerSpy;
    delete client;
    delete server;
}

void TestWebSocketClient::connectClient()
{
    QSignalSpy connected(client, &WebSocketClient::connected);
    client->connectToServer();
    QVERIFY(connected.wait());
    QVERIFY(server->waitForClient());
}

void TestWebSocketClient::deliver(const QString &text)
{
    const int before = markerSpy->count();
    server->sendText(text);
    server->send(parse(R"({"type":"message_deleted","chatId":"marker","messageId":"marker"})"));
    QTRY_COMPARE(markerSpy->count(), before + 1);
    QCOMPARE(markerSpy->last().at(0).toString(), QStringLiteral("marker"));
}

void TestWebSocketClient::emitsConnected()
{
    QSignalSpy connected(client, &WebSocketClient::connected);
    client->connectToServer();
    QVERIFY(connected.wait());
    QCOMPARE(connected.count(), 1);
    QVERIFY(server->waitForClient());
}

void TestWebSocketClient::sendsRequestFrames_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("login keeps name and password as given")
        << 0 << QByteArray(R"({"type":"login_with_password","username":" al","password":" p w "})");
    QTest::newRow("history with before zero")
        << 1 << QByteArray(R"({"type":"get_history","chatId":"c1","before":0})");
    QTest::newRow("seen") << 2
                          << QByteArray(
                                 R"({"type":"message_seen","chatId":"c1","messageId":"m1"})");
    QTest::newRow("edit sends a plain string")
        << 3
        << QByteArray(R"({"type":"edit_message","chatId":"c1","messageId":"m1","newContent":"x"})");
    QTest::newRow("delete") << 4
                            << QByteArray(
                                   R"({"type":"delete_message","chatId":"c1","messageId":"m1"})");
    QTest::newRow("message to a group with null reply")
        << 5
        << QByteArray(R"({"type":"message","chatId":"c1","content":{"text":"hi","file":null,)"
                      R"("theme":null},"replyToId":null})");
    QTest::newRow("reply to a one-to-one chat")
        << 6
        << QByteArray(R"({"type":"message","recipientId":"a","content":{"text":"hi","file":null,)"
                      R"("theme":null},"replyToId":"m1"})");
}

void TestWebSocketClient::sendsRequestFrames()
{
    QFETCH(int, request);
    QFETCH(QByteArray, expected);
    connectClient();

    const QString c1 = QStringLiteral("c1");
    const QString m1 = QStringLiteral("m1");
    switch (request) {
    case 0:
        client->login(QStringLiteral(" al"), QStringLiteral(" p w "));
        break;
    case 1:
        client->fetchHistory(c1, 0);
        break;
    case 2:
        client->sendMessageSeen(c1, m1);
        break;
    case 3:
        client->editMessage(c1, m1, QStringLiteral("x"));
        break;
    case 4:
        client->deleteMessage(c1, m1);
        break;
    case 5:
        client->sendMessage(c1, QStringLiteral("hi"), QString());
        break;
    case 6:
        client->sendMessage(QStringLiteral("a_b"), QStringLiteral("hi"), m1);
        break;
    }
    QVERIFY(server->waitForFrames(1));
    QCOMPARE(server->frames.first(), parse(expected));
}

void TestWebSocketClient::addressesByLoggedInUser()
{
    connectClient();
    QSignalSpy loggedIn(client, &WebSocketClient::loginSuccess);
    server->send(parse(R"({"type":"login_success","user":{"userId":"a"},"token":"t"})"));
    QVERIFY(loggedIn.wait());
    client->sendMessage(QStringLiteral("a_b"), QStringLiteral("hi"), QString());
    QVERIFY(server->waitForFrames(1));
    QCOMPARE(
        server->frames.first().value(QLatin1String("recipientId")).toString(), QStringLiteral("b"));
    QVERIFY(!server->frames.first().contains(QLatin1String("chatId")));
}

void TestWebSocketClient::dropsRequestsWhileDisconnected()
{
    client->login(QStringLiteral("u"), QStringLiteral("p"));
    client->fetchHistory(QStringLiteral("c"), 1);
    client->sendMessageSeen(QStringLiteral("c"), QStringLiteral("m"));
    client->editMessage(QStringLiteral("c"), QStringLiteral("m"), QStringLiteral("x"));
    client->deleteMessage(QStringLiteral("c"), QStringLiteral("m"));
    client->sendMessage(QStringLiteral("c"), QStringLiteral("x"), QString());

    connectClient();
    client->sendMessageSeen(QStringLiteral("after"), QStringLiteral("connect"));
    QVERIFY(server->waitForFrames(1));
    // Nothing was queued: the first frame the server sees is the one sent after connecting.
    QCOMPARE(server->frames.size(), 1);
    QCOMPARE(
        server->frames.first().value(QLatin1String("chatId")).toString(), QStringLiteral("after"));
}

void TestWebSocketClient::logoutClearsIdentityAndClosesNormally()
{
    connectClient();
    QSignalSpy loggedIn(client, &WebSocketClient::loginSuccess);
    server->send(
        parse(R"({"type":"login_success","user":{"userId":"a","username":"Al"},"token":"t"})"));
    QVERIFY(loggedIn.wait());
    QCOMPARE(client->currentUser.id, QStringLiteral("a"));

    QSignalSpy closed(server, &TestServer::clientDisconnected);
    QSignalSpy disconnected(client, &WebSocketClient::disconnected);
    client->logout();
    QVERIFY(client->currentUser.id.isEmpty());
    QVERIFY(client->currentUser.username.isEmpty());
    QVERIFY(closed.wait());
    QCOMPARE(server->lastCloseCode, int(QWebSocketProtocol::CloseCodeNormal));
    QTRY_COMPARE(disconnected.count(), 1);
    QVERIFY(server->frames.isEmpty());

    // Logging out again while disconnected still leaves an empty identity.
    client->logout();
    QVERIFY(client->currentUser.id.isEmpty());
}

void TestWebSocketClient::handlesLoginSuccess_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("avatarUrl");
    QTest::addColumn<QString>("token");

    QTest::newRow("complete") << QByteArray(
        R"({"type":"login_success","user":{"userId":"u1","username":"Alice",)"
        R"("avatarUrl":"/static/a.png"},"token":"tok"})")
                              << QStringLiteral("u1") << QStringLiteral("Alice")
                              << QStringLiteral("/static/a.png") << QStringLiteral("tok");
    QTest::newRow("without user") << QByteArray(R"({"type":"login_success","token":"tok"})")
                                  << QString() << QString() << QString() << QStringLiteral("tok");
    QTest::newRow("user is an array")
        << QByteArray(R"({"type":"login_success","user":[1],"token":5})") << QString() << QString()
        << QString() << QString();
}

void TestWebSocketClient::handlesLoginSuccess()
{
    QFETCH(QByteArray, frame);
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::loginSuccess);
    server->sendText(QString::fromUtf8(frame));
    QVERIFY(spy.wait());
    QCOMPARE(spy.count(), 1);
    const User user = spy.first().at(0).value<User>();
    QTEST(user.id, "userId");
    QTEST(user.username, "username");
    QTEST(user.avatarUrl, "avatarUrl");
    QTEST(spy.first().at(1).toString(), "token");
    QTEST(client->currentUser.id, "userId");
}

void TestWebSocketClient::reportsRefusalsAndErrors_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("isAuth");
    QTest::addColumn<QString>("message");

    QTest::newRow("auth_failed with reason")
        << QByteArray(R"({"type":"auth_failed","message":"Invalid username or password"})") << true
        << QStringLiteral("Invalid username or password");
    QTest::newRow("auth_failed without message")
        << QByteArray(R"({"type":"auth_failed"})") << true << QString();
    QTest::newRow("error") << QByteArray(R"({"type":"error","message":"nope"})") << false
                           << QStringLiteral("nope");
    QTest::newRow("error with numeric message")
        << QByteArray(R"({"type":"error","message":12})") << false << QString();
}

void TestWebSocketClient::reportsRefusalsAndErrors()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, isAuth);
    QFETCH(QString, message);
    connectClient();
    QSignalSpy auth(client, &WebSocketClient::authFailed);
    QSignalSpy error(client, &WebSocketClient::errorOccurred);
    deliver(QString::fromUtf8(frame));
    QSignalSpy &expected = isAuth ? auth : error;
    QCOMPARE(expected.count(), 1);
    QCOMPARE(expected.first().at(0).toString(), message);
    QCOMPARE((isAuth ? error : auth).count(), 0);
    // The connection stays open after a refusal or an error.
    client->sendMessageSeen(QStringLiteral("c"), QStringLiteral("m"));
    QVERIFY(server->waitForFrames(1));
}

void TestWebSocketClient::handlesChatHistory()
{
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::chatHistoryReceived);
    deliver(QStringLiteral(
        R"({"type":"chat_history","chats":[{"chatId":"c1","chatName":"Team","chatType":"group",)"
        R"("ownerId":"u1","members":["u1","u2"],"messages":[{"messageId":"m1","chatId":"c1",)"
        R"("senderId":"u2","timestamp":10.5,"content":{"text":"hi","file":null}}]},)"
        R"({"chatId":"u1_u2","chatType":"private"}]})"));
    QCOMPARE(spy.count(), 1);
    const auto chats = spy.first().at(0).value<std::vector<Chat>>();
    QCOMPARE(chats.size(), size_t(2));
    QCOMPARE(chats[0].name, QStringLiteral("Team"));
    QCOMPARE(chats[0].ownerId, QStringLiteral("u1"));
    QCOMPARE(chats[0].messages.size(), size_t(1));
    QCOMPARE(chats[0].messages[0].content, QStringLiteral("hi"));
    QCOMPARE(chats[0].messages[0].timestamp, qint64(10));
    QCOMPARE(chats[1].id, QStringLiteral("u1_u2"));
    QVERIFY(chats[1].messages.empty());

    deliver(QStringLiteral(R"({"type":"chat_history"})"));
    QCOMPARE(spy.count(), 2);
    QVERIFY(spy.last().at(0).value<std::vector<Chat>>().empty());
}

void TestWebSocketClient::handlesMessage()
{
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::messageReceived);
    deliver(QStringLiteral(
        R"({"type":"message","messageId":"m9","chatId":"c1","senderId":"u2","timestamp":7,)"
        R"("content":"{\"text\":\"\",\"file\":{\"name\":\"r.pdf\"}}","seenBy":["u1"],)"
        R"("replyToId":"m1","editedAt":8.99})"));
    QCOMPARE(spy.count(), 1);
    const Message msg = spy.first().at(0).value<Message>();
    QCOMPARE(msg.id, QStringLiteral("m9"));
    QCOMPARE(msg.chatId, QStringLiteral("c1"));
    QCOMPARE(msg.senderId, QStringLiteral("u2"));
    QCOMPARE(msg.content, QStringLiteral("[r.pdf]"));
    QCOMPARE(msg.seenBy, QStringList { QStringLiteral("u1") });
    QCOMPARE(msg.replyToId, QStringLiteral("m1"));
    QCOMPARE(msg.editedAt, qint64(8));
    QCOMPARE(msg.status, Sent);

    // A message frame without an id is still delivered.
    deliver(QStringLiteral(R"({"type":"message"})"));
    QCOMPARE(spy.count(), 2);
    QVERIFY(spy.last().at(0).value<Message>().id.isEmpty());
}

void TestWebSocketClient::handlesUserList()
{
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::userListUpdated);
    deliver(QStringLiteral(
        R"({"type":"user_list_update","users":[{"userId":"u1","username":"Al","avatarUrl":""},)"
        R"({"userId":"u2","username":"Bo","avatarUrl":"http://x/b.png"}]})"));
    QCOMPARE(spy.count(), 1);
    const auto users = spy.first().at(0).value<std::vector<User>>();
    QCOMPARE(users.size(), size_t(2));
    QCOMPARE(users[1].id, QStringLiteral("u2"));
    QCOMPARE(users[1].username, QStringLiteral("Bo"));
    QCOMPARE(users[1].avatarUrl, QStringLiteral("http://x/b.png"));

    deliver(QStringLiteral(R"({"type":"user_list_update","users":"everyone"})"));
    QCOMPARE(spy.count(), 2);
    QVERIFY(spy.last().at(0).value<std::vector<User>>().empty());
}

void TestWebSocketClient::handlesNewChat()
{
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::newChatCreated);
    deliver(QStringLiteral(
        R"({"type":"new_chat_info","chat":{"chatId":"a_b","chatName":"","chatType":"private",)"
        R"("ownerId":"a","avatarUrl":"/x.png","members":["a","b"],"messages":[{}]}})"));
    QCOMPARE(spy.count(), 1);
    const Chat chat = spy.first().at(0).value<Chat>();
    QCOMPARE(chat.id, QStringLiteral("a_b"));
    QCOMPARE(chat.type, QStringLiteral("private"));
    QCOMPARE(chat.avatarUrl, QStringLiteral("/x.png"));
    QCOMPARE(chat.members, (QStringList { QStringLiteral("a"), QStringLiteral("b") }));
    QVERIFY(chat.ownerId.isEmpty());
    QVERIFY(chat.messages.empty());
}

void TestWebSocketClient::handlesSeenUpdate()
{
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::messageSeenUpdate);
    deliver(QStringLiteral(
        R"({"type":"message_seen_update","chatId":"c","messageId":"m","userId":"u2"})"));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first(),
        (QList<QVariant> { QStringLiteral("c"), QStringLiteral("m"), QStringLiteral("u2") }));
}

void TestWebSocketClient::handlesMessageUpdated()
{
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::messageUpdated);
    deliver(QStringLiteral(R"({"type":"message_updated","chatId":"c","messageId":"m",)"
                           R"("newContent":{"text":"fixed","file":null},"editedAt":123.7})"));
    deliver(QStringLiteral(R"({"type":"message_updated","chatId":"c","messageId":"m",)"
                           R"("newContent":{"text":"","file":{"name":"a.png"}}})"));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(2).toString(), QStringLiteral("fixed"));
    QCOMPARE(spy.at(0).at(3).toLongLong(), qint64(123));
    // Only the text of an edit is taken: no attachment marker, no time when absent.
    QCOMPARE(spy.at(1).at(2).toString(), QString());
    QCOMPARE(spy.at(1).at(3).toLongLong(), qint64(0));
}

void TestWebSocketClient::handlesMessageDeleted()
{
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::messageDeleted);
    server->send(parse(R"({"type":"message_deleted","chatId":"c","messageId":"m"})"));
    QVERIFY(spy.wait());
    QCOMPARE(spy.first(), (QList<QVariant> { QStringLiteral("c"), QStringLiteral("m") }));
}

// Every frame is read by simdjson first and by Qt's parser where simdjson refuses the text; a
// message reads the same either way.
void TestWebSocketClient::readsEveryFormOfAMessage_data()
{
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("content");
    QTest::addColumn<qint64>("timestamp");
    QTest::newRow("integer time") << QStringLiteral(R"("timestamp":1700000000)") << QString()
                                  << qint64(1700000000);
    QTest::newRow("fractional and exponent time")
        << QStringLiteral(R"("timestamp":1.7000000009e9)") << QString() << qint64(1700000000);
    QTest::newRow("time beyond 64 bits")
        << QStringLiteral(R"("timestamp":123456789012345678901234)") << QString() << qint64(0);
    QTest::newRow("negative time")
        << QStringLiteral(R"("timestamp":-5.5)") << QString() << qint64(-5);
    QTest::newRow("time as a string")
        << QStringLiteral(R"("timestamp":"1700000000")") << QString() << qint64(0);
    QTest::newRow("escaped text") << QStringLiteral(R"("content":{"text":"a\"b\u00e9\n"})")
                                  << QString::fromUtf8("a\"b\xc3\xa9\n") << qint64(0);
    QTest::newRow("text with a lone surrogate")
        << QStringLiteral(R"("content":{"text":"x\ud800y"})")
        << (QStringLiteral("x") + QChar(0xd800) + QStringLiteral("y")) << qint64(0);
    QTest::newRow("emoji as an escaped pair")
        << QStringLiteral(R"("content":{"text":"\ud83d\ude00"})")
        << QString::fromUtf8("\xf0\x9f\x98\x80") << qint64(0);
    QTest::newRow("NUL inside the text")
        << QStringLiteral(R"("content":{"text":"a\u0000b"})")
        << (QStringLiteral("a") + QChar(0) + QStringLiteral("b")) << qint64(0);
    QTest::newRow("content as JSON text with a file")
        << QStringLiteral(R"("content":"{\"text\":\"see\",\"file\":{\"name\":\"a\"}}")")
        << QStringLiteral("see [Image]") << qint64(0);
    QTest::newRow("content of the wrong kind")
        << QStringLiteral(R"("content":[{"text":"no"}])") << QString() << qint64(0);
}

void TestWebSocketClient::readsEveryFormOfAMessage()
{
    QFETCH(QString, fields);
    QFETCH(QString, content);
    QFETCH(qint64, timestamp);
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::messageReceived);
    deliver(QStringLiteral(R"({"type":"message","messageId":"m1",)") + fields
        + QStringLiteral(R"(,"chatId":"c1"})"));
    QCOMPARE(spy.count(), 1);
    const Message msg = spy.first().at(0).value<Message>();
    QCOMPARE(msg.id, QStringLiteral("m1"));
    QCOMPARE(msg.chatId, QStringLiteral("c1"));
    QCOMPARE(msg.content, content);
    QCOMPARE(msg.timestamp, timestamp);
}

void TestWebSocketClient::ignoresMalformedFrames_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("type in other letter case") << QStringLiteral(R"({"type":"Message"})");
    QTest::newRow("type in capitals") << QStringLiteral(R"({"type":"LOGIN_SUCCESS"})");
    QTest::newRow("unknown type") << QStringLiteral(R"({"type":"presence"})");
    QTest::newRow("type missing") << QStringLiteral(R"({"chatId":"c"})");
    QTest::newRow("type not a string") << QStringLiteral(R"({"type":5})");
    QTest::newRow("empty type") << QStringLiteral(R"({"type":""})");
    QTest::newRow("JSON array") << QStringLiteral(R"([{"type":"message"}])");
    QTest::newRow("plain text") << QStringLiteral("hello");
    QTest::newRow("empty text") << QString();
    QTest::newRow("truncated JSON") << QStringLiteral(R"({"type":"message")");
    QTest::newRow("deep nesting") << (QStringLiteral(R"({"type":"message","x":)")
        + QString(5000, QLatin1Char('[')) + QString(5000, QLatin1Char(']')) + QLatin1Char('}'));
    QTest::newRow("key repeated after an array") << QStringLiteral(
        R"({"type":"user_list_update","users":[{"id":"u1"}],"users":[{"id":"u2"}]})");
    QTest::newRow("key repeated inside a message") << QStringLiteral(
        R"({"type":"message","messageId":"m1","chatId":"c","chatId":"c","content":{}})");
    QTest::newRow("key repeated as an escape") << QStringLiteral(
        R"({"type":"message_seen_update","chatId":"c","messageId":"m","userId":"u","\u0075serId":"v"})");
    QTest::newRow("key repeated as an escaped surrogate pair")
        << QString::fromUtf8(R"({"type":"message","messageId":"m","x\ud83d\ude00":1,"x)"
                             "\xf0\x9f\x98\x80"
                             R"(":2})");
    QString manyKeys = QStringLiteral(R"({"type":"message","messageId":"m")");
    for (int i = 0; i < 40; ++i)
        manyKeys += QStringLiteral(R"(,"k%1":%1)").arg(i);
    QTest::newRow("key repeated among many") << manyKeys + QStringLiteral(R"(,"k17":0})");
    QTest::newRow("key repeated deep in a chat list") << QStringLiteral(
        R"({"type":"chat_history","chats":[{"chatId":"c","messages":[{"messageId":"m1"},)"
        R"({"messageId":"m2","content":{"text":"a","file":null,"text":"b"}}]}]})");
}

void TestWebSocketClient::ignoresMalformedFrames()
{
    QFETCH(QString, text);
    connectClient();
    QList<QSignalSpy *> spies;
    const QMetaObject &meta = WebSocketClient::staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        if (method.methodType() == QMetaMethod::Signal
            && method.name() != QByteArrayLiteral("messageDeleted"))
            spies.append(new QSignalSpy(client, method));
    }
    QCOMPARE(spies.size(), 23);
    deliver(text);
    for (QSignalSpy *spy : qAsConst(spies))
        QCOMPARE(spy->count(), 0);
    qDeleteAll(spies);
}

void TestWebSocketClient::survivesHugeArrays()
{
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::chatHistoryReceived);
    QString chats;
    const int count = 200000;
    chats.reserve(count * 3);
    for (int i = 0; i < count; ++i)
        chats += QStringLiteral("{},");
    chats.chop(1);
    deliver(QStringLiteral(R"({"type":"chat_history","chats":[)") + chats + QStringLiteral("]}"));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().at(0).value<std::vector<Chat>>().size(), size_t(10000));
}

void TestWebSocketClient::survivesOversizedFrame()
{
    connectClient();
    QSignalSpy spy(client, &WebSocketClient::messageReceived);
    QSignalSpy disconnected(client, &WebSocketClient::disconnected);
    QSignalSpy refused(client, &WebSocketClient::frameTooLarge);
    const QString padding(
        int(WebSocketClient::maxIncomingMessageSize) + 1024 * 1024, QLatin1Char('x'));
    server->sendText(
        QStringLiteral(R"({"type":"message","pad":")") + padding + QStringLiteral("\"}"));
    QVERIFY(disconnected.wait(30000));
    QCOMPARE(spy.count(), 0);
    QCOMPARE(refused.count(), 1);

    // The client can connect again and works as before.
    connectClient();
    deliver(QStringLiteral(R"({"type":"message","messageId":"m"})"));
    QCOMPARE(spy.count(), 1);
}

void TestWebSocketClient::survivesInvalidUtf8()
{
    // A hand-rolled server, because a well-behaved socket cannot send broken UTF-8.
    QTcpServer raw;
    QVERIFY(raw.listen(QHostAddress::LocalHost, 0));
    qputenv("FERROW_SERVER_PORT", QByteArray::number(raw.serverPort()));
    QPointer<QTcpSocket> peer;
    bool upgraded = false;
    QByteArray closeFrame;
    connect(&raw, &QTcpServer::newConnection, this, [&] {
        peer = raw.nextPendingConnection();
        connect(peer, &QTcpSocket::readyRead, this, [&] {
            if (upgraded) {
                // The client answers the broken frame by closing; finish the close.
                closeFrame += peer->readAll();
                peer->disconnectFromHost();
                return;
            }
            const QByteArray request = peer->peek(8192);
            if (!request.contains("\r\n\r\n"))
                return;
            peer->readAll();
            upgraded = true;
            const int at = request.indexOf("Sec-WebSocket-Key:");
            const QByteArray key =
                request.mid(at + 18, request.indexOf("\r\n", at) - at - 18).trimmed();
            const QByteArray accept = QCryptographicHash::hash(
                key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1)
                                          .toBase64();
            peer->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                        "Connection: Upgrade\r\nSec-WebSocket-Accept: "
                + accept + "\r\n\r\n");
            const QByteArray payload = "{\"type\":\"error\",\"message\":\"\xC3\x28\"}";
            peer->write(QByteArray(1, char(0x81)) + char(payload.size()) + payload);
        });
    });

    QSignalSpy connected(client, &WebSocketClient::connected);
    QSignalSpy errors(client, &WebSocketClient::errorOccurred);
    QSignalSpy disconnected(client, &WebSocketClient::disconnected);
    client->connectToServer();
    QVERIFY(connected.wait());
    QTRY_COMPARE(disconnected.count(), 1);
    QCOMPARE(errors.count(), 0);
    // The close frame carries 1007, "invalid frame payload data" (masked: 0x88, then length).
    QTRY_VERIFY(closeFrame.size() >= 8);
    QCOMPARE(quint8(closeFrame.at(0)), quint8(0x88));
    const QByteArray mask = closeFrame.mid(2, 4);
    const int code =
        (quint8(closeFrame.at(6) ^ mask.at(0)) << 8) | quint8(closeFrame.at(7) ^ mask.at(1));
    QCOMPARE(code, int(QWebSocketProtocol::CloseCodeWrongDatatype));
}

QTEST_GUILESS_MAIN(TestWebSocketClient)
#include "tst_websocketclient.moc"
