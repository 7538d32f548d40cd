#include "net/wireformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace
{

QJsonObject parse(const char *json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

class TestWireFormat : public QObject
{
    Q_OBJECT

private slots:
    void reducesContent_data();
    void reducesContent();
    void editTextIgnoresAttachment_data();
    void editTextIgnoresAttachment();
    void convertsMessage_data();
    void convertsMessage();
    void convertsTimes_data();
    void convertsTimes();
    void convertsChatHistoryElement();
    void readsUnreadCountSafely_data();
    void readsUnreadCountSafely();
    void nonObjectChatElementIsEmptyChat();
    void newChatIgnoresOwnerAndMessages();
    void capsHugeArrays();
    void addressesMessages_data();
    void addressesMessages();
    void buildsRequestFrames_data();
    void buildsRequestFrames();
    void readsLoginWait_data();
    void readsLoginWait();
};

void TestWireFormat::reducesContent_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("expected");

    QTest::newRow("text without file key")
        << QByteArray(R"({"content":{"text":"Hello"}})") << QStringLiteral("Hello");
    QTest::newRow("text with null file")
        << QByteArray(R"({"content":{"text":"Hello","file":null,"theme":null}})")
        << QStringLiteral("Hello");
    QTest::newRow("text with a file object")
        << QByteArray(R"({"content":{"text":"Look","file":{"name":"a.png"}}})")
        << QStringLiteral("Look [Image]");
    QTest::newRow("empty text, named file")
        << QByteArray(R"({"content":{"text":"","file":{"name":"photo.png"}}})")
        << QStringLiteral("[photo.png]");
    QTest::newRow("empty text, file without name")
        << QByteArray(R"({"content":{"text":"","file":{}}})") << QStringLiteral("[Image]");
    QTest::newRow("empty text, file is a string")
        << QByteArray(R"({"content":{"file":"x"}})") << QStringLiteral("[Image]");
    QTest::newRow("file is a number")
        << QByteArray(R"({"content":{"file":3}})") << QStringLiteral("[Image]");
    QTest::newRow("content as JSON text")
        << QByteArray(R"({"content":"{\"text\":\"Hello\",\"file\":null}"})")
        << QStringLiteral("Hello");
    QTest::newRow("content as JSON text with file")
        << QByteArray(R"({"content":"{\"text\":\"\",\"file\":{\"name\":\"r.pdf\"}}"})")
        << QStringLiteral("[r.pdf]");
    QTest::newRow("plain string content") << QByteArray(R"({"content":"just words"})") << QString();
    QTest::newRow("JSON array text content") << QByteArray(R"({"content":"[1,2]"})") << QString();
    QTest::newRow("content text repeating a key")
        << QByteArray(R"({"content":"{\"text\":\"a\",\"file\":{},\"text\":\"b\"}"})") << QString();
    QTest::newRow("content missing") << QByteArray(R"({})") << QString();
    QTest::newRow("content is a number") << QByteArray(R"({"content":42})") << QString();
    QTest::newRow("text is not a string") << QByteArray(R"({"content":{"text":7}})") << QString();
    QTest::newRow("markup kept as text")
        << QByteArray(R"({"content":{"text":"<b>&amp;</b>"}})") << QStringLiteral("<b>&amp;</b>");
}

void TestWireFormat::reducesContent()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, expected);
    const QJsonObject object = QJsonDocument::fromJson(frame).object();
    QCOMPARE(wire::reduceContent(object.value(QLatin1String("content"))), expected);
    QCOMPARE(wire::messageFromJson(object).content, expected);
}

void TestWireFormat::editTextIgnoresAttachment_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("expected");
    QTest::newRow("file and empty text")
        << QByteArray(R"({"c":{"text":"","file":{"name":"a"}}})") << QString();
    QTest::newRow("file and text")
        << QByteArray(R"({"c":{"text":"new","file":{}}})") << QStringLiteral("new");
    QTest::newRow("JSON text form")
        << QByteArray(R"({"c":"{\"text\":\"new\"}"})") << QStringLiteral("new");
    QTest::newRow("plain string") << QByteArray(R"({"c":"new"})") << QString();
}

void TestWireFormat::editTextIgnoresAttachment()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, expected);
    QCOMPARE(wire::contentText(QJsonDocument::fromJson(frame).object().value(QLatin1String("c"))),
        expected);
}

