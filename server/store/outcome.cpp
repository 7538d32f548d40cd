#include "outcome.h"

#include <QJsonDocument>

namespace
{

QString compact(const QJsonObject &frame)
{
    return QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact));
}

} // namespace

void Outcome::reply(const QJsonObject &frame)
{
    replies.push_back({ frame.value(QLatin1String("type")).toString(), compact(frame) });
}

void Outcome::notify(const QString &chatId, const QStringList &users, const QJsonObject &frame)
{
    notices.push_back(
        { chatId, users, frame.value(QLatin1String("type")).toString(), compact(frame) });
}

void Outcome::closeConnections(const QStringList &users, int code, const QString &reason)
{
    ChangeNotice notice;
    notice.chatId = Store::feedDirectory;
    notice.users = users;
    notice.type = QStringLiteral("close");
    notice.text = reason;
    notice.closeCode = code;
    notices.push_back(std::move(notice));
}

Outcome Outcome::failure()
{
    Outcome outcome;
    outcome.wrote = true;
    outcome.failed = true;
    return outcome;
}
