#include "chatserver.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "sqlitestore.h"
#include "testframes.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace
{

// How a write is made to fail under the running server.
enum class Fault {
    // The database may not grow by a page.
    DiskFull,
    // The database file and its log made immutable: what a read-only file is to the server,
    // even when it runs as root, for whom permissions stop nothing.
    ImmutableFiles,
    // SQLite's own read-only mode on the server's connection.
    ReadOnlyConnection,
};

} // namespace

Q_DECLARE_METATYPE(Fault)

// Writes share commits, and nothing is sent before the commit that holds it.
class TestGroupCommit : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersKeepTheOrderOfRequests();
    void pipelinedWritesShareCommits();
    void answersKeepTheirOrderWhileCommitsAreInFlight();
    void onlyWritesWaitForTheCommitInFlight();
    void commitsDuringAReadComeAfterItsAnswer_data();
    void commitsDuringAReadComeAfterItsAnswer();
    void failedWritesAnswerErrorAndRecover_data();
    void failedWritesAnswerErrorAndRecover();

private:
    // Empty when done, else why the fault cannot be made here. The faults of the writer's own
    // connection are made by the writer, at its next batch.
    QByteArray setFault(Fault fault, bool on);
    int storedMessages();

    ServerFixture fixture;
    QString alice, bob, carol, team;
    std::atomic<bool> diskFull { false };
    std::atomic<bool> readOnlyConnection { false };
};

void TestGroupCommit::init()
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
    QVERIFY(fixture.start());
}

void TestGroupCommit::cleanup()
{
    diskFull = false;
    readOnlyConnection = false;
    const QString database = fixture.dir->filePath(SqliteStore::fileName);
    for (const QString &path : QStringList { database, database + QStringLiteral("-wal") })
        setImmutable(path, false);
    fixture.stop();
}

QByteArray TestGroupCommit::setFault(Fault fault, bool on)
{
    switch (fault) {
    case Fault::DiskFull:
        diskFull = on;
        return QByteArray();
    case Fault::ImmutableFiles: {
        const QString database = fixture.dir->filePath(SqliteStore::fileName);
        for (const QString &path : QStringList { database, database + QStringLiteral("-wal") }) {
            if (!setImmutable(path, on))
                return "cannot change the immutable flag here (" + QByteArray(strerror(errno))
                    + "); it takes CAP_LINUX_IMMUTABLE and a file system that has the flag";
        }
        return QByteArray();
    }
    case Fault::ReadOnlyConnection:
        readOnlyConnection = on;
        return QByteArray();
    }
    return "unknown fault";
}

int TestGroupCommit::storedMessages()
{
    return int(fixture.db->newestMessages(team, 100000).size());
}

void TestGroupCommit::answersKeepTheOrderOfRequests()
{
    std::unique_ptr<Peer> alicePeer = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = fixture.login(QStringLiteral("bob"));
    QVERIFY(alicePeer && bobPeer);

    // Pipelined: the error and the page must not overtake the echo still waiting for its commit,
    // and the page holds the message once it is committed.
    alicePeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("first")));
    alicePeer->send(
        messageTo(QStringLiteral("chatId"), QStringLiteral("nowhere"), QStringLiteral("x")));
    alicePeer->send(historyRequest(team, 4e9));
    alicePeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("second")));
    const QList<QJsonObject> frames = alicePeer->sync();
    QCOMPARE(frames.size(), 4);
    QCOMPARE(typeOf(frames.at(0)), QStringLiteral("message"));
    QCOMPARE(frames.at(1),
        QJsonObject({ { QStringLiteral("type"), QStringLiteral("error") },
            { QStringLiteral("message"), QStringLiteral("Not a member of this chat") } }));
    QCOMPARE(typeOf(frames.at(2)), QStringLiteral("chat_history"));
    const QJsonArray page = frames.at(2)
                                .value(QLatin1String("chats"))
                                .toArray()
                                .at(0)
                                .toObject()
                                .value(QLatin1String("messages"))
                                .toArray();
    QCOMPARE(page.size(), 1);
    QJsonObject echoed = frames.at(0);
    echoed.remove(QLatin1String("type"));
    QCOMPARE(page.at(0).toObject(), echoed);
    QCOMPARE(typeOf(frames.at(3)), QStringLiteral("message"));
    QCOMPARE(bobPeer->sync(), (QList<QJsonObject> { frames.at(0), frames.at(3) }));
}

