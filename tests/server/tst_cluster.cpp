#include "admin.h"
#include "chatserver.h"
#include "credentials.h"
#include "peer.h"
#include "protocol.h"
#include "requests.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "storelocation.h"
#include "testframes.h"
#include "testpostgres.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <memory>
#include <vector>

namespace
{

const QString serverBinary = QStringLiteral(FERROW_SERVER_BINARY);

// What a frame says about the team chat's messages, in a form to compare across peers.
QString eventOf(const QJsonObject &frame)
{
    return typeOf(frame) + QLatin1Char(' ') + frame.value(QLatin1String("messageId")).toString();
}

QStringList chatEvents(const Peer &peer, const QString &chatId)
{
    QStringList events;
    for (const QJsonObject &frame : peer.frames) {
        // Receipts go to the sender alone.
        if (frame.value(QLatin1String("chatId")).toString() == chatId
            && typeOf(frame) != QLatin1String("message_seen_update"))
            events.append(eventOf(frame));
    }
    return events;
}

int countOf(const Peer &peer, const QString &type)
{
    int count = 0;
    for (const QJsonObject &frame : peer.frames)
        count += typeOf(frame) == type ? 1 : 0;
    return count;
}

QByteArray httpGet(quint16 port, const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return QByteArray();
    socket.write("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray response;
    (void)QTest::qWaitFor(
        [&] {
            response += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    return response + socket.readAll();
}

} // namespace

// Several servers on one database, each delivering to its own connections what all of them
// write; and, on SQLite, a server picking up what the administration commands change.
class TestCluster : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void changesCrossServersOnceInOneOrder_data();
    void changesCrossServersOnceInOneOrder();
    void typingAndOwnReceiptsCrossServers();
    void groupChangesCrossServersInOrder();
    void writeRacingAGroupChangeElsewhereFollowsIt_data();
    void writeRacingAGroupChangeElsewhereFollowsIt();
    void adminChangesReachConnectedClients_data();
    void adminChangesReachConnectedClients();
    void tokenFromOneServerLogsInOnceOnAnother();
    void passwordChangeEndsSessionsOnEveryServer();
    void failedLoginsThrottleOnEveryServer();
    void connectionCapPerUserHoldsAcrossServers();
    void serversSurviveTheDatabaseGoingAway_data();
    void serversSurviveTheDatabaseGoingAway();
    void killedServerLosesNothingEchoed();

private:
    // Opens a store and starts `count` servers on it; PostgreSQL unless `sqlite`. False when
    // that fails, with `skipReason` set where PostgreSQL cannot be had.
    bool startCluster(int count, bool sqlite = false, ChatServer::Options options = {});
    QString addUser(const QString &username);
    quint16 port(int server) const;
    // Sends `request` until it is answered with something other than an "error"; the last answer.
    static QJsonObject sendUntilStored(Peer &peer, const QJsonObject &request);
    quint16 startProcess(QProcess &process);

    std::unique_ptr<QTemporaryDir> dir;
    StoreLocation location;
    std::unique_ptr<Store> db;
    std::vector<std::unique_ptr<ChatServer>> servers;
    QString skipReason;
};

#define START_CLUSTER(...)                                                                         \
    do {                                                                                           \
        if (!startCluster(__VA_ARGS__)) {                                                          \
            if (!skipReason.isEmpty())                                                             \
                QSKIP(qPrintable(skipReason));                                                     \
            QFAIL("cannot start the servers");                                                     \
        }                                                                                          \
    } while (false)

void TestCluster::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestCluster::cleanup()
{
    servers.clear();
    db.reset();
    dir.reset();
    // A test that stopped the database leaves it running for the next.
    ServerFixture::testPostgres().start();
}

bool TestCluster::startCluster(int count, bool sqlite, ChatServer::Options options)
{
    location = StoreLocation { dir->path(), std::nullopt };
    if (!sqlite) {
        TestPostgres &postgres = ServerFixture::testPostgres();
        if (!postgres.start()) {
            skipReason = postgres.skipReason();
            return false;
        }
        location.database = postgres.createDatabase();
        if (!location.database) {
            qWarning() << postgres.error();
            return false;
        }
    }
    QString error;
    db = location.open(&error);
    if (!db) {
        qWarning() << error;
        return false;
    }
    for (int i = 0; i < count; ++i) {
        options.staticDir = dir->filePath(QStringLiteral("static"));
        options.passwordLimits = credentials::cheapestLimits;
        servers.push_back(std::make_unique<ChatServer>(location.connector(), options));
        if (!servers.back()->listen(QHostAddress::LocalHost, 0)) {
            qWarning() << servers.back()->errorString();
            return false;
        }
    }
    return true;
}

QString TestCluster::addUser(const QString &username)
{
    // The cheapest hash keeps the logins quick; the servers hash with the same limits.
    static const QString hash =
        credentials::hashPassword(QStringLiteral("secret"), credentials::cheapestLimits);
    const std::optional<UserRecord> user = db->addUser(username, hash);
    return user ? user->id : QString();
}

quint16 TestCluster::port(int server) const
{
    return servers.at(std::size_t(server))->serverPort();
}

QJsonObject TestCluster::sendUntilStored(Peer &peer, const QJsonObject &request)
{
    QJsonObject answer;
    for (int attempt = 0; attempt < 50; ++attempt) {
        peer.frames.clear();
        peer.send(request);
        if (!peer.waitForFrames(1, 15000))
            return {};
        answer = peer.frames.first();
        if (typeOf(answer) != QLatin1String("error"))
            return answer;
        // The database is on its way back; the server tries a new connection with a back-off.
        QTest::qWait(200);
    }
    return answer;
}

void TestCluster::changesCrossServersOnceInOneOrder_data()
{
    QTest::addColumn<int>("serverCount");
    QTest::newRow("two servers") << 2;
    QTest::newRow("three servers") << 3;
}

void TestCluster::changesCrossServersOnceInOneOrder()
{
    QFETCH(int, serverCount);
    START_CLUSTER(serverCount);
    const QStringList ids { addUser(QStringLiteral("alice")),
        addUser(QStringLiteral("bob")),
        addUser(QStringLiteral("carol")) };
    const QString team =
        db->createChat(QString(), QStringLiteral("Team"), QStringLiteral("group"), ids.at(0), ids)
            ->id;
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(Peer::loginTo(port(i % serverCount),
            QStringList { QStringLiteral("alice"), QStringLiteral("bob"), QStringLiteral("carol") }
                .at(i),
            QStringLiteral("secret")));
        QVERIFY(peers.back());
    }
    Peer &alice = *peers.at(0);
    Peer &bob = *peers.at(1);
    Peer &carol = *peers.at(2);

    // Alice and Bob write at once, through different servers.
    constexpr int each = 10;
    for (int i = 0; i < each; ++i) {
        alice.send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("a%1").arg(i)));
        bob.send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("b%1").arg(i)));
    }
    for (Peer *peer : { &alice, &bob, &carol })
        QVERIFY(
            peer->waitUntil([&] { return countOf(*peer, QStringLiteral("message")) >= 2 * each; }));
    QStringList messageIds;
    for (const QString &event : chatEvents(carol, team))
        messageIds.append(event.section(QLatin1Char(' '), 1));
    const auto firstBy = [&](const QString &text) {
        for (const QJsonObject &frame : carol.frames) {
            if (frame.value(QLatin1String("content")).toObject().value(QLatin1String("text"))
                == text)
                return frame.value(QLatin1String("messageId")).toString();
        }
        return QString();
    };
    const QString aliceFirst = firstBy(QStringLiteral("a0"));
    const QString bobFirst = firstBy(QStringLiteral("b0"));

    alice.send({ { QStringLiteral("type"), QStringLiteral("edit_message") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), aliceFirst },
        { QStringLiteral("newContent"), QStringLiteral("a0, edited") } });
    bob.send({ { QStringLiteral("type"), QStringLiteral("delete_message") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), bobFirst } });
    carol.send(seenRequest(team, aliceFirst));
    // The first private message opens a chat on the other's server too.
    carol.send(messageTo(QStringLiteral("recipientId"), ids.at(1), QStringLiteral("psst")));
    for (Peer *peer : { &alice, &bob, &carol })
        QVERIFY(peer->waitUntil([&] {
            return countOf(*peer, QStringLiteral("message_updated")) == 1
                && countOf(*peer, QStringLiteral("message_deleted")) == 1;
        }));
    QVERIFY(alice.waitUntil(
        [&] { return countOf(alice, QStringLiteral("message_seen_update")) == 1; }));
    for (Peer *peer : { &bob, &carol })
        QVERIFY(peer->waitUntil(
            [&] { return countOf(*peer, QStringLiteral("message")) == 2 * each + 1; }));

    // Every peer saw the team's changes once each, in one order.
    const QStringList order = chatEvents(carol, team);
    QCOMPARE(order.size(), 2 * each + 2);
    QCOMPARE(QSet<QString>(order.cbegin(), order.cend()).size(), order.size());
    QCOMPARE(chatEvents(alice, team), order);
    QCOMPARE(chatEvents(bob, team), order);
    QVERIFY(order.indexOf(QStringLiteral("message_updated ") + aliceFirst)
        > order.indexOf(QStringLiteral("message ") + aliceFirst));
    // The receipt goes to the sender alone, the new chat to both of its members, before its
    // first message.
    QCOMPARE(countOf(bob, QStringLiteral("message_seen_update")), 0);
    QCOMPARE(countOf(alice, QStringLiteral("new_chat_info")), 0);
    for (Peer *peer : { &bob, &carol }) {
        QStringList types;
        for (const QJsonObject &frame : peer->frames) {
            if (frame.value(QLatin1String("chatId")).toString().contains(QLatin1Char('_'))
                || typeOf(frame) == QLatin1String("new_chat_info"))
                types.append(typeOf(frame));
        }
        QCOMPARE(
            types, (QStringList { QStringLiteral("new_chat_info"), QStringLiteral("message") }));
    }
}

