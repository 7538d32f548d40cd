#include "store/chatstore.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace
{

const QString me = QStringLiteral("u1");

QString str(const char *text)
{
    return QString::fromLatin1(text);
}

// "a b c" -> { "a", "b", "c" }
QStringList list(const char *words)
{
    return str(words).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

Message message(const QString &id, qint64 timestamp, const QString &sender = QStringLiteral("u2"))
{
    Message msg;
    msg.id = id;
    msg.chatId = QStringLiteral("c1");
    msg.senderId = sender;
    msg.content = QStringLiteral("text of ") + id;
    msg.timestamp = timestamp;
    return msg;
}

// "a:5 b:7" -> messages a at 5 and b at 7 of chat c1.
std::vector<Message> messages(const QString &layout)
{
    std::vector<Message> list;
    for (const QString &part : layout.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList fields = part.split(QLatin1Char(':'));
        list.push_back(message(fields.at(0), fields.at(1).toLongLong()));
    }
    return list;
}

Chat chat(const QString &id, std::vector<Message> list = {})
{
    Chat c;
    c.id = id;
    c.type = QStringLiteral("group");
    c.members = QStringList { me, QStringLiteral("u2") };
    for (Message &msg : list)
        msg.chatId = id;
    c.messages = std::move(list);
    return c;
}

QStringList ids(const ChatStore &store, const QString &chatId = QStringLiteral("c1"))
{
    QStringList result;
    for (const Message &msg : store.chat(chatId)->messages)
        result << msg.id;
    return result;
}

// Every held message is found at its place through the id lookup.
bool positionsAgree(const ChatStore &store, const QString &chatId = QStringLiteral("c1"))
{
    const auto &list = store.chat(chatId)->messages;
    for (size_t i = 0; i < list.size(); ++i) {
        if (store.messagePosition(chatId, list[i].id) != static_cast<int>(i))
            return false;
        if (store.message(chatId, list[i].id) != &list[i])
            return false;
    }
    return true;
}

QStringList pendingIds(const ChatStore &store)
{
    QStringList result;
    for (const Message &local : store.pendingMessages())
        result << local.id;
    return result;
}

} // namespace

class TestChatStore : public QObject
{
    Q_OBJECT

private slots:
    void statusRule_data();
    void statusRule();
    void mergesHistoryBatches_data();
    void mergesHistoryBatches();
    void matchesEchoesToLocalCopies_data();
    void matchesEchoesToLocalCopies();
    void appliesReceiptsEditsAndDeletions_data();
    void appliesReceiptsEditsAndDeletions();
    void pagesOneRequestAtATime();
    void replacesMessagesWithTheServersView_data();
    void replacesMessagesWithTheServersView();
    void droppedLocalCopyIsNoLongerMatched();
    void gapRequestBlocksPaging();
    void ordersChatsByActivity();
    void takesUnseenMessagesOnce();
    void clearForgetsTheAccount();
};

void TestChatStore::mergesHistoryBatches_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("new chat keeps server order")
        << QStringLiteral("b:20 a:10") << QString() << list("b a");
    QTest::newRow("older page goes in front")
        << QStringLiteral("c:30 d:40") << QStringLiteral("a:10 b:20") << list("a b c d");
    QTest::newRow("older page given newest first")
        << QStringLiteral("c:30 d:40") << QStringLiteral("b:20 a:10") << list("a b c d");
    QTest::newRow("interleaved page sorted by time")
        << QStringLiteral("a:10 c:30") << QStringLiteral("d:40 b:20") << list("a b c d");
    QTest::newRow("duplicates across and within batches dropped")
        << QStringLiteral("a:10 b:20") << QStringLiteral("b:20 z:5 z:5 a:10") << list("z a b");
    QTest::newRow("equal times keep arrival order")
        << QStringLiteral("a:10 b:10") << QStringLiteral("c:10") << list("a b c");
    QTest::newRow("unsorted history sorted by a merge")
        << QStringLiteral("b:20 a:10") << QStringLiteral("z:5") << list("z a b");
}

