#include "chatserver.h"
#include "credentials.h"
#include "protocol.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "sqlitestore.h"
#include "testframes.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>
#include <functional>
#include <memory>

namespace
{

QJsonObject typingRelay(const QString &chatId, const QString &userId)
{
    return { { QStringLiteral("type"), QStringLiteral("typing") },
        { QStringLiteral("chatId"), chatId },
        { QStringLiteral("userId"), userId } };
}

} // namespace

class TestChatServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loginSendsSuccessHistoryAndUserList();
    void refusedLoginKeepsConnectionOpen_data();
    void refusedLoginKeepsConnectionOpen();
    void requestsBeforeLoginGetOneError_data();
    void requestsBeforeLoginGetOneError();
    void groupMessageReachesEveryMemberConnection();
    void firstPrivateMessageAnnouncesChatFirst();
    void nonMemberCannotPost();
    void invalidMessagesAreRefused_data();
    void invalidMessagesAreRefused();
    void longestTextIsAccepted();
    void replyKeepsOnlyMessagesOfTheSameChat();
    void seenReceiptReachesSenderOnce();
    void typingReachesOtherMembersOnly_data();
    void typingReachesOtherMembersOnly();
    void typingIsRelayedOncePerTwoSeconds();
    void onlySenderEdits();
    void onlySenderDeletes();
    void firstPageIsNewestMessages();
    void historyPagesThroughBurstsWithoutGaps_data();
    void historyPagesThroughBurstsWithoutGaps();
    void historyIsForMembersOnly();
    void loginPushOfTwoThousandChatsStaysUnderTheBound();
    void loginPushTooLargeForOneSecondStillPagesOn();
    void badInputKeepsServing_data();
    void badInputKeepsServing();
    void oversizedAndBinaryFramesClose_data();
    void oversizedAndBinaryFramesClose();
    void typedRequestsBeyondTheBurstWaitTheirTurn();
    void servesStaticFilesOverHttp_data();
    void servesStaticFilesOverHttp();
    void echoedMessagesSurviveRestart();
    void shutdownClosesConnections();

private:
    void startServer(int historyPage = 50);
    std::unique_ptr<Peer> connectPeer();
    std::unique_ptr<Peer> login(const QString &username);
    QJsonObject sendAndEcho(Peer &peer, const QJsonObject &request);
    int storedMessages();

    ServerFixture fixture;
    QString alice, bob, carol, dave, team;
};

void TestChatServer::init()
{
    FERROW_SET_UP(fixture);
    alice = fixture.addUser(QStringLiteral("alice"));
    bob = fixture.addUser(QStringLiteral("bob"));
    carol = fixture.addUser(QStringLiteral("carol"));
    dave = fixture.addUser(QStringLiteral("dave"));
    team = fixture.db
               ->createChat(QString(),
                   QStringLiteral("Team"),
                   QStringLiteral("group"),
                   alice,
                   { alice, bob, carol })
               ->id;
    startServer();
}

void TestChatServer::cleanup()
{
    fixture.stop();
}

void TestChatServer::startServer(int historyPage)
{
    fixture.server.reset();
    ChatServer::Options options = fixture.defaultOptions();
    options.historyPage = historyPage;
    QVERIFY(fixture.start(options));
}

std::unique_ptr<Peer> TestChatServer::connectPeer()
{
    return fixture.connectPeer();
}

std::unique_ptr<Peer> TestChatServer::login(const QString &username)
{
    return fixture.login(username);
}

QJsonObject TestChatServer::sendAndEcho(Peer &peer, const QJsonObject &request)
{
    const int before = peer.frames.size();
    peer.send(request);
    if (!peer.waitForFrames(before + 1))
        return {};
    return peer.frames.takeLast();
}

int TestChatServer::storedMessages()
{
    int count = 0;
    for (const ChatRecord &chat : fixture.db->chatsOfUser(alice))
        count += int(fixture.db->newestMessages(chat.id, 100000).size());
    for (const ChatRecord &chat : fixture.db->chatsOfUser(dave))
        count += int(fixture.db->newestMessages(chat.id, 100000).size());
    return count;
}

void TestChatServer::loginSendsSuccessHistoryAndUserList()
{
    const MessageRecord stored =
        *fixture.db->addMessage(team, bob, QStringLiteral("hello"), QString(), 1700000000);
    fixture.db->markSeen(stored.seq, carol, 1700000001);
    std::unique_ptr<Peer> peer = login(QStringLiteral("alice"));
    QVERIFY(peer);
    const QList<QJsonObject> &frames = peer->loginFrames;
    QCOMPARE(frames.size(), 3);

    const QJsonObject success = frames.at(0);
    QCOMPARE(keysOf(success),
        sorted({ QStringLiteral("type"),
            QStringLiteral("user"),
            QStringLiteral("token"),
            QStringLiteral("httpToken"),
            QStringLiteral("maxUploadSize") }));
    QCOMPARE(success.value(QLatin1String("maxUploadSize")).toDouble(),
        double(fixture.options.maxUploadSize));
    const QJsonObject user = success.value(QLatin1String("user")).toObject();
    QCOMPARE(keysOf(user),
        sorted(
            { QStringLiteral("userId"), QStringLiteral("username"), QStringLiteral("avatarUrl") }));
    QCOMPARE(user.value(QLatin1String("userId")).toString(), alice);
    QCOMPARE(user.value(QLatin1String("username")).toString(), QStringLiteral("alice"));
    QCOMPARE(
        user.value(QLatin1String("avatarUrl")).toString(), QStringLiteral("/static/default.png"));
    for (const char *key : { "token", "httpToken" }) {
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$"))
                    .match(success.value(QLatin1String(key)).toString())
                    .hasMatch());
    }
    QVERIFY(success.value(QLatin1String("token")) != success.value(QLatin1String("httpToken")));

    const QJsonObject history = frames.at(1);
    QCOMPARE(keysOf(history), sorted({ QStringLiteral("type"), QStringLiteral("chats") }));
    QCOMPARE(typeOf(history), QStringLiteral("chat_history"));
    const QJsonArray chats = history.value(QLatin1String("chats")).toArray();
    QCOMPARE(chats.size(), 1);
    const QJsonObject chat = chats.at(0).toObject();
    QCOMPARE(keysOf(chat),
        sorted(chatKeys()
            + QStringList { QStringLiteral("messages"), QStringLiteral("unreadCount") }));
    QCOMPARE(chat.value(QLatin1String("unreadCount")).toInt(-1), 1);
    QCOMPARE(chat.value(QLatin1String("chatId")).toString(), team);
    QCOMPARE(chat.value(QLatin1String("chatName")).toString(), QStringLiteral("Team"));
    QCOMPARE(chat.value(QLatin1String("chatType")).toString(), QStringLiteral("group"));
    QCOMPARE(chat.value(QLatin1String("ownerId")).toString(), alice);
    QCOMPARE(chat.value(QLatin1String("members")).toArray(), QJsonArray({ alice, bob, carol }));
    const QJsonArray messages = chat.value(QLatin1String("messages")).toArray();
    QCOMPARE(messages.size(), 1);
    const QJsonObject message = messages.at(0).toObject();
    QCOMPARE(keysOf(message), messageKeys());
    QCOMPARE(message.value(QLatin1String("messageId")).toString(), stored.id);
    QCOMPARE(message.value(QLatin1String("chatId")).toString(), team);
    QCOMPARE(message.value(QLatin1String("senderId")).toString(), bob);
    QCOMPARE(message.value(QLatin1String("timestamp")).toDouble(), 1700000000.0);
    QCOMPARE(message.value(QLatin1String("content")).toObject(), content(QStringLiteral("hello")));
    QVERIFY(message.value(QLatin1String("replyToId")).isNull());
    QCOMPARE(message.value(QLatin1String("seenBy")).toArray(), QJsonArray({ carol }));
    QCOMPARE(message.value(QLatin1String("editedAt")).toDouble(), 0.0);

    const QJsonObject users = frames.at(2);
    QCOMPARE(typeOf(users), QStringLiteral("user_list_update"));
    QCOMPARE(keysOf(users), sorted({ QStringLiteral("type"), QStringLiteral("users") }));
    QStringList names;
    for (const QJsonValue &entry : users.value(QLatin1String("users")).toArray()) {
        QCOMPARE(keysOf(entry.toObject()),
            sorted({ QStringLiteral("userId"),
                QStringLiteral("username"),
                QStringLiteral("avatarUrl") }));
        names.append(entry.toObject().value(QLatin1String("username")).toString());
    }
    QCOMPARE(names,
        (QStringList { QStringLiteral("alice"),
            QStringLiteral("bob"),
            QStringLiteral("carol"),
            QStringLiteral("dave") }));
    QCOMPARE(peer->sync(), QList<QJsonObject>());
}

