#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QStandardPaths>
#include <QtTest>

namespace
{

// alice (u1) in the group "Team": her older message m1, bob's m2, her latest m3, bob's m4.
void openGroup(Session &session)
{
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
        {"userId":"u2","username":"bob"}]})");
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"g1","chatName":"Team","chatType":"group",
        "members":["u1","u2"],"messages":[
        {"messageId":"m1","chatId":"g1","senderId":"u1","timestamp":1,"content":{"text":"older"}},
        {"messageId":"m2","chatId":"g1","senderId":"u2","timestamp":2,"content":{"text":"bob"}},
        {"messageId":"m3","chatId":"g1","senderId":"u1","timestamp":3,"content":{"text":"latest"}},
        {"messageId":"m4","chatId":"g1","senderId":"u2","timestamp":4,"content":{"text":"bob again"}}
        ]}]})");
    emit session.probe->chatListWidget()->itemClicked(session.probe->chatListWidget()->item(0));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    session.probe->messageInput()->setFocus();
    session.server.takeFrames();
}

} // namespace

class TestKeyboard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void keyOpensFocusedRow_data();
    void keyOpensFocusedRow();

    void upInEmptyInputEditsLastOwnMessage();
    void upWithTypedTextOnlyMovesTheCursor();
    void escapeLeavesEditModeWithTheDraftBack_data();
    void escapeLeavesEditModeWithTheDraftBack();
    void escapeLeavesReplyModeAndKeepsText();
    void ctrlFNarrowsRowsByName();
    void ctrlFNarrowsChatsThatArriveOrMove();
    void ctrlFLeadsToTheFirstMatch_data();
    void ctrlFLeadsToTheFirstMatch();
    void ctrlCCopiesTheMessageClicked();
    void openChatIsTheSelectedRow_data();
    void openChatIsTheSelectedRow();
};

void TestKeyboard::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestKeyboard::init()
{
    AppSettings().clear();
}

void TestKeyboard::keyOpensFocusedRow_data()
{
    QTest::addColumn<bool>("contacts");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("chatId");
    QTest::addColumn<QString>("title");

    QTest::newRow("Return on a chat")
        << false << int(Qt::Key_Return) << QStringLiteral("g1") << QStringLiteral("Team");
    QTest::newRow("Space on a chat")
        << false << int(Qt::Key_Space) << QStringLiteral("g1") << QStringLiteral("Team");
    QTest::newRow("Enter on a contact")
        << true << int(Qt::Key_Enter) << QStringLiteral("u1_u2") << QStringLiteral("bob");
}

void TestKeyboard::keyOpensFocusedRow()
{
    QFETCH(bool, contacts);
    QFETCH(int, key);
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    probe.chatTitleLabel()->clear();
    QListWidget *list = contacts ? probe.contactListWidget() : probe.chatListWidget();
    probe.sidebarTabs()->setCurrentWidget(list);
    list->setFocus();
    list->setCurrentRow(0);
    QTest::keyClick(list, Qt::Key(key));
    QTEST(probe.currentChatId(), "chatId");
    QTEST(probe.chatTitleLabel()->text(), "title");
}

void TestKeyboard::upInEmptyInputEditsLastOwnMessage()
{
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    QTest::keyClick(probe.messageInput(), Qt::Key_Up);
    QVERIFY(probe.editBar()->isVisibleTo(session.window.get()));
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("latest"));
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Save"));

    // Up again, now with text in the line, starts nothing new.
    QTest::keyClick(probe.messageInput(), Qt::Key_Up);
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("latest"));

    probe.messageInput()->setText(QStringLiteral("latest, edited"));
    QTest::keyClick(probe.messageInput(), Qt::Key_Return);
    QTRY_COMPARE(session.server.framesOfType(QStringLiteral("edit_message")).size(), 1);
    QCOMPARE(session.server.framesOfType(QStringLiteral("edit_message")).first(),
        json(R"({"type":"edit_message","chatId":"g1","messageId":"m3",
                 "newContent":"latest, edited"})"));
}

void TestKeyboard::upWithTypedTextOnlyMovesTheCursor()
{
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    QTest::keyClicks(probe.messageInput(), QStringLiteral("draft"));
    QTest::keyClick(probe.messageInput(), Qt::Key_Up);
    QVERIFY(!probe.editBar()->isVisibleTo(session.window.get()));
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("draft"));
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Send"));
}

void TestKeyboard::escapeLeavesEditModeWithTheDraftBack_data()
{
    QTest::addColumn<QString>("draft");

    QTest::newRow("Up in an empty input") << QString();
    QTest::newRow("Edit chosen while a draft is typed") << QStringLiteral("half a thought");
}

