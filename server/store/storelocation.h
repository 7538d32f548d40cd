#pragma once

#include "databaseurl.h"
#include "store.h"

#include <QString>
#include <memory>
#include <optional>

// Where the store lives: the SQLite file in a data directory (the default), or the PostgreSQL
// database of a URL. The data directory holds the static files either way.
struct StoreLocation {
    QString dataDir;
    std::optional<DatabaseUrl> database;

    bool isPostgres() const;
    // Opens a connection, creating or upgrading the schema first; null, with the reason in
    // `error`, when it cannot.
    std::unique_ptr<Store> open(QString *error) const;
    // Further connections, once open() has brought the schema up to date.
    StoreConnector connector() const;
    // For log lines: the folder, or the URL without its password.
    QString describe() const;
};
