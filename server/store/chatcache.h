#pragma once

#include "store.h"

#include <QHash>
#include <QString>
#include <mutex>
#include <optional>

// The chats one server has read, shared by its store connections: every message asks for its
// chat's members, and reading them from the database each time costs round trips. One-to-one
// chats never change. A group is kept with the version of its name, owner and members that it
// was read at, and forgotten when it changes: by the writer once the change is committed, by the
// feed relay when it reads another server's change. A write checks the versions it relied on
// where the store numbers its changes (see Store::announce).
class ChatCache
{
public:
    // Groups are kept only by a cache that is told of their changes: a server's, whose relay
    // reads the changes of the others.
    explicit ChatCache(bool keepsGroups = false);

    struct Entry {
        ChatRecord chat;
        // Where the store numbers the changes of groups, the number of the last one; else 0.
        qint64 version = 0;
    };

    std::optional<Entry> find(const QString &chatId) const;
    // Taken before a chat is read from the database, and handed to insert() with what was read.
    quint64 generation() const;
    // Keeps what was read, unless a chat was forgotten since `generation`: the read may have
    // seen the database from before that change.
    void insert(const Entry &entry, quint64 generation);
    void forget(const QString &chatId);
    void clear();

private:
    mutable std::mutex mutex;
    QHash<QString, Entry> entries;
    // Of all entries together.
    qint64 members = 0;
    quint64 forgotten = 0;
    const bool keepsGroups;
};
