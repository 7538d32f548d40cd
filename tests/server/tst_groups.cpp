#include "chatserver.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "testframes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>
#include <algorithm>
#include <memory>

namespace
{

QStringList typesOf(const QList<QJsonObject> &frames)
{
    QStringList types;
    for (const QJsonObject &frame : frames)
        types.append(typeOf(frame));
    return types;
}

// What the rows' frames say of "Team" and of the message in it, with "$" names for ids.
const QString team = QStringLiteral(R"("chatId":"$team","chatType":"group","avatarUrl":"")");
const QString earlier = QStringLiteral(R"({"messageId":"$earlier","chatId":"$team",
    "senderId":"$carol","timestamp":1700000000,"content":{"text":"before","file":null,
    "theme":null},"replyToId":null,"seenBy":[],"editedAt":0})");

} // namespace

// Groups made, renamed, extended and left from the clients: alice (on two connections) owns
// "Team" with bob and carol; dave is in no group.
class TestGroups : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void requestsTellExactlyWhoMustKnow_data();
    void requestsTellExactlyWhoMustKnow();
    void nothingReachesTheLeaverAfterLeaving_data();
    void nothingReachesTheLeaverAfterLeaving();

private:
    // `text` with every "$name" replaced by the id it stands for.
    QByteArray named(QString text) const;

    ServerFixture fixture;
    QString teamId;
    // Ids by the names the rows use; the connections of each user name.
    QHash<QString, QString> ids;
    QHash<QString, Peer *> peers;
    std::vector<std::unique_ptr<Peer>> connections;
};

void TestGroups::init()
{
    FERROW_SET_UP(fixture);
    ids.clear();
    peers.clear();
    connections.clear();
    for (const char *name : { "alice", "bob", "carol", "dave", "eve" })
        ids.insert(QLatin1String(name), fixture.addUser(QLatin1String(name)));
    const QString alice = ids.value(QStringLiteral("alice"));
    const QString bob = ids.value(QStringLiteral("bob"));
    teamId = fixture.db
                 ->createChat({},
                     QStringLiteral("Team"),
                     QStringLiteral("group"),
                     alice,
                     { alice, bob, ids.value(QStringLiteral("carol")) })
                 ->id;
    ids.insert(QStringLiteral("team"), teamId);
    const QString privateId = std::min(alice, bob) + QLatin1Char('_') + std::max(alice, bob);
    fixture.db->createChat(privateId, {}, QStringLiteral("private"), alice, { alice, bob });
    ids.insert(QStringLiteral("private"), privateId);
    ids.insert(QStringLiteral("earlier"),
        fixture.db
            ->addMessage(teamId,
                ids.value(QStringLiteral("carol")),
                QStringLiteral("before"),
                {},
                1700000000)
            ->id);
    ChatServer::Options options = fixture.defaultOptions();
    options.maxGroupMembers = 4;
    QVERIFY(fixture.start(options));
    for (const char *name : { "alice", "alice2", "bob", "carol", "dave" }) {
        connections.push_back(fixture.login(QString::fromLatin1(name).remove(QLatin1Char('2'))));
        QVERIFY(connections.back());
        peers.insert(QLatin1String(name), connections.back().get());
    }
}

void TestGroups::cleanup()
{
    connections.clear();
    fixture.stop();
}

QByteArray TestGroups::named(QString text) const
{
    for (auto it = ids.cbegin(); it != ids.cend(); ++it)
        text.replace(QLatin1Char('$') + it.key(), it.value());
    return text.toUtf8();
}