void TestChatServer::refusedLoginKeepsConnectionOpen_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");

    QTest::newRow("wrong password") << "alice"
                                    << "Secret";
    QTest::newRow("unknown user") << "mallory"
                                  << "secret";
    QTest::newRow("empty user") << ""
                                << "secret";
    QTest::newRow("empty password") << "alice"
                                    << "";
    QTest::newRow("very long user") << QString(5000, QLatin1Char('a')) << "secret";
}

void TestChatServer::refusedLoginKeepsConnectionOpen()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    std::unique_ptr<Peer> peer = connectPeer();
    QVERIFY(peer);
    peer->send({ { QStringLiteral("type"), QStringLiteral("login_with_password") },
        { QStringLiteral("username"), username },
        { QStringLiteral("password"), password } });
    QVERIFY(peer->waitForFrames(1));
    const QJsonObject expected { { QStringLiteral("type"), QStringLiteral("auth_failed") },
        { QStringLiteral("message"), QStringLiteral("Invalid username or password") } };
    QCOMPARE(peer->frames.takeFirst(), expected);
    QCOMPARE(peer->sync(), QList<QJsonObject>());

    // Still logged out, and the same connection can log in afterwards.
    peer->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("before"), 0 } });
    QVERIFY(peer->waitForFrames(1));
    QCOMPARE(typeOf(peer->frames.takeFirst()), QStringLiteral("error"));
    peer->send({ { QStringLiteral("type"), QStringLiteral("login_with_password") },
        { QStringLiteral("username"), QStringLiteral("alice") },
        { QStringLiteral("password"), QStringLiteral("secret") } });
    QVERIFY(peer->waitForFrames(3));
    QCOMPARE(typeOf(peer->frames.at(0)), QStringLiteral("login_success"));
}

void TestChatServer::requestsBeforeLoginGetOneError_data()
{
    QTest::addColumn<QJsonObject>("request");

    QTest::newRow("message by chat")
        << messageTo(QStringLiteral("chatId"), team, QStringLiteral("hi"));
    QTest::newRow("message by recipient")
        << messageTo(QStringLiteral("recipientId"), bob, QStringLiteral("hi"));
    QTest::newRow("get_history") << QJsonObject { { QStringLiteral("type"),
                                                      QStringLiteral("get_history") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("before"), 2000000000 } };
    QTest::newRow("message_seen") << QJsonObject { { QStringLiteral("type"),
                                                       QStringLiteral("message_seen") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), QStringLiteral("m1") } };
    QTest::newRow("edit_message") << QJsonObject { { QStringLiteral("type"),
                                                       QStringLiteral("edit_message") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), QStringLiteral("m1") },
        { QStringLiteral("newContent"), QStringLiteral("x") } };
    QTest::newRow("delete_message")
        << QJsonObject { { QStringLiteral("type"), QStringLiteral("delete_message") },
               { QStringLiteral("chatId"), team },
               { QStringLiteral("messageId"), QStringLiteral("m1") } };
    QTest::newRow("login_success sent back")
        << QJsonObject { { QStringLiteral("type"), QStringLiteral("login_success") } };
}

void TestChatServer::requestsBeforeLoginGetOneError()
{
    QFETCH(QJsonObject, request);
    const MessageRecord original =
        *fixture.db->addMessage(team, alice, QStringLiteral("original"), QString(), 100);
    // The rows name a message that exists.
    if (request.contains(QLatin1String("messageId")))
        request.insert(QStringLiteral("messageId"), original.id);
    std::unique_ptr<Peer> member = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> peer = connectPeer();
    QVERIFY(member && peer);

    peer->send(request);
    QVERIFY(peer->waitForFrames(1));
    const QJsonObject error = peer->frames.takeFirst();
    QCOMPARE(keysOf(error), sorted({ QStringLiteral("type"), QStringLiteral("message") }));
    QCOMPARE(typeOf(error), QStringLiteral("error"));
    QVERIFY(!error.value(QLatin1String("message")).toString().isEmpty());
    QCOMPARE(peer->sync(), QList<QJsonObject>());
    QCOMPARE(member->sync(), QList<QJsonObject>());
    QCOMPARE(storedMessages(), 1);
    QCOMPARE(fixture.db->message(original.id)->text, QStringLiteral("original"));
    QVERIFY(fixture.db->message(original.id)->seenBy.isEmpty());
}

void TestChatServer::groupMessageReachesEveryMemberConnection()
{
    std::unique_ptr<Peer> alice1 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> alice2 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> alice3 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> carolPeer = login(QStringLiteral("carol"));
    std::unique_ptr<Peer> davePeer = login(QStringLiteral("dave"));
    std::unique_ptr<Peer> anonymous = connectPeer();
    QVERIFY(alice1 && alice2 && alice3 && bobPeer && carolPeer && davePeer && anonymous);
    // A connection that went away must not disturb delivery to the others.
    alice3->socket.close();
    QTRY_VERIFY_WITH_TIMEOUT(alice3->closed, 5000);

    // Sent exactly as typed: the client matches its echo by the text.
    const QString text = QStringLiteral("  Hello, Team! \u00e9\U0001F600\n  ");
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    alice1->send(messageTo(QStringLiteral("chatId"), team, text));
    const QList<QJsonObject> echo = alice1->sync();
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(echo.size(), 1);
    const QJsonObject frame = echo.first();
    QCOMPARE(keysOf(frame), sorted(messageKeys() + QStringList { QStringLiteral("type") }));
    QCOMPARE(typeOf(frame), QStringLiteral("message"));
    const QString id = frame.value(QLatin1String("messageId")).toString();
    QVERIFY(!id.isEmpty());
    QVERIFY(!id.startsWith(QLatin1String("temp")));
    QCOMPARE(frame.value(QLatin1String("chatId")).toString(), team);
    QCOMPARE(frame.value(QLatin1String("senderId")).toString(), alice);
    const double timestamp = frame.value(QLatin1String("timestamp")).toDouble();
    QVERIFY(timestamp >= before && timestamp <= after);
    QCOMPARE(timestamp, std::floor(timestamp));
    QCOMPARE(frame.value(QLatin1String("content")).toObject(), content(text));
    QVERIFY(frame.value(QLatin1String("replyToId")).isNull());
    QCOMPARE(frame.value(QLatin1String("seenBy")).toArray(), QJsonArray());
    QCOMPARE(frame.value(QLatin1String("editedAt")).toDouble(), 0.0);

    QCOMPARE(alice2->sync(), QList<QJsonObject> { frame });
    QCOMPARE(bobPeer->sync(), QList<QJsonObject> { frame });
    QCOMPARE(carolPeer->sync(), QList<QJsonObject> { frame });
    QCOMPARE(davePeer->sync(), QList<QJsonObject>());
    QCOMPARE(anonymous->sync().size(), 0);
    QCOMPARE(fixture.db->message(id)->text, text);
}

