#pragma once

#include "model/attachment.h"

#include <QMetaType>
#include <QString>
#include <QStringList>

// Delivery state of the logged-in user's own messages. The values are stored in list items and
// compared by the painter, so they are fixed.
enum MessageStatus : int {
    Sending = 0,
    Sent = 1,
    Seen = 2,
    // An own message the server never confirmed; the user may retry or discard it.
    Failed = 3,
};

// One chat message; `content` is already reduced to the text that is shown.
struct Message {
    QString id;
    QString chatId;
    QString senderId;
    QString content;
    qint64 timestamp = 0;
    MessageStatus status = Sent;
    QStringList seenBy;
    qint64 editedAt = 0;
    QString replyToId;
    // The content carried a file: `content` ends in its marker, and `file` says what it is.
    bool hasFile = false;
    Attachment file;
    // A local copy's text to send with its file; `content` shows it with the file's marker.
    QString caption;
};

Q_DECLARE_METATYPE(Message)
Q_DECLARE_METATYPE(MessageStatus)
