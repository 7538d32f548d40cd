#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"

#include <QStandardPaths>
#include <QtTest>

class TestWhatsNew : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void chatRowsSummariseOnlyWithTheSetting_data();
    void chatRowsSummariseOnlyWithTheSetting();
    void muteFromTheChatRowLeavesTheTotal();
    void headerSaysWhoIsTyping();
    void mentionIsMarkedAndReadOut();
    void atOpensCompletionOfMembers_data();
    void atOpensCompletionOfMembers();

private:
    // alice (u1) in "Team" (g1: bob's seen m1, her m2) and "Other" (g2: carol's unseen m5 of
    // three unread), with bob, carol and dave known.
    void logIn();
    QListWidgetItem *row(const QString &chatId) const;
    void open(const QString &chatId);

    std::unique_ptr<Session> session;
};

void TestWhatsNew::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestWhatsNew::init()
{
    AppSettings().clear();
    session.reset();
}

void TestWhatsNew::logIn()
{
    session = std::make_unique<Session>();
    QVERIFY(session->connected());
    QVERIFY(session->logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session->push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
        {"userId":"u2","username":"bob"},{"userId":"u3","username":"carol"},
        {"userId":"u4","username":"dave"}]})");
    session->push(R"({"type":"chat_history","chats":[
        {"chatId":"g1","chatName":"Team","chatType":"group","members":["u1","u2","u3"],
         "unreadCount":0,"messages":[
         {"messageId":"m1","chatId":"g1","senderId":"u2","timestamp":1,"content":{"text":"a"},
          "seenBy":["u1"]},
         {"messageId":"m2","chatId":"g1","senderId":"u1","timestamp":2,
          "content":{"text":"","file":{"name":"photo.png"}}}]},
        {"chatId":"g2","chatName":"Other","chatType":"group","members":["u1","u3"],
         "unreadCount":3,"messages":[
         {"messageId":"m5","chatId":"g2","senderId":"u3","timestamp":1,
          "content":{"text":"  see\nyou "}}]}]})");
}

QListWidgetItem *TestWhatsNew::row(const QString &chatId) const
{
    QListWidget *chats = session->probe->chatListWidget();
    for (int i = 0; i < chats->count(); ++i) {
        if (chats->item(i)->data(IdRole).toString() == chatId)
            return chats->item(i);
    }
    return nullptr;
}

void TestWhatsNew::open(const QString &chatId)
{
    emit session->probe->chatListWidget()->itemClicked(row(chatId));
    QCOMPARE(session->probe->currentChatId(), chatId);
}

void TestWhatsNew::chatRowsSummariseOnlyWithTheSetting_data()
{
    QTest::addColumn<bool>("previews");
    QTest::addColumn<bool>("storedBefore");

    QTest::newRow("off") << false << false;
    QTest::newRow("switched on after login") << true << false;
    QTest::newRow("on from the start") << true << true;
}