void TestGroups::requestsTellExactlyWhoMustKnow_data()
{
    QTest::addColumn<QString>("asker");
    QTest::addColumn<QString>("request");
    // The frames each connection gets, by connection; those not named get none.
    QTest::addColumn<QString>("told");

    const QString updated = QStringLiteral(R"({"type":"chat_updated","chat":{%1,%2}})");
    const auto allTold = [&](const QString &chat, const QStringList &whom) {
        QStringList parts;
        for (const QString &peer : whom)
            parts.append(QStringLiteral("\"%1\":[%2]").arg(peer, updated.arg(team, chat)));
        return parts.join(QLatin1Char(','));
    };
    const QString removed = QStringLiteral(R"({"type":"chat_removed","chatId":"$team"})");
    const QString lunch = QStringLiteral(
        R"({"type":"new_chat_info","chat":{"chatId":"$new","chatName":"Lunch","chatType":"group",)"
        R"("ownerId":"$alice","avatarUrl":"","members":["$alice","$bob"]}})");
    const QStringList everyone { QStringLiteral("alice"),
        QStringLiteral("alice2"),
        QStringLiteral("bob"),
        QStringLiteral("carol") };

    QTest::newRow("create: repeats and the creator left out")
        << "alice"
        << R"({"type":"create_group","requestId":"r1","name":" Lunch ",
               "members":["$bob","$alice","$bob"]})"
        << QStringLiteral(
               R"({"alice":[%1,{"type":"group_created","requestId":"r1","chatId":"$new"}],
                              "alice2":[%1],"bob":[%1]})")
               .arg(lunch);
    QTest::newRow("rename")
        << "alice"
        << R"({"type":"rename_chat","chatId":"$team","name":" Crew "})"
        << QStringLiteral("{%1}").arg(allTold(
               QStringLiteral(
                   R"("chatName":"Crew","ownerId":"$alice","members":["$alice","$bob","$carol"])"),
               everyone));
    QTest::newRow("add: a member again among them, history for the newcomer")
        << "alice"
        << R"({"type":"add_members","chatId":"$team","members":["$dave","$bob"]})"
        << QStringLiteral(
               R"({%1,"dave":[{"type":"new_chat_info","chat":{%2,%3,"messages":[%4]}}]})")
               .arg(allTold(QStringLiteral(R"("chatName":"Team","ownerId":"$alice",)"
                                           R"("members":["$alice","$bob","$carol","$dave"])"),
                        everyone),
                   team,
                   QStringLiteral(R"("chatName":"Team","ownerId":"$alice",)"
                                  R"("members":["$alice","$bob","$carol","$dave"])"),
                   earlier);
    QTest::newRow("a member leaves")
        << "bob"
        << R"({"type":"leave_chat","chatId":"$team"})"
        << QStringLiteral(R"({"bob":[%1],%2})")
               .arg(removed,
                   allTold(
                       QStringLiteral(
                           R"("chatName":"Team","ownerId":"$alice","members":["$alice","$carol"])"),
                       { QStringLiteral("alice"),
                           QStringLiteral("alice2"),
                           QStringLiteral("carol") }));
    QTest::newRow("the owner leaves: the longest-standing member owns it")
        << "alice"
        << R"({"type":"leave_chat","chatId":"$team"})"
        << QStringLiteral(R"({"alice":[%1],"alice2":[%1],%2})")
               .arg(removed,
                   allTold(QStringLiteral(
                               R"("chatName":"Team","ownerId":"$bob","members":["$bob","$carol"])"),
                       { QStringLiteral("bob"), QStringLiteral("carol") }));

    // Refusals: one "error" to the asker, nothing to anyone else, nothing changed.
    const auto refused = [](const char *message, const char *requestId = nullptr) {
        return QStringLiteral(R"({"asker":[{"type":"error","message":"%1"%2}]})")
            .arg(QString::fromUtf8(message),
                requestId ? QStringLiteral(R"(,"requestId":"%1")").arg(QString::fromUtf8(requestId))
                          : QString());
    };
    const char *badName = "A group name must be 1 to 100 characters";
    const char *badMembers = R"(Missing or invalid \"members\")";
    const char *tooMany = "A group holds at most 4 members";
    const char *notMember = "Not a member of this chat";
    const QString create =
        QStringLiteral(R"({"type":"create_group","requestId":"r2","name":%1,"members":%2})");
    QString crowd;
    for (int i = 0; i < 100000; ++i)
        crowd += QStringLiteral(",\"u%1\"").arg(i);
    crowd = QLatin1Char('[') + crowd.mid(1) + QLatin1Char(']');
    const QString name10000 =
        QLatin1Char('"') + QString(10000, QLatin1Char('x')) + QLatin1Char('"');

    QTest::newRow("create: empty name")
        << "alice" << create.arg(QStringLiteral(R"("")"), QStringLiteral(R"(["$bob"])"))
        << refused(badName, "r2");
    QTest::newRow("create: all white space")
        << "alice" << create.arg(QStringLiteral(R"(" \t\n ")"), QStringLiteral(R"(["$bob"])"))
        << refused(badName, "r2");
    QTest::newRow("create: 10 000 characters")
        << "alice" << create.arg(name10000, QStringLiteral(R"(["$bob"])"))
        << refused(badName, "r2");
    QTest::newRow("create: a NUL in the name")
        << "alice" << create.arg(QStringLiteral(R"("a\u0000b")"), QStringLiteral(R"(["$bob"])"))
        << refused(badName, "r2");
    QTest::newRow("create: a name that is a number")
        << "alice" << create.arg(QStringLiteral("7"), QStringLiteral(R"(["$bob"])"))
        << refused(badName, "r2");
    QTest::newRow("create: members no list")
        << "alice" << create.arg(QStringLiteral(R"("G")"), QStringLiteral(R"("$bob")"))
        << refused(badMembers, "r2");
    QTest::newRow("create: an id of the wrong type")
        << "alice" << create.arg(QStringLiteral(R"("G")"), QStringLiteral(R"(["$bob",5])"))
        << refused(badMembers, "r2");
    QTest::newRow("create: unknown user")
        << "alice" << create.arg(QStringLiteral(R"("G")"), QStringLiteral(R"(["nobody"])"))
        << refused("Unknown user", "r2");
    QTest::newRow("create: 100 000 ids")
        << "alice" << create.arg(QStringLiteral(R"("G")"), crowd) << refused(tooMany, "r2");
    QTest::newRow("rename: not the owner")
        << "bob"
        << R"({"type":"rename_chat","chatId":"$team","name":"X"})"
        << refused("Only the group's owner can rename it");
    QTest::newRow("rename: all white space")
        << "alice"
        << R"({"type":"rename_chat","chatId":"$team","name":"   "})" << refused(badName);
    QTest::newRow("rename: a private chat")
        << "alice"
        << R"({"type":"rename_chat","chatId":"$private","name":"X"})"
        << refused("This chat is not a group");
    QTest::newRow("rename: a chat of others")
        << "dave"
        << R"({"type":"rename_chat","chatId":"$team","name":"X"})" << refused(notMember);
    QTest::newRow("add: not the owner")
        << "carol"
        << R"({"type":"add_members","chatId":"$team","members":["$dave"]})"
        << refused("Only the group's owner can add members");
    QTest::newRow("add: unknown user")
        << "alice"
        << R"({"type":"add_members","chatId":"$team","members":["nobody"]})"
        << refused("Unknown user");
    QTest::newRow("add: beyond the most members")
        << "alice"
        << R"({"type":"add_members","chatId":"$team","members":["$dave","$eve"]})"
        << refused(tooMany);
    QTest::newRow("add: 100 000 ids")
        << "alice"
        << QStringLiteral(R"({"type":"add_members","chatId":"$team","members":%1})").arg(crowd)
        << refused(tooMany);
    QTest::newRow("leave: a private chat")
        << "alice"
        << R"({"type":"leave_chat","chatId":"$private"})" << refused("This chat is not a group");
    QTest::newRow("leave: a chat of others")
        << "dave"
        << R"({"type":"leave_chat","chatId":"$team"})" << refused(notMember);
    QTest::newRow("leave: unknown chat")
        << "alice"
        << R"({"type":"leave_chat","chatId":"g0"})" << refused(notMember);
    QTest::newRow("leave: a chat id that is a number")
        << "alice"
        << R"({"type":"leave_chat","chatId":3})" << refused(R"(Missing or invalid \"chatId\")");
}

