#include "app/settings.h"
#include "model/itemroles.h"
#include "model/searchsnippet.h"
#include "session/messagesearch.h"
#include "support/session.h"
#include "view/messagedelegate.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTabWidget>
#include <QtTest>

namespace
{

QJsonObject message(const QString &id, qint64 timestamp, const QString &text)
{
    return { { QStringLiteral("messageId"), id },
        { QStringLiteral("chatId"), QStringLiteral("c1") },
        { QStringLiteral("senderId"), QStringLiteral("u2") },
        { QStringLiteral("timestamp"), timestamp },
        { QStringLiteral("content"), QJsonObject { { QStringLiteral("text"), text } } } };
}

} // namespace

class TestSearchWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void snippetBoldsMatchedWords_data();
    void snippetBoldsMatchedWords();
    void typingSendsOneSearchAndShowsOnlyItsAnswer();
    void resultsOpenWithTheKeyboardAndEscapeRestoresTheList();
    void aroundAnswerWithoutTheMessageSaysSo();
    void farHeldMessageOpensAmongItsNeighbours_data();
    void farHeldMessageOpensAmongItsNeighbours();
    void searchPendingOverAReconnectIsAskedAgain_data();
    void searchPendingOverAReconnectIsAskedAgain();

private:
    // Logs in as alice (u1) with chat c1 holding messages `first` to 149 (ids n100..n149 by
    // default), stamped 5000 + their number.
    void logIn(Session &session, int first = 100);
    QLineEdit *field(Session &session) const;
    QListWidget *results(Session &session) const;
    QJsonObject nextFrame(Session &session, const QString &type);
};

void TestSearchWindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestSearchWindow::init()
{
    AppSettings().clear();
}

void TestSearchWindow::logIn(Session &session, int first)
{
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob"}]})");
    QJsonArray held;
    for (int i = first; i < 150; ++i)
        held.append(
            message(QStringLiteral("n%1").arg(i), 5000 + i, QStringLiteral("new %1").arg(i)));
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("chats"),
            QJsonArray { QJsonObject { { QStringLiteral("chatId"), QStringLiteral("c1") },
                { QStringLiteral("chatName"), QStringLiteral("Team") },
                { QStringLiteral("members"),
                    QJsonArray { QStringLiteral("u1"), QStringLiteral("u2") } },
                { QStringLiteral("messages"), held } } } } });
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    session.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(session.window.get()));
    session.server.takeFrames();
}

QLineEdit *TestSearchWindow::field(Session &session) const
{
    return session.window->findChild<QLineEdit *>(QStringLiteral("searchField"));
}

QListWidget *TestSearchWindow::results(Session &session) const
{
    return session.window->findChild<QListWidget *>(QStringLiteral("searchResults"));
}

QJsonObject TestSearchWindow::nextFrame(Session &session, const QString &type)
{
    // Other frames (receipts) may come first.
    for (int i = 0; i < 10 && session.server.framesOfType(type).isEmpty(); ++i)
        session.server.waitForFrames(session.server.frames.size() + 1);
    const QList<QJsonObject> frames = session.server.framesOfType(type);
    session.server.takeFrames();
    return frames.size() == 1 ? frames.first() : QJsonObject();
}

void TestSearchWindow::snippetBoldsMatchedWords_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("html");

    QTest::newRow("a word and a prefix") << "Deploy the deployment"
                                         << "deplo"
                                         << "<b>Deploy</b> the <b>deployment</b>";
    QTest::newRow("diacritics and case") << "Un café CRÈME"
                                         << "cafe creme"
                                         << "Un <b>café</b> <b>CRÈME</b>";
    QTest::newRow("markup is escaped, not read") << "<i>x</i> & y"
                                                 << "y"
                                                 << "&lt;i&gt;x&lt;/i&gt; &amp; <b>y</b>";
    QTest::newRow("only word starts match") << "redeploy"
                                            << "deploy"
                                            << "redeploy";
    QTest::newRow("a long text is cut around the match")
        << (QString(60, QLatin1Char('a')) + QStringLiteral(" b c d target e ")
               + QString(200, QLatin1Char('z')))
        << "target"
        << (QStringLiteral("…b c d <b>target</b> e ") + QString(75, QLatin1Char('z'))
               + QStringLiteral("…"));
}

