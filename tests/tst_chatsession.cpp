#include "net/websocketclient.h"
#include "session/chatsession.h"
#include "store/chatstore.h"
#include "teamframes.h"
#include "testserver.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>
#include <memory>

using namespace teamframes;

namespace
{

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

// A message of bob's that alice has not seen.
QJsonObject unseen(const QString &id)
{
    QJsonObject m = message(id, QStringLiteral("u2"), 1, QStringLiteral("x"));
    m.remove(QStringLiteral("seenBy"));
    return m;
}

// "type" of each frame, with the message id, text or new text it carries.
QStringList describe(const QList<QJsonObject> &frames)
{
    QStringList out;
    for (const QJsonObject &frame : frames) {
        const QString type = frame.value(QLatin1String("type")).toString();
        QString detail = frame.value(QLatin1String("messageId")).toString();
        if (type == QLatin1String("message"))
            detail = frame.value(QLatin1String("content"))
                         .toObject()
                         .value(QLatin1String("text"))
                         .toString();
        else if (type == QLatin1String("edit_message"))
            detail += QLatin1Char('=') + frame.value(QLatin1String("newContent")).toString();
        out << type + QLatin1Char(':') + detail;
    }
    return out;
}

QStringList strings(std::initializer_list<const char *> items)
{
    QStringList list;
    for (const char *item : items)
        list.append(QString::fromUtf8(item));
    return list;
}

QStringList ids(const std::vector<Message> &messages)
{
    QStringList out;
    for (const Message &m : messages)
        out << m.id;
    return out;
}

} // namespace

class TestChatSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void offlineWorkGoesOutOnceInTheOrderMade();
    void storedMessageWhoseEchoWasLostIsNotSentAgain_data();
    void storedMessageWhoseEchoWasLostIsNotSentAgain();
    void freshPushBringsHeldChatUpToDate_data();
    void freshPushBringsHeldChatUpToDate();
    void pagingWaitsForTheMerge_data();
    void pagingWaitsForTheMerge();
    void failedMessageIsRetriedOrDropped_data();
    void failedMessageIsRetriedOrDropped();
    void overlongMessageIsRefusedHere();
    void refusedReloginEndsTheSession_data();
    void refusedReloginEndsTheSession();
    void receiptsWaitWhileInBackground();
    void composerStaysWithItsChat();
    void unreadCountsFollowWhatIsSeen();
    void typingGoesOutAtMostEveryThreeSeconds();
    void mutesSurviveLogoutAndRestart();
    void chatChangesApplyOnlyToHeldChatsOfMine_data();
    void chatChangesApplyOnlyToHeldChatsOfMine();

private:
    // Connects, logs in as alice (u1), loads "Team" with m1..m3 and opens it.
    bool start();
    // Pushes a frame and waits until the session has handled it.
    void push(const QJsonObject &frame);
    // The server goes down until the session notices, then comes back on the same port; true
    // once the session has asked to log in with its token.
    bool dropAndReturn();
    // Logs the session in again and pushes `fresh` as the server's history of "Team".
    void resume(const QList<QJsonObject> &fresh);
    void goOffline();
    // Whether the session sends a "message" frame within half a second.
    bool sendsMessage();

    std::unique_ptr<TestServer> server;
    std::unique_ptr<ChatSession> session;
};

void TestChatSession::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestChatSession::init()
{
    server = std::make_unique<TestServer>();
    QVERIFY(server->start());
    session = std::make_unique<ChatSession>();
    // Quick reconnects, so that a test sees several in well under a second.
    ConnectionSupervisor::Timing timing;
    timing.backoffMs = { 20, 40, 80 };
    session->supervisor()->setTiming(timing);
}

void TestChatSession::cleanup()
{
    session.reset();
    server.reset();
}

