#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"
#include "view/accessibleitem.h"

#include <QJsonArray>
#include <QStandardPaths>
#include <QtTest>

namespace
{

// 11:41 and 11:42 in the test's time zone (UTC).
constexpr qint64 at1141 = 11 * 3600 + 41 * 60;
constexpr qint64 at1142 = at1141 + 60;

QString spoken(const QListWidget *list, int row)
{
    return list->model()->index(row, 0).data(Qt::AccessibleTextRole).toString();
}

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void messageText_data();
    void messageText();
    void rowsSpeak_data();
    void rowsSpeak();
    void spokenStatusFollowsTheRow();
};

void TestAccessibility::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestAccessibility::init()
{
    AppSettings().clear();
}

void TestAccessibility::messageText_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("editedAt");
    QTest::addColumn<bool>("own");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("replySender");
    QTest::addColumn<QString>("replyPreview");
    QTest::addColumn<QString>("expected");

    const QString bob = QStringLiteral("bob");
    const QString point = QStringLiteral("Fair point");
    QTest::newRow("another user's message, no status")
        << bob << point << qint64(0) << false << int(Seen) << QString() << QString()
        << QStringLiteral("bob, 11:41 AM: Fair point");
    QTest::newRow("own, sending") << bob << point << qint64(0) << true << int(Sending) << QString()
                                  << QString()
                                  << QStringLiteral("bob, 11:41 AM: Fair point, sending");
    QTest::newRow("own, sent") << bob << point << qint64(0) << true << int(Sent) << QString()
                               << QString() << QStringLiteral("bob, 11:41 AM: Fair point, sent");
    QTest::newRow("own, seen") << bob << point << qint64(0) << true << int(Seen) << QString()
                               << QString() << QStringLiteral("bob, 11:41 AM: Fair point, seen");
    QTest::newRow("own, failed") << bob << point << qint64(0) << true << int(Failed) << QString()
                                 << QString()
                                 << QStringLiteral("bob, 11:41 AM: Fair point, failed");
    QTest::newRow("edited") << bob << point << qint64(7) << true << int(Sent) << QString()
                            << QString()
                            << QStringLiteral("bob, 11:41 AM: Fair point, edited, sent");
    QTest::newRow("lines read as one")
        << bob << QStringLiteral("one\n  two ") << qint64(0) << false << int(Sent) << QString()
        << QString() << QStringLiteral("bob, 11:41 AM: one two");
    QTest::newRow("long text shortened")
        << bob << QString(300, QLatin1Char('a')) << qint64(0) << false << int(Sent) << QString()
        << QString()
        << (QStringLiteral("bob, 11:41 AM: ") + QString(119, QLatin1Char('a')) + QChar(0x2026));
    QTest::newRow("reply") << bob << QStringLiteral("Sure") << qint64(0) << true << int(Seen)
                           << QStringLiteral("carol") << QStringLiteral("Lunch at ten?")
                           << QStringLiteral("bob, 11:41 AM: Sure, replying to carol: "
                                             "Lunch at ten?, seen");
    QTest::newRow("reply to a message not at hand")
        << bob << QStringLiteral("Sure") << qint64(0) << false << int(Sent) << QString()
        << QStringLiteral("[Original message]")
        << QStringLiteral("bob, 11:41 AM: Sure, replying to [Original message]");
}

void TestAccessibility::messageText()
{
    QFETCH(QString, sender);
    QFETCH(QString, text);
    QFETCH(qint64, editedAt);
    QFETCH(bool, own);
    QFETCH(int, status);
    QFETCH(QString, replySender);
    QFETCH(QString, replyPreview);
    QTEST(accessible::messageText(
              sender, at1141, text, editedAt, own, status, replySender, replyPreview),
        "expected");
}

void TestAccessibility::rowsSpeak_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("expected");

    QTest::newRow("message of another user")
        << QStringLiteral("messages") << 0 << QStringLiteral("bob, 11:41 AM: Fair point");
    QTest::newRow("own message seen")
        << QStringLiteral("messages") << 1 << QStringLiteral("alice, 11:42 AM: Thanks, seen");
    QTest::newRow("chat with a name tag")
        << QStringLiteral("chats") << 0 << QStringLiteral("Team, Work");
    QTest::newRow("private chat") << QStringLiteral("chats") << 1 << QStringLiteral("bob");
    QTest::newRow("contact") << QStringLiteral("contacts") << 0 << QStringLiteral("bob");
}

void TestAccessibility::rowsSpeak()
{
    QFETCH(QString, list);
    QFETCH(int, row);
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
        {"userId":"u2","username":"bob"}]})");
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("chats"),
            QJsonArray {
                json(R"({"chatId":"g1","chatName":"Team [#1e88e5, \"Work\"]","chatType":"group",
                    "members":["u1","u2"],"messages":[
                    {"messageId":"m1","chatId":"g1","senderId":"u2","timestamp":42060,
                     "content":{"text":"Fair point"}},
                    {"messageId":"m2","chatId":"g1","senderId":"u1","timestamp":42120,
                     "content":{"text":"Thanks"},"seenBy":["u2"]}]})"),
                json(R"({"chatId":"u1_u2","chatType":"private","members":["u1","u2"],
                    "messages":[{"messageId":"p1","chatId":"u1_u2","senderId":"u2",
                    "timestamp":1,"content":{"text":"x"}}]})") } } });
    QCOMPARE(at1142, qint64(42120));
    emit session.probe->chatListWidget()->itemClicked(session.probe->chatListWidget()->item(0));
    const QListWidget *widget = list == QLatin1String("messages")
        ? session.probe->messageListWidget()
        : list == QLatin1String("chats") ? session.probe->chatListWidget()
                                         : session.probe->contactListWidget();
    QTEST(spoken(widget, row), "expected");
}

void TestAccessibility::spokenStatusFollowsTheRow()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
        {"userId":"u2","username":"bob"}]})");
    session.push(R"({"type":"chat_history","chats":[{"chatId":"g1","chatName":"Team",
        "chatType":"group","members":["u1","u2"],"messages":[]}]})");
    emit session.probe->chatListWidget()->itemClicked(session.probe->chatListWidget()->item(0));
    QListWidget *messages = session.probe->messageListWidget();
    session.probe->messageInput()->setText(QStringLiteral("on my way"));
    QTest::keyClick(session.probe->messageInput(), Qt::Key_Return);
    QVERIFY(spoken(messages, 0).endsWith(QLatin1String(": on my way, sending")));

    session.push(R"({"type":"message","messageId":"s1","chatId":"g1","senderId":"u1",
        "timestamp":42060,"content":{"text":"on my way"}})");
    QCOMPARE(spoken(messages, 0), QStringLiteral("alice, 11:41 AM: on my way, sent"));
    session.push(R"({"type":"message_updated","chatId":"g1","messageId":"s1",
        "newContent":{"text":"on my way now"},"editedAt":42070})");
    session.push(R"({"type":"message_seen_update","chatId":"g1","messageId":"s1","userId":"u2"})");
    QCOMPARE(spoken(messages, 0), QStringLiteral("alice, 11:41 AM: on my way now, edited, seen"));
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
