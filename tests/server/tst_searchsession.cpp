#include "model/metatypes.h"
#include "net/websocketclient.h"
#include "net/jsonview.h"
#include "net/wireformat.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "session/chatsession.h"
#include "session/detachedtimeline.h"
#include "session/messagesearch.h"
#include "store/chatstore.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

// The client's session against the real server: a search, a chat opened far back, and paging
// both ways until the stretch meets what the login brought.
class TestSearchSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pagingBothWaysMeetsHeldMessages_data();
    void pagingBothWaysMeetsHeldMessages();
    void aroundAMessageNoLongerThereIsUnavailable();
    void onlyTheNewestQueryIsShown();
    void searchResultsKeepOnlyMessagesOfChats_data();
    void searchResultsKeepOnlyMessagesOfChats();

private:
    bool logIn();
    QStringList heldIds() const;

    ServerFixture fixture;
    QString alice, bob, team;
    QStringList ids;
    std::unique_ptr<ChatSession> session;
};

void TestSearchSession::initTestCase()
{
    registerMetaTypes();
}

void TestSearchSession::init()
{
    FERROW_SET_UP(fixture);
    alice = fixture.addUser(QStringLiteral("alice"));
    bob = fixture.addUser(QStringLiteral("bob"));
    team =
        fixture.db
            ->createChat(
                QString(), QStringLiteral("Team"), QStringLiteral("group"), alice, { alice, bob })
            ->id;
    // 300 messages: one a second, but for a crowded second of 60 in the middle, so that pages
    // end inside it.
    ids.clear();
    for (int i = 0; i < 300; ++i) {
        const qint64 time = i < 150 ? 1000 + i : i < 210 ? 1150 : 1150 + i - 209;
        ids.append(fixture.db
                       ->addMessage(team,
                           i % 2 ? alice : bob,
                           QStringLiteral("message %1 %2")
                               .arg(i)
                               .arg(QLatin1String(i % 7 ? "plain" : "rare")),
                           QString(),
                           time)
                       ->id);
    }
    ChatServer::Options options = fixture.defaultOptions();
    options.historyPage = 10;
    QVERIFY(fixture.start(options));
    qputenv("FERROW_SERVER_HOST", "127.0.0.1");
    qputenv("FERROW_SERVER_PORT", QByteArray::number(fixture.port()));
    session = std::make_unique<ChatSession>();
    QVERIFY(logIn());
}

void TestSearchSession::cleanup()
{
    session.reset();
    fixture.stop();
}

bool TestSearchSession::logIn()
{
    QSignalSpy ready(session.get(), &ChatSession::readyForLogin);
    session->start();
    if (!ready.wait(5000))
        return false;
    QSignalSpy history(session.get(), &ChatSession::chatHistoryReceived);
    session->logIn(QStringLiteral("alice"), QStringLiteral("secret"));
    if (!history.wait(10000))
        return false;
    QElapsedTimer waited;
    waited.start();
    while (!session->isOnline() && waited.elapsed() < 5000)
        QTest::qWait(10);
    session->openChat(team, QString());
    return session->isOnline();
}

QStringList TestSearchSession::heldIds() const
{
    QStringList held;
    for (const Message &message : session->store().chat(team)->messages)
        held.append(message.id);
    return held;
}

void TestSearchSession::pagingBothWaysMeetsHeldMessages_data()
{
    QTest::addColumn<int>("target");

    QTest::newRow("the oldest message") << 0;
    QTest::newRow("far back") << 40;
    QTest::newRow("just before a crowded second") << 149;
    QTest::newRow("inside a crowded second") << 180;
    QTest::newRow("within a page of the held ones") << 270;
}

