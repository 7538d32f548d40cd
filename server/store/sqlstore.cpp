#include "sqlstore.h"

#include "credentials.h"
#include "serverlogging.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <limits>
#include <utility>

namespace
{

// Random ids can collide; a few tries make that practically impossible to notice.
constexpr int idAttempts = 5;

const char messageColumns[] =
    "seq, chat_id, sender_id, text, reply_to_id, timestamp, edited_at, id, upload_id, file"
    " FROM messages ";

MessageRecord messageFromQuery(const QSqlQuery &query)
{
    MessageRecord message;
    message.seq = query.value(0).toLongLong();
    message.id = query.value(7).toString();
    message.chatId = query.value(1).toString();
    message.senderId = query.value(2).toString();
    message.text = query.value(3).toString();
    message.replyToId = query.value(4).toString();
    message.timestamp = query.value(5).toLongLong();
    message.editedAt = query.value(6).toLongLong();
    message.uploadId = query.value(8).toString();
    message.file = query.value(9).toString();
    return message;
}

UserRecord userFromQuery(const QSqlQuery &query)
{
    return UserRecord { query.value(0).toString(),
        query.value(1).toString(),
        query.value(2).toString(),
        query.value(3).toLongLong() != 0 };
}

ChatRecord chatFromQuery(const QSqlQuery &query)
{
    return ChatRecord { query.value(0).toString(),
        query.value(1).toString(),
        query.value(2).toString(),
        query.value(3).toString(),
        query.value(4).toString(),
        {} };
}

bool isPrivate(const ChatRecord &chat)
{
    return chat.type == QLatin1String("private");
}

QVariant nullableText(const QString &text)
{
    return text.isEmpty() ? QVariant(QVariant::String) : QVariant(text);
}

} // namespace

SqlStore::Statement::Statement(QSqlQuery query, bool ok)
    : query(std::move(query))
    , ok(ok)
{
}

SqlStore::Statement::~Statement()
{
    query.finish();
}

SqlStore::Statement::operator bool() const
{
    return ok;
}

bool SqlStore::Statement::next()
{
    return ok && query.next();
}

QVariant SqlStore::Statement::value(int index) const
{
    return query.value(index);
}

int SqlStore::Statement::rowsAffected() const
{
    return query.numRowsAffected();
}

SqlStore::SqlStore(const Dialect &dialect)
    : dialect(dialect)
{
    static QAtomicInteger<int> counter;
    sqlConnectionName =
        QStringLiteral("ferrow-server-") + QString::number(counter.fetchAndAddRelaxed(1));
}

SqlStore::~SqlStore()
{
    statements.clear();
    if (db.isValid()) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(sqlConnectionName);
    }
}

QSqlDatabase &SqlStore::addDatabase(const QString &driver)
{
    db = QSqlDatabase::addDatabase(driver, sqlConnectionName);
    return db;
}

void SqlStore::closeDatabase()
{
    statements.clear();
    endChatRecord();
    transactionDepth = 0;
    reading = false;
    db.close();
}

QString SqlStore::connectionName() const
{
    return sqlConnectionName;
}

SqlStore::Statement SqlStore::run(const QString &sql, const QVariantList &values)
{
    if (deferred && !flushDeferred()) {
        statementFailed = true;
        return Statement(QSqlQuery(db), false);
    }
    auto it = statements.find(sql);
    if (it == statements.end()) {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        if (!query.prepare(sql)) {
            statementFailed = true;
            error = query.lastError().text();
            return Statement(query, false);
        }
        it = statements.insert(sql, query);
    }
    QSqlQuery query = *it;
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    const bool ok = query.exec();
    statementFailed = !ok;
    if (!ok)
        error = query.lastError().text();
    return Statement(query, ok);
}

bool SqlStore::execute(const QString &sql)
{
    QSqlQuery query(db);
    if (query.exec(sql))
        return true;
    error = query.lastError().text();
    return false;
}

QString SqlStore::savepointName() const
{
    return QStringLiteral("s") + QString::number(transactionDepth);
}

bool SqlStore::flushDeferred()
{
    deferred = false;
    return true;
}

void SqlStore::forgetDeferred()
{
    deferred = false;
}

bool SqlStore::beginTransaction()
{
    bool active = false;
    if (transactionDepth > 0) {
        // What is held back belongs to the outer level, which a rollback here must keep.
        if (deferred && !flushDeferred())
            return false;
        active = execute(QStringLiteral("SAVEPOINT ") + savepointName());
    } else {
        active = db.transaction();
        if (!active)
            error = db.lastError().text();
        holdingChats = std::exchange(holdChatsNext, false);
    }
    if (active)
        ++transactionDepth;
    return active;
}

bool SqlStore::commitTransaction()
{
    if (transactionDepth == 1 && deferred && !flushDeferred()) {
        --transactionDepth;
        forgetDeferred();
        db.rollback();
        endChatRecord();
        return false;
    }
    --transactionDepth;
    if (transactionDepth > 0) {
        const QString savepoint = savepointName();
        if (execute(QStringLiteral("RELEASE ") + savepoint))
            return true;
        execute(QStringLiteral("ROLLBACK TO ") + savepoint);
        execute(QStringLiteral("RELEASE ") + savepoint);
        return false;
    }
    forgetDeferred();
    const bool committed = db.commit();
    // Forgotten after the commit, so that no other connection reads the old chat back in; also
    // after a failed one, which may have reached the database.
    for (const QString &chatId : qAsConst(changedChats))
        chatCache().forget(chatId);
    endChatRecord();
    if (committed)
        return true;
    error = db.lastError().text();
    qCWarning(lcServer) << "commit failed:" << error;
    db.rollback();
    return false;
}

