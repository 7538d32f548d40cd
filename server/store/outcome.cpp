#include "outcome.h"

#include "protocol.h"

void Outcome::reply(const QJsonObject &frame)
{
    replies.push_back(
        { frame.value(QLatin1String("type")).toString(), protocol::serialize(frame) });
}

void Outcome::notify(const QString &chatId, const QStringList &users, const QJsonObject &frame)
{
    notices.push_back({ chatId,
        users,
        frame.value(QLatin1String("type")).toString(),
        protocol::serialize(frame) });
}

Outcome Outcome::error(const QString &message)
{
    Outcome outcome;
    outcome.reply(protocol::errorFrame(message));
    return outcome;
}

Outcome Outcome::failure()
{
    Outcome outcome;
    outcome.wrote = true;
    outcome.failed = true;
    return outcome;
}
