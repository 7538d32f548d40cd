#pragma once

#include "chatserver.h"
#include "peer.h"
#include "sqlitestore.h"

#include <QString>
#include <QTemporaryDir>
#include <memory>

// Sets or clears the immutable flag of `path`, which stops writes even by root; errno tells why
// when it fails (the flag takes CAP_LINUX_IMMUTABLE and a file system that has it).
bool setImmutable(const QString &path, bool immutable);

// A real ChatServer on a loopback port 0 over a real database in a temporary folder, with
// helpers to add users (password "secret") and to connect and log in test peers.
class ServerFixture
{
public:
    ServerFixture();
    ~ServerFixture();

    // Creates the folder and opens the database; false when either fails.
    bool setUp();
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
    std::unique_ptr<SqliteStore> db;
    std::unique_ptr<ChatServer> server;
    ChatServer::Options options;
};
