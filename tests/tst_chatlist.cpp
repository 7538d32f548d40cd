#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"

#include <QJsonDocument>
#include <QStandardPaths>
#include <QtTest>

namespace
{

QStringList rowIds(QListWidget *list)
{
    QStringList ids;
    for (int row = 0; row < list->count(); ++row)
        ids << list->item(row)->data(IdRole).toString();
    return ids;
}

QStringList messageIds(const Chat &chat)
{
    QStringList ids;
    for (const Message &message : chat.messages)
        ids << message.id;
    return ids;
}

QListWidgetItem *rowWithId(QListWidget *list, const QString &id)
{
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->data(IdRole).toString() == id)
            return list->item(row);
    }
    return nullptr;
}

void click(QListWidget *list, QListWidgetItem *item)
{
    QVERIFY(item);
    emit list->itemClicked(item);
}

} // namespace

class TestChatList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void firstFillOrdersByLastActivity();
    void chatNames_data();
    void chatNames();
    void contactRows();
    void privateChatShowsMembersAvatar();
    void mergesPagesWithoutDuplicates();
    void keepsServerOrderOfANewChat();
    void chatAnnouncedBeforeFirstBatchAllGetRows();
    void newChatGoesOnTopOnce();
    void emptyFirstBatchLeavesNextAsFirstFill();
    void openingChatAcknowledgesOthersMessagesOnce();
    void openingUnknownRowKeepsMessages();
    void openingContactComposesPrivateId();
    void openingContactWithExistingChatRendersIt();
};

void TestChatList::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestChatList::init()
{
    AppSettings().clear();
}

void TestChatList::firstFillOrdersByLastActivity()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(
        R"({"type":"chat_history","chats":[
            {"chatId":"a","chatName":"Five","chatType":"group","members":["u1"],
             "messages":[{"messageId":"a1","chatId":"a","timestamp":7},
                         {"messageId":"a2","chatId":"a","timestamp":5}]},
            {"chatId":"b","chatName":"None","chatType":"group","members":["u1"]},
            {"chatId":"c","chatName":"Nine","chatType":"group","members":["u1"],
             "messages":[{"messageId":"c1","chatId":"c","timestamp":9}]}]})");
    WindowProbe &probe = *session.probe;
    // The last message in server order counts, not the newest.
    QCOMPARE(rowIds(probe.chatListWidget()),
        (QStringList { QStringLiteral("c"), QStringLiteral("a"), QStringLiteral("b") }));
    QCOMPARE(probe.chatListWidget()->item(0)->text(), QStringLiteral("Nine"));
    QVERIFY(probe.chatListWidget()->selectedItems().isEmpty());
    QVERIFY(probe.currentChatId().isEmpty());
    QCOMPARE(probe.messageListWidget()->count(), 0);
    QVERIFY(session.server.frames.isEmpty());
}

void TestChatList::chatNames_data()
{
    QTest::addColumn<QByteArray>("chat");
    QTest::addColumn<QString>("name");

    QTest::newRow("named chat") << QByteArray(
        R"({"chatId":"x","chatName":"Team","chatType":"group"})")
                                << QStringLiteral("Team");
    QTest::newRow("unnamed group")
        << QByteArray(R"({"chatId":"x","chatType":"group"})") << QStringLiteral("Chat");
    QTest::newRow("unnamed chat without a type")
        << QByteArray(R"({"chatId":"x"})") << QStringLiteral("Chat");
    QTest::newRow("type compared case-sensitively")
        << QByteArray(R"({"chatId":"x","chatType":"Private","members":["u1","u2"]})")
        << QStringLiteral("Chat");
    QTest::newRow("private chat names the other member")
        << QByteArray(R"({"chatId":"x","chatType":"private","members":["u1","u2"]})")
        << QStringLiteral("bob");
    QTest::newRow("unknown members are skipped")
        << QByteArray(R"({"chatId":"x","chatType":"private","members":["u9","u1","u2"]})")
        << QStringLiteral("bob");
    QTest::newRow("private chat with an unknown member")
        << QByteArray(R"({"chatId":"x","chatType":"private","members":["u1","u9"]})")
        << QStringLiteral("Unknown User");
    QTest::newRow("private chat with only me")
        << QByteArray(R"({"chatId":"x","chatType":"private","members":["u1"]})")
        << QStringLiteral("Unknown User");
}

