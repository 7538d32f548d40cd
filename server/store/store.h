#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ChatCache;

struct UserRecord {
    QString id;
    QString username;
    // Empty when the user has no picture of their own.
    QString avatarUrl;
    // Logins are refused, as for a wrong password.
    bool disabled = false;
};

// A user as the administrator lists them.
struct AccountRecord {
    QString id;
    QString username;
    bool disabled = false;
    // Seconds since the epoch of the last login, by password or token; 0 for never.
    qint64 lastLogin = 0;
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
    // The upload the message carries, and its file object as compact JSON; empty for none.
    QString uploadId;
    QString file;
};

// A file received over HTTP, kept under its id in the upload folder.
struct UploadRecord {
    QString id;
    // The chat it was uploaded into; a private chat may not exist yet.
    QString chatId;
    QString userId;
    // Made safe: no path separators or control characters.
    QString name;
    qint64 size = 0;
    // Sniffed from the content.
    QString mime;
    // Of a picture, read from its header; 0 when unknown.
    int width = 0;
    int height = 0;
    // Seconds since the epoch.
    qint64 createdAt = 0;
};

struct ChatHistory {
    ChatRecord chat;
    // The newest messages, oldest first.
    std::vector<MessageRecord> messages;
    // Messages of the whole chat from others that the user has no receipt for.
    int unreadCount = 0;
};

// What a search asks for: every term must be found. A term is one word, or the words of a quoted
// phrase, which must stand next to each other in that order.
using SearchTerms = std::vector<QStringList>;

// A place in the order of search results, newest first: by timestamp, then by storing order.
struct SearchPosition {
    qint64 timestamp = 0;
    qint64 seq = 0;
};

// A frame for every connection of some users, told because of a write to a chat; or, with a
// `closeCode`, the end of those connections. Servers that share a store tell each other through
// its change feed (see FanOut).
struct ChangeNotice {
    // The stream the notice is ordered in: its chat, or feedDirectory for what concerns no chat.
    QString chatId;
    QStringList users;
    // The frame's "type", for the metrics.
    QString type;
    // The frame; with a close code, the close's reason.
    QString text;
    // A connection of this server that is not told, having caused the change itself; 0 for
    // none. It means nothing to other servers, and is not sent to them.
    quint64 exceptConnection = 0;
    // Every logged-in connection is told, whatever `users` holds.
    bool everyone = false;
    // Non-zero: the users' connections are closed with this WebSocket close code.
    int closeCode = 0;
    // The notice's place in its stream, counted by the store shared by several servers; 0 where
    // it has no place (a store of one server alone, or a notice that is not kept).
    qint64 seq = 0;

    // Whether it tells of a change of its group's name, owner or members.
    bool changesChat() const;
};

// An account's streak of failed logins, as the failure throttle keeps it: shared through the
// store, so that the throttle holds on every server.
struct LoginFailures {
    int failures = 0;
    qint64 lastMs = 0;
    // The addresses that failed on the account.
    QStringList addresses;
};

// Where a server has read the change feed up to.
struct FeedPosition {
    // The last sequence number read, by stream.
    QHash<QString, qint64> streams;
    // The last entry read from a feed numbered as a whole; -1 before the first read.
    qint64 lastEntry = -1;
};

// One connection to the server's store: users, chats, messages, receipts and login tokens. A
// connection is used by the one thread that opened it, and by no other. A write outside a
// `Transaction` commits on its own before the call returns.
class Store
{
public:
    // A scoped transaction: writes made while it lives are committed by `commit`, and rolled
    // back when it goes out of scope uncommitted. Inside another one it becomes a savepoint, so
    // that a failed inner part rolls back alone.
    class Transaction
    {
    public:
        explicit Transaction(Store &store);
        ~Transaction();
        Transaction(const Transaction &) = delete;
        Transaction &operator=(const Transaction &) = delete;

        // False when the transaction could not be opened; then nothing is written in it.
        bool isActive() const;
        // False when the commit failed; everything in the transaction is rolled back then.
        bool commit();
        void rollback();

    private:
        Store &store;
        bool active = false;
    };

    // A login token expires after this long without use.
    static constexpr qint64 loginTokenLifetime = 30 * 24 * 3600;
    // An HTTP token expires this long after its login, used or not.
    static constexpr qint64 httpTokenLifetime = 24 * 3600;

