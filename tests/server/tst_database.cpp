#include "postgresstore.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "sqlitestore.h"
#include "storelocation.h"
#include "testpostgres.h"

#include <QDir>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <memory>
#include <mutex>

namespace
{

// Stands in for a real hash; these tests never log in.
const QString someHash = QStringLiteral("pbkdf2-sha256$100000$00$00");

} // namespace

class TestDatabase : public QObject
{
    Q_OBJECT

private slots:
    // Every test runs on both backends.
    void initTestCase_data();
    void init();
    void cleanup();

    void createsLatestSchema();
    void emptyDatabaseOpenedByManyAtOnceIsMigratedOnce();
    void keepsDataAcrossReopen();
    void refusesNewerSchema();
    void readOnlyFileIsReportedAndStillRead();
    void userNamesAreUniqueIgnoringCase();
    void idsNeverContainUnderscore();
    void chatsOfUserInCreationOrderWithMembersInOrder();
    void refusesChatWithUnknownMember();
    void chatOfRolledBackTransactionIsGone_data();
    void chatOfRolledBackTransactionIsGone();
    void chatAddedByAnotherConnectionIsFound();
    void messagesOfABatchAreKeptInOrderOrNotAtAll_data();
    void messagesOfABatchAreKeptInOrderOrNotAtAll();
    void readSnapshotHoldsNoLaterCommit();
    void newestMessagesAreAscendingWithStableTies();
    void messagesBeforeAddsTheWholeTieSecond();
    void chatHistoriesEndOnSecondBoundaries_data();
    void chatHistoriesEndOnSecondBoundaries();
    void chatHistoriesCountUnreadOfTheWholeChat_data();
    void chatHistoriesCountUnreadOfTheWholeChat();
    void pagingByTimestampMissesNothing_data();
    void pagingByTimestampMissesNothing();
    void seenIsRecordedOnceInOrder();
    void deletingRemovesReceiptsAndNeverReusesIds();
    void unknownMessageIdsFindNothing_data();
    void unknownMessageIdsFindNothing();
    void httpTokensLiveADayUntilRevoked_data();
    void httpTokensLiveADayUntilRevoked();

private:
    bool onPostgres() const;
    // Opens one more connection to the test's store, creating its schema where missing.
    std::unique_ptr<Store> open(QString *error = nullptr) const;
    // Sets the stored schema version behind the store's back.
    bool forceSchemaVersion(int version);
    QStringList addUsers(int count);
    QString addChat(const QStringList &members);

    TestPostgres postgres;
    std::unique_ptr<QTemporaryDir> dir;
    StoreLocation location;
    std::unique_ptr<Store> db;
};

void TestDatabase::initTestCase_data()
{
    QTest::addColumn<bool>("postgresql");
    QTest::newRow("sqlite") << false;
    QTest::newRow("postgresql") << true;
}

bool TestDatabase::onPostgres() const
{
    return location.isPostgres();
}

void TestDatabase::init()
{
    QFETCH_GLOBAL(bool, postgresql);
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    location = StoreLocation { dir->path(), std::nullopt };
    if (postgresql) {
        if (!postgres.start())
            QSKIP(qPrintable(postgres.skipReason()));
        location.database = postgres.createDatabase();
        QVERIFY2(location.database, qPrintable(postgres.error()));
    }
    QString error;
    db = open(&error);
    QVERIFY2(db, qPrintable(error));
}

void TestDatabase::cleanup()
{
    setImmutable(dir->filePath(SqliteStore::fileName), false);
    db.reset();
    dir.reset();
}

std::unique_ptr<Store> TestDatabase::open(QString *error) const
{
    return location.open(error);
}