void TestChatServer::firstPrivateMessageAnnouncesChatFirst()
{
    std::unique_ptr<Peer> alice1 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> alice2 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bob1 = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> bob2 = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> carolPeer = login(QStringLiteral("carol"));
    QVERIFY(alice1 && alice2 && bob1 && bob2 && carolPeer);
    const QString chatId = protocol::privateChatId(alice, bob);
    QCOMPARE(chatId, alice < bob ? alice + QLatin1Char('_') + bob : bob + QLatin1Char('_') + alice);

    bob1->send(messageTo(QStringLiteral("recipientId"), alice, QStringLiteral("psst")));
    const QList<QJsonObject> frames = bob1->sync();
    QCOMPARE(frames.size(), 2);
    const QJsonObject announce = frames.at(0);
    QCOMPARE(typeOf(announce), QStringLiteral("new_chat_info"));
    QCOMPARE(keysOf(announce), sorted({ QStringLiteral("type"), QStringLiteral("chat") }));
    const QJsonObject chat = announce.value(QLatin1String("chat")).toObject();
    QCOMPARE(keysOf(chat), chatKeys());
    QCOMPARE(chat.value(QLatin1String("chatId")).toString(), chatId);
    QCOMPARE(chat.value(QLatin1String("chatType")).toString(), QStringLiteral("private"));
    QCOMPARE(chat.value(QLatin1String("chatName")).toString(), QString());
    QCOMPARE(chat.value(QLatin1String("ownerId")).toString(), bob);
    QCOMPARE(sorted({ chat.value(QLatin1String("members")).toArray().at(0).toString(),
                 chat.value(QLatin1String("members")).toArray().at(1).toString() }),
        sorted({ alice, bob }));
    const QJsonObject message = frames.at(1);
    QCOMPARE(typeOf(message), QStringLiteral("message"));
    QCOMPARE(message.value(QLatin1String("chatId")).toString(), chatId);
    QCOMPARE(message.value(QLatin1String("content")).toObject(), content(QStringLiteral("psst")));

    QCOMPARE(bob2->sync(), frames);
    QCOMPARE(alice1->sync(), frames);
    QCOMPARE(alice2->sync(), frames);
    QCOMPARE(carolPeer->sync(), QList<QJsonObject>());

    // The chat exists now: later messages, either way round, come without an announcement.
    alice1->send(messageTo(QStringLiteral("recipientId"), bob, QStringLiteral("hi back")));
    const QList<QJsonObject> reply = alice1->sync();
    QCOMPARE(reply.size(), 1);
    QCOMPARE(reply.at(0).value(QLatin1String("chatId")).toString(), chatId);
    QCOMPARE(bob1->sync(), reply);
    bob1->send(messageTo(QStringLiteral("chatId"), chatId, QStringLiteral("by chat id")));
    QCOMPARE(bob1->sync().size(), 1);
    QCOMPARE(alice2->sync().size(), 2);

    // And it is part of both users' history at their next login.
    std::unique_ptr<Peer> again = login(QStringLiteral("alice"));
    QVERIFY(again);
    const QJsonArray chats = again->loginFrames.at(1).value(QLatin1String("chats")).toArray();
    QCOMPARE(chats.size(), 2);
    QCOMPARE(chats.at(1).toObject().value(QLatin1String("messages")).toArray().size(), 3);
}

void TestChatServer::nonMemberCannotPost()
{
    std::unique_ptr<Peer> davePeer = login(QStringLiteral("dave"));
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    QVERIFY(davePeer && alicePeer);
    for (const QString &chatId :
        { team, QStringLiteral("nonexistent"), protocol::privateChatId(alice, bob) }) {
        davePeer->send(messageTo(QStringLiteral("chatId"), chatId, QStringLiteral("let me in")));
        const QList<QJsonObject> frames = davePeer->sync();
        QCOMPARE(frames.size(), 1);
        QCOMPARE(frames.at(0), protocol::errorFrame(QStringLiteral("Not a member of this chat")));
    }
    QCOMPARE(alicePeer->sync(), QList<QJsonObject>());
    QCOMPARE(storedMessages(), 0);
}

void TestChatServer::invalidMessagesAreRefused_data()
{
    QTest::addColumn<QJsonObject>("request");

    const QString key = QStringLiteral("chatId");
    QJsonObject r;
    QTest::newRow("empty text") << messageTo(key, team, QString());
    QTest::newRow("white space only") << messageTo(key, team, QStringLiteral(" \t\n "));
    QTest::newRow("4001 characters") << messageTo(key, team, QString(4001, QLatin1Char('x')));
    r = messageTo(key, team, QStringLiteral("x"));
    r.remove(QStringLiteral("content"));
    QTest::newRow("no content") << r;
    r.insert(QStringLiteral("content"), QStringLiteral("{\"text\":\"x\"}"));
    QTest::newRow("content as a string") << r;
    r.insert(QStringLiteral("content"), QJsonObject { { QStringLiteral("text"), 5 } });
    QTest::newRow("text a number") << r;
    r.insert(QStringLiteral("content"),
        QJsonObject { { QStringLiteral("text"), QStringLiteral("x") },
            { QStringLiteral("file"),
                QJsonObject { { QStringLiteral("name"), QStringLiteral("a.png") } } } });
    QTest::newRow("with a file") << r;
    r = messageTo(key, team, QStringLiteral("x"));
    r.insert(QStringLiteral("recipientId"), QStringLiteral("whoever"));
    QTest::newRow("both chat and recipient") << r;
    r.remove(QStringLiteral("chatId"));
    r.remove(QStringLiteral("recipientId"));
    QTest::newRow("neither chat nor recipient") << r;
    r.insert(QStringLiteral("chatId"), 42);
    QTest::newRow("chat id a number") << r;
    QTest::newRow("recipient unknown")
        << messageTo(QStringLiteral("recipientId"), QStringLiteral("nobody"), QStringLiteral("x"));
    QTest::newRow("recipient is the sender")
        << messageTo(QStringLiteral("recipientId"), QStringLiteral("ALICE"), QStringLiteral("x"));
    QTest::newRow("reply to a number") << messageTo(key, team, QStringLiteral("x"), 7);
    // Neither can be stored as sent (PostgreSQL's text holds no NUL).
    QTest::newRow("a NUL character")
        << messageTo(key, team, QStringLiteral("a") + QChar(0) + QStringLiteral("b"));
    QTest::newRow("a lone surrogate")
        << messageTo(key, team, QStringLiteral("a") + QChar(0xd800) + QStringLiteral("b"));
}

void TestChatServer::invalidMessagesAreRefused()
{
    QFETCH(QJsonObject, request);
    if (request.value(QLatin1String("recipientId")).toString() == QLatin1String("ALICE"))
        request.insert(QStringLiteral("recipientId"), alice);
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    QVERIFY(alicePeer && bobPeer);
    alicePeer->send(request);
    const QList<QJsonObject> frames = alicePeer->sync();
    QCOMPARE(frames.size(), 1);
    QCOMPARE(typeOf(frames.at(0)), QStringLiteral("error"));
    QCOMPARE(bobPeer->sync(), QList<QJsonObject>());
    QCOMPARE(storedMessages(), 0);
    QCOMPARE(int(fixture.db->chatsOfUser(alice).size()), 1);
}

void TestChatServer::longestTextIsAccepted()
{
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    QVERIFY(alicePeer);
    // Characters, not UTF-16 units: 4000 emoji are 8000 units.
    QString emoji;
    for (int i = 0; i < protocol::maxTextLength; ++i)
        emoji += QStringLiteral("\U0001F600");
    for (const QString &text : { QString(protocol::maxTextLength, QLatin1Char('x')), emoji }) {
        const QJsonObject echo =
            sendAndEcho(*alicePeer, messageTo(QStringLiteral("chatId"), team, text));
        QCOMPARE(typeOf(echo), QStringLiteral("message"));
        QCOMPARE(
            echo.value(QLatin1String("content")).toObject().value(QLatin1String("text")).toString(),
            text);
    }
}

