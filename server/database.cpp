#include "database.h"

#include "credentials.h"
#include "serverlogging.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>

const QString Database::fileName = QStringLiteral("ferrow.sqlite");

namespace
{

// Step N upgrades a database from schema version N to N + 1. Append new steps; never change
// a step that has shipped, since existing databases have already run it.
const std::vector<std::vector<const char *>> migrations = {
    {
        "CREATE TABLE users ("
        " id TEXT PRIMARY KEY,"
        " username TEXT NOT NULL UNIQUE COLLATE NOCASE,"
        " password_hash TEXT NOT NULL,"
        " avatar_url TEXT NOT NULL DEFAULT '',"
        " created_at INTEGER NOT NULL)",
        "CREATE TABLE chats ("
        " id TEXT PRIMARY KEY,"
        " name TEXT NOT NULL,"
        " type TEXT NOT NULL CHECK (type IN ('private', 'group')),"
        " owner_id TEXT NOT NULL REFERENCES users(id),"
        " avatar_url TEXT NOT NULL DEFAULT '',"
        " created_at INTEGER NOT NULL)",
        "CREATE TABLE chat_members ("
        " chat_id TEXT NOT NULL REFERENCES chats(id) ON DELETE CASCADE,"
        " user_id TEXT NOT NULL REFERENCES users(id),"
        " position INTEGER NOT NULL,"
        " PRIMARY KEY (chat_id, user_id))",
        "CREATE INDEX chat_members_by_user ON chat_members(user_id)",
        // AUTOINCREMENT: a deleted message's id is never handed out again.
        "CREATE TABLE messages ("
        " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
        " chat_id TEXT NOT NULL REFERENCES chats(id) ON DELETE CASCADE,"
        " sender_id TEXT NOT NULL REFERENCES users(id),"
        " text TEXT NOT NULL,"
        " reply_to_id TEXT,"
        " timestamp INTEGER NOT NULL,"
        " edited_at INTEGER NOT NULL DEFAULT 0)",
        "CREATE INDEX messages_by_chat_time ON messages(chat_id, timestamp, seq)",
        "CREATE TABLE message_seen ("
        " message_seq INTEGER NOT NULL REFERENCES messages(seq) ON DELETE CASCADE,"
        " user_id TEXT NOT NULL REFERENCES users(id),"
        " seen_at INTEGER NOT NULL,"
        " PRIMARY KEY (message_seq, user_id))",
    },
    {
        // Only a token's SHA-256 is kept, so that a copy of the database logs nobody in.
        "CREATE TABLE login_tokens ("
        " token_hash TEXT PRIMARY KEY,"
        " user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
        " last_used INTEGER NOT NULL)",
        "CREATE INDEX login_tokens_by_use ON login_tokens(last_used)",
    },
};

// Random ids can collide; a few tries make that practically impossible to notice.
constexpr int idAttempts = 5;

const char messageColumns[] =
    "seq, chat_id, sender_id, text, reply_to_id, timestamp, edited_at FROM messages ";

MessageRecord messageFromQuery(const QSqlQuery &query)
{
    MessageRecord message;
    message.seq = query.value(0).toLongLong();
    message.id = Database::messageId(message.seq);
    message.chatId = query.value(1).toString();
    message.senderId = query.value(2).toString();
    message.text = query.value(3).toString();
    message.replyToId = query.value(4).toString();
    message.timestamp = query.value(5).toLongLong();
    message.editedAt = query.value(6).toLongLong();
    return message;
}

UserRecord userFromQuery(const QSqlQuery &query)
{
    return UserRecord {
        query.value(0).toString(), query.value(1).toString(), query.value(2).toString()
    };
}

} // namespace

Database::Database()
{
    static QAtomicInteger<int> counter;
    connectionName =
        QStringLiteral("ferrow-server-") + QString::number(counter.fetchAndAddRelaxed(1));
}

Database::~Database()
{
    if (db.isValid()) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
    }
}