bool TestChatSession::start()
{
    QSignalSpy ready(session.get(), &ChatSession::readyForLogin);
    session->start();
    if (!ready.wait(5000))
        return false;
    QSignalSpy loggedIn(session.get(), &ChatSession::loginSuccess);
    session->logIn(QStringLiteral("alice"), QStringLiteral("pw"));
    if (!server->waitForFrames(1))
        return false;
    server->send(json(R"({"type":"login_success","user":{"userId":"u1","username":"alice"},
                          "token":"t","httpToken":"h1","maxUploadSize":1000000})"));
    if (!loggedIn.wait(5000))
        return false;
    push(history(numberedList(1, 3)));
    session->openChat(QStringLiteral("g1"), QString());
    server->takeFrames();
    return session->isOnline() && session->store().chat(QStringLiteral("g1"));
}

void TestChatSession::push(const QJsonObject &frame)
{
    // A receipt for a chat nobody has is ignored; once it is handled, so is every frame before.
    QSignalSpy handled(session->client(), &WebSocketClient::messageSeenUpdate);
    server->send(frame);
    server->send(json(
        R"({"type":"message_seen_update","chatId":"sync","messageId":"sync","userId":"sync"})"));
    handled.wait(5000);
}

void TestChatSession::goOffline()
{
    server->stop();
    QTRY_VERIFY(session->supervisor()->state() == ConnectionSupervisor::State::Offline);
}

bool TestChatSession::dropAndReturn()
{
    const quint16 port = server->port();
    goOffline();
    server->takeFrames();
    if (!server->start(port) || !server->waitForFrames(1, 10000))
        return false;
    return server->frames.first().value(QLatin1String("type")).toString()
        == QLatin1String("login_with_token");
}

void TestChatSession::resume(const QList<QJsonObject> &fresh)
{
    server->takeFrames();
    push(json(R"({"type":"login_success","user":{"userId":"u1","username":"alice"},
                  "token":"t"})"));
    push(history(fresh));
}

bool TestChatSession::sendsMessage()
{
    return QTest::qWaitFor(
        [this] { return !server->framesOfType(QStringLiteral("message")).isEmpty(); }, 500);
}

void TestChatSession::offlineWorkGoesOutOnceInTheOrderMade()
{
    QVERIFY(start());
    push(echo(numbered(4)));
    const quint16 port = server->port();
    goOffline();

    QCOMPARE(session->send(QStringLiteral(" A ")), ChatSession::SendResult::Sent);
    session->startEditing(QStringLiteral("m2"), QStringLiteral("text 2"), QStringLiteral("B"));
    QCOMPARE(session->send(QStringLiteral("text 2, edited")), ChatSession::SendResult::EditSaved);
    QCOMPARE(session->stopEditing(), QStringLiteral("B"));
    QCOMPARE(session->send(QStringLiteral("B")), ChatSession::SendResult::Sent);
    session->deleteMessage(QStringLiteral("m4"));
    QCOMPARE(ids(session->store().pendingMessages()).size(), 2);
    QCOMPARE(session->store().pendingMessages().front().status, Sending);

    QVERIFY(server->start(port));
    QVERIFY(server->waitForFrames(1, 10000));
    resume(numberedList(1, 4));
    QTRY_COMPARE(server->frames.size(), 4);
    QCOMPARE(describe(server->frames),
        (QStringList { QStringLiteral("message:A"),
            QStringLiteral("edit_message:m2=text 2, edited"),
            QStringLiteral("message:B"),
            QStringLiteral("delete_message:m4") }));

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    push(echo(message(QStringLiteral("s1"), QStringLiteral("u1"), now, QStringLiteral("A"))));
    push(echo(message(QStringLiteral("s2"), QStringLiteral("u1"), now, QStringLiteral("B"))));
    QVERIFY(session->store().pendingMessages().empty());
    QCOMPARE(ids(session->store().chat(QStringLiteral("g1"))->messages).mid(4),
        (QStringList { QStringLiteral("s1"), QStringLiteral("s2") }));
    // Confirmed: lost connections no longer send them.
    QVERIFY(dropAndReturn());
    resume(numberedList(1, 4));
    QVERIFY(!sendsMessage());
}

void TestChatSession::storedMessageWhoseEchoWasLostIsNotSentAgain_data()
{
    QTest::addColumn<bool>("sentBeforeTheDrop");

    QTest::newRow("sent, stored, echo lost with the connection") << true;
    // The same text from elsewhere confirms nothing that never went out.
    QTest::newRow("typed offline, the same text stored from another device") << false;
}