void TestSearchWindow::snippetBoldsMatchedWords()
{
    QFETCH(QString, text);
    QFETCH(QString, query);
    QFETCH(QString, html);
    QCOMPARE(searchSnippet(text, searchWords(query), 90), html);
}

void TestSearchWindow::typingSendsOneSearchAndShowsOnlyItsAnswer()
{
    Session session;
    logIn(session);
    QListWidget *chats = session.probe->chatListWidget();
    emit chats->itemClicked(chats->item(0));
    QTest::keyClick(
        session.probe->messageInput(), Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(field(session)->hasFocus());
    QVERIFY(field(session)->isVisible());
    QVERIFY(!session.probe->sidebarTabs()->isVisible());
    session.server.takeFrames();

    QTest::keyClicks(field(session), QStringLiteral("deplo"));
    const QJsonObject first = nextFrame(session, QStringLiteral("search"));
    QCOMPARE(first.value(QLatin1String("query")).toString(), QStringLiteral("deplo"));
    QCOMPARE(first.value(QLatin1String("chatId")), QJsonValue(QJsonValue::Null));
    QCOMPARE(first.value(QLatin1String("before")), QJsonValue(QJsonValue::Null));
    // Narrowed to the open chat: a new request, whose answer alone counts.
    session.window->findChild<QCheckBox *>(QStringLiteral("inThisChat"))->setChecked(true);
    const QJsonObject narrowed = nextFrame(session, QStringLiteral("search"));
    QCOMPARE(narrowed.value(QLatin1String("chatId")).toString(), QStringLiteral("c1"));
    QVERIFY(narrowed.value(QLatin1String("requestId")) != first.value(QLatin1String("requestId")));

    const QJsonObject stale { { QStringLiteral("type"), QStringLiteral("search_results") },
        { QStringLiteral("requestId"), first.value(QLatin1String("requestId")) },
        { QStringLiteral("results"),
            QJsonArray { message(QStringLiteral("old"), 10, QStringLiteral("deploy")) } },
        { QStringLiteral("next"), QJsonValue::Null } };
    session.push(stale);
    QCOMPARE(results(session)->count(), 0);

    QJsonObject foreign = message(QStringLiteral("x1"), 20, QStringLiteral("deploy"));
    foreign.insert(QStringLiteral("chatId"), QStringLiteral("unknown chat"));
    QJsonObject answer = stale;
    answer.insert(QStringLiteral("requestId"), narrowed.value(QLatin1String("requestId")));
    answer.insert(QStringLiteral("results"),
        QJsonArray { message(QStringLiteral("m7"), 1700000000, QStringLiteral("we deployed it")),
            foreign,
            QStringLiteral("not a message") });
    session.push(answer);
    QCOMPARE(results(session)->count(), 1);
    const QListWidgetItem *row = results(session)->item(0);
    QCOMPARE(row->data(Qt::DisplayRole).toString(), QStringLiteral("Team"));
    QCOMPARE(row->data(SenderNameRole).toString(), QStringLiteral("bob"));
    QCOMPARE(row->data(TextRole).toString(), QStringLiteral("we <b>deployed</b> it"));
    auto *status = session.window->findChild<QLabel *>(QStringLiteral("searchStatus"));
    QVERIFY(!status->isVisible());

    field(session)->setText(QStringLiteral("zebra"));
    const QJsonObject none = nextFrame(session, QStringLiteral("search"));
    answer.insert(QStringLiteral("requestId"), none.value(QLatin1String("requestId")));
    answer.insert(QStringLiteral("results"), QJsonArray());
    session.push(answer);
    QVERIFY(status->isVisible());
    QCOMPARE(status->text(), QStringLiteral("No messages found"));
}

void TestSearchWindow::resultsOpenWithTheKeyboardAndEscapeRestoresTheList()
{
    Session session;
    logIn(session);
    QListWidget *chats = session.probe->chatListWidget();
    chats->setCurrentRow(0);
    QTest::mouseClick(
        session.window->findChild<QPushButton *>(QStringLiteral("searchButton")), Qt::LeftButton);
    QTest::keyClicks(field(session), QStringLiteral("old"));
    const QJsonObject search = nextFrame(session, QStringLiteral("search"));
    QJsonArray found;
    found.append(message(QStringLiteral("n120"), 5120, QStringLiteral("old held")));
    found.append(message(QStringLiteral("o5"), 1005, QStringLiteral("old far")));
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("search_results") },
        { QStringLiteral("requestId"), search.value(QLatin1String("requestId")) },
        { QStringLiteral("results"), found },
        { QStringLiteral("next"), QJsonValue::Null } });

    // Down into the list, Down to the second result, Return: its chat opens around it.
    QTest::keyClick(field(session), Qt::Key_Down);
    QTest::keyClick(results(session), Qt::Key_Down);
    QCOMPARE(results(session)->currentRow(), 1);
    QTest::keyClick(results(session), Qt::Key_Return);
    const QJsonObject around = nextFrame(session, QStringLiteral("get_history"));
    QCOMPARE(around.value(QLatin1String("chatId")).toString(), QStringLiteral("c1"));
    QCOMPARE(around.value(QLatin1String("around")).toString(), QStringLiteral("o5"));
    QVERIFY(!around.contains(QLatin1String("before")));
    QJsonArray page;
    for (int i = 0; i < 51; ++i)
        page.append(
            message(QStringLiteral("o%1").arg(i), 1000 + i, QStringLiteral("far %1").arg(i)));
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("requestId"), around.value(QLatin1String("requestId")) },
        { QStringLiteral("chats"),
            QJsonArray { QJsonObject { { QStringLiteral("chatId"), QStringLiteral("c1") },
                { QStringLiteral("messages"), page } } } } });
    QListWidget *timeline = session.probe->messageListWidget();
    QCOMPARE(timeline->count(), 51);
    QCOMPARE(timeline->item(0)->data(MessageIdRole).toString(), QStringLiteral("o0"));
    QCOMPARE(static_cast<MessageDelegate *>(timeline->itemDelegate())->highlightedMessageId(),
        QStringLiteral("o5"));
    auto *jump = session.window->findChild<QPushButton *>(QStringLiteral("jumpToLatest"));
    QVERIFY(jump->isVisible());
    QVERIFY(results(session)->hasFocus());

    // Up to a result that is held: the stretch gives way to the held messages.
    QTest::keyClick(results(session), Qt::Key_Up);
    QTest::keyClick(results(session), Qt::Key_Return);
    QCOMPARE(static_cast<MessageDelegate *>(timeline->itemDelegate())->highlightedMessageId(),
        QStringLiteral("n120"));
    QCOMPARE(timeline->item(timeline->count() - 1)->data(MessageIdRole).toString(),
        QStringLiteral("n149"));

    QTest::keyClick(results(session), Qt::Key_Escape);
    QVERIFY(!field(session)->isVisible());
    QVERIFY(session.probe->sidebarTabs()->isVisible());
    QCOMPARE(session.probe->sidebarTabs()->currentWidget(), chats);
    QCOMPARE(chats->count(), 1);
}

