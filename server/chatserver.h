#pragma once

#include "frontdoor.h"
#include "loginqueue.h"
#include "loginthrottle.h"
#include "servermetrics.h"
#include "sqlitestore.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>
#include <QVector>
#include <QWebSocketServer>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class ClientConnection;
class QTcpSocket;

// The chat server: one TCP port that upgrades "/ws" to a WebSocket speaking the chat protocol
// and answers every other request as plain HTTP for the files under the static folder.
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
        // Open connections (WebSocket or HTTP) from one address; 0 lifts the cap. One household
        // behind one router stays far below; a flood from one address cannot take every
        // descriptor.
        int maxConnectionsPerAddress = 64;
        // A WebSocket that has not asked to log in this long after opening (or after a refused
        // login) is closed, so that idle anonymous connections cannot pile up.
        int loginTimeoutMs = 10000;
        // Logged-in connections of one user; 0 lifts the cap. Enough for every device a person
        // has, with room for a few not yet noticed as gone.
        int maxConnectionsPerUser = 10;
        // A download under "/static/" whose client takes nothing for this long is cut off.
        int staticWriteTimeoutMs = 30000;
        // Password checks waiting, from all addresses together; beyond, a login is refused.
        int maxWaitingLogins = LoginQueue::defaultMaxQueued;
        // Runs on the commit thread before each commit made there; tests hold a commit in
        // flight with it.
        std::function<void()> beforeCommit;
    };

    ChatServer(SqliteStore &database, const Options &options, QObject *parent = nullptr);
    ~ChatServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    QHostAddress serverAddress() const;
    quint16 serverPort() const;
    QString errorString() const;
    bool isSecure() const;
    int connectionCount() const;
    // Requests received on every connection and waiting for their turn.
    int queuedRequests() const;

    // Stops accepting and closes every connection; `stopped` follows when all are gone.
    void shutdown();

signals:
    void stopped();

private:
    void onNewWebSocket(QWebSocket *socket, QTcpSocket *tcpSocket);
    void onRequest(ClientConnection *connection, const QJsonObject &request);
    void onConnectionClosed(ClientConnection *connection);

    void handleLogin(ClientConnection *connection, const QJsonObject &request);
    void handleTokenLogin(ClientConnection *connection, const QJsonObject &request);
    // Refuses a second login on one connection; otherwise stops its login deadline.
    bool mayStartLogin(ClientConnection *connection);
    // Puts a password check in the fair line, or refuses it when the line is full.
    void queueLoginCheck(ClientConnection *connection, const LoginQueue::Check &check);
    void finishLogin(const LoginQueue::Check &check, bool ok);
    void onLoginSkipped(const LoginQueue::Check &check);
    // Answers a login for an account throttled for this address, unchecked.
    void refuseThrottledLogin(
        ClientConnection *connection, const QString &account, const QString &address);
    void handleMessage(ClientConnection *connection, const QJsonObject &request);
    std::optional<MessageRecord> requestedMessage(
        ClientConnection *connection, const QJsonObject &request);
    void handleMessageSeen(ClientConnection *connection, const QJsonObject &request);
    void handleEditMessage(ClientConnection *connection, const QJsonObject &request);
    void handleDeleteMessage(ClientConnection *connection, const QJsonObject &request);
    void handleGetHistory(ClientConnection *connection, const QJsonObject &request);

    QString loginHistory(const QString &userId);
    qint64 nowSeconds() const;
    // Every frame goes out through these. While writes wait for their commit, frames wait
    // with them, so that each connection gets its frames in the order its requests came.
    void send(ClientConnection *connection, const QJsonObject &frame);
    void sendError(ClientConnection *connection, const QString &message);
    void sendText(quint64 connectionId, const QString &text);
    void flushOutput();
    void sendToUsers(const QStringList &userIds, const QJsonObject &frame);

    // Group commit: writes that arrive while the event loop is busy share one transaction,
    // committed once the loop is idle; what they produce is sent only after that commit.
    // False when no transaction can be opened; the caller answers "error" itself then.
    bool beginWrite(ClientConnection *connection, const QString &failure);
    // Commits the open batch (if any) and sends what it held, or its errors when it failed;
    // waits for a commit in flight first.
    void commitBatch();
    // Rolls the open batch back, answering each of its writes with its error.
    void abortBatch();
    // Hands the open batch to the commit thread. Until it is on disk the sockets are still
    // read and written here, while requests wait in `waiting` since the database is busy.
    void startCommit();
    // Waits for the commit in flight, if any, and finishes it.
    void settleCommit();
    // Sends what a finished commit held, then serves the requests that waited for it.
    void finishCommit();
    // Whether work that needs the database must wait in `waiting`.
    bool databaseBusy() const;
    void onRequestRefused(ClientConnection *connection, const QString &problem);
    void finishShutdown();

    SqliteStore &db;
    Options options;
    QHash<quint64, ClientConnection *> connections;
    QHash<QString, QList<ClientConnection *>> connectionsByUser;
    quint64 nextConnectionId = 1;
    struct Outgoing {
        quint64 connectionId;
        QString text;
        // Index of the write in `batchWrites` that produced the frame, -1 when none did.
        int write;
    };
    struct BatchWrite {
        quint64 connectionId;
        QString failure;
        // Index into `outgoing` of the first frame sent after the write began.
        int firstOutgoing;
    };
    // Sends a finished batch's frames, or when it failed each write's error in its place.
    void sendBatch(const QVector<Outgoing> &frames, const QVector<BatchWrite> &writes, bool ok);

    std::unique_ptr<Store::Transaction> batch;
    QVector<Outgoing> outgoing;
    // Connections written to since the loop last flushed them.
    QVector<quint64> unflushed;
    QVector<BatchWrite> batchWrites;
    int currentWrite = -1;
    QTimer commitTimer;
    struct Commit {
        std::unique_ptr<Store::Transaction> transaction;
        QVector<Outgoing> outgoing;
        QVector<BatchWrite> writes;
        // Written by the commit thread, read here once it is done.
        bool committed = false;
        double seconds = 0;
    };
    // The batch being committed on `committer`; the database is not touched here meanwhile.
    std::unique_ptr<Commit> inFlight;
    // Counts commits handed over, so that a late notice of one already settled is ignored.
    quint64 commitsStarted = 0;
    // Requests, refusals and logins that came while a commit was in flight, in their order.
    std::deque<std::function<void()>> waiting;
    bool replaying = false;
    QThreadPool committer;
    ServerMetrics metrics;
    FrontDoor frontDoor;
    bool stopping = false;
    bool stopSignalled = false;
    // Password hashing runs there, so that one login does not stall every other connection.
    LoginQueue loginQueue;
    LoginThrottle loginThrottle;
};
