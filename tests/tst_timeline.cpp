#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"
#include "view/messagedelegate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QScrollBar>
#include <QStandardPaths>
#include <QtTest>

namespace
{

// A chat_history frame of one chat "c1" (members u1, u2) holding `count` messages from u2,
// ids m<first>..., timestamps 1000 + index.
QJsonObject historyOf(int first, int count, const QString &chatId = QStringLiteral("c1"))
{
    QJsonArray messages;
    for (int i = first; i < first + count; ++i) {
        messages.append(QJsonObject { { QStringLiteral("messageId"), QStringLiteral("m%1").arg(i) },
            { QStringLiteral("chatId"), chatId },
            { QStringLiteral("senderId"), QStringLiteral("u2") },
            { QStringLiteral("timestamp"), 1000 + i },
            { QStringLiteral("seenBy"), QJsonArray { QStringLiteral("u1") } },
            { QStringLiteral("content"),
                QJsonObject {
                    { QStringLiteral("text"), QStringLiteral("message %1").arg(i) } } } });
    }
    const QJsonObject chat { { QStringLiteral("chatId"), chatId },
        { QStringLiteral("chatName"), QStringLiteral("Team") },
        { QStringLiteral("chatType"), QStringLiteral("group") },
        { QStringLiteral("members"), QJsonArray { QStringLiteral("u1"), QStringLiteral("u2") } },
        { QStringLiteral("messages"), messages } };
    return QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("chats"), QJsonArray { chat } } };
}

QString rowId(QListWidget *list, int row)
{
    return list->item(row)->data(MessageIdRole).toString();
}

} // namespace

class TestTimeline : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void buildsRowRoles();
    void buildsReplyRows();
    void showsShortFormsOfUploads();
    void showsOwnStatuses();
    void pagesOlderHistory();
    void emptyAnswerEndsPagingForThatChat();
    void lostAnswerUnblocksPagingAfterTimeout();
    void pagingNeedsAnOpenChatWithMessages();
    void answerForAnotherChatIsNotShown();
    void focusHighlightsForThreeSeconds();
    void themeToggleRebuildsOpenChatOnce();
    void growsWindowFromStoreBeforeAskingServer_data();
    void growsWindowFromStoreBeforeAskingServer();
    void quoteAboveWindowIsReachable();
    void largeChatOpensWithOneWindowOfRows();

private:
    // Logs in as u1 (users u1 "alice", u2 "bob" with an avatar), loads `history` and opens c1.
    void openChat(Session &session, const QJsonObject &history);
};

void TestTimeline::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestTimeline::init()
{
    AppSettings().clear();
}

void TestTimeline::openChat(Session &session, const QJsonObject &history)
{
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(
        R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob","avatarUrl":"/static/default.png"}]})");
    session.push(history);
    QListWidget *chats = session.probe->chatListWidget();
    emit chats->itemClicked(chats->item(0));
    session.server.takeFrames();
}