    // What announce() made of a transaction's notices.
    enum class Announcement {
        Kept,
        Failed,
        // A group the transaction read as its server held it had been changed by another server
        // meanwhile: the transaction must be rolled back and run again, and that run reads and
        // holds the groups it writes to afresh.
        Outdated,
    };

    Store();
    virtual ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    virtual bool isOpen() const = 0;
    virtual QString lastError() const = 0;
    // Whether the last statement run failed, as opposed to finding nothing to change.
    virtual bool lastStatementFailed() const = 0;
    virtual int schemaVersion() = 0;
    // Writes a consistent copy of the whole store to the new file `path`, while others may
    // write; false with the reason in lastError() where the backend cannot.
    virtual bool backupTo(const QString &path) = 0;
    // Whether the store answers a query.
    virtual bool ping() = 0;

    // A read snapshot: everything read until endRead() sees the store as of one commit.
    virtual bool beginRead() = 0;
    virtual void endRead() = 0;
    // The stream of notices about no chat (users added, avatars changed).
    static const QString feedDirectory;

    // Called by the writer within each transaction, before its commit, with what the
    // transaction's writes tell connected users; a store shared by several servers keeps them in
    // its change feed for the others, numbering each in its stream (`seq`), and wakes them once
    // the commit is done. Numbering them, it also checks that the groups they tell of have not
    // changed since they were read (see ChatCache). A store of one server alone has nobody to
    // tell. Unless they are kept, the transaction is rolled back.
    virtual Announcement announce(std::vector<ChangeNotice *> &notices);
    // The writer says how many requests the next transaction runs, so that a backend may send
    // their writes together where that saves round trips.
    virtual void expectRequests(std::size_t count);
    // Puts up to `limit` messages stored since the last call into the search index, in a
    // transaction of its own, and sets `more` when some are left. The writer calls it now and
    // then, so that the index is written once per batch of commits rather than at each. False
    // when it failed; nothing is lost then, the next call indexes them. A backend that indexes
    // in every write has nothing to do here.
    virtual bool indexNewMessages(int limit, bool *more);
    // Keeps `notices` in the change feed for every server on the store, in the caller's
    // transaction or one of their own: what the administration commands change reaches the
    // servers' connected users through it, on every backend. False when it cannot be kept.
    virtual bool publish(std::vector<ChangeNotice> notices) = 0;
    // Wakes the other servers with a notice that is not kept (who is typing): it reaches only
    // those listening now. False where nobody else can listen.
    virtual bool broadcast(const ChangeNotice &notice);

    // Reading the feed, on a connection of its own. feedStart() sets `position` to the feed's
    // end; feedRead() returns what came after `position`, in order within each stream, and moves
    // it on. `streams` (stream to a sequence number it has reached) names where to look; empty,
    // every stream changed lately, and with `everything`, every stream there is.
    virtual bool feedStart(FeedPosition &position) = 0;
    virtual std::vector<ChangeNotice> feedRead(FeedPosition &position,
        const QHash<QString, qint64> &streams,
        bool everything,
        bool *ok) = 0;
    // Calls `wake` with the text of each notification sent on the store from now on, on this
    // connection's thread; false where the backend sends none (then the feed is polled).
    virtual bool listen(std::function<void(const QString &payload)> wake);
    // Drops the connection and opens it again, for a store whose server went away.
    virtual bool reconnect();
    // Names the server this connection works for in what it sends on the feed, so that the
    // server can tell its own notifications from others'.
    void setOrigin(const QString &origin);
    QString origin() const;
    // The chats this connection keeps, shared with the server's other connections; each has a
    // cache of its own until then.
    void shareChats(std::shared_ptr<ChatCache> cache);
    // Drops what the cache holds of a chat another server changed; of every chat when `chatId`
    // is empty.
    void forgetChat(const QString &chatId);

