#include "sqlitestore.h"

#include "serverlogging.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

const QString SqliteStore::fileName = QStringLiteral("ferrow.sqlite");

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
    {
        // Ids were "m" and the sequence number, which told everyone how many messages the
        // server holds; new ones are random. Stored ids keep working, in replies too.
        "ALTER TABLE messages ADD COLUMN id TEXT",
        "UPDATE messages SET id = 'm' || seq",
        "CREATE UNIQUE INDEX messages_by_id ON messages(id)",
    },
    {
        // What the administration commands change, for the server to pick up and tell its
        // connected users (a server's own writes tell them directly).
        "CREATE TABLE feed ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " stream TEXT NOT NULL,"
        " users TEXT NOT NULL,"
        " everyone INTEGER NOT NULL,"
        " type TEXT NOT NULL,"
        " body TEXT NOT NULL,"
        " close_code INTEGER NOT NULL,"
        " created_at INTEGER NOT NULL)",
        "CREATE INDEX feed_by_age ON feed(created_at)",
        // The failure throttle's streaks, shared by every server and process.
        "CREATE TABLE login_failures ("
        " account TEXT PRIMARY KEY,"
        " failures INTEGER NOT NULL,"
        " last_ms INTEGER NOT NULL,"
        " addresses TEXT NOT NULL)",
    },
    {
        // Logged-in connections per user and server, for the cap per user.
        "CREATE TABLE presence ("
        " server TEXT NOT NULL,"
        " user_id TEXT NOT NULL,"
        " connections INTEGER NOT NULL,"
        " seen_at INTEGER NOT NULL,"
        " PRIMARY KEY (server, user_id))",
        "CREATE INDEX presence_by_user ON presence(user_id)",
    },
    {
        "ALTER TABLE users ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE users ADD COLUMN last_login INTEGER",
        // Revoking a user's tokens looks them up by user.
        "CREATE INDEX login_tokens_by_user ON login_tokens(user_id)",
        // As with login tokens, only the SHA-256 is kept.
        "CREATE TABLE http_tokens ("
        " token_hash TEXT PRIMARY KEY,"
        " user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
        " created_at INTEGER NOT NULL)",
        "CREATE INDEX http_tokens_by_user ON http_tokens(user_id)",
        "CREATE INDEX http_tokens_by_age ON http_tokens(created_at)",
    },
    {
        // The search index reads its text from the messages table and is kept by triggers in
        // the transaction of every write. The chat id is indexed too, so that a search narrows
        // to the asker's chats inside the index. Three-letter prefixes get an index of their
        // own, since a search matches every word as the start of a word; longer ones are few
        // terms each, and one of two lengths keeps the index within 1.5 times the text.
        "CREATE VIRTUAL TABLE messages_fts USING fts5(text, chat_id, content='messages',"
        " content_rowid='seq', tokenize='unicode61 remove_diacritics 2', prefix='3')",
        "CREATE TRIGGER messages_fts_insert AFTER INSERT ON messages BEGIN"
        " INSERT INTO messages_fts (rowid, text, chat_id) VALUES (new.seq, new.text, new.chat_id);"
        " END",
        "CREATE TRIGGER messages_fts_delete AFTER DELETE ON messages BEGIN"
        " INSERT INTO messages_fts (messages_fts, rowid, text, chat_id)"
        " VALUES ('delete', old.seq, old.text, old.chat_id);"
        " END",
        "CREATE TRIGGER messages_fts_update AFTER UPDATE OF text, chat_id ON messages BEGIN"
        " INSERT INTO messages_fts (messages_fts, rowid, text, chat_id)"
        " VALUES ('delete', old.seq, old.text, old.chat_id);"
        " INSERT INTO messages_fts (rowid, text, chat_id) VALUES (new.seq, new.text, new.chat_id);"
        " END",
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
        " size INTEGER NOT NULL,"
        " mime TEXT NOT NULL,"
        " width INTEGER NOT NULL,"
        " height INTEGER NOT NULL,"
        " created_at INTEGER NOT NULL)",
        "CREATE INDEX uploads_by_user ON uploads(user_id)",
        "CREATE INDEX uploads_by_age ON uploads(created_at)",
        "ALTER TABLE messages ADD COLUMN upload_id TEXT",
        "ALTER TABLE messages ADD COLUMN file TEXT",
        "CREATE INDEX messages_by_upload ON messages(upload_id)",
    },
    {
        // Messages are stored in time order but for a few: those stamped before one stored
        // earlier (a clock set back, backdated seeding). Knowing those few lets a search walk
        // its matches newest stored first and stop at the page's end instead of sorting them
        // all. `latest` is the newest stamp ever stored, a deleted message's included.
        "CREATE TABLE messages_backdated ("
        " seq INTEGER PRIMARY KEY REFERENCES messages(seq) ON DELETE CASCADE)",
        "CREATE TABLE messages_clock (latest INTEGER NOT NULL)",
        "INSERT INTO messages_clock SELECT COALESCE(MAX(timestamp), -9223372036854775808)"
        " FROM messages",
        "INSERT INTO messages_backdated SELECT seq FROM (SELECT seq, timestamp, MAX(timestamp)"
        " OVER (ORDER BY seq ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING) AS latest"
        " FROM messages) WHERE timestamp < latest",
        "CREATE TRIGGER messages_backdated_insert AFTER INSERT ON messages BEGIN"
        " INSERT INTO messages_backdated SELECT new.seq FROM messages_clock"
        " WHERE new.timestamp < latest;"
        " UPDATE messages_clock SET latest = new.timestamp WHERE latest < new.timestamp;"
        " END",
        // The index's words in order, to name the words a search word starts.
        "CREATE VIRTUAL TABLE messages_fts_terms USING fts5vocab(messages_fts, 'instance')",
    },
    {
        // Indexing in every write's transaction wrote a new index segment at every commit, a
        // third of a busy writer's commit. New messages are now indexed in batches (see
        // indexNewMessages); those stored after `upto` are not in the index yet, and a search
        // reads them apart. Edits and deletions keep the index only for what it holds.
        "CREATE TABLE messages_fts_indexed (upto INTEGER NOT NULL)",
        "INSERT INTO messages_fts_indexed SELECT COALESCE(MAX(seq), 0) FROM messages",
        "DROP TRIGGER messages_fts_insert",
        "DROP TRIGGER messages_fts_delete",
        "DROP TRIGGER messages_fts_update",
        "CREATE TRIGGER messages_fts_delete AFTER DELETE ON messages"
        " WHEN old.seq <= (SELECT upto FROM messages_fts_indexed) BEGIN"
        " INSERT INTO messages_fts (messages_fts, rowid, text, chat_id)"
        " VALUES ('delete', old.seq, old.text, old.chat_id);"
        " END",
        "CREATE TRIGGER messages_fts_update AFTER UPDATE OF text, chat_id ON messages"
        " WHEN old.seq <= (SELECT upto FROM messages_fts_indexed) BEGIN"
        " INSERT INTO messages_fts (messages_fts, rowid, text, chat_id)"
        " VALUES ('delete', old.seq, old.text, old.chat_id);"
        " INSERT INTO messages_fts (rowid, text, chat_id) VALUES (new.seq, new.text, new.chat_id);"
        " END",
        // Only messages with a file are looked up by their upload: the others, nearly all, no
        // longer write an entry of this index at every commit.
        "DROP INDEX messages_by_upload",
        "CREATE INDEX messages_by_upload ON messages(upload_id) WHERE upload_id IS NOT NULL",
    },
};