void TestWhatsNew::chatRowsSummariseOnlyWithTheSetting()
{
    QFETCH(bool, previews);
    QFETCH(bool, storedBefore);
    if (storedBefore)
        AppSettings().setValue(SettingsKey::showPreviews, true);
    logIn();
    session->probe->previewsCheckBox()->setChecked(previews);
    QCoreApplication::processEvents();

    QListWidgetItem *team = row(QStringLiteral("g1"));
    QListWidgetItem *other = row(QStringLiteral("g2"));
    QVERIFY(team && other);
    if (!previews) {
        // The rows carry what they always carried, and the title is the plain one.
        for (const int role : { PreviewRole, LastActivityRole, UnreadCountRole, MutedRole })
            QVERIFY(!team->data(role).isValid() && !other->data(role).isValid());
        QCOMPARE(session->window->windowTitle(), QStringLiteral("Ferrow Desktop"));
        return;
    }
    QCOMPARE(team->data(PreviewRole).toString(), QStringLiteral("You: [photo.png]"));
    QCOMPARE(team->data(LastActivityRole).toLongLong(), qint64(2));
    QCOMPARE(team->data(UnreadCountRole).toInt(), 0);
    QCOMPARE(other->data(PreviewRole).toString(), QStringLiteral("carol:   see\nyou "));
    QCOMPARE(other->data(UnreadCountRole).toInt(), 3);
    QCOMPARE(other->data(MutedRole).toBool(), false);
    QCOMPARE(session->window->windowTitle(), QStringLiteral("(3) Ferrow Desktop"));

    // A new message in the chat not open: its preview, and one more.
    session->push(R"({"type":"message","messageId":"m6","chatId":"g2","senderId":"u3",
        "timestamp":9,"content":{"text":"later"}})");
    QTRY_COMPARE(other->data(UnreadCountRole).toInt(), 4);
    QCOMPARE(other->data(PreviewRole).toString(), QStringLiteral("carol: later"));
    QCOMPARE(session->window->windowTitle(), QStringLiteral("(4) Ferrow Desktop"));
    // Opened: read.
    open(QStringLiteral("g2"));
    QTRY_COMPARE(other->data(UnreadCountRole).toInt(), 0);
    QCOMPARE(session->window->windowTitle(), QStringLiteral("Ferrow Desktop"));
}

void TestWhatsNew::muteFromTheChatRowLeavesTheTotal()
{
    AppSettings().setValue(SettingsKey::showPreviews, true);
    logIn();
    QListWidget *chats = session->probe->chatListWidget();
    const int otherRow = chats->row(row(QStringLiteral("g2")));
    QCOMPARE(chooseInMenu(chats, otherRow, QStringLiteral("Mute notifications")),
        QStringList { QStringLiteral("Mute notifications") });
    QTRY_COMPARE(row(QStringLiteral("g2"))->data(MutedRole).toBool(), true);
    QCOMPARE(session->window->windowTitle(), QStringLiteral("Ferrow Desktop"));
    QVERIFY(session->probe->session().isMuted(QStringLiteral("g2")));

    // Kept across a restart of the window, and undone from the same menu.
    logIn();
    chats = session->probe->chatListWidget();
    QVERIFY(session->probe->session().isMuted(QStringLiteral("g2")));
    QCOMPARE(
        chooseInMenu(
            chats, chats->row(row(QStringLiteral("g2"))), QStringLiteral("Unmute notifications")),
        QStringList { QStringLiteral("Unmute notifications") });
    QTRY_COMPARE(session->window->windowTitle(), QStringLiteral("(3) Ferrow Desktop"));
}

void TestWhatsNew::headerSaysWhoIsTyping()
{
    logIn();
    open(QStringLiteral("g1"));
    QLabel *label = session->probe->typingLabel();
    QVERIFY(label->isHidden());
    session->push(R"({"type":"typing","chatId":"g1","userId":"u2"})");
    QCOMPARE(label->text(), QStringLiteral("bob is typing\u2026"));
    QVERIFY(!label->isHidden());
    session->push(R"({"type":"typing","chatId":"g1","userId":"u3"})");
    QCOMPARE(label->text(), QStringLiteral("bob and carol are typing\u2026"));
    // Not a member, oneself, nobody known, another chat: nothing changes here.
    session->push(R"({"type":"typing","chatId":"g1","userId":"u4"})");
    session->push(R"({"type":"typing","chatId":"g1","userId":"u1"})");
    session->push(R"({"type":"typing","chatId":"g1","userId":"u9"})");
    session->push(R"({"type":"typing","chatId":"g2","userId":"u3"})");
    QCOMPARE(label->text(), QStringLiteral("bob and carol are typing\u2026"));
    session->push(R"({"type":"message","messageId":"m7","chatId":"g1","senderId":"u2",
        "timestamp":9,"content":{"text":"done"}})");
    QCOMPARE(label->text(), QStringLiteral("carol is typing\u2026"));
    // Carol types in the other chat: its header says so once it is open.
    open(QStringLiteral("g2"));
    QCOMPARE(label->text(), QStringLiteral("carol is typing\u2026"));
}