    virtual std::optional<UserRecord> addUser(
        const QString &username, const QString &passwordHash) = 0;
    virtual std::optional<UserRecord> userById(const QString &userId) = 0;
    // Names are matched without regard to ASCII case, so "Alice" and "alice" are one account.
    virtual std::optional<UserRecord> userByName(const QString &username) = 0;
    virtual QString passwordHash(const QString &userId) = 0;
    virtual std::vector<UserRecord> users() = 0;
    virtual bool setUserAvatar(const QString &userId, const QString &avatarUrl) = 0;
    // Replaces the user's password hash; with an `expected` hash, only while it is still that
    // one (a change raced by another is refused). False when nothing was replaced.
    virtual bool setPasswordHash(
        const QString &userId, const QString &passwordHash, const QString &expected = {}) = 0;
    virtual bool setUserDisabled(const QString &userId, bool disabled) = 0;
    // Stamps the user's last login.
    virtual bool recordLogin(const QString &userId, qint64 now) = 0;
    // Every user with the administrator's view of them, ordered as users().
    virtual std::vector<AccountRecord> accounts() = 0;

    // Creates a chat; an empty `chatId` gets a new group id. Members keep the given order.
    virtual std::optional<ChatRecord> createChat(const QString &chatId,
        const QString &name,
        const QString &type,
        const QString &ownerId,
        const QStringList &members) = 0;
    // The chat as the server holds it, or read from the database `fresh`. Within a read
    // snapshot a group is always read as of the snapshot.
    virtual std::optional<ChatRecord> chat(const QString &chatId, bool fresh = false) = 0;
    virtual std::vector<ChatRecord> chatsOfUser(const QString &userId) = 0;
    virtual bool isMember(const QString &chatId, const QString &userId) = 0;
    // Within a write, before reading a chat whose members it tells something (or, `exclusive`,
    // whose name or members it changes): on a store shared by several servers, what is told of
    // a group is numbered in its stream before a change of it or after it, never across it. A
    // change holds the group until the commit, and reads it afresh; a write that only tells its
    // members relies on what the server holds, checked by announce(), and holds it only when
    // run again after that check failed. False when it failed.
    virtual bool lockChat(const QString &chatId, bool exclusive) = 0;
    // Changes of a group. Members keep the order they joined in, so that the first is the one
    // who has been in it longest.
    virtual bool renameChat(const QString &chatId, const QString &name) = 0;
    virtual bool addMembers(const QString &chatId, const QStringList &userIds) = 0;
    // Takes the member out; an owner who leaves hands the chat to the longest-standing member
    // left. The chat and its messages stay, with no members if none is left.
    virtual bool removeMember(const QString &chatId, const QString &userId) = 0;
    // Every chat of the user with its newest `perChat` messages, in a few queries however many
    // chats. With `wholeSeconds`, each chat's page also holds the rest of its oldest message's
    // second, as newestMessages() does, so that paging on by timestamp skips nothing. Each
    // history also counts what the user has not seen of the whole chat.
    virtual std::vector<ChatHistory> chatHistories(
        const QString &userId, int perChat, bool wholeSeconds = true) = 0;

    // `uploadId` and `file` as MessageRecord has them; empty for a message without a file.
    virtual std::optional<MessageRecord> addMessage(const QString &chatId,
        const QString &senderId,
        const QString &text,
        const QString &replyToId,
        qint64 timestamp,
        const QString &uploadId = {},
        const QString &file = {}) = 0;
    virtual std::optional<MessageRecord> message(const QString &messageId) = 0;
    // The newest `limit` messages of a chat and the rest of the oldest one's second, oldest
    // first. A page never ends inside a second, so that paging on by the oldest timestamp
    // reaches every message however many share a second.
    virtual std::vector<MessageRecord> newestMessages(const QString &chatId, int limit) = 0;
    // The newest `limit` messages older than `before` and the rest of the oldest one's second,
    // plus up to `tieLimit` messages stamped exactly `before`; oldest first.
    virtual std::vector<MessageRecord> messagesBefore(
        const QString &chatId, qint64 before, int limit, int tieLimit) = 0;
    // Up to `count` messages before `message` in its chat, the message itself, and up to `count`
    // after it, the last grown to the end of its second; oldest first.
    virtual std::vector<MessageRecord> messagesAround(const MessageRecord &message, int count) = 0;
    // The oldest `limit` messages stamped after `after`, and the rest of the newest one's second;
    // oldest first.
    virtual std::vector<MessageRecord> messagesAfter(
        const QString &chatId, qint64 after, int limit) = 0;
    // Messages of the chats `userId` is a member of (of `chatId` alone when not empty) that hold
    // every term, older than `before` when given: newest first, at most `limit`. Each word also
    // matches as the start of a word; case and diacritics do not count.
    virtual std::vector<MessageRecord> searchMessages(const QString &userId,
        const QString &chatId,
        const SearchTerms &terms,
        const std::optional<SearchPosition> &before,
        int limit) = 0;
    // Records that `userId` has seen the message; false when it was already recorded or failed.
    virtual bool markSeen(qint64 seq, const QString &userId, qint64 seenAt) = 0;
    virtual bool editMessage(qint64 seq, const QString &text, qint64 editedAt) = 0;
    virtual bool deleteMessage(qint64 seq) = 0;