void TestCluster::groupChangesCrossServersInOrder()
{
    START_CLUSTER(2);
    const QString alice = addUser(QStringLiteral("alice"));
    const QString bob = addUser(QStringLiteral("bob"));
    const QString carol = addUser(QStringLiteral("carol"));
    // Alice on the first server, the others on the second.
    const auto alicePeer =
        Peer::loginTo(port(0), QStringLiteral("alice"), QStringLiteral("secret"));
    const auto bobPeer = Peer::loginTo(port(1), QStringLiteral("bob"), QStringLiteral("secret"));
    const auto carolPeer =
        Peer::loginTo(port(1), QStringLiteral("carol"), QStringLiteral("secret"));
    QVERIFY(alicePeer && bobPeer && carolPeer);
    alicePeer->send({ { QStringLiteral("type"), QStringLiteral("create_group") },
        { QStringLiteral("requestId"), QStringLiteral("g") },
        { QStringLiteral("name"), QStringLiteral("Ops") },
        { QStringLiteral("members"), QJsonArray { bob } } });
    QVERIFY(
        alicePeer->waitUntil([&] { return countOf(*alicePeer, QStringLiteral("group_created")); }));
    const QString group = alicePeer->frames.last().value(QLatin1String("chatId")).toString();
    QVERIFY(bobPeer->waitUntil([&] { return countOf(*bobPeer, QStringLiteral("new_chat_info")); }));

    // Bob writes through his server while alice renames, adds carol and leaves through hers.
    for (int i = 0; i < 10; ++i)
        bobPeer->send(messageTo(QStringLiteral("chatId"), group, QString::number(i)));
    alicePeer->send({ { QStringLiteral("type"), QStringLiteral("rename_chat") },
        { QStringLiteral("chatId"), group },
        { QStringLiteral("name"), QStringLiteral("Ops 2") } });
    alicePeer->send({ { QStringLiteral("type"), QStringLiteral("add_members") },
        { QStringLiteral("chatId"), group },
        { QStringLiteral("members"), QJsonArray { carol } } });
    QVERIFY(
        carolPeer->waitUntil([&] { return countOf(*carolPeer, QStringLiteral("new_chat_info")); }));
    // The second server takes carol as a member at once: nothing there holds the old members.
    carolPeer->send(messageTo(QStringLiteral("chatId"), group, QStringLiteral("carol here")));
    alicePeer->send({ { QStringLiteral("type"), QStringLiteral("leave_chat") },
        { QStringLiteral("chatId"), group } });
    QVERIFY(
        alicePeer->waitUntil([&] { return countOf(*alicePeer, QStringLiteral("chat_removed")); }));
    QVERIFY(
        bobPeer->waitUntil([&] { return countOf(*bobPeer, QStringLiteral("chat_updated")) == 3; }));
    // Alice owned it; bob has been in it longest.
    QString owner;
    for (const QJsonObject &frame : qAsConst(bobPeer->frames)) {
        if (typeOf(frame) == QLatin1String("chat_updated"))
            owner = frame.value(QLatin1String("chat"))
                        .toObject()
                        .value(QLatin1String("ownerId"))
                        .toString();
    }
    QCOMPARE(owner, bob);
    bobPeer->send(messageTo(QStringLiteral("chatId"), group, QStringLiteral("after")));
    QVERIFY(carolPeer->waitUntil([&] {
        return countOf(*carolPeer, QStringLiteral("message")) >= 2
            && carolPeer->frames.last()
                   .value(QLatin1String("content"))
                   .toObject()
                   .value(QLatin1String("text"))
            == QLatin1String("after");
    }));

    // Up to her leaving, alice saw the chat's events in bob's order; after it, nothing.
    const auto events = [&](const QList<QJsonObject> &frames) {
        QStringList list;
        for (const QJsonObject &frame : frames) {
            if (frame.value(QLatin1String("chatId")).toString() == group
                || typeOf(frame) == QLatin1String("chat_updated"))
                list.append(typeOf(frame) + QLatin1Char(' ')
                    + frame.value(QLatin1String("messageId")).toString());
        }
        return list;
    };
    QStringList aliceEvents = events(alicePeer->sync());
    QCOMPARE(aliceEvents.takeLast(), QStringLiteral("chat_removed "));
    aliceEvents.removeAll(QStringLiteral("group_created "));
    const QStringList bobEvents = events(bobPeer->sync());
    QCOMPARE(bobEvents.mid(0, aliceEvents.size()), aliceEvents);
    QVERIFY(bobEvents.mid(aliceEvents.size()).contains(QStringLiteral("chat_updated ")));
    QCOMPARE(aliceEvents.filter(QStringLiteral("chat_updated")).size(), 2);
}

