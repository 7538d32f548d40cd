#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QStandardPaths>
#include <QtTest>
#include <functional>

namespace
{

const QString longText = QStringLiteral("abcdefghij0123456789abcdefghij0123456789abcdefghijK");

void openGroup(Session &session)
{
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(
        R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob"}]})");
    QJsonObject history = json(
        R"({"type":"chat_history","chats":[{"chatId":"g1","chatName":"Team","chatType":"group",
            "members":["u1","u2"],"messages":[
            {"messageId":"m1","chatId":"g1","senderId":"u2","timestamp":1,"seenBy":["u1"]},
            {"messageId":"m2","chatId":"g1","senderId":"u1","timestamp":2,
             "content":{"text":"mine, thirty-one characters...."}}]}]})");
    // m1 carries a 51-character text.
    QJsonObject chat = history[QStringLiteral("chats")].toArray().at(0).toObject();
    QJsonArray messages = chat[QStringLiteral("messages")].toArray();
    QJsonObject first = messages.at(0).toObject();
    first[QStringLiteral("content")] = QJsonObject { { QStringLiteral("text"), longText } };
    messages[0] = first;
    chat[QStringLiteral("messages")] = messages;
    history[QStringLiteral("chats")] = QJsonArray { chat };
    session.push(history);
    emit session.probe->chatListWidget()->itemClicked(session.probe->chatListWidget()->item(0));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    session.server.takeFrames();
}

// Opens the context menu of message row `row` and runs `inspect` on it while it is open; the
// menu is closed afterwards unless `inspect` triggered an action.
void withMenu(Session &session, int row, const std::function<void(QMenu *)> &inspect)
{
    QListWidget *list = session.probe->messageListWidget();
    const QPoint pos = list->visualItemRect(list->item(row)).center();
    bool ran = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu || ran)
            return;
        ran = true;
        poll.stop();
        inspect(menu);
        if (menu->isVisible())
            menu->close();
    });
    poll.start(10);
    emit list->customContextMenuRequested(pos);
    QVERIFY(ran);
}

QAction *actionNamed(QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

// Answers the next message box with `button` and hands it to `inspect` first.
void answerNextBox(
    QMessageBox::StandardButton button, const std::function<void(QMessageBox *)> &inspect)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, button, inspect] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll->stop();
        poll->deleteLater();
        inspect(box);
        box->button(button)->click();
    });
    poll->start(10);
}

} // namespace

class TestActions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void menuOfOwnMessage_data();
    void menuOfOwnMessage();
    void menuOfOthersMessage();
    void noMenuOffTheRows();
    void replyModeShowsShortenedQuote();
    void localCopyIsOnlyDeletedHere();
    void editModeFillsTheInput();
    void cancelButtonsLeaveModes();
    void deleteAsksFirst_data();
    void deleteAsksFirst();
    void forwardOnlyLogs();
};

void TestActions::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestActions::init()
{
    AppSettings().clear();
}

void TestActions::menuOfOwnMessage_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("styleSheet");
    QTest::newRow("light") << false
                           << QStringLiteral(
                                  "QMenu { background-color: #ffffff; color: #000000; border: 1px "
                                  "solid #cccccc; padding: 4px;}QMenu::item { padding: 8px 24px; "
                                  "background-color: transparent;}QMenu::item:selected { "
                                  "background-color: #e3f2fd;}");
    QTest::newRow("dark") << true
                          << QStringLiteral(
                                 "QMenu { background-color: #2d2d2d; color: #ffffff; border: 1px "
                                 "solid #444444; padding: 4px;}QMenu::item { padding: 8px 24px; "
                                 "background-color: transparent;}QMenu::item:selected { "
                                 "background-color: #3b5278;}");
}

void TestActions::menuOfOwnMessage()
{
    QFETCH(bool, dark);
    QFETCH(QString, styleSheet);
    Session session;
    openGroup(session);
    session.probe->darkModeCheckBox()->setChecked(dark);
    withMenu(session, 1, [&](QMenu *menu) {
        QStringList entries;
        for (QAction *action : menu->actions())
            entries << (action->isSeparator() ? QStringLiteral("|") : action->text());
        QCOMPARE(entries,
            (QStringList { QStringLiteral("Edit"),
                QStringLiteral("Delete"),
                QStringLiteral("|"),
                QStringLiteral("Reply"),
                QStringLiteral("Forward") }));
        QCOMPARE(menu->styleSheet(), styleSheet);
        QCOMPARE(menu->parent(), session.window.get());
        QCOMPARE(menu->property("messageId").toString(), QStringLiteral("m2"));
        QCOMPARE(menu->property("messageText").toString(),
            QStringLiteral("mine, thirty-one characters...."));
    });
    // The menu is gone once closed.
    QTRY_VERIFY(session.window->findChildren<QMenu *>().size() <= 1);
}

