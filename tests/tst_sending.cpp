#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"

#include <QLabel>
#include <QScrollBar>
#include <QStandardPaths>
#include <QtTest>

namespace
{

QStringList pendingIds(WindowProbe &probe)
{
    QStringList ids;
    for (const Message &local : probe.store().pendingMessages())
        ids << local.id;
    return ids;
}

QStringList rowIds(QListWidget *list, int role)
{
    QStringList ids;
    for (int row = 0; row < list->count(); ++row)
        ids << list->item(row)->data(role).toString();
    return ids;
}

// Logs in as u1 with users u1 "alice" and u2 "bob", loads a group "g1" (members u1, u2), a
// private chat "u1_u2" and a group "g2", and opens `open`.
void openChat(Session &session, const QString &open)
{
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(
        R"({"type":"chat_history","chats":[
            {"chatId":"g1","chatName":"Team","chatType":"group","members":["u1","u2"],
             "messages":[{"messageId":"m1","chatId":"g1","senderId":"u2","timestamp":30,
                          "content":{"text":"first"},"seenBy":["u1"]},
                         {"messageId":"m2","chatId":"g1","senderId":"u1","timestamp":40,
                          "content":{"text":"mine"}}]},
            {"chatId":"u1_u2","chatType":"private","members":["u1","u2"],
             "messages":[{"messageId":"p1","chatId":"u1_u2","senderId":"u2","timestamp":20,
                          "content":{"text":"psst"},"seenBy":["u1"]}]},
            {"chatId":"g2","chatName":"Other","chatType":"group","members":["u1","u3"],
             "messages":[{"messageId":"o1","chatId":"g2","senderId":"u3","timestamp":10,
                          "content":{"text":"elsewhere"},"seenBy":["u1"]}]}]})");
    session.push(
        R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob"}]})");
    QListWidget *chats = session.probe->chatListWidget();
    for (int row = 0; row < chats->count(); ++row) {
        if (chats->item(row)->data(IdRole).toString() == open) {
            // As a click does: the row becomes the selected one, then the chat opens.
            chats->setCurrentRow(row);
            emit chats->itemClicked(chats->item(row));
        }
    }
    QCOMPARE(session.probe->currentChatId(), open);
    session.server.takeFrames();
}

void type(Session &session, const QString &text)
{
    session.probe->messageInput()->setText(text);
    QTest::mouseClick(session.probe->sendButton(), Qt::LeftButton);
}

QJsonObject echo(const char *id, const char *chatId, const char *sender, const char *text)
{
    return QJsonObject { { QStringLiteral("type"), QStringLiteral("message") },
        { QStringLiteral("messageId"), QLatin1String(id) },
        { QStringLiteral("chatId"), QLatin1String(chatId) },
        { QStringLiteral("senderId"), QLatin1String(sender) },
        { QStringLiteral("timestamp"), 100 },
        { QStringLiteral("content"),
            QJsonObject { { QStringLiteral("text"), QLatin1String(text) },
                { QStringLiteral("file"), QJsonValue::Null } } },
        { QStringLiteral("seenBy"), QJsonArray() } };
}

} // namespace

class TestSending : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void sendsByAddressingRule_data();
    void sendsByAddressingRule();
    void showsLocalCopyAtOnce();
    void returnSendsLikeTheButton();
    void sendsNothingWithoutTextOrChat_data();
    void sendsNothingWithoutTextOrChat();
    void sendsReplyAndLeavesReplyMode();
    void echoReplacesLocalCopy();
    void unmatchedEchoAddsSecondRow();
    void echoWhileAnotherChatIsOpen();
    void incomingMovesChatToTop();
    void acknowledgesOnlyOpenChatMessagesOfOthers();
    void scrollsForOwnMessagesOnly();
    void messageForUnknownChatChangesNothing();
    void repeatedMessageIsKeptOnce();
    void seenReceipts_data();
    void seenReceipts();
    void appliesEdits();
    void appliesDeletions();
    void savesOnlyChangedEdits();
    void savingEditKeepsReplyMode();
    void lengthShowsNearTheLimitAndBarsOverIt_data();
    void lengthShowsNearTheLimitAndBarsOverIt();
};