void TestSearchSession::pagingBothWaysMeetsHeldMessages()
{
    QFETCH(int, target);
    DetachedTimeline *stretch = session->detachedTimeline();
    QSignalSpy ready(stretch, &DetachedTimeline::ready);
    QSignalSpy joined(stretch, &DetachedTimeline::joined);
    QVERIFY(!session->openAtMessage(team, ids.at(target)));
    QVERIFY(ready.wait(5000));
    QCOMPARE(ready.first().at(1).toString(), ids.at(target));

    // Older pages of the stretch, then newer ones, until it joins what the login brought.
    QSignalSpy pages(session->client(), &WebSocketClient::historyPageReceived);
    while (stretch->isActive() && session->loadOlderMessages())
        QVERIFY(pages.wait(5000));
    while (stretch->isActive()) {
        QVERIFY(session->loadNewerMessages());
        QVERIFY(pages.wait(5000));
    }
    QCOMPARE(joined.size(), 1);
    const QStringList held = heldIds();
    QCOMPARE(held, ids.mid(ids.indexOf(held.first())));
    QVERIFY(held.contains(ids.at(target)));

    // Plain paging goes on from the oldest held message down to the first.
    while (!session->store().isHistoryExhausted(team)) {
        QSignalSpy added(session.get(), &ChatSession::olderMessagesAdded);
        if (!session->loadOlderMessages())
            break;
        QTRY_VERIFY_WITH_TIMEOUT(!added.isEmpty() || !session->store().isLoadingHistory(), 5000);
    }
    QCOMPARE(heldIds(), ids);
}

void TestSearchSession::aroundAMessageNoLongerThereIsUnavailable()
{
    fixture.db->deleteMessage(fixture.db->message(ids.at(5))->seq);
    QSignalSpy unavailable(session->detachedTimeline(), &DetachedTimeline::unavailable);
    QVERIFY(!session->openAtMessage(team, ids.at(5)));
    QVERIFY(unavailable.wait(5000));
    QCOMPARE(unavailable.first().at(1).toString(), ids.at(5));
    QVERIFY(!session->detachedTimeline()->isActive());
}

void TestSearchSession::onlyTheNewestQueryIsShown()
{
    MessageSearch *search = session->search();
    QSignalSpy state(search, &MessageSearch::stateChanged);
    search->setQuery(QStringLiteral("plain"), QString());
    search->searchNow();
    // Typed on before the first answer came: only the second query's answer is shown.
    search->setQuery(QStringLiteral("rare"), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!search->isLoading(), 5000);
    QStringList texts;
    for (const Message &message : search->results())
        texts.append(message.content);
    QCOMPARE(texts.size(), 43);
    QCOMPARE(texts.first(), QStringLiteral("message 294 rare"));
    QVERIFY(!search->hasMore());
    QVERIFY(texts.filter(QStringLiteral("plain")).isEmpty());

    // Pages follow one another: 50, then the rest, none twice.
    search->setQuery(QStringLiteral("plain"), team);
    QTRY_VERIFY_WITH_TIMEOUT(!search->isLoading(), 5000);
    QCOMPARE(int(search->results().size()), 50);
    QVERIFY(search->loadMore());
    QVERIFY(!search->loadMore());
    QTRY_VERIFY_WITH_TIMEOUT(!search->isLoading(), 5000);
    QCOMPARE(int(search->results().size()), 100);

    search->setQuery(QStringLiteral("\"\""), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!search->isLoading(), 5000);
    QCOMPARE(search->error(), QStringLiteral("Search query has no words"));
    QVERIFY(search->results().empty());
}

void TestSearchSession::searchResultsKeepOnlyMessagesOfChats_data()
{
    QTest::addColumn<QByteArray>("results");
    QTest::addColumn<QStringList>("kept");

    QTest::newRow("a message") << QByteArray(R"([{"messageId":"m1","chatId":"c"}])")
                               << QStringList { QStringLiteral("m1") };
    QTest::newRow("not an object") << QByteArray(R"([5, "m1", null, []])") << QStringList();
    QTest::newRow("without a chat") << QByteArray(R"([{"messageId":"m1"}])") << QStringList();
    QTest::newRow("ids that are numbers")
        << QByteArray(R"([{"messageId":1,"chatId":"c"},{"messageId":"m2","chatId":2}])")
        << QStringList();
    QTest::newRow("an empty id") << QByteArray(R"([{"messageId":"","chatId":"c"}])")
                                 << QStringList();
}

void TestSearchSession::searchResultsKeepOnlyMessagesOfChats()
{
    QFETCH(QByteArray, results);
    QFETCH(QStringList, kept);
    QStringList got;
    for (const Message &message :
        wire::searchResultsOf(wire::QtJsonView(QJsonDocument::fromJson(results).array())))
        got.append(message.id);
    QCOMPARE(got, kept);
}

FERROW_SERVER_TEST_MAIN(TestSearchSession)
#include "tst_searchsession.moc"