void TestCluster::writeRacingAGroupChangeElsewhereFollowsIt_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("write");
    QTest::newRow("message after a leave")
        << QStringLiteral("leave_chat") << QStringLiteral("message");
    QTest::newRow("edit after a leave")
        << QStringLiteral("leave_chat") << QStringLiteral("edit_message");
    QTest::newRow("message after an add")
        << QStringLiteral("add_members") << QStringLiteral("message");
}

void TestCluster::writeRacingAGroupChangeElsewhereFollowsIt()
{
    QFETCH(QString, change);
    QFETCH(QString, write);
    START_CLUSTER(1);
    const QString alice = addUser(QStringLiteral("alice"));
    const QString bob = addUser(QStringLiteral("bob"));
    const QString carol = addUser(QStringLiteral("carol"));
    const QString dave = addUser(QStringLiteral("dave"));
    const std::optional<ChatRecord> group = db->createChat(
        QString(), QStringLiteral("Ops"), QStringLiteral("group"), alice, { alice, bob, dave });
    QVERIFY(group);
    // Alice changes the group elsewhere just before the second server's writer takes bob's
    // write, while that server still holds the members it read for bob's first message: made
    // under that server's own name, so that its relay leaves the change to it, as a slow relay
    // would.
    std::atomic<bool> armed { false };
    std::atomic<bool> changed { false };
    ChatServer::Options options;
    options.staticDir = dir->filePath(QStringLiteral("static"));
    options.passwordLimits = credentials::cheapestLimits;
    options.beforeBatch = [&](Store &writing) {
        if (!armed.exchange(false))
            return;
        std::unique_ptr<Store> elsewhere = location.connector()(nullptr);
        if (!elsewhere)
            return;
        elsewhere->setOrigin(writing.origin());
        const requests::Asker asker { alice, 0, 50, 0, 1000 };
        QJsonObject request { { QStringLiteral("chatId"), group->id } };
        Store::Transaction transaction(*elsewhere);
        Outcome outcome;
        if (change == QLatin1String("leave_chat")) {
            outcome = requests::leaveChat(*elsewhere, asker, request);
        } else {
            request.insert(QStringLiteral("members"), QJsonArray { carol });
            outcome = requests::addMembers(*elsewhere, asker, request);
        }
        std::vector<ChangeNotice *> notices;
        for (ChangeNotice &notice : outcome.notices)
            notices.push_back(&notice);
        changed = elsewhere->announce(notices) == Store::Announcement::Kept && transaction.commit();
    };
    servers.push_back(std::make_unique<ChatServer>(location.connector(), options));
    QVERIFY(servers.back()->listen(QHostAddress::LocalHost, 0));
    const auto alicePeer =
        Peer::loginTo(port(0), QStringLiteral("alice"), QStringLiteral("secret"));
    const auto carolPeer =
        Peer::loginTo(port(0), QStringLiteral("carol"), QStringLiteral("secret"));
    const auto davePeer = Peer::loginTo(port(0), QStringLiteral("dave"), QStringLiteral("secret"));
    const auto bobPeer = Peer::loginTo(port(1), QStringLiteral("bob"), QStringLiteral("secret"));
    QVERIFY(alicePeer && carolPeer && davePeer && bobPeer);
    const auto received = [](Peer &peer, const QString &type) {
        return peer.waitUntil([&] { return countOf(peer, type) > 0; });
    };
    bobPeer->send(messageTo(QStringLiteral("chatId"), group->id, QStringLiteral("first")));
    QVERIFY(received(*davePeer, QStringLiteral("message")));
    const QString first = davePeer->frames.last().value(QLatin1String("messageId")).toString();
    davePeer->frames.clear();

    armed = true;
    if (write == QLatin1String("message"))
        bobPeer->send(messageTo(QStringLiteral("chatId"), group->id, QStringLiteral("second")));
    else
        bobPeer->send({ { QStringLiteral("type"), write },
            { QStringLiteral("chatId"), group->id },
            { QStringLiteral("messageId"), first },
            { QStringLiteral("newContent"), QStringLiteral("edited") } });
    const QString told = write == QLatin1String("message") ? QStringLiteral("message")
                                                           : QStringLiteral("message_updated");
    // Numbered after the change, it reaches the members as they are after it, and only them.
    QVERIFY(received(*davePeer, told));
    QVERIFY(changed);
    if (change == QLatin1String("add_members")) {
        QVERIFY(received(*carolPeer, told));
        QCOMPARE(typeOf(carolPeer->frames.first()), QStringLiteral("new_chat_info"));
    } else {
        const QList<QJsonObject> frames = alicePeer->sync();
        QVERIFY(!frames.isEmpty());
        QCOMPARE(typeOf(frames.last()), QStringLiteral("chat_removed"));
    }
}