void TestSending::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSending::init()
{
    AppSettings().clear();
}

void TestSending::sendsByAddressingRule_data()
{
    QTest::addColumn<QString>("chatId");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("private chat by recipient")
        << QStringLiteral("u1_u2")
        << QByteArray(R"({"type":"message","recipientId":"u2","content":{"text":"hi",)"
                      R"("file":null,"theme":null},"replyToId":null})");
    QTest::newRow("group by chat id")
        << QStringLiteral("g1")
        << QByteArray(R"({"type":"message","chatId":"g1","content":{"text":"hi",)"
                      R"("file":null,"theme":null},"replyToId":null})");
}

void TestSending::sendsByAddressingRule()
{
    QFETCH(QString, chatId);
    QFETCH(QByteArray, frame);
    Session session;
    openChat(session, chatId);
    type(session, QStringLiteral("  hi \t"));
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.first(), QJsonDocument::fromJson(frame).object());
}

void TestSending::showsLocalCopyAtOnce()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    WindowProbe &probe = *session.probe;
    type(session, QStringLiteral(" hello "));
    QListWidget *list = probe.messageListWidget();
    QCOMPARE(list->count(), 3);
    QListWidgetItem *local = list->item(2);
    const QString id = local->data(MessageIdRole).toString();
    QVERIFY(id.startsWith(QLatin1String("temp_")));
    QCOMPARE(id.size(), 5 + 36);
    QVERIFY(!QUuid(id.mid(5)).isNull());
    QCOMPARE(local->data(StatusRole).toInt(), int(Sending));
    QCOMPARE(local->data(TextRole).toString(), QStringLiteral("hello"));
    QCOMPARE(local->data(IsOwnRole).toBool(), true);
    QVERIFY(
        qAbs(local->data(TimestampRole).toLongLong() - QDateTime::currentSecsSinceEpoch()) <= 2);
    QCOMPARE(pendingIds(probe), QStringList { id });
    QCOMPARE(probe.store().pendingMessage(id)->content, QStringLiteral("hello"));
    // Local copies are no stored messages until the server confirms them.
    QCOMPARE(probe.chat(QStringLiteral("g1")).messages.size(), size_t(2));
    QVERIFY(probe.messageInput()->text().isEmpty());
}

void TestSending::returnSendsLikeTheButton()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    session.probe->messageInput()->setText(QStringLiteral("enter"));
    QTest::keyClick(session.probe->messageInput(), Qt::Key_Return);
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.first()
                 .value(QLatin1String("content"))
                 .toObject()
                 .value(QLatin1String("text"))
                 .toString(),
        QStringLiteral("enter"));
    QCOMPARE(session.probe->messageListWidget()->count(), 3);
}

void TestSending::sendsNothingWithoutTextOrChat_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("chatOpen");
    QTest::newRow("empty text") << QString() << true;
    QTest::newRow("only white space") << QStringLiteral(" \t ") << true;
    QTest::newRow("no chat open") << QStringLiteral("hi") << false;
}

void TestSending::sendsNothingWithoutTextOrChat()
{
    QFETCH(QString, text);
    QFETCH(bool, chatOpen);
    Session session;
    if (chatOpen) {
        openChat(session, QStringLiteral("g1"));
    } else {
        QVERIFY(session.logIn(QStringLiteral("u1")));
    }
    const bool replying = session.probe->session().replyTo(QStringLiteral("m1"));
    type(session, text);
    session.push(R"({"type":"user_list_update","users":[]})");
    QVERIFY(session.server.frames.isEmpty());
    QCOMPARE(session.probe->messageInput()->text(), text);
    QVERIFY(session.probe->store().pendingMessages().empty());
    QCOMPARE(
        session.probe->session().replyToMessageId(), replying ? QStringLiteral("m1") : QString());
}

