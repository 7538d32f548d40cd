#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// Frames for tests of the session and the window: alice (u1) and bob (u2) in the group "Team"
// (g1), and its messages.
namespace teamframes
{

// A message of "Team" that alice has seen.
QJsonObject message(const QString &id, const QString &sender, qint64 at, const QString &text);
// "mN" at N * 100 s: bob's, except m2 and m4, which are alice's own.
QJsonObject numbered(int n);
QList<QJsonObject> numberedList(int first, int last);
QStringList numberedIds(int first, int last);
// The message as the server pushes it on its own.
QJsonObject echo(QJsonObject message);
// A "chat_history" of "Team" (or of another group of the two) holding `messages`.
QJsonObject history(
    const QList<QJsonObject> &messages, const QString &chatId = QStringLiteral("g1"));

} // namespace teamframes
