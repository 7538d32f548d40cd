// Opening a search result far back in a chat of 10 000 messages: the time from Return on the
// result until the message is outlined, in the real window against an in-process fake server
// on loopback (which answers the page around the message at once). Two cases: every message of
// the chat already held (the window grows up to it), and only the newest page held (the page
// around it is asked for and shown).
//
//   QT_QPA_PLATFORM=offscreen build/ferrow-searchopenbench [--runs N]
#include "app/settings.h"
#include "session.h"
#include "view/messagedelegate.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTextStream>
#include <QtTest>
#include <algorithm>

namespace
{

constexpr int chatLength = 10000;

QJsonObject message(int i)
{
    return { { QStringLiteral("messageId"), QStringLiteral("m%1").arg(i) },
        { QStringLiteral("chatId"), QStringLiteral("c1") },
        { QStringLiteral("senderId"), i % 2 ? QStringLiteral("u1") : QStringLiteral("u2") },
        { QStringLiteral("timestamp"), 1600000000 + i },
        { QStringLiteral("content"),
            QJsonObject { { QStringLiteral("text"),
                QStringLiteral("message number %1 of a long chat").arg(i) } } } };
}

// Milliseconds from Return on the result of message 5 until it is outlined.
double openFarResult(bool allHeld)
{
    Session session;
    session.logIn(QStringLiteral("u1"), QStringLiteral("alice"));
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
            {"userId":"u2","username":"bob"}]})");
    QJsonArray held;
    for (int i = allHeld ? 0 : chatLength - 50; i < chatLength; ++i)
        held.append(message(i));
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("chats"),
            QJsonArray { QJsonObject { { QStringLiteral("chatId"), QStringLiteral("c1") },
                { QStringLiteral("chatName"), QStringLiteral("Team") },
                { QStringLiteral("members"),
                    QJsonArray { QStringLiteral("u1"), QStringLiteral("u2") } },
                { QStringLiteral("messages"), held } } } } });
    session.window->resize(1000, 700);
    session.window->show();
    if (!QTest::qWaitForWindowExposed(session.window.get()))
        return -1;
    QListWidget *chats = session.probe->chatListWidget();
    emit chats->itemClicked(chats->item(0));
    QTest::keyClick(
        session.probe->messageInput(), Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    auto *field = session.window->findChild<QLineEdit *>(QStringLiteral("searchField"));
    auto *results = session.window->findChild<QListWidget *>(QStringLiteral("searchResults"));
    field->setText(QStringLiteral("number"));
    session.server.takeFrames();
    QTest::keyClick(field, Qt::Key_Return);
    // Receipts of the opened chat may come first.
    for (int i = 0; i < 50 && session.server.framesOfType(QStringLiteral("search")).isEmpty(); ++i)
        session.server.waitForFrames(session.server.frames.size() + 1, 200);
    const QJsonObject search = session.server.framesOfType(QStringLiteral("search")).value(0);
    session.server.takeFrames();
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("search_results") },
        { QStringLiteral("requestId"), search.value(QLatin1String("requestId")) },
        { QStringLiteral("results"), QJsonArray { message(5) } },
        { QStringLiteral("next"), QJsonValue::Null } });
    results->setCurrentRow(0);
    results->setFocus();

    // The fake server answers the page around the message as soon as it is asked for.
    QObject::connect(&session.server,
        &TestServer::frameReceived,
        &session.server,
        [&session](const QJsonObject &frame) {
            if (frame.value(QLatin1String("type")).toString() != QLatin1String("get_history"))
                return;
            QJsonArray page;
            for (int i = 0; i <= 30; ++i)
                page.append(message(i));
            session.server.send(QJsonObject {
                { QStringLiteral("type"), QStringLiteral("chat_history") },
                { QStringLiteral("requestId"), frame.value(QLatin1String("requestId")) },
                { QStringLiteral("chats"),
                    QJsonArray { QJsonObject { { QStringLiteral("chatId"), QStringLiteral("c1") },
                        { QStringLiteral("messages"), page } } } } });
        });
    auto *delegate =
        static_cast<MessageDelegate *>(session.probe->messageListWidget()->itemDelegate());
    QElapsedTimer timer;
    timer.start();
    QTest::keyClick(results, Qt::Key_Return);
    while (delegate->highlightedMessageId() != QLatin1String("m5") && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    // Until the outlined row has been painted too.
    session.probe->messageListWidget()->viewport()->repaint();
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const QStringList arguments = app.arguments();
    const int at = arguments.indexOf(QStringLiteral("--runs"));
    const int runs = at >= 0 ? arguments.value(at + 1).toInt() : 7;
    QTextStream out(stdout);
    for (const bool allHeld : { true, false }) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) {
            AppSettings().clear();
            times.push_back(openFarResult(allHeld));
        }
        std::sort(times.begin(), times.end());
        out << (allHeld ? "all 10 000 held" : "newest 50 held, page around asked for")
            << ": median " << times[times.size() / 2] << " ms, min " << times.front() << " ms, max "
            << times.back() << " ms (" << runs << " runs)\n";
        out.flush();
    }
    return 0;
}