bool Database::open(const QString &dataDir)
{
    if (!QDir().mkpath(dataDir)) {
        error = QStringLiteral("cannot create data directory ") + dataDir;
        return false;
    }
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(QDir(dataDir).filePath(fileName));
    // Administration commands may write while the server runs; wait for their lock briefly.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        error = db.lastError().text();
        return false;
    }
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next()
        || query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        error = QStringLiteral("cannot switch the database to WAL mode");
        db.close();
        return false;
    }
    // FULL makes every commit durable against power loss, not only against a crash; an fsync
    // per message costs well under a millisecond on current disks.
    for (const char *pragma : { "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON" }) {
        if (!query.exec(QString::fromLatin1(pragma))) {
            error = query.lastError().text();
            db.close();
            return false;
        }
    }
    if (!migrate()) {
        db.close();
        return false;
    }
    return true;
}

bool Database::isOpen() const
{
    return db.isOpen();
}

QString Database::lastError() const
{
    return error;
}

int Database::schemaVersion()
{
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("SELECT version FROM schema_version")) && query.next())
        return query.value(0).toInt();
    return 0;
}

bool Database::migrate()
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"))) {
        error = query.lastError().text();
        return false;
    }
    const int current = schemaVersion();
    if (current > latestSchemaVersion) {
        error = QStringLiteral("the database has schema version %1, newer than this server's %2")
                    .arg(current)
                    .arg(latestSchemaVersion);
        return false;
    }
    for (int version = current; version < latestSchemaVersion; ++version) {
        if (!db.transaction()) {
            error = db.lastError().text();
            return false;
        }
        bool ok = true;
        for (const char *statement : migrations.at(version)) {
            ok = query.exec(QString::fromLatin1(statement));
            if (!ok)
                break;
        }
        ok = ok && query.exec(QStringLiteral("DELETE FROM schema_version"));
        if (ok) {
            query.prepare(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"));
            query.addBindValue(version + 1);
            ok = query.exec();
        }
        if (!ok || !db.commit()) {
            error = QStringLiteral("upgrade to schema version %1 failed: %2")
                        .arg(version + 1)
                        .arg(query.lastError().text());
            db.rollback();
            return false;
        }
        qCInfo(lcServer) << "database schema upgraded to version" << version + 1;
    }
    return true;
}

bool Database::beginTransaction()
{
    inTransaction = db.transaction();
    if (!inTransaction)
        error = db.lastError().text();
    return inTransaction;
}

bool Database::commit()
{
    inTransaction = false;
    if (db.commit())
        return true;
    error = db.lastError().text();
    qCWarning(lcServer) << "commit failed:" << error;
    db.rollback();
    return false;
}

void Database::rollback()
{
    inTransaction = false;
    db.rollback();
}

std::optional<UserRecord> Database::addUser(const QString &username, const QString &passwordHash)
{
    QSqlQuery query(db);
    for (int attempt = 0; attempt < idAttempts; ++attempt) {
        // User ids never contain "_": the client splits one-to-one chat ids at it.
        const QString id = QStringLiteral("u") + credentials::randomHex(6);
        query.prepare(QStringLiteral("INSERT INTO users (id, username, password_hash, created_at)"
                                     " VALUES (?, ?, ?, ?)"));
        query.addBindValue(id);
        query.addBindValue(username);
        query.addBindValue(passwordHash);
        query.addBindValue(QDateTime::currentSecsSinceEpoch());
        if (query.exec())
            return UserRecord { id, username, QString() };
        error = query.lastError().text();
        if (userByName(username))
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<UserRecord> Database::userById(const QString &userId)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id, username, avatar_url FROM users WHERE id = ?"));
    query.addBindValue(userId);
    if (query.exec() && query.next())
        return userFromQuery(query);
    return std::nullopt;
}

std::optional<UserRecord> Database::userByName(const QString &username)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT id, username, avatar_url FROM users WHERE username = ?"));
    query.addBindValue(username);
    if (query.exec() && query.next())
        return userFromQuery(query);
    return std::nullopt;
}