void TestActions::menuOfOthersMessage()
{
    Session session;
    openGroup(session);
    withMenu(session, 0, [&](QMenu *menu) {
        QStringList entries;
        for (QAction *action : menu->actions())
            entries << action->text();
        QCOMPARE(entries, (QStringList { QStringLiteral("Reply"), QStringLiteral("Forward") }));
        QCOMPARE(menu->property("messageId").toString(), QStringLiteral("m1"));
    });
}

void TestActions::noMenuOffTheRows()
{
    Session session;
    openGroup(session);
    QListWidget *list = session.probe->messageListWidget();
    bool opened = false;
    QTimer::singleShot(50, this, [&] {
        if (auto *menu = QApplication::activePopupWidget()) {
            opened = true;
            menu->close();
        }
    });
    emit list->customContextMenuRequested(QPoint(5, list->viewport()->height() - 2));
    QTest::qWait(100);
    QVERIFY(!opened);
}

void TestActions::replyModeShowsShortenedQuote()
{
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    withMenu(
        session, 0, [&](QMenu *menu) { actionNamed(menu, QStringLiteral("Reply"))->trigger(); });
    QCOMPARE(probe.session().replyToMessageId(), QStringLiteral("m1"));
    QCOMPARE(probe.replyPreviewLabel()->text(),
        QStringLiteral("bob: ") + longText.left(50) + QStringLiteral("..."));
    QVERIFY(probe.replyBar()->isVisible());
    QCOMPARE(session.window->focusWidget(), probe.messageInput());

    // A 50-character text shows whole; an own message names its sender too.
    session.push(R"({"type":"message","messageId":"m3","chatId":"g1","senderId":"u1",
        "timestamp":3,"content":{"text":"abcdefghij0123456789abcdefghij0123456789abcdefghij"}})");
    withMenu(
        session, 2, [&](QMenu *menu) { actionNamed(menu, QStringLiteral("Reply"))->trigger(); });
    QCOMPARE(probe.replyPreviewLabel()->text(),
        QStringLiteral("alice: abcdefghij0123456789abcdefghij0123456789abcdefghij"));
}

void TestActions::localCopyIsOnlyDeletedHere()
{
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    probe.messageInput()->setText(QStringLiteral("pending"));
    QTest::mouseClick(probe.sendButton(), Qt::LeftButton);
    QVERIFY(session.server.waitForFrames(1));
    session.server.takeFrames();
    // Not on the server yet: nothing to reply to or edit there, and no deletion to ask for.
    QStringList offered;
    withMenu(session, 2, [&](QMenu *menu) {
        for (QAction *action : menu->actions())
            offered << action->text();
        actionNamed(menu, QStringLiteral("Delete"))->trigger();
    });
    QCOMPARE(offered, QStringList { QStringLiteral("Delete") });
    QCOMPARE(probe.messageListWidget()->count(), 2);
    QVERIFY(probe.store().pendingMessages().empty());
    QVERIFY(!session.server.waitForFrames(1, 300));
}

void TestActions::editModeFillsTheInput()
{
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    withMenu(
        session, 1, [&](QMenu *menu) { actionNamed(menu, QStringLiteral("Edit"))->trigger(); });
    QCOMPARE(probe.session().editingMessageId(), QStringLiteral("m2"));
    QCOMPARE(probe.session().editingOldText(), QStringLiteral("mine, thirty-one characters...."));
    QCOMPARE(
        probe.editLabel()->text(), QStringLiteral("Editing: mine, thirty-one characters......"));
    QVERIFY(probe.editBar()->isVisible());
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("mine, thirty-one characters...."));
    QCOMPARE(probe.messageInput()->selectedText(), probe.messageInput()->text());
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Save"));

    // Edit mode and reply mode are independent.
    withMenu(
        session, 0, [&](QMenu *menu) { actionNamed(menu, QStringLiteral("Reply"))->trigger(); });
    QCOMPARE(probe.session().editingMessageId(), QStringLiteral("m2"));
    QCOMPARE(probe.session().replyToMessageId(), QStringLiteral("m1"));

    // Saving sends the new text for the message's id.
    probe.messageInput()->setText(QStringLiteral("mine, shorter"));
    QTest::mouseClick(probe.sendButton(), Qt::LeftButton);
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.first(),
        json(R"({"type":"edit_message","chatId":"g1","messageId":"m2",
                      "newContent":"mine, shorter"})"));
}

