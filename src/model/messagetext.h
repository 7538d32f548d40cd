#pragma once

#include "model/message.h"

#include <QString>
#include <QStringList>

// The text a message row shows: the content unchanged, except that a link to an uploaded file
// on the server is replaced by a short marker ("[Image]", or the file name in brackets).
QString displayTextForContent(const QString &content);

// The marker that ends a message's shown text when it carries a file that can be opened;
// empty otherwise (no file, a file the server gave no address for, or a caption edited since).
QString fileMarker(const Message &message);

// The caption of a message with a file: its text without the file's marker.
QString captionOf(const Message &message);

// The one-line quote of a replied-to message whose text is `text` (empty when the message was
// not found).
QString replyPreviewFromText(const QString &text);

// The length of a text as the server counts it: in characters (code points), not UTF-16 units.
int characterCount(const QString &text);

// The id both users of a one-to-one chat arrive at: their ids sorted and joined with "_".
QString privateChatId(const QString &userId, const QString &otherUserId);