void TestSending::sendsReplyAndLeavesReplyMode()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    WindowProbe &probe = *session.probe;
    QVERIFY(probe.session().replyTo(QStringLiteral("m1")));
    probe.replyBar()->show();
    type(session, QStringLiteral("answer"));
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.first().value(QLatin1String("replyToId")).toString(),
        QStringLiteral("m1"));
    QListWidgetItem *local = probe.messageListWidget()->item(2);
    QCOMPARE(local->data(ReplyToIdRole).toString(), QStringLiteral("m1"));
    QCOMPARE(local->data(ReplyPreviewRole).toString(), QStringLiteral("first"));
    QCOMPARE(local->data(ReplySenderRole).toString(), QStringLiteral("bob"));
    QVERIFY(probe.session().replyToMessageId().isEmpty());
    QVERIFY(probe.replyBar()->isHidden());

    // The next message is no reply.
    type(session, QStringLiteral("plain"));
    QVERIFY(session.server.waitForFrames(2));
    QVERIFY(session.server.frames.at(1).value(QLatin1String("replyToId")).isNull());
}

void TestSending::echoReplacesLocalCopy()
{
    Session session;
    openChat(session, QStringLiteral("u1_u2"));
    WindowProbe &probe = *session.probe;
    type(session, QStringLiteral("hi"));
    session.push(echo("s1", "u1_u2", "u1", "hi"));
    QListWidget *list = probe.messageListWidget();
    QCOMPARE(
        rowIds(list, MessageIdRole), (QStringList { QStringLiteral("p1"), QStringLiteral("s1") }));
    QCOMPARE(list->item(1)->data(StatusRole).toInt(), int(Sent));
    QVERIFY(probe.store().pendingMessages().empty());
    QCOMPARE(probe.chat(QStringLiteral("u1_u2")).messages.back().id, QStringLiteral("s1"));
    // The own echo is not acknowledged.
    QCOMPARE(session.server.framesOfType(QStringLiteral("message_seen")).size(), 0);
}

void TestSending::unmatchedEchoAddsSecondRow()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    WindowProbe &probe = *session.probe;
    type(session, QStringLiteral("hi"));
    const QString localId = probe.messageListWidget()->item(2)->data(MessageIdRole).toString();
    session.push(echo("s1", "g1", "u1", "hi!"));
    QListWidget *list = probe.messageListWidget();
    QCOMPARE(rowIds(list, MessageIdRole),
        (QStringList {
            QStringLiteral("m1"), QStringLiteral("m2"), localId, QStringLiteral("s1") }));
    QCOMPARE(list->item(2)->data(StatusRole).toInt(), int(Sending));
    QCOMPARE(pendingIds(probe), QStringList { localId });
}

void TestSending::echoWhileAnotherChatIsOpen()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    WindowProbe &probe = *session.probe;
    type(session, QStringLiteral("later"));
    QListWidget *chats = probe.chatListWidget();
    for (int row = 0; row < chats->count(); ++row) {
        if (chats->item(row)->data(IdRole).toString() == QLatin1String("g2"))
            emit chats->itemClicked(chats->item(row));
    }
    const QStringList shown = rowIds(probe.messageListWidget(), MessageIdRole);
    session.push(echo("s1", "g1", "u1", "later"));
    QVERIFY(probe.store().pendingMessages().empty());
    QCOMPARE(probe.chat(QStringLiteral("g1")).messages.back().id, QStringLiteral("s1"));
    QCOMPARE(rowIds(probe.messageListWidget(), MessageIdRole), shown);
}

