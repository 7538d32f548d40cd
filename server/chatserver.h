#pragma once

#include "chatservice.h"
#include "commitclock.h"
#include "fanout.h"
#include "feedrelay.h"
#include "frontdoor.h"
#include "logins.h"
#include "protocol.h"
#include "readers.h"
#include "servermetrics.h"
#include "store.h"
#include "uploads.h"
#include "writer.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <functional>

// The chat server, put together: the front door on one TCP port, which upgrades "/ws" to a
// WebSocket for the chat service and answers every other request as plain HTTP (uploads among
// them); the logins; the
// writer and the readers, each thread on a store connection of its own; and the fan-out.
//
// Threads: one serves every socket (the front door, the chat service, the logins, the fan-out);
// the writer commits on one of its own; the readers read on theirs; the feed relay reads what
// other processes changed on its own; password checks hash on a pool. Only the writer's, the
// readers' and the relay's threads touch the store.
class ChatServer : public QObject
{
    Q_OBJECT

public:
    struct Options {
        // Folder served under "/static/"; avatars live here.
        QString staticDir;
        // Messages per chat in "chat_history" after login and per "get_history" answer.
        int historyPage = 50;
        // Largest "chat_history" frame after login, in bytes; chats get fewer of their newest
        // messages when all full pages would be larger. Well below what the client accepts.
        qint64 maxLoginHistoryBytes = 8 * 1024 * 1024 - 1;
        // Milliseconds since the epoch; stamps messages, receipts and edits and paces requests.
        // Tests pass a clock of their own, so that they never wait for real time to pass.
        std::function<qint64()> clock;
        // With a certificate and key, the port speaks wss:// and https:// instead.
        QSslConfiguration tls;
        // Open connections (WebSocket or HTTP) from one address; 0 lifts the cap, and the pace
        // of password checks per address with it.
        int maxConnectionsPerAddress = 64;
        // A WebSocket that has not asked to log in this long after opening (or after a refused
        // login) is closed, so that idle anonymous connections cannot pile up.
        int loginTimeoutMs = 10000;
        // Logged-in connections of one user; 0 lifts the cap. Enough for every device a person
        // has, with room for a few not yet noticed as gone.
        int maxConnectionsPerUser = 10;
        // Members one group may hold.
        int maxGroupMembers = protocol::defaultMaxGroupMembers;
        // A download under "/static/" whose client takes nothing for this long is cut off.
        int staticWriteTimeoutMs = 30000;
        // Where uploaded files go; empty for "uploads" beside the static folder.
        QString uploadDir;
        // Largest upload accepted, in bytes.
        qint64 maxUploadSize = Uploads::defaultMaxUploadSize;
        // Bytes of uploads kept per user; 0 for no quota.
        qint64 uploadQuota = 0;
        // An upload whose body makes no progress this long is cut off.
        int uploadStallTimeoutMs = 30000;
        // How often uploads no message refers to are looked for (they go after a day).
        int uploadSweepIntervalMs = 10 * 60 * 1000;
        // Password checks waiting, from all addresses together; beyond, a login is refused.
        int maxWaitingLogins = LoginQueue::defaultMaxQueued;
        // The cost of the password hashes the server makes. Tests pass the cheapest, so that
        // their many logins take no time.
        credentials::Limits passwordLimits;
        // Store connections that read, a thread each: a long login push does not hold up the
        // pages others ask for, and a third would only contend for the two cores of a small
        // machine.
        int readers = 2;
        // For tests, on the writer's thread: before the work of each batch, with its connection,
        // and before each commit (which a test can hold in flight with it).
        std::function<void(Store &)> beforeBatch;
        std::function<void()> beforeCommit;
        // For tests, on a reader's thread, once its snapshot is taken.
        std::function<void()> afterSnapshot;
    };

    // `connector` opens the store's connections, one for each thread that touches it.
    ChatServer(StoreConnector connector, const Options &options, QObject *parent = nullptr);
    ~ChatServer() override;

    // Opens the store's connections on their threads, then listens.
    bool listen(const QHostAddress &address, quint16 port);
    QHostAddress serverAddress() const;
    quint16 serverPort() const;
    QString errorString() const;
    bool isSecure() const;
    int connectionCount() const;
    // Requests received on every connection and waiting for their turn.
    int queuedRequests() const;

    // Stops accepting, answers the writes already handed on, then closes every connection;
    // `stopped` follows when all are gone.
    void shutdown();

signals:
    void stopped();

private:
    void finishShutdown();

    Options options;
    StoreConnector connector;
    ServerMetrics metrics;
    CommitClock commitClock;
    Writer writer;
    Readers readers;
    FanOut fanOut;
    FeedRelay relay;
    Logins logins;
    ChatService chat;
    Uploads uploads;
    FrontDoor frontDoor;
    bool started = false;
    QString startError;
    bool stopping = false;
    bool stopSignalled = false;
};
