#include "app/notification.h"

#include <QtTest>

class TestNotification : public QObject
{
    Q_OBJECT

private slots:
    void decides_data();
    void decides();
};

void TestNotification::decides_data()
{
    QTest::addColumn<QString>("senderId");
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("trayVisible");
    QTest::addColumn<bool>("inFront");
    QTest::addColumn<bool>("chatKnown");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("alerts");

    const QString bob = QStringLiteral("bob");
    const QString me = QStringLiteral("me");
    const QString team = QStringLiteral("Team");
    const QString newMessage = QStringLiteral("New message");
    const QString hundred(100, QLatin1Char('a'));

    QTest::newRow("message from another user")
        << bob << QStringLiteral("  hi  ") << true << true << false << true << true << team
        << QStringLiteral("hi") << true;
    QTest::newRow("own message never notifies")
        << me << QStringLiteral("hi") << true << true << false << true << false << QString()
        << QString() << false;
    QTest::newRow("notifications off") << bob << QStringLiteral("hi") << false << true << false
                                       << true << false << QString() << QString() << false;
    QTest::newRow("no visible tray") << bob << QStringLiteral("hi") << true << false << false
                                     << true << false << QString() << QString() << true;
    QTest::newRow("window in front") << bob << QStringLiteral("hi") << true << true << true << true
                                     << false << QString() << QString() << false;
    QTest::newRow("unknown chat") << bob << QStringLiteral("hi") << true << true << false << false
                                  << true << newMessage << QStringLiteral("hi") << true;
    QTest::newRow("only spaces") << bob << QStringLiteral("    ") << true << true << false << true
                                 << true << team << newMessage << true;
    QTest::newRow("100 characters shown whole")
        << bob << hundred << true << true << false << true << true << team << hundred << true;
    QTest::newRow("101 characters cut to 100")
        << bob << (hundred + QLatin1Char('b')) << true << true << false << true << true << team
        << (QString(97, QLatin1Char('a')) + QStringLiteral("...")) << true;
}

void TestNotification::decides()
{
    QFETCH(QString, senderId);
    QFETCH(QString, content);
    QFETCH(bool, enabled);
    QFETCH(bool, trayVisible);
    QFETCH(bool, inFront);
    QFETCH(bool, chatKnown);
    QFETCH(bool, shown);

    Message msg;
    msg.chatId = QStringLiteral("c1");
    msg.senderId = senderId;
    msg.content = content;
    NotificationContext context;
    context.enabled = enabled;
    context.trayVisible = trayVisible;
    context.windowInFront = inFront;
    context.currentUserId = QStringLiteral("me");
    if (chatKnown)
        context.chatName = QStringLiteral("Team");

    const std::optional<TrayNotification> notification = notificationFor(msg, context);
    QCOMPARE(notification.has_value(), shown);
    if (shown) {
        QTEST(notification->title, "title");
        QTEST(notification->text, "text");
        QVERIFY(notification->text.size() <= 100);
    }
    // The taskbar hint comes with every balloon, and without a tray too.
    QTEST(wantsAttention(msg, context), "alerts");
}

QTEST_APPLESS_MAIN(TestNotification)
#include "tst_notification.moc"