void TestChatServer::replyKeepsOnlyMessagesOfTheSameChat()
{
    const QString other =
        fixture.db
            ->createChat(
                QString(), QStringLiteral("Other"), QStringLiteral("group"), alice, { alice })
            ->id;
    const MessageRecord elsewhere =
        *fixture.db->addMessage(other, alice, QStringLiteral("elsewhere"), QString(), 100);
    const MessageRecord here =
        *fixture.db->addMessage(team, bob, QStringLiteral("here"), QString(), 100);
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    QVERIFY(alicePeer);

    QJsonObject echo = sendAndEcho(
        *alicePeer, messageTo(QStringLiteral("chatId"), team, QStringLiteral("re"), here.id));
    QCOMPARE(echo.value(QLatin1String("replyToId")).toString(), here.id);
    QCOMPARE(
        fixture.db->message(echo.value(QLatin1String("messageId")).toString())->replyToId, here.id);
    for (const QJsonValue &target :
        { QJsonValue(elsewhere.id), QJsonValue(QStringLiteral("m999")), QJsonValue(QString()) }) {
        echo = sendAndEcho(
            *alicePeer, messageTo(QStringLiteral("chatId"), team, QStringLiteral("re"), target));
        QCOMPARE(typeOf(echo), QStringLiteral("message"));
        QVERIFY(echo.value(QLatin1String("replyToId")).isNull());
    }
    QJsonObject request = messageTo(QStringLiteral("chatId"), team, QStringLiteral("no key"));
    request.remove(QStringLiteral("replyToId"));
    echo = sendAndEcho(*alicePeer, request);
    QVERIFY(echo.value(QLatin1String("replyToId")).isNull());
}

void TestChatServer::seenReceiptReachesSenderOnce()
{
    std::unique_ptr<Peer> alice1 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> alice2 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> bob2 = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> carolPeer = login(QStringLiteral("carol"));
    std::unique_ptr<Peer> davePeer = login(QStringLiteral("dave"));
    QVERIFY(alice1 && alice2 && bobPeer && bob2 && carolPeer && davePeer);
    const QString id =
        sendAndEcho(*alice1, messageTo(QStringLiteral("chatId"), team, QStringLiteral("read me")))
            .value(QLatin1String("messageId"))
            .toString();
    alice2->sync();
    bobPeer->sync();
    bob2->sync();
    carolPeer->sync();

    const QJsonObject seen { { QStringLiteral("type"), QStringLiteral("message_seen") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), id } };
    bobPeer->send(seen);
    QCOMPARE(bobPeer->sync(), QList<QJsonObject>());
    const QJsonObject update { { QStringLiteral("type"), QStringLiteral("message_seen_update") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), id },
        { QStringLiteral("userId"), bob } };
    QCOMPARE(alice1->sync(), QList<QJsonObject> { update });
    QCOMPARE(alice2->sync(), QList<QJsonObject> { update });
    // Bob's other device learns it is read; the one that read it knows.
    QCOMPARE(bob2->sync(), QList<QJsonObject> { update });
    QCOMPARE(carolPeer->sync(), QList<QJsonObject>());

    // Again, and by the sender herself: nothing new.
    bobPeer->send(seen);
    alice2->send(seen);
    QCOMPARE(bobPeer->sync(), QList<QJsonObject>());
    QCOMPARE(alice2->sync(), QList<QJsonObject>());
    QCOMPARE(alice1->sync(), QList<QJsonObject>());
    QCOMPARE(bob2->sync(), QList<QJsonObject>());

    // An outsider, a wrong chat or an unknown message: an error, and no receipt.
    QJsonObject wrong = seen;
    davePeer->send(seen);
    QCOMPARE(davePeer->sync(),
        QList<QJsonObject> { protocol::errorFrame(QStringLiteral("Message not found")) });
    wrong.insert(QStringLiteral("chatId"), protocol::privateChatId(alice, carol));
    carolPeer->send(wrong);
    wrong = seen;
    wrong.insert(QStringLiteral("messageId"), QStringLiteral("m999"));
    carolPeer->send(wrong);
    QCOMPARE(carolPeer->sync().size(), 2);
    QCOMPARE(alice1->sync(), QList<QJsonObject>());

    carolPeer->send(seen);
    // Once Carol's receipt is answered, Alice has been told.
    QCOMPARE(carolPeer->sync(), QList<QJsonObject>());
    QCOMPARE(alice1->sync().size(), 1);
    QCOMPARE(fixture.db->message(id)->seenBy, (QStringList { bob, carol }));
    std::unique_ptr<Peer> later = login(QStringLiteral("alice"));
    QVERIFY(later);
    const QJsonObject stored = later->loginFrames.at(1)
                                   .value(QLatin1String("chats"))
                                   .toArray()
                                   .at(0)
                                   .toObject()
                                   .value(QLatin1String("messages"))
                                   .toArray()
                                   .at(0)
                                   .toObject();
    QCOMPARE(stored.value(QLatin1String("seenBy")).toArray(), QJsonArray({ bob, carol }));
}

void TestChatServer::typingReachesOtherMembersOnly_data()
{
    QTest::addColumn<QJsonValue>("chatId");
    QTest::addColumn<QString>("error");

    QTest::newRow("member") << QJsonValue(QStringLiteral("team")) << QString();
    QTest::newRow("not a member") << QJsonValue(QStringLiteral("private"))
                                  << QStringLiteral("Not a member of this chat");
    QTest::newRow("unknown chat") << QJsonValue(QStringLiteral("nowhere"))
                                  << QStringLiteral("Not a member of this chat");
    QTest::newRow("chat id not a string")
        << QJsonValue(7) << QStringLiteral("Missing or invalid \"chatId\"");
    QTest::newRow("no chat id") << QJsonValue(QJsonValue::Undefined)
                                << QStringLiteral("Missing or invalid \"chatId\"");
}

void TestChatServer::typingReachesOtherMembersOnly()
{
    QFETCH(QJsonValue, chatId);
    QFETCH(QString, error);
    const QString privateChat = protocol::privateChatId(bob, dave);
    fixture.db->createChat(privateChat, QString(), QStringLiteral("private"), bob, { bob, dave });
    std::unique_ptr<Peer> alice1 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> alice2 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> carolPeer = login(QStringLiteral("carol"));
    std::unique_ptr<Peer> davePeer = login(QStringLiteral("dave"));
    QVERIFY(alice1 && alice2 && bobPeer && carolPeer && davePeer);

    QJsonObject request { { QStringLiteral("type"), QStringLiteral("typing") } };
    if (chatId == QJsonValue(QStringLiteral("team")))
        chatId = team;
    else if (chatId == QJsonValue(QStringLiteral("private")))
        chatId = privateChat;
    if (!chatId.isUndefined())
        request.insert(QStringLiteral("chatId"), chatId);
    alice1->send(request);
    QCOMPARE(alice1->sync(),
        error.isEmpty() ? QList<QJsonObject>()
                        : QList<QJsonObject> { protocol::errorFrame(error) });
    const QList<QJsonObject> relayed =
        error.isEmpty() ? QList<QJsonObject> { typingRelay(team, alice) } : QList<QJsonObject>();
    QCOMPARE(bobPeer->sync(), relayed);
    QCOMPARE(carolPeer->sync(), relayed);
    QCOMPARE(alice2->sync(), QList<QJsonObject>());
    QCOMPARE(davePeer->sync(), QList<QJsonObject>());
}

