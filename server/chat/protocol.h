#pragma once

#include "store.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

// The frames the server sends and the rules on what it accepts, as pure functions.
namespace protocol
{

// Longest message text accepted, in characters (Unicode code points).
constexpr int maxTextLength = 4000;
// Longest search query accepted, in characters (Unicode code points): a few sentences, more
// than anyone types into a search field.
constexpr int maxQueryLength = 200;
// Longest group name, in characters (code points) after trimming: what fits a chat's header.
constexpr int maxGroupNameLength = 100;
// Members of one group unless the server is told otherwise: everyone gets each message, so the
// bound keeps one message's fan-out in reason.
constexpr int defaultMaxGroupMembers = 1000;
// Results in one search answer.
constexpr int searchPage = 50;
// A new password's length, in characters (code points): short ones are guessed, and longer ones
// are no safer but cost the hash more to read.
constexpr int minPasswordLength = 8;
constexpr int maxPasswordLength = 1024;
// How the server closes the other connections of a user whose password changed, and every
// connection of a disabled account.
constexpr int passwordChangedCloseCode = 4001;
constexpr int accountDisabledCloseCode = 4003;
extern const QString passwordChangedReason;
extern const QString accountDisabledReason;
// Sent for users without a picture of their own; the client draws a placeholder for it.
extern const QString defaultAvatarUrl;

// The one-to-one chat id of two users: both ids sorted ascending (case-sensitive), joined by "_".
QString privateChatId(const QString &userA, const QString &userB);
// An empty string when `text` may be stored as a message text, else the reason it may not. The
// caption of a file may be empty.
QString checkText(const QString &text, bool withFile = false);
// The name a group is given as `name`, trimmed; empty when it is not 1 to maxGroupNameLength
// characters then.
QString groupName(const QString &name);

// The words and quoted phrases of a search query, in order. A word is a run of letters and
// digits, as the index splits text into words; everything else only separates them, so nothing
// typed is ever read as index syntax. A quote without its partner counts as a separator.
// Empty with the reason in `problem` when the query is too long or holds no word.
SearchTerms searchTerms(const QString &query, QString *problem);
// The opaque "next" of a search answer, which continues after `message` when sent as "before".
QString searchCursor(const MessageRecord &message);
// The timestamp and message id a cursor holds; nullopt for anything not made by searchCursor.
std::optional<std::pair<qint64, QString>> parseSearchCursor(const QString &cursor);
// An empty string when `password` may become the password of `username`, else the reason it may
// not: its length, a NUL or a lone surrogate in it, or the user name in any letter case.
QString checkNewPassword(const QString &password, const QString &username);

// {"text", "file", "theme": null}; `file` is the file object as compact JSON, empty for null.
QJsonObject contentObject(const QString &text, const QString &file = QString());
QJsonObject userJson(const UserRecord &user);
QJsonObject messageJson(const MessageRecord &message);
// A chat without its messages, as "new_chat_info" carries it.
QJsonObject chatJson(const ChatRecord &chat);
// A chat with its messages, as "chat_history" carries it.
QJsonObject chatJson(const ChatRecord &chat, const std::vector<MessageRecord> &messages);
// A chat of the login's push: with its messages and how many of the chat's the user has not seen.
QJsonObject chatJson(const ChatHistory &history);

QJsonObject loginSuccessFrame(
    const UserRecord &user, const QString &token, const QString &httpToken, qint64 maxUploadSize);
QJsonObject passwordChangedFrame(const QString &token, const QString &httpToken);
// An "error" answering "change_password", which says so ("request"), so that the client can tell
// it from errors about other requests answered meanwhile.
QJsonObject passwordChangeErrorFrame(const QString &message);
QJsonObject authFailedFrame();
// A login refused unchecked while the failure throttle holds its account for its address; the
// same for names that exist and names that do not. The wait is given in whole seconds, at least 1.
QJsonObject throttledLoginFrame(qint64 waitMs);
QString throttledText(qint64 waitMs);
QJsonObject chatHistoryFrame(const QJsonArray &chats);
QJsonObject userListFrame(const std::vector<UserRecord> &users);
QJsonObject messageFrame(const MessageRecord &message);
QJsonObject newChatFrame(const ChatRecord &chat);
// With the chat's newest messages, for a member who joins it.
QJsonObject newChatFrame(const ChatRecord &chat, const std::vector<MessageRecord> &messages);
QJsonObject seenUpdateFrame(const QString &chatId, const QString &messageId, const QString &userId);
// The asker's group exists; its "new_chat_info" came before.
QJsonObject groupCreatedFrame(const QJsonValue &requestId, const QString &chatId);
QJsonObject chatUpdatedFrame(const ChatRecord &chat);
QJsonObject chatRemovedFrame(const QString &chatId);
QJsonObject messageUpdatedFrame(const MessageRecord &message);
QJsonObject messageDeletedFrame(const QString &chatId, const QString &messageId);
QJsonObject errorFrame(const QString &message);
// An "error" answering a request that carried a "requestId" carries it too.
QJsonObject errorFrame(const QString &message, const QJsonValue &requestId);
QJsonObject searchResultsFrame(
    const QString &requestId, const std::vector<MessageRecord> &results, const QString &next);
// Tells the other members of a chat that `userId` is writing in it.
QJsonObject typingFrame(const QString &chatId, const QString &userId);

// Compact JSON text of one frame.
QString serialize(const QJsonObject &frame);

} // namespace protocol
