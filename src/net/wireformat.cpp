#include "wireformat.h"

#include "jsonguard.h"
#include "net/jsonview.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <limits>

namespace wire
{

namespace
{

    QJsonObject typed(QLatin1String type)
    {
        return QJsonObject { { QStringLiteral("type"), QString(type) } };
    }

    template <typename View> QStringList idListOf(const View &value)
    {
        QStringList ids;
        ids.reserve(value.size(maxListLength));
        value.forEach(maxListLength, [&ids](const View &id) { ids.append(id.toString()); });
        return ids;
    }

    // Every list from the network is read up to maxListLength elements, whatever it announces.
    template <typename T, typename View, typename Convert>
    std::vector<T> listOf(const View &value, Convert convert)
    {
        std::vector<T> result;
        result.reserve(static_cast<size_t>(value.size(maxListLength)));
        value.forEach(maxListLength, [&](const View &item) { result.push_back(convert(item)); });
        return result;
    }

    // The content object itself, or the object whose JSON text a string holds (rare: that text
    // goes through the guard like any other text from the network).
    template <typename View, typename Read> auto readContent(const View &content, Read read)
    {
        if (content.isString())
            return read(QtJsonView(jsonguard::parse(content.toString().toUtf8()).object()));
        return read(content);
    }

    template <typename View> QString reducedContentOf(const View &object)
    {
        const View file = object[QLatin1String("file")];
        const QString text = object[QLatin1String("text")].toString();
        if (file.isNullOrAbsent())
            return text;
        if (!text.isEmpty())
            return text + QStringLiteral(" [Image]");
        const QString name = file[QLatin1String("name")].toString();
        if (!name.isEmpty())
            return QLatin1Char('[') + name + QLatin1Char(']');
        return QStringLiteral("[Image]");
    }

    constexpr qint64 maxBytes = qint64(1) << 53;

    // Whole bytes or pixels; anything else from the network reads as 0.
    template <typename View> qint64 countOf(const View &value, qint64 limit)
    {
        if (!value.isNumber())
            return 0;
        const double number = value.toNumber();
        if (!(number >= 0) || number > double(limit) || number != std::trunc(number))
            return 0;
        return static_cast<qint64>(number);
    }

    template <typename View> Attachment attachmentOf(const View &file)
    {
        Attachment attachment;
        attachment.url = file[QLatin1String("url")].toString();
        attachment.name = file[QLatin1String("name")].toString();
        attachment.size = countOf(file[QLatin1String("size")], maxBytes);
        attachment.mime = file[QLatin1String("mime")].toString();
        attachment.width = int(countOf(file[QLatin1String("width")], 1 << 30));
        attachment.height = int(countOf(file[QLatin1String("height")], 1 << 30));
        return attachment;
    }

    struct Content {
        QString text;
        bool hasFile = false;
        Attachment file;
    };

