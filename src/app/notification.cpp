#include "notification.h"

namespace
{

// Balloons show at most this many characters; longer texts end in "...".
constexpr int maxNotificationLength = 100;

} // namespace

bool wantsAttention(const Message &msg, const NotificationContext &context)
{
    return context.enabled && msg.senderId != context.currentUserId && !context.windowInFront;
}

std::optional<TrayNotification> notificationFor(
    const Message &msg, const NotificationContext &context)
{
    if (!context.trayVisible || !wantsAttention(msg, context))
        return std::nullopt;

    const QString fallback = QStringLiteral("New message");
    TrayNotification notification;
    notification.title = context.chatName.value_or(fallback);
    notification.text = msg.content.trimmed();
    if (notification.text.isEmpty())
        notification.text = fallback;
    else if (notification.text.size() > maxNotificationLength)
        notification.text =
            notification.text.left(maxNotificationLength - 3) + QStringLiteral("...");
    return notification;
}