void TestChatStore::mergesHistoryBatches()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QStringList, expected);
    ChatStore store;
    store.setCurrentUserId(me);
    QSignalSpy added(&store, &ChatStore::chatsAdded);
    store.applyChatHistory({ chat(QStringLiteral("c1"), messages(first)) });
    if (!second.isEmpty()) {
        Chat again = chat(QStringLiteral("c1"), messages(second));
        again.name = QStringLiteral("Renamed");
        store.applyChatHistory({ again });
    }
    QCOMPARE(ids(store), expected);
    QVERIFY(positionsAgree(store));
    // Only messages merge; the chat is added once.
    QCOMPARE(added.size(), 1);
    QVERIFY(store.chat(QStringLiteral("c1"))->name.isEmpty());
}

void TestChatStore::matchesEchoesToLocalCopies_data()
{
    QTest::addColumn<QString>("echoId");
    QTest::addColumn<QString>("chatId");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("replaced");
    QTest::addColumn<QStringList>("stillPending");
    QTest::newRow("echo takes the oldest copy of the same text") << str(
        "s1") << str("c1") << me << str("same") << str("temp_b") << list("temp_a temp_c temp_d");
    QTest::newRow("other text matches nothing") << str("s1") << str("c1") << me << str("other")
                                                << QString() << list("temp_b temp_a temp_c temp_d");
    QTest::newRow("same text in another chat matches nothing") << str(
        "s1") << str("c2") << me << str("same") << QString() << list("temp_b temp_a temp_c temp_d");
    QTest::newRow("another user's message matches nothing")
        << str("s1") << str("c1") << str("u2") << str("same") << QString()
        << list("temp_b temp_a temp_c temp_d");
    QTest::newRow("echo in a chat that is not held still matches")
        << str("s1") << str("c9") << me << str("elsewhere") << str("temp_c")
        << list("temp_b temp_a temp_d");
    QTest::newRow("a copy that never went out matches nothing")
        << str("s1") << str("c1") << me << str("unsent") << QString()
        << list("temp_b temp_a temp_c temp_d");
    QTest::newRow("a repeat consumes nothing") << str("m1") << str("c1") << me << str("same")
                                               << QString() << list("temp_b temp_a temp_c temp_d");
}

void TestChatStore::matchesEchoesToLocalCopies()
{
    QFETCH(QString, echoId);
    QFETCH(QString, chatId);
    QFETCH(QString, sender);
    QFETCH(QString, text);
    QFETCH(QString, replaced);
    QFETCH(QStringList, stillPending);
    ChatStore store;
    store.setCurrentUserId(me);
    store.applyChatHistory({ chat(QStringLiteral("c1"), messages(QStringLiteral("m1:1"))),
        chat(QStringLiteral("c2")) });
    // Typed in this order, with ids that sort the other way: the order typed counts.
    const QList<QPair<QString, QString>> locals { { str("temp_b"), str("same") },
        { str("temp_a"), str("same") },
        { str("temp_c"), str("elsewhere") },
        { str("temp_d"), str("unsent") } };
    for (const auto &local : locals) {
        Message copy = message(local.first, 2, me);
        copy.chatId =
            local.first == QLatin1String("temp_c") ? QStringLiteral("c9") : QStringLiteral("c1");
        copy.content = local.second;
        copy.status = Sending;
        store.addPendingMessage(copy);
        if (local.first != QLatin1String("temp_d"))
            store.markPendingSent(local.first);
    }

    QSignalSpy arrived(&store, &ChatStore::messageArrived);
    Message echo = message(echoId, 3, sender);
    echo.chatId = chatId;
    echo.content = text;
    const bool repeat = echoId == QLatin1String("m1");
    QCOMPARE(store.applyMessage(echo), !repeat);
    QCOMPARE(pendingIds(store), stillPending);
    QCOMPARE(arrived.size(), repeat ? 0 : 1);
    if (!repeat)
        QCOMPARE(arrived.first().at(1).toString(), replaced);
    if (store.hasChat(chatId)) {
        QCOMPARE(store.chat(chatId)->messages.back().id, repeat ? QStringLiteral("m1") : echoId);
        QVERIFY(positionsAgree(store, chatId));
    }
}