void TestChatServer::typingIsRelayedOncePerTwoSeconds()
{
    qint64 now = 1700000000000;
    ChatServer::Options options = fixture.defaultOptions();
    options.clock = [&now] { return now; };
    fixture.server.reset();
    QVERIFY(fixture.start(options));
    std::unique_ptr<Peer> alice1 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> alice2 = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    QVERIFY(alice1 && alice2 && bobPeer);
    const QString other =
        fixture.db
            ->createChat(
                QString(), QStringLiteral("Other"), QStringLiteral("group"), alice, { alice, bob })
            ->id;
    const auto typingIn = [](const QString &chatId) {
        return QJsonObject { { QStringLiteral("type"), QStringLiteral("typing") },
            { QStringLiteral("chatId"), chatId } };
    };
    // (ms after the first frame, device, chat, relayed?): per user and chat, counted from the
    // last relay, whichever device sends.
    const struct {
        qint64 at;
        Peer *device;
        QString chatId;
        bool relayed;
    } steps[] = {
        { 0, alice1.get(), team, true },
        { 0, alice1.get(), team, false },
        { 0, alice1.get(), other, true },
        { 1000, alice2.get(), team, false },
        { 1999, alice1.get(), team, false },
        { 2000, alice2.get(), team, true },
        { 3000, alice1.get(), team, false },
        { 4100, alice1.get(), team, true },
    };
    for (const auto &step : steps) {
        now = 1700000000000 + step.at;
        step.device->send(typingIn(step.chatId));
        QCOMPARE(step.device->sync(), QList<QJsonObject>());
        QCOMPARE(bobPeer->sync(),
            step.relayed ? QList<QJsonObject> { typingRelay(step.chatId, alice) }
                         : QList<QJsonObject>());
    }
    // Bob's own typing is his to pace.
    bobPeer->send(typingIn(team));
    bobPeer->sync();
    QCOMPARE(alice1->sync(), QList<QJsonObject> { typingRelay(team, bob) });
    QCOMPARE(alice2->sync(), QList<QJsonObject> { typingRelay(team, bob) });
}

void TestChatServer::onlySenderEdits()
{
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> carolPeer = login(QStringLiteral("carol"));
    QVERIFY(alicePeer && bobPeer && carolPeer);
    const QJsonObject echo =
        sendAndEcho(*alicePeer, messageTo(QStringLiteral("chatId"), team, QStringLiteral("frist")));
    const QString id = echo.value(QLatin1String("messageId")).toString();
    bobPeer->sync();
    carolPeer->sync();

    const auto edit = [&](const QString &chatId, const QString &messageId, const QJsonValue &text) {
        return QJsonObject { { QStringLiteral("type"), QStringLiteral("edit_message") },
            { QStringLiteral("chatId"), chatId },
            { QStringLiteral("messageId"), messageId },
            { QStringLiteral("newContent"), text } };
    };
    bobPeer->send(edit(team, id, QStringLiteral("hacked")));
    QCOMPARE(bobPeer->sync(),
        QList<QJsonObject> {
            protocol::errorFrame(QStringLiteral("Only the sender can edit a message")) });
    for (const QJsonObject &bad : { edit(team, id, QStringLiteral("  ")),
             edit(team, id, 3),
             edit(team, QStringLiteral("m999"), QStringLiteral("x")),
             edit(QStringLiteral("elsewhere"), id, QStringLiteral("x")) }) {
        alicePeer->send(bad);
        const QList<QJsonObject> frames = alicePeer->sync();
        QCOMPARE(frames.size(), 1);
        QCOMPARE(typeOf(frames.at(0)), QStringLiteral("error"));
    }
    QCOMPARE(carolPeer->sync(), QList<QJsonObject>());
    QCOMPARE(fixture.db->message(id)->text, QStringLiteral("frist"));
    QCOMPARE(fixture.db->message(id)->editedAt, qint64(0));

    alicePeer->send(edit(team, id, QStringLiteral("first ")));
    const QList<QJsonObject> frames = alicePeer->sync();
    QCOMPARE(frames.size(), 1);
    const QJsonObject updated = frames.at(0);
    QCOMPARE(keysOf(updated),
        sorted({ QStringLiteral("type"),
            QStringLiteral("chatId"),
            QStringLiteral("messageId"),
            QStringLiteral("newContent"),
            QStringLiteral("editedAt") }));
    QCOMPARE(typeOf(updated), QStringLiteral("message_updated"));
    QCOMPARE(updated.value(QLatin1String("chatId")).toString(), team);
    QCOMPARE(updated.value(QLatin1String("messageId")).toString(), id);
    QCOMPARE(
        updated.value(QLatin1String("newContent")).toObject(), content(QStringLiteral("first ")));
    QVERIFY(updated.value(QLatin1String("editedAt")).toDouble()
        >= echo.value(QLatin1String("timestamp")).toDouble());
    QCOMPARE(bobPeer->sync(), frames);
    QCOMPARE(carolPeer->sync(), frames);
    QCOMPARE(fixture.db->message(id)->text, QStringLiteral("first "));
    QCOMPARE(double(fixture.db->message(id)->editedAt),
        updated.value(QLatin1String("editedAt")).toDouble());
}

void TestChatServer::onlySenderDeletes()
{
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> davePeer = login(QStringLiteral("dave"));
    QVERIFY(alicePeer && bobPeer && davePeer);
    const QString id =
        sendAndEcho(*alicePeer, messageTo(QStringLiteral("chatId"), team, QStringLiteral("oops")))
            .value(QLatin1String("messageId"))
            .toString();
    bobPeer->sync();

    const QJsonObject remove { { QStringLiteral("type"), QStringLiteral("delete_message") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), id } };
    bobPeer->send(remove);
    QCOMPARE(bobPeer->sync(),
        QList<QJsonObject> {
            protocol::errorFrame(QStringLiteral("Only the sender can delete a message")) });
    davePeer->send(remove);
    QCOMPARE(davePeer->sync(),
        QList<QJsonObject> { protocol::errorFrame(QStringLiteral("Message not found")) });
    QCOMPARE(alicePeer->sync(), QList<QJsonObject>());
    QVERIFY(fixture.db->message(id));

    alicePeer->send(remove);
    const QJsonObject deleted { { QStringLiteral("type"), QStringLiteral("message_deleted") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), id } };
    QCOMPARE(alicePeer->sync(), QList<QJsonObject> { deleted });
    QCOMPARE(bobPeer->sync(), QList<QJsonObject> { deleted });
    QCOMPARE(davePeer->sync(), QList<QJsonObject>());
    QVERIFY(!fixture.db->message(id));

    // Gone for good: a second delete, an edit or a receipt find nothing.
    alicePeer->send(remove);
    bobPeer->send({ { QStringLiteral("type"), QStringLiteral("message_seen") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), id } });
    QCOMPARE(alicePeer->sync(),
        QList<QJsonObject> { protocol::errorFrame(QStringLiteral("Message not found")) });
    QCOMPARE(bobPeer->sync(),
        QList<QJsonObject> { protocol::errorFrame(QStringLiteral("Message not found")) });
    alicePeer->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("before"), 4e9 } });
    QCOMPARE(alicePeer->sync()
                 .at(0)
                 .value(QLatin1String("chats"))
                 .toArray()
                 .at(0)
                 .toObject()
                 .value(QLatin1String("messages"))
                 .toArray(),
        QJsonArray());
}

void TestChatServer::firstPageIsNewestMessages()
{
    startServer(10);
    QStringList ids;
    for (int i = 0; i < 25; ++i)
        ids.append(
            fixture.db->addMessage(team, bob, QString::number(i), QString(), 1000 + i / 6)->id);
    std::unique_ptr<Peer> peer = login(QStringLiteral("alice"));
    QVERIFY(peer);
    QStringList got;
    for (const QJsonValue &message : peer->loginFrames.at(1)
                                         .value(QLatin1String("chats"))
                                         .toArray()
                                         .at(0)
                                         .toObject()
                                         .value(QLatin1String("messages"))
                                         .toArray())
        got.append(message.toObject().value(QLatin1String("messageId")).toString());
    // The newest ten, grown to the whole second of the oldest of them.
    QCOMPARE(got, ids.mid(12));
}