void TestWireFormat::convertsMessage_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("chatId");
    QTest::addColumn<QString>("senderId");
    QTest::addColumn<QStringList>("seenBy");
    QTest::addColumn<QString>("replyToId");
    QTest::addColumn<qint64>("editedAt");

    QTest::newRow("complete") << QByteArray(
        R"({"messageId":"m1","chatId":"c1","senderId":"u1","seenBy":["u2","u3"],)"
        R"("replyToId":"m0","editedAt":99})")
                              << QStringLiteral("m1") << QStringLiteral("c1")
                              << QStringLiteral("u1")
                              << QStringList { QStringLiteral("u2"), QStringLiteral("u3") }
                              << QStringLiteral("m0") << qint64(99);
    QTest::newRow("numbers as ids")
        << QByteArray(R"({"messageId":1,"chatId":2,"senderId":3})") << QString() << QString()
        << QString() << QStringList() << QString() << qint64(0);
    QTest::newRow("seenBy is a string")
        << QByteArray(R"({"messageId":"m","seenBy":"u2"})") << QStringLiteral("m") << QString()
        << QString() << QStringList() << QString() << qint64(0);
    QTest::newRow("seenBy with a number among strings")
        << QByteArray(R"({"seenBy":["u2",5,"u3"]})") << QString() << QString() << QString()
        << QStringList { QStringLiteral("u2"), QString(), QStringLiteral("u3") } << QString()
        << qint64(0);
    QTest::newRow("replyToId null") << QByteArray(R"({"replyToId":null})") << QString() << QString()
                                    << QString() << QStringList() << QString() << qint64(0);
    QTest::newRow("nothing at all") << QByteArray("{}") << QString() << QString() << QString()
                                    << QStringList() << QString() << qint64(0);
}

void TestWireFormat::convertsMessage()
{
    QFETCH(QByteArray, frame);
    const Message message = wire::messageFromJson(QJsonDocument::fromJson(frame).object());
    QTEST(message.id, "id");
    QTEST(message.chatId, "chatId");
    QTEST(message.senderId, "senderId");
    QTEST(message.seenBy, "seenBy");
    QTEST(message.replyToId, "replyToId");
    QTEST(message.editedAt, "editedAt");
    QCOMPARE(message.status, Sent);
}

void TestWireFormat::convertsTimes_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<qint64>("timestamp");
    QTest::newRow("whole seconds")
        << QByteArray(R"({"timestamp":1700000000})") << qint64(1700000000);
    QTest::newRow("fraction truncated")
        << QByteArray(R"({"timestamp":1700000000.9})") << qint64(1700000000);
    QTest::newRow("negative fraction toward zero")
        << QByteArray(R"({"timestamp":-3.7})") << qint64(-3);
    QTest::newRow("string") << QByteArray(R"({"timestamp":"1700000000"})") << qint64(0);
    QTest::newRow("absent") << QByteArray(R"({})") << qint64(0);
    QTest::newRow("far beyond 64 bits") << QByteArray(R"({"timestamp":1e300})") << qint64(0);
    QTest::newRow("far below 64 bits") << QByteArray(R"({"timestamp":-1e300})") << qint64(0);
}

void TestWireFormat::convertsTimes()
{
    QFETCH(QByteArray, frame);
    QFETCH(qint64, timestamp);
    QCOMPARE(wire::messageFromJson(QJsonDocument::fromJson(frame).object()).timestamp, timestamp);
}

void TestWireFormat::readsUnreadCountSafely_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("count");

    QTest::newRow("count") << QByteArray("7") << 7;
    QTest::newRow("zero") << QByteArray("0") << 0;
    QTest::newRow("absent") << QByteArray() << 0;
    QTest::newRow("negative") << QByteArray("-3") << 0;
    QTest::newRow("fractional") << QByteArray("2.5") << 0;
    QTest::newRow("string") << QByteArray("\"5\"") << 0;
    QTest::newRow("null") << QByteArray("null") << 0;
    QTest::newRow("huge") << QByteArray("1e300") << Chat::maxUnreadCount;
    QTest::newRow("just above int") << QByteArray("2147483648") << Chat::maxUnreadCount;
}

void TestWireFormat::readsUnreadCountSafely()
{
    QFETCH(QByteArray, value);
    QFETCH(int, count);
    const QByteArray element = value.isEmpty()
        ? QByteArray(R"({"chatId":"c"})")
        : QByteArray(R"({"chatId":"c","unreadCount":)") + value + '}';
    QCOMPARE(wire::chatFromJson(QJsonDocument::fromJson(element).object()).unreadCount, count);
}