bool TestDatabase::forceSchemaVersion(int version)
{
    const QString sql = QStringLiteral("UPDATE schema_version SET version = %1").arg(version);
    if (onPostgres())
        return postgres.execute(sql, location.database->databaseName);
    bool ok = false;
    {
        QSqlDatabase raw =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
        raw.setDatabaseName(dir->filePath(SqliteStore::fileName));
        ok = raw.open() && QSqlQuery(raw).exec(sql);
        raw.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return ok;
}

void TestDatabase::httpTokensLiveADayUntilRevoked_data()
{
    QTest::addColumn<qint64>("age");
    QTest::addColumn<bool>("revoked");
    QTest::addColumn<bool>("valid");

    QTest::newRow("new") << qint64(0) << false << true;
    QTest::newRow("a day old") << qint64(24 * 3600) << false << true;
    QTest::newRow("a day and a second old") << qint64(24 * 3600 + 1) << false << false;
    QTest::newRow("new, revoked") << qint64(0) << true << false;
}

void TestDatabase::httpTokensLiveADayUntilRevoked()
{
    QFETCH(qint64, age);
    QFETCH(bool, revoked);
    QFETCH(bool, valid);
    const QStringList users = addUsers(2);
    const qint64 issued = 1700000000;
    QVERIFY(db->addHttpToken(QStringLiteral("mine"), users.at(0), issued));
    QVERIFY(db->addHttpToken(QStringLiteral("theirs"), users.at(1), issued));
    QVERIFY(db->addLoginToken(QStringLiteral("login"), users.at(0), issued));
    if (revoked)
        QVERIFY(db->revokeTokens(users.at(0)));
    const std::optional<QString> owner = db->httpTokenUser(QStringLiteral("mine"), issued + age);
    QCOMPARE(bool(owner), valid);
    if (owner)
        QCOMPARE(*owner, users.at(0));
    // Used once, it stays valid; others' tokens never go with the user's.
    QCOMPARE(bool(db->httpTokenUser(QStringLiteral("mine"), issued + age)), valid);
    QCOMPARE(bool(db->takeLoginToken(QStringLiteral("login"), issued)), !revoked);
    QVERIFY(db->httpTokenUser(QStringLiteral("theirs"), issued));
}

QStringList TestDatabase::addUsers(int count)
{
    QStringList ids;
    for (int i = 0; i < count; ++i) {
        const std::optional<UserRecord> user =
            db->addUser(QStringLiteral("user%1").arg(i), someHash);
        if (!user)
            return {};
        ids.append(user->id);
    }
    return ids;
}

QString TestDatabase::addChat(const QStringList &members)
{
    const std::optional<ChatRecord> chat = db->createChat(
        QString(), QStringLiteral("Chat"), QStringLiteral("group"), members.value(0), members);
    return chat ? chat->id : QString();
}

void TestDatabase::createsLatestSchema()
{
    QCOMPARE(db->schemaVersion(),
        onPostgres() ? PostgresStore::latestSchemaVersion() : SqliteStore::latestSchemaVersion);
    QVERIFY(!addUsers(1).isEmpty());
    if (!onPostgres())
        QVERIFY(QFile::exists(dir->filePath(SqliteStore::fileName + QStringLiteral("-wal"))));
}

void TestDatabase::emptyDatabaseOpenedByManyAtOnceIsMigratedOnce()
{
    if (!onPostgres())
        QSKIP("several servers share only a PostgreSQL database");
    db.reset();
    location.database = postgres.createDatabase();
    QVERIFY(location.database);
    constexpr int servers = 4;
    QStringList errors;
    std::vector<std::unique_ptr<QThread>> threads;
    std::mutex mutex;
    for (int i = 0; i < servers; ++i) {
        threads.emplace_back(QThread::create([this, &errors, &mutex] {
            QString error;
            const bool opened = open(&error) != nullptr;
            std::lock_guard<std::mutex> lock(mutex);
            errors.append(opened ? QString() : error);
        }));
        threads.back()->start();
    }
    for (const std::unique_ptr<QThread> &thread : threads)
        QVERIFY(thread->wait(60000));
    QCOMPARE(errors, QStringList(QVector<QString>(servers).toList()));
    db = open();
    QVERIFY(db);
    QCOMPARE(db->schemaVersion(), PostgresStore::latestSchemaVersion());
}

void TestDatabase::keepsDataAcrossReopen()
{
    const QStringList users = addUsers(2);
    const QString chatId = addChat(users);
    QVERIFY(db->addMessage(chatId, users.at(0), QStringLiteral(" exact text "), QString(), 100));
    const int version = db->schemaVersion();
    db.reset();

    db = open();
    QVERIFY(db);
    QCOMPARE(db->schemaVersion(), version);
    QCOMPARE(int(db->users().size()), 2);
    const std::vector<MessageRecord> messages = db->newestMessages(chatId, 10);
    QCOMPARE(int(messages.size()), 1);
    QCOMPARE(messages.front().text, QStringLiteral(" exact text "));
    QCOMPARE(messages.front().timestamp, qint64(100));
}

void TestDatabase::refusesNewerSchema()
{
    db.reset();
    QVERIFY(forceSchemaVersion(99));
    QString error;
    QVERIFY(!open(&error));
    QVERIFY2(error.contains(QLatin1String("newer")), qPrintable(error));
}

void TestDatabase::readOnlyFileIsReportedAndStillRead()
{
    if (onPostgres())
        QSKIP("a file that cannot be written is SQLite's own case");
    QVERIFY(!addUsers(2).isEmpty());
    db.reset();
    if (!setImmutable(dir->filePath(SqliteStore::fileName), true))
        QSKIP("the immutable flag cannot be set here");
    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(QStringLiteral("the database cannot be written")));
    QString error;
    db = open(&error);
    QVERIFY2(db, qPrintable(error));
    QCOMPARE(int(db->users().size()), 2);
    QVERIFY(!db->addUser(QStringLiteral("newcomer"), someHash));
    QCOMPARE(int(db->users().size()), 2);
}