void SqlStore::rollbackTransaction()
{
    --transactionDepth;
    forgetDeferred();
    if (transactionDepth == 0) {
        endChatRecord();
        db.rollback();
        return;
    }
    const QString savepoint = savepointName();
    execute(QStringLiteral("ROLLBACK TO ") + savepoint);
    execute(QStringLiteral("RELEASE ") + savepoint);
}

bool SqlStore::beginRead()
{
    if (reading || transactionDepth > 0)
        return false;
    reading = beginSnapshot();
    if (!reading)
        return false;
    // Both take the snapshot at the first read, not at BEGIN.
    return ping();
}

void SqlStore::endRead()
{
    if (std::exchange(reading, false))
        db.rollback();
}

int SqlStore::connectionsElsewhere(const QString &userId, qint64 aliveSinceMs)
{
    Statement query = run(QStringLiteral("SELECT COALESCE(SUM(connections), 0) FROM presence"
                                         " WHERE user_id = ? AND server <> ? AND seen_at >= ?"),
        { userId, origin(), aliveSinceMs });
    return query.next() ? query.value(0).toInt() : 0;
}

bool SqlStore::setConnections(const QString &userId, int count, qint64 nowMs)
{
    if (count <= 0)
        return bool(run(QStringLiteral("DELETE FROM presence WHERE server = ? AND user_id = ?"),
            { origin(), userId }));
    return bool(run(QStringLiteral("INSERT INTO presence (server, user_id, connections, seen_at)"
                                   " VALUES (?, ?, ?, ?) ON CONFLICT (server, user_id) DO UPDATE"
                                   " SET connections = excluded.connections,"
                                   " seen_at = excluded.seen_at"),
        { origin(), userId, count, nowMs }));
}

bool SqlStore::touchPresence(qint64 nowMs, qint64 forgetBeforeMs)
{
    return run(QStringLiteral("UPDATE presence SET seen_at = ? WHERE server = ?"),
               { nowMs, origin() })
        && run(QStringLiteral("DELETE FROM presence WHERE seen_at < ?"), { forgetBeforeMs });
}

std::optional<LoginFailures> SqlStore::loginFailures(const QString &account)
{
    Statement query = run(QStringLiteral("SELECT failures, last_ms, addresses FROM login_failures"
                                         " WHERE account = ?"),
        { account });
    if (!query.next())
        return std::nullopt;
    return LoginFailures { query.value(0).toInt(),
        query.value(1).toLongLong(),
        query.value(2).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts) };
}

bool SqlStore::setLoginFailures(
    const QString &account, const LoginFailures &failures, qint64 forgetBeforeMs)
{
    if (!run(QStringLiteral("DELETE FROM login_failures WHERE last_ms < ?"), { forgetBeforeMs }))
        return false;
    // Addresses are as the logins write them: without spaces.
    return bool(run(QStringLiteral("INSERT INTO login_failures (account, failures, last_ms,"
                                   " addresses) VALUES (?, ?, ?, ?) ON CONFLICT (account) DO UPDATE"
                                   " SET failures = excluded.failures, last_ms = excluded.last_ms,"
                                   " addresses = excluded.addresses"),
        { account,
            failures.failures,
            failures.lastMs,
            QString(QStringLiteral("") + failures.addresses.join(QLatin1Char(' '))) }));
}

bool SqlStore::prepareSession()
{
    return true;
}

bool SqlStore::reconnect()
{
    closeDatabase();
    if (!db.open()) {
        error = db.lastError().text();
        return false;
    }
    return prepareSession();
}

ChangeNotice SqlStore::noticeFromQuery(const QSqlQuery &query, int first)
{
    ChangeNotice notice;
    notice.users = query.value(first).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    notice.everyone = query.value(first + 1).toBool();
    notice.type = query.value(first + 2).toString();
    notice.text = query.value(first + 3).toString();
    notice.closeCode = query.value(first + 4).toInt();
    return notice;
}

QString SqlStore::joinUsers(const QStringList &users)
{
    // User ids are letters and digits. Never null: the column is not.
    return QStringLiteral("") + users.join(QLatin1Char(' '));
}

bool SqlStore::isOpen() const
{
    return db.isOpen();
}

QString SqlStore::lastError() const
{
    return error;
}

bool SqlStore::lastStatementFailed() const
{
    return statementFailed;
}

int SqlStore::schemaVersion()
{
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("SELECT version FROM schema_version")) && query.next())
        return query.value(0).toInt();
    return 0;
}

bool SqlStore::ping()
{
    Statement query = run(QStringLiteral("SELECT version FROM schema_version"));
    return query.next();
}

std::vector<MessageRecord> SqlStore::searchPage(QString sql,
    QVariantList values,
    const QString &columns,
    const QString &chatCondition,
    const QString &chatId,
    const std::optional<SearchPosition> &before,
    int limit)
{
    if (!chatId.isEmpty()) {
        sql += QLatin1String(" AND ") + chatCondition;
        values.append(chatId);
    }
    if (before) {
        sql += QStringLiteral(" AND (%1timestamp < ? OR (%1timestamp = ? AND %1seq < ?))")
                   .arg(columns);
        values << before->timestamp << before->timestamp << before->seq;
    }
    sql += QStringLiteral(" ORDER BY %1timestamp DESC, %1seq DESC LIMIT ?").arg(columns);
    values.append(limit);
    std::vector<MessageRecord> messages;
    {
        Statement query = run(sql, values);
        if (!query)
            qCWarning(lcServer) << "searching failed:" << error;
        while (query.next())
            messages.push_back(messageFromQuery(query.query));
    }
    fillSeenBy(messages);
    return messages;
}