void TestSending::incomingMovesChatToTop()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    QListWidget *chats = session.probe->chatListWidget();
    QCOMPARE(rowIds(chats, IdRole),
        (QStringList { QStringLiteral("g1"), QStringLiteral("u1_u2"), QStringLiteral("g2") }));
    session.push(echo("x1", "g2", "u3", "news"));
    QCOMPARE(rowIds(chats, IdRole),
        (QStringList { QStringLiteral("g2"), QStringLiteral("g1"), QStringLiteral("u1_u2") }));
    QCOMPARE(session.probe->chat(QStringLiteral("g2")).messages.back().id, QStringLiteral("x1"));

    // The selection stays with the open chat's row wherever the rows move.
    const auto selectedIds = [chats] {
        QStringList ids;
        for (const QListWidgetItem *item : chats->selectedItems())
            ids << item->data(IdRole).toString();
        return ids;
    };
    QCOMPARE(selectedIds(), QStringList { QStringLiteral("g1") });
    session.push(echo("x2", "g1", "u2", "to the open chat"));
    QCOMPARE(rowIds(chats, IdRole),
        (QStringList { QStringLiteral("g1"), QStringLiteral("g2"), QStringLiteral("u1_u2") }));
    QCOMPARE(selectedIds(), QStringList { QStringLiteral("g1") });
    QCOMPARE(chats->currentItem()->data(IdRole).toString(), QStringLiteral("g1"));
    session.push(echo("x3", "u1_u2", "u2", "elsewhere again"));
    QCOMPARE(selectedIds(), QStringList { QStringLiteral("g1") });
}

void TestSending::acknowledgesOnlyOpenChatMessagesOfOthers()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    session.push(echo("x1", "g1", "u2", "to you"));
    session.push(echo("x2", "g2", "u3", "elsewhere"));
    QCOMPARE(session.server.frames,
        QList<QJsonObject> { json(R"({"type":"message_seen","chatId":"g1","messageId":"x1"})") });
    QCOMPARE(session.probe->messageListWidget()->count(), 3);
    QCOMPARE(session.probe->messageListWidget()->item(2)->data(SenderNameRole).toString(),
        QStringLiteral("bob"));
}

void TestSending::scrollsForOwnMessagesOnly()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    for (int i = 0; i < 40; ++i)
        session.push(echo(qPrintable(QStringLiteral("f%1").arg(i)), "g1", "u2", "filler"));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QScrollBar *bar = session.probe->messageListWidget()->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 200);
    bar->setValue(100);
    session.push(echo("x1", "g1", "u2", "from bob"));
    QCOMPARE(bar->value(), 100);
    session.push(echo("x2", "g1", "u1", "from me"));
    QTRY_COMPARE(bar->value(), bar->maximum());

    // At the bottom, others' messages keep the view at the bottom.
    session.push(echo("x3", "g1", "u2", "again"));
    QTRY_COMPARE(bar->value(), bar->maximum());
}

void TestSending::messageForUnknownChatChangesNothing()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    const QStringList rows = rowIds(session.probe->chatListWidget(), IdRole);
    session.push(echo("x1", "nowhere", "u2", "lost"));
    QCOMPARE(rowIds(session.probe->chatListWidget(), IdRole), rows);
    QVERIFY(!session.probe->store().hasChat(QStringLiteral("nowhere")));
    QVERIFY(session.server.frames.isEmpty());
}

void TestSending::repeatedMessageIsKeptOnce()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    session.push(echo("x1", "g1", "u2", "once"));
    session.push(echo("x9", "g2", "u3", "other"));
    session.push(echo("x1", "g1", "u2", "once"));
    WindowProbe &probe = *session.probe;
    QCOMPARE(rowIds(probe.messageListWidget(), MessageIdRole),
        (QStringList { QStringLiteral("m1"), QStringLiteral("m2"), QStringLiteral("x1") }));
    QCOMPARE(probe.chat(QStringLiteral("g1")).messages.size(), size_t(3));
    QCOMPARE(session.server.framesOfType(QStringLiteral("message_seen")).size(), 1);
    // The chat still moves to the top.
    QCOMPARE(probe.chatListWidget()->item(0)->data(IdRole).toString(), QStringLiteral("g1"));

    // A repeated echo of an own message does not consume a newer local copy of the same text.
    type(session, QStringLiteral("mine"));
    QCOMPARE(probe.store().pendingMessages().size(), size_t(1));
    session.push(echo("m2", "g1", "u1", "mine"));
    QCOMPARE(probe.store().pendingMessages().size(), size_t(1));
}