void TestDatabase::userNamesAreUniqueIgnoringCase()
{
    QVERIFY(db->addUser(QStringLiteral("Alice"), someHash));
    QVERIFY(!db->addUser(QStringLiteral("alice"), someHash));
    QVERIFY(!db->addUser(QStringLiteral("ALICE"), someHash));
    QCOMPARE(db->userByName(QStringLiteral("aLiCe"))->username, QStringLiteral("Alice"));
    QCOMPARE(int(db->users().size()), 1);
}

void TestDatabase::idsNeverContainUnderscore()
{
    const QStringList users = addUsers(40);
    QCOMPARE(users.size(), 40);
    QSet<QString> unique;
    for (const QString &id : users) {
        QVERIFY(!id.contains(QLatin1Char('_')));
        unique.insert(id);
    }
    for (int i = 0; i < 40; ++i) {
        const QString chatId = addChat({ users.at(i) });
        QVERIFY(!chatId.isEmpty());
        QVERIFY(!chatId.contains(QLatin1Char('_')));
        unique.insert(chatId);
    }
    QCOMPARE(unique.size(), 80);
}

void TestDatabase::chatsOfUserInCreationOrderWithMembersInOrder()
{
    const QStringList users = addUsers(3);
    const QString first = addChat({ users.at(2), users.at(0), users.at(1) });
    const QString second = addChat({ users.at(1), users.at(2) });
    const QString third = addChat({ users.at(0), users.at(2) });

    const std::vector<ChatRecord> chats = db->chatsOfUser(users.at(2));
    QCOMPARE(int(chats.size()), 3);
    QCOMPARE(chats.at(0).id, first);
    QCOMPARE(chats.at(1).id, second);
    QCOMPARE(chats.at(2).id, third);
    QCOMPARE(chats.at(0).members, (QStringList { users.at(2), users.at(0), users.at(1) }));
    QCOMPARE(chats.at(0).ownerId, users.at(2));
    QCOMPARE(int(db->chatsOfUser(users.at(0)).size()), 2);
    QVERIFY(db->isMember(second, users.at(1)));
    QVERIFY(!db->isMember(second, users.at(0)));
}

void TestDatabase::refusesChatWithUnknownMember()
{
    const QStringList users = addUsers(1);
    QVERIFY(addChat({ users.at(0), QStringLiteral("nobody") }).isEmpty());
    QCOMPARE(int(db->chatsOfUser(users.at(0)).size()), 0);
}

void TestDatabase::chatOfRolledBackTransactionIsGone_data()
{
    QTest::addColumn<bool>("nested");
    QTest::newRow("transaction rolled back") << false;
    QTest::newRow("savepoint rolled back, transaction committed") << true;
}

