#include "chatserver.h"
#include "clientconnection.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "sqlitestore.h"
#include "testframes.h"

#include <QJsonArray>
#include <QtTest>

// Requests wait in their connection's queue for their turn instead of being refused.
class TestFlowControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pipelinedReceiptsAreAllServedInOrder();
    void queueOverTheBoundClosesOnlyThatConnection_data();
    void queueOverTheBoundClosesOnlyThatConnection();

private:
    ServerFixture fixture;
    qint64 now = 1700000000000;
    QString alice, bob, team;
};

void TestFlowControl::init()
{
    FERROW_SET_UP(fixture);
    alice = fixture.addUser(QStringLiteral("alice"));
    bob = fixture.addUser(QStringLiteral("bob"));
    team =
        fixture.db
            ->createChat(
                QString(), QStringLiteral("Team"), QStringLiteral("group"), alice, { alice, bob })
            ->id;
}

void TestFlowControl::cleanup()
{
    fixture.stop();
}

void TestFlowControl::pipelinedReceiptsAreAllServedInOrder()
{
    // Opening a chat with 2 000 unseen messages sends one receipt for each, all at once.
    constexpr int count = 2000;
    QStringList ids;
    {
        Store::Transaction transaction(*fixture.db);
        for (int i = 0; i < count; ++i)
            ids.append(
                fixture.db->addMessage(team, bob, QStringLiteral("n%1").arg(i), QString(), 1000 + i)
                    ->id);
        QVERIFY(transaction.commit());
    }
    QVERIFY(fixture.start());
    std::unique_ptr<Peer> alicePeer = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = fixture.login(QStringLiteral("bob"));
    QVERIFY(alicePeer && bobPeer);

    for (const QString &id : qAsConst(ids))
        alicePeer->send(seenRequest(team, id));
    QVERIFY(bobPeer->waitForFrames(count, 60000));
    QStringList seen;
    for (const QJsonObject &frame : qAsConst(bobPeer->frames)) {
        QCOMPARE(typeOf(frame), QStringLiteral("message_seen_update"));
        seen.append(frame.value(QLatin1String("messageId")).toString());
    }
    QCOMPARE(seen, ids);
    QCOMPARE(alicePeer->sync(60000), QList<QJsonObject>());
    QCOMPARE(fixture.db->newestMessages(team, count).back().seenBy, QStringList { alice });
    QVERIFY(!alicePeer->closed);
}

void TestFlowControl::queueOverTheBoundClosesOnlyThatConnection_data()
{
    QTest::addColumn<int>("requests");
    QTest::addColumn<bool>("closed");

    // With the clock standing still, 2 000 are served at once and the rest wait.
    QTest::newRow("just within the bound") << 2000 + ClientConnection::maxQueuedRequests << false;
    QTest::newRow("one over the bound") << 2000 + ClientConnection::maxQueuedRequests + 1 << true;
    QTest::newRow("ten thousand pipelined") << 10000 << true;
}

void TestFlowControl::queueOverTheBoundClosesOnlyThatConnection()
{
    QFETCH(int, requests);
    QFETCH(bool, closed);
    ChatServer::Options options = fixture.defaultOptions();
    options.clock = [this] { return now; };
    QVERIFY(fixture.start(options));
    std::unique_ptr<Peer> flooder = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = fixture.login(QStringLiteral("bob"));
    QVERIFY(flooder && bobPeer);

    // The login took one request of the burst.
    const QJsonObject request = historyRequest(team, 0);
    for (int i = 0; i < requests - 1; ++i)
        flooder->send(request);
    if (closed) {
        QVERIFY(flooder->waitForClose(60000));
        // A client still sending when the close arrives may see its connection reset instead.
        if (requests <= 2000 + ClientConnection::maxQueuedRequests + 1)
            QCOMPARE(flooder->closeCode, int(QWebSocketProtocol::CloseCodePolicyViolated));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(
            fixture.server->queuedRequests(), ClientConnection::maxQueuedRequests, 60000);
        QVERIFY(!flooder->closed);
    }
    for (const QJsonObject &frame : qAsConst(flooder->frames))
        QCOMPARE(typeOf(frame), QStringLiteral("chat_history"));

    // Everyone else is served as before.
    bobPeer->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("still here")));
    QVERIFY(bobPeer->waitForFrames(1));
    QCOMPARE(typeOf(bobPeer->frames.at(0)), QStringLiteral("message"));
}

FERROW_SERVER_TEST_MAIN(TestFlowControl)

#include "tst_flowcontrol.moc"
