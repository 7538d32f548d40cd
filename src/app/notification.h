#pragma once

#include "model/message.h"

#include <QString>
#include <optional>

struct TrayNotification {
    QString title;
    QString text;
};

// What the window knows when a message arrives, for deciding on a tray balloon.
struct NotificationContext {
    bool enabled = true;
    bool trayVisible = false;
    bool windowInFront = false;
    QString currentUserId;
    // The display name of the message's chat, when the chat is known.
    std::optional<QString> chatName;
};

// The balloon for an incoming message, or nothing: never for the user's own messages, never
// while the window is in front, never with notifications off or without a tray.
std::optional<TrayNotification> notificationFor(
    const Message &msg, const NotificationContext &context);

// Whether the message calls for the taskbar's attention hint: another user's message while the
// window is not in front, with notifications on; a tray is not needed.
bool wantsAttention(const Message &msg, const NotificationContext &context);