// Feed entries are read within a second; a server away longer than this has missed them, and
// its users see the changes at their next login.
constexpr qint64 feedLifetimeMs = 10 * 60 * 1000;

// The schema version whose step adds the search index; that step also indexes what is stored.
constexpr int searchIndexVersion = 7;
// Messages indexed between two progress lines while an upgrade indexes what is stored.
constexpr int indexBatch = 50000;
// A search within this many chats names them inside the index; a user in more chats has most
// messages in them anyway, and is filtered after the index.
constexpr int maxChatsInMatch = 500;
// A search word stands for at most this many indexed words it starts before it is left to the
// index as a prefix: each one named costs a look-up, while the prefix costs reading all of
// their matches at once.
constexpr int maxWordForms = 8;

} // namespace

SqliteStore::SqliteStore()
    : SqlStore(Dialect { // The column's own collation: NOCASE, which folds ASCII letters only.
        QStringLiteral("username = ?"),
        QStringLiteral("username COLLATE NOCASE"),
        // One server alone changes its groups, and drops them from its cache as it does.
        QString(),
        QStringLiteral("0") })
{
}

SqliteStore::~SqliteStore() = default;

StoreConnector SqliteStore::connector(const QString &dataDir)
{
    return connectorTo<SqliteStore>(dataDir);
}

