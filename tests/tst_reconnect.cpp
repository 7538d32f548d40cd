#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"
#include "teamframes.h"

#include <QApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QStandardPaths>
#include <QtTest>

using namespace teamframes;

namespace
{

QStringList rowIds(QListWidget *list)
{
    QStringList ids;
    for (int row = 0; row < list->count(); ++row)
        ids << list->item(row)->data(MessageIdRole).toString();
    return ids;
}

QStringList texts(const QList<QJsonObject> &frames)
{
    QStringList list;
    for (const QJsonObject &frame : frames)
        list << frame.value(QLatin1String("content"))
                    .toObject()
                    .value(QLatin1String("text"))
                    .toString();
    return list;
}

// Whether the window sends a "message" frame within half a second: long enough for a frame
// already written to arrive, since absence cannot be awaited.
bool sendsMessage(Session &session)
{
    return QTest::qWaitFor(
        [&session] { return !session.server.framesOfType(QStringLiteral("message")).isEmpty(); },
        500);
}

QStringList triggerOnLastRow(Session &session, const QString &text)
{
    QListWidget *list = session.probe->messageListWidget();
    return chooseInMenu(list, list->count() - 1, text);
}

// Logs alice in with one chat of `count` numbered messages, shows the window and opens the
// chat; the open chat's message list, or null when a step failed.
QListWidget *showChatOf(Session &session, int count)
{
    if (!session.connected() || !session.logIn(QStringLiteral("u1"), QStringLiteral("alice")))
        return nullptr;
    session.push(history(numberedList(1, count)));
    session.window->resize(900, 600);
    session.window->show();
    if (!QTest::qWaitForWindowExposed(session.window.get()))
        return nullptr;
    QListWidget *chats = session.probe->chatListWidget();
    emit chats->itemClicked(chats->item(0));
    return session.probe->messageListWidget();
}

} // namespace

class TestReconnect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void restartResumesWithTokenKeepingChatAndComposer();
    void failedMessageOffersRetryAndDelete_data();
    void failedMessageOffersRetryAndDelete();
    void scrolledUpViewKeepsItsTopMessage();
    void barShowingUpKeepsTheViewAtTheBottom();
    void startingWithServerDownSaysSoAndConnectsLater();
    void errorFrameShowsInBar();
    void throttledReloginWaitsAndTriesAgain_data();
    void throttledReloginWaitsAndTriesAgain();
    void refusedReloginEndsTheSession_data();
    void refusedReloginEndsTheSession();
    void otherUserAfterEndedSessionStartsAfresh();

private:
    // Logs in as alice (u1), loads "Team" with m1..m3 and opens it.
    void start(Session &session);
    // Stops the server until the window says it is offline, starts it again on the same port
    // and waits for the window's token login.
    bool dropAndReturn(Session &session);
    // Answers the token login and pushes `fresh` as the server's history of "Team".
    void resume(Session &session, const QList<QJsonObject> &fresh);
};

void TestReconnect::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestReconnect::init()
{
    AppSettings().clear();
}

void TestReconnect::start(Session &session)
{
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(history(numberedList(1, 3)));
    session.push(
        R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob"}]})");
    QListWidget *chats = session.probe->chatListWidget();
    QCOMPARE(chats->count(), 1);
    chats->setCurrentRow(0);
    emit chats->itemClicked(chats->item(0));
    QCOMPARE(session.probe->currentChatId(), QStringLiteral("g1"));
    session.server.takeFrames();
}

bool TestReconnect::dropAndReturn(Session &session)
{
    const quint16 port = session.server.port();
    session.server.stop();
    if (!QTest::qWaitFor(
            [&session] {
                return session.probe->connectionBar()->text().startsWith(
                    QLatin1String("Offline. Retrying in"));
            },
            5000))
        return false;
    if (!session.probe->connectionBar()->retryOffered())
        return false;
    session.server.takeFrames();
    if (!session.server.start(port) || !session.server.waitForFrames(1, 10000))
        return false;
    return session.server.frames.first()
        == QJsonObject { { QStringLiteral("type"), QStringLiteral("login_with_token") },
               { QStringLiteral("token"), QStringLiteral("t") } };
}

void TestReconnect::resume(Session &session, const QList<QJsonObject> &fresh)
{
    session.server.takeFrames();
    session.push(R"({"type":"login_success","user":{"userId":"u1","username":"alice"},
                     "token":"t"})");
    session.push(history(fresh));
}

