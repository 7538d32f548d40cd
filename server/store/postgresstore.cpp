#include "postgresstore.h"

#include "serverlogging.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

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
        // The change feed: every server's notices, numbered within their stream (a chat, or
        // the directory of users). Bumping a stream's row takes its lock until the commit, so
        // that a stream's numbers follow the order of the commits.
        "CREATE TABLE feed_streams ("
        " stream TEXT PRIMARY KEY,"
        " last_seq BIGINT NOT NULL,"
        " touched_at BIGINT NOT NULL)",
        "CREATE INDEX feed_streams_by_touch ON feed_streams(touched_at)",
        "CREATE TABLE feed ("
        " stream TEXT NOT NULL,"
        " seq BIGINT NOT NULL,"
        " users TEXT NOT NULL,"
        " everyone BOOLEAN NOT NULL,"
        " type TEXT NOT NULL,"
        " body TEXT NOT NULL,"
        " close_code INTEGER NOT NULL,"
        " created_at BIGINT NOT NULL,"
        " PRIMARY KEY (stream, seq))",
        "CREATE INDEX feed_by_age ON feed(created_at)",
        // The failure throttle's streaks, shared by every server.
        "CREATE TABLE login_failures ("
        " account TEXT PRIMARY KEY,"
        " failures INTEGER NOT NULL,"
        " last_ms BIGINT NOT NULL,"
        " addresses TEXT NOT NULL)",
    },
    {
        // Logged-in connections per user and server, for the cap per user.
        "CREATE TABLE presence ("
        " server TEXT NOT NULL,"
        " user_id TEXT NOT NULL,"
        " connections INTEGER NOT NULL,"
        " seen_at BIGINT NOT NULL,"
        " PRIMARY KEY (server, user_id))",
        "CREATE INDEX presence_by_user ON presence(user_id)",
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
    },
    {
        // Search: words as the "simple" configuration splits them, without case or accents, in
        // a GIN index that every write keeps in its own transaction. unaccent() is only
        // STABLE, since its dictionary could change; ours never does, so the wrapper that
        // names it outright may be IMMUTABLE and indexed.
        "CREATE EXTENSION IF NOT EXISTS unaccent",
        "CREATE FUNCTION ferrow_search_vector(content TEXT) RETURNS tsvector"
        " LANGUAGE sql IMMUTABLE PARALLEL SAFE AS"
        " $$ SELECT to_tsvector('simple'::regconfig,"
        " public.unaccent('public.unaccent'::regdictionary, content)) $$",
        "CREATE FUNCTION ferrow_search_query(query TEXT) RETURNS tsquery"
        " LANGUAGE sql IMMUTABLE PARALLEL SAFE AS"
        " $$ SELECT to_tsquery('simple'::regconfig,"
        " public.unaccent('public.unaccent'::regdictionary, query)) $$",
        "CREATE INDEX messages_search ON messages USING GIN (ferrow_search_vector(text))",
    },
    {
        // Files sent in chats. The chat is not referenced: a private chat may get its first
        // file before its first message. A message keeps the file object it was sent with, and
        // the upload it refers to, which keeps the upload from expiring.
        "CREATE TABLE uploads ("
        " id TEXT PRIMARY KEY,"
        " chat_id TEXT NOT NULL,"
        " user_id TEXT NOT NULL,"
        " name TEXT NOT NULL,"
        " size BIGINT NOT NULL,"
        " mime TEXT NOT NULL,"
        " width INTEGER NOT NULL,"
        " height INTEGER NOT NULL,"
        " created_at BIGINT NOT NULL)",
        "CREATE INDEX uploads_by_user ON uploads(user_id)",
        "CREATE INDEX uploads_by_age ON uploads(created_at)",
        "ALTER TABLE messages ADD COLUMN upload_id TEXT",
        "ALTER TABLE messages ADD COLUMN file TEXT",
        "CREATE INDEX messages_by_upload ON messages(upload_id)",
    },
    {
        // The place in its stream of a group's last change of name, owner or members: a server
        // that sent to the members it holds learns there, as it numbers its notices, whether
        // they were still the members.
        "ALTER TABLE feed_streams ADD COLUMN chat_version BIGINT NOT NULL DEFAULT 0",
    },
};