void TestChatSession::storedMessageWhoseEchoWasLostIsNotSentAgain()
{
    QFETCH(bool, sentBeforeTheDrop);
    QVERIFY(start());
    if (sentBeforeTheDrop) {
        session->send(QStringLiteral("hello"));
        QVERIFY(server->waitForFrames(1));
    }
    QVERIFY(dropAndReturn());
    if (!sentBeforeTheDrop)
        session->send(QStringLiteral("hello"));
    QSignalSpy deleted(session.get(), &ChatSession::messageDeleted);
    const QJsonObject stored = message(QStringLiteral("s9"),
        QStringLiteral("u1"),
        QDateTime::currentSecsSinceEpoch(),
        QStringLiteral("hello"));
    resume(numberedList(1, 3) << stored);
    QCOMPARE(ids(session->store().chat(QStringLiteral("g1"))->messages),
        numberedIds(1, 3) << QStringLiteral("s9"));
    QCOMPARE(session->store().pendingMessages().size(), size_t(sentBeforeTheDrop ? 0 : 1));
    QCOMPARE(deleted.size(), sentBeforeTheDrop ? 1 : 0);
    QCOMPARE(sendsMessage(), !sentBeforeTheDrop);
}

void TestChatSession::freshPushBringsHeldChatUpToDate_data()
{
    QTest::addColumn<QList<QJsonObject>>("fresh");
    // Older pages the server holds, newest first, each answering the next "get_history".
    QTest::addColumn<QList<QList<QJsonObject>>>("pages");
    QTest::addColumn<QList<qlonglong>>("asked");
    QTest::addColumn<QStringList>("held");

    QJsonObject edited = numbered(1);
    edited.insert(QStringLiteral("content"),
        QJsonObject { { QStringLiteral("text"), QStringLiteral("text 1, corrected") } });
    edited.insert(QStringLiteral("editedAt"), 150);
    QTest::newRow("edited and deleted while away, one new")
        << QList<QJsonObject> { edited, numbered(3), numbered(4) } << QList<QList<QJsonObject>>()
        << QList<qlonglong>()
        << QStringList { QStringLiteral("m1"), QStringLiteral("m3"), QStringLiteral("m4") };
    QTest::newRow("a gap filled one page at a time")
        << numberedList(8, 9)
        << QList<QList<QJsonObject>> { numberedList(5, 7), numberedList(3, 4) }
        << QList<qlonglong> { 800, 500 } << numberedIds(1, 9);
    QList<QList<QJsonObject>> tenPages;
    for (int n = 98; n > 88; --n)
        tenPages << QList<QJsonObject> { numbered(n) };
    QTest::newRow("a gap beyond ten pages drops what was held")
        << QList<QJsonObject> { numbered(99) } << tenPages
        << QList<qlonglong> { 9900, 9800, 9700, 9600, 9500, 9400, 9300, 9200, 9100, 9000 }
        << numberedIds(89, 99);
}

void TestChatSession::freshPushBringsHeldChatUpToDate()
{
    QFETCH(QList<QJsonObject>, fresh);
    QFETCH(QList<QList<QJsonObject>>, pages);
    QFETCH(QList<qlonglong>, asked);
    QFETCH(QStringList, held);
    QVERIFY(start());
    QList<qlonglong> requests;
    connect(server.get(), &TestServer::frameReceived, this, [&](const QJsonObject &frame) {
        if (frame.value(QLatin1String("type")) != QLatin1String("get_history"))
            return;
        requests << qlonglong(frame.value(QLatin1String("before")).toDouble());
        server->send(history(pages.value(requests.size() - 1)));
    });
    QSignalSpy reloaded(session.get(), &ChatSession::chatReloaded);
    QVERIFY(dropAndReturn());
    resume(fresh);
    QTRY_COMPARE(reloaded.size(), 1);
    QCOMPARE(requests, asked);
    const Chat *chat = session->store().chat(QStringLiteral("g1"));
    QCOMPARE(ids(chat->messages), held);
    QCOMPARE(
        chat->messages.front().editedAt, fresh.first().value(QLatin1String("editedAt")).toInt());
}