void TestWireFormat::convertsChatHistoryElement()
{
    const Chat chat = wire::chatFromJson(parse(
        R"({"chatId":"c","chatName":"Team","chatType":"group","ownerId":"u1","avatarUrl":"/a.png",)"
        R"("members":["u1","u2"],"messages":[{"messageId":"m2","chatId":"other","timestamp":5},)"
        R"({"messageId":"m1","timestamp":3}]})"));
    QCOMPARE(chat.id, QStringLiteral("c"));
    QCOMPARE(chat.name, QStringLiteral("Team"));
    QCOMPARE(chat.type, QStringLiteral("group"));
    QCOMPARE(chat.ownerId, QStringLiteral("u1"));
    QCOMPARE(chat.avatarUrl, QStringLiteral("/a.png"));
    QCOMPARE(chat.members, (QStringList { QStringLiteral("u1"), QStringLiteral("u2") }));
    QCOMPARE(chat.messages.size(), size_t(2));
    // Server order is kept, and a message keeps its own chat id.
    QCOMPARE(chat.messages[0].id, QStringLiteral("m2"));
    QCOMPARE(chat.messages[0].chatId, QStringLiteral("other"));
    QCOMPARE(chat.messages[1].chatId, QString());

    QVERIFY(wire::chatFromJson(parse(R"({"chatId":"c","messages":{}})")).messages.empty());
    QVERIFY(wire::chatFromJson(parse(R"({"chatId":"c"})")).messages.empty());
}

void TestWireFormat::nonObjectChatElementIsEmptyChat()
{
    const std::vector<Chat> chats =
        wire::chatsFromJson(QJsonDocument::fromJson(R"([5,"x",{"chatId":"c"}])").array());
    QCOMPARE(chats.size(), size_t(3));
    QVERIFY(chats[0].id.isEmpty() && chats[0].members.isEmpty() && chats[0].messages.empty());
    QVERIFY(chats[1].id.isEmpty());
    QCOMPARE(chats[2].id, QStringLiteral("c"));
    QVERIFY(wire::chatsFromJson(QJsonValue(QStringLiteral("chats"))).empty());
}

void TestWireFormat::newChatIgnoresOwnerAndMessages()
{
    const Chat chat = wire::newChatFromJson(
        parse(R"({"chatId":"a_b","chatType":"private","ownerId":"a","members":["a","b"],)"
              R"("messages":[{"messageId":"m"}]})"));
    QCOMPARE(chat.id, QStringLiteral("a_b"));
    QCOMPARE(chat.ownerId, QString());
    QVERIFY(chat.messages.empty());
    QCOMPARE(chat.members.size(), 2);
}

void TestWireFormat::capsHugeArrays()
{
    QJsonArray many;
    for (int i = 0; i < wire::maxListLength + 500; ++i)
        many.append(QJsonObject { { QStringLiteral("userId"), QString::number(i) } });
    const std::vector<User> users = wire::usersFromJson(many);
    QCOMPARE(users.size(), size_t(wire::maxListLength));
    QCOMPARE(users.back().id, QString::number(wire::maxListLength - 1));
    QCOMPARE(wire::chatsFromJson(many).size(), size_t(wire::maxListLength));
    QCOMPARE(wire::readIdList(many).size(), wire::maxListLength);
}

void TestWireFormat::addressesMessages_data()
{
    QTest::addColumn<QString>("chatId");
    QTest::addColumn<QString>("currentUserId");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("group id without underscore")
        << QStringLiteral("team") << QStringLiteral("alice") << QStringLiteral("chatId")
        << QStringLiteral("team");
    QTest::newRow("own id first") << QStringLiteral("alice_bob") << QStringLiteral("alice")
                                  << QStringLiteral("recipientId") << QStringLiteral("bob");
    QTest::newRow("own id second") << QStringLiteral("alice_bob") << QStringLiteral("bob")
                                   << QStringLiteral("recipientId") << QStringLiteral("alice");
    QTest::newRow("own id absent takes the first part")
        << QStringLiteral("alice_bob") << QStringLiteral("carol") << QStringLiteral("recipientId")
        << QStringLiteral("alice");
    QTest::newRow("temp prefix") << QStringLiteral("temp_x") << QStringLiteral("temp")
                                 << QStringLiteral("chatId") << QStringLiteral("temp_x");
    QTest::newRow("prefix check is case-sensitive")
        << QStringLiteral("Temp_x") << QStringLiteral("Temp") << QStringLiteral("recipientId")
        << QStringLiteral("x");
    QTest::newRow("three parts") << QStringLiteral("a_b_c") << QStringLiteral("a")
                                 << QStringLiteral("chatId") << QStringLiteral("a_b_c");
    QTest::newRow("empty second part") << QStringLiteral("alice_") << QStringLiteral("alice")
                                       << QStringLiteral("recipientId") << QString();
}