// The channel every server listens on.
const QString channel = QStringLiteral("ferrow_feed");
// Entries are read within a second; one older than this is dropped, and a server away longer
// has missed it (its users see the change at their next login).
constexpr qint64 feedLifetimeMs = 10 * 60 * 1000;
// The catch-up after a missed notification looks at the streams changed this recently; a
// commit takes far less between numbering its notices and being seen.
constexpr qint64 catchUpWindowMs = 10000;
// NOTIFY takes at most 8000 bytes; an unkept notice larger than this is not sent.
constexpr int maxPayloadBytes = 7900;
// Sequence numbers a transaction takes at once; a writer's batch seldom holds more messages.
constexpr int seqsPerTransaction = 64;
// The database's own clock, so that servers on machines whose clocks differ agree.
const char databaseNowMs[] = "(EXTRACT(EPOCH FROM clock_timestamp()) * 1000)::BIGINT";

QString payloadText(const QJsonObject &payload)
{
    return QString::fromUtf8(QJsonDocument(payload).toJson(QJsonDocument::Compact));
}

// The schema version whose step adds the search index.
constexpr int searchIndexVersion = 5;

// The tsquery for `terms`: each word a prefix, the words of a phrase next to each other, every
// term required. Words hold only letters and digits, quoted besides, so none is read as an
// operator.
QString tsQuery(const SearchTerms &terms)
{
    QStringList parts;
    for (const QStringList &term : terms) {
        QStringList words;
        for (const QString &word : term)
            words.append(QLatin1Char('\'')
                + QString(word).replace(QLatin1Char('\''), QStringLiteral("''"))
                + QLatin1String("':*"));
        parts.append(QLatin1Char('(') + words.join(QLatin1String(" <-> ")) + QLatin1Char(')'));
    }
    return parts.join(QLatin1String(" & "));
}

// A search reads its chats' messages newest first, checking each, when its words are common
// enough to fill a page within about this many messages: the index would gather every match
// of a common word (hundreds of thousands) before the newest could be picked. Checking one
// message costs some 10 us (its words are made anew); rarer words are looked up in the index,
// whose matches are then few.
constexpr double maxWalkedMessages = 10000;
// Each chat walked is a query of its own, planned at every search.
constexpr int maxChatsWalked = 100;

// Held while the schema is created or upgraded: any number, as long as it is ours alone.
constexpr qint64 schemaLockKey = 0x4665727277L;
// The first key of the two-key advisory locks that stand for a user's upload quota.
constexpr int quotaLockClass = 0x4671;

} // namespace

int PostgresStore::latestSchemaVersion()
{
    return int(migrations.size());
}

PostgresStore::PostgresStore()
    : SqlStore(Dialect { QStringLiteral("lower(username COLLATE \"C\") = lower(CAST(? AS TEXT)"
                                        " COLLATE \"C\")"),
        QStringLiteral("lower(username COLLATE \"C\")"),
        QStringLiteral("LEFT JOIN feed_streams v ON v.stream = c.id"),
        QStringLiteral("COALESCE(v.chat_version, 0)") })
{
}

PostgresStore::~PostgresStore() = default;

