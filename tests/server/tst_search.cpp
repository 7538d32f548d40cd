#include "protocol.h"
#include "serverfixture.h"
#include "serverlogging.h"
#include "servertestmain.h"
#include "sqlitestore.h"
#include "testframes.h"

#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>
#include <memory>

namespace
{

QJsonObject searchRequest(const QString &query,
    const QJsonValue &chatId = QJsonValue::Null,
    const QJsonValue &before = QJsonValue::Null)
{
    return { { QStringLiteral("type"), QStringLiteral("search") },
        { QStringLiteral("requestId"), QStringLiteral("r1") },
        { QStringLiteral("query"), query },
        { QStringLiteral("chatId"), chatId },
        { QStringLiteral("before"), before } };
}

QStringList list(std::initializer_list<const char *> items)
{
    QStringList result;
    for (const char *item : items)
        result.append(QString::fromUtf8(item));
    return result;
}

QStringList textsOf(const QJsonArray &messages)
{
    QStringList texts;
    for (const QJsonValue &message : messages)
        texts.append(message.toObject()
                         .value(QLatin1String("content"))
                         .toObject()
                         .value(QLatin1String("text"))
                         .toString());
    return texts;
}

QStringList idsOf(const QJsonArray &messages)
{
    QStringList ids;
    for (const QJsonValue &message : messages)
        ids.append(message.toObject().value(QLatin1String("messageId")).toString());
    return ids;
}

QJsonArray historyMessages(const QJsonObject &frame)
{
    return frame.value(QLatin1String("chats"))
        .toArray()
        .at(0)
        .toObject()
        .value(QLatin1String("messages"))
        .toArray();
}

// What undoes the step that indexes new messages in batches: every message indexed, and the
// triggers that index each write.
QStringList beforeBatchedIndexing()
{
    return { QStringLiteral("INSERT INTO messages_fts (rowid, text, chat_id) SELECT seq, text,"
                            " chat_id FROM messages WHERE seq > (SELECT upto FROM"
                            " messages_fts_indexed)"),
        QStringLiteral("DROP TABLE messages_fts_indexed"),
        QStringLiteral("DROP TRIGGER messages_fts_delete"),
        QStringLiteral("DROP TRIGGER messages_fts_update"),
        QStringLiteral("CREATE TRIGGER messages_fts_insert AFTER INSERT ON messages BEGIN"
                       " INSERT INTO messages_fts (rowid, text, chat_id)"
                       " VALUES (new.seq, new.text, new.chat_id); END"),
        QStringLiteral("CREATE TRIGGER messages_fts_delete AFTER DELETE ON messages BEGIN"
                       " INSERT INTO messages_fts (messages_fts, rowid, text, chat_id)"
                       " VALUES ('delete', old.seq, old.text, old.chat_id); END"),
        QStringLiteral("CREATE TRIGGER messages_fts_update AFTER UPDATE OF text, chat_id ON"
                       " messages BEGIN INSERT INTO messages_fts (messages_fts, rowid, text,"
                       " chat_id) VALUES ('delete', old.seq, old.text, old.chat_id);"
                       " INSERT INTO messages_fts (rowid, text, chat_id)"
                       " VALUES (new.seq, new.text, new.chat_id); END") };
}

} // namespace

class TestSearch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void queryRules_data();
    void queryRules();
    void findsOnlyMessagesOfTheAskersChats_data();
    void findsOnlyMessagesOfTheAskersChats();
    void editsReindexAndDeletionsRemove_data();
    void editsReindexAndDeletionsRemove();
    void resultsAreHistoryMessagesPagedByCursor();
    void pagesFollowTimeWhateverTheStoringOrder_data();
    void pagesFollowTimeWhateverTheStoringOrder();
    void historyAroundAndAfter_data();
    void historyAroundAndAfter();
    void badHistoryRequestsAreRefused_data();
    void badHistoryRequestsAreRefused();
    void upgradeIndexesStoredMessages();

private:
    QJsonObject ask(Peer &peer, const QJsonObject &request);
    QString add(const QString &chatId, const QString &text, qint64 timestamp = 1000);
    // Stops the server and rewrites its database as an older server left it, with `statements`.
    void downgrade(const QStringList &statements);

    ServerFixture fixture;
    QString alice, bob, carol, team, aliceBob;
    std::unique_ptr<Peer> alicePeer;
};

