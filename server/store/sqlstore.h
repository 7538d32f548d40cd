#pragma once

#include "chatcache.h"
#include "store.h"

#include <QHash>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <optional>
#include <vector>

// What the SQLite and PostgreSQL stores share: one Qt SQL connection, statements prepared once
// per text, and every query written so that both dialects read it alike. A backend opens the
// connection, creates its schema and says the few things its dialect writes differently.
class SqlStore : public Store
{
public:
    ~SqlStore() override;

    // The Qt SQL connection's name, for tests that change its settings on its own thread.
    QString connectionName() const;

    bool isOpen() const override;
    QString lastError() const override;
    bool lastStatementFailed() const override;
    int schemaVersion() override;
    bool ping() override;
    bool beginRead() override;
    void endRead() override;

    std::optional<UserRecord> addUser(
        const QString &username, const QString &passwordHash) override;
    std::optional<UserRecord> userById(const QString &userId) override;
    std::optional<UserRecord> userByName(const QString &username) override;
    QString passwordHash(const QString &userId) override;
    std::vector<UserRecord> users() override;
    bool setUserAvatar(const QString &userId, const QString &avatarUrl) override;
    bool setPasswordHash(
        const QString &userId, const QString &passwordHash, const QString &expected = {}) override;
    bool setUserDisabled(const QString &userId, bool disabled) override;
    bool recordLogin(const QString &userId, qint64 now) override;
    std::vector<AccountRecord> accounts() override;

    std::optional<ChatRecord> createChat(const QString &chatId,
        const QString &name,
        const QString &type,
        const QString &ownerId,
        const QStringList &members) override;
    // Read in one query, and kept in the server's ChatCache; a chat this transaction created or
    // changes is read from the database until it is committed.
    std::optional<ChatRecord> chat(const QString &chatId, bool fresh = false) override;
    std::vector<ChatRecord> chatsOfUser(const QString &userId) override;
    bool isMember(const QString &chatId, const QString &userId) override;
    bool lockChat(const QString &chatId, bool exclusive) override;
    bool renameChat(const QString &chatId, const QString &name) override;
    bool addMembers(const QString &chatId, const QStringList &userIds) override;
    bool removeMember(const QString &chatId, const QString &userId) override;
    // One query for the chats, one for their members, one for the messages, one for the
    // receipts and one for the unread counts.
    std::vector<ChatHistory> chatHistories(
        const QString &userId, int perChat, bool wholeSeconds = true) override;

    std::optional<MessageRecord> addMessage(const QString &chatId,
        const QString &senderId,
        const QString &text,
        const QString &replyToId,
        qint64 timestamp,
        const QString &uploadId = {},
        const QString &file = {}) override;
    std::optional<MessageRecord> message(const QString &messageId) override;
    std::vector<MessageRecord> newestMessages(const QString &chatId, int limit) override;
    std::vector<MessageRecord> messagesBefore(
        const QString &chatId, qint64 before, int limit, int tieLimit) override;
    std::vector<MessageRecord> messagesAround(const MessageRecord &message, int count) override;
    std::vector<MessageRecord> messagesAfter(
        const QString &chatId, qint64 after, int limit) override;
    bool markSeen(qint64 seq, const QString &userId, qint64 seenAt) override;
    bool editMessage(qint64 seq, const QString &text, qint64 editedAt) override;
    bool deleteMessage(qint64 seq) override;

    bool addUpload(const UploadRecord &upload) override;
    std::optional<UploadRecord> upload(const QString &uploadId) override;
    qint64 uploadedBytes(const QString &userId) override;
    bool holdUploadQuota(const QString &userId) override;
    std::optional<QStringList> unrecordedUploads(const QStringList &uploadIds) override;
    QStringList removeUnreferencedUploads(
        const QStringList &uploadIds, qint64 createdBefore, int limit) override;

    bool addLoginToken(const QString &tokenHash, const QString &userId, qint64 now) override;
    std::optional<QString> takeLoginToken(const QString &tokenHash, qint64 now) override;
    bool addHttpToken(const QString &tokenHash, const QString &userId, qint64 now) override;
    std::optional<QString> httpTokenUser(const QString &tokenHash, qint64 now) override;
    bool revokeTokens(const QString &userId) override;

    int connectionsElsewhere(const QString &userId, qint64 aliveSinceMs) override;
    bool setConnections(const QString &userId, int count, qint64 nowMs) override;
    bool touchPresence(qint64 nowMs, qint64 forgetBeforeMs) override;
    std::optional<LoginFailures> loginFailures(const QString &account) override;
    bool setLoginFailures(
        const QString &account, const LoginFailures &failures, qint64 forgetBeforeMs) override;

    bool reconnect() override;

protected:
    // One run of a cached statement; finished when it goes out of scope, so that no read stays
    // open longer than its caller needs it.
    class Statement
    {
    public:
        Statement(QSqlQuery query, bool ok);
        ~Statement();
        Statement(const Statement &) = delete;
        Statement &operator=(const Statement &) = delete;

        explicit operator bool() const;
        bool next();
        QVariant value(int index) const;
        int rowsAffected() const;

        QSqlQuery query;
        const bool ok;
    };

    // How the dialect matches and orders user names without regard to ASCII case.
    struct Dialect {
        // A condition on a users row with one placeholder, the name looked for.
        QString nameMatches;
        QString nameOrder;
        // A join from a chats row "c", and the column it gives: the version of the group's name,
        // owner and members where the store numbers their changes.
        QString chatVersionJoin;
        QString chatVersion;
    };