void TestGroupCommit::pipelinedWritesShareCommits()
{
    std::unique_ptr<Peer> alicePeer = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = fixture.login(QStringLiteral("bob"));
    QVERIFY(alicePeer && bobPeer);
    for (int i = 0; i < 20; ++i) {
        alicePeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("a%1").arg(i)));
        bobPeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("b%1").arg(i)));
    }
    QVERIFY(alicePeer->waitForFrames(40));
    QCOMPARE(storedMessages(), 40);
    const QString metrics = QString::fromUtf8(fixture.httpGet("/metrics"));
    // The messages, and the two logins' tokens.
    const auto value = [&metrics](const QString &series) {
        const QRegularExpressionMatch match = QRegularExpression(
            QStringLiteral("^") + QRegularExpression::escape(series) + QStringLiteral(" (\\S+)$"),
            QRegularExpression::MultilineOption)
                                                  .match(metrics);
        return match.hasMatch() ? match.captured(1).toDouble() : -1.0;
    };
    QCOMPARE(value(QStringLiteral("ferrow_commit_batch_size_sum")), 42.0);
    const double commits = value(QStringLiteral("ferrow_commit_batch_size_count"));
    QVERIFY2(commits >= 1 && commits < 42, qPrintable(QString::number(commits)));
}

void TestGroupCommit::answersKeepTheirOrderWhileCommitsAreInFlight()
{
    std::unique_ptr<Peer> alicePeer = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = fixture.login(QStringLiteral("bob"));
    std::unique_ptr<Peer> carolPeer = fixture.login(QStringLiteral("carol"));
    QVERIFY(alicePeer && bobPeer && carolPeer);

    // Three peers pipeline at once, so that requests keep arriving while earlier writes are
    // still on their way to disk, and a health check asks for the database in between.
    const int rounds = 10;
    for (int i = 0; i < rounds; ++i) {
        alicePeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("a%1").arg(i)));
        bobPeer->socket.sendTextMessage(QStringLiteral("not json"));
        bobPeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("b%1").arg(i)));
        carolPeer->send(historyRequest(team, 4e9));
        if (i == rounds / 2)
            QCOMPARE(fixture.httpGet("/healthz").endsWith("ok\n"), true);
    }
    // Messages from one sender may overtake another sender's, so the probe alone does not
    // mark the end: wait for all of them first.
    for (Peer *peer : { alicePeer.get(), bobPeer.get(), carolPeer.get() }) {
        QVERIFY(peer->waitUntil([peer] {
            return std::count_if(peer->frames.cbegin(),
                       peer->frames.cend(),
                       [](const QJsonObject &frame) {
                           return typeOf(frame) == QLatin1String("message");
                       })
                >= 2 * rounds;
        }));
    }
    const QList<QJsonObject> aliceFrames = alicePeer->sync();
    const QList<QJsonObject> bobFrames = bobPeer->sync();
    const QList<QJsonObject> carolFrames = carolPeer->sync();
    const auto textOf = [](const QJsonObject &frame) {
        return frame.value(QLatin1String("content"))
            .toObject()
            .value(QLatin1String("text"))
            .toString();
    };

    // Each sender's messages reach everyone in the order sent.
    for (const QList<QJsonObject> *frames : { &aliceFrames, &bobFrames, &carolFrames }) {
        QStringList fromAlice;
        QStringList fromBob;
        for (const QJsonObject &frame : *frames) {
            if (typeOf(frame) != QLatin1String("message"))
                continue;
            (textOf(frame).startsWith(QLatin1Char('a')) ? fromAlice : fromBob)
                .append(textOf(frame));
        }
        QStringList expectedAlice;
        QStringList expectedBob;
        for (int i = 0; i < rounds; ++i) {
            expectedAlice.append(QStringLiteral("a%1").arg(i));
            expectedBob.append(QStringLiteral("b%1").arg(i));
        }
        QCOMPARE(fromAlice, expectedAlice);
        QCOMPARE(fromBob, expectedBob);
    }
    // Bob's refusals come each before the echo of the message sent after it.
    QStringList bobsOwn;
    for (const QJsonObject &frame : bobFrames) {
        if (typeOf(frame) == QLatin1String("error"))
            bobsOwn.append(frame.value(QLatin1String("message"))
                               .toString()
                               .startsWith(QLatin1String("Invalid JSON"))
                    ? QStringLiteral("refused")
                    : frame.value(QLatin1String("message")).toString());
        else if (textOf(frame).startsWith(QLatin1Char('b')))
            bobsOwn.append(textOf(frame));
    }
    QStringList expectedOwn;
    for (int i = 0; i < rounds; ++i)
        expectedOwn << QStringLiteral("refused") << QStringLiteral("b%1").arg(i);
    QCOMPARE(bobsOwn, expectedOwn);
    // Every page holds exactly the messages Carol was sent before it: nothing committed is
    // missing from it, and nothing in it is still to come.
    QSet<QString> received;
    int pages = 0;
    for (const QJsonObject &frame : carolFrames) {
        if (typeOf(frame) == QLatin1String("message")) {
            received.insert(frame.value(QLatin1String("messageId")).toString());
            continue;
        }
        QCOMPARE(typeOf(frame), QStringLiteral("chat_history"));
        ++pages;
        QSet<QString> onPage;
        const QJsonArray messages = frame.value(QLatin1String("chats"))
                                        .toArray()
                                        .at(0)
                                        .toObject()
                                        .value(QLatin1String("messages"))
                                        .toArray();
        for (const QJsonValue &message : messages)
            onPage.insert(message.toObject().value(QLatin1String("messageId")).toString());
        QCOMPARE(onPage, received);
    }
    QCOMPARE(pages, rounds);
    QCOMPARE(received.size(), 2 * rounds);
    QCOMPARE(storedMessages(), 2 * rounds);
}