void TestDatabase::chatOfRolledBackTransactionIsGone()
{
    QFETCH(bool, nested);
    const QStringList users = addUsers(2);
    const QString kept = addChat(users);
    QString chatId;
    {
        Store::Transaction outer(*db);
        QVERIFY(outer.isActive());
        {
            std::unique_ptr<Store::Transaction> inner;
            if (nested)
                inner = std::make_unique<Store::Transaction>(*db);
            chatId = addChat(users);
            QVERIFY(!chatId.isEmpty());
            // Read inside the transaction, as a second message to a new chat does.
            QVERIFY(db->isMember(chatId, users.at(1)));
            QCOMPARE(db->chat(chatId)->members, users);
        }
        if (nested)
            QVERIFY(outer.commit());
    }
    QVERIFY(!db->chat(chatId));
    QVERIFY(!db->isMember(chatId, users.at(1)));
    QVERIFY(db->isMember(kept, users.at(1)));
}

void TestDatabase::messagesOfABatchAreKeptInOrderOrNotAtAll_data()
{
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("ending");
    for (const int requests : { 1, 5 }) {
        for (const char *ending : { "committed", "rolled back", "savepoint rolled back" })
            QTest::addRow("%d requests, %s", requests, ending)
                << requests << QString::fromLatin1(ending);
    }
}

void TestDatabase::messagesOfABatchAreKeptInOrderOrNotAtAll()
{
    QFETCH(int, requests);
    QFETCH(QString, ending);
    const QStringList users = addUsers(2);
    const QString chatId = addChat(users);
    // As the writer runs a batch: several requests in one transaction, a later one reading what
    // an earlier one wrote.
    db->expectRequests(std::size_t(requests));
    QStringList kept;
    {
        Store::Transaction transaction(*db);
        const std::optional<MessageRecord> first =
            db->addMessage(chatId, users.at(0), QStringLiteral("one"), QString(), 100);
        QVERIFY(first);
        QVERIFY(db->markSeen(first->seq, users.at(1), 101));
        const std::optional<MessageRecord> reply =
            db->addMessage(chatId, users.at(1), QStringLiteral("two"), first->id, 100);
        QVERIFY(reply);
        QCOMPARE(db->message(reply->id)->replyToId, first->id);
        kept = QStringList { QStringLiteral("one"), QStringLiteral("two") };
        {
            Store::Transaction inner(*db);
            QVERIFY(db->addMessage(chatId, users.at(0), QStringLiteral("three"), QString(), 100));
            if (ending != QLatin1String("savepoint rolled back")) {
                QVERIFY(inner.commit());
                kept.append(QStringLiteral("three"));
            }
        }
        QVERIFY(db->addMessage(chatId, users.at(1), QStringLiteral("four"), QString(), 100));
        kept.append(QStringLiteral("four"));
        if (ending == QLatin1String("rolled back"))
            kept.clear();
        else
            QVERIFY(transaction.commit());
    }
    QStringList stored;
    for (const MessageRecord &message : db->newestMessages(chatId, 10))
        stored.append(message.text);
    QCOMPARE(stored, kept);
    if (!kept.isEmpty())
        QCOMPARE(db->newestMessages(chatId, 10).front().seenBy, QStringList { users.at(1) });
}

void TestDatabase::chatAddedByAnotherConnectionIsFound()
{
    // The admin command adds groups from a process of its own while the server runs.
    const QStringList users = addUsers(2);
    const QString chatId = QStringLiteral("gfixed1");
    QVERIFY(!db->chat(chatId));
    QVERIFY(!db->isMember(chatId, users.at(0)));
    const std::unique_ptr<Store> other = location.connector()(nullptr);
    QVERIFY(other);
    QVERIFY(other->createChat(
        chatId, QStringLiteral("Later"), QStringLiteral("group"), users.at(0), users));
    QVERIFY(db->isMember(chatId, users.at(0)));
    QCOMPARE(db->chat(chatId)->name, QStringLiteral("Later"));
}