void TestChatSession::pagingWaitsForTheMerge_data()
{
    QTest::addColumn<bool>("olderOnServer");
    QTest::addColumn<QStringList>("finalIds");
    QTest::addColumn<QList<qlonglong>>("pagesAsked");

    QTest::newRow("nothing older than the held messages")
        << false << numberedIds(1, 9) << QList<qlonglong> { 800, 100 };
    QTest::newRow("one older message on the server")
        << true << numberedIds(0, 9) << QList<qlonglong> { 800, 100, 0 };
}

void TestChatSession::pagingWaitsForTheMerge()
{
    QFETCH(bool, olderOnServer);
    QFETCH(QStringList, finalIds);
    QFETCH(QList<qlonglong>, pagesAsked);
    QVERIFY(start());
    // The server's side: m0 (maybe) and m1..m9, answering every "get_history" at once, in
    // order, with the newest five messages before "before".
    const QList<QJsonObject> stored = numberedList(olderOnServer ? 0 : 1, 9);
    QList<qlonglong> asked;
    connect(server.get(), &TestServer::frameReceived, this, [&](const QJsonObject &frame) {
        if (frame.value(QLatin1String("type")) != QLatin1String("get_history"))
            return;
        const auto before = qlonglong(frame.value(QLatin1String("before")).toDouble());
        asked << before;
        QList<QJsonObject> page;
        for (const QJsonObject &m : stored) {
            if (m.value(QLatin1String("timestamp")).toDouble() < before)
                page << m;
        }
        server->send(history(page.mid(std::max(0, page.size() - 5))));
    });

    QVERIFY(dropAndReturn());
    server->takeFrames();
    push(json(R"({"type":"login_success","user":{"userId":"u1","username":"alice"},
                  "token":"t"})"));
    // The worst moment: logged in, the fresh push not yet here. Asked for once the merge is done.
    QVERIFY(!session->loadOlderMessages());
    push(history(numberedList(8, 9)));
    QTRY_VERIFY(
        (session->loadOlderMessages(), session->store().isHistoryExhausted(QStringLiteral("g1"))));
    QCOMPARE(ids(session->store().chat(QStringLiteral("g1"))->messages), finalIds);
    QCOMPARE(asked, pagesAsked);
}

void TestChatSession::failedMessageIsRetriedOrDropped_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("choice");

    QTest::newRow("lost three times, retried") << "lost"
                                               << "retry";
    QTest::newRow("lost three times, dropped") << "lost"
                                               << "discard";
    QTest::newRow("refused for good, retried") << "Message text is longer than 4000 characters"
                                               << "retry";
    QTest::newRow("a refusal of something else fails nothing") << "Message not found"
                                                               << "none";
}

void TestChatSession::failedMessageIsRetriedOrDropped()
{
    QFETCH(QString, failure);
    QFETCH(QString, choice);
    QVERIFY(start());
    QSignalSpy status(session.get(), &ChatSession::messageStatusChanged);
    session->send(QStringLiteral("never echoed"));
    QVERIFY(server->waitForFrames(1));
    if (failure == QLatin1String("lost")) {
        for (int attempt = 1; attempt <= 3; ++attempt) {
            QVERIFY(dropAndReturn());
            resume(numberedList(1, 3));
        }
    } else {
        push(QJsonObject { { QStringLiteral("type"), QStringLiteral("error") },
            { QStringLiteral("message"), failure } });
    }
    const Message local = session->store().pendingMessages().front();
    if (choice == QLatin1String("none")) {
        QCOMPARE(local.status, Sending);
        QCOMPARE(status.size(), 0);
        return;
    }
    QCOMPARE(local.status, Failed);
    QCOMPARE(status.last().at(1).toString(), local.id);
    server->takeFrames();
    QVERIFY(!sendsMessage());

    if (choice == QLatin1String("retry")) {
        session->retry(local.id);
        QVERIFY(sendsMessage());
        QCOMPARE(session->store().pendingMessage(local.id)->status, Sending);
        // Its echo replaces the local copy: one message, no second send.
        push(echo(message(QStringLiteral("m9"),
            QStringLiteral("u1"),
            QDateTime::currentSecsSinceEpoch(),
            QStringLiteral("never echoed"))));
        QVERIFY(session->store().pendingMessages().empty());
        QCOMPARE(ids(session->store().chat(QStringLiteral("g1"))->messages).last(),
            QStringLiteral("m9"));
    } else {
        QSignalSpy deleted(session.get(), &ChatSession::messageDeleted);
        session->deleteMessage(local.id);
        QCOMPARE(deleted.size(), 1);
        QVERIFY(session->store().pendingMessages().empty());
        QVERIFY(!sendsMessage());
        QVERIFY(server->framesOfType(QStringLiteral("delete_message")).isEmpty());
    }
}