StoreConnector PostgresStore::connector(const DatabaseUrl &url)
{
    return connectorTo<PostgresStore>(url);
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
    prepareSession();
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

bool PostgresStore::prepareSession()
{
    // "already exists, skipping" and the like are no news to anyone reading the server's log.
    return execute(QStringLiteral("SET client_min_messages TO warning"));
}

Store::Announcement PostgresStore::keep(std::vector<ChangeNotice *> &notices)
{
    // Three statements however many notices, each taking its rows as one JSON parameter: a round
    // trip to the database costs more than the rows. Streams are numbered in sorted order, so
    // that two servers' transactions lock shared streams in one order and never deadlock.
    QHash<QString, int> counts;
    QSet<QString> changing;
    for (const ChangeNotice *notice : notices) {
        ++counts[notice->chatId];
        if (notice->changesChat())
            changing.insert(notice->chatId);
    }
    QStringList streams = counts.keys();
    streams.sort();
    QJsonArray bumps;
    for (const QString &stream : qAsConst(streams))
        bumps.append(QJsonObject { { QStringLiteral("s"), stream },
            { QStringLiteral("n"), counts.value(stream) },
            { QStringLiteral("v"), changing.contains(stream) } });
    QHash<QString, qint64> next;
    QStringList outdatedChats;
    {
        // The stream's row is the latest committed one, locked until this commit: a group's
        // version read here is the one its notices are numbered after.
        Statement query = run(QStringLiteral("INSERT INTO feed_streams (stream, last_seq,"
                                             " touched_at, chat_version) SELECT s, n, ")
                + QLatin1String(databaseNowMs)
                + QLatin1String(", CASE WHEN v THEN n ELSE 0 END FROM json_to_recordset(CAST(? AS"
                                " JSON)) AS x(s TEXT, n BIGINT, v BOOLEAN) ORDER BY s"
                                " ON CONFLICT (stream) DO UPDATE SET"
                                " last_seq = feed_streams.last_seq + excluded.last_seq,"
                                " touched_at = excluded.touched_at,"
                                " chat_version = CASE WHEN excluded.chat_version > 0"
                                " THEN feed_streams.last_seq + excluded.last_seq"
                                " ELSE feed_streams.chat_version END"
                                " RETURNING stream, last_seq, chat_version"),
            { QString::fromUtf8(QJsonDocument(bumps).toJson(QJsonDocument::Compact)) });
        while (query.next()) {
            const QString stream = query.value(0).toString();
            next.insert(stream, query.value(1).toLongLong() - counts.value(stream) + 1);
            // What this transaction changes it has held and read afresh.
            const auto read = readVersions.constFind(stream);
            if (read != readVersions.constEnd() && !changedChats.contains(stream)
                && *read != query.value(2).toLongLong())
                outdatedChats.append(stream);
        }
        if (!query || next.size() != streams.size())
            return Announcement::Failed;
    }
    if (!outdatedChats.isEmpty() || readTwice) {
        outdated(outdatedChats);
        return Announcement::Outdated;
    }
    const QHash<QString, qint64> first = next;
    QJsonArray rows;
    for (ChangeNotice *notice : notices) {
        notice->seq = next[notice->chatId]++;
        rows.append(QJsonObject { { QStringLiteral("s"), notice->chatId },
            { QStringLiteral("q"), notice->seq },
            { QStringLiteral("u"), joinUsers(notice->users) },
            { QStringLiteral("e"), notice->everyone },
            { QStringLiteral("t"), notice->type },
            { QStringLiteral("b"), notice->text },
            { QStringLiteral("c"), notice->closeCode } });
    }
    if (!run(QStringLiteral("INSERT INTO feed (stream, seq, users, everyone, type, body,"
                            " close_code, created_at) SELECT s, q, u, e, t, b, c, ")
                + QLatin1String(databaseNowMs)
                + QLatin1String(" FROM json_to_recordset(CAST(? AS JSON)) AS x(s TEXT, q BIGINT,"
                                " u TEXT, e BOOLEAN, t TEXT, b TEXT, c INTEGER)"),
            { QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Compact)) }))
        return Announcement::Failed;
    // The wake-ups are sent by the commit, and only by it.
    QJsonArray payloads;
    for (const QString &stream : qAsConst(streams)) {
        payloads.append(payloadText(QJsonObject { { QStringLiteral("o"), origin() },
            { QStringLiteral("s"), stream },
            { QStringLiteral("f"), first.value(stream) },
            { QStringLiteral("q"), next.value(stream) - 1 } }));
    }
    return run(QStringLiteral("SELECT pg_notify(?, p) FROM json_array_elements_text(CAST(? AS"
                              " JSON)) AS x(p)"),
               { channel,
                   QString::fromUtf8(QJsonDocument(payloads).toJson(QJsonDocument::Compact)) })
        ? Announcement::Kept
        : Announcement::Failed;
}

std::optional<MessageRecord> PostgresStore::addMessage(const QString &chatId,
    const QString &senderId,
    const QString &text,
    const QString &replyToId,
    qint64 timestamp,
    const QString &uploadId,
    const QString &file)
{
    if (!inTransaction() || !holdMessages)
        return SqlStore::addMessage(chatId, senderId, text, replyToId, timestamp, uploadId, file);
    if (spareSeqs.empty()) {
        // Numbers taken together, per transaction: those left over are dropped at its end,
        // so that a later transaction's messages never sort before this one's.
        Statement query = run(QStringLiteral("SELECT nextval(pg_get_serial_sequence('messages',"
                                             " 'seq')) FROM generate_series(1, ?) ORDER BY 1 DESC"),
            { seqsPerTransaction });
        while (query.next())
            spareSeqs.push_back(query.value(0).toLongLong());
        if (spareSeqs.empty()) {
            qCWarning(lcServer) << "storing a message failed:" << error;
            return std::nullopt;
        }
    }
    MessageRecord message;
    message.seq = spareSeqs.back();
    spareSeqs.pop_back();
    message.id = newMessageId();
    message.chatId = chatId;
    message.senderId = senderId;
    message.text = text;
    message.replyToId = replyToId;
    message.timestamp = timestamp;
    message.uploadId = uploadId;
    message.file = file;
    heldMessages.push_back(message);
    deferred = true;
    return message;
}