void TestSearch::init()
{
    FERROW_SET_UP(fixture);
    alice = fixture.addUser(QStringLiteral("alice"));
    bob = fixture.addUser(QStringLiteral("bob"));
    carol = fixture.addUser(QStringLiteral("carol"));
    team = fixture.db
               ->createChat(QString(),
                   QStringLiteral("Team"),
                   QStringLiteral("group"),
                   alice,
                   { alice, bob, carol })
               ->id;
    aliceBob = protocol::privateChatId(alice, bob);
    QVERIFY(fixture.db->createChat(
        aliceBob, QString(), QStringLiteral("private"), alice, { alice, bob }));
    QVERIFY(fixture.start());
    alicePeer = fixture.login(QStringLiteral("alice"));
    QVERIFY(alicePeer);
}

void TestSearch::cleanup()
{
    alicePeer.reset();
    fixture.stop();
}

QJsonObject TestSearch::ask(Peer &peer, const QJsonObject &request)
{
    peer.send(request);
    const QList<QJsonObject> frames = peer.sync();
    return frames.size() == 1 ? frames.first() : QJsonObject();
}

QString TestSearch::add(const QString &chatId, const QString &text, qint64 timestamp)
{
    const std::optional<MessageRecord> message =
        fixture.db->addMessage(chatId, alice, text, QString(), timestamp);
    return message ? message->id : QString();
}

void TestSearch::queryRules_data()
{
    QTest::addColumn<QString>("query");
    // Texts found, newest first; or the error's text.
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<QString>("error");

    const QString none;
    QTest::newRow("case is ignored")
        << "DEPLOYMENT" << list({ "the deployment went well" }) << none;
    QTest::newRow("diacritics are ignored both ways")
        << "Cafe" << list({ "cafe au lait", "Café crème" }) << none;
    QTest::newRow("diacritics in the query") << "crème" << list({ "Café crème" }) << none;
    QTest::newRow("a word matches the start of words")
        << "deplo" << list({ "the deployment went well", "deploy on friday" }) << none;
    QTest::newRow("every word must appear")
        << "deploy friday" << list({ "deploy on friday" }) << none;
    QTest::newRow("words in any order") << "friday deploy" << list({ "deploy on friday" }) << none;
    QTest::newRow("a word found nowhere finds nothing") << "deploy zebra" << QStringList() << none;
    QTest::newRow("a phrase needs its words together")
        << "\"went well\"" << list({ "the deployment went well" }) << none;
    QTest::newRow("a phrase in the wrong order finds nothing")
        << "\"well went\"" << QStringList() << none;
    QTest::newRow("a phrase's words match as prefixes")
        << "\"the deplo\"" << list({ "the deployment went well" }) << none;
    QTest::newRow("an unbalanced quote is a separator")
        << "\"deploy friday" << list({ "deploy on friday" }) << none;
    QTest::newRow("NEAR is a word") << "NEAR(deploy friday)" << QStringList() << none;
    QTest::newRow("near as a word is found") << "near" << list({ "near the end" }) << none;
    QTest::newRow("a column filter is two words") << "chat_id:deploy" << QStringList() << none;
    QTest::newRow("a star and a minus are separators")
        << "-deploy *" << list({ "the deployment went well", "deploy on friday" }) << none;
    QTest::newRow("OR and AND are words") << "deploy OR zebra" << QStringList() << none;
    QTest::newRow("only punctuation")
        << "?!* -- ..." << QStringList() << "Search query has no words";
    QTest::newRow("only quotes") << "\"\"\"\"\"" << QStringList() << "Search query has no words";
    QTest::newRow("empty") << "" << QStringList() << "Search query has no words";
    QTest::newRow("200 characters are accepted")
        << (QStringLiteral("deploy ") + QString(193, QLatin1Char('x'))) << QStringList() << none;
    QTest::newRow("201 characters are refused")
        << (QStringLiteral("deploy ") + QString(194, QLatin1Char('x'))) << QStringList()
        << "Search query is longer than 200 characters";
    QTest::newRow("10 000 characters are refused") << QString(
        10000, QLatin1Char('a')) << QStringList() << "Search query is longer than 200 characters";
    QTest::newRow("200 characters outside the basic plane are accepted")
        << QString(200, QChar(0xd83d)).replace(QChar(0xd83d), QStringLiteral("\U0001F600"))
        << QStringList() << "Search query has no words";
}