void TestChatSession::overlongMessageIsRefusedHere()
{
    QVERIFY(start());
    // Counted as the server counts: characters, so an emoji is one.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    QString longest = QString(ChatSession::maxTextLength - 1, QLatin1Char('a')) + emoji;
    QCOMPARE(session->send(longest + QLatin1Char('b')), ChatSession::SendResult::TooLong);
    session->startEditing(QStringLiteral("m2"), QStringLiteral("text 2"), QString());
    QCOMPARE(session->send(longest + QLatin1Char('b')), ChatSession::SendResult::TooLong);
    session->stopEditing();
    QVERIFY(!server->waitForFrames(1, 300));
    QVERIFY(session->store().pendingMessages().empty());
    QCOMPARE(session->send(longest), ChatSession::SendResult::Sent);
    QVERIFY(sendsMessage());
}

void TestChatSession::refusedReloginEndsTheSession_data()
{
    QTest::addColumn<bool>("sameUser");

    QTest::newRow("the same user carries on") << true;
    QTest::newRow("another user starts afresh") << false;
}

void TestChatSession::refusedReloginEndsTheSession()
{
    QFETCH(bool, sameUser);
    QVERIFY(start());
    const quint16 port = server->port();
    goOffline();
    session->send(QStringLiteral("typed while away"));
    QVERIFY(server->start(port));
    QVERIFY(server->waitForFrames(1, 10000));
    QSignalSpy ready(session.get(), &ChatSession::readyForLogin);
    QSignalSpy ended(session.get(), &ChatSession::sessionEnded);
    push(json(R"({"type":"auth_failed","message":"Invalid token"})"));
    QCOMPARE(ready.size(), 1);
    session->logIn(QStringLiteral("alice"), QStringLiteral("old"));
    push(json(R"({"type":"auth_failed","message":"Invalid username or password"})"));
    QCOMPARE(ended.size(), 1);
    QVERIFY(!session->isActive());
    QCOMPARE(session->store().pendingMessages().size(), size_t(1));

    QSignalSpy forgotten(session.get(), &ChatSession::accountForgotten);
    server->takeFrames();
    session->logIn(QStringLiteral("someone"), QStringLiteral("pw"));
    QVERIFY(server->waitForFrames(1));
    push(sameUser ? json(R"({"type":"login_success","user":{"userId":"u1"},"token":"t"})")
                  : json(R"({"type":"login_success","user":{"userId":"u2"},"token":"t"})"));
    QCOMPARE(forgotten.size(), sameUser ? 0 : 1);
    QCOMPARE(session->currentChatId(), sameUser ? QStringLiteral("g1") : QString());
    push(history(numberedList(1, 3)));
    QCOMPARE(sendsMessage(), sameUser);
}

