#pragma once

#include <QHash>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

// The desktop's notification service (org.freedesktop.Notifications on the session bus) and the
// launcher's badge (the com.canonical.Unity.LauncherEntry signal). One notification per chat,
// replaced by the next and closed when the chat is opened. Every D-Bus call is asynchronous, so
// that a service that is slow, absent or answering errors never holds up the window.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    // Bodies longer than this end in "…".
    static constexpr int maxBodyLength = 200;

    explicit DesktopNotifier(QObject *parent = nullptr);
    ~DesktopNotifier() override;

    // Whether the service is on the bus, as last heard; false until that is known.
    bool isAvailable() const;
    void notify(const QString &chatId, const QString &summary, const QString &body);
    void close(const QString &chatId);
    // The unread count on the launcher's icon; 0 hides it.
    void setLauncherCount(int count);

signals:
    // The notification of the chat was clicked.
    void activated(const QString &chatId);
    // The service refused the notification; it is for the caller to show it another way.
    void failed(const QString &chatId, const QString &summary, const QString &body);

private slots:
    // The service's signals reach these by name (QtDBus connects signals by signature only).
    void onActionInvoked(uint id, const QString &actionKey);
    void onNotificationClosed(uint id, uint reason);

private:
    struct Shown {
        // 0 while the service has not answered yet.
        uint id = 0;
        bool pending = false;
        // What came while the last call was unanswered; sent with the id once it is known.
        bool hasNext = false;
        QString nextSummary;
        QString nextBody;
        bool closeWhenKnown = false;
    };

    void send(const QString &chatId, const QString &summary, const QString &body);
    void onNotifyAnswered(QDBusPendingCallWatcher *call,
        const QString &chatId,
        const QString &summary,
        const QString &body);
    void closeId(uint id);

    QDBusServiceWatcher *watcher = nullptr;
    bool available = false;
    QHash<QString, Shown> shown;
    QHash<uint, QString> chatOfId;
};