void TestSearch::queryRules()
{
    QFETCH(QString, query);
    QFETCH(QStringList, found);
    QFETCH(QString, error);
    add(team, QStringLiteral("near the end"), 1000);
    add(team, QStringLiteral("deploy on friday"), 1001);
    add(team, QStringLiteral("Café crème"), 1002);
    add(aliceBob, QStringLiteral("the deployment went well"), 1003);
    add(team, QStringLiteral("cafe au lait"), 1003);
    const QJsonObject answer = ask(*alicePeer, searchRequest(query));
    if (!error.isEmpty()) {
        QCOMPARE(answer, protocol::errorFrame(error, QStringLiteral("r1")));
        return;
    }
    QCOMPARE(typeOf(answer), QStringLiteral("search_results"));
    QCOMPARE(answer.value(QLatin1String("requestId")).toString(), QStringLiteral("r1"));
    QCOMPARE(textsOf(answer.value(QLatin1String("results")).toArray()), found);
    QCOMPARE(answer.value(QLatin1String("next")), QJsonValue(QJsonValue::Null));
}

void TestSearch::findsOnlyMessagesOfTheAskersChats_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("chat");
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<QString>("error");

    QTest::newRow("alice everywhere")
        << "alice" << QString() << list({ "secret plan b", "secret plan a" }) << QString();
    QTest::newRow("alice in the team") << "alice"
                                       << "team" << list({ "secret plan a" }) << QString();
    QTest::newRow("carol is not in the private chat")
        << "carol" << QString() << list({ "secret plan a" }) << QString();
    QTest::newRow("carol names the private chat")
        << "carol"
        << "private" << QStringList() << "Not a member of this chat";
    QTest::newRow("an unknown chat")
        << "alice"
        << "nonexistent" << QStringList() << "Not a member of this chat";
}

void TestSearch::findsOnlyMessagesOfTheAskersChats()
{
    QFETCH(QString, user);
    QFETCH(QString, chat);
    QFETCH(QStringList, found);
    QFETCH(QString, error);
    add(team, QStringLiteral("secret plan a"), 1000);
    add(aliceBob, QStringLiteral("secret plan b"), 1001);
    std::unique_ptr<Peer> peer = fixture.login(user);
    QVERIFY(peer);
    const QJsonValue chatId = chat.isEmpty() ? QJsonValue(QJsonValue::Null)
        : chat == QLatin1String("team")      ? QJsonValue(team)
        : chat == QLatin1String("private")   ? QJsonValue(aliceBob)
                                             : QJsonValue(chat);
    const QJsonObject answer = ask(*peer, searchRequest(QStringLiteral("secret"), chatId));
    if (!error.isEmpty()) {
        QCOMPARE(answer, protocol::errorFrame(error, QStringLiteral("r1")));
        return;
    }
    QCOMPARE(textsOf(answer.value(QLatin1String("results")).toArray()), found);
}

void TestSearch::downgrade(const QStringList &statements)
{
    alicePeer.reset();
    fixture.stop();
    {
        QSqlDatabase old =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        old.setDatabaseName(fixture.path() + QLatin1Char('/') + SqliteStore::fileName);
        QVERIFY(old.open());
        QSqlQuery query(old);
        for (const QString &statement : statements)
            QVERIFY2(query.exec(statement), qPrintable(statement));
        old.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));
}

void TestSearch::editsReindexAndDeletionsRemove_data()
{
    // Whether the messages are in the search index when they are changed, or stored since it
    // was last brought up.
    QTest::addColumn<bool>("indexed");
    QTest::newRow("not yet indexed") << false;
    QTest::newRow("indexed") << true;
}

void TestSearch::editsReindexAndDeletionsRemove()
{
    QFETCH(bool, indexed);
    const QString edited = add(team, QStringLiteral("old wording"), 1000);
    const QString deleted = add(team, QStringLiteral("wording to remove"), 1001);
    bool more = false;
    if (indexed)
        QVERIFY(fixture.db->indexNewMessages(100, &more) && !more);
    alicePeer->send({ { QStringLiteral("type"), QStringLiteral("edit_message") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), edited },
        { QStringLiteral("newContent"), QStringLiteral("fresh phrasing") } });
    alicePeer->send({ { QStringLiteral("type"), QStringLiteral("delete_message") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("messageId"), deleted } });
    QCOMPARE(alicePeer->sync().size(), 2);
    // A longer form of an indexed word, in a message the index does not hold yet.
    const QString newer = add(team, QStringLiteral("phrasings galore"), 1002);
    for (const QString &query : { QStringLiteral("old"), QStringLiteral("wording") })
        QCOMPARE(
            ask(*alicePeer, searchRequest(query)).value(QLatin1String("results")).toArray().size(),
            0);
    QCOMPARE(idsOf(ask(*alicePeer, searchRequest(QStringLiteral("phrasing")))
                       .value(QLatin1String("results"))
                       .toArray()),
        QStringList({ newer, edited }));
    QVERIFY(fixture.db->indexNewMessages(100, &more) && !more);
    QCOMPARE(idsOf(ask(*alicePeer, searchRequest(QStringLiteral("galore")))
                       .value(QLatin1String("results"))
                       .toArray()),
        QStringList { newer });
}