void TestChatSession::receiptsWaitWhileInBackground()
{
    QVERIFY(start());
    push(history({ unseen(QStringLiteral("o1")) }, QStringLiteral("g2")));
    const auto arrive = [this](const char *id) { push(echo(unseen(QLatin1String(id)))); };
    const auto receipts = [this] {
        QStringList seen;
        for (const QJsonObject &frame : server->takeFrames())
            seen << frame.value(QLatin1String("chatId")).toString() + QLatin1Char('/')
                    + frame.value(QLatin1String("messageId")).toString();
        return seen;
    };

    session->setInBackground(true);
    arrive("n1");
    arrive("n2");
    QCOMPARE(receipts(), QStringList());
    session->setInBackground(false);
    QVERIFY(server->waitForFrames(2));
    QCOMPARE(receipts(), (QStringList { QStringLiteral("g1/n1"), QStringLiteral("g1/n2") }));
    arrive("n3");
    QVERIFY(server->waitForFrames(1));
    QCOMPARE(receipts(), QStringList { QStringLiteral("g1/n3") });

    // Another chat opened while away: what arrived in the one left waits for its opening.
    session->setInBackground(true);
    arrive("n4");
    session->openChat(QStringLiteral("g2"), QString());
    QCOMPARE(receipts(), QStringList());
    session->setInBackground(false);
    QVERIFY(server->waitForFrames(1));
    QCOMPARE(receipts(), QStringList { QStringLiteral("g2/o1") });
    session->openChat(QStringLiteral("g1"), QString());
    QVERIFY(server->waitForFrames(1));
    QCOMPARE(receipts(), QStringList { QStringLiteral("g1/n4") });

    // After a logout nothing held goes out.
    session->setInBackground(true);
    arrive("n5");
    session->logOut();
    session->setInBackground(false);
    QVERIFY(!server->waitForFrames(1, 300));
}

void TestChatSession::composerStaysWithItsChat()
{
    QVERIFY(start());
    push(history({ unseen(QStringLiteral("o1")) }, QStringLiteral("g2")));
    const QString g1 = QStringLiteral("g1");
    const QString g2 = QStringLiteral("g2");
    const QString contactChat = QStringLiteral("u1_u3");

    // A reply belongs to its chat: it comes back with it, and goes nowhere else.
    QVERIFY(session->replyTo(QStringLiteral("m1")));
    QVERIFY(!session->replyTo(QStringLiteral("o1")));
    QCOMPARE(session->openChat(g2, QStringLiteral("agreed")), QString());
    QVERIFY(session->replyToMessageId().isEmpty());
    session->send(QStringLiteral("elsewhere"));
    QCOMPARE(session->openChat(contactChat, QString()), QString());
    session->send(QStringLiteral("new chat"));
    QCOMPARE(session->openChat(g1, QString()), QStringLiteral("agreed"));
    QCOMPARE(session->replyToMessageId(), QStringLiteral("m1"));
    session->send(QStringLiteral("agreed"));
    QTRY_COMPARE(server->framesOfType(QStringLiteral("message")).size(), 3);
    QCOMPARE(server->framesOfType(QStringLiteral("message")),
        (QList<QJsonObject> { json(R"({"type":"message","chatId":"g2","replyToId":null,
                     "content":{"text":"elsewhere","file":null,"theme":null}})"),
            json(R"({"type":"message","recipientId":"u3","replyToId":null,
                     "content":{"text":"new chat","file":null,"theme":null}})"),
            json(R"({"type":"message","chatId":"g1","replyToId":"m1",
                     "content":{"text":"agreed","file":null,"theme":null}})") }));
    QVERIFY(session->replyToMessageId().isEmpty());

    // An edit is no draft: the chat left keeps what was typed before it.
    session->startEditing(QStringLiteral("m2"), QStringLiteral("text 2"), QStringLiteral("half"));
    QCOMPARE(session->openChat(g2, QStringLiteral("text 2, chang")), QString());
    QVERIFY(session->editingMessageId().isEmpty());
    QCOMPARE(session->openChat(g1, QStringLiteral("other")), QStringLiteral("half"));
    QCOMPARE(session->openChat(g2, QString()), QStringLiteral("other"));

    // A logout forgets every draft.
    session->openChat(g1, QStringLiteral("secret"));
    session->logOut();
    QVERIFY(session->currentChatId().isEmpty());
    QCOMPARE(session->openChat(g2, QString()), QString());
    QCOMPARE(session->openChat(g1, QString()), QString());
    QVERIFY(session->replyToMessageId().isEmpty());
}

