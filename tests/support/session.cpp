#include "session.h"

#include <QApplication>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QListWidget>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QStringList chooseInNextMenu(
    const QString &choice, const std::function<void()> &open, bool closeFirst)
{
    QStringList offered;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        poll.stop();
        QAction *chosen = nullptr;
        for (QAction *action : menu->actions()) {
            offered << action->text();
            if (action->text() == choice)
                chosen = action;
        }
        if (closeFirst)
            menu->close();
        if (chosen)
            chosen->trigger();
        if (menu->isVisible())
            menu->close();
    });
    poll.start(10);
    open();
    return offered;
}

QStringList chooseInMenu(QListWidget *list, int row, const QString &choice)
{
    return chooseInNextMenu(choice, [list, row] {
        emit list->customContextMenuRequested(list->visualItemRect(list->item(row)).center());
    });
}

Session::Session()
{
    if (!server.start())
        return;
    window = std::make_unique<MainWindow>();
    probe = std::make_unique<WindowProbe>(*window);
    ok = server.waitForClient() && QTest::qWaitFor([this] {
        return probe->loginButton()->isEnabled()
            && probe->statusLabel()->text() != QLatin1String("Connecting to server...");
    });
}

Session::~Session() = default;

bool Session::logIn(const QString &userId, const QString &username)
{
    const QString name = username.isEmpty() ? userId : username;
    probe->usernameEdit()->setText(name);
    probe->passwordEdit()->setText(QStringLiteral("pw"));
    QTest::mouseClick(probe->loginButton(), Qt::LeftButton);
    if (!server.waitForFrames(1))
        return false;
    QJsonObject user { { QStringLiteral("userId"), userId },
        { QStringLiteral("username"), name },
        { QStringLiteral("avatarUrl"), QString() } };
    push(QJsonObject { { QStringLiteral("type"), QStringLiteral("login_success") },
        { QStringLiteral("user"), user },
        { QStringLiteral("token"), QStringLiteral("t") } });
    server.takeFrames();
    return probe->stackedWidget()->currentWidget() == probe->chatPage();
}

void Session::push(const QJsonObject &frame)
{
    // The marker is a seen receipt for a chat nobody has, which the window ignores; once the
    // client has emitted it, every frame before it has been handled.
    QSignalSpy handled(probe->client(), &WebSocketClient::messageSeenUpdate);
    server.send(frame);
    server.send(QJsonObject { { QStringLiteral("type"), QStringLiteral("message_seen_update") },
        { QStringLiteral("chatId"), QStringLiteral("sync marker") },
        { QStringLiteral("messageId"), QStringLiteral("sync") },
        { QStringLiteral("userId"), QStringLiteral("sync") } });
    handled.wait(5000);
    // Work the window defers to the end of the event-loop turn (the chat list's reordering)
    // is done too.
    QCoreApplication::sendPostedEvents();
}

void Session::push(const char *text)
{
    push(json(text));
}