void TestTimeline::buildsRowRoles()
{
    Session session;
    openChat(session, json(R"({"type":"chat_history","chats":[{"chatId":"c1","chatName":"Team",
                 "members":["u1","u2"],"messages":[
                 {"messageId":"m1","chatId":"c1","senderId":"u2","timestamp":100,
                  "content":{"text":"hi"},"seenBy":["u1"]},
                 {"messageId":"m2","chatId":"c1","senderId":"u1","timestamp":200,
                  "content":{"text":"yo"},"editedAt":250},
                 {"messageId":"m3","chatId":"c1","senderId":"u9","timestamp":300,
                  "content":{"text":"who"},"seenBy":["u1"]}]}]})"));
    QListWidget *list = session.probe->messageListWidget();
    QCOMPARE(list->count(), 3);

    QListWidgetItem *other = list->item(0);
    QCOMPARE(other->data(TextRole).toString(), QStringLiteral("hi"));
    QCOMPARE(other->data(SenderNameRole).toString(), QStringLiteral("bob"));
    QCOMPARE(other->data(TimestampRole).toLongLong(), qint64(100));
    QCOMPARE(other->data(IsOwnRole).toBool(), false);
    QCOMPARE(other->data(StatusRole).toInt(), int(Sent));
    QCOMPARE(other->data(MessageIdRole).toString(), QStringLiteral("m1"));
    QCOMPARE(other->data(EditedAtRole).toLongLong(), qint64(0));
    QCOMPARE(other->data(SenderIdRole).toString(), QStringLiteral("u2"));
    QCOMPARE(other->data(ReplyToIdRole).toString(), QString());
    QCOMPARE(other->data(AvatarUrlRole).toString(),
        session.server.baseUrl() + QStringLiteral("/static/default.png"));
    QVERIFY(!qvariant_cast<QIcon>(other->data(Qt::DecorationRole)).isNull());
    QVERIFY(!other->data(ReplyPreviewRole).isValid());

    QListWidgetItem *own = list->item(1);
    QCOMPARE(own->data(IsOwnRole).toBool(), true);
    QCOMPARE(own->data(SenderNameRole).toString(), QStringLiteral("alice"));
    QCOMPARE(own->data(EditedAtRole).toLongLong(), qint64(250));
    QVERIFY(!own->data(AvatarUrlRole).isValid());
    QVERIFY(!own->data(Qt::DecorationRole).isValid());

    QListWidgetItem *unknown = list->item(2);
    QCOMPARE(unknown->data(SenderNameRole).toString(), QStringLiteral("Unknown"));
    QCOMPARE(unknown->data(AvatarUrlRole).toString(), QString());
    QVERIFY(!qvariant_cast<QIcon>(unknown->data(Qt::DecorationRole)).isNull());
}

void TestTimeline::buildsReplyRows()
{
    Session session;
    openChat(session, json(R"({"type":"chat_history","chats":[{"chatId":"c1","chatName":"Team",
                 "members":["u1","u2"],"messages":[
                 {"messageId":"m1","chatId":"c1","senderId":"u2","timestamp":1,
                  "content":{"text":"original"},"seenBy":["u1"]},
                 {"messageId":"m2","chatId":"c1","senderId":"u2","timestamp":2,
                  "content":{"text":"answer"},"replyToId":"m1","seenBy":["u1"]},
                 {"messageId":"m3","chatId":"c1","senderId":"u1","timestamp":3,
                  "content":{"text":"early"},"replyToId":"m4"},
                 {"messageId":"m4","chatId":"c1","senderId":"u2","timestamp":4,
                  "content":{"text":"http://h/static/uploads/a.png"},"seenBy":["u1"]},
                 {"messageId":"m5","chatId":"c1","senderId":"u1","timestamp":5,
                  "content":{"text":"lost"},"replyToId":"gone"}]}]})"));
    QListWidget *list = session.probe->messageListWidget();
    QCOMPARE(list->count(), 5);

    // Another user's reply carries both its quote and its sender's avatar.
    QListWidgetItem *reply = list->item(1);
    QCOMPARE(reply->data(ReplyToIdRole).toString(), QStringLiteral("m1"));
    QCOMPARE(reply->data(ReplyPreviewRole).toString(), QStringLiteral("original"));
    QCOMPARE(reply->data(ReplySenderRole).toString(), QStringLiteral("bob"));
    QCOMPARE(reply->data(AvatarUrlRole).toString(),
        session.server.baseUrl() + QStringLiteral("/static/default.png"));

    // A reply to a message whose row comes later: preview from the stored chat, no sender.
    QListWidgetItem *early = list->item(2);
    QCOMPARE(early->data(ReplyPreviewRole).toString(), QStringLiteral("[Image]"));
    QCOMPARE(early->data(ReplySenderRole).toString(), QString());

    QListWidgetItem *lost = list->item(4);
    QCOMPARE(lost->data(ReplyPreviewRole).toString(), QStringLiteral("[Original message]"));
    QCOMPARE(lost->data(ReplySenderRole).toString(), QString());

    WindowProbe &probe = *session.probe;
    QCOMPARE(
        probe.getReplyPreviewText(QStringLiteral("m1"), QString()), QStringLiteral("original"));
    QCOMPARE(probe.getReplyPreviewText(QStringLiteral("nope"), QString()),
        QStringLiteral("[Original message]"));
    QCOMPARE(probe.getReplyPreviewText(QStringLiteral("nope"), QStringLiteral("c1")),
        QStringLiteral("[Original message]"));
}

