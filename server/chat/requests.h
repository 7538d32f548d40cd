#pragma once

#include "outcome.h"
#include "store.h"

#include <QJsonObject>
#include <QString>

// One handler per request of a logged-in user: each checks its request and makes its effect on
// the store it is given, and returns what the asker and others are told. They run on the store's
// threads, the writes on the writer's and the reads on a reader's, and touch nothing else.
namespace requests
{

// Who asks, and what was settled on the socket thread when the request came.
struct Asker {
    QString userId;
    // Stamps messages, edits and receipts.
    qint64 nowSeconds = 0;
    // Messages per chat in a history page.
    int historyPage = 50;
    // The connection that asked, on this server.
    quint64 connectionId = 0;
    // Members one group may hold.
    int maxGroupMembers = 1000;
};

using Handler = Outcome (*)(Store &store, const Asker &asker, const QJsonObject &request);

// Writes.
Outcome message(Store &store, const Asker &asker, const QJsonObject &request);
Outcome messageSeen(Store &store, const Asker &asker, const QJsonObject &request);
Outcome editMessage(Store &store, const Asker &asker, const QJsonObject &request);
Outcome deleteMessage(Store &store, const Asker &asker, const QJsonObject &request);
// Groups: made, renamed and extended by their owner, left by any member.
Outcome createGroup(Store &store, const Asker &asker, const QJsonObject &request);
Outcome renameChat(Store &store, const Asker &asker, const QJsonObject &request);
Outcome addMembers(Store &store, const Asker &asker, const QJsonObject &request);
Outcome leaveChat(Store &store, const Asker &asker, const QJsonObject &request);
// Reads.
Outcome history(Store &store, const Asker &asker, const QJsonObject &request);
Outcome search(Store &store, const Asker &asker, const QJsonObject &request);
// Checks that the asker may tell the chat it is typing; the notice for its other members. Nothing
// is stored.
Outcome typing(Store &store, const Asker &asker, const QJsonObject &request);

// What follows a login: "chat_history" with every chat of the user and its newest messages,
// within `maxBytes`, then the user list.
Outcome loginPush(Store &store, const QString &userId, int historyPage, qint64 maxBytes);

// "Missing or invalid "KEY"".
QString invalidField(QLatin1String key);

} // namespace requests