void TestSearch::resultsAreHistoryMessagesPagedByCursor()
{
    // 120 matches, most of them in one crowded second, so that pages end inside it.
    QStringList ids;
    for (int i = 0; i < 120; ++i)
        ids.prepend(
            add(i % 3 ? team : aliceBob, QStringLiteral("match %1").arg(i), 1000 + i / 100));
    fixture.db->markSeen(fixture.db->message(ids.first())->seq, bob, 1200);
    QStringList found;
    QJsonValue before = QJsonValue::Null;
    QList<int> pages;
    do {
        const QJsonObject answer =
            ask(*alicePeer, searchRequest(QStringLiteral("match"), QJsonValue::Null, before));
        QCOMPARE(keysOf(answer), sorted(list({ "type", "requestId", "results", "next" })));
        const QJsonArray results = answer.value(QLatin1String("results")).toArray();
        pages.append(results.size());
        found += idsOf(results);
        before = answer.value(QLatin1String("next"));
        QVERIFY(pages.size() < 5);
    } while (!before.isNull());
    QCOMPARE(pages, (QList<int> { 50, 50, 20 }));
    QCOMPARE(found, ids);

    // Each result is the message exactly as the chat's history has it.
    const QJsonObject newest = ask(*alicePeer, searchRequest(QStringLiteral("match 119")));
    const QJsonObject result = newest.value(QLatin1String("results")).toArray().at(0).toObject();
    const QJsonObject history = ask(*alicePeer,
        { { QStringLiteral("type"), QStringLiteral("get_history") },
            { QStringLiteral("chatId"), team },
            { QStringLiteral("before"), 2000 } });
    QCOMPARE(historyMessages(history).last().toObject(), result);
    QCOMPARE(result.value(QLatin1String("seenBy")).toArray(), QJsonArray { bob });

    for (const QJsonValue &cursor :
        { QJsonValue(QStringLiteral("not a cursor")), QJsonValue(5), QJsonValue(QString()) })
        QCOMPARE(ask(*alicePeer, searchRequest(QStringLiteral("match"), QJsonValue::Null, cursor)),
            protocol::errorFrame(
                QStringLiteral("Missing or invalid \"before\""), QStringLiteral("r1")));
}

void TestSearch::pagesFollowTimeWhateverTheStoringOrder_data()
{
    QTest::addColumn<QString>("query");
    // Stamps in storing order.
    QTest::addColumn<QList<qint64>>("stamps");
    QTest::addColumn<bool>("upgraded");
    QTest::addColumn<bool>("inTheChat");

    QList<qint64> setBack;
    for (int i = 0; i < 140; ++i)
        setBack.append(i < 70 ? 2000 + i / 10 : 1990 + i / 10);
    QList<qint64> seeded;
    for (int i = 0; i < 130; ++i)
        seeded.append(i < 120 ? 3000 + i : 3055 - i);
    QTest::newRow("a clock set back") << "item" << setBack << false << false;
    QTest::newRow("a clock set back, in the chat") << "item" << setBack << false << true;
    QTest::newRow("a clock set back, a prefix of many words")
        << "matc" << setBack << false << false;
    QTest::newRow("backdated messages among every page") << "item" << seeded << false << false;
    QTest::newRow("a clock set back before the upgrade") << "item" << setBack << true << false;
}

