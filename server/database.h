#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <optional>
#include <vector>

struct UserRecord {
    QString id;
    QString username;
    // Empty when the user has no picture of their own.
    QString avatarUrl;
};

struct ChatRecord {
    QString id;
    QString name;
    // "private" or "group".
    QString type;
    QString ownerId;
    QString avatarUrl;
    QStringList members;
};

struct MessageRecord {
    // Insertion order; breaks ties between messages of the same second.
    qint64 seq = 0;
    QString id;
    QString chatId;
    QString senderId;
    QString text;
    // Empty when the message is no reply.
    QString replyToId;
    qint64 timestamp = 0;
    qint64 editedAt = 0;
    // Readers in the order they saw the message.
    QStringList seenBy;
};

struct ChatHistory {
    ChatRecord chat;
    // The newest messages, oldest first.
    std::vector<MessageRecord> messages;
};

// The server's SQLite store. A write outside a `Transaction` commits on its own before the call
// returns. Not thread-safe: one instance is used by one thread at a time (the server lets its
// commit thread finish a transaction while it leaves the database alone).
class Database
{
public:
    // A scoped transaction: writes made while it lives are committed by `commit`, and rolled
    // back when it goes out of scope uncommitted. Inside another one it becomes a savepoint, so
    // that a failed inner part rolls back alone.
    class Transaction
    {
    public:
        explicit Transaction(Database &database);
        ~Transaction();
        Transaction(const Transaction &) = delete;
        Transaction &operator=(const Transaction &) = delete;

        // False when the transaction could not be opened; then nothing is written in it.
        bool isActive() const;
        // False when the commit failed; everything in the transaction is rolled back then.
        bool commit();
        void rollback();

    private:
        Database &database;
        QString savepoint;
        bool active = false;
    };

    // The schema this build creates and upgrades to.
    static constexpr int latestSchemaVersion = 3;
    // File name of the database inside the data directory.
    static const QString fileName;

    Database();
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Opens (creating if needed) the database in `dataDir` and brings its schema up to date.
    bool open(const QString &dataDir);
    bool isOpen() const;
    QString lastError() const;
    // Whether the last statement run failed, as opposed to finding nothing to change.
    bool lastStatementFailed() const;
    int schemaVersion();
    // Writes a consistent copy of the whole database to the new file `path`; the server may
    // write meanwhile.
    bool backupTo(const QString &path);
    // Whether the database answers a query.
    bool ping();

    std::optional<UserRecord> addUser(const QString &username, const QString &passwordHash);
    std::optional<UserRecord> userById(const QString &userId);
    // Names are matched without regard to ASCII case, so "Alice" and "alice" are one account.
    std::optional<UserRecord> userByName(const QString &username);
    QString passwordHash(const QString &userId);
    std::vector<UserRecord> users();
    bool setUserAvatar(const QString &userId, const QString &avatarUrl);

    // Creates a chat; an empty `chatId` gets a new group id. Members keep the given order.
    std::optional<ChatRecord> createChat(const QString &chatId,
        const QString &name,
        const QString &type,
        const QString &ownerId,
        const QStringList &members);
    // Chats and their members never change once created, so a chat is read from the file once
    // and then kept; every message asks for its chat's members.
    std::optional<ChatRecord> chat(const QString &chatId);
    std::vector<ChatRecord> chatsOfUser(const QString &userId);
    bool isMember(const QString &chatId, const QString &userId);
    // Every chat of the user with its newest `perChat` messages: one query for the chats, one
    // for their members, one for the messages and one for the receipts, however many chats.
    // With `wholeSeconds`, each chat's page also holds the rest of its oldest message's second,
    // as newestMessages() does, so that paging on by timestamp skips nothing.
    std::vector<ChatHistory> chatHistories(
        const QString &userId, int perChat, bool wholeSeconds = true);

    std::optional<MessageRecord> addMessage(const QString &chatId,
        const QString &senderId,
        const QString &text,
        const QString &replyToId,
        qint64 timestamp);
    std::optional<MessageRecord> message(const QString &messageId);
    // The newest `limit` messages of a chat and the rest of the oldest one's second, oldest
    // first. A page never ends inside a second, so that paging on by the oldest timestamp
    // reaches every message however many share a second.
    std::vector<MessageRecord> newestMessages(const QString &chatId, int limit);
    // The newest `limit` messages older than `before` and the rest of the oldest one's second,
    // plus up to `tieLimit` messages stamped exactly `before`; oldest first.
    std::vector<MessageRecord> messagesBefore(
        const QString &chatId, qint64 before, int limit, int tieLimit);
    // Records that `userId` has seen the message; false when it was already recorded or failed.
    bool markSeen(qint64 seq, const QString &userId, qint64 seenAt);
    bool editMessage(qint64 seq, const QString &text, qint64 editedAt);
    bool deleteMessage(qint64 seq);

    // A login token expires after this long without use.
    static constexpr qint64 loginTokenLifetime = 30 * 24 * 3600;
    // Stores the SHA-256 (hex) of a token handed to `userId`; expired tokens are dropped.
    bool addLoginToken(const QString &tokenHash, const QString &userId, qint64 now);
    // The user a token belongs to, when it was issued no longer than the lifetime before `now`.
    // A token serves one login: it is removed either way, and the login hands out a new one.
    std::optional<QString> takeLoginToken(const QString &tokenHash, qint64 now);

private:
    class Statement;
    friend class Transaction;

    // Runs `sql` with `values` bound in order, through a statement prepared once per text.
    Statement run(const QString &sql, const QVariantList &values = {});
    bool execute(const QString &sql);
    // Messages of `chatId` stamped before `before`: the newest `limit` and the rest of the
    // oldest one's second, oldest first.
    std::vector<MessageRecord> wholeSecondsBefore(const QString &chatId, qint64 before, int limit);
    bool migrate();
    void fillSeenBy(std::vector<MessageRecord> &messages);
    QStringList chatMembers(const QString &chatId);

    QSqlDatabase db;
    QString connectionName;
    QString error;
    QHash<QString, QSqlQuery> statements;
    // Chats read so far, by id. Emptied when a transaction rolls back, since it may have held
    // the creation of one of them.
    QHash<QString, ChatRecord> chats;
    int transactionDepth = 0;
    bool statementFailed = false;
};