void TestTimeline::showsShortFormsOfUploads()
{
    Session session;
    openChat(session, json(R"({"type":"chat_history","chats":[{"chatId":"c1","members":["u1","u2"],
                 "messages":[
                 {"messageId":"m1","senderId":"u1","content":{"text":" http://h/static/upload/r.pdf"}},
                 {"messageId":"m2","senderId":"u1","content":{"text":"", "file":{"name":"f.zip"}}},
                 {"messageId":"m3","senderId":"u1","content":{"text":"  spaced  "}}]}]})"));
    QListWidget *list = session.probe->messageListWidget();
    QCOMPARE(list->item(0)->data(TextRole).toString(), QStringLiteral("[r.pdf]"));
    QCOMPARE(list->item(1)->data(TextRole).toString(), QStringLiteral("[f.zip]"));
    QCOMPARE(list->item(2)->data(TextRole).toString(), QStringLiteral("  spaced  "));
}

void TestTimeline::showsOwnStatuses()
{
    Session session;
    openChat(session, json(R"({"type":"chat_history","chats":[{"chatId":"c1","members":["u1","u2"],
                 "messages":[
                 {"messageId":"m1","senderId":"u1","seenBy":["u2"]},
                 {"messageId":"m2","senderId":"u1","seenBy":["u1"]},
                 {"messageId":"m3","senderId":"u1","seenBy":["u7"]}]}]})"));
    QListWidget *list = session.probe->messageListWidget();
    QCOMPARE(list->item(0)->data(StatusRole).toInt(), int(Seen));
    QCOMPARE(list->item(1)->data(StatusRole).toInt(), int(Sent));
    QCOMPARE(list->item(2)->data(StatusRole).toInt(), int(Sent));
    QCOMPARE(session.probe->chat(QStringLiteral("c1")).messages[0].status, Seen);
}

void TestTimeline::pagesOlderHistory()
{
    Session session;
    openChat(session, historyOf(100, 60));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QListWidget *list = session.probe->messageListWidget();
    QScrollBar *bar = list->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QTRY_COMPARE(bar->value(), bar->maximum());

    bar->setValue(0);
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.first(),
        json(R"({"type":"get_history","chatId":"c1","before":1100})"));
    QVERIFY(session.probe->store().isLoadingHistory());

    // Nothing more while the answer is outstanding.
    bar->setValue(10);
    bar->setValue(0);
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob"}]})");
    QCOMPARE(session.server.frames.size(), 1);

    QCOMPARE(rowId(list, list->indexAt(QPoint(5, 1)).row()), QStringLiteral("m100"));
    session.push(historyOf(70, 30));
    QVERIFY(!session.probe->store().isLoadingHistory());
    QCOMPARE(list->count(), 90);
    QCOMPARE(rowId(list, 0), QStringLiteral("m70"));
    QCOMPARE(rowId(list, 29), QStringLiteral("m99"));
    QCOMPARE(rowId(list, 30), QStringLiteral("m100"));
    // The row that was at the top is still at the top of the view.
    QCOMPARE(rowId(list, list->indexAt(QPoint(5, 1)).row()), QStringLiteral("m100"));
    QCOMPARE(session.probe->chat(QStringLiteral("c1")).messages.front().id, QStringLiteral("m70"));

    // The next page asks from the new oldest message.
    session.server.takeFrames();
    bar->setValue(0);
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.first().value(QLatin1String("before")).toInt(), 1070);
}

