#include "storelocation.h"

#include "postgresstore.h"
#include "sqlitestore.h"

#include <QDir>

bool StoreLocation::isPostgres() const
{
    return database.has_value();
}

std::unique_ptr<Store> StoreLocation::open(QString *error) const
{
    if (database) {
        auto store = std::make_unique<PostgresStore>();
        if (store->open(*database))
            return store;
        if (error)
            *error = store->lastError();
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>();
    if (store->open(dataDir))
        return store;
    if (error)
        *error =
            QStringLiteral("cannot open the database in %1: %2").arg(dataDir, store->lastError());
    return nullptr;
}

StoreConnector StoreLocation::connector() const
{
    return database ? PostgresStore::connector(*database) : SqliteStore::connector(dataDir);
}

QString StoreLocation::describe() const
{
    return database ? database->redacted() : QDir(dataDir).absolutePath();
}