void TestChatServer::historyPagesThroughBurstsWithoutGaps_data()
{
    QTest::addColumn<int>("page");

    QTest::newRow("page of fifty") << 50;
    QTest::newRow("page of seven") << 7;
}

void TestChatServer::historyPagesThroughBurstsWithoutGaps()
{
    QFETCH(int, page);
    startServer(page);
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    QVERIFY(bobPeer);
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> carolPeer = login(QStringLiteral("carol"));
    QVERIFY(alicePeer && carolPeer);
    // 120 real messages in three bursts of 40 about a second apart, so that many share a second
    // and pages end inside a second. One burst per sender stays within the request rate.
    QSet<QString> sent;
    int burst = 0;
    for (Peer *sender : { bobPeer.get(), alicePeer.get(), carolPeer.get() }) {
        sender->sync();
        for (int i = 0; i < 40; ++i)
            sender->send(messageTo(QStringLiteral("chatId"),
                team,
                QStringLiteral("burst %1 message %2").arg(burst).arg(i)));
        const QList<QJsonObject> echoes = sender->sync();
        QCOMPARE(echoes.size(), 40);
        for (const QJsonObject &echo : echoes)
            sent.insert(echo.value(QLatin1String("messageId")).toString());
        if (++burst < 3)
            QTest::qWait(1100);
    }
    QCOMPARE(sent.size(), 120);
    alicePeer = login(QStringLiteral("alice"));
    QVERIFY(alicePeer);
    QSet<QString> held;
    qint64 oldest = std::numeric_limits<qint64>::max();
    const auto take = [&](const QJsonArray &messages) {
        qint64 previous = 0;
        QSet<QString> inPage;
        for (const QJsonValue &value : messages) {
            const QJsonObject message = value.toObject();
            const qint64 timestamp = qint64(message.value(QLatin1String("timestamp")).toDouble());
            if (timestamp < previous)
                return false;
            previous = timestamp;
            inPage.insert(message.value(QLatin1String("messageId")).toString());
            held.insert(message.value(QLatin1String("messageId")).toString());
            oldest = qMin(oldest, timestamp);
        }
        return inPage.size() == messages.size();
    };
    const QJsonArray first = alicePeer->loginFrames.at(1)
                                 .value(QLatin1String("chats"))
                                 .toArray()
                                 .at(0)
                                 .toObject()
                                 .value(QLatin1String("messages"))
                                 .toArray();
    QVERIFY(first.size() >= page);
    QVERIFY(take(first));

    int requests = 0;
    for (;; ++requests) {
        QVERIFY(requests < 120);
        const qint64 before = oldest;
        alicePeer->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
            { QStringLiteral("chatId"), team },
            { QStringLiteral("before"), before } });
        const QList<QJsonObject> frames = alicePeer->sync();
        QCOMPARE(frames.size(), 1);
        QCOMPARE(typeOf(frames.at(0)), QStringLiteral("chat_history"));
        const QJsonArray chats = frames.at(0).value(QLatin1String("chats")).toArray();
        QCOMPARE(chats.size(), 1);
        const QJsonObject chat = chats.at(0).toObject();
        QCOMPARE(keysOf(chat), sorted(chatKeys() + QStringList { QStringLiteral("messages") }));
        QCOMPARE(chat.value(QLatin1String("chatId")).toString(), team);
        const QJsonArray messages = chat.value(QLatin1String("messages")).toArray();
        int older = 0;
        for (const QJsonValue &message : messages) {
            const qint64 timestamp =
                qint64(message.toObject().value(QLatin1String("timestamp")).toDouble());
            QVERIFY(timestamp <= before);
            older += timestamp < before ? 1 : 0;
        }
        QVERIFY(take(messages));
        if (older == 0)
            break;
    }
    QCOMPARE(held, sent);
}

void TestChatServer::historyIsForMembersOnly()
{
    fixture.db->addMessage(team, alice, QStringLiteral("private to the team"), QString(), 100);
    std::unique_ptr<Peer> davePeer = login(QStringLiteral("dave"));
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    QVERIFY(davePeer && alicePeer);
    for (const QString &chatId : { team, QStringLiteral("nonexistent") }) {
        davePeer->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
            { QStringLiteral("chatId"), chatId },
            { QStringLiteral("before"), 4e9 } });
        QCOMPARE(davePeer->sync(),
            QList<QJsonObject> {
                protocol::errorFrame(QStringLiteral("Not a member of this chat")) });
    }
    for (const QJsonValue &before : { QJsonValue(QStringLiteral("4000000000")),
             QJsonValue(),
             QJsonValue(QJsonValue::Undefined) }) {
        QJsonObject request { { QStringLiteral("type"), QStringLiteral("get_history") },
            { QStringLiteral("chatId"), team } };
        if (!before.isUndefined())
            request.insert(QStringLiteral("before"), before);
        alicePeer->send(request);
        QCOMPARE(alicePeer->sync(),
            QList<QJsonObject> {
                protocol::errorFrame(QStringLiteral("Missing or invalid \"before\"")) });
    }
    alicePeer->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("before"), 100 } });
    const QList<QJsonObject> empty = alicePeer->sync();
    QCOMPARE(empty.size(), 1);
    const QJsonObject chat = empty.at(0).value(QLatin1String("chats")).toArray().at(0).toObject();
    QCOMPARE(chat.value(QLatin1String("messages")).toArray().size(), 1);
    alicePeer->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("before"), 99.5 } });
    const QJsonObject none =
        alicePeer->sync().at(0).value(QLatin1String("chats")).toArray().at(0).toObject();
    QVERIFY(none.value(QLatin1String("messages")).isArray());
    QCOMPARE(none.value(QLatin1String("messages")).toArray().size(), 0);
}

void TestChatServer::loginPushOfTwoThousandChatsStaysUnderTheBound()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("Building this push takes minutes under AddressSanitizer; the plain build covers it");
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    QSKIP("Building this push takes minutes under AddressSanitizer; the plain build covers it");
#endif
#endif
    // 2 000 chats with full pages of 50 would push about 20 MiB.
    constexpr int chatCount = 2000;
    constexpr int perChat = 50;
    QHash<QString, QString> newestOf;
    {
        Store::Transaction transaction(*fixture.db);
        for (int c = 0; c < chatCount; ++c) {
            const QString chat = fixture.db
                                     ->createChat(QString(),
                                         QStringLiteral("Chat %1").arg(c),
                                         QStringLiteral("group"),
                                         dave,
                                         { dave, bob })
                                     ->id;
            for (int m = 0; m < perChat; ++m)
                newestOf[chat] = fixture.db
                                     ->addMessage(chat,
                                         m % 2 ? bob : dave,
                                         QStringLiteral("message %1 of chat %2").arg(m).arg(c),
                                         QString(),
                                         1700000000 + m)
                                     ->id;
        }
        QVERIFY(transaction.commit());
    }
    std::unique_ptr<Peer> peer = connectPeer();
    QVERIFY(peer);
    peer->sendLogin(QStringLiteral("dave"), QStringLiteral("secret"));
    QString historyText;
    connect(&peer->socket, &QWebSocket::textMessageReceived, this, [&](const QString &text) {
        if (text.contains(QLatin1String("\"chat_history\"")))
            historyText = text;
    });
    QVERIFY(peer->waitForFrames(3, 60000));
    QVERIFY(historyText.toUtf8().size() < 8 * 1024 * 1024);

    const QJsonArray chats = peer->frames.at(1).value(QLatin1String("chats")).toArray();
    QCOMPARE(chats.size(), chatCount);
    int fewest = perChat;
    for (const QJsonValue &value : chats) {
        const QJsonObject chat = value.toObject();
        const QJsonArray messages = chat.value(QLatin1String("messages")).toArray();
        QVERIFY(!messages.isEmpty());
        fewest = std::min(fewest, int(messages.size()));
        // The newest ones, oldest first.
        QCOMPARE(messages.last().toObject().value(QLatin1String("messageId")).toString(),
            newestOf.value(chat.value(QLatin1String("chatId")).toString()));
        QVERIFY(messages.first().toObject().value(QLatin1String("timestamp")).toDouble()
            <= messages.last().toObject().value(QLatin1String("timestamp")).toDouble());
    }
    QVERIFY(fewest < perChat);
    // Still a useful page, not a single message, at this size.
    QVERIFY(fewest >= 10);
}

