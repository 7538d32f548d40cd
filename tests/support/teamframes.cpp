#include "teamframes.h"

#include <QJsonArray>

namespace teamframes
{

QJsonObject message(const QString &id, const QString &sender, qint64 at, const QString &text)
{
    return { { QStringLiteral("messageId"), id },
        { QStringLiteral("chatId"), QStringLiteral("g1") },
        { QStringLiteral("senderId"), sender },
        { QStringLiteral("timestamp"), at },
        { QStringLiteral("content"), QJsonObject { { QStringLiteral("text"), text } } },
        { QStringLiteral("seenBy"), QJsonArray { QStringLiteral("u1") } } };
}

QJsonObject numbered(int n)
{
    return message(QStringLiteral("m%1").arg(n),
        n == 2 || n == 4 ? QStringLiteral("u1") : QStringLiteral("u2"),
        n * 100,
        QStringLiteral("text %1").arg(n));
}

QList<QJsonObject> numberedList(int first, int last)
{
    QList<QJsonObject> list;
    for (int n = first; n <= last; ++n)
        list.append(numbered(n));
    return list;
}

QStringList numberedIds(int first, int last)
{
    QStringList ids;
    for (int n = first; n <= last; ++n)
        ids << QStringLiteral("m%1").arg(n);
    return ids;
}

QJsonObject echo(QJsonObject message)
{
    message.insert(QStringLiteral("type"), QStringLiteral("message"));
    return message;
}

QJsonObject history(const QList<QJsonObject> &messages, const QString &chatId)
{
    QJsonArray list;
    for (QJsonObject m : messages) {
        m.insert(QStringLiteral("chatId"), chatId);
        list.append(m);
    }
    return { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("chats"),
            QJsonArray { QJsonObject { { QStringLiteral("chatId"), chatId },
                { QStringLiteral("chatName"), QStringLiteral("Team") },
                { QStringLiteral("chatType"), QStringLiteral("group") },
                { QStringLiteral("members"),
                    QJsonArray { QStringLiteral("u1"), QStringLiteral("u2") } },
                { QStringLiteral("messages"), list } } } } };
}

} // namespace teamframes