void TestDatabase::readSnapshotHoldsNoLaterCommit()
{
    // A reader's answer is placed among the writer's commits by its snapshot: it must see every
    // commit before beginRead() and none after, however many statements it runs.
    const QStringList users = addUsers(1);
    const QString chatId = addChat(users);
    db->addMessage(chatId, users.at(0), QStringLiteral("before"), QString(), 100);
    const std::unique_ptr<Store> reader = location.connector()(nullptr);
    QVERIFY(reader);
    QVERIFY(reader->beginRead());
    db->addMessage(chatId, users.at(0), QStringLiteral("after"), QString(), 101);
    QCOMPARE(int(reader->newestMessages(chatId, 10).size()), 1);
    QCOMPARE(int(reader->messagesBefore(chatId, 1000, 10, 10).size()), 1);
    reader->endRead();
    QCOMPARE(int(reader->newestMessages(chatId, 10).size()), 2);
    // The connector opens only a store that exists at the latest schema.
    QTemporaryDir empty;
    StoreLocation nothing { empty.path(), std::nullopt };
    if (onPostgres())
        nothing.database = postgres.createDatabase();
    QString error;
    QVERIFY(!nothing.connector()(&error));
    QVERIFY(!error.isEmpty());
}

void TestDatabase::newestMessagesAreAscendingWithStableTies()
{
    const QStringList users = addUsers(1);
    const QString chatId = addChat(users);
    QStringList ids;
    // Four messages per second over five seconds, inserted out of time order once.
    for (int i = 0; i < 20; ++i)
        ids.append(
            db->addMessage(chatId, users.at(0), QString::number(i), QString(), 1000 + i / 4)->id);
    const QString late =
        db->addMessage(chatId, users.at(0), QStringLiteral("late"), QString(), 1001)->id;

    const std::vector<MessageRecord> page = db->newestMessages(chatId, 7);
    QStringList got;
    for (const MessageRecord &message : page)
        got.append(message.id);
    // The newest seven, grown to the whole second of the oldest of them.
    QCOMPARE(got, ids.mid(12));
    const std::vector<MessageRecord> all = db->newestMessages(chatId, 100);
    QCOMPARE(all.at(8).id, late);
}

void TestDatabase::messagesBeforeAddsTheWholeTieSecond()
{
    const QStringList users = addUsers(1);
    const QString chatId = addChat(users);
    QStringList ids;
    for (int i = 0; i < 12; ++i)
        ids.append(
            db->addMessage(chatId, users.at(0), QString::number(i), QString(), 100 + i / 4)->id);

    QStringList got;
    for (const MessageRecord &message : db->messagesBefore(chatId, 101, 3, 500))
        got.append(message.id);
    // A page of three grown to the whole of second 100, then all of second 101 again.
    QCOMPARE(got, ids.mid(0, 4) + ids.mid(4, 4));

    got.clear();
    for (const MessageRecord &message : db->messagesBefore(chatId, 100, 3, 500))
        got.append(message.id);
    QCOMPARE(got, ids.mid(0, 4));
    QCOMPARE(int(db->messagesBefore(chatId, 50, 3, 500).size()), 0);
    QCOMPARE(int(db->messagesBefore(chatId, 101, 3, 2).size()), 6);
}

void TestDatabase::chatHistoriesEndOnSecondBoundaries_data()
{
    QTest::addColumn<int>("perChat");

    QTest::newRow("one") << 1;
    QTest::newRow("inside a second") << 7;
    QTest::newRow("on a boundary") << 8;
    QTest::newRow("more than there is") << 100;
}

void TestDatabase::chatHistoriesEndOnSecondBoundaries()
{
    QFETCH(int, perChat);
    const QStringList users = addUsers(2);
    const QString busy = addChat(users);
    const QString quiet = addChat(users);
    const QString empty = addChat(users);
    for (int i = 0; i < 20; ++i)
        QVERIFY(db->addMessage(busy, users.at(i % 2), QString::number(i), QString(), 1000 + i / 4));
    QVERIFY(db->addMessage(busy, users.at(0), QStringLiteral("late"), QString(), 1001));
    for (int i = 0; i < 2; ++i)
        QVERIFY(db->addMessage(quiet, users.at(1), QString::number(i), QString(), 50));
    const auto idsOf = [](const std::vector<MessageRecord> &messages) {
        QStringList ids;
        for (const MessageRecord &message : messages)
            ids.append(message.id);
        return ids;
    };

    // The same pages as "get_history" paging expects; only the fallback cuts inside a second.
    const std::vector<ChatHistory> whole = db->chatHistories(users.at(0), perChat);
    const std::vector<ChatHistory> cut = db->chatHistories(users.at(0), perChat, false);
    QCOMPARE(int(whole.size()), 3);
    QCOMPARE(int(cut.size()), 3);
    for (std::size_t i = 0; i < whole.size(); ++i) {
        const QString chatId = whole.at(i).chat.id;
        QCOMPARE(cut.at(i).chat.id, chatId);
        const QStringList newest = idsOf(db->newestMessages(chatId, perChat));
        QCOMPARE(idsOf(whole.at(i).messages), newest);
        QCOMPARE(idsOf(cut.at(i).messages), newest.mid(std::max(0, int(newest.size()) - perChat)));
    }
    QCOMPARE(QStringList({ whole.at(0).chat.id, whole.at(1).chat.id, whole.at(2).chat.id }),
        QStringList({ busy, quiet, empty }));
    QVERIFY(whole.at(2).messages.empty());
}