QString Database::passwordHash(const QString &userId)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT password_hash FROM users WHERE id = ?"));
    query.addBindValue(userId);
    if (query.exec() && query.next())
        return query.value(0).toString();
    return QString();
}

std::vector<UserRecord> Database::users()
{
    std::vector<UserRecord> result;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (query.exec(QStringLiteral(
            "SELECT id, username, avatar_url FROM users ORDER BY username COLLATE NOCASE, id"))) {
        while (query.next())
            result.push_back(userFromQuery(query));
    }
    return result;
}

bool Database::setUserAvatar(const QString &userId, const QString &avatarUrl)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE users SET avatar_url = ? WHERE id = ?"));
    query.addBindValue(avatarUrl);
    query.addBindValue(userId);
    if (!query.exec()) {
        error = query.lastError().text();
        return false;
    }
    return query.numRowsAffected() == 1;
}

std::optional<ChatRecord> Database::createChat(const QString &chatId,
    const QString &name,
    const QString &type,
    const QString &ownerId,
    const QStringList &members)
{
    // Joins the caller's transaction when there is one, so a chat and its first message can be
    // committed together.
    const bool ownTransaction = !inTransaction;
    if (ownTransaction && !beginTransaction())
        return std::nullopt;
    QSqlQuery query(db);
    ChatRecord chat { chatId, name, type, ownerId, QString(), members };
    bool inserted = false;
    for (int attempt = 0; attempt < idAttempts && !inserted; ++attempt) {
        // Group ids never contain "_", so none can be taken for a one-to-one id.
        if (chatId.isEmpty())
            chat.id = QStringLiteral("g") + credentials::randomHex(6);
        query.prepare(QStringLiteral("INSERT INTO chats (id, name, type, owner_id, created_at)"
                                     " VALUES (?, ?, ?, ?, ?)"));
        query.addBindValue(chat.id);
        // A null string would be stored as NULL.
        query.addBindValue(name.isNull() ? QStringLiteral("") : name);
        query.addBindValue(type);
        query.addBindValue(ownerId);
        query.addBindValue(QDateTime::currentSecsSinceEpoch());
        inserted = query.exec();
        if (!chatId.isEmpty())
            break;
    }
    bool ok = inserted;
    for (int i = 0; ok && i < members.size(); ++i) {
        query.prepare(QStringLiteral(
            "INSERT INTO chat_members (chat_id, user_id, position) VALUES (?, ?, ?)"));
        query.addBindValue(chat.id);
        query.addBindValue(members.at(i));
        query.addBindValue(i);
        ok = query.exec();
    }
    if (!ok) {
        error = query.lastError().text();
        if (ownTransaction)
            rollback();
        return std::nullopt;
    }
    if (ownTransaction && !commit())
        return std::nullopt;
    return chat;
}

QStringList Database::chatMembers(const QString &chatId)
{
    QStringList members;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT user_id FROM chat_members WHERE chat_id = ? ORDER BY position"));
    query.addBindValue(chatId);
    if (query.exec()) {
        while (query.next())
            members.append(query.value(0).toString());
    }
    return members;
}

std::optional<ChatRecord> Database::chat(const QString &chatId)
{
    QSqlQuery query(db);
    query.prepare(
        QStringLiteral("SELECT id, name, type, owner_id, avatar_url FROM chats WHERE id = ?"));
    query.addBindValue(chatId);
    if (!query.exec() || !query.next())
        return std::nullopt;
    ChatRecord chat { query.value(0).toString(),
        query.value(1).toString(),
        query.value(2).toString(),
        query.value(3).toString(),
        query.value(4).toString(),
        {} };
    chat.members = chatMembers(chat.id);
    return chat;
}