void TestChatList::chatNames()
{
    QFETCH(QByteArray, chat);
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(
        R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob"}]})");
    session.push(
        QJsonDocument::fromJson("{\"type\":\"chat_history\",\"chats\":[" + chat + "]}").object());
    QCOMPARE(session.probe->chatListWidget()->count(), 1);
    QTEST(session.probe->chatListWidget()->item(0)->text(), "name");
    emit session.probe->chatListWidget()->itemClicked(session.probe->chatListWidget()->item(0));
    QTEST(session.probe->chatTitleLabel()->text(), "name");
}

void TestChatList::contactRows()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(
        R"({"type":"user_list_update","users":[
            {"userId":"u2","username":"bob","avatarUrl":""},
            {"userId":"u1","username":"alice","avatarUrl":"/static/a.png"},
            {"userId":"u3","username":"carol","avatarUrl":"/static/default.png"},
            {"userId":"u4","username":"dave","avatarUrl":"https://cdn.example/d.png"},
            {"userId":"u5","username":"erin","avatarUrl":"e.png"}]})");
    WindowProbe &probe = *session.probe;
    QListWidget *contacts = probe.contactListWidget();
    QCOMPARE(rowIds(contacts),
        (QStringList { QStringLiteral("u2"),
            QStringLiteral("u3"),
            QStringLiteral("u4"),
            QStringLiteral("u5") }));
    QCOMPARE(contacts->item(0)->text(), QStringLiteral("bob"));
    const QString base = session.server.baseUrl();
    QCOMPARE(contacts->item(0)->data(AvatarUrlRole).toString(), base);
    QCOMPARE(contacts->item(1)->data(AvatarUrlRole).toString(),
        base + QStringLiteral("/static/default.png"));
    QCOMPARE(contacts->item(2)->data(AvatarUrlRole).toString(),
        QStringLiteral("https://cdn.example/d.png"));
    // A bare file name is a path on the server, not part of its port number.
    QCOMPARE(contacts->item(3)->data(AvatarUrlRole).toString(), base + QStringLiteral("/e.png"));
    for (int row = 0; row < contacts->count(); ++row)
        QVERIFY(!qvariant_cast<QIcon>(contacts->item(row)->data(Qt::DecorationRole)).isNull());
    // The logged-in user has no row but is known.
    QVERIFY(probe.store().user(QStringLiteral("u1")));
    QCOMPARE(probe.store().users().size(), size_t(5));

    // A new list replaces the old one.
    session.push(R"({"type":"user_list_update","users":[{"userId":"u7","username":"gus"}]})");
    QCOMPARE(rowIds(contacts), QStringList { QStringLiteral("u7") });
    QCOMPARE(probe.store().users().size(), size_t(1));
    QCOMPARE(probe.store().users().front().id, QStringLiteral("u7"));
}

void TestChatList::privateChatShowsMembersAvatar()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(
        R"({"type":"chat_history","chats":[
            {"chatId":"u1_u2","chatType":"private","members":["u1","u2"]},
            {"chatId":"g","chatName":"Team","chatType":"group","members":["u1","u2"]}]})");
    session.push(
        R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob","avatarUrl":"/static/b.png"}]})");
    QListWidget *chats = session.probe->chatListWidget();
    const QString base = session.server.baseUrl();
    QListWidgetItem *direct = rowWithId(chats, QStringLiteral("u1_u2"));
    QCOMPARE(direct->text(), QStringLiteral("bob"));
    QCOMPARE(direct->data(AvatarUrlRole).toString(), base + QStringLiteral("/static/b.png"));
    // A group without a picture of its own stores the base URL alone.
    QCOMPARE(rowWithId(chats, QStringLiteral("g"))->data(AvatarUrlRole).toString(), base);

    // A private chat announced once the users are known takes the member's avatar at once; one
    // with an unknown member has none.
    session.push(
        R"({"type":"new_chat_info","chat":{"chatId":"u1_u2b","chatType":"private",
            "members":["u1","u2"]}})");
    QCOMPARE(
        chats->item(0)->data(AvatarUrlRole).toString(), base + QStringLiteral("/static/b.png"));
    session.push(
        R"({"type":"new_chat_info","chat":{"chatId":"u1_u3","chatType":"private",
            "members":["u1","u3"]}})");
    QCOMPARE(chats->item(0)->data(AvatarUrlRole).toString(), QString());
    QCOMPARE(chats->item(0)->text(), QStringLiteral("Unknown User"));
}

