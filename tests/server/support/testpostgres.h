#pragma once

#include "databaseurl.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <optional>

// A throwaway PostgreSQL cluster for one test program: initdb into a temporary folder, a server
// that listens only on a Unix socket in that folder, stopped and removed with this object. As
// root it runs as the "postgres" user (through runuser), since PostgreSQL refuses to run as root.
//
//     TestPostgres postgres;
//     if (!postgres.start())
//         QSKIP(qPrintable(postgres.skipReason()));
//     const std::optional<DatabaseUrl> url = postgres.createDatabase();
class TestPostgres
{
public:
    TestPostgres();
    ~TestPostgres();
    TestPostgres(const TestPostgres &) = delete;
    TestPostgres &operator=(const TestPostgres &) = delete;

    // Whether PostgreSQL's programs are installed here at all.
    static bool isInstalled();
    // Creates and starts the cluster; false with the reason in error().
    bool start();
    // Stops the server fast (open connections are cut), keeping its data; start() again.
    bool stop();
    bool isRunning() const;
    // What a test should say when it skips: PostgreSQL is absent, or would not start.
    QString skipReason() const;
    QString error() const;

    // A new empty database, owned by the cluster's superuser; none when it cannot be made.
    std::optional<DatabaseUrl> createDatabase();
    // The URL of `database` in this cluster.
    DatabaseUrl url(const QString &database) const;
    // Runs `sql` as the superuser on `database`; false with the reason in error().
    bool execute(const QString &sql, const QString &database = QStringLiteral("postgres"));
    // Cuts every connection to `database` but the one execute() uses.
    bool terminateConnections(const QString &database);

private:
    // Runs `program` of PostgreSQL's with `arguments`, as the cluster's owner.
    bool runAsOwner(const QString &program, const QStringList &arguments, int timeoutMs);

    std::unique_ptr<QTemporaryDir> dir;
    QString binDir;
    QString errorText;
    bool running = false;
    int databases = 0;
};