void TestChatStore::appliesReceiptsEditsAndDeletions_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("messageId");
    QTest::addColumn<QStringList>("expectedIds");
    QTest::addColumn<int>("statusSignals");
    QTest::addColumn<QString>("expectedText");
    QTest::newRow("seen by a member marks my message seen")
        << str("seen") << str("m2") << list("m1 m2 m3") << 1 << str("text of m2");
    QTest::newRow("seen of an unknown id changes nothing")
        << str("seen") << str("zz") << list("m1 m2 m3") << 0 << QString();
    QTest::newRow("edit of a held message")
        << str("edit") << str("m2") << list("m1 m2 m3") << 0 << str("new text");
    QTest::newRow("edit of an unknown id")
        << str("edit") << str("zz") << list("m1 m2 m3") << 0 << QString();
    QTest::newRow("deletion of the first message")
        << str("delete") << str("m1") << list("m2 m3") << 0 << QString();
    QTest::newRow("deletion in the middle")
        << str("delete") << str("m2") << list("m1 m3") << 0 << QString();
    QTest::newRow("deletion of an unknown id")
        << str("delete") << str("zz") << list("m1 m2 m3") << 0 << QString();
}

void TestChatStore::appliesReceiptsEditsAndDeletions()
{
    QFETCH(QString, event);
    QFETCH(QString, messageId);
    QFETCH(QStringList, expectedIds);
    QFETCH(int, statusSignals);
    QFETCH(QString, expectedText);
    ChatStore store;
    store.setCurrentUserId(me);
    std::vector<Message> held { message(QStringLiteral("m1"), 1),
        message(QStringLiteral("m2"), 2, me),
        message(QStringLiteral("m3"), 3) };
    // An older page first, so that positions go through the shifted index.
    store.applyChatHistory({ chat(QStringLiteral("c1"), { held[2] }) });
    store.applyChatHistory({ chat(QStringLiteral("c1"), { held[0], held[1] }) });
    QCOMPARE(store.message(QStringLiteral("c1"), QStringLiteral("m2"))->status, Sent);

    QSignalSpy status(&store, &ChatStore::messageStatusChanged);
    QSignalSpy edited(&store, &ChatStore::messageEdited);
    QSignalSpy removed(&store, &ChatStore::messageRemoved);
    const QString c1 = QStringLiteral("c1");
    if (event == QLatin1String("seen"))
        store.applySeen(c1, messageId, QStringLiteral("u2"));
    else if (event == QLatin1String("edit"))
        store.applyEdit(c1, messageId, QStringLiteral("new text"), 99);
    else
        store.applyDeletion(c1, messageId);

    QCOMPARE(ids(store), expectedIds);
    QVERIFY(positionsAgree(store));
    QCOMPARE(status.size(), statusSignals);
    // Views hear of every edit and deletion, held or not.
    QCOMPARE(edited.size(), event == QLatin1String("edit") ? 1 : 0);
    QCOMPARE(removed.size(), event == QLatin1String("delete") ? 1 : 0);
    const Message *stored = store.message(c1, messageId);
    if (!expectedText.isEmpty())
        QCOMPARE(stored->content, expectedText);
    if (statusSignals) {
        QCOMPARE(stored->status, Seen);
        QCOMPARE(status.first().at(2).value<MessageStatus>(), Seen);
    }
    if (event == QLatin1String("edit") && stored)
        QCOMPARE(stored->editedAt, qint64(99));
}