void TestTimeline::emptyAnswerEndsPagingForThatChat()
{
    Session session;
    openChat(session, historyOf(100, 60));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QScrollBar *bar = session.probe->messageListWidget()->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    bar->setValue(bar->maximum());
    bar->setValue(0);
    QVERIFY(session.server.waitForFrames(1));
    // The answer holds only messages the window already has.
    session.push(historyOf(100, 5));
    QVERIFY(!session.probe->store().isLoadingHistory());

    session.server.takeFrames();
    bar->setValue(20);
    bar->setValue(0);
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"}]})");
    QVERIFY(session.server.frames.isEmpty());
}

void TestTimeline::lostAnswerUnblocksPagingAfterTimeout()
{
    Session session;
    openChat(session, historyOf(100, 60));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QScrollBar *bar = session.probe->messageListWidget()->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    bar->setValue(bar->maximum());
    bar->setValue(0);
    QVERIFY(session.server.waitForFrames(1));
    QTimer *timeout = session.probe->store().historyTimeout();
    QVERIFY(timeout->isActive());
    QCOMPARE(timeout->interval(), 15000);

    // Let the guard run out now rather than in 15 s.
    timeout->start(10);
    QTRY_VERIFY(!session.probe->store().isLoadingHistory());
    session.server.takeFrames();
    bar->setValue(20);
    bar->setValue(0);
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.first().value(QLatin1String("type")).toString(),
        QStringLiteral("get_history"));
}

void TestTimeline::pagingNeedsAnOpenChatWithMessages()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QScrollBar *bar = session.probe->messageListWidget()->verticalScrollBar();
    // No chat open.
    emit bar->valueChanged(0);
    session.push(
        R"({"type":"chat_history","chats":[{"chatId":"c1","chatName":"Empty","members":["u1"]}]})");
    emit session.probe->chatListWidget()->itemClicked(session.probe->chatListWidget()->item(0));
    // A chat without stored messages.
    emit bar->valueChanged(0);
    session.push(R"({"type":"user_list_update","users":[]})");
    QVERIFY(session.server.frames.isEmpty());
    QVERIFY(!session.probe->store().isLoadingHistory());
}

void TestTimeline::answerForAnotherChatIsNotShown()
{
    Session session;
    openChat(session, historyOf(100, 60));
    session.push(historyOf(1, 3, QStringLiteral("c2")));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QListWidget *list = session.probe->messageListWidget();
    QScrollBar *bar = list->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    bar->setValue(bar->maximum());
    bar->setValue(0);
    QVERIFY(session.server.waitForFrames(1));
    // The user opens another chat before the answer comes: it is stored, not shown.
    QListWidgetItem *other = nullptr;
    for (int row = 0; row < session.probe->chatListWidget()->count(); ++row) {
        if (session.probe->chatListWidget()->item(row)->data(IdRole).toString()
            == QLatin1String("c2"))
            other = session.probe->chatListWidget()->item(row);
    }
    emit session.probe->chatListWidget()->itemClicked(other);
    const int rows = list->count();
    session.push(historyOf(80, 20));
    QVERIFY(!session.probe->store().isLoadingHistory());
    QCOMPARE(list->count(), rows);
    QCOMPARE(session.probe->chat(QStringLiteral("c1")).messages.size(), size_t(80));
}

void TestTimeline::focusHighlightsForThreeSeconds()
{
    Session session;
    openChat(session, historyOf(1, 40));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QListWidget *list = session.probe->messageListWidget();
    auto *delegate = dynamic_cast<MessageDelegate *>(list->itemDelegate());
    QVERIFY(delegate);

    session.window->focusOnMessage(QStringLiteral("nothing"));
    QVERIFY(session.probe->highlightedMessageId().isEmpty());

    QElapsedTimer clock;
    clock.start();
    session.window->focusOnMessage(QStringLiteral("m3"));
    QCOMPARE(session.probe->highlightedMessageId(), QStringLiteral("m3"));
    QCOMPARE(delegate->highlightedMessageId(), QStringLiteral("m3"));
    // The row is scrolled to the middle of the view.
    const QRect rect = list->visualItemRect(list->item(2));
    QVERIFY(list->viewport()->rect().contains(rect.center()));

    QTRY_VERIFY_WITH_TIMEOUT(session.probe->highlightedMessageId().isEmpty(), 5000);
    // A coarse timer may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= 2850, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(delegate->highlightedMessageId().isEmpty());
}