bool SqliteStore::beginSnapshot()
{
    if (db.transaction())
        return true;
    error = db.lastError().text();
    return false;
}

namespace
{

// Password hashes and every private message live in the data directory: it is for the owner
// alone. Sets `mode` on `path` when it grants more; false when that fails.
bool tighten(const QString &path, mode_t mode)
{
    struct stat info {
    };
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &info) != 0 || (info.st_mode & 0777 & ~mode) == 0)
        return true;
    if (::chmod(name.constData(), mode) != 0)
        return false;
    qCWarning(lcServer).noquote() << "tightened permissions of" << path << "from"
                                  << QString::number(info.st_mode & 0777, 8) << "to"
                                  << QString::number(mode, 8);
    return true;
}

} // namespace

bool SqliteStore::open(const QString &dataDir, OpenMode mode)
{
    const QString path = QDir(dataDir).filePath(fileName);
    if (mode == OpenMode::Upgrade) {
        if (!QDir().mkpath(dataDir) || !tighten(dataDir, 0700)) {
            error = QStringLiteral("cannot create data directory ") + dataDir;
            return false;
        }
        // SQLite gives its journal files the mode of the database file, so the file is made
        // here first, already private.
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
        for (const QString &suffix :
            { QString(), QStringLiteral("-wal"), QStringLiteral("-shm") }) {
            if (!tighten(path + suffix, 0600)) {
                error = QStringLiteral("cannot make %1 private").arg(path + suffix);
                return false;
            }
        }
    } else if (!QFileInfo::exists(path)) {
        error = QStringLiteral("no database in ") + dataDir;
        return false;
    }
    addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(path);
    // Administration commands may write while the server runs; wait for their lock briefly.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        error = db.lastError().text();
        return false;
    }
    bool wal = false;
    {
        QSqlQuery query(db);
        wal = query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) && query.next()
            && query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
    }
    if (!wal) {
        error = QStringLiteral("cannot switch the database to WAL mode");
        db.close();
        return false;
    }
    if (!prepareSession()) {
        db.close();
        return false;
    }
    if (mode == OpenMode::Existing) {
        if (schemaVersion() == latestSchemaVersion)
            return true;
        error = QStringLiteral("the database is not at schema version %1").arg(latestSchemaVersion);
        db.close();
        return false;
    }
    if (!migrate(migrations)) {
        db.close();
        return false;
    }
    // SQLite opens a file it may not write read-only without a word, and every write fails then;
    // the server still serves reads, so this is said once here rather than at every write.
    if (!execute(QStringLiteral("PRAGMA user_version = 0")))
        qCWarning(lcServer).noquote()
            << "the database cannot be written:" << error
            << "- every write is answered with an error until the server is restarted on a"
               " writable file";
    return true;
}

bool SqliteStore::prepareSession()
{
    // FULL makes every commit durable against power loss, not only against a crash.
    for (const char *pragma : { "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON" }) {
        if (!execute(QString::fromLatin1(pragma)))
            return false;
    }
    return true;
}

bool SqliteStore::publish(std::vector<ChangeNotice> notices)
{
    Transaction transaction(*this);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    bool ok = transaction.isActive()
        && run(QStringLiteral("DELETE FROM feed WHERE created_at < ?"), { now - feedLifetimeMs });
    for (const ChangeNotice &notice : notices) {
        ok = ok
            && run(QStringLiteral("INSERT INTO feed (stream, users, everyone, type, body,"
                                  " close_code, created_at) VALUES (?, ?, ?, ?, ?, ?, ?)"),
                { notice.chatId,
                    joinUsers(notice.users),
                    notice.everyone ? 1 : 0,
                    notice.type,
                    notice.text,
                    notice.closeCode,
                    now });
    }
    return ok && transaction.commit();
}