void TestDatabase::chatHistoriesCountUnreadOfTheWholeChat_data()
{
    // Messages 0..5 in one chat of three; even ones from user 1, odd ones from user 2.
    QTest::addColumn<QList<int>>("seenByMe");
    QTest::addColumn<QList<int>>("seenByOthers");
    QTest::addColumn<QList<int>>("deleted");
    QTest::addColumn<int>("perChat");
    QTest::addColumn<int>("unread");

    QTest::newRow("nothing seen, beyond the page")
        << QList<int>() << QList<int>() << QList<int>() << 2 << 6;
    QTest::newRow("some seen by me")
        << QList<int> { 0, 3, 5 } << QList<int>() << QList<int>() << 50 << 3;
    QTest::newRow("receipts of others count for nothing")
        << QList<int> { 1 } << QList<int> { 0, 2, 4 } << QList<int>() << 50 << 5;
    QTest::newRow("deleted ones are gone, seen or not")
        << QList<int> { 1 } << QList<int>() << QList<int> { 1, 2 } << 50 << 4;
    QTest::newRow("all seen") << QList<int> { 0, 1, 2, 3, 4, 5 } << QList<int>() << QList<int>()
                              << 1 << 0;
}

void TestDatabase::chatHistoriesCountUnreadOfTheWholeChat()
{
    QFETCH(QList<int>, seenByMe);
    QFETCH(QList<int>, seenByOthers);
    QFETCH(QList<int>, deleted);
    QFETCH(int, perChat);
    QFETCH(int, unread);
    const QStringList users = addUsers(4);
    const QString me = users.at(0);
    const QString chat = addChat(users.mid(0, 3));
    const QString other = addChat({ me, users.at(3) });
    std::vector<MessageRecord> messages;
    for (int i = 0; i < 6; ++i)
        messages.push_back(
            *db->addMessage(chat, users.at(1 + i % 2), QString::number(i), QString(), 100 + i));
    // Mine never count, nor do chats of others.
    QVERIFY(db->addMessage(chat, me, QStringLiteral("mine"), QString(), 200));
    QVERIFY(db->addMessage(other, users.at(3), QStringLiteral("elsewhere"), QString(), 50));
    QVERIFY(db->addMessage(addChat(users.mid(1, 2)), users.at(1), QStringLiteral("x"), {}, 1));
    for (const int i : seenByMe)
        QVERIFY(db->markSeen(messages.at(i).seq, me, 300));
    for (const int i : seenByOthers)
        QVERIFY(db->markSeen(messages.at(i).seq, users.at(2 - i % 2), 300));
    for (const int i : deleted)
        QVERIFY(db->deleteMessage(messages.at(i).seq));

    const std::vector<ChatHistory> histories = db->chatHistories(me, perChat);
    QCOMPARE(int(histories.size()), 2);
    QCOMPARE(histories.at(0).chat.id, chat);
    QCOMPARE(histories.at(0).unreadCount, unread);
    QCOMPARE(histories.at(1).unreadCount, 1);
}

void TestDatabase::pagingByTimestampMissesNothing_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("perSecond");
    QTest::addColumn<int>("page");

    QTest::newRow("one per second") << 120 << 1 << 50;
    QTest::newRow("bursts of ten, page of fifty") << 120 << 10 << 50;
    QTest::newRow("bursts of seven, page of five") << 120 << 7 << 5;
    QTest::newRow("bursts larger than a page") << 120 << 40 << 15;
    QTest::newRow("all in one second") << 120 << 120 << 50;
    QTest::newRow("700 in one second") << 700 << 700 << 50;
    QTest::newRow("700 in one second after older ones") << 760 << 700 << 50;
}