void TestKeyboard::escapeLeavesEditModeWithTheDraftBack()
{
    QFETCH(QString, draft);
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    if (draft.isEmpty()) {
        QTest::keyClick(probe.messageInput(), Qt::Key_Up);
    } else {
        QTest::keyClicks(probe.messageInput(), draft);
        chooseInMenu(session.probe->messageListWidget(), 2, QStringLiteral("Edit"));
    }
    QVERIFY(probe.editBar()->isVisibleTo(session.window.get()));
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("latest"));
    QTest::keyClick(probe.messageInput(), Qt::Key_Escape);
    QVERIFY(!probe.editBar()->isVisibleTo(session.window.get()));
    QCOMPARE(probe.messageInput()->text(), draft);
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Send"));

    // What is sent next is a new message, not an edit.
    QTest::keyClicks(probe.messageInput(), QStringLiteral("new"));
    QTest::keyClick(probe.messageInput(), Qt::Key_Return);
    QTRY_COMPARE(session.server.framesOfType(QStringLiteral("message")).size(), 1);
    QVERIFY(session.server.framesOfType(QStringLiteral("edit_message")).isEmpty());
}

void TestKeyboard::escapeLeavesReplyModeAndKeepsText()
{
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    chooseInMenu(session.probe->messageListWidget(), 1, QStringLiteral("Reply"));
    QVERIFY(probe.replyBar()->isVisibleTo(session.window.get()));
    QTest::keyClicks(probe.messageInput(), QStringLiteral("no quote"));
    QTest::keyClick(probe.messageInput(), Qt::Key_Escape);
    QVERIFY(!probe.replyBar()->isVisibleTo(session.window.get()));
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("no quote"));

    QTest::keyClick(probe.messageInput(), Qt::Key_Return);
    QTRY_COMPARE(session.server.framesOfType(QStringLiteral("message")).size(), 1);
    QCOMPARE(session.server.framesOfType(QStringLiteral("message")).first(),
        json(R"({"type":"message","chatId":"g1","replyToId":null,
                 "content":{"text":"no quote","file":null,"theme":null}})"));
}

void TestKeyboard::ctrlFNarrowsRowsByName()
{
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    session.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(session.window.get()));
    const auto *field = session.window->findChild<QLineEdit *>(QStringLiteral("chatFilter"));
    QVERIFY(field);
    QVERIFY(!field->isVisible());

    QTest::keyClick(probe.messageInput(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(field->isVisible());
    QVERIFY(field->hasFocus());
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("TE"));
    QVERIFY(!probe.chatListWidget()->isRowHidden(0));
    QVERIFY(probe.contactListWidget()->isRowHidden(0));

    // Rows that come in while it is open are narrowed too.
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
        {"userId":"u2","username":"bob"},{"userId":"u3","username":"Peter"}]})");
    QCOMPARE(probe.contactListWidget()->count(), 2);
    QVERIFY(probe.contactListWidget()->isRowHidden(0));
    QVERIFY(!probe.contactListWidget()->isRowHidden(1));

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(!field->isVisible());
    QVERIFY(!probe.contactListWidget()->isRowHidden(0));
    QVERIFY(!probe.contactListWidget()->isRowHidden(1));
    QVERIFY(!probe.chatListWidget()->isRowHidden(0));
}

void TestKeyboard::ctrlFLeadsToTheFirstMatch_data()
{
    QTest::addColumn<int>("key");

    QTest::newRow("Down moves into the list") << int(Qt::Key_Down);
    QTest::newRow("Return opens the match") << int(Qt::Key_Return);
}

void TestKeyboard::ctrlFLeadsToTheFirstMatch()
{
    QFETCH(int, key);
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
        {"userId":"u2","username":"bob"},{"userId":"u3","username":"carol"},
        {"userId":"u4","username":"caroline"}]})");
    session.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(session.window.get()));
    probe.sidebarTabs()->setCurrentWidget(probe.contactListWidget());
    QTest::keyClick(probe.messageInput(), Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("car"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QListWidget *contacts = probe.contactListWidget();
    if (key == Qt::Key_Down) {
        QCOMPARE(QApplication::focusWidget(), contacts);
        QCOMPARE(contacts->currentItem()->text(), QStringLiteral("carol"));
        QCOMPARE(probe.currentChatId(), QStringLiteral("g1"));
    } else {
        QCOMPARE(probe.currentChatId(), QStringLiteral("u1_u3"));
        QCOMPARE(probe.chatTitleLabel()->text(), QStringLiteral("carol"));
    }
}

void TestKeyboard::ctrlCCopiesTheMessageClicked()
{
    Session session;
    openGroup(session);
    QListWidget *list = session.probe->messageListWidget();
    QGuiApplication::clipboard()->clear();
    QTest::mouseClick(list->viewport(),
        Qt::LeftButton,
        Qt::NoModifier,
        list->visualItemRect(list->item(1)).center());
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("bob"));
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("latest"));
}