void TestCluster::typingAndOwnReceiptsCrossServers()
{
    START_CLUSTER(2);
    const QStringList ids { addUser(QStringLiteral("alice")), addUser(QStringLiteral("bob")) };
    const QString team =
        db->createChat(QString(), QStringLiteral("Team"), QStringLiteral("group"), ids.at(0), ids)
            ->id;
    const std::optional<MessageRecord> hello =
        db->addMessage(team, ids.at(0), QStringLiteral("hello"), QString(), 100);
    QVERIFY(hello);
    std::unique_ptr<Peer> alice =
        Peer::loginTo(port(0), QStringLiteral("alice"), QStringLiteral("secret"));
    std::unique_ptr<Peer> aliceThere =
        Peer::loginTo(port(1), QStringLiteral("alice"), QStringLiteral("secret"));
    std::unique_ptr<Peer> bob =
        Peer::loginTo(port(1), QStringLiteral("bob"), QStringLiteral("secret"));
    std::unique_ptr<Peer> bobHere =
        Peer::loginTo(port(0), QStringLiteral("bob"), QStringLiteral("secret"));
    QVERIFY(alice && aliceThere && bob && bobHere);

    // Alice types on one server: Bob hears it on both, her own other device does not.
    alice->send({ { QStringLiteral("type"), QStringLiteral("typing") },
        { QStringLiteral("chatId"), team } });
    const QJsonObject typing { { QStringLiteral("type"), QStringLiteral("typing") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("userId"), ids.at(0) } };
    for (Peer *peer : { bob.get(), bobHere.get() })
        QVERIFY(peer->waitUntil([&] { return peer->frames.contains(typing); }));

    // Bob reads on the other server: his device here lowers its count, Alice sees it read.
    bob->send(seenRequest(team, hello->id));
    const QJsonObject seen { { QStringLiteral("type"), QStringLiteral("message_seen_update") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), hello->id },
        { QStringLiteral("userId"), ids.at(1) } };
    for (Peer *peer : { bobHere.get(), alice.get(), aliceThere.get() })
        QVERIFY(peer->waitUntil([&] { return peer->frames.contains(seen); }));
    QCOMPARE(countOf(*aliceThere, QStringLiteral("typing")), 0);
    QCOMPARE(countOf(*bob, QStringLiteral("message_seen_update")), 0);
}