bool SqlStore::afterMigrationStep(int version)
{
    Q_UNUSED(version)
    return true;
}

MessageRecord SqlStore::messageFromRow(const QSqlQuery &query)
{
    return messageFromQuery(query);
}

QString SqlStore::selectMessages(const QString &alias)
{
    // The columns of messageFromRow, in its order.
    const QString a = alias.isEmpty() ? QString() : alias + QLatin1Char('.');
    return QStringLiteral("SELECT %1seq, %1chat_id, %1sender_id, %1text, %1reply_to_id,"
                          " %1timestamp, %1edited_at, %1id, %1upload_id, %1file")
        .arg(a);
}

bool SqlStore::migrate(const std::vector<std::vector<const char *>> &steps)
{
    if (!execute(
            QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")))
        return false;
    const int latest = int(steps.size());
    const int current = schemaVersion();
    if (current > latest) {
        error = QStringLiteral("the database has schema version %1, newer than this server's %2")
                    .arg(current)
                    .arg(latest);
        return false;
    }
    for (int version = current; version < latest; ++version) {
        Transaction transaction(*this);
        bool ok = transaction.isActive();
        for (const char *statement : steps.at(version)) {
            ok = ok && execute(QString::fromLatin1(statement));
        }
        ok = ok && afterMigrationStep(version + 1);
        ok = ok && execute(QStringLiteral("DELETE FROM schema_version"))
            && run(
                QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"), { version + 1 });
        if (!ok || !transaction.commit()) {
            error = QStringLiteral("upgrade to schema version %1 failed: %2")
                        .arg(version + 1)
                        .arg(error);
            return false;
        }
        qCInfo(lcServer) << "database schema upgraded to version" << version + 1;
    }
    return true;
}

std::optional<UserRecord> SqlStore::addUser(const QString &username, const QString &passwordHash)
{
    for (int attempt = 0; attempt < idAttempts; ++attempt) {
        // User ids never contain "_": the client splits one-to-one chat ids at it.
        const QString id = QStringLiteral("u") + credentials::randomHex(6);
        // A taken name or id inserts nothing rather than failing, which on PostgreSQL would
        // end the caller's whole transaction.
        Statement query =
            run(QStringLiteral("INSERT INTO users (id, username, password_hash,"
                               " created_at) VALUES (?, ?, ?, ?) ON CONFLICT DO NOTHING"),
                { id, username, passwordHash, QDateTime::currentSecsSinceEpoch() });
        if (!query)
            return std::nullopt;
        if (query.rowsAffected() == 1)
            return UserRecord { id, username, QString() };
        if (userByName(username)) {
            error = QStringLiteral("the user name is taken");
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<UserRecord> SqlStore::userById(const QString &userId)
{
    Statement query =
        run(QStringLiteral("SELECT id, username, avatar_url, disabled FROM users WHERE id = ?"),
            { userId });
    if (query.next())
        return userFromQuery(query.query);
    return std::nullopt;
}

std::optional<UserRecord> SqlStore::userByName(const QString &username)
{
    Statement query =
        run(QStringLiteral("SELECT id, username, avatar_url, disabled FROM users WHERE ")
                + dialect.nameMatches,
            { username });
    if (query.next())
        return userFromQuery(query.query);
    return std::nullopt;
}

QString SqlStore::passwordHash(const QString &userId)
{
    Statement query =
        run(QStringLiteral("SELECT password_hash FROM users WHERE id = ?"), { userId });
    return query.next() ? query.value(0).toString() : QString();
}

std::vector<UserRecord> SqlStore::users()
{
    std::vector<UserRecord> result;
    Statement query =
        run(QStringLiteral("SELECT id, username, avatar_url, disabled FROM users ORDER BY ")
            + dialect.nameOrder + QLatin1String(", id"));
    while (query.next())
        result.push_back(userFromQuery(query.query));
    return result;
}

bool SqlStore::setUserAvatar(const QString &userId, const QString &avatarUrl)
{
    Statement query =
        run(QStringLiteral("UPDATE users SET avatar_url = ? WHERE id = ?"), { avatarUrl, userId });
    return query && query.rowsAffected() == 1;
}

bool SqlStore::setPasswordHash(
    const QString &userId, const QString &passwordHash, const QString &expected)
{
    Statement query = expected.isEmpty()
        ? run(QStringLiteral("UPDATE users SET password_hash = ? WHERE id = ?"),
            { passwordHash, userId })
        : run(
            QStringLiteral("UPDATE users SET password_hash = ? WHERE id = ? AND password_hash = ?"),
            { passwordHash, userId, expected });
    return query && query.rowsAffected() == 1;
}

bool SqlStore::setUserDisabled(const QString &userId, bool disabled)
{
    Statement query = run(
        QStringLiteral("UPDATE users SET disabled = ? WHERE id = ?"), { disabled ? 1 : 0, userId });
    return query && query.rowsAffected() == 1;
}

bool SqlStore::recordLogin(const QString &userId, qint64 now)
{
    Statement query =
        run(QStringLiteral("UPDATE users SET last_login = ? WHERE id = ?"), { now, userId });
    return query && query.rowsAffected() == 1;
}

std::vector<AccountRecord> SqlStore::accounts()
{
    std::vector<AccountRecord> result;
    Statement query =
        run(QStringLiteral("SELECT id, username, disabled, last_login FROM users ORDER BY ")
            + dialect.nameOrder + QLatin1String(", id"));
    while (query.next())
        result.push_back(AccountRecord { query.value(0).toString(),
            query.value(1).toString(),
            query.value(2).toLongLong() != 0,
            query.value(3).toLongLong() });
    return result;
}

std::optional<ChatRecord> SqlStore::createChat(const QString &chatId,
    const QString &name,
    const QString &type,
    const QString &ownerId,
    const QStringList &members)
{
    // Inside the caller's transaction this is a savepoint, so a chat and its first message can
    // be committed together.
    Transaction transaction(*this);
    if (!transaction.isActive())
        return std::nullopt;
    ChatRecord chat { chatId, name, type, ownerId, QString(), members };
    bool ok = false;
    if (!chatId.isEmpty())
        changedChats.insert(chatId);
    for (int attempt = 0; attempt < idAttempts && !ok; ++attempt) {
        // Group ids never contain "_", so none can be taken for a one-to-one id.
        if (chatId.isEmpty()) {
            chat.id = QStringLiteral("g") + credentials::randomHex(6);
            changedChats.insert(chat.id);
        }
        // A null name would be stored as NULL.
        ok = bool(run(QStringLiteral("INSERT INTO chats (id, name, type, owner_id, created_at)"
                                     " VALUES (?, ?, ?, ?, ?)"),
            { chat.id,
                name.isNull() ? QStringLiteral("") : name,
                type,
                ownerId,
                QDateTime::currentSecsSinceEpoch() }));
        if (!chatId.isEmpty())
            break;
    }
    for (int i = 0; ok && i < members.size(); ++i) {
        ok = bool(run(QStringLiteral(
                          "INSERT INTO chat_members (chat_id, user_id, position) VALUES (?, ?, ?)"),
            { chat.id, members.at(i), i }));
    }
    if (!ok || !transaction.commit())
        return std::nullopt;
    return chat;
}

std::optional<ChatCache::Entry> SqlStore::readChat(const QString &chatId)
{
    Statement query = run(QStringLiteral("SELECT c.id, c.name, c.type, c.owner_id, c.avatar_url, ")
            + dialect.chatVersion + QLatin1String(", m.user_id FROM chats c ")
            + dialect.chatVersionJoin
            + QLatin1String(" LEFT JOIN chat_members m ON m.chat_id = c.id WHERE c.id = ?"
                            " ORDER BY m.position"),
        { chatId });
    if (!query.next())
        return std::nullopt;
    ChatCache::Entry entry { chatFromQuery(query.query), query.value(5).toLongLong() };
    do {
        if (!query.value(6).isNull())
            entry.chat.members.append(query.value(6).toString());
    } while (query.next());
    if (!query)
        return std::nullopt;
    return entry;
}

std::optional<ChatRecord> SqlStore::chat(const QString &chatId, bool fresh)
{
    // A snapshot may be older than what the cache holds of a group, and must see it as it was.
    const bool changed = changedChats.contains(chatId);
    std::optional<ChatCache::Entry> entry;
    if (!fresh && !changed) {
        entry = chatCache().find(chatId);
        if (entry && reading && !isPrivate(entry->chat))
            entry.reset();
    }
    if (!entry) {
        const quint64 generation = chatCache().generation();
        entry = readChat(chatId);
        if (!entry)
            return std::nullopt;
        if (!changed && (!reading || isPrivate(entry->chat)))
            chatCache().insert(*entry, generation);
    }
    if (inTransaction() && !isPrivate(entry->chat)) {
        const auto read = readVersions.constFind(chatId);
        if (read == readVersions.constEnd())
            readVersions.insert(chatId, entry->version);
        else if (*read != entry->version)
            readTwice = true;
    }
    return entry->chat;
}

std::vector<ChatRecord> SqlStore::chatsOfUser(const QString &userId)
{
    std::vector<ChatRecord> chats;
    QHash<QString, ChatRecord *> byId;
    {
        Statement query = run(QStringLiteral("SELECT c.id, c.name, c.type, c.owner_id, c.avatar_url"
                                             " FROM chats c JOIN chat_members m ON m.chat_id = c.id"
                                             " WHERE m.user_id = ? ORDER BY c.rowid"),
            { userId });
        while (query.next())
            chats.push_back(chatFromQuery(query.query));
    }
    for (ChatRecord &chat : chats)
        byId.insert(chat.id, &chat);
    // Every member of every one of the user's chats in one pass.
    Statement query = run(QStringLiteral("SELECT o.chat_id, o.user_id FROM chat_members o"
                                         " JOIN chat_members m ON m.chat_id = o.chat_id"
                                         " WHERE m.user_id = ? ORDER BY o.chat_id, o.position"),
        { userId });
    while (query.next()) {
        if (ChatRecord *chat = byId.value(query.value(0).toString()))
            chat->members.append(query.value(1).toString());
    }
    return chats;
}

bool SqlStore::isMember(const QString &chatId, const QString &userId)
{
    const std::optional<ChatRecord> found = chat(chatId);
    return found && found->members.contains(userId);
}

bool SqlStore::lockChat(const QString &chatId, bool exclusive)
{
    if (!inTransaction())
        return true;
    if (exclusive) {
        changedChats.insert(chatId);
        return holdChat(chatId, true);
    }
    if (!holdingChats || changedChats.contains(chatId) || heldChats.contains(chatId))
        return true;
    const std::optional<ChatCache::Entry> known = chatCache().find(chatId);
    if (known && isPrivate(known->chat))
        return true;
    heldChats.insert(chatId);
    if (!holdChat(chatId, false))
        return false;
    // No change of it can be committed before this transaction now.
    chat(chatId, true);
    return !statementFailed;
}

bool SqlStore::holdChat(const QString &, bool)
{
    return true;
}

bool SqlStore::holdUpload(const QString &, bool)
{
    // One writer at a time: nothing else can take or remove it meanwhile.
    return true;
}

void SqlStore::outdated(const QStringList &chatIds)
{
    for (const QString &chatId : chatIds)
        chatCache().forget(chatId);
    holdChatsNext = true;
}

void SqlStore::endChatRecord()
{
    changedChats.clear();
    readVersions.clear();
    readTwice = false;
    heldChats.clear();
    holdingChats = false;
}

bool SqlStore::changedChat(const QString &chatId, bool ok)
{
    // Alone, the write is committed when it returns; within a transaction, at its commit.
    if (!inTransaction()) {
        changedChats.remove(chatId);
        chatCache().forget(chatId);
    }
    return ok;
}

bool SqlStore::renameChat(const QString &chatId, const QString &name)
{
    changedChats.insert(chatId);
    return changedChat(chatId,
        run(QStringLiteral("UPDATE chats SET name = ? WHERE id = ?"), { name, chatId })
                .rowsAffected()
            > 0);
}

bool SqlStore::addMembers(const QString &chatId, const QStringList &userIds)
{
    changedChats.insert(chatId);
    bool ok = true;
    for (int i = 0; ok && i < userIds.size(); ++i) {
        // After everyone there: positions tell who has been in the chat longest.
        ok = bool(run(QStringLiteral("INSERT INTO chat_members (chat_id, user_id, position) VALUES"
                                     " (?, ?, (SELECT COALESCE(MAX(position), -1) + 1 FROM"
                                     " chat_members WHERE chat_id = ?))"),
            { chatId, userIds.at(i), chatId }));
    }
    return changedChat(chatId, ok);
}

bool SqlStore::removeMember(const QString &chatId, const QString &userId)
{
    changedChats.insert(chatId);
    // Without members the owner stays as it was: nobody sees the chat any more.
    const bool ok =
        run(QStringLiteral("DELETE FROM chat_members WHERE chat_id = ? AND user_id = ?"),
            { chatId, userId })
        && run(QStringLiteral("UPDATE chats SET owner_id = (SELECT user_id FROM chat_members"
                              " WHERE chat_id = ? ORDER BY position LIMIT 1)"
                              " WHERE id = ? AND owner_id = ? AND EXISTS (SELECT 1 FROM"
                              " chat_members WHERE chat_id = ?)"),
            { chatId, chatId, userId, chatId });
    return changedChat(chatId, ok);
}

std::vector<ChatHistory> SqlStore::chatHistories(
    const QString &userId, int perChat, bool wholeSeconds)
{
    std::vector<ChatHistory> histories;
    QHash<QString, std::size_t> indexById;
    for (ChatRecord &chat : chatsOfUser(userId)) {
        indexById.insert(chat.id, histories.size());
        ChatHistory history;
        history.chat = std::move(chat);
        histories.push_back(std::move(history));
    }
    // Through the per-chat index: the cost grows with the page, not with the chats' history.
    // Whole seconds from the second of the page's oldest message, as newestMessages() answers.
    const QString newest = wholeSeconds
        ? QStringLiteral(" FROM chat_members cm JOIN messages m ON m.chat_id = cm.chat_id"
                         " AND m.timestamp >= COALESCE((SELECT timestamp FROM messages"
                         " WHERE chat_id = cm.chat_id ORDER BY timestamp DESC, seq DESC"
                         " LIMIT 1 OFFSET ?), m.timestamp) WHERE cm.user_id = ?")
        : QStringLiteral(" FROM chat_members cm JOIN messages m ON m.seq IN (SELECT seq FROM"
                         " messages WHERE chat_id = cm.chat_id"
                         " ORDER BY timestamp DESC, seq DESC LIMIT ?) WHERE cm.user_id = ?");
    const int bound = wholeSeconds ? std::max(0, perChat - 1) : perChat;
    QHash<qint64, MessageRecord *> bySeq;
    {
        Statement query = run(QStringLiteral("SELECT m.seq, m.chat_id, m.sender_id, m.text,"
                                             " m.reply_to_id, m.timestamp, m.edited_at, m.id,"
                                             " m.upload_id, m.file")
                + newest + QLatin1String(" ORDER BY m.timestamp, m.seq"),
            { bound, userId });
        while (query.next()) {
            const auto it = indexById.constFind(query.value(1).toString());
            if (it != indexById.constEnd())
                histories[*it].messages.push_back(messageFromQuery(query.query));
        }
    }
    for (ChatHistory &history : histories) {
        for (MessageRecord &message : history.messages)
            bySeq.insert(message.seq, &message);
    }
    Statement query = run(QStringLiteral("SELECT message_seq, user_id FROM message_seen"
                                         " WHERE message_seq IN (SELECT m.seq")
            + newest + QLatin1String(") ORDER BY seen_at, rowid"),
        { bound, userId });
    while (query.next()) {
        if (MessageRecord *message = bySeq.value(query.value(0).toLongLong()))
            message->seenBy.append(query.value(1).toString());
    }
    // Deleted messages are gone from the table, so they count by themselves no more.
    Statement unread = run(QStringLiteral("SELECT m.chat_id, COUNT(*) FROM chat_members cm"
                                          " JOIN messages m ON m.chat_id = cm.chat_id"
                                          " WHERE cm.user_id = ? AND m.sender_id <> ?"
                                          " AND NOT EXISTS (SELECT 1 FROM message_seen s"
                                          " WHERE s.message_seq = m.seq AND s.user_id = ?)"
                                          " GROUP BY m.chat_id"),
        { userId, userId, userId });
    while (unread.next()) {
        const auto it = indexById.constFind(unread.value(0).toString());
        if (it != indexById.constEnd())
            histories[*it].unreadCount = unread.value(1).toInt();
    }
    return histories;
}

QString SqlStore::newMessageId()
{
    // 80 random bits: nobody can guess another chat's ids or count the server's messages.
    // Hex never holds "_", which the client reads as a one-to-one chat id's separator.
    return QStringLiteral("m") + credentials::randomHex(10);
}

std::optional<MessageRecord> SqlStore::addMessage(const QString &chatId,
    const QString &senderId,
    const QString &text,
    const QString &replyToId,
    qint64 timestamp,
    const QString &uploadId,
    const QString &file)
{
    MessageRecord message;
    for (int attempt = 0; attempt < idAttempts && message.id.isEmpty(); ++attempt) {
        const QString id = newMessageId();
        // A taken id inserts nothing, and is worth another try; any other failure is not.
        Statement query = run(QStringLiteral("INSERT INTO messages (id, chat_id, sender_id, text,"
                                             " reply_to_id, timestamp, upload_id, file)"
                                             " VALUES (?, ?, ?, ?, ?, ?, ?, ?)"
                                             " ON CONFLICT (id) DO NOTHING RETURNING seq"),
            { id,
                chatId,
                senderId,
                text,
                nullableText(replyToId),
                timestamp,
                nullableText(uploadId),
                nullableText(file) });
        if (!query)
            break;
        if (query.next()) {
            message.seq = query.value(0).toLongLong();
            message.id = id;
        }
    }
    if (message.id.isEmpty()) {
        qCWarning(lcServer) << "storing a message failed:" << error;
        return std::nullopt;
    }
    message.chatId = chatId;
    message.senderId = senderId;
    message.text = text;
    message.replyToId = replyToId;
    message.timestamp = timestamp;
    message.uploadId = uploadId;
    message.file = file;
    return message;
}

std::optional<MessageRecord> SqlStore::message(const QString &messageId)
{
    if (messageId.isEmpty())
        return std::nullopt;
    std::vector<MessageRecord> messages;
    {
        Statement query = run(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
                + QLatin1String("WHERE id = ?"),
            { messageId });
        if (!query.next())
            return std::nullopt;
        messages.push_back(messageFromQuery(query.query));
    }
    fillSeenBy(messages);
    return messages.front();
}

std::vector<MessageRecord> SqlStore::wholeSecondsBefore(
    const QString &chatId, qint64 before, int limit)
{
    // The second of the page's oldest message; none when fewer messages exist.
    qint64 from = std::numeric_limits<qint64>::min();
    {
        Statement query = run(QStringLiteral("SELECT timestamp FROM messages"
                                             " WHERE chat_id = ? AND timestamp < ?"
                                             " ORDER BY timestamp DESC, seq DESC LIMIT 1 OFFSET ?"),
            { chatId, before, std::max(0, limit - 1) });
        if (query.next())
            from = query.value(0).toLongLong();
    }
    std::vector<MessageRecord> messages;
    Statement query = run(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
            + QLatin1String("WHERE chat_id = ? AND timestamp >= ? AND timestamp < ?"
                            " ORDER BY timestamp, seq"),
        { chatId, from, before });
    while (query.next())
        messages.push_back(messageFromQuery(query.query));
    return messages;
}

std::vector<MessageRecord> SqlStore::newestMessages(const QString &chatId, int limit)
{
    std::vector<MessageRecord> messages =
        wholeSecondsBefore(chatId, std::numeric_limits<qint64>::max(), limit);
    fillSeenBy(messages);
    return messages;
}

std::vector<MessageRecord> SqlStore::messagesBefore(
    const QString &chatId, qint64 before, int limit, int tieLimit)
{
    std::vector<MessageRecord> messages = wholeSecondsBefore(chatId, before, limit);

    // An asker may hold only part of its oldest second (from a server whose pages ended inside
    // a second), so that second is sent again. Oldest first, since the asker holds the newest
    // of that second.
    {
        Statement query = run(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
                + QLatin1String("WHERE chat_id = ? AND timestamp = ? ORDER BY seq LIMIT ?"),
            { chatId, before, tieLimit });
        while (query.next())
            messages.push_back(messageFromQuery(query.query));
    }
    fillSeenBy(messages);
    return messages;
}

std::vector<MessageRecord> SqlStore::messagesAround(const MessageRecord &message, int count)
{
    std::vector<MessageRecord> messages;
    {
        Statement query = run(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
                + QLatin1String(
                    "WHERE chat_id = ? AND (timestamp < ? OR (timestamp = ? AND seq < ?))"
                    " ORDER BY timestamp DESC, seq DESC LIMIT ?"),
            { message.chatId, message.timestamp, message.timestamp, message.seq, count });
        while (query.next())
            messages.push_back(messageFromQuery(query.query));
    }
    std::reverse(messages.begin(), messages.end());
    messages.push_back(message);
    messages.back().seenBy.clear();
    int after = 0;
    {
        Statement query = run(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
                + QLatin1String(
                    "WHERE chat_id = ? AND (timestamp > ? OR (timestamp = ? AND seq > ?))"
                    " ORDER BY timestamp, seq LIMIT ?"),
            { message.chatId, message.timestamp, message.timestamp, message.seq, count });
        while (query.next()) {
            messages.push_back(messageFromQuery(query.query));
            ++after;
        }
    }
    if (after == count)
        appendRestOfSecond(messages);
    fillSeenBy(messages);
    return messages;
}

std::vector<MessageRecord> SqlStore::messagesAfter(const QString &chatId, qint64 after, int limit)
{
    std::vector<MessageRecord> messages;
    {
        Statement query = run(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
                + QLatin1String("WHERE chat_id = ? AND timestamp > ? ORDER BY timestamp, seq"
                                " LIMIT ?"),
            { chatId, after, limit });
        while (query.next())
            messages.push_back(messageFromQuery(query.query));
    }
    if (!messages.empty())
        appendRestOfSecond(messages);
    fillSeenBy(messages);
    return messages;
}

void SqlStore::appendRestOfSecond(std::vector<MessageRecord> &messages)
{
    const MessageRecord last = messages.back();
    Statement query = run(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
            + QLatin1String("WHERE chat_id = ? AND timestamp = ? AND seq > ? ORDER BY seq"),
        { last.chatId, last.timestamp, last.seq });
    while (query.next())
        messages.push_back(messageFromQuery(query.query));
}

QStringList SqlStore::searchedChats(const QString &userId, const QString &chatId, int atMost)
{
    if (!chatId.isEmpty())
        return isMember(chatId, userId) ? QStringList { chatId } : QStringList();
    QStringList chatIds;
    Statement chats =
        run(QStringLiteral("SELECT chat_id FROM chat_members WHERE user_id = ?"), { userId });
    while (chatIds.size() < atMost && chats.next())
        chatIds.append(chats.value(0).toString());
    return chatIds;
}

void SqlStore::fillSeenBy(std::vector<MessageRecord> &messages)
{
    if (messages.empty())
        return;
    QHash<qint64, MessageRecord *> bySeq;
    QStringList seqs;
    for (MessageRecord &message : messages) {
        bySeq.insert(message.seq, &message);
        seqs.append(QString::number(message.seq));
    }
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // The list holds only integers read from the database, so it is safe to inline.
    if (!query.exec(QStringLiteral("SELECT message_seq, user_id FROM message_seen"
                                   " WHERE message_seq IN (")
            + seqs.join(QLatin1Char(',')) + QLatin1String(") ORDER BY seen_at, rowid")))
        return;
    while (query.next()) {
        if (MessageRecord *message = bySeq.value(query.value(0).toLongLong()))
            message->seenBy.append(query.value(1).toString());
    }
}

bool SqlStore::markSeen(qint64 seq, const QString &userId, qint64 seenAt)
{
    Statement query = run(QStringLiteral("INSERT INTO message_seen (message_seq, user_id, seen_at)"
                                         " VALUES (?, ?, ?) ON CONFLICT DO NOTHING"),
        { seq, userId, seenAt });
    if (!query) {
        qCWarning(lcServer) << "storing a seen receipt failed:" << error;
        return false;
    }
    return query.rowsAffected() == 1;
}

bool SqlStore::editMessage(qint64 seq, const QString &text, qint64 editedAt)
{
    Statement query =
        run(QStringLiteral("UPDATE messages SET text = ?, edited_at = ? WHERE seq = ?"),
            { text, editedAt, seq });
    if (!query) {
        qCWarning(lcServer) << "storing an edit failed:" << error;
        return false;
    }
    return query.rowsAffected() == 1;
}

bool SqlStore::deleteMessage(qint64 seq)
{
    Statement query = run(QStringLiteral("DELETE FROM messages WHERE seq = ?"), { seq });
    if (!query) {
        qCWarning(lcServer) << "deleting a message failed:" << error;
        return false;
    }
    return query.rowsAffected() == 1;
}
bool SqlStore::addToken(QLatin1String table,
    QLatin1String timeColumn,
    qint64 lifetime,
    const QString &tokenHash,
    const QString &userId,
    qint64 now)
{
    // Expired tokens go whenever a new one is stored, so the table stays as small as the number
    // of live sessions.
    run(QStringLiteral("DELETE FROM ") + table + QStringLiteral(" WHERE ") + timeColumn
            + QStringLiteral(" < ?"),
        { now - lifetime });
    Statement query = run(QStringLiteral("INSERT INTO ") + table
            + QStringLiteral(" (token_hash, user_id, ") + timeColumn
            + QStringLiteral(") VALUES (?, ?, ?) ON CONFLICT (token_hash) DO UPDATE"
                             " SET user_id = excluded.user_id, ")
            + timeColumn + QStringLiteral(" = excluded.") + timeColumn,
        { tokenHash, userId, now });
    if (!query) {
        qCWarning(lcServer) << "storing a token in" << table << "failed:" << error;
        return false;
    }
    return true;
}

bool SqlStore::addLoginToken(const QString &tokenHash, const QString &userId, qint64 now)
{
    return addToken(QLatin1String("login_tokens"),
        QLatin1String("last_used"),
        loginTokenLifetime,
        tokenHash,
        userId,
        now);
}

std::optional<QString> SqlStore::takeLoginToken(const QString &tokenHash, qint64 now)
{
    QString userId;
    qint64 lastUsed = 0;
    {
        Statement query =
            run(QStringLiteral("SELECT user_id, last_used FROM login_tokens WHERE token_hash = ?"),
                { tokenHash });
        if (!query.next())
            return std::nullopt;
        userId = query.value(0).toString();
        lastUsed = query.value(1).toLongLong();
    }
    Statement removal =
        run(QStringLiteral("DELETE FROM login_tokens WHERE token_hash = ?"), { tokenHash });
    // Only the login that removed the token may use it.
    if (!removal || removal.rowsAffected() != 1 || lastUsed < now - loginTokenLifetime)
        return std::nullopt;
    return userId;
}

bool SqlStore::addHttpToken(const QString &tokenHash, const QString &userId, qint64 now)
{
    return addToken(QLatin1String("http_tokens"),
        QLatin1String("created_at"),
        httpTokenLifetime,
        tokenHash,
        userId,
        now);
}

std::optional<QString> SqlStore::httpTokenUser(const QString &tokenHash, qint64 now)
{
    Statement query = run(
        QStringLiteral("SELECT user_id FROM http_tokens WHERE token_hash = ? AND created_at >= ?"),
        { tokenHash, now - httpTokenLifetime });
    if (query.next())
        return query.value(0).toString();
    return std::nullopt;
}

bool SqlStore::revokeTokens(const QString &userId)
{
    return run(QStringLiteral("DELETE FROM login_tokens WHERE user_id = ?"), { userId })
        && run(QStringLiteral("DELETE FROM http_tokens WHERE user_id = ?"), { userId });
}

bool SqlStore::addUpload(const UploadRecord &upload)
{
    Statement query = run(QStringLiteral("INSERT INTO uploads (id, chat_id, user_id, name, size,"
                                         " mime, width, height, created_at)"
                                         " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        { upload.id,
            upload.chatId,
            upload.userId,
            upload.name,
            upload.size,
            upload.mime,
            upload.width,
            upload.height,
            upload.createdAt });
    if (!query)
        qCWarning(lcServer) << "storing an upload failed:" << error;
    return bool(query);
}

std::optional<UploadRecord> SqlStore::upload(const QString &uploadId)
{
    if (inTransaction() && !holdUpload(uploadId, false))
        return std::nullopt;
    Statement query = run(QStringLiteral("SELECT id, chat_id, user_id, name, size, mime, width,"
                                         " height, created_at FROM uploads WHERE id = ?"),
        { uploadId });
    if (!query.next())
        return std::nullopt;
    return UploadRecord { query.value(0).toString(),
        query.value(1).toString(),
        query.value(2).toString(),
        query.value(3).toString(),
        query.value(4).toLongLong(),
        query.value(5).toString(),
        query.value(6).toInt(),
        query.value(7).toInt(),
        query.value(8).toLongLong() };
}

qint64 SqlStore::uploadedBytes(const QString &userId)
{
    Statement query = run(
        QStringLiteral("SELECT COALESCE(SUM(size), 0) FROM uploads WHERE user_id = ?"), { userId });
    return query.next() ? query.value(0).toLongLong() : 0;
}

bool SqlStore::holdUploadQuota(const QString &)
{
    // One writer at a time.
    return true;
}

std::optional<QStringList> SqlStore::unrecordedUploads(const QStringList &uploadIds)
{
    QStringList unrecorded;
    for (const QString &id : uploadIds) {
        Statement query = run(QStringLiteral("SELECT 1 FROM uploads WHERE id = ?"), { id });
        if (!query)
            return std::nullopt;
        if (!query.next())
            unrecorded.append(id);
    }
    return unrecorded;
}

QStringList SqlStore::removeUnreferencedUploads(
    const QStringList &uploadIds, qint64 createdBefore, int limit)
{
    const QString unreferenced =
        QStringLiteral(" AND NOT EXISTS (SELECT 1 FROM messages m WHERE m.upload_id = u.id)");
    QStringList candidates = uploadIds;
    if (candidates.isEmpty()) {
        Statement query = run(QStringLiteral("SELECT u.id FROM uploads u WHERE u.created_at < ?")
                + unreferenced + QLatin1String(" ORDER BY u.created_at LIMIT ?"),
            { createdBefore, limit });
        while (query.next())
            candidates.append(query.value(0).toString());
    }
    QStringList removed;
    for (const QString &id : qAsConst(candidates)) {
        if (inTransaction() && !holdUpload(id, true))
            continue;
        // Another server may have removed it, or a message taken it, meanwhile.
        Statement query =
            run(QStringLiteral("DELETE FROM uploads WHERE id IN (SELECT u.id FROM uploads u"
                               " WHERE u.id = ?")
                    + unreferenced + QLatin1Char(')'),
                { id });
        if (query && query.rowsAffected() == 1)
            removed.append(id);
    }
    return removed;
}
