#include "testframes.h"

QString typeOf(const QJsonObject &frame)
{
    return frame.value(QLatin1String("type")).toString();
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QStringList keysOf(const QJsonObject &object)
{
    return sorted(object.keys());
}

QJsonObject content(const QString &text)
{
    return QJsonObject { { QStringLiteral("text"), text },
        { QStringLiteral("file"), QJsonValue::Null },
        { QStringLiteral("theme"), QJsonValue::Null } };
}

QJsonObject messageTo(
    const QString &key, const QString &target, const QString &text, const QJsonValue &replyToId)
{
    return QJsonObject { { QStringLiteral("type"), QStringLiteral("message") },
        { key, target },
        { QStringLiteral("content"), content(text) },
        { QStringLiteral("replyToId"), replyToId } };
}

QJsonObject seenRequest(const QString &chatId, const QString &messageId)
{
    return QJsonObject { { QStringLiteral("type"), QStringLiteral("message_seen") },
        { QStringLiteral("chatId"), chatId },
        { QStringLiteral("messageId"), messageId } };
}

QJsonObject historyRequest(const QString &chatId, double before)
{
    return QJsonObject { { QStringLiteral("type"), QStringLiteral("get_history") },
        { QStringLiteral("chatId"), chatId },
        { QStringLiteral("before"), before } };
}

QStringList messageKeys()
{
    return sorted({ QStringLiteral("messageId"),
        QStringLiteral("chatId"),
        QStringLiteral("senderId"),
        QStringLiteral("timestamp"),
        QStringLiteral("content"),
        QStringLiteral("replyToId"),
        QStringLiteral("seenBy"),
        QStringLiteral("editedAt") });
}

QStringList chatKeys()
{
    return sorted({ QStringLiteral("chatId"),
        QStringLiteral("chatName"),
        QStringLiteral("chatType"),
        QStringLiteral("ownerId"),
        QStringLiteral("avatarUrl"),
        QStringLiteral("members") });
}