void TestKeyboard::ctrlFNarrowsChatsThatArriveOrMove()
{
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    session.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(session.window.get()));
    QTest::keyClick(probe.messageInput(), Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("te"));

    session.push(R"({"type":"chat_history","chats":[
        {"chatId":"l1","chatName":"Lunch","chatType":"group","members":["u1","u2"],"messages":[
         {"messageId":"l-1","chatId":"l1","senderId":"u2","timestamp":5,"content":{"text":"x"}}]},
        {"chatId":"t1","chatName":"Testers","chatType":"group","members":["u1","u2"],"messages":[
         {"messageId":"t-1","chatId":"t1","senderId":"u2","timestamp":6,"content":{"text":"y"}}]}
        ]})");
    // A message moves its chat to the top; the moved rows keep being narrowed.
    session.push(R"({"type":"message","messageId":"l-2","chatId":"l1","senderId":"u2",
        "timestamp":7,"content":{"text":"z"}})");
    session.push(R"({"type":"message","messageId":"m5","chatId":"g1","senderId":"u2",
        "timestamp":8,"content":{"text":"w"}})");
    QListWidget *chats = probe.chatListWidget();
    QCOMPARE(chats->count(), 3);
    QTRY_COMPARE(chats->item(0)->data(IdRole).toString(), QStringLiteral("g1"));
    QCOMPARE(chats->item(1)->data(IdRole).toString(), QStringLiteral("l1"));
    for (int row = 0; row < chats->count(); ++row) {
        const QString name = chats->item(row)->data(Qt::DisplayRole).toString();
        QCOMPARE(chats->isRowHidden(row), name == QLatin1String("Lunch"));
    }

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    for (int row = 0; row < chats->count(); ++row)
        QVERIFY(!chats->isRowHidden(row));
}

namespace
{

// Ids of the selected chat rows.
QStringList selectedChats(QListWidget *chats)
{
    QStringList ids;
    for (const QListWidgetItem *item : chats->selectedItems())
        ids << item->data(IdRole).toString();
    return ids;
}

void click(QListWidget *list, const QString &id)
{
    for (int row = 0; row < list->count(); ++row) {
        if (list->item(row)->data(IdRole).toString() == id)
            emit list->itemClicked(list->item(row));
    }
}

} // namespace

void TestKeyboard::openChatIsTheSelectedRow_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("chatId");

    QTest::newRow("from Contacts, chat held") << QStringLiteral("contact bob") << "u1_u2";
    QTest::newRow("from Contacts, chat announced later")
        << QStringLiteral("contact carol") << "u1_u3";
    QTest::newRow("then a message moves another chat up") << QStringLiteral("reorder") << "u1_u2";
    QTest::newRow("through the filter") << QStringLiteral("filter") << "u1_u2";
    QTest::newRow("logged out") << QStringLiteral("logout") << QString();
}

void TestKeyboard::openChatIsTheSelectedRow()
{
    QFETCH(QString, how);
    QFETCH(QString, chatId);
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
        {"userId":"u2","username":"bob"},{"userId":"u3","username":"carol"}]})");
    session.push(R"({"type":"new_chat_info","chat":{"chatId":"u1_u2","chatType":"private",
        "members":["u1","u2"],"messages":[]}})");
    QListWidget *chats = probe.chatListWidget();
    QCOMPARE(selectedChats(chats), QStringList { QStringLiteral("g1") });

    if (how == QLatin1String("contact bob")) {
        click(probe.contactListWidget(), QStringLiteral("u2"));
    } else if (how == QLatin1String("contact carol")) {
        click(probe.contactListWidget(), QStringLiteral("u3"));
        // No chat yet: no row is selected, the group's highlight is gone too.
        QVERIFY(selectedChats(chats).isEmpty());
        session.push(R"({"type":"new_chat_info","chat":{"chatId":"u1_u3","chatType":"private",
            "members":["u1","u3"],"messages":[]}})");
    } else if (how == QLatin1String("reorder")) {
        click(probe.contactListWidget(), QStringLiteral("u2"));
        session.push(R"({"type":"message","messageId":"m9","chatId":"g1","senderId":"u2",
            "timestamp":9,"content":{"text":"up"}})");
        QTRY_COMPARE(chats->item(0)->data(IdRole).toString(), QStringLiteral("g1"));
    } else if (how == QLatin1String("filter")) {
        session.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(session.window.get()));
        QTest::keyClick(probe.messageInput(), Qt::Key_F, Qt::ControlModifier);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("bo"));
        QVERIFY(chats->isRowHidden(
            chats->row(chats->findItems(QStringLiteral("Team"), Qt::MatchExactly).value(0))));
        click(chats, QStringLiteral("u1_u2"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    } else if (how == QLatin1String("logout")) {
        QTest::mouseClick(probe.logoutButton(), Qt::LeftButton);
    }
    QCOMPARE(probe.currentChatId(), chatId);
    QCOMPARE(selectedChats(chats), chatId.isEmpty() ? QStringList() : QStringList { chatId });
    if (!chatId.isEmpty())
        QCOMPARE(chats->currentItem()->data(IdRole).toString(), chatId);
}

QTEST_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