bool SqliteStore::feedStart(FeedPosition &position)
{
    Statement query = run(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM feed"));
    if (!query.next())
        return false;
    position.lastEntry = query.value(0).toLongLong();
    return true;
}

std::vector<ChangeNotice> SqliteStore::feedRead(
    FeedPosition &position, const QHash<QString, qint64> &, bool, bool *ok)
{
    std::vector<ChangeNotice> notices;
    Statement query = run(QStringLiteral("SELECT id, stream, users, everyone, type, body,"
                                         " close_code FROM feed WHERE id > ? ORDER BY id"),
        { position.lastEntry });
    while (query.next()) {
        position.lastEntry = query.value(0).toLongLong();
        ChangeNotice notice = noticeFromQuery(query.query, 2);
        notice.chatId = query.value(1).toString();
        notices.push_back(std::move(notice));
    }
    *ok = bool(query);
    return notices;
}

bool SqliteStore::backupTo(const QString &path)
{
    if (QFileInfo::exists(path)) {
        error = QStringLiteral("the file exists already");
        return false;
    }
    // One read transaction: the copy is the database as of one commit, never between two.
    return execute(QStringLiteral("VACUUM INTO '")
        + QString(path).replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\''));
}

bool SqliteStore::afterMigrationStep(int version)
{
    return version != searchIndexVersion || indexStoredMessages();
}

bool SqliteStore::indexStoredMessages()
{
    qint64 total = 0;
    {
        Statement count = run(QStringLiteral("SELECT COUNT(*) FROM messages"));
        if (!count.next())
            return false;
        total = count.value(0).toLongLong();
    }
    if (total == 0)
        return true;
    qCInfo(lcServer) << "indexing" << total << "stored messages for search";
    qint64 done = 0;
    qint64 last = 0;
    for (;;) {
        qint64 upTo = last;
        {
            Statement end = run(QStringLiteral("SELECT MAX(seq), COUNT(*) FROM (SELECT seq FROM"
                                               " messages WHERE seq > ? ORDER BY seq LIMIT ?)"),
                { last, indexBatch });
            if (!end.next())
                return false;
            if (end.value(1).toLongLong() == 0)
                break;
            upTo = end.value(0).toLongLong();
            done += end.value(1).toLongLong();
        }
        if (!run(QStringLiteral("INSERT INTO messages_fts (rowid, text, chat_id)"
                                " SELECT seq, text, chat_id FROM messages"
                                " WHERE seq > ? AND seq <= ?"),
                { last, upTo }))
            return false;
        last = upTo;
        qCInfo(lcServer).noquote() << QStringLiteral("indexed %1 of %2 messages (%3 %)")
                                          .arg(done)
                                          .arg(total)
                                          .arg(done * 100 / total);
    }
    return true;
}

namespace
{

// One FTS5 string: every character but the double quote stands for itself inside one.
QString ftsString(const QString &text)
{
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\""))
        + QLatin1Char('"');
}

QString ftsPrefix(const QString &word)
{
    return ftsString(word) + QLatin1String(" *");
}

// Words the index folds as we do: ASCII letters and digits, lower-cased.
bool foldsAsAscii(const QString &word)
{
    for (const QChar c : word) {
        if (c.unicode() > 127 || !c.isLetterOrNumber())
            return false;
    }
    return true;
}

// The index query for `terms` (each term a phrase, every term required), its words given by
// `word`, narrowed to `chatIds` when not empty. Only words and ids go in, each quoted, so
// nothing is read as index syntax.
QString ftsQuery(const SearchTerms &terms,
    const QStringList &chatIds,
    const std::function<QString(const QString &)> &word)
{
    QStringList phrases;
    for (const QStringList &term : terms) {
        if (term.size() == 1) {
            phrases.append(word(term.first()));
            continue;
        }
        QStringList words;
        for (const QString &each : term)
            words.append(ftsPrefix(each));
        phrases.append(words.join(QLatin1String(" + ")));
    }
    // An explicit AND: a group in parentheses does not take an implicit one after it.
    QString query =
        QLatin1String("text : (") + phrases.join(QLatin1String(" AND ")) + QLatin1Char(')');
    if (!chatIds.isEmpty()) {
        QStringList chats;
        for (const QString &chatId : chatIds)
            chats.append(ftsString(chatId));
        query += QLatin1String(" AND chat_id : (") + chats.join(QLatin1String(" OR "))
            + QLatin1Char(')');
    }
    return query;
}

bool newestFirst(const MessageRecord &a, const MessageRecord &b)
{
    return a.timestamp != b.timestamp ? a.timestamp > b.timestamp : a.seq > b.seq;
}

} // namespace

