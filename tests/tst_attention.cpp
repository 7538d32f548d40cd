#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"

#include <QStandardPaths>
#include <QtTest>

namespace
{

// alice (u1) with "Team" (g1, bob's m1, seen by her) and "Other" (g2, carol's m5, unseen).
void logIn(Session &session)
{
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
        {"userId":"u2","username":"bob"},{"userId":"u3","username":"carol"}]})");
    session.push(R"({"type":"chat_history","chats":[
        {"chatId":"g1","chatName":"Team","chatType":"group","members":["u1","u2"],"messages":[
         {"messageId":"m1","chatId":"g1","senderId":"u2","timestamp":1,"content":{"text":"a"},
          "seenBy":["u1"]}]},
        {"chatId":"g2","chatName":"Other","chatType":"group","members":["u1","u3"],"messages":[
         {"messageId":"m5","chatId":"g2","senderId":"u3","timestamp":1,"content":{"text":"b"}}]}
        ]})");
}

void open(Session &session, const QString &chatId)
{
    QListWidget *chats = session.probe->chatListWidget();
    for (int row = 0; row < chats->count(); ++row) {
        if (chats->item(row)->data(IdRole).toString() == chatId)
            emit chats->itemClicked(chats->item(row));
    }
    QCOMPARE(session.probe->currentChatId(), chatId);
}

void arrive(Session &session, const char *id, const char *chatId, const char *senderId)
{
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("message") },
        { QStringLiteral("messageId"), QLatin1String(id) },
        { QStringLiteral("chatId"), QLatin1String(chatId) },
        { QStringLiteral("senderId"), QLatin1String(senderId) },
        { QStringLiteral("timestamp"), 5 },
        { QStringLiteral("content"),
            QJsonObject { { QStringLiteral("text"), QStringLiteral("new") } } } });
}

// Every receipt the server has had, as "chat/message", once the client's frames so far are in:
// a receipt for a chat nobody has goes out last and marks the end.
QStringList receipts(Session &session)
{
    session.probe->client()->sendMessageSeen(QStringLiteral("end"), QStringLiteral("end"));
    QStringList seen;
    const bool ended = QTest::qWaitFor([&session] {
        const QList<QJsonObject> frames =
            session.server.framesOfType(QStringLiteral("message_seen"));
        return !frames.isEmpty()
            && frames.last().value(QLatin1String("chatId")).toString() == QLatin1String("end");
    });
    if (!ended)
        return { QStringLiteral("no end marker") };
    for (const QJsonObject &frame : session.server.takeFrames()) {
        const QString chatId = frame.value(QLatin1String("chatId")).toString();
        if (frame.value(QLatin1String("type")).toString() == QLatin1String("message_seen")
            && chatId != QLatin1String("end"))
            seen << chatId + QLatin1Char('/') + frame.value(QLatin1String("messageId")).toString();
    }
    return seen;
}

void sendToBackground(MainWindow &window, bool minimise)
{
    if (minimise)
        window.showMinimized();
    else
        window.hide();
}

} // namespace

class TestAttention : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void receiptsWaitForTheWindow_data();
    void receiptsWaitForTheWindow();
    void balloonClickOpensItsChat_data();
    void balloonClickOpensItsChat();
};

void TestAttention::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestAttention::init()
{
    AppSettings().clear();
}

void TestAttention::receiptsWaitForTheWindow_data()
{
    QTest::addColumn<bool>("minimise");

    QTest::newRow("minimised") << true;
    QTest::newRow("hidden to the tray") << false;
}

void TestAttention::receiptsWaitForTheWindow()
{
    QFETCH(bool, minimise);
    Session session;
    logIn(session);
    open(session, QStringLiteral("g1"));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QCOMPARE(receipts(session), QStringList());

    sendToBackground(*session.window, minimise);
    arrive(session, "n1", "g1", "u2");
    arrive(session, "n2", "g1", "u2");
    arrive(session, "own", "g1", "u1");
    QCOMPARE(receipts(session), QStringList());

    session.window->showNormal();
    QCOMPARE(receipts(session), QStringList({ QStringLiteral("g1/n1"), QStringLiteral("g1/n2") }));

    // Once each: neither coming back again nor reopening the chat repeats them.
    session.window->showMinimized();
    session.window->showNormal();
    open(session, QStringLiteral("g2"));
    open(session, QStringLiteral("g1"));
    QCOMPARE(receipts(session), QStringList { QStringLiteral("g2/m5") });

    // In front again, a message is acknowledged at once.
    arrive(session, "n3", "g1", "u2");
    QCOMPARE(receipts(session), QStringList { QStringLiteral("g1/n3") });
}

void TestAttention::balloonClickOpensItsChat_data()
{
    QTest::addColumn<QString>("chatId");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("seen");

    QTest::newRow("another chat") << QStringLiteral("g2") << QStringLiteral("Other")
                                  << QStringList { QStringLiteral("g2/m5"),
                                         QStringLiteral("g2/n1") };
    QTest::newRow("the open chat") << QStringLiteral("g1") << QStringLiteral("Team")
                                   << QStringList { QStringLiteral("g1/n1") };
}

void TestAttention::balloonClickOpensItsChat()
{
    QFETCH(QString, chatId);
    Session session;
    logIn(session);
    WindowProbe &probe = *session.probe;
    open(session, QStringLiteral("g1"));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    session.window->showMinimized();
    arrive(
        session, "n1", chatId.toLatin1().constData(), chatId == QLatin1String("g1") ? "u2" : "u3");
    QCOMPARE(receipts(session), QStringList());

    probe.clickBalloon();
    QVERIFY(session.window->isVisible());
    QVERIFY(!session.window->isMinimized());
    QCOMPARE(probe.currentChatId(), chatId);
    QTEST(probe.chatTitleLabel()->text(), "title");
    QCOMPARE(probe.chatListWidget()->currentItem()->data(IdRole).toString(), chatId);
    QCOMPARE(probe.chatListWidget()->selectedItems().size(), 1);
    QTEST(receipts(session), "seen");
}

QTEST_MAIN(TestAttention)
#include "tst_attention.moc"
