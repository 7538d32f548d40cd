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
};
