#pragma once

#include "store.h"

#include <QJsonObject>
#include <QString>
#include <vector>

// What one piece of work on the store produced, built on the store's threads and sent on the
// socket thread: frames for the connection that asked, then frames for the connections of users.
struct Outcome {
    struct Reply {
        // The frame's "type", for the metrics.
        QString type;
        QString text;
    };

    std::vector<Reply> replies;
    std::vector<ChangeNotice> notices;
    // The work wrote to the store: should the commit fail, the asker is answered with the
    // failure instead, and nobody is told anything.
    bool wrote = false;
    // A write failed before the commit; the whole transaction is rolled back.
    bool failed = false;
    // Uploads whose records the work removed; their files go once it is committed.
    QStringList removedUploads;

    // Adds a frame, as compact JSON text.
    void reply(const QJsonObject &frame);
    void notify(const QString &chatId, const QStringList &users, const QJsonObject &frame);
    // Closes every connection of `users`, on every server, with `code` and `reason` once the
    // write is committed (a changed password, a removed account).
    void closeConnections(const QStringList &users, int code, const QString &reason);

    // A write that failed: rolls the transaction back.
    static Outcome failure();
};