void TestSending::seenReceipts_data()
{
    QTest::addColumn<QString>("userId");
    QTest::addColumn<bool>("userKnown");
    QTest::addColumn<int>("status");
    QTest::newRow("by another member") << QStringLiteral("u2") << true << int(Seen);
    QTest::newRow("by a member not among the users") << QStringLiteral("u2") << false << int(Seen);
    QTest::newRow("by myself") << QStringLiteral("u1") << true << int(Sent);
    QTest::newRow("by a non-member") << QStringLiteral("u7") << true << int(Sent);
}

void TestSending::seenReceipts()
{
    QFETCH(QString, userId);
    QFETCH(bool, userKnown);
    QFETCH(int, status);
    Session session;
    openChat(session, QStringLiteral("g1"));
    if (!userKnown)
        session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"a"}]})");
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("message_seen_update") },
        { QStringLiteral("chatId"), QStringLiteral("g1") },
        { QStringLiteral("messageId"), QStringLiteral("m2") },
        { QStringLiteral("userId"), userId } });
    const Message &stored = session.probe->chat(QStringLiteral("g1")).messages.at(1);
    QVERIFY(stored.seenBy.contains(userId));
    QCOMPARE(int(stored.status), status);
    QCOMPARE(session.probe->messageListWidget()->item(1)->data(StatusRole).toInt(), status);

    // A receipt for a message that is not stored changes nothing.
    session.push(R"({"type":"message_seen_update","chatId":"g1","messageId":"zz","userId":"u2"})");
    QCOMPARE(session.probe->chat(QStringLiteral("g1")).messages.size(), size_t(2));
}

void TestSending::appliesEdits()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    session.push(
        R"({"type":"message_updated","chatId":"g1","messageId":"m1",
            "newContent":{"text":"http://h/static/upload/a.png","file":null},"editedAt":77})");
    QListWidgetItem *row = session.probe->messageListWidget()->item(0);
    // Shown as any row shows its text: an upload link as its short form.
    QCOMPARE(row->data(TextRole).toString(), QStringLiteral("[Image]"));
    QCOMPARE(row->data(EditedAtRole).toLongLong(), qint64(77));
    const Message &stored = session.probe->chat(QStringLiteral("g1")).messages.front();
    QCOMPARE(stored.content, QStringLiteral("http://h/static/upload/a.png"));
    QCOMPARE(stored.editedAt, qint64(77));

    // An edit in a chat that is not open changes only the stored message.
    session.push(R"({"type":"message_updated","chatId":"g2","messageId":"o1",
            "newContent":{"text":"changed"},"editedAt":78})");
    QCOMPARE(session.probe->chat(QStringLiteral("g2")).messages.front().content,
        QStringLiteral("changed"));
    QCOMPARE(session.probe->messageListWidget()->count(), 2);
}