void TestWireFormat::addressesMessages()
{
    QFETCH(QString, chatId);
    QFETCH(QString, currentUserId);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const QJsonObject frame =
        wire::messageFrame(chatId, QStringLiteral("hi"), QString(), currentUserId);
    QCOMPARE(frame.value(key).toString(), value);
    QVERIFY(frame.value(key).isString());
    const QString other =
        key == QLatin1String("chatId") ? QStringLiteral("recipientId") : QStringLiteral("chatId");
    QVERIFY(!frame.contains(other));
}

void TestWireFormat::buildsRequestFrames_data()
{
    QTest::addColumn<QJsonObject>("frame");
    QTest::addColumn<QString>("expected");

    QTest::newRow("login") << wire::loginFrame(QStringLiteral("al ice"), QStringLiteral(" pw "))
                           << QStringLiteral(R"({"password":" pw ","type":"login_with_password",)"
                                             R"("username":"al ice"})");
    QTest::newRow("history") << wire::historyFrame(QStringLiteral("c"), 1700000000)
                             << QStringLiteral(R"({"before":1700000000,"chatId":"c",)"
                                               R"("type":"get_history"})");
    QTest::newRow("history before zero") << wire::historyFrame(QStringLiteral("c"),
        0) << QStringLiteral(R"({"before":0,"chatId":"c","type":"get_history"})");
    QTest::newRow("seen") << wire::messageSeenFrame(QStringLiteral("c"), QStringLiteral("m"))
                          << QStringLiteral(
                                 R"({"chatId":"c","messageId":"m","type":"message_seen"})");
    QTest::newRow("edit") << wire::editFrame(
        QStringLiteral("c"), QStringLiteral("m"), QStringLiteral("new"))
                          << QStringLiteral(R"({"chatId":"c","messageId":"m","newContent":"new",)"
                                            R"("type":"edit_message"})");
    QTest::newRow("typing") << wire::typingFrame(QStringLiteral("c"))
                            << QStringLiteral(R"({"chatId":"c","type":"typing"})");
    QTest::newRow("delete") << wire::deleteFrame(QStringLiteral("c"), QStringLiteral("m"))
                            << QStringLiteral(
                                   R"({"chatId":"c","messageId":"m","type":"delete_message"})");
    QTest::newRow("message without reply")
        << wire::messageFrame(
               QStringLiteral("team"), QStringLiteral("hi"), QString(), QStringLiteral("u"))
        << QStringLiteral(R"({"chatId":"team","content":{"file":null,"text":"hi","theme":null},)"
                          R"("replyToId":null,"type":"message"})");
    QTest::newRow("message as reply")
        << wire::messageFrame(QStringLiteral("a_b"),
               QStringLiteral("hi"),
               QStringLiteral("m7"),
               QStringLiteral("a"))
        << QStringLiteral(R"({"content":{"file":null,"text":"hi","theme":null},)"
                          R"("recipientId":"b","replyToId":"m7","type":"message"})");
}

void TestWireFormat::buildsRequestFrames()
{
    QFETCH(QJsonObject, frame);
    QFETCH(QString, expected);
    QCOMPARE(compact(frame), expected);
}

void TestWireFormat::readsLoginWait_data()
{
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<int>("seconds");

    QTest::newRow("throttled") << QStringLiteral("Too many failed logins; try again in 16 s") << 16;
    QTest::newRow("wrong password") << QStringLiteral("Invalid username or password") << -1;
    QTest::newRow("busy server") << QStringLiteral("Too many logins at once; try again shortly")
                                 << -1;
    QTest::newRow("no number") << QStringLiteral("Too many failed logins; try again in  s") << -1;
    QTest::newRow("negative") << QStringLiteral("Too many failed logins; try again in -5 s") << -1;
    QTest::newRow("a wait beyond reason is cut to an hour")
        << QStringLiteral("Too many failed logins; try again in 999999999 s") << 3600;
    QTest::newRow("more digits than an int holds")
        << QStringLiteral("Too many failed logins; try again in 99999999999999999999 s") << -1;
}

void TestWireFormat::readsLoginWait()
{
    QFETCH(QString, refusal);
    QFETCH(int, seconds);
    QCOMPARE(wire::loginRetryAfterSecs(refusal), seconds);
}

QTEST_APPLESS_MAIN(TestWireFormat)
#include "tst_wireformat.moc"