void TestChatList::mergesPagesWithoutDuplicates()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"c1","chatName":"One","members":["u1"],
            "messages":[{"messageId":"m1","timestamp":10},{"messageId":"m2","timestamp":20}]}]})");
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"c1","chatName":"Renamed","members":["u9"],
            "messages":[{"messageId":"m3","timestamp":30},{"messageId":"m2","timestamp":20},
                        {"messageId":"m0","timestamp":5}]}]})");
    const Chat &chat = session.probe->chat(QStringLiteral("c1"));
    QCOMPARE(messageIds(chat),
        (QStringList { QStringLiteral("m0"),
            QStringLiteral("m1"),
            QStringLiteral("m2"),
            QStringLiteral("m3") }));
    // Only messages merge: the stored chat keeps its name and members.
    QCOMPARE(chat.name, QStringLiteral("One"));
    QCOMPARE(chat.members, QStringList { QStringLiteral("u1") });
    QCOMPARE(session.probe->chatListWidget()->count(), 1);
    QCOMPARE(session.probe->chatListWidget()->item(0)->text(), QStringLiteral("One"));
}

void TestChatList::keepsServerOrderOfANewChat()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"c1","members":["u1"],
            "messages":[{"messageId":"m2","timestamp":20},{"messageId":"m1","timestamp":10}]}]})");
    QCOMPARE(messageIds(session.probe->chat(QStringLiteral("c1"))),
        (QStringList { QStringLiteral("m2"), QStringLiteral("m1") }));
}

void TestChatList::chatAnnouncedBeforeFirstBatchAllGetRows()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(
        R"({"type":"new_chat_info","chat":{"chatId":"u1_u2","chatName":"Direct",
            "chatType":"private","members":["u1","u2"]}})");
    session.push(
        R"({"type":"chat_history","chats":[
            {"chatId":"old","chatName":"Old","members":["u1"],"messages":[{"messageId":"o","timestamp":3}]},
            {"chatId":"u1_u2","chatName":"Direct","members":["u1","u2"],
             "messages":[{"messageId":"d","timestamp":8}]},
            {"chatId":"new","chatName":"New","members":["u1"],"messages":[{"messageId":"n","timestamp":6}]}]})");
    QListWidget *list = session.probe->chatListWidget();
    // Chats first stored by this batch go above the existing row, newest activity first.
    QCOMPARE(rowIds(list),
        (QStringList { QStringLiteral("new"), QStringLiteral("old"), QStringLiteral("u1_u2") }));
    QCOMPARE(messageIds(session.probe->chat(QStringLiteral("u1_u2"))),
        QStringList { QStringLiteral("d") });

    // Every stored chat has exactly one row, also after another batch.
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"old","messages":[{"messageId":"o2","timestamp":9}]},
            {"chatId":"late","chatName":"Late","members":["u1"]}]})");
    QCOMPARE(rowIds(list),
        (QStringList { QStringLiteral("late"),
            QStringLiteral("new"),
            QStringLiteral("old"),
            QStringLiteral("u1_u2") }));
    QCOMPARE(list->count(), session.probe->store().chatCount());
}

void TestChatList::newChatGoesOnTopOnce()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"c1","chatName":"One","members":["u1"]}]})");
    QListWidget *chats = session.probe->chatListWidget();
    chats->setCurrentRow(0);
    const char *announcement = R"({"type":"new_chat_info","chat":{"chatId":"c2","chatName":"Two",
        "chatType":"group","members":["u1","u2"]}})";
    session.push(announcement);
    QCOMPARE(rowIds(chats), (QStringList { QStringLiteral("c2"), QStringLiteral("c1") }));
    // The selected row stays selected below the new one.
    QCOMPARE(chats->selectedItems().size(), 1);
    QCOMPARE(chats->selectedItems().first()->data(IdRole).toString(), QStringLiteral("c1"));
    QVERIFY(session.probe->currentChatId().isEmpty());
    session.push(announcement);
    QCOMPARE(session.probe->chatListWidget()->count(), 2);
}

void TestChatList::emptyFirstBatchLeavesNextAsFirstFill()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(R"({"type":"chat_history","chats":[]})");
    QCOMPARE(session.probe->chatListWidget()->count(), 0);
    QCOMPARE(session.probe->store().chatCount(), 0);
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"a","members":["u1"],"messages":[{"messageId":"x","timestamp":1}]},
            {"chatId":"b","members":["u1"],"messages":[{"messageId":"y","timestamp":2}]}]})");
    QCOMPARE(rowIds(session.probe->chatListWidget()),
        (QStringList { QStringLiteral("b"), QStringLiteral("a") }));
}