void TestChatSession::unreadCountsFollowWhatIsSeen()
{
    QVERIFY(start());
    const auto unread = [this](const char *chatId) {
        return session->store().chat(QLatin1String(chatId))->unreadCount;
    };
    QSignalSpy changed(session.get(), &ChatSession::unreadCountChanged);
    // The push counts o1 and older messages of g2 that are not held.
    QJsonObject pushed = history({ unseen(QStringLiteral("o1")) }, QStringLiteral("g2"));
    QJsonArray pushedChats = pushed.value(QLatin1String("chats")).toArray();
    QJsonObject g2 = pushedChats.at(0).toObject();
    g2.insert(QStringLiteral("unreadCount"), 5);
    pushed.insert(QStringLiteral("chats"), QJsonArray { g2 });
    push(pushed);
    QCOMPARE(unread("g2"), 5);

    // Not open: each message of others adds one; one's own adds nothing.
    const auto inTeam2 = [](QJsonObject m) {
        m.insert(QStringLiteral("chatId"), QStringLiteral("g2"));
        return echo(m);
    };
    push(inTeam2(unseen(QStringLiteral("o2"))));
    push(inTeam2(message(QStringLiteral("o3"), QStringLiteral("u1"), 2, QStringLiteral("mine"))));
    QCOMPARE(unread("g2"), 6);
    // Read on another device: held or not, each lowers by one, and only once.
    const auto seenElsewhere = [this](const char *messageId) {
        const QByteArray frame =
            QByteArray(R"({"type":"message_seen_update","chatId":"g2","messageId":")") + messageId
            + R"(","userId":"u1"})";
        push(json(frame.constData()));
    };
    seenElsewhere("o2");
    seenElsewhere("o2");
    seenElsewhere("old");
    QCOMPARE(unread("g2"), 4);
    // Someone else's receipt is none of mine.
    push(json(R"({"type":"message_seen_update","chatId":"g2","messageId":"o1","userId":"u2"})"));
    QCOMPARE(unread("g2"), 4);
    // A deleted unread message no longer counts.
    push(json(R"({"type":"message_deleted","chatId":"g2","messageId":"o1"})"));
    QCOMPARE(unread("g2"), 3);

    // The open chat in front: counted not at all. Away: counted until its receipts go.
    push(echo(unseen(QStringLiteral("n1"))));
    QCOMPARE(unread("g1"), 0);
    session->setInBackground(true);
    push(echo(unseen(QStringLiteral("n2"))));
    push(echo(unseen(QStringLiteral("n3"))));
    QCOMPARE(unread("g1"), 2);
    session->setInBackground(false);
    QCOMPARE(unread("g1"), 0);

    // Opening brings it to 0, with what was not held.
    session->openChat(QStringLiteral("g2"), QString());
    QCOMPARE(unread("g2"), 0);
    seenElsewhere("old2");
    QCOMPARE(unread("g2"), 0);
    QVERIFY(changed.count() > 0);
    QCOMPARE(session->store().unreadTotal({}), 0);
}

void TestChatSession::typingGoesOutAtMostEveryThreeSeconds()
{
    qint64 now = 1000;
    session->setClock([&now] { return now; });
    QVERIFY(start());
    const auto typingFrames = [this] {
        QStringList sent;
        for (const QJsonObject &frame : server->takeFrames())
            sent << QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact));
        return sent;
    };
    const QString typingInTeam = QStringLiteral(R"({"chatId":"g1","type":"typing"})");
    const struct {
        qint64 at;
        const char *text;
        bool sent;
    } steps[] = {
        { 1000, "h", true },
        { 2000, "he", false },
        { 3999, "hel", false },
        { 4000, "hell", true },
        { 8000, "   ", false },
        { 8000, "", false },
        { 8000, "x", true },
    };
    for (const auto &step : steps) {
        now = step.at;
        session->composerChanged(QLatin1String(step.text));
        session->client()->sendMessageSeen(QStringLiteral("sync"), QStringLiteral("sync"));
        QVERIFY(server->waitForFrames(1));
        QStringList expected;
        if (step.sent)
            expected << typingInTeam;
        expected << QStringLiteral(R"({"chatId":"sync","messageId":"sync","type":"message_seen"})");
        QCOMPARE(typingFrames(), expected);
    }

    // Never for an edit, nor with the setting off.
    now = 20000;
    session->startEditing(QStringLiteral("m2"), QStringLiteral("text 2"), QString());
    session->composerChanged(QStringLiteral("text 2!"));
    session->stopEditing();
    session->setSendTyping(false);
    session->composerChanged(QStringLiteral("x"));
    session->setSendTyping(true);
    session->composerChanged(QStringLiteral("x"));
    QVERIFY(server->waitForFrames(1));
    QCOMPARE(typingFrames(), QStringList { typingInTeam });
}