void TestGroups::requestsTellExactlyWhoMustKnow()
{
    QFETCH(QString, asker);
    QFETCH(QString, request);
    QFETCH(QString, told);
    told.replace(QStringLiteral("\"asker\""), QLatin1Char('"') + asker + QLatin1Char('"'));
    const ChatRecord before = *fixture.db->chat(teamId);
    const std::size_t chatsBefore =
        fixture.db->chatsOfUser(ids.value(QStringLiteral("alice"))).size();

    peers.value(asker)->socket.sendTextMessage(QString::fromUtf8(named(request)));
    QHash<QString, QList<QJsonObject>> frames;
    frames.insert(asker, peers.value(asker)->sync());
    // A new group's id comes with the answer.
    for (const QJsonObject &frame : frames.value(asker)) {
        if (typeOf(frame) == QLatin1String("group_created"))
            ids.insert(QStringLiteral("new"), frame.value(QLatin1String("chatId")).toString());
    }
    const QJsonObject expected = QJsonDocument::fromJson(named(told)).object();
    QVERIFY(!expected.isEmpty());
    for (auto peer = peers.cbegin(); peer != peers.cend(); ++peer) {
        if (peer.key() != asker)
            frames.insert(peer.key(), peer.value()->sync());
        QList<QJsonObject> wanted;
        for (const QJsonValue &frame : expected.value(peer.key()).toArray())
            wanted.append(frame.toObject());
        QCOMPARE(frames.value(peer.key()), wanted);
    }
    // What the frames say is what the store holds; a group is listed to its members only.
    const ChatRecord now = *fixture.db->chat(teamId);
    if (typesOf(frames.value(asker)) == QStringList { QStringLiteral("error") }) {
        QCOMPARE(now.name, before.name);
        QCOMPARE(now.members, before.members);
        QCOMPARE(fixture.db->chatsOfUser(ids.value(QStringLiteral("alice"))).size(), chatsBefore);
    }
    for (const char *name : { "alice", "bob", "carol", "dave" }) {
        const QString id = ids.value(QLatin1String(name));
        const std::vector<ChatRecord> listed = fixture.db->chatsOfUser(id);
        QCOMPARE(std::any_of(listed.cbegin(),
                     listed.cend(),
                     [&](const ChatRecord &chat) { return chat.id == teamId; }),
            now.members.contains(id));
    }
    // The leaver's messages stay.
    QVERIFY(fixture.db->message(ids.value(QStringLiteral("earlier"))));
}