void TestGroupCommit::onlyWritesWaitForTheCommitInFlight()
{
    QSemaphore entered;
    QSemaphore proceed;
    std::atomic<bool> holding { false };
    ChatServer::Options options = fixture.defaultOptions();
    options.beforeCommit = [&] {
        if (!holding)
            return;
        entered.release();
        proceed.acquire();
    };
    // Whatever happens below, a held commit must not outlive the test.
    const auto releaseAll = qScopeGuard([&] {
        holding = false;
        proceed.release(1000);
    });
    fixture.server.reset();
    QVERIFY(fixture.start(options));
    std::unique_ptr<Peer> alicePeer = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = fixture.login(QStringLiteral("bob"));
    std::unique_ptr<Peer> carolPeer = fixture.login(QStringLiteral("carol"));
    QVERIFY(alicePeer && bobPeer && carolPeer);
    holding = true;

    alicePeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("a0")));
    QTRY_COMPARE(entered.available(), 1);
    // The first message is now being committed. Writes wait for it, in the order they came;
    // a refusal and a page do not, and the page does not hold what is not committed.
    bobPeer->socket.sendTextMessage(QStringLiteral("not json"));
    bobPeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("b0")));
    QTRY_COMPARE(fixture.server->queuedRequests(), 1);
    carolPeer->send(historyRequest(team, 4e9));
    alicePeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("a1")));
    QTRY_COMPARE(fixture.server->queuedRequests(), 2);

    const auto summary = [](const QList<QJsonObject> &frames) {
        QStringList lines;
        for (const QJsonObject &frame : frames) {
            if (typeOf(frame) == QLatin1String("message")) {
                lines.append(frame.value(QLatin1String("content"))
                                 .toObject()
                                 .value(QLatin1String("text"))
                                 .toString());
            } else if (typeOf(frame) == QLatin1String("chat_history")) {
                QStringList texts;
                const QJsonArray messages = frame.value(QLatin1String("chats"))
                                                .toArray()
                                                .at(0)
                                                .toObject()
                                                .value(QLatin1String("messages"))
                                                .toArray();
                for (const QJsonValue &message : messages)
                    texts.append(message.toObject()
                                     .value(QLatin1String("content"))
                                     .toObject()
                                     .value(QLatin1String("text"))
                                     .toString());
                lines.append(QStringLiteral("page ") + texts.join(QLatin1Char(',')));
            } else {
                lines.append(typeOf(frame) + QLatin1Char(' ')
                    + frame.value(QLatin1String("message")).toString().left(12));
            }
        }
        return lines;
    };
    QVERIFY(bobPeer->waitForFrames(1));
    QVERIFY(carolPeer->waitForFrames(1));
    QCOMPARE(summary(bobPeer->frames), QStringList { QStringLiteral("error Invalid JSON") });
    QCOMPARE(summary(carolPeer->frames), QStringList { QStringLiteral("page ") });
    QVERIFY(alicePeer->frames.isEmpty());
    bobPeer->frames.clear();
    carolPeer->frames.clear();
    holding = false;
    proceed.release(1000);

    const QStringList committed {
        QStringLiteral("a0"), QStringLiteral("b0"), QStringLiteral("a1")
    };
    QCOMPARE(summary(alicePeer->sync()), committed);
    QCOMPARE(summary(bobPeer->sync()), committed);
    QCOMPARE(summary(carolPeer->sync()), committed);
    QCOMPARE(fixture.server->queuedRequests(), 0);
}