void TestReconnect::restartResumesWithTokenKeepingChatAndComposer()
{
    Session session;
    start(session);
    WindowProbe &probe = *session.probe;
    probe.messageInput()->setText(QStringLiteral("half a thought"));
    QVERIFY(probe.session().replyTo(QStringLiteral("m1")));
    QVERIFY(probe.connectionBar()->text().isEmpty());

    QVERIFY(dropAndReturn(session));
    QCOMPARE(probe.connectionBar()->text(), QStringLiteral("Connecting\u2026"));
    resume(session, numberedList(1, 3));
    QTRY_COMPARE(probe.connectionBar()->text(), QStringLiteral("Connected"));
    QCOMPARE(probe.stackedWidget()->currentWidget(), probe.chatPage());
    QCOMPARE(probe.currentChatId(), QStringLiteral("g1"));
    QCOMPARE(rowIds(probe.messageListWidget()), numberedIds(1, 3));
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("half a thought"));
    QCOMPARE(probe.session().replyToMessageId(), QStringLiteral("m1"));
    // The bar goes away by itself.
    QTRY_VERIFY(probe.connectionBar()->text().isEmpty());
}

void TestReconnect::failedMessageOffersRetryAndDelete_data()
{
    QTest::addColumn<QString>("choice");
    QTest::newRow("retry sends it again") << QStringLiteral("Retry");
    QTest::newRow("delete drops the local copy only") << QStringLiteral("Delete");
}

void TestReconnect::failedMessageOffersRetryAndDelete()
{
    QFETCH(QString, choice);
    Session session;
    start(session);
    WindowProbe &probe = *session.probe;
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    probe.messageInput()->setText(QStringLiteral("never echoed"));
    QTest::mouseClick(probe.sendButton(), Qt::LeftButton);
    QVERIFY(session.server.waitForFrames(1));
    session.server.takeFrames();
    // Refused for good: marked at once, not after minutes of a clock.
    session.push(R"({"type":"error","message":"Message text is longer than 4000 characters"})");
    QListWidget *list = probe.messageListWidget();
    QCOMPARE(list->item(list->count() - 1)->data(StatusRole).toInt(), int(Failed));

    const QStringList offered = triggerOnLastRow(session, choice);
    QCOMPARE(offered, (QStringList { QStringLiteral("Retry"), QStringLiteral("Delete") }));
    if (choice == QLatin1String("Retry")) {
        QTRY_COMPARE(texts(session.server.framesOfType(QStringLiteral("message"))),
            QStringList { QStringLiteral("never echoed") });
        QCOMPARE(list->item(list->count() - 1)->data(StatusRole).toInt(), int(Sending));
        QCOMPARE(probe.store().pendingMessages().size(), size_t(1));
        // Its echo replaces the local copy: one row, no second send.
        QJsonObject stored = message(QStringLiteral("m9"),
            QStringLiteral("u1"),
            QDateTime::currentSecsSinceEpoch(),
            QStringLiteral("never echoed"));
        session.push(echo(stored));
        QTRY_COMPARE(rowIds(list), (numberedIds(1, 3) << QStringLiteral("m9")));
    } else {
        QCOMPARE(rowIds(list), numberedIds(1, 3));
        QVERIFY(probe.store().pendingMessages().empty());
        QVERIFY(!sendsMessage(session));
        QVERIFY(session.server.framesOfType(QStringLiteral("delete_message")).isEmpty());
    }
}

void TestReconnect::scrolledUpViewKeepsItsTopMessage()
{
    Session session;
    // More than the window of rows a chat opens with.
    QListWidget *list = showChatOf(session, 150);
    QVERIFY(list);
    QCOMPARE(list->count(), 100);
    list->verticalScrollBar()->setValue(0);
    QTRY_COMPARE(list->count(), 150);
    list->scrollToItem(list->item(19), QAbstractItemView::PositionAtTop);
    const QString anchor = list->itemAt(QPoint(10, 10))->data(MessageIdRole).toString();
    QCOMPARE(anchor, QStringLiteral("m20"));

    QVERIFY(dropAndReturn(session));
    resume(session, numberedList(1, 151));
    QTRY_VERIFY(rowIds(list).contains(QStringLiteral("m151")));
    QCOMPARE(list->itemAt(QPoint(10, 10))->data(MessageIdRole).toString(), anchor);
    QVERIFY(list->verticalScrollBar()->value() < list->verticalScrollBar()->maximum());
}