void TestTimeline::themeToggleRebuildsOpenChatOnce()
{
    Session session;
    openChat(session, historyOf(1, 3));
    QListWidget *list = session.probe->messageListWidget();
    list->addItem(QStringLiteral("marker"));
    session.probe->darkModeCheckBox()->setChecked(true);
    QCOMPARE(list->count(), 3);
    QCOMPARE(rowId(list, 0), QStringLiteral("m1"));
    // Everything was acknowledged when the chat was opened; a rebuild sends nothing again.
    session.push(R"({"type":"user_list_update","users":[]})");
    QVERIFY(session.server.frames.isEmpty());

    // With no chat open, toggling leaves the lists alone.
    Session other;
    QVERIFY(other.logIn(QStringLiteral("u1")));
    other.probe->messageListWidget()->addItem(QStringLiteral("marker"));
    other.probe->darkModeCheckBox()->setChecked(true);
    QCOMPARE(other.probe->messageListWidget()->count(), 1);
}

void TestTimeline::growsWindowFromStoreBeforeAskingServer_data()
{
    QTest::addColumn<int>("held");
    // Rows shown after each scroll to the top that is answered from the store.
    QTest::addColumn<QList<int>>("rowsAfterGrowth");

    QTest::newRow("one window") << 60 << QList<int> {};
    QTest::newRow("window and a bit") << 150 << QList<int> { 150 };
    QTest::newRow("two windows and a half") << 250 << QList<int> { 200, 250 };
}

void TestTimeline::growsWindowFromStoreBeforeAskingServer()
{
    QFETCH(int, held);
    QFETCH(QList<int>, rowsAfterGrowth);

    Session session;
    openChat(session, historyOf(1, held));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QListWidget *list = session.probe->messageListWidget();
    QScrollBar *bar = list->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QTRY_COMPARE(bar->value(), bar->maximum());
    QCOMPARE(list->count(), std::min(held, 100));
    QCOMPARE(rowId(list, list->count() - 1), QStringLiteral("m%1").arg(held));

    for (const int rows : rowsAfterGrowth) {
        // Scrolled to the top, the first row of the window is the top of the view.
        const QString topBefore = rowId(list, 0);
        bar->setValue(0);
        QCOMPARE(list->count(), rows);
        QCOMPARE(rowId(list, 0), QStringLiteral("m%1").arg(held - rows + 1));
        QCOMPARE(rowId(list, rows - 1), QStringLiteral("m%1").arg(held));
        // The row that was at the top is still at the top of the view.
        QCOMPARE(rowId(list, list->indexAt(QPoint(5, 1)).row()), topBefore);
        QVERIFY(bar->value() > 0);
        // The store still held them: nothing is asked of the server.
        session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob"}]})");
        QVERIFY(session.server.frames.isEmpty());
        QVERIFY(!session.probe->store().isLoadingHistory());
    }

    // Everything held is shown: the next scroll to the top asks once, from the oldest message.
    bar->setValue(0);
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.first(),
        json(R"({"type":"get_history","chatId":"c1","before":1001})"));
    bar->setValue(10);
    bar->setValue(0);
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"}]})");
    QCOMPARE(session.server.frames.size(), 1);
    QCOMPARE(list->count(), held);
}