void TestSearchWindow::aroundAnswerWithoutTheMessageSaysSo()
{
    Session session;
    logIn(session);
    QListWidget *chats = session.probe->chatListWidget();
    emit chats->itemClicked(chats->item(0));
    session.server.takeFrames();
    // A reply quote of a message not held asks for the page around it.
    session.window->focusOnMessage(QStringLiteral("gone"));
    const QJsonObject around = nextFrame(session, QStringLiteral("get_history"));
    QCOMPARE(around.value(QLatin1String("around")).toString(), QStringLiteral("gone"));
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("requestId"), around.value(QLatin1String("requestId")) },
        { QStringLiteral("chats"),
            QJsonArray { QJsonObject { { QStringLiteral("chatId"), QStringLiteral("c1") },
                { QStringLiteral("messages"),
                    QJsonArray {
                        message(QStringLiteral("o1"), 10, QStringLiteral("other")) } } } } } });
    auto *notice = session.window->findChild<QLabel *>(QStringLiteral("timelineNotice"));
    QVERIFY(notice->isVisible());
    QCOMPARE(notice->text(), QStringLiteral("This message is no longer available"));
    // The newest messages stay as they were.
    QListWidget *timeline = session.probe->messageListWidget();
    QCOMPARE(timeline->count(), 50);
    QCOMPARE(timeline->item(49)->data(MessageIdRole).toString(), QStringLiteral("n149"));
}