QString SqliteStore::wordForms(const QString &word)
{
    // Up to three letters the index keeps a prefix list of its own, read as it goes.
    if (word.size() <= 3 || !foldsAsAscii(word))
        return ftsPrefix(word);
    const QString folded = word.toLower();
    QStringList forms { ftsString(folded) };
    // Terms hold letters and digits only: "\1" sorts after the word and before its longer forms.
    QString from = folded + QChar(1);
    for (;;) {
        Statement next =
            run(QStringLiteral("SELECT term FROM messages_fts_terms WHERE term >= ? LIMIT 1"),
                { from });
        if (!next)
            return ftsPrefix(word);
        if (!next.next())
            break;
        const QString term = next.value(0).toString();
        if (!term.startsWith(folded))
            break;
        if (forms.size() > maxWordForms)
            return ftsPrefix(word);
        forms.append(ftsString(term));
        from = term + QChar(1);
    }
    return QLatin1Char('(') + forms.join(QLatin1String(" OR ")) + QLatin1Char(')');
}

std::vector<MessageRecord> SqliteStore::searchMessages(const QString &userId,
    const QString &chatId,
    const SearchTerms &terms,
    const std::optional<SearchPosition> &before,
    int limit)
{
    const QStringList chatIds = searchedChats(userId, chatId, std::numeric_limits<int>::max());
    if (chatIds.isEmpty())
        return {};
    const QStringList named = chatIds.size() <= maxChatsInMatch ? chatIds : QStringList();
    std::vector<MessageRecord> page = searchIndex(QStringLiteral("messages_fts"),
        ftsQuery(terms, named, [this](const QString &word) { return wordForms(word); }),
        userId,
        chatId,
        before,
        limit);
    if (!indexUnindexedApart())
        return page;
    // The index's words do not name those only the newest messages hold: there each word is
    // matched as a prefix, which is what the word forms stand for.
    std::vector<MessageRecord> newest = searchIndex(QStringLiteral("messages_unindexed"),
        ftsQuery(terms, named, ftsPrefix),
        userId,
        chatId,
        before,
        limit);
    execute(QStringLiteral("DELETE FROM temp.messages_unindexed"));
    if (newest.empty())
        return page;
    page.insert(page.end(),
        std::make_move_iterator(newest.begin()),
        std::make_move_iterator(newest.end()));
    std::sort(page.begin(), page.end(), newestFirst);
    if (int(page.size()) > limit)
        page.resize(std::size_t(limit));
    return page;
}

std::vector<MessageRecord> SqliteStore::searchIndex(const QString &table,
    const QString &match,
    const QString &userId,
    const QString &chatId,
    const std::optional<SearchPosition> &before,
    int limit)
{
    // The index matches a chat id by its words; the exact id is checked on the row as well.
    // The index leads: walking a chat's messages by time and asking the index about each one
    // would cost the chat's length. CROSS JOIN keeps that order, "+" keeps the chat's index out.
    const QString sql = selectMessages(QStringLiteral("m"))
        + QStringLiteral(" FROM %1 f CROSS JOIN messages m ON m.seq = f.rowid WHERE %1 MATCH ?"
                         " AND m.chat_id IN (SELECT chat_id FROM chat_members"
                         " WHERE user_id = ?)")
              .arg(table);
    const QVariantList values { match, userId };
    if (std::optional<std::vector<MessageRecord>> page =
            searchInStoringOrder(sql, values, chatId, before, limit))
        return std::move(*page);
    return searchPage(
        sql, values, QStringLiteral("m."), QStringLiteral("+m.chat_id = ?"), chatId, before, limit);
}

std::optional<qint64> SqliteStore::unindexedAfter()
{
    Statement unindexed = run(QStringLiteral("SELECT upto FROM messages_fts_indexed"
                                             " WHERE EXISTS (SELECT 1 FROM messages"
                                             " WHERE seq > upto)"));
    if (!unindexed.next())
        return std::nullopt;
    return unindexed.value(0).toLongLong();
}