void TestCluster::adminChangesReachConnectedClients_data()
{
    QTest::addColumn<bool>("sqlite");
    QTest::addColumn<QString>("change");
    for (const bool sqlite : { true, false }) {
        const char *backend = sqlite ? "SQLite, another connection" : "PostgreSQL, two servers";
        for (const char *change : { "new group", "new user", "new avatar" })
            QTest::addRow("%s: %s", backend, change) << sqlite << QString::fromLatin1(change);
    }
}

void TestCluster::adminChangesReachConnectedClients()
{
    QFETCH(bool, sqlite);
    QFETCH(QString, change);
    const int serverCount = sqlite ? 1 : 2;
    START_CLUSTER(serverCount, sqlite);
    const QString alice = addUser(QStringLiteral("alice"));
    const QString bob = addUser(QStringLiteral("bob"));
    addUser(QStringLiteral("carol"));
    std::vector<std::unique_ptr<Peer>> members;
    for (int i = 0; i < serverCount; ++i) {
        for (const QString &name : { QStringLiteral("alice"), QStringLiteral("bob") }) {
            members.push_back(Peer::loginTo(port(i), name, QStringLiteral("secret")));
            QVERIFY(members.back());
        }
    }
    std::unique_ptr<Peer> outsider =
        Peer::loginTo(port(0), QStringLiteral("carol"), QStringLiteral("secret"));
    QVERIFY(outsider);

    // As the command would from a process of its own: through a connection of its own.
    QString error;
    std::unique_ptr<Store> command = location.open(&error);
    QVERIFY2(command, qPrintable(error));
    const QString picture = dir->filePath(QStringLiteral("bob.png"));
    QVERIFY(QFile::copy(QStringLiteral(":/default.png"), picture)
        || QFile(picture).open(QIODevice::WriteOnly));
    if (change == QLatin1String("new group"))
        error = admin::createGroup(
            *command, QStringLiteral("Later"), { QStringLiteral("alice"), QStringLiteral("bob") });
    else if (change == QLatin1String("new user"))
        error = admin::addUser(*command, QStringLiteral("dave"), QStringLiteral("pw"));
    else
        error = admin::setAvatar(
            *command, dir->filePath(QStringLiteral("static")), QStringLiteral("bob"), picture);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    const QString expected = change == QLatin1String("new group")
        ? QStringLiteral("new_chat_info")
        : QStringLiteral("user_list_update");
    for (const std::unique_ptr<Peer> &peer : members) {
        QVERIFY(peer->waitUntil([&] { return countOf(*peer, expected) == 1; }));
        const QJsonObject frame = peer->frames.first();
        QCOMPARE(typeOf(frame), expected);
        if (change == QLatin1String("new group")) {
            const QJsonObject chat = frame.value(QLatin1String("chat")).toObject();
            QCOMPARE(keysOf(chat), chatKeys());
            QCOMPARE(chat.value(QLatin1String("chatName")).toString(), QStringLiteral("Later"));
            QCOMPARE(chat.value(QLatin1String("members")).toArray(), (QJsonArray { alice, bob }));
            continue;
        }
        QStringList names;
        QString bobsAvatar;
        for (const QJsonValue user : frame.value(QLatin1String("users")).toArray()) {
            names.append(user.toObject().value(QLatin1String("username")).toString());
            if (user.toObject().value(QLatin1String("userId")).toString() == bob)
                bobsAvatar = user.toObject().value(QLatin1String("avatarUrl")).toString();
        }
        QCOMPARE(names.contains(QLatin1String("dave")), change == QLatin1String("new user"));
        QCOMPARE(bobsAvatar.startsWith(QLatin1String("/static/avatars/")),
            change == QLatin1String("new avatar"));
    }
    // A group reaches its members only; the list of users reaches everyone.
    const QList<QJsonObject> seen = outsider->sync();
    QCOMPARE(seen.size(), change == QLatin1String("new group") ? 0 : 1);
}