void TestDatabase::pagingByTimestampMissesNothing()
{
    QFETCH(int, total);
    QFETCH(int, perSecond);
    QFETCH(int, page);

    const QStringList users = addUsers(1);
    const QString chatId = addChat(users);
    QSet<QString> all;
    for (int i = 0; i < total; ++i)
        all.insert(
            db->addMessage(chatId, users.at(0), QString::number(i), QString(), 5000 + i / perSecond)
                ->id);

    // What a client does: hold the first page, then ask for what is before its oldest message.
    QSet<QString> held;
    qint64 oldest = 0;
    for (const MessageRecord &message : db->newestMessages(chatId, page)) {
        held.insert(message.id);
        oldest = oldest == 0 ? message.timestamp : qMin(oldest, message.timestamp);
    }
    for (int round = 0; round < total; ++round) {
        const std::vector<MessageRecord> older = db->messagesBefore(chatId, oldest, page, 500);
        qint64 newOldest = oldest;
        for (const MessageRecord &message : older) {
            held.insert(message.id);
            newOldest = qMin(newOldest, message.timestamp);
        }
        if (newOldest == oldest)
            break;
        oldest = newOldest;
    }
    QCOMPARE(held, all);
}

void TestDatabase::seenIsRecordedOnceInOrder()
{
    const QStringList users = addUsers(3);
    const QString chatId = addChat(users);
    const MessageRecord message =
        *db->addMessage(chatId, users.at(0), QStringLiteral("hi"), QString(), 10);
    QVERIFY(db->markSeen(message.seq, users.at(2), 11));
    QVERIFY(!db->markSeen(message.seq, users.at(2), 12));
    QVERIFY(db->markSeen(message.seq, users.at(1), 13));
    QCOMPARE(db->message(message.id)->seenBy, (QStringList { users.at(2), users.at(1) }));
    QCOMPARE(
        db->newestMessages(chatId, 1).front().seenBy, (QStringList { users.at(2), users.at(1) }));
}

void TestDatabase::deletingRemovesReceiptsAndNeverReusesIds()
{
    const QStringList users = addUsers(2);
    const QString chatId = addChat(users);
    const MessageRecord first =
        *db->addMessage(chatId, users.at(0), QStringLiteral("a"), QString(), 10);
    const MessageRecord last =
        *db->addMessage(chatId, users.at(0), QStringLiteral("b"), QString(), 10);
    QVERIFY(db->markSeen(last.seq, users.at(1), 11));
    QVERIFY(db->deleteMessage(last.seq));
    QVERIFY(!db->deleteMessage(last.seq));
    QVERIFY(!db->message(last.id));
    const MessageRecord next =
        *db->addMessage(chatId, users.at(0), QStringLiteral("c"), QString(), 12);
    QVERIFY(next.id != last.id);
    QVERIFY(next.seenBy.isEmpty());
    QCOMPARE(db->message(next.id)->seenBy, QStringList());
    QVERIFY(db->message(first.id));
}

void TestDatabase::unknownMessageIdsFindNothing_data()
{
    QTest::addColumn<QString>("id");

    QTest::newRow("sequence number of a stored message") << "m1";
    QTest::newRow("too long") << "m1234567890123456789";
    QTest::newRow("no digits") << "m";
    QTest::newRow("temporary") << "temp_1234";
    QTest::newRow("sign") << "m-1";
    QTest::newRow("other prefix") << "x12";
    QTest::newRow("empty") << "";
}

void TestDatabase::unknownMessageIdsFindNothing()
{
    QFETCH(QString, id);
    const QStringList users = addUsers(1);
    const QString chatId = addChat(users);
    const MessageRecord stored =
        *db->addMessage(chatId, users.at(0), QStringLiteral("a"), QString(), 10);
    QVERIFY(db->message(stored.id));
    QVERIFY(!db->message(id));
    QVERIFY(!db->message(stored.id.toUpper()));
    QVERIFY(!db->message(stored.id + QLatin1Char('0')));
}

FERROW_SERVER_TEST_MAIN(TestDatabase)

#include "tst_database.moc"