void PostgresStore::expectRequests(std::size_t count)
{
    holdMessages = count > 1;
}

bool PostgresStore::flushDeferred()
{
    deferred = false;
    if (heldMessages.empty())
        return true;
    QJsonArray rows;
    for (const MessageRecord &message : heldMessages)
        rows.append(QJsonObject { { QStringLiteral("q"), message.seq },
            { QStringLiteral("i"), message.id },
            { QStringLiteral("c"), message.chatId },
            { QStringLiteral("s"), message.senderId },
            { QStringLiteral("t"), message.text },
            { QStringLiteral("r"),
                message.replyToId.isEmpty() ? QJsonValue() : QJsonValue(message.replyToId) },
            { QStringLiteral("ts"), message.timestamp },
            { QStringLiteral("u"),
                message.uploadId.isEmpty() ? QJsonValue() : QJsonValue(message.uploadId) },
            { QStringLiteral("f"),
                message.file.isEmpty() ? QJsonValue() : QJsonValue(message.file) } });
    heldMessages.clear();
    // A taken id (80 random bits) fails the statement, and with it the transaction: its
    // askers are told it failed, as for any other failed write.
    if (run(QStringLiteral("INSERT INTO messages (seq, id, chat_id, sender_id, text, reply_to_id,"
                           " timestamp, upload_id, file) OVERRIDING SYSTEM VALUE SELECT q, i, c, s,"
                           " t, r, ts, u, f FROM json_to_recordset(CAST(? AS JSON)) AS x(q BIGINT,"
                           " i TEXT, c TEXT, s TEXT, t TEXT, r TEXT, ts BIGINT, u TEXT, f TEXT)"),
            { QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Compact)) }))
        return true;
    qCWarning(lcServer) << "storing messages failed:" << error;
    return false;
}

void PostgresStore::forgetDeferred()
{
    heldMessages.clear();
    spareSeqs.clear();
    SqlStore::forgetDeferred();
}

Store::Announcement PostgresStore::announce(std::vector<ChangeNotice *> &notices)
{
    if (notices.empty())
        return Announcement::Kept;
    // Dropping old entries now and then, by whoever writes, keeps the feed small without a
    // timer of its own.
    if (++announcements % 1000 == 1
        && !run(QStringLiteral("DELETE FROM feed WHERE created_at < ")
                + QLatin1String(databaseNowMs) + QLatin1String(" - ?"),
            { feedLifetimeMs }))
        return Announcement::Failed;
    return keep(notices);
}

bool PostgresStore::publish(std::vector<ChangeNotice> notices)
{
    Transaction transaction(*this);
    std::vector<ChangeNotice *> kept;
    for (ChangeNotice &notice : notices)
        kept.push_back(&notice);
    return transaction.isActive() && keep(kept) == Announcement::Kept && transaction.commit();
}

bool PostgresStore::holdChat(const QString &chatId, bool exclusive)
{
    return bool(exclusive
            ? run(QStringLiteral("SELECT 1 FROM chats WHERE id = ? FOR UPDATE"), { chatId })
            : run(QStringLiteral("SELECT 1 FROM chats WHERE id = ? FOR KEY SHARE"), { chatId }));
}

bool PostgresStore::holdUpload(const QString &uploadId, bool exclusive)
{
    // The removal skips a row being taken rather than waiting: the taker may hold others it
    // wants, and the next sweep gets the upload if its message never commits.
    Statement query =
        run(exclusive ? QStringLiteral("SELECT 1 FROM uploads WHERE id = ? FOR UPDATE SKIP LOCKED")
                      : QStringLiteral("SELECT 1 FROM uploads WHERE id = ? FOR SHARE"),
            { uploadId });
    return query && query.next();
}

bool PostgresStore::holdUploadQuota(const QString &userId)
{
    // A lock of its own kind (the first key), so that it never meets a row lock: the writer may
    // hold those of several users in one transaction, and waiting here could deadlock.
    Statement query =
        run(QStringLiteral("SELECT pg_try_advisory_xact_lock(%1, hashtext(?))").arg(quotaLockClass),
            { userId });
    return query && query.next() && query.value(0).toBool();
}