void TestGroupCommit::commitsDuringAReadComeAfterItsAnswer_data()
{
    QTest::addColumn<bool>("login");

    QTest::newRow("history page") << false;
    QTest::newRow("login push") << true;
}

void TestGroupCommit::commitsDuringAReadComeAfterItsAnswer()
{
    QFETCH(bool, login);
    QSemaphore entered;
    QSemaphore proceed;
    std::atomic<bool> holding { false };
    ChatServer::Options options = fixture.defaultOptions();
    options.afterSnapshot = [&] {
        if (!holding)
            return;
        entered.release();
        proceed.acquire();
    };
    const auto releaseAll = qScopeGuard([&] {
        holding = false;
        proceed.release(1000);
    });
    fixture.server.reset();
    QVERIFY(fixture.start(options));
    std::unique_ptr<Peer> bobPeer = fixture.login(QStringLiteral("bob"));
    std::unique_ptr<Peer> reader =
        login ? fixture.connectPeer() : fixture.login(QStringLiteral("alice"));
    QVERIFY(bobPeer && reader);

    // The read has taken its snapshot when Bob's message is committed and handed out.
    holding = true;
    if (login) {
        reader->sendLogin(QStringLiteral("alice"), QStringLiteral("secret"));
        // The name's lookup first, then the push.
        QTRY_COMPARE(entered.available(), 1);
        proceed.release();
        QTRY_COMPARE(entered.available(), 2);
    } else {
        reader->send(historyRequest(team, 4e9));
        QTRY_COMPARE(entered.available(), 1);
    }
    bobPeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("meanwhile")));
    QCOMPARE(bobPeer->sync().size(), 1);
    holding = false;
    proceed.release();

    QList<QJsonObject> frames = reader->sync();
    QVERIFY(frames.size() >= 2);
    const QJsonObject last = frames.takeLast();
    QCOMPARE(typeOf(last), QStringLiteral("message"));
    QCOMPARE(last.value(QLatin1String("content")).toObject().value(QLatin1String("text")),
        QJsonValue(QStringLiteral("meanwhile")));
    QStringList types;
    for (const QJsonObject &frame : qAsConst(frames))
        types.append(typeOf(frame));
    const QStringList expected = login ? QStringList { QStringLiteral("login_success"),
        QStringLiteral("chat_history"),
        QStringLiteral("user_list_update") }
                                       : QStringList { QStringLiteral("chat_history") };
    QCOMPARE(types, expected);
    const int history = types.indexOf(QStringLiteral("chat_history"));
    const QJsonArray chats = frames.at(history).value(QLatin1String("chats")).toArray();
    for (const QJsonValue &chat : chats)
        QVERIFY(chat.toObject().value(QLatin1String("messages")).toArray().isEmpty());
}

