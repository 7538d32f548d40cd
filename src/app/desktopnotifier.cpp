#include "desktopnotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>

namespace
{

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");

QString elided(const QString &text, int length)
{
    if (text.size() <= length)
        return text;
    return text.left(length - 1) + QChar(0x2026);
}

} // namespace

DesktopNotifier::DesktopNotifier(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    watcher = new QDBusServiceWatcher(service,
        bus,
        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
        this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { available = true; });
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        available = false;
        shown.clear();
        chatOfId.clear();
    });
    bus.connect(service,
        path,
        interface,
        QStringLiteral("ActionInvoked"),
        this,
        SLOT(onActionInvoked(uint, QString)));
    bus.connect(service,
        path,
        interface,
        QStringLiteral("NotificationClosed"),
        this,
        SLOT(onNotificationClosed(uint, uint)));
    // Whether it is there already, asked without waiting.
    const QDBusMessage ask = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
        QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"),
        QStringLiteral("NameHasOwner"));
    auto *call = new QDBusPendingCallWatcher(bus.asyncCall(QDBusMessage(ask) << service), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *c) {
        const QDBusPendingReply<bool> reply = *c;
        if (!reply.isError() && reply.value())
            available = true;
        c->deleteLater();
    });
}

DesktopNotifier::~DesktopNotifier() = default;

bool DesktopNotifier::isAvailable() const
{
    return available;
}

void DesktopNotifier::notify(const QString &chatId, const QString &summary, const QString &body)
{
    if (!QDBusConnection::sessionBus().isConnected()) {
        emit failed(chatId, summary, body);
        return;
    }
    Shown &entry = shown[chatId];
    entry.closeWhenKnown = false;
    if (entry.pending) {
        entry.hasNext = true;
        entry.nextSummary = summary;
        entry.nextBody = body;
        return;
    }
    send(chatId, summary, body);
}

void DesktopNotifier::send(const QString &chatId, const QString &summary, const QString &body)
{
    Shown &entry = shown[chatId];
    entry.pending = true;
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    const QVariantMap hints { { QStringLiteral("desktop-entry"),
        QStringLiteral("org.ferrow.Desktop") } };
    call << QStringLiteral("Ferrow Desktop") << entry.id << QStringLiteral("org.ferrow.Desktop")
         << summary << elided(body, maxBodyLength)
         << QStringList { QStringLiteral("default"), QStringLiteral("Open") } << hints << -1;
    auto *watch = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watch,
        &QDBusPendingCallWatcher::finished,
        this,
        [this, chatId, summary, body](
            QDBusPendingCallWatcher *c) { onNotifyAnswered(c, chatId, summary, body); });
}

void DesktopNotifier::onNotifyAnswered(QDBusPendingCallWatcher *call,
    const QString &chatId,
    const QString &summary,
    const QString &body)
{
    call->deleteLater();
    const QDBusPendingReply<uint> reply = *call;
    const auto entry = shown.find(chatId);
    if (entry == shown.end())
        return;
    entry->pending = false;
    if (reply.isError()) {
        shown.erase(entry);
        emit failed(chatId, summary, body);
        return;
    }
    if (entry->id != reply.value())
        chatOfId.remove(entry->id);
    entry->id = reply.value();
    chatOfId.insert(entry->id, chatId);
    if (entry->closeWhenKnown) {
        close(chatId);
        return;
    }
    if (std::exchange(entry->hasNext, false))
        send(chatId, entry->nextSummary, entry->nextBody);
}

void DesktopNotifier::close(const QString &chatId)
{
    const auto entry = shown.find(chatId);
    if (entry == shown.end())
        return;
    if (entry->pending) {
        entry->closeWhenKnown = true;
        entry->hasNext = false;
        return;
    }
    const uint id = entry->id;
    shown.erase(entry);
    chatOfId.remove(id);
    closeId(id);
}

void DesktopNotifier::closeId(uint id)
{
    if (id == 0)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, path, interface, QStringLiteral("CloseNotification"));
    call << id;
    QDBusConnection::sessionBus().asyncCall(call);
}

void DesktopNotifier::setLauncherCount(int count)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage update = QDBusMessage::createSignal(QStringLiteral("/org/ferrow/Desktop"),
        QStringLiteral("com.canonical.Unity.LauncherEntry"),
        QStringLiteral("Update"));
    const QVariantMap properties { { QStringLiteral("count"), qint64(count) },
        { QStringLiteral("count-visible"), count > 0 } };
    update << QStringLiteral("application://org.ferrow.Desktop.desktop") << properties;
    bus.send(update);
}

void DesktopNotifier::onActionInvoked(uint id, const QString &actionKey)
{
    const QString chatId = chatOfId.value(id);
    if (!chatId.isEmpty() && actionKey == QLatin1String("default"))
        emit activated(chatId);
}

void DesktopNotifier::onNotificationClosed(uint id, uint)
{
    const QString chatId = chatOfId.take(id);
    const auto entry = shown.find(chatId);
    // A notification closed while its replacement is on its way keeps the entry.
    if (entry != shown.end() && entry->id == id && !entry->pending)
        shown.erase(entry);
}