void TestGroups::nothingReachesTheLeaverAfterLeaving_data()
{
    QTest::addColumn<bool>("addOnOtherDevice");
    QTest::newRow("messages in flight") << false;
    QTest::newRow("the leaver's other device adds someone meanwhile") << true;
}

void TestGroups::nothingReachesTheLeaverAfterLeaving()
{
    QFETCH(bool, addOnOtherDevice);
    Peer &alice = *peers.value(QStringLiteral("alice"));
    Peer &bob = *peers.value(QStringLiteral("bob"));
    // Bob writes on while alice (the owner) leaves on one device, and perhaps adds dave on the
    // other at the same time.
    constexpr int burst = 30;
    for (int i = 0; i < burst; ++i) {
        bob.send(messageTo(QStringLiteral("chatId"), teamId, QString::number(i)));
        if (i != burst / 2)
            continue;
        alice.socket.sendTextMessage(
            QString::fromUtf8(named(QStringLiteral(R"({"type":"leave_chat","chatId":"$team"})"))));
        if (addOnOtherDevice)
            peers.value(QStringLiteral("alice2"))
                ->socket.sendTextMessage(QString::fromUtf8(named(QStringLiteral(
                    R"({"type":"add_members","chatId":"$team","members":["$dave"]})"))));
    }
    QVERIFY(bob.waitUntil(
        [&] { return typesOf(bob.frames).count(QStringLiteral("message")) == burst; }));
    bob.send({ { QStringLiteral("type"), QStringLiteral("typing") },
        { QStringLiteral("chatId"), teamId } });
    bob.sync();
    for (const char *device : { "alice", "alice2" }) {
        QStringList types = typesOf(peers.value(QLatin1String(device))->sync());
        const int removal = types.indexOf(QStringLiteral("chat_removed"));
        QVERIFY(removal >= 0);
        // An add that came after the leave is refused; nothing else follows the removal.
        types = types.mid(removal + 1);
        types.removeAll(QStringLiteral("error"));
        QCOMPARE(types, QStringList());
    }
    const ChatRecord now = *fixture.db->chat(teamId);
    QVERIFY(!now.members.contains(ids.value(QStringLiteral("alice"))));
    QCOMPARE(now.ownerId, ids.value(QStringLiteral("bob")));
    // Dave is in only if the add came first.
    QCOMPARE(now.members.contains(ids.value(QStringLiteral("dave"))),
        typesOf(peers.value(QStringLiteral("dave"))->sync())
            .contains(QStringLiteral("new_chat_info")));
    bob.send(messageTo(QStringLiteral("chatId"), teamId, QStringLiteral("after")));
    bob.sync();
    QCOMPARE(alice.sync(), QList<QJsonObject>());
    alice.send(messageTo(QStringLiteral("chatId"), teamId, QStringLiteral("back?")));
    QCOMPARE(alice.sync().value(0).value(QLatin1String("message")).toString(),
        QStringLiteral("Not a member of this chat"));
}

FERROW_SERVER_TEST_MAIN(TestGroups)
#include "tst_groups.moc"