void TestGroupCommit::failedWritesAnswerErrorAndRecover_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("failure");

    const QString message = QStringLiteral("message");
    const QString edit = QStringLiteral("edit_message");
    const QString messageFailure = QStringLiteral("The message could not be stored");
    const QString editFailure = QStringLiteral("The edit could not be stored");
    QTest::newRow("message, full disk") << Fault::DiskFull << message << messageFailure;
    QTest::newRow("edit, full disk") << Fault::DiskFull << edit << editFailure;
    QTest::newRow("message, read-only file") << Fault::ImmutableFiles << message << messageFailure;
    QTest::newRow("edit, read-only file") << Fault::ImmutableFiles << edit << editFailure;
    QTest::newRow("message, read-only connection")
        << Fault::ReadOnlyConnection << message << messageFailure;
    QTest::newRow("edit, read-only connection") << Fault::ReadOnlyConnection << edit << editFailure;
}

void TestGroupCommit::failedWritesAnswerErrorAndRecover()
{
    QFETCH(Fault, fault);
    QFETCH(QString, type);
    QFETCH(QString, failure);
    ChatServer::Options options = fixture.defaultOptions();
    options.beforeBatch = [this](Store &store) {
        QSqlQuery query(QSqlDatabase::database(static_cast<SqliteStore &>(store).connectionName()));
        int pages = 1000000;
        if (diskFull && query.exec(QStringLiteral("PRAGMA page_count")) && query.next())
            pages = query.value(0).toInt();
        query.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages));
        query.exec(QStringLiteral("PRAGMA query_only = %1").arg(readOnlyConnection ? 1 : 0));
    };
    fixture.server.reset();
    QVERIFY(fixture.start(options));
    // Enough existing messages that an edit or receipt has pages to touch.
    QStringList ids;
    for (int i = 0; i < 20; ++i)
        ids.append(fixture.db
                       ->addMessage(team,
                           i % 2 ? bob : alice,
                           QString(2000, QLatin1Char('a' + i)),
                           QString(),
                           1000 + i)
                       ->id);
    std::unique_ptr<Peer> alicePeer = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = fixture.login(QStringLiteral("bob"));
    std::unique_ptr<Peer> carolPeer = fixture.login(QStringLiteral("carol"));
    QVERIFY(alicePeer && bobPeer && carolPeer);
    const auto request = [&](int i) {
        // As long as a text may be: it fits beside no stored message, so every write needs a
        // new page.
        const QString big(4000, QLatin1Char('z' - i % 20));
        if (type == QLatin1String("message"))
            return messageTo(QStringLiteral("chatId"), team, big);
        if (type == QLatin1String("edit_message"))
            return QJsonObject { { QStringLiteral("type"), type },
                { QStringLiteral("chatId"), team },
                { QStringLiteral("messageId"), ids.at(2 * (i % 10)) },
                { QStringLiteral("newContent"), big } };
        return QJsonObject();
    };

    const QByteArray unavailable = setFault(fault, true);
    if (!unavailable.isEmpty())
        QSKIP(unavailable.constData());
    for (int i = 0; i < 10; ++i)
        alicePeer->send(request(i));
    const QList<QJsonObject> answers = alicePeer->sync();
    QCOMPARE(answers.size(), 10);
    for (const QJsonObject &answer : answers)
        QCOMPARE(answer,
            QJsonObject({ { QStringLiteral("type"), QStringLiteral("error") },
                { QStringLiteral("message"), failure } }));
    QCOMPARE(bobPeer->sync(), QList<QJsonObject>());
    QCOMPARE(carolPeer->sync(), QList<QJsonObject>());
    QCOMPARE(storedMessages(), 20);
    for (const QString &id : qAsConst(ids)) {
        const std::optional<MessageRecord> message = fixture.db->message(id);
        QVERIFY(message->seenBy.isEmpty());
        QCOMPARE(message->editedAt, qint64(0));
    }

    // Room again, or writable again: the same requests go through.
    const QByteArray stuck = setFault(fault, false);
    QVERIFY2(stuck.isEmpty(), stuck.constData());
    alicePeer->send(request(0));
    const QList<QJsonObject> after = alicePeer->sync();
    const QList<QJsonObject> atBob = bobPeer->sync();
    QCOMPARE(atBob.size(), 1);
    QVERIFY(typeOf(atBob.at(0)) != QLatin1String("error"));
    QCOMPARE(after, atBob);
}

FERROW_SERVER_TEST_MAIN(TestGroupCommit)

#include "tst_groupcommit.moc"