    template <typename View> Content contentOf(const View &object)
    {
        const View file = object[QLatin1String("file")];
        Content content { reducedContentOf(object), !file.isNullOrAbsent(), {} };
        if (content.hasFile)
            content.file = attachmentOf(file);
        return content;
    }

} // namespace

template <typename View> qint64 byteCount(const View &value)
{
    return countOf(value, maxBytes);
}

template <typename View> qint64 timeOf(const View &value)
{
    if (!value.isNumber())
        return 0;
    const double seconds = std::trunc(value.toNumber());
    // Out-of-range numbers would make the conversion undefined; they are no real time anyway.
    constexpr double limit = 9.2e18;
    if (!std::isfinite(seconds) || seconds >= limit || seconds <= -limit)
        return 0;
    return static_cast<qint64>(seconds);
}

template <typename View> int countOf(const View &value)
{
    if (!value.isNumber())
        return 0;
    const double number = value.toNumber();
    // A fractional or negative count is no count at all; a huge one shows as "99+" anyway.
    if (!(number >= 0) || number != std::trunc(number))
        return 0;
    return number > Chat::maxUnreadCount ? Chat::maxUnreadCount : static_cast<int>(number);
}

template <typename View> QString contentTextOf(const View &content)
{
    return readContent(
        content, [](const auto &object) { return object[QLatin1String("text")].toString(); });
}

template <typename View> User userOf(const View &object)
{
    User user;
    user.id = object[QLatin1String("userId")].toString();
    user.username = object[QLatin1String("username")].toString();
    user.avatarUrl = object[QLatin1String("avatarUrl")].toString();
    return user;
}

template <typename View> Message messageOf(const View &object)
{
    Message message;
    message.id = object[QLatin1String("messageId")].toString();
    message.chatId = object[QLatin1String("chatId")].toString();
    message.senderId = object[QLatin1String("senderId")].toString();
    message.timestamp = timeOf(object[QLatin1String("timestamp")]);
    Content content = readContent(
        object[QLatin1String("content")], [](const auto &value) { return contentOf(value); });
    message.content = std::move(content.text);
    message.hasFile = content.hasFile;
    message.file = std::move(content.file);
    message.editedAt = timeOf(object[QLatin1String("editedAt")]);
    message.replyToId = object[QLatin1String("replyToId")].toString();
    message.seenBy = idListOf(object[QLatin1String("seenBy")]);
    message.status = Sent;
    return message;
}

template <typename View> Chat chatHeadOf(const View &object)
{
    Chat chat;
    chat.id = object[QLatin1String("chatId")].toString();
    chat.name = object[QLatin1String("chatName")].toString();
    chat.type = object[QLatin1String("chatType")].toString();
    chat.avatarUrl = object[QLatin1String("avatarUrl")].toString();
    chat.members = idListOf(object[QLatin1String("members")]);
    return chat;
}

template <typename View> Chat newChatOf(const View &object)
{
    Chat chat = chatHeadOf(object);
    // Who may rename and extend a group, and what was said before one joined it.
    if (chat.type == QLatin1String("group")) {
        chat.ownerId = object[QLatin1String("ownerId")].toString();
        chat.messages = listOf<Message>(
            object[QLatin1String("messages")], [](const View &item) { return messageOf(item); });
    }
    return chat;
}

template <typename View> Chat chatOf(const View &object)
{
    Chat chat = chatHeadOf(object);
    chat.ownerId = object[QLatin1String("ownerId")].toString();
    chat.unreadCount = countOf(object[QLatin1String("unreadCount")]);
    chat.messages = listOf<Message>(
        object[QLatin1String("messages")], [](const View &item) { return messageOf(item); });
    return chat;
}

template <typename View> std::vector<Chat> chatsOf(const View &chats)
{
    return listOf<Chat>(chats, [](const View &item) { return chatOf(item); });
}

template <typename View> std::vector<User> usersOf(const View &users)
{
    return listOf<User>(users, [](const View &item) { return userOf(item); });
}

template <typename View> std::vector<Message> searchResultsOf(const View &results)
{
    std::vector<Message> messages;
    results.forEach(maxListLength, [&messages](const View &item) {
        // A result that is no message of a chat cannot be opened; it is left out.
        if (!item[QLatin1String("messageId")].isString()
            || !item[QLatin1String("chatId")].isString())
            return;
        Message message = messageOf(item);
        if (!message.id.isEmpty() && !message.chatId.isEmpty())
            messages.push_back(std::move(message));
    });
    return messages;
}

#define FERROW_WIRE_INSTANTIATE(View)                                                              \
    template qint64 timeOf(const View &);                                                          \
    template int countOf(const View &);                                                            \
    template qint64 byteCount(const View &);                                                       \
    template QString contentTextOf(const View &);                                                  \
    template User userOf(const View &);                                                            \
    template Message messageOf(const View &);                                                      \
    template Chat newChatOf(const View &);                                                         \
    template Chat chatOf(const View &);                                                            \
    template std::vector<Chat> chatsOf(const View &);                                              \
    template std::vector<User> usersOf(const View &);                                              \
    template std::vector<Message> searchResultsOf(const View &);
FERROW_WIRE_INSTANTIATE(QtJsonView)
FERROW_WIRE_INSTANTIATE(SimdJsonView)
#undef FERROW_WIRE_INSTANTIATE

QString readString(const QJsonObject &object, QLatin1String key)
{
    return object.value(key).toString();
}

qint64 readTime(const QJsonValue &value)
{
    return timeOf(QtJsonView(value));
}

QStringList readIdList(const QJsonValue &value)
{
    return idListOf(QtJsonView(value));
}

QString reduceContent(const QJsonValue &content)
{
    return readContent(
        QtJsonView(content), [](const auto &object) { return reducedContentOf(object); });
}

QString contentText(const QJsonValue &content)
{
    return contentTextOf(QtJsonView(content));
}

User userFromJson(const QJsonObject &object)
{
    return userOf(QtJsonView(object));
}

Message messageFromJson(const QJsonObject &object)
{
    return messageOf(QtJsonView(object));
}

Chat newChatFromJson(const QJsonObject &object)
{
    return newChatOf(QtJsonView(object));
}

Chat chatFromJson(const QJsonObject &object)
{
    return chatOf(QtJsonView(object));
}

std::vector<Chat> chatsFromJson(const QJsonValue &chats)
{
    return chatsOf(QtJsonView(chats));
}

std::vector<User> usersFromJson(const QJsonValue &users)
{
    return usersOf(QtJsonView(users));
}

int loginRetryAfterSecs(const QString &refusal)
{
    static const QRegularExpression throttled(
        QStringLiteral("^Too many failed logins; try again in (\\d{1,9}) s$"));
    // The server's own wait is at most five minutes; an hour bounds a server that says more.
    constexpr int longestWaitSecs = 3600;
    const QRegularExpressionMatch match = throttled.match(refusal);
    return match.hasMatch() ? std::min(match.captured(1).toInt(), longestWaitSecs) : -1;
}

bool isMessageRefusal(const QString &error)
{
    static const QLatin1String refusals[] = {
        QLatin1String("Message text is longer than"),
        QLatin1String("Unknown recipient"),
        QLatin1String("Attachments are not supported"),
        QLatin1String("Give exactly one of"),
        QLatin1String("Missing or invalid \"content\""),
        QLatin1String("Missing or invalid \"replyToId\""),
    };
    return std::any_of(std::begin(refusals), std::end(refusals), [&error](QLatin1String refusal) {
        return error.startsWith(refusal);
    });
}

QJsonObject loginFrame(const QString &username, const QString &password)
{
    QJsonObject frame = typed(QLatin1String("login_with_password"));
    frame.insert(QStringLiteral("username"), username);
    frame.insert(QStringLiteral("password"), password);
    return frame;
}

QJsonObject tokenLoginFrame(const QString &token)
{
    return QJsonObject { { QStringLiteral("type"), QStringLiteral("login_with_token") },
        { QStringLiteral("token"), token } };
}

QJsonObject changePasswordFrame(const QString &oldPassword, const QString &newPassword)
{
    return QJsonObject { { QStringLiteral("type"), QStringLiteral("change_password") },
        { QStringLiteral("oldPassword"), oldPassword },
        { QStringLiteral("newPassword"), newPassword } };
}

QJsonObject historyFrame(const QString &chatId, qint64 before)
{
    QJsonObject frame = typed(QLatin1String("get_history"));
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("before"), before);
    return frame;
}