    explicit SqlStore(const Dialect &dialect);

    // Connections of `Backend` to the database at `where`, opened there already at the latest
    // schema.
    template <typename Backend, typename Where> static StoreConnector connectorTo(Where where)
    {
        return [where](QString *error) -> std::unique_ptr<Store> {
            auto store = std::make_unique<Backend>();
            if (store->open(where, Backend::OpenMode::Existing))
                return store;
            if (error)
                *error = store->lastError();
            return nullptr;
        };
    }

    // Adds the Qt SQL connection for `driver` under this store's own name.
    QSqlDatabase &addDatabase(const QString &driver);
    // Closes the connection, keeping its settings for open() again; forgets prepared statements.
    void closeDatabase();
    // Runs `sql` with `values` bound in order, through a statement prepared once per text.
    Statement run(const QString &sql, const QVariantList &values = {});
    bool execute(const QString &sql);
    // Creates the schema_version table, then runs `steps` from the stored version on, each in a
    // transaction of its own. Step N upgrades schema version N to N + 1.
    bool migrate(const std::vector<std::vector<const char *>> &steps);
    // Run inside the transaction of migration step `version` (the version it upgrades to), after
    // its statements: for work a list of statements cannot say.
    virtual bool afterMigrationStep(int version);
    static QString newMessageId();
    // A message from a row whose columns selectMessages() named.
    static MessageRecord messageFromRow(const QSqlQuery &query);
    // "SELECT" and the message columns, of the table `alias` when given, without "FROM".
    static QString selectMessages(const QString &alias = QString());
    void fillSeenBy(std::vector<MessageRecord> &messages);
    // The chats a search by `userId` reads: `chatId` alone when given and the user is in it,
    // else the user's chats, at most `atMost` of them.
    QStringList searchedChats(const QString &userId, const QString &chatId, int atMost);
    // Runs a search: `sql` selects the messages the index matches (their columns prefixed by
    // `columns`, such as "m."), `chatCondition` narrows them to one chat when `chatId` is
    // given; the page's end, the order (newest first) and the limit are added here.
    std::vector<MessageRecord> searchPage(QString sql,
        QVariantList values,
        const QString &columns,
        const QString &chatCondition,
        const QString &chatId,
        const std::optional<SearchPosition> &before,
        int limit);
    // Begins a transaction that reads one snapshot of the database.
    virtual bool beginSnapshot() = 0;
    // Settings of each new connection's session; false when they cannot be made.
    virtual bool prepareSession();
    // A feed entry from a query's columns `first` on: users, everyone, type, body, close code.
    static ChangeNotice noticeFromQuery(const QSqlQuery &query, int first);
    // How a feed entry keeps its users.
    static QString joinUsers(const QStringList &users);

    bool beginTransaction() override;
    bool commitTransaction() override;
    void rollbackTransaction() override;

    bool inTransaction() const
    {
        return transactionDepth > 0;
    }
    // A backend may hold writes of the open transaction back to send them together: it sets
    // `deferred`, and writes them here, before any other statement and before the commit.
    virtual bool flushDeferred();
    // Drops what is held back: its savepoint or transaction rolled back, or it ended.
    virtual void forgetDeferred();
    // Holds the chat's row until the transaction ends: against every other lock (`exclusive`),
    // or against exclusive ones.
    virtual bool holdChat(const QString &chatId, bool exclusive);
    // Holds the upload's row until the transaction ends, so that a message taking it and its
    // removal as unreferenced never both commit: shared to take it, exclusive to remove it.
    // False when it is gone, or (exclusive) held by another transaction.
    virtual bool holdUpload(const QString &uploadId, bool exclusive);
    // Groups read from the cache that turned out to have changed since: forgotten, and the
    // next transaction holds and reads afresh every group it writes to.
    void outdated(const QStringList &chatIds);

    QSqlDatabase db;
    QString error;
    bool deferred = false;
    // Of the open transaction: chats it created or changes; groups it read from the cache or
    // for it, with the version read; whether one of them was read at two versions.
    QSet<QString> changedChats;
    QHash<QString, qint64> readVersions;
    bool readTwice = false;

private:
    // Messages of `chatId` stamped before `before`: the newest `limit` and the rest of the
    // oldest one's second, oldest first.
    std::vector<MessageRecord> wholeSecondsBefore(const QString &chatId, qint64 before, int limit);
    // Appends the messages of the last one's second that come after it.
    void appendRestOfSecond(std::vector<MessageRecord> &messages);
    // The chat and its members in one query, with its version.
    std::optional<ChatCache::Entry> readChat(const QString &chatId);
    // Ends the open transaction's own record of chats.
    void endChatRecord();
    // After a write that changed the chat: returns `ok`.
    bool changedChat(const QString &chatId, bool ok);
    // Stores the hash of a token in `table`, stamped in `timeColumn`, and drops the tokens there
    // older than `lifetime`.
    bool addToken(QLatin1String table,
        QLatin1String timeColumn,
        qint64 lifetime,
        const QString &tokenHash,
        const QString &userId,
        qint64 now);
    QString savepointName() const;

    Dialect dialect;
    QString sqlConnectionName;
    QHash<QString, QSqlQuery> statements;
    // Groups the open transaction holds, and whether it holds each it writes to.
    QSet<QString> heldChats;
    bool holdingChats = false;
    bool holdChatsNext = false;
    int transactionDepth = 0;
    bool statementFailed = false;
    bool reading = false;
};
