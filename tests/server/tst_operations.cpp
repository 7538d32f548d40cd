#include "chatserver.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "sqlitestore.h"
#include "testframes.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

// What operators ask the server over HTTP: whether it is healthy, and its figures.
class TestOperations : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void healthIsOkWhileTheDatabaseAnswers();
    void metricsCountWhatHappened_data();
    void metricsCountWhatHappened();

private:
    ServerFixture fixture;
    QByteArray metricsText;
};

void TestOperations::initTestCase()
{
    FERROW_SET_UP(fixture);
    const QString alice = fixture.addUser(QStringLiteral("alice"));
    const QString bob = fixture.addUser(QStringLiteral("bob"));
    const QString carol = fixture.addUser(QStringLiteral("carol"));
    const QString team = fixture.db
                             ->createChat(QString(),
                                 QStringLiteral("Team"),
                                 QStringLiteral("group"),
                                 alice,
                                 { alice, bob, carol })
                             ->id;
    QVERIFY(fixture.start());

    // Two users on three connections, one refused login, three messages to three members.
    std::unique_ptr<Peer> alice1 = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> alice2 = fixture.login(QStringLiteral("alice"));
    std::unique_ptr<Peer> bobPeer = fixture.login(QStringLiteral("bob"));
    QVERIFY(alice1 && alice2 && bobPeer);
    QVERIFY(!fixture.login(QStringLiteral("carol"), QStringLiteral("wrong")));
    for (int i = 0; i < 3; ++i)
        alice1->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("hi %1").arg(i)));
    QVERIFY(alice1->waitForFrames(3));
    QCOMPARE(alice1->sync().size(), 3);
    QCOMPARE(bobPeer->sync().size(), 3);
    metricsText = fixture.httpGet("/metrics");
    QVERIFY2(metricsText.startsWith("HTTP/1.1 200 OK\r\n"), metricsText.constData());
    QVERIFY(metricsText.contains("\r\nContent-Type: text/plain; version=0.0.4"));
}

void TestOperations::cleanupTestCase()
{
    fixture.stop();
}

void TestOperations::healthIsOkWhileTheDatabaseAnswers()
{
    const QByteArray response = fixture.httpGet("/healthz");
    QVERIFY2(response.startsWith("HTTP/1.1 200 OK\r\n"), response.constData());
    QVERIFY(response.endsWith("\r\n\r\nok\n"));
}

void TestOperations::metricsCountWhatHappened_data()
{
    QTest::addColumn<QByteArray>("series");
    QTest::addColumn<double>("value");

    // The probes of sync() are requests of an unknown type, answered with an error.
    QTest::newRow("open connections") << QByteArray("ferrow_connections_open") << 3.0;
    QTest::newRow("users logged in") << QByteArray("ferrow_users_logged_in") << 2.0;
    QTest::newRow("nothing waiting") << QByteArray("ferrow_requests_queued") << 0.0;
    QTest::newRow("logins") << QByteArray("ferrow_requests_total{type=\"login_with_password\"}")
                            << 4.0;
    QTest::newRow("messages") << QByteArray("ferrow_requests_total{type=\"message\"}") << 3.0;
    QTest::newRow("unknown requests")
        << QByteArray("ferrow_requests_total{type=\"unknown\"}") << 2.0;
    QTest::newRow("refused logins")
        << QByteArray("ferrow_logins_refused_total{reason=\"bad_credentials\"}") << 1.0;
    QTest::newRow("no login throttled")
        << QByteArray("ferrow_logins_refused_total{reason=\"throttled\"}") << 0.0;
    QTest::newRow("message frames to two alice and one bob connection")
        << QByteArray("ferrow_frames_sent_total{type=\"message\"}") << 9.0;
    QTest::newRow("login pushes") << QByteArray("ferrow_frames_sent_total{type=\"chat_history\"}")
                                  << 3.0;
    QTest::newRow("writes committed: three messages, three logins' tokens")
        << QByteArray("ferrow_commit_batch_size_sum") << 6.0;
    QTest::newRow("no failed commit") << QByteArray("ferrow_commits_failed_total") << 0.0;
    QTest::newRow("every commit in the last bucket")
        << QByteArray("ferrow_commit_seconds_bucket{le=\"+Inf\"}") << -1.0;
}

void TestOperations::metricsCountWhatHappened()
{
    QFETCH(QByteArray, series);
    QFETCH(double, value);
    const QRegularExpression line(QStringLiteral("^")
            + QRegularExpression::escape(QString::fromUtf8(series)) + QStringLiteral(" (\\S+)$"),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromUtf8(metricsText));
    QVERIFY2(match.hasMatch(), series.constData());
    if (value >= 0) {
        QCOMPARE(match.captured(1).toDouble(), value);
        return;
    }
    // Every commit counted once, with as many commits as batches.
    const QRegularExpressionMatch count = QRegularExpression(
        QStringLiteral("^ferrow_commit_seconds_count (\\S+)$"), QRegularExpression::MultilineOption)
                                              .match(QString::fromUtf8(metricsText));
    QVERIFY(count.hasMatch());
    QCOMPARE(match.captured(1), count.captured(1));
    QVERIFY(count.captured(1).toDouble() >= 1 && count.captured(1).toDouble() <= 6);
}

FERROW_SERVER_TEST_MAIN(TestOperations)

#include "tst_operations.moc"