void TestChatStore::pagesOneRequestAtATime()
{
    ChatStore store;
    store.setCurrentUserId(me);
    const QString c1 = QStringLiteral("c1");
    QCOMPARE(store.beginHistoryRequest(c1), qint64(-1));
    store.applyChatHistory({ chat(c1, messages(QStringLiteral("c:30 d:40"))), chat(str("empty")) });
    QCOMPARE(store.beginHistoryRequest(QStringLiteral("empty")), qint64(-1));

    QCOMPARE(store.beginHistoryRequest(c1), qint64(30));
    QVERIFY(store.isLoadingHistory());
    QVERIFY(store.historyTimeout()->isActive());
    QCOMPARE(store.beginHistoryRequest(c1), qint64(-1));

    QSignalSpy older(&store, &ChatStore::olderMessagesAdded);
    store.applyChatHistory({ chat(c1, messages(QStringLiteral("a:10 b:20"))) });
    QVERIFY(!store.isLoadingHistory());
    QVERIFY(!store.historyTimeout()->isActive());
    QCOMPARE(older.size(), 1);
    QCOMPARE(store.beginHistoryRequest(c1), qint64(10));

    // An answer with nothing new ends paging for that chat until the next login.
    store.applyChatHistory({ chat(c1, messages(QStringLiteral("a:10"))) });
    QCOMPARE(older.size(), 1);
    QVERIFY(store.isHistoryExhausted(c1));
    QCOMPARE(store.beginHistoryRequest(c1), qint64(-1));
    store.forgetExhaustedHistory();
    QCOMPARE(store.beginHistoryRequest(c1), qint64(10));

    // A lost answer unblocks paging when the guard runs out.
    store.historyTimeout()->start(1);
    QTRY_VERIFY(!store.isLoadingHistory());
    QVERIFY(!store.isHistoryExhausted(c1));
}

void TestChatStore::replacesMessagesWithTheServersView_data()
{
    QTest::addColumn<QString>("chatId");
    QTest::addColumn<QString>("fresh");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("moved");
    QTest::newRow("newer message moves the chat up")
        << str("c1") << str("b:20 c:30") << list("b c") << true;
    QTest::newRow("newest deleted offline moves nothing")
        << str("c1") << str("a:10") << list("a") << false;
    QTest::newRow("unsorted answer is held oldest first")
        << str("c1") << str("c:30 a:10 b:20") << list("a b c") << true;
    QTest::newRow("chat not held stays unknown")
        << str("c9") << str("z:50") << QStringList() << false;
}

void TestChatStore::replacesMessagesWithTheServersView()
{
    QFETCH(QString, chatId);
    QFETCH(QString, fresh);
    QFETCH(QStringList, expected);
    QFETCH(bool, moved);
    ChatStore store;
    store.setCurrentUserId(me);
    const QString c1 = QStringLiteral("c1");
    store.applyChatHistory({ chat(c1, messages(QStringLiteral("a:10 b:20"))) });
    // Exhausted before the outage; the merge may have brought older pages back.
    QCOMPARE(store.beginHistoryRequest(c1), qint64(10));
    store.applyChatHistory({ chat(c1, messages(QStringLiteral("a:10"))) });
    QVERIFY(store.isHistoryExhausted(c1));

    QSignalSpy chatMoved(&store, &ChatStore::chatMoved);
    std::vector<Message> list = messages(fresh);
    for (Message &msg : list)
        msg.chatId = chatId;
    store.replaceMessages(chatId, list);
    QCOMPARE(chatMoved.size(), moved ? 1 : 0);
    if (expected.isEmpty()) {
        QVERIFY(!store.hasChat(chatId));
        return;
    }
    QCOMPARE(ids(store), expected);
    QVERIFY(positionsAgree(store));
    QVERIFY(!store.isHistoryExhausted(c1));
    // An echo of a message held after the merge is a repeat.
    QVERIFY(!store.applyMessage(*store.message(c1, expected.last())));
}

