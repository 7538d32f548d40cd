#pragma once

#include <Qt>

// Item data roles of the chat, contact and message lists. The numbers are a contract between
// the code that writes rows and the delegates and avatar refresh that read them.
enum ItemRole : int {
    IdRole = Qt::UserRole,
    TextRole = Qt::UserRole + 1,
    SenderNameRole = Qt::UserRole + 2,
    TimestampRole = Qt::UserRole + 3,
    IsOwnRole = Qt::UserRole + 4,
    StatusRole = Qt::UserRole + 5,
    MessageIdRole = Qt::UserRole + 6,
    EditedAtRole = Qt::UserRole + 7,
    SenderIdRole = Qt::UserRole + 8,
    ReplyToIdRole = Qt::UserRole + 9,
    AvatarUrlRole = Qt::UserRole + 10,
    ReplySenderRole = Qt::UserRole + 11,
    // Kept apart from AvatarUrlRole so that a reply from another user carries both its quote
    // and its sender's avatar URL.
    ReplyPreviewRole = Qt::UserRole + 12,
    // Chat rows, read only while previews are shown: the last message as "Sender: text", its
    // time (seconds since the epoch, 0 for none), the unread count and whether it is muted.
    PreviewRole = Qt::UserRole + 13,
    LastActivityRole = Qt::UserRole + 14,
    UnreadCountRole = Qt::UserRole + 15,
    MutedRole = Qt::UserRole + 16,
    // Message rows: the message names the logged-in user.
    MentionRole = Qt::UserRole + 17,
};