void TestChatList::openingChatAcknowledgesOthersMessagesOnce()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(
        R"({"type":"chat_history","chats":[
            {"chatId":"c1","chatName":"Team","members":["u1","u2"],"messages":[
                {"messageId":"m1","chatId":"c1","senderId":"u2","timestamp":1,"seenBy":[]},
                {"messageId":"m2","chatId":"c1","senderId":"u2","timestamp":2,"seenBy":["u1"]},
                {"messageId":"m3","chatId":"c1","senderId":"u1","timestamp":3},
                {"messageId":"m4","chatId":"c1","senderId":"u3","timestamp":4}]},
            {"chatId":"c2","chatName":"Other","members":["u1"]}]})");
    WindowProbe &probe = *session.probe;
    QListWidget *list = probe.chatListWidget();
    click(list, rowWithId(list, QStringLiteral("c1")));
    QCOMPARE(probe.currentChatId(), QStringLiteral("c1"));
    QCOMPARE(probe.chatTitleLabel()->text(), QStringLiteral("Team"));
    QCOMPARE(probe.messageListWidget()->count(), 4);
    QVERIFY(session.server.waitForFrames(2));
    QCOMPARE(session.server.frames,
        (QList<QJsonObject> { json(R"({"type":"message_seen","chatId":"c1","messageId":"m1"})"),
            json(R"({"type":"message_seen","chatId":"c1","messageId":"m4"})") }));

    click(list, rowWithId(list, QStringLiteral("c2")));
    QCOMPARE(probe.messageListWidget()->count(), 0);
    click(list, rowWithId(list, QStringLiteral("c1")));
    QCOMPARE(probe.messageListWidget()->count(), 4);
    session.push(R"({"type":"user_list_update","users":[]})");
    QCOMPARE(session.server.frames.size(), 2);
}

void TestChatList::openingUnknownRowKeepsMessages()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"c1","chatName":"One","members":["u1"],
            "messages":[{"messageId":"m1","chatId":"c1","senderId":"u1","timestamp":1}]}]})");
    QListWidget *list = session.probe->chatListWidget();
    click(list, list->item(0));
    auto *stray = new QListWidgetItem(QStringLiteral("stray"));
    stray->setData(IdRole, QStringLiteral("gone"));
    list->addItem(stray);
    // A row the window did not make stands for no chat: nothing opens.
    click(list, stray);
    QCOMPARE(session.probe->currentChatId(), QStringLiteral("c1"));
    QCOMPARE(session.probe->messageListWidget()->count(), 1);
    QCOMPARE(session.probe->chatTitleLabel()->text(), QStringLiteral("One"));
}

void TestChatList::openingContactComposesPrivateId()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(
        R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"Z9","username":"zed"}]})");
    WindowProbe &probe = *session.probe;
    probe.messageListWidget()->addItem(QStringLiteral("left over"));
    static_cast<MessageDelegate *>(probe.messageListWidget()->itemDelegate())
        ->setHighlightedMessageId(QStringLiteral("m"));
    click(probe.contactListWidget(), probe.contactListWidget()->item(0));
    QCOMPARE(probe.currentChatId(), QStringLiteral("Z9_u1"));
    QCOMPARE(probe.chatTitleLabel()->text(), QStringLiteral("zed"));
    QCOMPARE(probe.messageListWidget()->count(), 0);
    QVERIFY(probe.highlightedMessageId().isEmpty());
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"Z9","username":"zed"}]})");
    QVERIFY(session.server.frames.isEmpty());
}

void TestChatList::openingContactWithExistingChatRendersIt()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u2"), QStringLiteral("bob")));
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"u1_u2","chatType":"private",
            "members":["u1","u2"],"messages":[{"messageId":"m1","chatId":"u1_u2","senderId":"u2",
            "timestamp":1}]}]})");
    session.push(
        R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob"}]})");
    WindowProbe &probe = *session.probe;
    click(probe.contactListWidget(), probe.contactListWidget()->item(0));
    QCOMPARE(probe.currentChatId(), QStringLiteral("u1_u2"));
    QCOMPARE(probe.chatTitleLabel()->text(), QStringLiteral("alice"));
    QCOMPARE(probe.messageListWidget()->count(), 1);
    // A new name shows in the header of the open chat, as in its row.
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alicia"},
            {"userId":"u2","username":"bob"}]})");
    QCOMPARE(probe.chatTitleLabel()->text(), QStringLiteral("alicia"));
}

QTEST_MAIN(TestChatList)
#include "tst_chatlist.moc"
