#pragma once

#include "databaseurl.h"
#include "sqlstore.h"

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

protected:
    bool beginSnapshot() override;

private:
    DatabaseUrl url;
};