std::vector<ChatRecord> Database::chatsOfUser(const QString &userId)
{
    std::vector<ChatRecord> chats;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT c.id, c.name, c.type, c.owner_id, c.avatar_url"
                                 " FROM chats c JOIN chat_members m ON m.chat_id = c.id"
                                 " WHERE m.user_id = ? ORDER BY c.rowid"));
    query.addBindValue(userId);
    if (query.exec()) {
        while (query.next()) {
            chats.push_back(ChatRecord { query.value(0).toString(),
                query.value(1).toString(),
                query.value(2).toString(),
                query.value(3).toString(),
                query.value(4).toString(),
                {} });
        }
    }
    for (ChatRecord &chat : chats)
        chat.members = chatMembers(chat.id);
    return chats;
}

bool Database::isMember(const QString &chatId, const QString &userId)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT 1 FROM chat_members WHERE chat_id = ? AND user_id = ?"));
    query.addBindValue(chatId);
    query.addBindValue(userId);
    return query.exec() && query.next();
}

std::optional<MessageRecord> Database::addMessage(const QString &chatId,
    const QString &senderId,
    const QString &text,
    const QString &replyToId,
    qint64 timestamp)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO messages (chat_id, sender_id, text, reply_to_id,"
                                 " timestamp) VALUES (?, ?, ?, ?, ?)"));
    query.addBindValue(chatId);
    query.addBindValue(senderId);
    query.addBindValue(text);
    query.addBindValue(replyToId.isEmpty() ? QVariant(QVariant::String) : QVariant(replyToId));
    query.addBindValue(timestamp);
    if (!query.exec()) {
        error = query.lastError().text();
        qCWarning(lcServer) << "storing a message failed:" << error;
        return std::nullopt;
    }
    MessageRecord message;
    message.seq = query.lastInsertId().toLongLong();
    message.id = messageId(message.seq);
    message.chatId = chatId;
    message.senderId = senderId;
    message.text = text;
    message.replyToId = replyToId;
    message.timestamp = timestamp;
    return message;
}

std::optional<MessageRecord> Database::message(const QString &messageId)
{
    const qint64 seq = messageSeq(messageId);
    if (seq <= 0)
        return std::nullopt;
    QSqlQuery query(db);
    query.prepare(
        QStringLiteral("SELECT ") + QLatin1String(messageColumns) + QLatin1String("WHERE seq = ?"));
    query.addBindValue(seq);
    if (!query.exec() || !query.next())
        return std::nullopt;
    std::vector<MessageRecord> messages { messageFromQuery(query) };
    fillSeenBy(messages);
    return messages.front();
}

std::vector<MessageRecord> Database::newestMessages(const QString &chatId, int limit)
{
    std::vector<MessageRecord> messages;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
        + QLatin1String("WHERE chat_id = ? ORDER BY timestamp DESC, seq DESC LIMIT ?"));
    query.addBindValue(chatId);
    query.addBindValue(limit);
    if (query.exec()) {
        while (query.next())
            messages.push_back(messageFromQuery(query));
    }
    std::reverse(messages.begin(), messages.end());
    fillSeenBy(messages);
    return messages;
}

std::vector<MessageRecord> Database::messagesBefore(
    const QString &chatId, qint64 before, int limit, int tieLimit)
{
    std::vector<MessageRecord> messages;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
        + QLatin1String("WHERE chat_id = ? AND timestamp < ?"
                        " ORDER BY timestamp DESC, seq DESC LIMIT ?"));
    query.addBindValue(chatId);
    query.addBindValue(before);
    query.addBindValue(limit);
    if (query.exec()) {
        while (query.next())
            messages.push_back(messageFromQuery(query));
    }
    std::reverse(messages.begin(), messages.end());

    // The asker's oldest message may share its second with messages it never got (a page
    // boundary can cut through a second), so the whole second is sent again. Oldest first,
    // since the asker holds the newest of that second.
    query.prepare(QStringLiteral("SELECT ") + QLatin1String(messageColumns)
        + QLatin1String("WHERE chat_id = ? AND timestamp = ? ORDER BY seq LIMIT ?"));
    query.addBindValue(chatId);
    query.addBindValue(before);
    query.addBindValue(tieLimit);
    if (query.exec()) {
        while (query.next())
            messages.push_back(messageFromQuery(query));
    }
    fillSeenBy(messages);
    return messages;
}

