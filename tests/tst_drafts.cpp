#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"

#include <QApplication>
#include <QMenu>
#include <QStandardPaths>
#include <QtTest>

namespace
{

const char *const users = R"({"type":"user_list_update","users":[
    {"userId":"u1","username":"alice"},{"userId":"u2","username":"bob"},
    {"userId":"u3","username":"carol"}]})";

// alice (u1) in "Team" (g1: her m1, bob's m2) and "Other" (g2: carol's m5).
const char *const history = R"({"type":"chat_history","chats":[
    {"chatId":"g1","chatName":"Team","chatType":"group","members":["u1","u2"],"messages":[
     {"messageId":"m1","chatId":"g1","senderId":"u1","timestamp":1,"content":{"text":"mine"}},
     {"messageId":"m2","chatId":"g1","senderId":"u2","timestamp":2,"content":{"text":"from bob"}}]},
    {"chatId":"g2","chatName":"Other","chatType":"group","members":["u1","u3"],"messages":[
     {"messageId":"m5","chatId":"g2","senderId":"u3","timestamp":1,"content":{"text":"hi"}}]}
    ]})";

void logIn(Session &session)
{
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(users);
    session.push(history);
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
}

// Opens a chat row by its id, or the contact row of a user id, as a click does.
void open(Session &session, const QString &id)
{
    for (QListWidget *list :
        { session.probe->chatListWidget(), session.probe->contactListWidget() }) {
        for (int row = 0; row < list->count(); ++row) {
            if (list->item(row)->data(IdRole).toString() == id) {
                emit list->itemClicked(list->item(row));
                return;
            }
        }
    }
    QFAIL(qPrintable(QStringLiteral("no row for ") + id));
}

// Chooses `action` in the context menu of the message row `messageId`.
void choose(Session &session, const QString &messageId, const QString &action)
{
    QListWidget *list = session.probe->messageListWidget();
    QListWidgetItem *item = nullptr;
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->data(MessageIdRole).toString() == messageId)
            item = list->item(row);
    }
    QVERIFY(item);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&poll, action] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        poll.stop();
        for (QAction *entry : menu->actions()) {
            if (entry->text() == action)
                entry->trigger();
        }
        menu->close();
    });
    poll.start(10);
    emit list->customContextMenuRequested(list->visualItemRect(item).center());
}

} // namespace

class TestDrafts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void typedTextStaysWithItsChat_data();
    void typedTextStaysWithItsChat();
    void replyComesBackWithItsChat();
    void editModeEndsOnSwitch();
    void reopeningTheOpenChatKeepsTheComposer();
};

void TestDrafts::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestDrafts::init()
{
    AppSettings().clear();
}

void TestDrafts::typedTextStaysWithItsChat_data()
{
    QTest::addColumn<QString>("other");

    QTest::newRow("another group") << QStringLiteral("g2");
    QTest::newRow("a contact without a chat") << QStringLiteral("u3");
}

void TestDrafts::typedTextStaysWithItsChat()
{
    QFETCH(QString, other);
    Session session;
    logIn(session);
    QLineEdit *input = session.probe->messageInput();
    open(session, QStringLiteral("g1"));
    QTest::keyClicks(input, QStringLiteral("for the team"));

    open(session, other);
    QVERIFY(input->text().isEmpty());
    QTest::keyClicks(input, QStringLiteral("for you"));

    open(session, QStringLiteral("g1"));
    QCOMPARE(input->text(), QStringLiteral("for the team"));
    open(session, other);
    QCOMPARE(input->text(), QStringLiteral("for you"));

    // A draft that was sent is gone: the chat opens empty next time.
    QTest::keyClick(input, Qt::Key_Return);
    QTRY_COMPARE(session.server.framesOfType(QStringLiteral("message")).size(), 1);
    open(session, QStringLiteral("g1"));
    open(session, other);
    QVERIFY(input->text().isEmpty());
}

void TestDrafts::replyComesBackWithItsChat()
{
    Session session;
    logIn(session);
    WindowProbe &probe = *session.probe;
    open(session, QStringLiteral("g1"));
    choose(session, QStringLiteral("m2"), QStringLiteral("Reply"));
    QTest::keyClicks(probe.messageInput(), QStringLiteral("agreed"));
    open(session, QStringLiteral("g2"));
    open(session, QStringLiteral("g1"));

    QVERIFY(probe.replyBar()->isVisibleTo(session.window.get()));
    QCOMPARE(probe.replyPreviewLabel()->text(), QStringLiteral("bob: from bob"));
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("agreed"));
    session.server.takeFrames();
    QTest::keyClick(probe.messageInput(), Qt::Key_Return);
    QTRY_COMPARE(session.server.framesOfType(QStringLiteral("message")).size(), 1);
    QCOMPARE(session.server.framesOfType(QStringLiteral("message")).first(),
        json(R"({"type":"message","chatId":"g1","replyToId":"m2",
                 "content":{"text":"agreed","file":null,"theme":null}})"));
    QVERIFY(!probe.replyBar()->isVisibleTo(session.window.get()));
}

void TestDrafts::editModeEndsOnSwitch()
{
    Session session;
    logIn(session);
    WindowProbe &probe = *session.probe;
    QLineEdit *input = probe.messageInput();
    open(session, QStringLiteral("g2"));
    QTest::keyClicks(input, QStringLiteral("half"));
    open(session, QStringLiteral("g1"));
    QTest::keyClicks(input, QStringLiteral("typed first"));
    choose(session, QStringLiteral("m1"), QStringLiteral("Edit"));
    QCOMPARE(input->text(), QStringLiteral("mine"));
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Save"));

    // The other chat gets its own draft back, not the text being edited.
    open(session, QStringLiteral("g2"));
    QVERIFY(!probe.editBar()->isVisibleTo(session.window.get()));
    QVERIFY(probe.session().editingMessageId().isEmpty());
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Send"));
    QCOMPARE(input->text(), QStringLiteral("half"));

    // Back in the chat of the edit: what was typed before the edit, as a new message.
    open(session, QStringLiteral("g1"));
    QVERIFY(!probe.editBar()->isVisibleTo(session.window.get()));
    QCOMPARE(input->text(), QStringLiteral("typed first"));
    session.server.takeFrames();
    QTest::keyClick(input, Qt::Key_Return);
    QTRY_COMPARE(session.server.framesOfType(QStringLiteral("message")).size(), 1);
    QVERIFY(session.server.framesOfType(QStringLiteral("edit_message")).isEmpty());
}

void TestDrafts::reopeningTheOpenChatKeepsTheComposer()
{
    Session session;
    logIn(session);
    WindowProbe &probe = *session.probe;
    open(session, QStringLiteral("g1"));
    choose(session, QStringLiteral("m2"), QStringLiteral("Reply"));
    QTest::keyClicks(probe.messageInput(), QStringLiteral("still here"));
    open(session, QStringLiteral("g1"));
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("still here"));
    QCOMPARE(probe.session().replyToMessageId(), QStringLiteral("m2"));
    QVERIFY(probe.replyBar()->isVisibleTo(session.window.get()));
}

QTEST_MAIN(TestDrafts)
#include "tst_drafts.moc"