void TestActions::cancelButtonsLeaveModes()
{
    Session session;
    openGroup(session);
    WindowProbe &probe = *session.probe;
    withMenu(
        session, 1, [&](QMenu *menu) { actionNamed(menu, QStringLiteral("Edit"))->trigger(); });
    withMenu(
        session, 0, [&](QMenu *menu) { actionNamed(menu, QStringLiteral("Reply"))->trigger(); });
    QTest::mouseClick(probe.cancelReplyButton(), Qt::LeftButton);
    QVERIFY(probe.session().replyToMessageId().isEmpty());
    QVERIFY(probe.replyBar()->isHidden());
    QCOMPARE(probe.session().editingMessageId(), QStringLiteral("m2"));
    QTest::mouseClick(probe.cancelEditButton(), Qt::LeftButton);
    QVERIFY(probe.session().editingMessageId().isEmpty());
    QVERIFY(probe.editBar()->isHidden());
    QVERIFY(probe.messageInput()->text().isEmpty());
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Send"));
}

void TestActions::deleteAsksFirst_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("styleSheet");
    const QString light = QStringLiteral(
        "QMessageBox { background-color: #ffffff; }QLabel { color: #000000; }QPushButton {  "
        "background-color: #f0f0f0;  color: #000000;  border: 1px solid #cccccc;  border-radius: "
        "4px;  padding: 6px 16px;  min-width: 60px; }QPushButton:hover { background-color: "
        "#e0e0e0; }QPushButton:pressed { background-color: #d0d0d0; }");
    const QString dark = QStringLiteral(
        "QMessageBox { background-color: #2b2b2b; }QLabel { color: #ffffff; }QPushButton {  "
        "background-color: #3b3b3b;  color: #ffffff;  border: 1px solid #555555;  border-radius: "
        "4px;  padding: 6px 16px;  min-width: 60px; }QPushButton:hover { background-color: "
        "#4a4a4a; }QPushButton:pressed { background-color: #333333; }");
    QTest::newRow("accepted, light") << false << int(QMessageBox::Yes) << light;
    QTest::newRow("declined, dark") << true << int(QMessageBox::No) << dark;
}

void TestActions::deleteAsksFirst()
{
    QFETCH(bool, dark);
    QFETCH(int, answer);
    QFETCH(QString, styleSheet);
    Session session;
    openGroup(session);
    session.probe->darkModeCheckBox()->setChecked(dark);
    bool asked = false;
    answerNextBox(QMessageBox::StandardButton(answer), [&](QMessageBox *box) {
        asked = true;
        QCOMPARE(box->windowTitle(), QStringLiteral("Delete Message"));
        QCOMPARE(box->text(), QStringLiteral("Are you sure you want to delete this message?"));
        QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
        QCOMPARE(box->styleSheet(), styleSheet);
        QCOMPARE(box->parent(), session.window.get());
    });
    withMenu(
        session, 1, [&](QMenu *menu) { actionNamed(menu, QStringLiteral("Delete"))->trigger(); });
    QVERIFY(asked);
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"}]})");
    const QList<QJsonObject> expected = answer == QMessageBox::Yes
        ? QList<QJsonObject> { json(R"({"type":"delete_message","chatId":"g1","messageId":"m2"})") }
        : QList<QJsonObject> {};
    QCOMPARE(session.server.frames, expected);
    // The row stays until the server confirms.
    QCOMPARE(session.probe->messageListWidget()->count(), 2);
}

void TestActions::forwardOnlyLogs()
{
    Session session;
    openGroup(session);
    QTest::ignoreMessage(QtDebugMsg, "Forward message: m1");
    withMenu(
        session, 0, [&](QMenu *menu) { actionNamed(menu, QStringLiteral("Forward"))->trigger(); });
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"}]})");
    QVERIFY(session.server.frames.isEmpty());
}

QTEST_MAIN(TestActions)
#include "tst_actions.moc"