bool PostgresStore::broadcast(const ChangeNotice &notice)
{
    const QJsonObject payload { { QStringLiteral("o"), origin() },
        { QStringLiteral("s"), notice.chatId },
        { QStringLiteral("u"), QJsonArray::fromStringList(notice.users) },
        { QStringLiteral("e"), notice.everyone },
        { QStringLiteral("t"), notice.type },
        { QStringLiteral("b"), notice.text },
        { QStringLiteral("c"), notice.closeCode } };
    const QString text = payloadText(payload);
    if (text.toUtf8().size() > maxPayloadBytes) {
        error = QStringLiteral("the notice is too large to send unkept");
        return false;
    }
    return bool(run(QStringLiteral("SELECT pg_notify(?, ?)"), { channel, text }));
}

bool PostgresStore::feedStart(FeedPosition &position)
{
    position.streams.clear();
    Statement query = run(QStringLiteral("SELECT stream, last_seq FROM feed_streams"));
    while (query.next())
        position.streams.insert(query.value(0).toString(), query.value(1).toLongLong());
    return bool(query);
}

std::vector<ChangeNotice> PostgresStore::feedRead(
    FeedPosition &position, const QHash<QString, qint64> &streams, bool everything, bool *ok)
{
    *ok = true;
    QHash<QString, qint64> behind;
    if (!streams.isEmpty()) {
        for (auto it = streams.cbegin(); it != streams.cend(); ++it) {
            if (it.value() > position.streams.value(it.key()))
                behind.insert(it.key(), it.value());
        }
    } else {
        Statement query = everything
            ? run(QStringLiteral("SELECT stream, last_seq FROM feed_streams"))
            : run(QStringLiteral("SELECT stream, last_seq FROM feed_streams WHERE touched_at > ")
                    + QLatin1String(databaseNowMs) + QLatin1String(" - ?"),
                { catchUpWindowMs });
        while (query.next()) {
            const QString stream = query.value(0).toString();
            if (query.value(1).toLongLong() > position.streams.value(stream))
                behind.insert(stream, query.value(1).toLongLong());
        }
        *ok = bool(query);
    }
    std::vector<ChangeNotice> notices;
    if (!*ok || behind.isEmpty())
        return notices;
    // Every stream behind in one round trip: a commit on another server often touches many.
    QJsonArray from;
    for (auto it = behind.cbegin(); it != behind.cend(); ++it)
        from.append(QJsonObject { { QStringLiteral("s"), it.key() },
            { QStringLiteral("r"), position.streams.value(it.key()) } });
    // A lateral index scan per stream: joined as a whole, the planner may scan the feed.
    Statement query =
        run(QStringLiteral("SELECT w.s, f.seq, f.users, f.everyone, f.type, f.body,"
                           " f.close_code FROM json_to_recordset(CAST(? AS JSON)) AS"
                           " w(s TEXT, r BIGINT) CROSS JOIN LATERAL (SELECT * FROM feed"
                           " WHERE stream = w.s AND seq > w.r ORDER BY seq) AS f"
                           " ORDER BY w.s, f.seq"),
            { QString::fromUtf8(QJsonDocument(from).toJson(QJsonDocument::Compact)) });
    while (query.next()) {
        ChangeNotice notice = noticeFromQuery(query.query, 2);
        notice.chatId = query.value(0).toString();
        notice.seq = query.value(1).toLongLong();
        notices.push_back(std::move(notice));
    }
    *ok = bool(query);
    if (!*ok)
        return {};
    for (const ChangeNotice &notice : notices) {
        qint64 &reached = position.streams[notice.chatId];
        reached = std::max(reached, notice.seq);
    }
    return notices;
}