void TestSending::appliesDeletions()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    session.push(R"({"type":"message","messageId":"r1","chatId":"g1","senderId":"u2",
            "timestamp":50,"content":{"text":"quoting"},"replyToId":"m1"})");
    session.push(R"({"type":"message_deleted","chatId":"g1","messageId":"m1"})");
    WindowProbe &probe = *session.probe;
    QCOMPARE(rowIds(probe.messageListWidget(), MessageIdRole),
        (QStringList { QStringLiteral("m2"), QStringLiteral("r1") }));
    QStringList stored;
    for (const Message &message : probe.chat(QStringLiteral("g1")).messages)
        stored << message.id;
    QCOMPARE(stored, (QStringList { QStringLiteral("m2"), QStringLiteral("r1") }));
    // The quote of the deleted message stays as it was.
    QCOMPARE(probe.messageListWidget()->item(1)->data(ReplyPreviewRole).toString(),
        QStringLiteral("first"));

    session.push(R"({"type":"message_deleted","chatId":"g2","messageId":"o1"})");
    QVERIFY(probe.chat(QStringLiteral("g2")).messages.empty());
    QCOMPARE(probe.messageListWidget()->count(), 2);
}

void TestSending::savesOnlyChangedEdits()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    WindowProbe &probe = *session.probe;
    probe.session().startEditing(QStringLiteral("m2"), QStringLiteral("mine"), QString());
    probe.editBar()->show();
    probe.sendButton()->setText(QStringLiteral("Save"));
    type(session, QStringLiteral(" mine "));
    QVERIFY(probe.session().editingMessageId().isEmpty());
    QVERIFY(probe.editBar()->isHidden());
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Send"));
    QVERIFY(probe.messageInput()->text().isEmpty());

    probe.session().startEditing(QStringLiteral("m2"), QStringLiteral("mine"), QString());
    type(session, QStringLiteral(" mine, edited "));
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames,
        QList<QJsonObject> { json(R"({"type":"edit_message","chatId":"g1","messageId":"m2",
                                         "newContent":"mine, edited"})") });
    // Nothing changes locally before the server confirms.
    QCOMPARE(probe.messageListWidget()->item(1)->data(TextRole).toString(), QStringLiteral("mine"));
    QVERIFY(probe.store().pendingMessages().empty());
}

void TestSending::savingEditKeepsReplyMode()
{
    Session session;
    openChat(session, QStringLiteral("g1"));
    WindowProbe &probe = *session.probe;
    QVERIFY(probe.session().replyTo(QStringLiteral("m1")));
    probe.replyBar()->show();
    probe.session().startEditing(QStringLiteral("m2"), QStringLiteral("mine"), QString());
    type(session, QStringLiteral("changed"));
    QCOMPARE(probe.session().replyToMessageId(), QStringLiteral("m1"));
    QVERIFY(!probe.replyBar()->isHidden());
}

void TestSending::lengthShowsNearTheLimitAndBarsOverIt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("sent");

    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    QTest::newRow("far from the limit") << QString(3800, QLatin1Char('a')) << QString() << true;
    QTest::newRow("near it") << QString(3801, QLatin1Char('a')) << QStringLiteral("3801 / 4000")
                             << true;
    QTest::newRow("at it, counted in characters")
        << QString(3999, QLatin1Char('a')) + emoji + QStringLiteral("  ")
        << QStringLiteral("4000 / 4000") << true;
    QTest::newRow("over it") << QString(4001, QLatin1Char('a'))
                             << QStringLiteral("4001 / 4000: too long to send") << false;
}

void TestSending::lengthShowsNearTheLimitAndBarsOverIt()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(bool, sent);
    Session session;
    openChat(session, QStringLiteral("g1"));
    auto *counter = session.window->findChild<QLabel *>(QStringLiteral("lengthCounter"));
    QVERIFY(counter);
    session.probe->messageInput()->setText(text);
    QCOMPARE(counter->isVisibleTo(session.window.get()), !shown.isEmpty());
    if (!shown.isEmpty())
        QCOMPARE(counter->text(), shown);
    QTest::mouseClick(session.probe->sendButton(), Qt::LeftButton);
    QCOMPARE(session.server.waitForFrames(1, sent ? 5000 : 300), sent);
    QCOMPARE(session.probe->messageInput()->text().isEmpty(), sent);
    QCOMPARE(counter->isVisibleTo(session.window.get()), !sent);
}

QTEST_MAIN(TestSending)
#include "tst_sending.moc"