void TestChatServer::loginPushTooLargeForOneSecondStillPagesOn()
{
    QStringList ids;
    ids.append(fixture.db->addMessage(team, bob, QStringLiteral("older"), QString(), 100)->id);
    for (int i = 0; i < 40; ++i)
        ids.append(
            fixture.db
                ->addMessage(
                    team, bob, QStringLiteral("same second %1 ").arg(i).repeated(8), QString(), 200)
                ->id);
    fixture.server.reset();
    ChatServer::Options options = fixture.defaultOptions();
    // Room for one message of the chat, not for its newest second whole.
    options.maxLoginHistoryBytes = 3000;
    QVERIFY(fixture.start(options));
    std::unique_ptr<Peer> peer = login(QStringLiteral("alice"));
    QVERIFY(peer);
    const QJsonArray pushed = peer->loginFrames.at(1)
                                  .value(QLatin1String("chats"))
                                  .toArray()
                                  .at(0)
                                  .toObject()
                                  .value(QLatin1String("messages"))
                                  .toArray();
    QCOMPARE(pushed.size(), 1);
    QCOMPARE(pushed.at(0).toObject().value(QLatin1String("messageId")).toString(), ids.last());

    // Paging on from the pushed message's second brings the rest of that second and the older.
    peer->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("before"), 200 } });
    const QList<QJsonObject> frames = peer->sync();
    QCOMPARE(frames.size(), 1);
    QSet<QString> held { ids.last() };
    for (const QJsonValue &message : frames.at(0)
                                         .value(QLatin1String("chats"))
                                         .toArray()
                                         .at(0)
                                         .toObject()
                                         .value(QLatin1String("messages"))
                                         .toArray())
        held.insert(message.toObject().value(QLatin1String("messageId")).toString());
    QCOMPARE(held, QSet<QString>(ids.cbegin(), ids.cend()));
}

void TestChatServer::badInputKeepsServing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("loggedIn");

    for (const bool loggedIn : { false, true }) {
        const char *suffix = loggedIn ? " after login" : " before login";
        QTest::addRow("invalid JSON%s", suffix) << QStringLiteral("{\"type\": ") << loggedIn;
        QTest::addRow("array%s", suffix) << QStringLiteral("[1, 2]") << loggedIn;
        QTest::addRow("number%s", suffix) << QStringLiteral("42") << loggedIn;
        QTest::addRow("string%s", suffix) << QStringLiteral("\"message\"") << loggedIn;
        QTest::addRow("null%s", suffix) << QStringLiteral("null") << loggedIn;
        QTest::addRow("empty%s", suffix) << QString() << loggedIn;
        QTest::addRow("no type%s", suffix) << QStringLiteral("{\"chatId\": \"x\"}") << loggedIn;
        QTest::addRow("type a number%s", suffix) << QStringLiteral("{\"type\": 7}") << loggedIn;
        QTest::addRow("unknown type%s", suffix)
            << QStringLiteral("{\"type\": \"explode\"}") << loggedIn;
        QTest::addRow("deep nesting%s", suffix) << QString(100000, QLatin1Char('[')) << loggedIn;
        QTest::addRow("key repeated after an array%s", suffix)
            << QStringLiteral("{\"type\": \"get_history\", \"x\": [1], \"x\": [2]}") << loggedIn;
        QTest::addRow("login repeating a key%s", suffix)
            << QStringLiteral("{\"type\": \"login_with_password\", \"username\": \"carol\", "
                              "\"password\": \"secret\", \"password\": \"secret\"}")
            << loggedIn;
        QTest::addRow("login without password%s", suffix)
            << QStringLiteral("{\"type\": \"login_with_password\", \"username\": \"alice\"}")
            << loggedIn;
        QTest::addRow("login with numbers%s", suffix) << QStringLiteral(
            "{\"type\": \"login_with_password\", \"username\": 1, \"password\": 2}")
                                                      << loggedIn;
    }
    QTest::newRow("seen without message id")
        << QStringLiteral("{\"type\": \"message_seen\", \"chatId\": \"x\"}") << true;
    QTest::newRow("edit with ids as numbers") << QStringLiteral(
        "{\"type\": \"edit_message\", \"chatId\": 1, \"messageId\": 2, \"newContent\": \"x\"}")
                                              << true;
    QTest::newRow("delete without chat")
        << QStringLiteral("{\"type\": \"delete_message\", \"messageId\": \"m1\"}") << true;
    QTest::newRow("history before infinity")
        << QStringLiteral("{\"type\": \"get_history\", \"chatId\": \"x\", \"before\": 1e999}")
        << true;
    QTest::newRow("message id huge number") << QStringLiteral(
        "{\"type\": \"message_seen\", \"chatId\": \"x\", \"messageId\": "
        "\"m99999999999999999999999\"}") << true;
    QTest::newRow("login twice") << QStringLiteral(
        "{\"type\": \"login_with_password\", \"username\": \"alice\", \"password\": \"secret\"}")
                                 << true;
}

void TestChatServer::badInputKeepsServing()
{
    QFETCH(QString, text);
    QFETCH(bool, loggedIn);
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> peer = loggedIn ? login(QStringLiteral("alice")) : connectPeer();
    QVERIFY(bobPeer && peer);

    peer->socket.sendTextMessage(text);
    const QList<QJsonObject> frames = peer->sync();
    QCOMPARE(frames.size(), 1);
    QCOMPARE(typeOf(frames.at(0)), QStringLiteral("error"));
    QVERIFY(!frames.at(0).value(QLatin1String("message")).toString().isEmpty());
    QVERIFY(!peer->closed);
    QCOMPARE(bobPeer->sync(), QList<QJsonObject>());

    // Both connections still work.
    const QJsonObject echo = sendAndEcho(
        *bobPeer, messageTo(QStringLiteral("chatId"), team, QStringLiteral("still here")));
    QCOMPARE(typeOf(echo), QStringLiteral("message"));
    if (loggedIn)
        QCOMPARE(peer->sync(), QList<QJsonObject> { echo });
    else
        QCOMPARE(peer->sync(), QList<QJsonObject>());
}

void TestChatServer::oversizedAndBinaryFramesClose_data()
{
    QTest::addColumn<QByteArray>("binary");
    QTest::addColumn<int>("textBytes");

    QTest::newRow("text just over 1 MiB") << QByteArray() << 1024 * 1024 + 1;
    QTest::newRow("text of 3 MiB") << QByteArray() << 3 * 1024 * 1024;
    QTest::newRow("binary frame") << QByteArray("{\"type\":\"probe\"}") << 0;
}