void TestReconnect::barShowingUpKeepsTheViewAtTheBottom()
{
    Session session;
    QListWidget *list = showChatOf(session, 30);
    QVERIFY(list);
    QScrollBar *bar = list->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QTRY_COMPARE(bar->value(), bar->maximum());
    const QRect lastRow = list->visualItemRect(list->item(list->count() - 1));
    QVERIFY(list->viewport()->rect().contains(lastRow));

    session.server.stop();
    QTRY_VERIFY(session.probe->connectionBar()->isVisible());
    // The newest message stays in full view above the bar's space.
    QTRY_VERIFY(
        list->viewport()->rect().contains(list->visualItemRect(list->item(list->count() - 1))));
    QCOMPARE(bar->value(), bar->maximum());
}

void TestReconnect::startingWithServerDownSaysSoAndConnectsLater()
{
    TestServer server;
    QVERIFY(server.start());
    const quint16 port = server.port();
    server.stop();
    MainWindow window;
    WindowProbe probe(window);
    QTRY_COMPARE(probe.statusLabel()->text(),
        QStringLiteral("Cannot reach the server at 127.0.0.1:%1").arg(port));
    QVERIFY(probe.loginConnectionBar()->text().startsWith(QLatin1String("Offline")));
    QVERIFY(server.start(port));
    QTRY_COMPARE_WITH_TIMEOUT(probe.statusLabel()->text(), QStringLiteral("Connected."), 10000);
    QVERIFY(probe.loginButton()->isEnabled());
    QVERIFY(probe.loginConnectionBar()->text().isEmpty());
}

void TestReconnect::errorFrameShowsInBar()
{
    Session session;
    start(session);
    session.push(R"({"type":"error","message":"Message not found"})");
    QCOMPARE(session.probe->connectionBar()->text(), QStringLiteral("Message not found"));
}

void TestReconnect::throttledReloginWaitsAndTriesAgain_data()
{
    QTest::addColumn<bool>("tokenRefusedFirst");
    QTest::addColumn<QString>("retriedLogin");

    QTest::newRow("token login") << false << QStringLiteral("login_with_token");
    QTest::newRow("password after a refused token")
        << true << QStringLiteral("login_with_password");
}

void TestReconnect::throttledReloginWaitsAndTriesAgain()
{
    QFETCH(bool, tokenRefusedFirst);
    QFETCH(QString, retriedLogin);
    Session session;
    start(session);
    WindowProbe &probe = *session.probe;
    probe.messageInput()->setText(QStringLiteral("half a thought"));
    QVERIFY(dropAndReturn(session));
    if (tokenRefusedFirst) {
        session.server.takeFrames();
        session.push(R"({"type":"auth_failed","message":"Invalid token"})");
        QVERIFY(session.server.waitForFrames(1));
        QCOMPARE(session.server.frames.first().value(QLatin1String("type")).toString(),
            QStringLiteral("login_with_password"));
    }
    session.server.takeFrames();
    const int connections = session.server.connectionCount;
    session.server.send(
        json(R"({"type":"auth_failed","message":"Too many failed logins; try again in 1 s"})"));
    QTRY_COMPARE(probe.connectionBar()->text(),
        QStringLiteral("Too many failed logins. Logging in again in 1 s"));
    QVERIFY(!probe.connectionBar()->retryOffered());
    QCOMPARE(probe.stackedWidget()->currentWidget(), probe.chatPage());
    QCOMPARE(probe.passwordEdit()->text(), QStringLiteral("pw"));

    // Once the wait is over the same login goes out again, on a new connection.
    QVERIFY(session.server.waitForFrames(1, 5000));
    QCOMPARE(session.server.connectionCount, connections + 1);
    QCOMPARE(session.server.frames.first().value(QLatin1String("type")).toString(), retriedLogin);
    resume(session, numberedList(1, 3));
    QTRY_COMPARE(probe.connectionBar()->text(), QStringLiteral("Connected"));
    QCOMPARE(probe.currentChatId(), QStringLiteral("g1"));
    QCOMPARE(probe.messageInput()->text(), QStringLiteral("half a thought"));
}

void TestReconnect::refusedReloginEndsTheSession_data()
{
    QTest::addColumn<QString>("tokenAnswer");
    QTest::addColumn<bool>("passwordKept");

    QTest::newRow("token refused, no password to fall back on") << "auth_failed" << false;
    QTest::newRow("token unknown to the server, no password") << "error" << false;
    QTest::newRow("token refused, stored password refused") << "auth_failed" << true;
}