void Database::fillSeenBy(std::vector<MessageRecord> &messages)
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

bool Database::markSeen(qint64 seq, const QString &userId, qint64 seenAt)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "INSERT OR IGNORE INTO message_seen (message_seq, user_id, seen_at) VALUES (?, ?, ?)"));
    query.addBindValue(seq);
    query.addBindValue(userId);
    query.addBindValue(seenAt);
    if (!query.exec()) {
        error = query.lastError().text();
        qCWarning(lcServer) << "storing a seen receipt failed:" << error;
        return false;
    }
    return query.numRowsAffected() == 1;
}

bool Database::editMessage(qint64 seq, const QString &text, qint64 editedAt)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE messages SET text = ?, edited_at = ? WHERE seq = ?"));
    query.addBindValue(text);
    query.addBindValue(editedAt);
    query.addBindValue(seq);
    if (!query.exec()) {
        error = query.lastError().text();
        qCWarning(lcServer) << "storing an edit failed:" << error;
        return false;
    }
    return query.numRowsAffected() == 1;
}

bool Database::deleteMessage(qint64 seq)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("DELETE FROM messages WHERE seq = ?"));
    query.addBindValue(seq);
    if (!query.exec()) {
        error = query.lastError().text();
        qCWarning(lcServer) << "deleting a message failed:" << error;
        return false;
    }
    return query.numRowsAffected() == 1;
}

bool Database::addLoginToken(const QString &tokenHash, const QString &userId, qint64 now)
{
    QSqlQuery query(db);
    // Expired tokens go whenever a new one is stored, so the table stays as small as the number
    // of live sessions.
    query.prepare(QStringLiteral("DELETE FROM login_tokens WHERE last_used < ?"));
    query.addBindValue(now - loginTokenLifetime);
    query.exec();
    query.prepare(QStringLiteral(
        "INSERT OR REPLACE INTO login_tokens (token_hash, user_id, last_used) VALUES (?, ?, ?)"));
    query.addBindValue(tokenHash);
    query.addBindValue(userId);
    query.addBindValue(now);
    if (!query.exec()) {
        error = query.lastError().text();
        qCWarning(lcServer) << "storing a login token failed:" << error;
        return false;
    }
    return true;
}

std::optional<QString> Database::takeLoginToken(const QString &tokenHash, qint64 now)
{
    QSqlQuery query(db);
    query.prepare(
        QStringLiteral("SELECT user_id, last_used FROM login_tokens WHERE token_hash = ?"));
    query.addBindValue(tokenHash);
    if (!query.exec() || !query.next())
        return std::nullopt;
    const QString userId = query.value(0).toString();
    const qint64 lastUsed = query.value(1).toLongLong();
    query.finish();
    query.prepare(QStringLiteral("DELETE FROM login_tokens WHERE token_hash = ?"));
    query.addBindValue(tokenHash);
    if (!query.exec() || query.numRowsAffected() != 1)
        return std::nullopt;
    if (lastUsed < now - loginTokenLifetime)
        return std::nullopt;
    return userId;
}

QString Database::messageId(qint64 seq)
{
    return QStringLiteral("m") + QString::number(seq);
}

qint64 Database::messageSeq(const QString &messageId)
{
    // "m" and at most 18 digits, so the number always fits.
    if (messageId.size() < 2 || messageId.size() > 19 || messageId.at(0) != QLatin1Char('m'))
        return 0;
    for (int i = 1; i < messageId.size(); ++i) {
        if (messageId.at(i) < QLatin1Char('0') || messageId.at(i) > QLatin1Char('9'))
            return 0;
    }
    return messageId.midRef(1).toLongLong();
}