void TestChatServer::oversizedAndBinaryFramesClose()
{
    QFETCH(QByteArray, binary);
    QFETCH(int, textBytes);
    std::unique_ptr<Peer> bobPeer = login(QStringLiteral("bob"));
    std::unique_ptr<Peer> peer = login(QStringLiteral("alice"));
    QVERIFY(bobPeer && peer);

    if (!binary.isEmpty()) {
        peer->socket.sendBinaryMessage(binary);
    } else {
        // A valid message whose text alone is too large.
        const QJsonObject frame = messageTo(QStringLiteral("chatId"), team, QString());
        const int overhead = QJsonDocument(frame).toJson(QJsonDocument::Compact).size();
        const QString text = QString::fromUtf8(QJsonDocument(
            messageTo(
                QStringLiteral("chatId"), team, QString(textBytes - overhead, QLatin1Char('x'))))
                                                   .toJson(QJsonDocument::Compact));
        QCOMPARE(text.toUtf8().size(), textBytes);
        peer->socket.sendTextMessage(text);
    }
    QTRY_VERIFY_WITH_TIMEOUT(peer->closed, 10000);
    QCOMPARE(peer->closeCode, int(QWebSocketProtocol::CloseCodePolicyViolated));
    QCOMPARE(peer->frames, QList<QJsonObject>());
    QCOMPARE(storedMessages(), 0);
    QCOMPARE(typeOf(sendAndEcho(
                 *bobPeer, messageTo(QStringLiteral("chatId"), team, QStringLiteral("fine")))),
        QStringLiteral("message"));
}

void TestChatServer::typedRequestsBeyondTheBurstWaitTheirTurn()
{
    qint64 now = 1700000000000;
    ChatServer::Options options = fixture.defaultOptions();
    options.clock = [&now] { return now; };
    fixture.server.reset();
    QVERIFY(fixture.start(options));
    std::unique_ptr<Peer> peer = login(QStringLiteral("alice"));
    QVERIFY(peer);

    // Messages come at most 50 at once and 20 a second after that; with the clock standing
    // still the rest wait, and none is refused.
    for (int i = 0; i < 60; ++i)
        peer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("m%1").arg(i)));
    QVERIFY(peer->waitForFrames(50));
    QTRY_COMPARE(fixture.server->queuedRequests(), 10);
    QCOMPARE(peer->frames.size(), 50);

    now += 1000;
    QVERIFY(peer->waitForFrames(60));
    const QList<QJsonObject> frames = peer->frames + peer->sync();
    QCOMPARE(frames.size(), 60);
    for (int i = 0; i < frames.size(); ++i) {
        QCOMPARE(typeOf(frames.at(i)), QStringLiteral("message"));
        QCOMPARE(frames.at(i).value(QLatin1String("content")).toObject(),
            content(QStringLiteral("m%1").arg(i)));
        // Stamped when served, by the server's clock.
        QCOMPARE(frames.at(i).value(QLatin1String("timestamp")).toDouble(),
            i < 50 ? 1700000000.0 : 1700000001.0);
    }
    QCOMPARE(fixture.server->queuedRequests(), 0);
    QVERIFY(!peer->closed);
}

void TestChatServer::servesStaticFilesOverHttp_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("hasBody");

    QTest::newRow("GET default avatar")
        << QByteArray("GET /static/default.png HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("200")
        << true;
    QTest::newRow("HEAD default avatar")
        << QByteArray("HEAD /static/default.png HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("200")
        << false;
    QTest::newRow("dot dot") << QByteArray("GET /static/../ferrow.sqlite HTTP/1.1\r\n\r\n")
                             << QByteArray("404") << true;
    QTest::newRow("encoded dot dot")
        << QByteArray("GET /static/%2e%2e/ferrow.sqlite HTTP/1.1\r\n\r\n") << QByteArray("404")
        << true;
    QTest::newRow("absolute path")
        << QByteArray("GET /static//etc/passwd HTTP/1.1\r\n\r\n") << QByteArray("404") << true;
    QTest::newRow("database by name")
        << QByteArray("GET /ferrow.sqlite HTTP/1.1\r\n\r\n") << QByteArray("404") << true;
    QTest::newRow("root") << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray("404") << true;
    QTest::newRow("POST") << QByteArray(
        "POST /static/default.png HTTP/1.1\r\nContent-Length: 0\r\n\r\n")
                          << QByteArray("405") << true;
    QTest::newRow("WebSocket path without upgrade")
        << QByteArray("GET /ws HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("400") << true;
    QTest::newRow("request head too large")
        << QByteArray("GET /static/default.png HTTP/1.1\r\nX: ") + QByteArray(20000, 'a')
        << QByteArray("431") << true;
}

void TestChatServer::servesStaticFilesOverHttp()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(bool, hasBody);
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    QVERIFY(alicePeer);

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, fixture.server->serverPort());
    QVERIFY(socket.waitForConnected(5000));
    socket.write(request);
    QByteArray response;
    QVERIFY(QTest::qWaitFor(
        [&] {
            response += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000));
    response += socket.readAll();
    QVERIFY2(response.startsWith("HTTP/1.1 " + status + ' '), response.left(200).constData());
    const int headEnd = response.indexOf("\r\n\r\n");
    QVERIFY(headEnd > 0);
    const QByteArray head = response.left(headEnd);
    const QByteArray body = response.mid(headEnd + 4);
    QCOMPARE(!body.isEmpty(), hasBody);
    if (status == "200") {
        QVERIFY(head.contains("\r\nContent-Type: image/png"));
        QVERIFY(head.contains("\r\nContent-Length: "
            + QByteArray::number(
                QFileInfo(fixture.dir->filePath(QStringLiteral("static/default.png"))).size())));
        if (hasBody)
            QVERIFY(body.startsWith("\x89PNG"));
    }
    QVERIFY(!response.contains("SQLite"));
    // The WebSocket side is unaffected.
    QCOMPARE(typeOf(sendAndEcho(
                 *alicePeer, messageTo(QStringLiteral("chatId"), team, QStringLiteral("ok")))),
        QStringLiteral("message"));
}

void TestChatServer::echoedMessagesSurviveRestart()
{
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    QVERIFY(alicePeer);
    QStringList echoed;
    for (int i = 0; i < 20; ++i)
        alicePeer->send(
            messageTo(QStringLiteral("chatId"), team, QStringLiteral("keep %1").arg(i)));
    for (const QJsonObject &echo : alicePeer->sync())
        echoed.append(echo.value(QLatin1String("messageId")).toString());
    QCOMPARE(echoed.size(), 20);
    alicePeer->send(messageTo(QStringLiteral("recipientId"), dave, QStringLiteral("new chat")));
    QCOMPARE(alicePeer->sync().size(), 2);
    alicePeer.reset();

    QVERIFY(fixture.restart());
    std::unique_ptr<Peer> again = login(QStringLiteral("alice"));
    QVERIFY(again);
    const QJsonArray chats = again->loginFrames.at(1).value(QLatin1String("chats")).toArray();
    QCOMPARE(chats.size(), 2);
    QStringList stored;
    for (const QJsonValue &message :
        chats.at(0).toObject().value(QLatin1String("messages")).toArray())
        stored.append(message.toObject().value(QLatin1String("messageId")).toString());
    QCOMPARE(stored, echoed);
    QCOMPARE(chats.at(1).toObject().value(QLatin1String("chatId")).toString(),
        protocol::privateChatId(alice, dave));
}

void TestChatServer::shutdownClosesConnections()
{
    std::unique_ptr<Peer> alicePeer = login(QStringLiteral("alice"));
    std::unique_ptr<Peer> anonymous = connectPeer();
    QVERIFY(alicePeer && anonymous);
    QSignalSpy stopped(fixture.server.get(), &ChatServer::stopped);
    fixture.server->shutdown();
    QTRY_VERIFY_WITH_TIMEOUT(alicePeer->closed && anonymous->closed, 5000);
    QCOMPARE(alicePeer->closeCode, int(QWebSocketProtocol::CloseCodeGoingAway));
    QVERIFY(stopped.count() == 1 || stopped.wait(5000));
    QCOMPARE(fixture.server->connectionCount(), 0);

    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, fixture.server->serverPort());
    QVERIFY(!late.waitForConnected(1000) || !late.waitForReadyRead(500));
}

FERROW_SERVER_TEST_MAIN(TestChatServer)

#include "tst_chatserver.moc"