bool PostgresStore::listen(std::function<void(const QString &payload)> wake)
{
    QSqlDriver *driver = db.driver();
    if (!driver->subscribeToNotification(channel)) {
        error = driver->lastError().text();
        return false;
    }
    QObject::disconnect(subscription);
    subscription = QObject::connect(driver,
        QOverload<const QString &, QSqlDriver::NotificationSource, const QVariant &>::of(
            &QSqlDriver::notification),
        driver,
        [wake = std::move(wake)](
            const QString &name, QSqlDriver::NotificationSource, const QVariant &payload) {
            if (name == channel)
                wake(payload.toString());
        });
    return true;
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

bool PostgresStore::afterMigrationStep(int version)
{
    if (version == searchIndexVersion)
        qCInfo(lcServer) << "indexed the stored messages for search";
    return true;
}

std::vector<MessageRecord> PostgresStore::searchMessages(const QString &userId,
    const QString &chatId,
    const SearchTerms &terms,
    const std::optional<SearchPosition> &before,
    int limit)
{
    const QString query = tsQuery(terms);
    // One chat more than can be walked tells that there are too many.
    const QStringList chatIds = searchedChats(userId, chatId, maxChatsWalked + 1);
    if (!chatId.isEmpty() && chatIds.isEmpty())
        return {};
    if (!chatIds.isEmpty() && chatIds.size() <= maxChatsWalked) {
        const double share = matchingShare(terms);
        if (share > 0 && (limit + chatIds.size()) / share <= maxWalkedMessages)
            return searchNewestFirst(chatIds, query, before, limit);
    }
    return searchPage(selectMessages()
            + QLatin1String(" FROM messages WHERE ferrow_search_vector(text)"
                            " @@ ferrow_search_query(CAST(? AS TEXT))"
                            " AND chat_id IN (SELECT chat_id FROM chat_members WHERE user_id = ?)"),
        { query, userId },
        QString(),
        QStringLiteral("chat_id = ?"),
        chatId,
        before,
        limit);
}

double PostgresStore::matchingShare(const SearchTerms &terms)
{
    QJsonArray words;
    for (const QStringList &term : terms)
        for (const QString &word : term)
            words.append(word);
    // The index's statistics name its most common words and the share of messages holding
    // each; a word missing there is rare. Words are taken as independent, as the planner does.
    Statement shares =
        run(QStringLiteral(
                "WITH q AS MATERIALIZED (SELECT n, lower(public.unaccent("
                "'public.unaccent'::regdictionary, word)) AS word"
                " FROM json_array_elements_text(CAST(? AS JSON)) WITH ORDINALITY AS x(word, n)),"
                " e AS MATERIALIZED (SELECT e.w, e.f FROM pg_stats s CROSS JOIN LATERAL"
                " unnest(CAST(CAST(s.most_common_elems AS TEXT) AS TEXT[]),"
                " s.most_common_elem_freqs) AS e(w, f) WHERE s.schemaname = current_schema()"
                " AND s.tablename = 'messages_search')"
                " SELECT COALESCE(SUM(e.f), 0) FROM q LEFT JOIN e"
                " ON left(e.w, length(q.word)) = q.word GROUP BY q.n"),
            { QString::fromUtf8(QJsonDocument(words).toJson(QJsonDocument::Compact)) });
    if (!shares)
        return 0;
    double share = 1;
    while (shares.next())
        share *= std::min(1.0, shares.value(0).toDouble());
    return share;
}

std::vector<MessageRecord> PostgresStore::searchNewestFirst(const QStringList &chatIds,
    const QString &query,
    const std::optional<SearchPosition> &before,
    int limit)
{
    // One query a chat, each read backwards along the chat's index by time and checked row by
    // row; the planner merges them and stops at the page's end. "IS TRUE" keeps it from looking
    // the words up in the index once for every chat. The text depends on the number of chats,
    // so it is planned for the values at hand and not kept among the prepared statements.
    QStringList parts;
    QVariantList values;
    for (const QString &id : chatIds) {
        QString part = QLatin1Char('(') + selectMessages()
            + QLatin1String(" FROM messages WHERE chat_id = ? AND (ferrow_search_vector(text)"
                            " @@ ferrow_search_query(CAST(? AS TEXT))) IS TRUE");
        values << id << query;
        if (before) {
            part += QLatin1String(" AND (timestamp, seq) < (?, ?)");
            values << before->timestamp << before->seq;
        }
        parts.append(part + QLatin1String(" ORDER BY timestamp DESC, seq DESC LIMIT ?)"));
        values.append(limit);
    }
    values.append(limit);
    QSqlQuery walk(db);
    walk.setForwardOnly(true);
    std::vector<MessageRecord> messages;
    if (walk.prepare(QLatin1String("SELECT * FROM (") + parts.join(QLatin1String(" UNION ALL "))
            + QLatin1String(") AS m ORDER BY timestamp DESC, seq DESC LIMIT ?"))) {
        for (int i = 0; i < values.size(); ++i)
            walk.bindValue(i, values.at(i));
        if (walk.exec()) {
            while (walk.next())
                messages.push_back(messageFromRow(walk));
        }
    }
    if (walk.lastError().isValid())
        qCWarning(lcServer) << "searching failed:" << walk.lastError().text();
    fillSeenBy(messages);
    return messages;
}

bool PostgresStore::beginSnapshot()
{
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")))
        return true;
    error = query.lastError().text();
    return false;
}