    virtual bool addUpload(const UploadRecord &upload) = 0;
    virtual std::optional<UploadRecord> upload(const QString &uploadId) = 0;
    // The bytes of every upload of the user still kept, for the quota.
    virtual qint64 uploadedBytes(const QString &userId) = 0;
    // Holds, until the transaction ends, the right to record uploads of the user against the
    // quota, so that two servers recording at once cannot both pass it; false, without
    // waiting, while another transaction holds it.
    virtual bool holdUploadQuota(const QString &userId) = 0;
    // Those of `uploadIds` that have no record; nothing when the store cannot tell, so that a
    // failing read never passes for files nobody owns.
    virtual std::optional<QStringList> unrecordedUploads(const QStringList &uploadIds) = 0;
    // Removes the uploads that no message refers to, among `uploadIds` when given, else among
    // those made before `createdBefore` (at most `limit`); returns the ids removed, whose files
    // the caller deletes once this is committed.
    virtual QStringList removeUnreferencedUploads(
        const QStringList &uploadIds, qint64 createdBefore, int limit) = 0;

    // Stores the SHA-256 (hex) of a token handed to `userId`; expired tokens are dropped.
    virtual bool addLoginToken(const QString &tokenHash, const QString &userId, qint64 now) = 0;
    // The user a token belongs to, when it was issued no longer than the lifetime before `now`.
    // A token serves one login: it is removed either way, and the login hands out a new one.
    virtual std::optional<QString> takeLoginToken(const QString &tokenHash, qint64 now) = 0;
    // Stores the SHA-256 (hex) of an HTTP token handed to `userId`; expired ones are dropped.
    virtual bool addHttpToken(const QString &tokenHash, const QString &userId, qint64 now) = 0;
    // The user an HTTP token belongs to, while it is younger than its lifetime. It stays valid
    // for further requests.
    virtual std::optional<QString> httpTokenUser(const QString &tokenHash, qint64 now) = 0;
    // Removes every login and HTTP token of the user.
    virtual bool revokeTokens(const QString &userId) = 0;

    // Logged-in connections per user on each server (by origin()), for the cap per user that
    // holds across servers. A server's counts count while it says it is alive.
    virtual int connectionsElsewhere(const QString &userId, qint64 aliveSinceMs) = 0;
    virtual bool setConnections(const QString &userId, int count, qint64 nowMs) = 0;
    // Says this server is alive; drops what servers not alive since `forgetBeforeMs` left.
    virtual bool touchPresence(qint64 nowMs, qint64 forgetBeforeMs) = 0;

    virtual std::optional<LoginFailures> loginFailures(const QString &account) = 0;
    // Keeps the account's streak; streaks quiet since `forgetBeforeMs` are dropped.
    virtual bool setLoginFailures(
        const QString &account, const LoginFailures &failures, qint64 forgetBeforeMs) = 0;

protected:
    // What Transaction runs; the outermost level begins and commits, inner ones are savepoints.
    virtual bool beginTransaction() = 0;
    virtual bool commitTransaction() = 0;
    virtual void rollbackTransaction() = 0;
    ChatCache &chatCache();

private:
    QString originName;
    std::shared_ptr<ChatCache> chats;
};

// Opens one more connection to the same store, for the thread that calls it; null, with the
// reason in `error`, when it cannot. The store exists already, at the latest schema.
using StoreConnector = std::function<std::unique_ptr<Store>(QString *error)>;