void TestSearch::pagesFollowTimeWhateverTheStoringOrder()
{
    QFETCH(QString, query);
    QFETCH(QList<qint64>, stamps);
    QFETCH(bool, upgraded);
    QFETCH(bool, inTheChat);
    if (upgraded && fixture.onPostgres())
        QSKIP("PostgreSQL orders its matches by time in its own index");
    // Each text holds a word of its own too, so that "matc" starts more words than are named.
    struct Stored {
        qint64 stamp;
        int order;
        QString id;
    };
    std::vector<Stored> expected;
    for (int i = 0; i < stamps.size(); ++i)
        expected.push_back(
            { stamps.at(i), i, add(team, QStringLiteral("match%1 item").arg(i), stamps.at(i)) });
    std::sort(expected.begin(), expected.end(), [](const Stored &a, const Stored &b) {
        return a.stamp != b.stamp ? a.stamp > b.stamp : a.order > b.order;
    });
    if (upgraded) {
        downgrade(beforeBatchedIndexing() + QStringList {
            QStringLiteral("DROP TRIGGER messages_backdated_insert"),
            QStringLiteral("DROP TABLE messages_backdated"),
            QStringLiteral("DROP TABLE messages_clock"),
            QStringLiteral("DROP TABLE messages_fts_terms"),
            QStringLiteral("UPDATE schema_version SET version = 8") });
        QVERIFY(fixture.restart());
        alicePeer = fixture.login(QStringLiteral("alice"));
        QVERIFY(alicePeer);
    }
    if (fixture.onPostgres()) {
        // With statistics, a word in every message is read newest first along the chats.
        QSqlQuery analyze(
            QSqlDatabase::database(static_cast<SqlStore &>(*fixture.db).connectionName()));
        QVERIFY(analyze.exec(QStringLiteral("ANALYZE messages")));
    }
    QStringList found;
    QJsonValue before = QJsonValue::Null;
    for (int pages = 0; pages < 5; ++pages) {
        const QJsonObject answer = ask(
            *alicePeer, searchRequest(query, inTheChat ? QJsonValue(team) : QJsonValue(), before));
        found += idsOf(answer.value(QLatin1String("results")).toArray());
        before = answer.value(QLatin1String("next"));
        if (before.isNull())
            break;
    }
    QStringList ids;
    for (const Stored &message : expected)
        ids.append(message.id);
    QCOMPARE(found, ids);
}

void TestSearch::historyAroundAndAfter_data()
{
    QTest::addColumn<QString>("key");
    // The message's index for "around", or a timestamp for "after".
    QTest::addColumn<int>("value");
    // Indexes of the messages answered, first and last (inclusive); -1, -1 for none.
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");

    // 100 messages: 0..39 one a second from 1000, 40..89 all at 1040, 90..99 one a second on.
    QTest::newRow("around the oldest") << "around" << 0 << 0 << 25;
    QTest::newRow("around the newest") << "around" << 99 << 74 << 99;
    QTest::newRow("around one before a crowded second grows to its end")
        << "around" << 30 << 5 << 89;
    QTest::newRow("around one inside a crowded second") << "around" << 60 << 35 << 89;
    QTest::newRow("around one after a crowded second") << "around" << 95 << 70 << 99;
    QTest::newRow("after the start, a page grown to the end of its second")
        << "after" << 0 << 0 << 89;
    QTest::newRow("after reaching into a crowded second takes all of it")
        << "after" << 1030 << 31 << 89;
    QTest::newRow("after the crowded second") << "after" << 1040 << 90 << 99;
    QTest::newRow("after the newest") << "after" << 1050 << -1 << -1;
}

void TestSearch::historyAroundAndAfter()
{
    QFETCH(QString, key);
    QFETCH(int, value);
    QFETCH(int, first);
    QFETCH(int, last);
    QStringList ids;
    for (int i = 0; i < 100; ++i) {
        const qint64 time = i < 40 ? 1000 + i : i < 90 ? 1040 : 1040 + i - 89;
        ids.append(add(team, QString::number(i), time));
    }
    const QJsonValue asked =
        key == QLatin1String("around") ? QJsonValue(ids.at(value)) : QJsonValue(value);
    const QJsonObject answer = ask(*alicePeer,
        { { QStringLiteral("type"), QStringLiteral("get_history") },
            { QStringLiteral("chatId"), team },
            { key, asked },
            { QStringLiteral("requestId"), QStringLiteral("page 7") } });
    QCOMPARE(typeOf(answer), QStringLiteral("chat_history"));
    QCOMPARE(answer.value(QLatin1String("requestId")).toString(), QStringLiteral("page 7"));
    QCOMPARE(idsOf(historyMessages(answer)),
        first < 0 ? QStringList() : ids.mid(first, last - first + 1));
}