void TestCluster::tokenFromOneServerLogsInOnceOnAnother()
{
    START_CLUSTER(2);
    addUser(QStringLiteral("alice"));
    std::unique_ptr<Peer> first =
        Peer::loginTo(port(0), QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(first);
    const QString token = first->loginFrames.first().value(QLatin1String("token")).toString();
    QVERIFY(!token.isEmpty());
    const QJsonObject login { { QStringLiteral("type"), QStringLiteral("login_with_token") },
        { QStringLiteral("token"), token } };
    std::unique_ptr<Peer> second = Peer::connectTo(port(1));
    QVERIFY(second);
    second->send(login);
    QVERIFY(second->waitForFrames(1));
    QCOMPARE(typeOf(second->frames.first()), QStringLiteral("login_success"));
    // Spent: neither server takes it again.
    for (int server : { 0, 1 }) {
        std::unique_ptr<Peer> again = Peer::connectTo(port(server));
        QVERIFY(again);
        again->send(login);
        QVERIFY(again->waitForFrames(1));
        QCOMPARE(typeOf(again->frames.first()), QStringLiteral("auth_failed"));
    }
}

void TestCluster::passwordChangeEndsSessionsOnEveryServer()
{
    START_CLUSTER(2);
    addUser(QStringLiteral("alice"));
    std::unique_ptr<Peer> laptop =
        Peer::loginTo(port(0), QStringLiteral("alice"), QStringLiteral("secret"));
    std::unique_ptr<Peer> phone =
        Peer::loginTo(port(1), QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(laptop && phone);
    laptop->send({ { QStringLiteral("type"), QStringLiteral("change_password") },
        { QStringLiteral("oldPassword"), QStringLiteral("secret") },
        { QStringLiteral("newPassword"), QStringLiteral("new secret") } });
    QVERIFY(phone->waitForClose());
    QCOMPARE(phone->closeCode, 4001);
    QCOMPARE(phone->closeReason, QStringLiteral("Password changed"));
    QVERIFY(laptop->waitUntil(
        [&] { return countOf(*laptop, QStringLiteral("password_changed")) == 1; }));
    QVERIFY(!laptop->closed);
}

void TestCluster::failedLoginsThrottleOnEveryServer()
{
    // Time stands still, so that the throttle's waits never run out during the test; the pace
    // per address, which would wait for time to pass, is off.
    ChatServer::Options options;
    options.clock = [] { return qint64(1700000000000); };
    options.maxConnectionsPerAddress = 0;
    START_CLUSTER(2, false, options);
    addUser(QStringLiteral("alice"));
    // The free failures, spent on one server...
    std::unique_ptr<Peer> guesser = Peer::connectTo(port(0));
    QVERIFY(guesser);
    for (int i = 0; i < 5; ++i) {
        guesser->frames.clear();
        guesser->sendLogin(QStringLiteral("alice"), QStringLiteral("wrong"));
        QVERIFY(guesser->waitForFrames(1));
        QCOMPARE(guesser->frames.first(), QJsonObject(protocol::authFailedFrame()));
    }
    // ...hold on the other, for the same address, even with the right password, once they are
    // in the store (a moment after their answers).
    QTRY_COMPARE(db->loginFailures(QStringLiteral("alice")).value_or(LoginFailures()).failures, 5);
    std::unique_ptr<Peer> elsewhere = Peer::connectTo(port(1));
    QVERIFY(elsewhere);
    elsewhere->sendLogin(QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(elsewhere->waitForFrames(1));
    QCOMPARE(elsewhere->frames.first(), protocol::throttledLoginFrame(1000));
}

void TestCluster::connectionCapPerUserHoldsAcrossServers()
{
    ChatServer::Options options;
    options.maxConnectionsPerUser = 2;
    START_CLUSTER(2, false, options);
    const QString alice = addUser(QStringLiteral("alice"));
    // Counts every server's connections, as none of them.
    db->setOrigin(QStringLiteral("the test"));
    std::unique_ptr<Peer> first =
        Peer::loginTo(port(0), QStringLiteral("alice"), QStringLiteral("secret"));
    std::unique_ptr<Peer> second =
        Peer::loginTo(port(1), QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(first && second);
    const auto thirdOn = [this](int server) {
        std::unique_ptr<Peer> peer = Peer::connectTo(port(server));
        if (!peer)
            return QJsonObject();
        peer->sendLogin(QStringLiteral("alice"), QStringLiteral("secret"));
        return peer->waitForFrames(1) ? peer->frames.first() : QJsonObject();
    };
    // Each server's count reaches the store a moment after its login is answered.
    QTRY_COMPARE(db->connectionsElsewhere(alice, 0), 2);
    for (int server : { 0, 1 })
        QCOMPARE(thirdOn(server),
            protocol::errorFrame(QStringLiteral("Too many connections for this account")));
    // Once one is gone, its place is free on the other server too.
    second->socket.close();
    QTRY_COMPARE(db->connectionsElsewhere(alice, 0), 1);
    QCOMPARE(typeOf(thirdOn(0)), QStringLiteral("login_success"));
}

void TestCluster::serversSurviveTheDatabaseGoingAway_data()
{
    QTest::addColumn<bool>("restart");
    QTest::newRow("every connection terminated") << false;
    QTest::newRow("database restarted") << true;
}

void TestCluster::serversSurviveTheDatabaseGoingAway()
{
    QFETCH(bool, restart);
    START_CLUSTER(2);
    TestPostgres &postgres = ServerFixture::testPostgres();
    const QStringList ids { addUser(QStringLiteral("alice")), addUser(QStringLiteral("bob")) };
    const QString team =
        db->createChat(QString(), QStringLiteral("Team"), QStringLiteral("group"), ids.at(0), ids)
            ->id;
    std::unique_ptr<Peer> alice =
        Peer::loginTo(port(0), QStringLiteral("alice"), QStringLiteral("secret"));
    std::unique_ptr<Peer> bob =
        Peer::loginTo(port(1), QStringLiteral("bob"), QStringLiteral("secret"));
    QVERIFY(alice && bob);

    if (restart) {
        QVERIFY2(postgres.stop(), qPrintable(postgres.error()));
        // Nothing is echoed that was not stored, and the health check says so.
        alice->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("lost")));
        QVERIFY(alice->waitForFrames(1));
        QCOMPARE(typeOf(alice->frames.first()), QStringLiteral("error"));
        QVERIFY(httpGet(port(0), "/healthz").startsWith("HTTP/1.1 503"));
        QVERIFY2(postgres.start(), qPrintable(postgres.error()));
    } else {
        QVERIFY2(postgres.terminateConnections(location.database->databaseName),
            qPrintable(postgres.error()));
    }
    for (int i = 0; i < 2; ++i) {
        Peer &sender = i == 0 ? *alice : *bob;
        Peer &receiver = i == 0 ? *bob : *alice;
        const QString text = QStringLiteral("after %1").arg(i);
        const QJsonObject echo =
            sendUntilStored(sender, messageTo(QStringLiteral("chatId"), team, text));
        QCOMPARE(typeOf(echo), QStringLiteral("message"));
        QVERIFY(receiver.waitUntil([&] {
            for (const QJsonObject &frame : receiver.frames) {
                if (frame.value(QLatin1String("messageId"))
                    == echo.value(QLatin1String("messageId")))
                    return true;
            }
            return false;
        }));
    }
    for (int server : { 0, 1 })
        QTRY_VERIFY_WITH_TIMEOUT(
            httpGet(port(server), "/healthz").startsWith("HTTP/1.1 200"), 15000);
    QCOMPARE(countOf(*bob, QStringLiteral("message")), 1);
}

quint16 TestCluster::startProcess(QProcess &process)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(serverBinary,
        { QStringLiteral("--data-dir"),
            dir->path(),
            QStringLiteral("--database"),
            location.database->toString(),
            QStringLiteral("--port"),
            QStringLiteral("0") });
    if (!process.waitForStarted(10000))
        return 0;
    QByteArray output;
    (void)QTest::qWaitFor(
        [&] {
            output += process.readAllStandardOutput();
            return output.contains('\n') || process.state() == QProcess::NotRunning;
        },
        30000);
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"))
            .match(QString::fromUtf8(output));
    return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
}

void TestCluster::killedServerLosesNothingEchoed()
{
    START_CLUSTER(0);
    const QStringList ids { addUser(QStringLiteral("alice")), addUser(QStringLiteral("bob")) };
    const QString team =
        db->createChat(QString(), QStringLiteral("Team"), QStringLiteral("group"), ids.at(0), ids)
            ->id;
    QProcess doomed;
    QProcess survivor;
    const quint16 doomedPort = startProcess(doomed);
    const quint16 survivorPort = startProcess(survivor);
    QVERIFY(doomedPort && survivorPort);
    std::unique_ptr<Peer> alice =
        Peer::loginTo(doomedPort, QStringLiteral("alice"), QStringLiteral("secret"));
    std::unique_ptr<Peer> bob =
        Peer::loginTo(survivorPort, QStringLiteral("bob"), QStringLiteral("secret"));
    QVERIFY(alice && bob);

    constexpr int burst = 300;
    for (int i = 0; i < burst; ++i)
        alice->send(messageTo(QStringLiteral("chatId"), team, QString::number(i)));
    QVERIFY(alice->waitUntil([&] { return countOf(*alice, QStringLiteral("message")) >= 20; }));
    doomed.kill();
    QVERIFY(doomed.waitForFinished(10000));
    QVERIFY(alice->waitForClose());
    QSet<QString> echoed;
    for (const QJsonObject &frame : alice->frames) {
        if (typeOf(frame) == QLatin1String("message"))
            echoed.insert(frame.value(QLatin1String("messageId")).toString());
    }
    QVERIFY(echoed.size() >= 20);
    // Every echoed message is stored, reaches the other server's users, and is in the history
    // of a client that comes back through the other server.
    for (const QString &id : qAsConst(echoed))
        QVERIFY2(db->message(id), qPrintable(id));
    const auto bobHolds = [&] {
        QSet<QString> got;
        for (const QJsonObject &frame : bob->frames)
            got.insert(frame.value(QLatin1String("messageId")).toString());
        return got.contains(echoed);
    };
    QVERIFY(bob->waitUntil(bobHolds, 15000));
    std::unique_ptr<Peer> back =
        Peer::loginTo(survivorPort, QStringLiteral("alice"), QStringLiteral("secret"));
    QVERIFY(back);
    QSet<QString> history;
    for (const QJsonValue chat : back->loginFrames.at(1).value(QLatin1String("chats")).toArray()) {
        for (const QJsonValue message : chat.toObject().value(QLatin1String("messages")).toArray())
            history.insert(message.toObject().value(QLatin1String("messageId")).toString());
    }
    QVERIFY(history.size() >= std::min(int(echoed.size()), 50));
    survivor.terminate();
    QVERIFY(survivor.waitForFinished(10000));
}

FERROW_SERVER_TEST_MAIN(TestCluster)
#include "tst_cluster.moc"
