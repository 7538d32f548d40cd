#include "wireformat.h"

#include "jsonguard.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>
#include <limits>

namespace wire
{

namespace
{

    QJsonObject contentObject(const QJsonValue &content)
    {
        if (content.isString())
            return jsonguard::parse(content.toString().toUtf8()).object();
        return content.toObject();
    }

    // Every list from the network is read up to maxListLength elements, whatever it announces.
    template <typename T, typename Convert>
    std::vector<T> readList(const QJsonValue &value, Convert convert)
    {
        const QJsonArray array = value.toArray();
        const int count = std::min(array.size(), maxListLength);
        std::vector<T> result;
        result.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            result.push_back(convert(array.at(i).toObject()));
        return result;
    }

    QJsonObject typed(QLatin1String type)
    {
        return QJsonObject { { QStringLiteral("type"), QString(type) } };
    }

} // namespace

QString readString(const QJsonObject &object, QLatin1String key)
{
    return object.value(key).toString();
}

qint64 readTime(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double seconds = std::trunc(value.toDouble());
    // Out-of-range numbers would make the conversion undefined; they are no real time anyway.
    constexpr double limit = 9.2e18;
    if (!std::isfinite(seconds) || seconds >= limit || seconds <= -limit)
        return 0;
    return static_cast<qint64>(seconds);
}

QStringList readIdList(const QJsonValue &value)
{
    QStringList ids;
    const QJsonArray array = value.toArray();
    const int count = std::min(array.size(), maxListLength);
    ids.reserve(count);
    for (int i = 0; i < count; ++i)
        ids.append(array.at(i).toString());
    return ids;
}

QString reduceContent(const QJsonValue &content)
{
    const QJsonObject object = contentObject(content);
    const QJsonValue file = object.value(QLatin1String("file"));
    const QString text = readString(object, QLatin1String("text"));
    if (file.isUndefined() || file.isNull())
        return text;
    if (!text.isEmpty())
        return text + QStringLiteral(" [Image]");
    const QString name = readString(file.toObject(), QLatin1String("name"));
    if (!name.isEmpty())
        return QLatin1Char('[') + name + QLatin1Char(']');
    return QStringLiteral("[Image]");
}

QString contentText(const QJsonValue &content)
{
    return readString(contentObject(content), QLatin1String("text"));
}

User userFromJson(const QJsonObject &object)
{
    User user;
    user.id = readString(object, QLatin1String("userId"));
    user.username = readString(object, QLatin1String("username"));
    user.avatarUrl = readString(object, QLatin1String("avatarUrl"));
    return user;
}

Message messageFromJson(const QJsonObject &object)
{
    Message message;
    message.id = readString(object, QLatin1String("messageId"));
    message.chatId = readString(object, QLatin1String("chatId"));
    message.senderId = readString(object, QLatin1String("senderId"));
    message.timestamp = readTime(object.value(QLatin1String("timestamp")));
    message.content = reduceContent(object.value(QLatin1String("content")));
    message.editedAt = readTime(object.value(QLatin1String("editedAt")));
    message.replyToId = readString(object, QLatin1String("replyToId"));
    message.seenBy = readIdList(object.value(QLatin1String("seenBy")));
    message.status = Sent;
    return message;
}

Chat newChatFromJson(const QJsonObject &object)
{
    Chat chat;
    chat.id = readString(object, QLatin1String("chatId"));
    chat.name = readString(object, QLatin1String("chatName"));
    chat.type = readString(object, QLatin1String("chatType"));
    chat.avatarUrl = readString(object, QLatin1String("avatarUrl"));
    chat.members = readIdList(object.value(QLatin1String("members")));
    return chat;
}

Chat chatFromJson(const QJsonObject &object)
{
    Chat chat = newChatFromJson(object);
    chat.ownerId = readString(object, QLatin1String("ownerId"));
    chat.messages = readList<Message>(object.value(QLatin1String("messages")), messageFromJson);
    return chat;
}

std::vector<Chat> chatsFromJson(const QJsonValue &chats)
{
    return readList<Chat>(chats, chatFromJson);
}

std::vector<User> usersFromJson(const QJsonValue &users)
{
    return readList<User>(users, userFromJson);
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

QJsonObject historyFrame(const QString &chatId, qint64 before)
{
    QJsonObject frame = typed(QLatin1String("get_history"));
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("before"), before);
    return frame;
}

QJsonObject messageSeenFrame(const QString &chatId, const QString &messageId)
{
    QJsonObject frame = typed(QLatin1String("message_seen"));
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("messageId"), messageId);
    return frame;
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

QJsonObject messageFrame(const QString &chatId,
    const QString &text,
    const QString &replyToId,
    const QString &currentUserId)
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
            { QStringLiteral("file"), QJsonValue::Null },
            { QStringLiteral("theme"), QJsonValue::Null } });
    frame.insert(QStringLiteral("replyToId"),
        replyToId.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(replyToId));
    return frame;
}

} // namespace wire