void TestChatStore::droppedLocalCopyIsNoLongerMatched()
{
    ChatStore store;
    store.setCurrentUserId(me);
    store.applyChatHistory({ chat(QStringLiteral("c1")) });
    for (const char *id : { "temp_a", "temp_b" }) {
        Message copy = message(str(id), 2, me);
        copy.content = QStringLiteral("same");
        store.addPendingMessage(copy);
        store.markPendingSent(str(id));
    }
    QSignalSpy status(&store, &ChatStore::pendingStatusChanged);
    QSignalSpy removed(&store, &ChatStore::messageRemoved);
    store.setPendingStatus(str("temp_b"), Failed);
    QCOMPARE(store.pendingMessage(str("temp_b"))->status, Failed);
    QCOMPARE(status.size(), 1);
    store.removePendingMessage(str("temp_a"));
    store.removePendingMessage(str("temp_unknown"));
    QCOMPARE(pendingIds(store), list("temp_b"));
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed.first().at(1).toString(), str("temp_a"));

    QSignalSpy arrived(&store, &ChatStore::messageArrived);
    Message echo = message(str("s1"), 3, me);
    echo.content = QStringLiteral("same");
    QVERIFY(store.applyMessage(echo));
    QCOMPARE(arrived.first().at(1).toString(), str("temp_b"));
    QVERIFY(store.pendingMessages().empty());

    // With every copy gone, a second echo of the same text replaces nothing.
    echo.id = str("s2");
    QVERIFY(store.applyMessage(echo));
    QCOMPARE(arrived.last().at(1).toString(), QString());
}

void TestChatStore::gapRequestBlocksPaging()
{
    ChatStore store;
    store.setCurrentUserId(me);
    const QString c1 = QStringLiteral("c1");
    QVERIFY(!store.beginHistoryRequestFor(c1));
    store.applyChatHistory({ chat(c1, messages(QStringLiteral("a:10"))) });
    QVERIFY(store.beginHistoryRequestFor(c1));
    QCOMPARE(store.historyRequestChatId(), c1);
    QVERIFY(!store.beginHistoryRequestFor(c1));
    QCOMPARE(store.beginHistoryRequest(c1), qint64(-1));
    store.finishHistoryRequest();
    QCOMPARE(store.beginHistoryRequest(c1), qint64(10));
}

void TestChatStore::ordersChatsByActivity()
{
    ChatStore store;
    store.setCurrentUserId(me);
    QSignalSpy added(&store, &ChatStore::chatsAdded);
    QSignalSpy moved(&store, &ChatStore::chatMoved);
    // The last message in server order counts; ties keep the batch's order.
    store.applyChatHistory({ chat(str("a"), messages(QStringLiteral("a1:7 a2:5"))),
        chat(str("tie1")),
        chat(str("c"), messages(QStringLiteral("c1:9"))),
        chat(str("tie2")) });
    const QStringList first = list("c a tie1 tie2");
    QCOMPARE(store.chatIdsByActivity(), first);
    QCOMPARE(added.first().at(0).toStringList(), first);

    // A later batch puts its new chats above the others.
    store.applyChatHistory(
        { chat(str("a"), messages(QStringLiteral("a9:99"))), chat(str("late")) });
    QCOMPARE(store.chatIdsByActivity(), list("late c a tie1 tie2"));

    Message incoming = message(QStringLiteral("x"), 1);
    incoming.chatId = QStringLiteral("tie2");
    store.applyMessage(incoming);
    // A repeat still moves its chat.
    incoming.chatId = QStringLiteral("tie1");
    incoming.id = QStringLiteral("y");
    store.applyMessage(incoming);
    store.applyMessage(incoming);
    store.applyNewChat(chat(str("fresh")));
    store.applyNewChat(chat(str("fresh")));
    const QStringList now = list("fresh tie1 tie2 late c a");
    QCOMPARE(store.chatIdsByActivity(), now);
    for (int row = 0; row < now.size(); ++row)
        QCOMPARE(store.chatRow(now.at(row)), row);
    QCOMPARE(store.chatRow(QStringLiteral("nowhere")), -1);
    QCOMPARE(moved.size(), 3);
    QCOMPARE(added.size(), 3);
}