void TestChatSession::mutesSurviveLogoutAndRestart()
{
    QSettings(QStringLiteral("Ferrow"), QStringLiteral("MessengerClient")).clear();
    QVERIFY(start());
    QSignalSpy changed(session.get(), &ChatSession::muteChanged);
    session->setMuted(QStringLiteral("g1"), true);
    session->setMuted(QStringLiteral("g1"), true);
    session->setMuted(QStringLiteral("g2"), true);
    session->setMuted(QStringLiteral("g2"), false);
    QCOMPARE(changed.count(), 3);
    session->logOut();
    QVERIFY(!session->isMuted(QStringLiteral("g1")));

    // A new process, the same account: muted again. Another account: not.
    cleanup();
    init();
    QVERIFY(start());
    QVERIFY(session->isMuted(QStringLiteral("g1")));
    QVERIFY(!session->isMuted(QStringLiteral("g2")));
}

void TestChatSession::chatChangesApplyOnlyToHeldChatsOfMine_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("members");

    const QStringList gone;
    QTest::newRow("renamed and extended")
        << QByteArray(R"({"type":"chat_updated","chat":{"chatId":"g1","chatName":"Crew",
                          "chatType":"group","ownerId":"u2","members":["u2","u1","u3"]}})")
        << "Crew" << strings({ "u2", "u1", "u3" });
    QTest::newRow("an unknown chat")
        << QByteArray(R"({"type":"chat_updated","chat":{"chatId":"g9","chatName":"X",
                          "chatType":"group","members":["u1"]}})")
        << "Team" << strings({ "u1", "u2" });
    QTest::newRow("no chat object") << QByteArray(R"({"type":"chat_updated","chat":"g1"})")
                                    << "Team" << strings({ "u1", "u2" });
    QTest::newRow("without members")
        << QByteArray(R"({"type":"chat_updated","chat":{"chatId":"g1","chatName":"Team"}})")
        << QString() << gone;
    QTest::newRow("making me a non-member")
        << QByteArray(R"({"type":"chat_updated","chat":{"chatId":"g1","members":["u2"]}})")
        << QString() << gone;
    QTest::newRow("removed") << QByteArray(R"({"type":"chat_removed","chatId":"g1"})") << QString()
                             << gone;
    QTest::newRow("removal of an unknown chat")
        << QByteArray(R"({"type":"chat_removed","chatId":"g9"})") << "Team"
        << strings({ "u1", "u2" });
}

void TestChatSession::chatChangesApplyOnlyToHeldChatsOfMine()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, name);
    QFETCH(QStringList, members);
    QVERIFY(start());
    // The chat is open, with a message to it on its way and a reply begun.
    session->send(QStringLiteral("on its way"));
    QVERIFY(session->replyTo(QStringLiteral("m1")));
    QSignalSpy removed(session.get(), &ChatSession::chatRemoved);

    push(json(frame.constData()));
    const Chat *chat = session->store().chat(QStringLiteral("g1"));
    QCOMPARE(chat != nullptr, !members.isEmpty());
    QCOMPARE(removed.count(), members.isEmpty() ? 1 : 0);
    QVERIFY(!session->store().chat(QStringLiteral("g9")));
    QCOMPARE(session->store().pendingMessagesOf(QStringLiteral("g1")).size(),
        std::size_t(members.isEmpty() ? 0 : 1));
    if (chat) {
        QCOMPARE(chat->name, name);
        QCOMPARE(chat->members, members);
        QCOMPARE(chat->messages.size(), std::size_t(3));
        return;
    }
    QVERIFY(session->currentChatId().isEmpty());
    QVERIFY(session->replyToMessageId().isEmpty());
}

QTEST_GUILESS_MAIN(TestChatSession)
#include "tst_chatsession.moc"