void TestSearchWindow::farHeldMessageOpensAmongItsNeighbours_data()
{
    QTest::addColumn<bool>("jump");
    QTest::newRow("scrolling down reaches the newest") << false;
    QTest::newRow("Jump to latest") << true;
}

void TestSearchWindow::farHeldMessageOpensAmongItsNeighbours()
{
    QFETCH(bool, jump);
    Session session;
    logIn(session, -900);
    QListWidget *chats = session.probe->chatListWidget();
    emit chats->itemClicked(chats->item(0));
    QListWidget *timeline = session.probe->messageListWidget();
    session.window->focusOnMessage(QStringLiteral("n-800"));
    QCOMPARE(static_cast<MessageDelegate *>(timeline->itemDelegate())->highlightedMessageId(),
        QStringLiteral("n-800"));
    QVERIFY(timeline->count() < 200);
    auto *button = session.window->findChild<QPushButton *>(QStringLiteral("jumpToLatest"));
    QVERIFY(button->isVisible());
    // A new message waits below until the newest messages are shown.
    session.push(R"({"type":"message","messageId":"n150","chatId":"c1","senderId":"u2",
            "timestamp":5150,"content":{"text":"newest"}})");
    if (jump) {
        QTest::mouseClick(button, Qt::LeftButton);
    } else {
        QScrollBar *bar = timeline->verticalScrollBar();
        for (int i = 0; i < 20
             && timeline->item(timeline->count() - 1)->data(MessageIdRole) != QLatin1String("n150");
             ++i) {
            // The rows added are laid out before the next scroll, as between a user's two.
            QCoreApplication::processEvents();
            bar->setValue(bar->maximum());
        }
    }
    // Every message from the first row on, once each, in order.
    const int first = timeline->item(0)->data(MessageIdRole).toString().mid(1).toInt();
    QVERIFY(first <= (jump ? 51 : -825));
    QCOMPARE(timeline->count(), 151 - first);
    for (int row = 0; row < timeline->count(); ++row)
        QCOMPARE(timeline->item(row)->data(MessageIdRole).toString(),
            QStringLiteral("n%1").arg(first + row));
}

void TestSearchWindow::searchPendingOverAReconnectIsAskedAgain_data()
{
    QTest::addColumn<bool>("sentBeforeTheDrop");
    QTest::newRow("the answer was pending") << true;
    QTest::newRow("searched while offline") << false;
}

void TestSearchWindow::searchPendingOverAReconnectIsAskedAgain()
{
    QFETCH(bool, sentBeforeTheDrop);
    Session session;
    logIn(session);
    QTest::keyClick(
        session.probe->messageInput(), Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    if (sentBeforeTheDrop) {
        field(session)->setText(QStringLiteral("deplo"));
        QVERIFY(!nextFrame(session, QStringLiteral("search")).isEmpty());
    }
    const quint16 port = session.server.port();
    session.server.stop();
    QTRY_VERIFY(session.probe->connectionBar()->text().startsWith(QLatin1String("Offline")));
    if (!sentBeforeTheDrop) {
        field(session)->setText(QStringLiteral("deplo"));
        session.probe->session().search()->searchNow();
    }
    session.server.takeFrames();
    QVERIFY(session.server.start(port));
    QVERIFY(session.server.waitForFrames(1, 10000));
    session.server.takeFrames();
    session.push(R"({"type":"login_success","user":{"userId":"u1","username":"alice"},
                     "token":"t"})");
    const QJsonObject again = nextFrame(session, QStringLiteral("search"));
    QCOMPARE(again.value(QLatin1String("query")).toString(), QStringLiteral("deplo"));
    QCOMPARE(again.value(QLatin1String("before")), QJsonValue(QJsonValue::Null));
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("search_results") },
        { QStringLiteral("requestId"), again.value(QLatin1String("requestId")) },
        { QStringLiteral("results"),
            QJsonArray { message(QStringLiteral("n120"), 5120, QStringLiteral("deployed")) } },
        { QStringLiteral("next"), QJsonValue::Null } });
    QCOMPARE(results(session)->count(), 1);
}

QTEST_MAIN(TestSearchWindow)
#include "tst_searchwindow.moc"
