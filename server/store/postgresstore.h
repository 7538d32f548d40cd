#pragma once

#include "databaseurl.h"
#include "sqlstore.h"

#include <QObject>
#include <QString>

// The store in a PostgreSQL database, through Qt's QPSQL driver, for any number of servers at
// once. Its schema mirrors the SQLite one; ids, ordering and answers are the same.
class PostgresStore final : public SqlStore
{
public:
    // The schema this build creates and upgrades to.
    static int latestSchemaVersion();

    enum class OpenMode {
        // Creates or upgrades the schema, under a lock that keeps servers starting together on
        // an empty database from racing.
        Upgrade,
        // Only connects, and checks the schema.
        Existing,
    };

    PostgresStore();
    ~PostgresStore() override;

    bool open(const DatabaseUrl &url, OpenMode mode = OpenMode::Upgrade);
    // Connections to a database `open` has brought to the latest schema.
    static StoreConnector connector(const DatabaseUrl &url);
    // A copy is pg_dump's work: says how, and writes nothing.
    bool backupTo(const QString &path) override;
    // Through the GIN index of the messages' words, or for common words newest first along the
    // chats' messages.
    std::vector<MessageRecord> searchMessages(const QString &userId,
        const QString &chatId,
        const SearchTerms &terms,
        const std::optional<SearchPosition> &before,
        int limit) override;

    // Inside a transaction of several requests the row is held back and written with the others
    // of the transaction in one statement (see flushDeferred()): a round trip per message would
    // bound the writer's pace. Sequence numbers are taken ahead, a batch per transaction.
    std::optional<MessageRecord> addMessage(const QString &chatId,
        const QString &senderId,
        const QString &text,
        const QString &replyToId,
        qint64 timestamp,
        const QString &uploadId = {},
        const QString &file = {}) override;
    Announcement announce(std::vector<ChangeNotice *> &notices) override;
    void expectRequests(std::size_t count) override;
    bool publish(std::vector<ChangeNotice> notices) override;
    bool broadcast(const ChangeNotice &notice) override;
    bool holdUploadQuota(const QString &userId) override;
    bool feedStart(FeedPosition &position) override;
    // Looks up the streams a notification named, those changed lately, or all of them.
    std::vector<ChangeNotice> feedRead(FeedPosition &position,
        const QHash<QString, qint64> &streams,
        bool everything,
        bool *ok) override;
    // Notifications carry their sender's origin() and either a stream and the first and last
    // sequence numbers one commit kept in it ({"o", "s", "f", "q"}) or a whole notice that is
    // not kept ({"o", "s", "u", "e", "t", "b", "c"}).
    bool listen(std::function<void(const QString &payload)> wake) override;

protected:
    bool beginSnapshot() override;
    bool afterMigrationStep(int version) override;
    bool prepareSession() override;
    bool flushDeferred() override;
    void forgetDeferred() override;
    // Row locks on the chat: a message's insert takes the shared one for its foreign key
    // anyway; a change of a group takes the one that waits for all of them.
    bool holdChat(const QString &chatId, bool exclusive) override;
    bool holdUpload(const QString &uploadId, bool exclusive) override;

private:
    // About the share of messages holding every search word, from the index's statistics; 0
    // when the words are rare or there are no statistics yet.
    double matchingShare(const SearchTerms &terms);
    // A page of search results in `chatIds`, read newest first chat by chat.
    std::vector<MessageRecord> searchNewestFirst(const QStringList &chatIds,
        const QString &query,
        const std::optional<SearchPosition> &before,
        int limit);
    // Numbers `notices` in their streams and keeps them in the feed, in the open transaction;
    // checks the versions of the groups the transaction read in the same statement.
    Announcement keep(std::vector<ChangeNotice *> &notices);

    DatabaseUrl url;
    int announcements = 0;
    // Whether the next transaction holds its messages back: not for one request alone, where
    // taking the numbers ahead would cost a round trip more than it saves.
    bool holdMessages = false;
    std::vector<MessageRecord> heldMessages;
    // Sequence numbers taken for this transaction and not used yet, the next last.
    std::vector<qint64> spareSeqs;
    QMetaObject::Connection subscription;
};
