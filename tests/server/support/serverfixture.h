#pragma once

#include "chatserver.h"
#include "peer.h"
#include "storelocation.h"

#include <QString>
#include <QTemporaryDir>
#include <memory>

// Sets or clears the immutable flag of `path`, which stops writes even by root; errno tells why
// when it fails (the flag takes CAP_LINUX_IMMUTABLE and a file system that has it).
bool setImmutable(const QString &path, bool immutable);

class TestPostgres;

// A real ChatServer on a loopback port 0 over a real database, with helpers to add users
// (password "secret") and to connect and log in test peers. The database is SQLite in a
// temporary folder, or, with FERROW_TEST_DATABASE=postgresql, a new database in a PostgreSQL
// cluster the test program starts (testPostgres()); the folder holds the static files either way.
class ServerFixture
{
public:
    ServerFixture();
    ~ServerFixture();

    // Whether this run's tests are to use PostgreSQL.
    static bool wantsPostgres();
    // The test program's PostgreSQL cluster, started at its first use.
    static TestPostgres &testPostgres();
    // Creates the folder and opens the database; false when either fails (see skipReason()).
    bool setUp();
    // Why setUp() failed: PostgreSQL is wanted but absent or would not start; empty otherwise.
    QString skipReason() const;
    bool onPostgres() const;
    // One more connection to the fixture's store, for a thread of the test's own.
    std::unique_ptr<Store> connect() const;
    // Options pointing at the fixture's static folder; change them before `start`.
    ChatServer::Options defaultOptions() const;
    bool start();
    bool start(const ChatServer::Options &options);
    // Drops the server and the database, then opens both again on the same folder.
    bool restart();
    void stop();

    QString addUser(const QString &username);
    std::unique_ptr<Peer> connectPeer() const;
    std::unique_ptr<Peer> login(
        const QString &username, const QString &password = QStringLiteral("secret")) const;
    // The whole HTTP answer to a plain GET of `path` on the server's port.
    QByteArray httpGet(const QByteArray &path) const;
    quint16 port() const;
    QString path() const;

    std::unique_ptr<QTemporaryDir> dir;
    StoreLocation location;
    std::unique_ptr<Store> db;
    std::unique_ptr<ChatServer> server;
    ChatServer::Options options;
};

// Sets `fixture` up in a test function; skips the test where the PostgreSQL it asks for cannot be
// had, and fails it on any other failure.
#define FERROW_SET_UP(fixture)                                                                     \
    do {                                                                                           \
        if (!(fixture).setUp()) {                                                                  \
            if (!(fixture).skipReason().isEmpty())                                                 \
                QSKIP(qPrintable((fixture).skipReason()));                                         \
            QFAIL("cannot set up the server's database");                                          \
        }                                                                                          \
    } while (false)