QJsonObject historyFrame(
    const QString &chatId, HistoryAnchor anchor, const QJsonValue &value, const QString &requestId)
{
    static const QLatin1String keys[] = {
        QLatin1String("before"), QLatin1String("around"), QLatin1String("after")
    };
    QJsonObject frame = typed(QLatin1String("get_history"));
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(keys[static_cast<int>(anchor)], value);
    frame.insert(QStringLiteral("requestId"), requestId);
    return frame;
}

QJsonObject searchFrame(
    const QString &requestId, const QString &query, const QString &chatId, const QString &before)
{
    QJsonObject frame = typed(QLatin1String("search"));
    frame.insert(QStringLiteral("requestId"), requestId);
    frame.insert(QStringLiteral("query"), query);
    frame.insert(QStringLiteral("chatId"),
        chatId.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(chatId));
    frame.insert(QStringLiteral("before"),
        before.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(before));
    return frame;
}

QJsonObject typingFrame(const QString &chatId)
{
    QJsonObject frame = typed(QLatin1String("typing"));
    frame.insert(QStringLiteral("chatId"), chatId);
    return frame;
}

QJsonObject messageSeenFrame(const QString &chatId, const QString &messageId)
{
    QJsonObject frame = typed(QLatin1String("message_seen"));
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("messageId"), messageId);
    return frame;
}

