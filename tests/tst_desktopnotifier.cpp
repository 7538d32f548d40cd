#include "app/desktopnotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QtTest>

namespace
{

const QString serviceName = QStringLiteral("org.freedesktop.Notifications");
const QString objectPath = QStringLiteral("/org/freedesktop/Notifications");

bool withoutBus()
{
    return qEnvironmentVariable("FERROW_TEST_BUS") == QLatin1String("none");
}

} // namespace

// A notification service of the test's own, on a connection of its own to the private bus.
class FakeNotifications : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QList<QVariantList> calls;
    QList<QVariantList> launcherUpdates;
    uint lastId = 41;
    bool refuse = false;

public slots:
    uint Notify(const QString &appName,
        uint replacesId,
        const QString &appIcon,
        const QString &summary,
        const QString &body,
        const QStringList &actions,
        const QVariantMap &hints,
        int timeout)
    {
        calls.append({ QStringLiteral("Notify"),
            appName,
            replacesId,
            appIcon,
            summary,
            body,
            actions,
            hints,
            timeout });
        if (refuse) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("refused"));
            return 0;
        }
        return replacesId ? replacesId : ++lastId;
    }
    void CloseNotification(uint id)
    {
        calls.append({ QStringLiteral("CloseNotification"), id });
    }
    void onLauncherUpdate(const QString &app, const QVariantMap &properties)
    {
        launcherUpdates.append({ app, properties });
    }
};

class TestDesktopNotifier : public QObject
{
    Q_OBJECT

private slots:
    void notifiesThroughTheService();
    void fallsBackWhenRefusedOrAbsent();

private:
    QDBusConnection fakeBus();
};

QDBusConnection TestDesktopNotifier::fakeBus()
{
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake"));
}

void TestDesktopNotifier::notifiesThroughTheService()
{
    if (withoutBus())
        QSKIP("needs the private session bus");
    DesktopNotifier notifier;
    QVERIFY(!notifier.isAvailable());
    FakeNotifications fake;
    QDBusConnection bus = fakeBus();
    QVERIFY(bus.isConnected());
    QVERIFY(bus.registerObject(objectPath, &fake, QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(serviceName));
    QVERIFY(bus.connect(QString(),
        QString(),
        QStringLiteral("com.canonical.Unity.LauncherEntry"),
        QStringLiteral("Update"),
        &fake,
        SLOT(onLauncherUpdate(QString, QVariantMap))));
    QTRY_VERIFY(notifier.isAvailable());

    const QString longText = QString(250, QLatin1Char('x'));
    notifier.notify(QStringLiteral("g1"), QStringLiteral("bob"), longText);
    // A second one for the same chat while the first is unanswered replaces it once it is.
    notifier.notify(QStringLiteral("g1"), QStringLiteral("bob"), QStringLiteral("again"));
    notifier.notify(QStringLiteral("g2"), QStringLiteral("carol"), QStringLiteral("hi"));
    QTRY_COMPARE(fake.calls.size(), 3);
    const QVariantMap hints { { QStringLiteral("desktop-entry"),
        QStringLiteral("org.ferrow.Desktop") } };
    const QStringList actions { QStringLiteral("default"), QStringLiteral("Open") };
    const auto notify = [&](uint replaces, const QString &summary, const QString &body) {
        return QVariantList { QStringLiteral("Notify"),
            QStringLiteral("Ferrow Desktop"),
            replaces,
            QStringLiteral("org.ferrow.Desktop"),
            summary,
            body,
            actions,
            hints,
            -1 };
    };
    const QString elided = QString(199, QLatin1Char('x')) + QChar(0x2026);
    QCOMPARE(fake.calls.at(0), notify(0, QStringLiteral("bob"), elided));
    QCOMPARE(fake.calls.at(1), notify(0, QStringLiteral("carol"), QStringLiteral("hi")));
    QCOMPARE(fake.calls.at(2), notify(42, QStringLiteral("bob"), QStringLiteral("again")));

    QSignalSpy activated(&notifier, &DesktopNotifier::activated);
    const auto invoke = [&bus](uint id, const QString &action) {
        QDBusMessage signal =
            QDBusMessage::createSignal(objectPath, serviceName, QStringLiteral("ActionInvoked"));
        signal << id << action;
        bus.send(signal);
    };
    invoke(43, QStringLiteral("other"));
    invoke(99, QStringLiteral("default"));
    invoke(43, QStringLiteral("default"));
    QVERIFY(activated.wait());
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.at(0).at(0).toString(), QStringLiteral("g2"));

    // Opening the chat closes its notification; a chat without one closes nothing.
    notifier.close(QStringLiteral("g1"));
    notifier.close(QStringLiteral("g3"));
    QTRY_COMPARE(fake.calls.size(), 4);
    QCOMPARE(fake.calls.at(3), (QVariantList { QStringLiteral("CloseNotification"), 42u }));

    notifier.setLauncherCount(5);
    notifier.setLauncherCount(0);
    QTRY_COMPARE(fake.launcherUpdates.size(), 2);
    const QString app = QStringLiteral("application://org.ferrow.Desktop.desktop");
    QCOMPARE(fake.launcherUpdates.at(0),
        (QVariantList { app,
            QVariantMap { { QStringLiteral("count"), qint64(5) },
                { QStringLiteral("count-visible"), true } } }));
    QCOMPARE(fake.launcherUpdates.at(1),
        (QVariantList { app,
            QVariantMap { { QStringLiteral("count"), qint64(0) },
                { QStringLiteral("count-visible"), false } } }));

    QVERIFY(bus.unregisterService(serviceName));
    QTRY_VERIFY(!notifier.isAvailable());
    QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
}

void TestDesktopNotifier::fallsBackWhenRefusedOrAbsent()
{
    DesktopNotifier notifier;
    QSignalSpy failed(&notifier, &DesktopNotifier::failed);
    FakeNotifications fake;
    if (!withoutBus()) {
        fake.refuse = true;
        QDBusConnection bus = fakeBus();
        QVERIFY(bus.registerObject(objectPath, &fake, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(serviceName));
        QTRY_VERIFY(notifier.isAvailable());
    }
    notifier.notify(QStringLiteral("g1"), QStringLiteral("bob"), QStringLiteral("hello"));
    QVERIFY(failed.count() == 1 || failed.wait());
    QCOMPARE(failed.at(0),
        (QVariantList { QStringLiteral("g1"), QStringLiteral("bob"), QStringLiteral("hello") }));
    // Nothing is held for it: the next one is new again.
    if (!withoutBus()) {
        fake.refuse = false;
        notifier.notify(QStringLiteral("g1"), QStringLiteral("bob"), QStringLiteral("again"));
        QTRY_COMPARE(fake.calls.size(), 2);
        QCOMPARE(fake.calls.at(1).at(2).toUInt(), 0u);
        QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
    }
    notifier.setLauncherCount(3);
}

QTEST_GUILESS_MAIN(TestDesktopNotifier)
#include "tst_desktopnotifier.moc"
