#pragma once

#include "model/attachment.h"
#include "model/chat.h"
#include "model/message.h"
#include "model/user.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>
#include <vector>

// Pure conversions between the server's JSON frames and the records. Values of the wrong JSON
// kind read as empty strings, zero times and empty lists; nothing here rejects a frame.
namespace wire
{

// At most this many elements are read from any one array of a frame. A real server sends pages
// of 50 messages; the cap keeps a hostile frame from building millions of records and rows.
constexpr int maxListLength = 10000;

QString readString(const QJsonObject &object, QLatin1String key);
qint64 readTime(const QJsonValue &value);
QStringList readIdList(const QJsonValue &value);

// Turns the wire's content value (an object, or a string holding one's JSON text) into the
// single display string, with attachments replaced by a bracketed marker.
QString reduceContent(const QJsonValue &content);
// Only the "text" string of a content value, as an edit delivers it.
QString contentText(const QJsonValue &content);

User userFromJson(const QJsonObject &object);
Message messageFromJson(const QJsonObject &object);
// A chat element of "chat_history" (with owner and messages) or the "chat" of "new_chat_info"
// (a group's with its owner and newest messages too, as a member who joins needs them), or of
// "chat_updated".
Chat chatFromJson(const QJsonObject &object);
Chat newChatFromJson(const QJsonObject &object);
std::vector<Chat> chatsFromJson(const QJsonValue &chats);
std::vector<User> usersFromJson(const QJsonValue &users);

// The wait a login refusal asks for, in seconds, when the server refused it for too many failed
// logins ("Too many failed logins; try again in N s"); -1 for any other refusal.
int loginRetryAfterSecs(const QString &refusal);

// Whether an "error" frame is the server's refusal of a new message that sending again would not
// change (too long, to nobody, with an attachment it does not take).
bool isMessageRefusal(const QString &error);

// Outbound frames.
QJsonObject loginFrame(const QString &username, const QString &password);
QJsonObject tokenLoginFrame(const QString &token);
QJsonObject changePasswordFrame(const QString &oldPassword, const QString &newPassword);
QJsonObject historyFrame(const QString &chatId, qint64 before);
// Where a tagged history page lies: before a time, around a message id, or after a time.
enum class HistoryAnchor { Before, Around, After };
// A "get_history" whose answer carries `requestId`, so that it is told apart from plain pages.
QJsonObject historyFrame(
    const QString &chatId, HistoryAnchor anchor, const QJsonValue &value, const QString &requestId);
// A search of every chat, or of `chatId` alone when not empty; `before` continues a search.
QJsonObject searchFrame(
    const QString &requestId, const QString &query, const QString &chatId, const QString &before);
QJsonObject messageSeenFrame(const QString &chatId, const QString &messageId);
QJsonObject typingFrame(const QString &chatId);
QJsonObject editFrame(const QString &chatId, const QString &messageId, const QString &newContent);
QJsonObject deleteFrame(const QString &chatId, const QString &messageId);
QJsonObject createGroupFrame(
    const QString &requestId, const QString &name, const QStringList &memberIds);
QJsonObject renameChatFrame(const QString &chatId, const QString &name);
QJsonObject addMembersFrame(const QString &chatId, const QStringList &memberIds);
QJsonObject leaveChatFrame(const QString &chatId);
// A one-to-one chat ("a_b", not beginning with "temp") is addressed to the other participant by
// "recipientId"; every other chat by "chatId".
QJsonObject messageFrame(const QString &chatId,
    const QString &text,
    const QString &replyToId,
    const QString &currentUserId,
    const Attachment &file = Attachment());
// The "file" of a message's content: what the server said of the upload.
QJsonObject fileObject(const Attachment &file);
// What a message with this caption and file shows, as reduceContent makes it of the content.
QString fileMessageText(const QString &caption, const Attachment &file);
// The answer to an upload; nothing when it names no upload on the server.
std::optional<Attachment> uploadedFile(const QByteArray &body);

} // namespace wire
