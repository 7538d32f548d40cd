#pragma once

#include "store.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <optional>
#include <vector>

// The store in one SQLite file in the data directory, in WAL mode, so that readers on connections
// of their own see what is committed while the writer writes.
class SqliteStore final : public Store
{
public:
    // The schema this build creates and upgrades to.
    static constexpr int latestSchemaVersion = 4;
    // File name of the database inside the data directory.
    static const QString fileName;

    enum class OpenMode {
        // Creates the data directory and the file where missing, keeps them private, upgrades
        // the schema and warns once when the file cannot be written.
        Upgrade,
        // Another connection has done all that: only connects, and checks the schema.
        Existing,
    };

    SqliteStore();
    ~SqliteStore() override;

    // Opens the database in `dataDir`.
    bool open(const QString &dataDir, OpenMode mode = OpenMode::Upgrade);
    // Connections to the database in `dataDir`, opened there already by `open`.
    static StoreConnector connector(const QString &dataDir);
    // The Qt SQL connection's name, for tests that change its settings on its own thread.
    QString connectionName() const;

    bool isOpen() const override;
    QString lastError() const override;
    bool lastStatementFailed() const override;
    int schemaVersion() override;
    bool backupTo(const QString &path) override;
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
    // Chats and their members never change once created, so a chat is read from the file once
    // and then kept; every message asks for its chat's members.
    std::optional<ChatRecord> chat(const QString &chatId) override;
    std::vector<ChatRecord> chatsOfUser(const QString &userId) override;
    bool isMember(const QString &chatId, const QString &userId) override;
    // One query for the chats, one for their members, one for the messages and one for the
    // receipts.
    std::vector<ChatHistory> chatHistories(
        const QString &userId, int perChat, bool wholeSeconds = true) override;

    std::optional<MessageRecord> addMessage(const QString &chatId,
        const QString &senderId,
        const QString &text,
        const QString &replyToId,
        qint64 timestamp) override;
    std::optional<MessageRecord> message(const QString &messageId) override;
    std::vector<MessageRecord> newestMessages(const QString &chatId, int limit) override;
    std::vector<MessageRecord> messagesBefore(
        const QString &chatId, qint64 before, int limit, int tieLimit) override;
    bool markSeen(qint64 seq, const QString &userId, qint64 seenAt) override;
    bool editMessage(qint64 seq, const QString &text, qint64 editedAt) override;
    bool deleteMessage(qint64 seq) override;

    bool addLoginToken(const QString &tokenHash, const QString &userId, qint64 now) override;
    std::optional<QString> takeLoginToken(const QString &tokenHash, qint64 now) override;
    bool addHttpToken(const QString &tokenHash, const QString &userId, qint64 now) override;
    std::optional<QString> httpTokenUser(const QString &tokenHash, qint64 now) override;
    bool revokeTokens(const QString &userId) override;

    bool addAccountChange(const QString &userId,
        AccountChange::Kind kind,
        const QString &origin,
        qint64 now) override;
    std::vector<AccountChange> accountChangesAfter(qint64 seq) override;
    qint64 lastAccountChange() override;

protected:
    bool beginTransaction() override;
    bool commitTransaction() override;
    void rollbackTransaction() override;

private:
    class Statement;

    // Runs `sql` with `values` bound in order, through a statement prepared once per text.
    Statement run(const QString &sql, const QVariantList &values = {});
    bool execute(const QString &sql);
    // Messages of `chatId` stamped before `before`: the newest `limit` and the rest of the
    // oldest one's second, oldest first.
    std::vector<MessageRecord> wholeSecondsBefore(const QString &chatId, qint64 before, int limit);
    bool migrate();
    void fillSeenBy(std::vector<MessageRecord> &messages);
    QStringList chatMembers(const QString &chatId);
    QString savepointName() const;

    QSqlDatabase db;
    QString sqlConnectionName;
    QString error;
    QHash<QString, QSqlQuery> statements;
    // Chats read so far, by id. Emptied when a transaction rolls back, since it may have held
    // the creation of one of them.
    QHash<QString, ChatRecord> chats;
    int transactionDepth = 0;
    bool statementFailed = false;
    bool reading = false;
};