void TestChatStore::takesUnseenMessagesOnce()
{
    ChatStore store;
    store.setCurrentUserId(me);
    std::vector<Message> held = messages(QStringLiteral("a:1 b:2 c:3 d:4"));
    held[1].seenBy = QStringList { me };
    held[2].senderId = me;
    store.applyChatHistory({ chat(QStringLiteral("c1"), held) });
    QCOMPARE(store.takeUnseenMessages(QStringLiteral("c1")), list("a d"));
    QVERIFY(store.takeUnseenMessages(QStringLiteral("c1")).isEmpty());
    QVERIFY(store.takeUnseenMessages(QStringLiteral("nowhere")).isEmpty());
}

void TestChatStore::clearForgetsTheAccount()
{
    ChatStore store;
    store.setCurrentUserId(me);
    store.applyUsers({ User { me, QStringLiteral("alice"), QString() } });
    store.applyChatHistory({ chat(QStringLiteral("c1"), messages(QStringLiteral("a:1"))) });
    store.addPendingMessage(message(QStringLiteral("temp_1"), 2, me));
    QCOMPARE(store.beginHistoryRequest(QStringLiteral("c1")), qint64(1));
    store.clear();
    QCOMPARE(store.chatCount(), 0);
    QVERIFY(store.users().empty());
    QVERIFY(!store.user(me));
    QVERIFY(store.pendingMessages().empty());
    QVERIFY(!store.isLoadingHistory());
    QVERIFY(store.chatIdsByActivity().isEmpty());
}

void TestChatStore::statusRule_data()
{
    QTest::addColumn<QString>("senderId");
    QTest::addColumn<QString>("messageId");
    QTest::addColumn<QStringList>("seenBy");
    QTest::addColumn<QStringList>("members");
    QTest::addColumn<int>("status");

    const QStringList both { QStringLiteral("me"), QStringLiteral("bob") };
    QTest::newRow("someone else's message")
        << QStringLiteral("bob") << QStringLiteral("temp_1") << QStringList() << both << int(Sent);
    QTest::newRow("own local copy")
        << QStringLiteral("me") << QStringLiteral("temp_1") << QStringList { QStringLiteral("bob") }
        << both << int(Sending);
    QTest::newRow("prefix is case-sensitive")
        << QStringLiteral("me") << QStringLiteral("Temp_1") << QStringList() << both << int(Sent);
    QTest::newRow("own, unseen") << QStringLiteral("me") << QStringLiteral("m1") << QStringList()
                                 << both << int(Sent);
    QTest::newRow("own, seen by a member")
        << QStringLiteral("me") << QStringLiteral("m1") << QStringList { QStringLiteral("bob") }
        << both << int(Seen);
    QTest::newRow("own, seen only by me")
        << QStringLiteral("me") << QStringLiteral("m1") << QStringList { QStringLiteral("me") }
        << both << int(Sent);
    QTest::newRow("own, seen by a non-member")
        << QStringLiteral("me") << QStringLiteral("m1") << QStringList { QStringLiteral("eve") }
        << both << int(Sent);
    QTest::newRow("own, chat without other members")
        << QStringLiteral("me") << QStringLiteral("m1") << QStringList { QStringLiteral("bob") }
        << QStringList { QStringLiteral("me") } << int(Sent);
}

void TestChatStore::statusRule()
{
    QFETCH(QString, senderId);
    QFETCH(QString, messageId);
    QFETCH(QStringList, seenBy);
    QFETCH(QStringList, members);
    Message msg;
    msg.id = messageId;
    msg.senderId = senderId;
    msg.seenBy = seenBy;
    Chat chat;
    chat.members = members;
    ChatStore store;
    store.setCurrentUserId(QStringLiteral("me"));
    QTEST(int(store.calculateMessageStatus(msg, chat)), "status");
}

QTEST_GUILESS_MAIN(TestChatStore)
#include "tst_chatstore.moc"