void TestWhatsNew::mentionIsMarkedAndReadOut()
{
    logIn();
    open(QStringLiteral("g1"));
    session->push(R"({"type":"message","messageId":"m8","chatId":"g1","senderId":"u2",
        "timestamp":9,"content":{"text":"@Alice look"}})");
    session->push(R"({"type":"message","messageId":"m9","chatId":"g1","senderId":"u2",
        "timestamp":9,"content":{"text":"@alicea no"}})");
    QListWidget *messages = session->probe->messageListWidget();
    const int count = messages->count();
    QListWidgetItem *mention = messages->item(count - 2);
    QListWidgetItem *none = messages->item(count - 1);
    QCOMPARE(mention->data(MentionRole).toBool(), true);
    QCOMPARE(none->data(MentionRole).toBool(), false);
    QVERIFY(mention->data(Qt::AccessibleTextRole)
                .toString()
                .endsWith(QStringLiteral("@Alice look, mentions you")));
    QVERIFY(!none->data(Qt::AccessibleTextRole).toString().contains(QStringLiteral("mentions")));
}

void TestWhatsNew::atOpensCompletionOfMembers_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QString>("text");

    QTest::newRow("at sign offers the other members")
        << QStringLiteral("hi @") << QStringList()
        << QStringList { QStringLiteral("bob"), QStringLiteral("carol") } << QStringLiteral("hi @");
    QTest::newRow("filtered as typed")
        << QStringLiteral("@C") << QStringList() << QStringList { QStringLiteral("carol") }
        << QStringLiteral("@C");
    QTest::newRow("tab inserts the first")
        << QStringLiteral("@") << QStringList { QStringLiteral("tab") } << QStringList()
        << QStringLiteral("@bob ");
    QTest::newRow("down and return insert the second")
        << QStringLiteral("ask @")
        << QStringList { QStringLiteral("down"), QStringLiteral("return") } << QStringList()
        << QStringLiteral("ask @carol ");
    QTest::newRow("up wraps to the last")
        << QStringLiteral("@") << QStringList { QStringLiteral("up"), QStringLiteral("tab") }
        << QStringList() << QStringLiteral("@carol ");
    QTest::newRow("escape closes and keeps the text")
        << QStringLiteral("@b") << QStringList { QStringLiteral("escape") } << QStringList()
        << QStringLiteral("@b");
    QTest::newRow("no member matches")
        << QStringLiteral("@z") << QStringList() << QStringList() << QStringLiteral("@z");
    QTest::newRow("mail address") << QStringLiteral("me@b") << QStringList() << QStringList()
                                  << QStringLiteral("me@b");
}

void TestWhatsNew::atOpensCompletionOfMembers()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, offered);
    QFETCH(QString, text);
    logIn();
    open(QStringLiteral("g1"));
    QLineEdit *input = session->probe->messageInput();
    QTest::keyClicks(input, typed);
    const QHash<QString, Qt::Key> named { { QStringLiteral("tab"), Qt::Key_Tab },
        { QStringLiteral("down"), Qt::Key_Down },
        { QStringLiteral("up"), Qt::Key_Up },
        { QStringLiteral("return"), Qt::Key_Return },
        { QStringLiteral("escape"), Qt::Key_Escape } };
    for (const QString &key : qAsConst(keys))
        QTest::keyClick(input, named.value(key));
    QCOMPARE(session->probe->mentionCompleter()->shownNames(), offered);
    QCOMPARE(input->text(), text);
    // Return in the list puts the name in; it sends nothing.
    QVERIFY(session->server.framesOfType(QStringLiteral("message")).isEmpty());
}

QTEST_MAIN(TestWhatsNew)
#include "tst_whatsnew.moc"
