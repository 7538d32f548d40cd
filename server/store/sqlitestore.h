#pragma once

#include "sqlstore.h"

#include <QString>

// The store in one SQLite file in the data directory, in WAL mode, so that readers on connections
// of their own see what is committed while the writer writes.
class SqliteStore final : public SqlStore
{
public:
    // The schema this build creates and upgrades to.
    static constexpr int latestSchemaVersion = 10;
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

    bool backupTo(const QString &path) override;
    // Through the FTS5 index; the asker's chats are named inside the index's query.
    std::vector<MessageRecord> searchMessages(const QString &userId,
        const QString &chatId,
        const SearchTerms &terms,
        const std::optional<SearchPosition> &before,
        int limit) override;
    bool indexNewMessages(int limit, bool *more) override;
    bool publish(std::vector<ChangeNotice> notices) override;
    bool feedStart(FeedPosition &position) override;
    // Every entry after the position: administration commands write few.
    std::vector<ChangeNotice> feedRead(FeedPosition &position,
        const QHash<QString, qint64> &streams,
        bool everything,
        bool *ok) override;

protected:
    bool beginSnapshot() override;
    bool prepareSession() override;
    bool afterMigrationStep(int version) override;

private:
    // Puts every stored message into the search index, logging the progress.
    bool indexStoredMessages();
    // The index query for one search word: the indexed words it starts, or its prefix.
    QString wordForms(const QString &word);
    // A page of the messages `match` finds in the index `table`, of the asker's chats.
    std::vector<MessageRecord> searchIndex(const QString &table,
        const QString &match,
        const QString &userId,
        const QString &chatId,
        const std::optional<SearchPosition> &before,
        int limit);
    // Where the search index ends, when messages are stored after it.
    std::optional<qint64> unindexedAfter();
    // Fills an index of this connection's own, "messages_unindexed", with the messages not yet
    // in the search index; false when there are none.
    bool indexUnindexedApart();
    // A page of search results read from the index newest stored first, stopping at the
    // page's end; none when a message stored out of time order may belong on it. `sql` and
    // `values` select the matches, as searchPage takes them.
    std::optional<std::vector<MessageRecord>> searchInStoringOrder(QString sql,
        QVariantList values,
        const QString &chatId,
        const std::optional<SearchPosition> &before,
        int limit);
};