bool SqliteStore::indexUnindexedApart()
{
    const std::optional<qint64> upto = unindexedAfter();
    if (!upto)
        return false;
    // In the connection's own temporary database: a reader writes nothing shared. Emptied
    // first, should a search before have stopped short of emptying it.
    return execute(QStringLiteral("CREATE VIRTUAL TABLE IF NOT EXISTS temp.messages_unindexed"
                                  " USING fts5(text, chat_id,"
                                  " tokenize='unicode61 remove_diacritics 2', prefix='3')"))
        && execute(QStringLiteral("DELETE FROM temp.messages_unindexed"))
        && bool(run(QStringLiteral("INSERT INTO temp.messages_unindexed (rowid, text, chat_id)"
                                   " SELECT seq, text, chat_id FROM messages WHERE seq > ?"),
        { *upto }));
}

bool SqliteStore::indexNewMessages(int limit, bool *more)
{
    *more = false;
    if (!unindexedAfter())
        return !lastStatementFailed();
    // Read again inside the transaction: another process on the file may have indexed them.
    Transaction transaction(*this);
    if (!transaction.isActive())
        return false;
    qint64 upto = 0;
    qint64 end = 0;
    {
        Statement range = run(QStringLiteral("SELECT upto, (SELECT MAX(seq) FROM (SELECT seq"
                                             " FROM messages WHERE seq > upto ORDER BY seq"
                                             " LIMIT ?)) FROM messages_fts_indexed"),
            { limit });
        if (!range.next())
            return false;
        upto = range.value(0).toLongLong();
        if (range.value(1).isNull())
            return true;
        end = range.value(1).toLongLong();
    }
    if (!run(QStringLiteral("INSERT INTO messages_fts (rowid, text, chat_id)"
                            " SELECT seq, text, chat_id FROM messages WHERE seq > ? AND seq <= ?"),
            { upto, end })
        || !run(QStringLiteral("UPDATE messages_fts_indexed SET upto = ?"), { end })) {
        return false;
    }
    {
        Statement rest =
            run(QStringLiteral("SELECT 1 FROM messages WHERE seq > ? LIMIT 1"), { end });
        *more = rest.next();
    }
    return transaction.commit();
}

std::optional<std::vector<MessageRecord>> SqliteStore::searchInStoringOrder(QString sql,
    QVariantList values,
    const QString &chatId,
    const std::optional<SearchPosition> &before,
    int limit)
{
    if (!chatId.isEmpty()) {
        sql += QLatin1String(" AND +m.chat_id = ?");
        values.append(chatId);
    }
    if (before) {
        // A message stored after the page's end but stamped before it would be skipped by the
        // walk; the few such pages are left to the full search.
        Statement backdated =
            run(QStringLiteral("SELECT 1 FROM messages_backdated b JOIN messages m"
                               " ON m.seq = b.seq WHERE b.seq > ? AND m.timestamp <= ? LIMIT 1"),
                { before->seq, before->timestamp });
        if (!backdated || backdated.next())
            return std::nullopt;
        sql += QLatin1String(" AND f.rowid < ? AND (m.timestamp < ? OR (m.timestamp = ?"
                             " AND m.seq < ?))");
        values << before->seq << before->timestamp << before->timestamp << before->seq;
    }
    sql += QLatin1String(" ORDER BY f.rowid DESC LIMIT ?");
    values.append(limit);
    std::vector<MessageRecord> messages;
    {
        Statement query = run(sql, values);
        if (!query)
            return std::nullopt;
        while (query.next())
            messages.push_back(messageFromRow(query.query));
    }
    if (int(messages.size()) == limit) {
        // Messages stored before the walk's end are stamped no later than the newest of them
        // back to the first one stored in time order; when that is later than the page's last,
        // one of them may belong on the page.
        const qint64 walkEnd = messages.back().seq;
        Statement bound = run(QStringLiteral("SELECT MAX(timestamp) FROM messages WHERE seq < ?"
                                             " AND seq >= COALESCE((SELECT seq FROM messages"
                                             " WHERE seq < ? AND seq NOT IN (SELECT seq FROM"
                                             " messages_backdated) ORDER BY seq DESC LIMIT 1), 0)"),
            { walkEnd, walkEnd });
        if (!bound.next())
            return std::nullopt;
        std::sort(messages.begin(), messages.end(), newestFirst);
        if (!bound.value(0).isNull() && bound.value(0).toLongLong() > messages.back().timestamp)
            return std::nullopt;
    } else {
        std::sort(messages.begin(), messages.end(), newestFirst);
    }
    fillSeenBy(messages);
    return messages;
}
