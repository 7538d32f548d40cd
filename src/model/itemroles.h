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
    // Message rows with a file: the marker that ends the text ("[Image]", "[report.pdf]") and
    // opens the file when clicked; absent when there is nothing to open.
    FileMarkerRole = Qt::UserRole + 18,
    // A local copy whose file is uploading: the share sent so far, 0 to 1; absent otherwise.
    UploadProgressRole = Qt::UserRole + 19,
    // While pictures are shown in messages: the size the picture takes in the bubble (logical
    // pixels), and the thumbnail once it is loaded.
    PictureSizeRole = Qt::UserRole + 20,
    PictureRole = Qt::UserRole + 21,
    // While pictures are shown in messages: a file other than a picture, as "name\nsize".
    FileCardRole = Qt::UserRole + 22,
};