void TestSearch::badHistoryRequestsAreRefused_data()
{
    // Fields added to the request, as "key=value" separated by spaces; a value that is a number
    // goes as one.
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("error");

    QTest::newRow("before and around") << "before=5 around=x"
                                       << "Give only one of \"before\", \"around\" and \"after\"";
    QTest::newRow("around and after") << "after=5 around=x"
                                      << "Give only one of \"before\", \"around\" and \"after\"";
    QTest::newRow("around an unknown message") << "around=m0000"
                                               << "Message not found";
    QTest::newRow("around a deleted message") << "around=deleted"
                                              << "Message not found";
    QTest::newRow("around a message of another chat") << "around=private"
                                                      << "Message not found";
    QTest::newRow("around a number") << "around=5"
                                     << "Missing or invalid \"around\"";
    QTest::newRow("after a string") << "after=x"
                                    << "Missing or invalid \"after\"";
    QTest::newRow("nothing at all") << ""
                                    << "Missing or invalid \"before\"";
}

void TestSearch::badHistoryRequestsAreRefused()
{
    QFETCH(QString, fields);
    QFETCH(QString, error);
    const QString deleted = add(team, QStringLiteral("gone"));
    fixture.db->deleteMessage(fixture.db->message(deleted)->seq);
    const QString other = add(aliceBob, QStringLiteral("elsewhere"));
    QJsonObject request { { QStringLiteral("type"), QStringLiteral("get_history") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("requestId"), QStringLiteral("r1") } };
    for (const QString &field : fields.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString key = field.section(QLatin1Char('='), 0, 0);
        const QString value = field.section(QLatin1Char('='), 1);
        bool number = false;
        const int asNumber = value.toInt(&number);
        request.insert(key,
            number                                  ? QJsonValue(asNumber)
                : value == QLatin1String("deleted") ? QJsonValue(deleted)
                : value == QLatin1String("private") ? QJsonValue(other)
                                                    : QJsonValue(value));
    }
    QCOMPARE(ask(*alicePeer, request), protocol::errorFrame(error, QStringLiteral("r1")));
    // Without a requestId, the error carries none.
    request.remove(QStringLiteral("requestId"));
    QCOMPARE(ask(*alicePeer, request), protocol::errorFrame(error));
}

void TestSearch::upgradeIndexesStoredMessages()
{
    if (fixture.onPostgres())
        QSKIP("PostgreSQL builds its index in one statement, without progress lines");
    const QString stored = add(team, QStringLiteral("written before the index existed"));
    // Back to the schema before the index: what a database of the last release holds, without
    // the later steps for files and for reading matches in storing order.
    downgrade(beforeBatchedIndexing() + QStringList {
        QStringLiteral("DROP TRIGGER messages_backdated_insert"),
        QStringLiteral("DROP TABLE messages_backdated"),
        QStringLiteral("DROP TABLE messages_clock"),
        QStringLiteral("DROP TABLE messages_fts_terms"),
        QStringLiteral("DROP INDEX messages_by_upload"),
        QStringLiteral("ALTER TABLE messages DROP COLUMN file"),
        QStringLiteral("ALTER TABLE messages DROP COLUMN upload_id"),
        QStringLiteral("DROP TABLE uploads"),
        QStringLiteral("DROP TABLE messages_fts"),
        QStringLiteral("DROP TRIGGER messages_fts_insert"),
        QStringLiteral("DROP TRIGGER messages_fts_delete"),
        QStringLiteral("DROP TRIGGER messages_fts_update"),
        QStringLiteral("UPDATE schema_version SET version = 6") });
    // The progress lines are what an operator sees during a long upgrade.
    const_cast<QLoggingCategory &>(lcServer()).setEnabled(QtInfoMsg, true);
    QTest::ignoreMessage(QtInfoMsg, "indexing 1 stored messages for search");
    QTest::ignoreMessage(QtInfoMsg, "indexed 1 of 1 messages (100 %)");
    QVERIFY(fixture.restart());
    alicePeer = fixture.login(QStringLiteral("alice"));
    QVERIFY(alicePeer);
    QCOMPARE(idsOf(ask(*alicePeer, searchRequest(QStringLiteral("before index")))
                       .value(QLatin1String("results"))
                       .toArray()),
        QStringList { stored });
}

FERROW_SERVER_TEST_MAIN(TestSearch)
#include "tst_search.moc"