void TestReconnect::refusedReloginEndsTheSession()
{
    QFETCH(QString, tokenAnswer);
    QFETCH(bool, passwordKept);
    Session session;
    start(session);
    WindowProbe &probe = *session.probe;
    if (!passwordKept)
        probe.passwordEdit()->clear();
    const quint16 port = session.server.port();
    session.server.stop();
    QTRY_VERIFY(probe.connectionBar()->text().startsWith(QLatin1String("Offline")));
    probe.messageInput()->setText(QStringLiteral("typed while away"));
    QTest::mouseClick(probe.sendButton(), Qt::LeftButton);
    QVERIFY(session.server.start(port));
    QVERIFY(session.server.waitForFrames(1, 10000));
    session.server.takeFrames();
    session.push(QJsonObject { { QStringLiteral("type"), tokenAnswer },
        { QStringLiteral("message"), QStringLiteral("Invalid token") } });
    if (passwordKept) {
        QVERIFY(session.server.waitForFrames(1));
        QCOMPARE(session.server.takeFrames(),
            QList<QJsonObject> { json(R"({"type":"login_with_password","username":"alice",
                                          "password":"pw"})") });
        session.push(R"({"type":"auth_failed","message":"Invalid username or password"})");
    }

    QCOMPARE(probe.stackedWidget()->currentWidget(), probe.loginPage());
    QCOMPARE(probe.statusLabel()->text(),
        QStringLiteral("Your session has ended. Please log in again."));
    QCOMPARE(probe.usernameEdit()->text(), QStringLiteral("alice"));
    QVERIFY(probe.passwordEdit()->text().isEmpty());
    QVERIFY(probe.loginButton()->isEnabled());
    QVERIFY(probe.connectionBar()->text().isEmpty());
    QVERIFY(probe.loginConnectionBar()->text().isEmpty());
    // Nothing more goes out by itself: no login, no reconnect, and the queued message waits.
    QVERIFY(!QTest::qWaitFor([&session] { return !session.server.frames.isEmpty(); }, 500));
    QCOMPARE(session.server.connectionCount, 2);
    QListWidget *list = probe.messageListWidget();
    QCOMPARE(list->item(list->count() - 1)->data(StatusRole).toInt(), int(Sending));
    // The news stays in sight when a connection comes and goes meanwhile.
    session.server.client()->close();
    QTRY_VERIFY(probe.session().supervisor()->state() == ConnectionSupervisor::State::Idle);
    probe.session().start();
    QVERIFY(session.server.waitForClient());
    QTRY_VERIFY(probe.loginButton()->isEnabled());
    QCOMPARE(probe.statusLabel()->text(),
        QStringLiteral("Your session has ended. Please log in again."));

    // Logging in again as the same user picks up where the session left off.
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(history(numberedList(1, 3)));
    QTRY_COMPARE(texts(session.server.framesOfType(QStringLiteral("message"))),
        QStringList { QStringLiteral("typed while away") });
    QCOMPARE(probe.currentChatId(), QStringLiteral("g1"));
    QCOMPARE(rowIds(list).mid(0, 3), numberedIds(1, 3));
    QCOMPARE(list->count(), 4);
}

void TestReconnect::otherUserAfterEndedSessionStartsAfresh()
{
    Session session;
    start(session);
    WindowProbe &probe = *session.probe;
    probe.passwordEdit()->clear();
    const quint16 port = session.server.port();
    session.server.stop();
    QTRY_VERIFY(probe.connectionBar()->text().startsWith(QLatin1String("Offline")));
    probe.messageInput()->setText(QStringLiteral("alice's words"));
    QTest::mouseClick(probe.sendButton(), Qt::LeftButton);
    QVERIFY(session.server.start(port));
    QVERIFY(session.server.waitForFrames(1, 10000));
    session.push(R"({"type":"auth_failed","message":"Invalid token"})");
    QCOMPARE(probe.stackedWidget()->currentWidget(), probe.loginPage());

    QVERIFY(session.logIn(QStringLiteral("u2"), QStringLiteral("bob")));
    // Alice's chats, open chat and queued message are not bob's.
    QCOMPARE(probe.chatListWidget()->count(), 0);
    QCOMPARE(probe.messageListWidget()->count(), 0);
    QVERIFY(probe.currentChatId().isEmpty());
    QVERIFY(probe.store().pendingMessages().empty());
    session.push(history(numberedList(1, 3)));
    QCOMPARE(probe.chatListWidget()->count(), 1);
    QVERIFY(!sendsMessage(session));
}

QTEST_MAIN(TestReconnect)
#include "tst_reconnect.moc"