void TestTimeline::quoteAboveWindowIsReachable()
{
    Session session;
    QJsonObject history = historyOf(1, 300);
    // The newest message quotes the fifth, far above the rows a chat opens with.
    QJsonObject chat = history[QLatin1String("chats")].toArray().first().toObject();
    QJsonArray messages = chat[QLatin1String("messages")].toArray();
    QJsonObject newest = messages.last().toObject();
    newest.insert(QStringLiteral("replyToId"), QStringLiteral("m5"));
    messages.replace(messages.size() - 1, newest);
    chat.insert(QStringLiteral("messages"), messages);
    history.insert(QStringLiteral("chats"), QJsonArray { chat });
    openChat(session, history);
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QListWidget *list = session.probe->messageListWidget();
    QScrollBar *bar = list->verticalScrollBar();
    QTRY_COMPARE(bar->value(), bar->maximum());
    QCOMPARE(list->count(), 100);
    QListWidgetItem *reply = list->item(list->count() - 1);
    QCOMPARE(reply->data(ReplyPreviewRole).toString(), QStringLiteral("message 5"));
    QCOMPARE(reply->data(ReplySenderRole).toString(), QStringLiteral("bob"));

    // A click on the quote of the newest bubble.
    const QRect bubble = list->visualItemRect(reply);
    QVERIFY(list->viewport()->rect().contains(bubble.topLeft() + QPoint(75, 35)));
    QTest::mouseClick(
        list->viewport(), Qt::LeftButton, Qt::NoModifier, bubble.topLeft() + QPoint(75, 35));

    QCOMPARE(session.probe->highlightedMessageId(), QStringLiteral("m5"));
    auto *delegate = dynamic_cast<MessageDelegate *>(list->itemDelegate());
    QVERIFY(delegate);
    QCOMPARE(delegate->highlightedMessageId(), QStringLiteral("m5"));
    // The quoted row is shown among its neighbours, in order and without gaps, and in view.
    const int first = rowId(list, 0).mid(1).toInt();
    QVERIFY(first <= 5 && first + list->count() > 5);
    for (int row = 0; row < list->count(); ++row)
        QCOMPARE(rowId(list, row), QStringLiteral("m%1").arg(first + row));
    const QRect quoted = list->visualItemRect(list->item(5 - first));
    QVERIFY(list->viewport()->rect().intersects(quoted));
    // Held messages were enough: the server is not asked.
    session.push(R"({"type":"user_list_update","users":[]})");
    QVERIFY(session.server.frames.isEmpty());
}

void TestTimeline::largeChatOpensWithOneWindowOfRows()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    QJsonObject history = historyOf(1, 10000);
    // Nobody has seen any of them yet.
    QJsonObject chat = history[QLatin1String("chats")].toArray().first().toObject();
    QJsonArray messages = chat[QLatin1String("messages")].toArray();
    for (int i = 0; i < messages.size(); ++i) {
        QJsonObject message = messages[i].toObject();
        message.insert(QStringLiteral("seenBy"), QJsonArray());
        messages.replace(i, message);
    }
    chat.insert(QStringLiteral("messages"), messages);
    history.insert(QStringLiteral("chats"), QJsonArray { chat });
    session.push(history);
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));

    QListWidget *chats = session.probe->chatListWidget();
    emit chats->itemClicked(chats->item(0));
    QListWidget *list = session.probe->messageListWidget();
    QCOMPARE(list->count(), 100);
    QCOMPARE(rowId(list, 0), QStringLiteral("m9901"));
    QCOMPARE(rowId(list, 99), QStringLiteral("m10000"));
    QCOMPARE(session.probe->chat(QStringLiteral("c1")).messages.size(), size_t(10000));
    QTRY_COMPARE(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum());

    // Every message of the chat is acknowledged, oldest first, not only the rows shown.
    QVERIFY(session.server.waitForFrames(10000, 120000));
    const QList<QJsonObject> frames = session.server.takeFrames();
    QCOMPARE(frames.size(), 10000);
    for (int i = 0; i < frames.size(); ++i) {
        QCOMPARE(frames[i],
            QJsonObject({ { QStringLiteral("type"), QStringLiteral("message_seen") },
                { QStringLiteral("chatId"), QStringLiteral("c1") },
                { QStringLiteral("messageId"), QStringLiteral("m%1").arg(i + 1) } }));
    }
    QCOMPARE(list->count(), 100);
}

QTEST_MAIN(TestTimeline)
#include "tst_timeline.moc"