QJsonObject fileObject(const Attachment &file)
{
    QJsonObject object { { QStringLiteral("url"), file.url },
        { QStringLiteral("name"), file.name },
        { QStringLiteral("size"), double(file.size) },
        { QStringLiteral("mime"), file.mime } };
    if (file.width > 0 && file.height > 0) {
        object.insert(QStringLiteral("width"), file.width);
        object.insert(QStringLiteral("height"), file.height);
    }
    return object;
}

QString fileMessageText(const QString &caption, const Attachment &file)
{
    return reduceContent(QJsonObject {
        { QStringLiteral("text"), caption }, { QStringLiteral("file"), fileObject(file) } });
}

std::optional<Attachment> uploadedFile(const QByteArray &body)
{
    const QJsonObject object = jsonguard::parse(body).object();
    Attachment file = attachmentOf(QtJsonView(object));
    // Anything but a path on the server would send the token elsewhere on download.
    if (!file.url.startsWith(QLatin1Char('/')) || file.url.startsWith(QLatin1String("//")))
        return std::nullopt;
    return file;
}

QJsonObject editFrame(const QString &chatId, const QString &messageId, const QString &newContent)
{
    QJsonObject frame = typed(QLatin1String("edit_message"));
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("messageId"), messageId);
    frame.insert(QStringLiteral("newContent"), newContent);
    return frame;
}

QJsonObject deleteFrame(const QString &chatId, const QString &messageId)
{
    QJsonObject frame = typed(QLatin1String("delete_message"));
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("messageId"), messageId);
    return frame;
}

QJsonObject createGroupFrame(
    const QString &requestId, const QString &name, const QStringList &memberIds)
{
    QJsonObject frame = typed(QLatin1String("create_group"));
    frame.insert(QStringLiteral("requestId"), requestId);
    frame.insert(QStringLiteral("name"), name);
    frame.insert(QStringLiteral("members"), QJsonArray::fromStringList(memberIds));
    return frame;
}

QJsonObject renameChatFrame(const QString &chatId, const QString &name)
{
    QJsonObject frame = typed(QLatin1String("rename_chat"));
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("name"), name);
    return frame;
}

QJsonObject addMembersFrame(const QString &chatId, const QStringList &memberIds)
{
    QJsonObject frame = typed(QLatin1String("add_members"));
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("members"), QJsonArray::fromStringList(memberIds));
    return frame;
}

QJsonObject leaveChatFrame(const QString &chatId)
{
    QJsonObject frame = typed(QLatin1String("leave_chat"));
    frame.insert(QStringLiteral("chatId"), chatId);
    return frame;
}

QJsonObject messageFrame(const QString &chatId,
    const QString &text,
    const QString &replyToId,
    const QString &currentUserId,
    const Attachment &file)
{
    QJsonObject frame = typed(QLatin1String("message"));
    const bool oneToOne =
        chatId.contains(QLatin1Char('_')) && !chatId.startsWith(QLatin1String("temp"));
    const QStringList parts = chatId.split(QLatin1Char('_'));
    if (oneToOne && parts.size() == 2)
        frame.insert(QStringLiteral("recipientId"),
            parts.at(0) == currentUserId ? parts.at(1) : parts.at(0));
    else
        frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("content"),
        QJsonObject { { QStringLiteral("text"), text },
            { QStringLiteral("file"),
                file.url.isEmpty() ? QJsonValue(QJsonValue::Null) : fileObject(file) },
            { QStringLiteral("theme"), QJsonValue::Null } });
    frame.insert(QStringLiteral("replyToId"),
        replyToId.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(replyToId));
    return frame;
}

} // namespace wire
