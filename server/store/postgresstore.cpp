#include "postgresstore.h"

#include "serverlogging.h"

#include <QSqlError>
#include <QSqlQuery>

namespace
{

// Step N upgrades a database from schema version N to N + 1. Append new steps; never change
// a step that has shipped, since existing databases have already run it. Version 1 is SQLite's
// version 3; "rowid" stands for SQLite's own row number, so that both order by the same words.
const std::vector<std::vector<const char *>> migrations = {
    {
        "CREATE TABLE users ("
        " id TEXT PRIMARY KEY,"
        " username TEXT NOT NULL,"
        " password_hash TEXT NOT NULL,"
        " avatar_url TEXT NOT NULL DEFAULT '',"
        " created_at BIGINT NOT NULL)",
        // As SQLite's NOCASE: ASCII letters only, whatever the database's locale.
        "CREATE UNIQUE INDEX users_by_name ON users (lower(username COLLATE \"C\"))",
        "CREATE TABLE chats ("
        " id TEXT PRIMARY KEY,"
        " name TEXT NOT NULL,"
        " type TEXT NOT NULL CHECK (type IN ('private', 'group')),"
        " owner_id TEXT NOT NULL REFERENCES users(id),"
        " avatar_url TEXT NOT NULL DEFAULT '',"
        " created_at BIGINT NOT NULL,"
        " rowid BIGINT GENERATED ALWAYS AS IDENTITY UNIQUE)",
        "CREATE TABLE chat_members ("
        " chat_id TEXT NOT NULL REFERENCES chats(id) ON DELETE CASCADE,"
        " user_id TEXT NOT NULL REFERENCES users(id),"
        " position INTEGER NOT NULL,"
        " PRIMARY KEY (chat_id, user_id))",
        "CREATE INDEX chat_members_by_user ON chat_members(user_id)",
        // A sequence never hands a number out twice, so a deleted message's seq stays unused.
        "CREATE TABLE messages ("
        " seq BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        " id TEXT NOT NULL UNIQUE,"
        " chat_id TEXT NOT NULL REFERENCES chats(id) ON DELETE CASCADE,"
        " sender_id TEXT NOT NULL REFERENCES users(id),"
        " text TEXT NOT NULL,"
        " reply_to_id TEXT,"
        " timestamp BIGINT NOT NULL,"
        " edited_at BIGINT NOT NULL DEFAULT 0)",
        "CREATE INDEX messages_by_chat_time ON messages(chat_id, timestamp, seq)",
        "CREATE TABLE message_seen ("
        " message_seq BIGINT NOT NULL REFERENCES messages(seq) ON DELETE CASCADE,"
        " user_id TEXT NOT NULL REFERENCES users(id),"
        " seen_at BIGINT NOT NULL,"
        " rowid BIGINT GENERATED ALWAYS AS IDENTITY,"
        " PRIMARY KEY (message_seq, user_id))",
        "CREATE TABLE login_tokens ("
        " token_hash TEXT PRIMARY KEY,"
        " user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
        " last_used BIGINT NOT NULL)",
        "CREATE INDEX login_tokens_by_use ON login_tokens(last_used)",
    },
    {
        "ALTER TABLE users ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE users ADD COLUMN last_login BIGINT",
        "CREATE INDEX login_tokens_by_user ON login_tokens(user_id)",
        "CREATE TABLE http_tokens ("
        " token_hash TEXT PRIMARY KEY,"
        " user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
        " created_at BIGINT NOT NULL)",
        "CREATE INDEX http_tokens_by_user ON http_tokens(user_id)",
        "CREATE INDEX http_tokens_by_age ON http_tokens(created_at)",
        "CREATE TABLE account_changes ("
        " seq BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        " user_id TEXT NOT NULL,"
        " kind TEXT NOT NULL,"
        " origin TEXT NOT NULL,"
        " created_at BIGINT NOT NULL)",
        "CREATE INDEX account_changes_by_age ON account_changes(created_at)",
    },
};

// Held while the schema is created or upgraded: any number, as long as it is ours alone.
constexpr qint64 schemaLockKey = 0x4665727277L;

} // namespace

int PostgresStore::latestSchemaVersion()
{
    return int(migrations.size());
}

PostgresStore::PostgresStore()
    : SqlStore(Dialect { QStringLiteral("lower(username COLLATE \"C\") = lower(CAST(? AS TEXT)"
                                        " COLLATE \"C\")"),
        QStringLiteral("lower(username COLLATE \"C\")") })
{
}

PostgresStore::~PostgresStore() = default;

StoreConnector PostgresStore::connector(const DatabaseUrl &url)
{
    return [url](QString *error) -> std::unique_ptr<Store> {
        auto store = std::make_unique<PostgresStore>();
        if (store->open(url, OpenMode::Existing))
            return store;
        if (error)
            *error = store->lastError();
        return nullptr;
    };
}

bool PostgresStore::open(const DatabaseUrl &databaseUrl, OpenMode mode)
{
    url = databaseUrl;
    addDatabase(QStringLiteral("QPSQL"));
    db.setHostName(url.host);
    if (url.port > 0)
        db.setPort(url.port);
    db.setUserName(url.user);
    db.setPassword(url.password);
    db.setDatabaseName(url.databaseName);
    QStringList options = url.parameters;
    options.append(QStringLiteral("application_name=ferrow-server"));
    db.setConnectOptions(options.join(QLatin1Char(';')));
    if (!db.open()) {
        // libpq's own text names the host and the user, never the password.
        error = QStringLiteral("cannot connect to %1: %2")
                    .arg(url.redacted(), db.lastError().databaseText().trimmed());
        return false;
    }
    // "already exists, skipping" and the like are no news to anyone reading the server's log.
    execute(QStringLiteral("SET client_min_messages TO warning"));
    if (mode == OpenMode::Existing) {
        if (schemaVersion() == latestSchemaVersion())
            return true;
        error =
            QStringLiteral("the database is not at schema version %1").arg(latestSchemaVersion());
        closeDatabase();
        return false;
    }
    if (!execute(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(schemaLockKey))) {
        closeDatabase();
        return false;
    }
    const bool ok = migrate(migrations);
    execute(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(schemaLockKey));
    if (!ok)
        closeDatabase();
    return ok;
}

bool PostgresStore::backupTo(const QString &path)
{
    DatabaseUrl shown = url;
    shown.password.clear();
    error = QStringLiteral("on PostgreSQL, back up with pg_dump instead, for example: "
                           "pg_dump --format=custom --file='%1' '%2'")
                .arg(path, shown.toString());
    return false;
}

bool PostgresStore::beginSnapshot()
{
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")))
        return true;
    error = query.lastError().text();
    return false;
}
