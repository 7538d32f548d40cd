#pragma once

#include "clientconnection.h"
#include "outcome.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVector>
#include <functional>

class FanOut;
class Logins;
class QTcpSocket;
class QWebSocket;
class Readers;
class ServerMetrics;
class Writer;

// The chat protocol on the WebSockets the front door opens. Each request goes to its handler
// (requests.h) on the writer's thread or a reader's, or to the logins, and the answers keep the
// connection's order: a write is handed on at once, behind the connection's other writes; a read
// or a login waits until the connection's writes are answered, and what comes after waits for it;
// what needs no store is answered in its turn among them.
class ChatService : public QObject
{
    Q_OBJECT

public:
    struct Options {
        // Milliseconds since the epoch: stamps writes and paces requests.
        std::function<qint64()> clock;
        int historyPage = 50;
        int loginTimeoutMs = 10000;
        int maxGroupMembers = 1000;
    };

    ChatService(Writer &writer,
        Readers &readers,
        FanOut &fanOut,
        Logins &logins,
        ServerMetrics &metrics,
        const Options &options,
        QObject *parent = nullptr);
    ~ChatService() override;

    // Takes both: the WebSocket, and the TCP socket under it, which must outlive it.
    void addConnection(QWebSocket *socket, QTcpSocket *tcpSocket);
    int connectionCount() const;
    // Requests received and not yet handled: in the connections' queues, waiting for their
    // turn, and handed to the store's threads but not begun.
    int queuedRequests() const;
    // Handles nothing more; once the writes handed on are answered, closes every connection.
    // `closed` follows when all are gone, or when the clients took too long to answer.
    void shutdown();
    // The login on the connection has been answered; it may go on.
    void finishLogin(ClientConnection *connection);

signals:
    void closed();
    // A committed write removed these uploads: their files can go.
    void uploadsRemoved(const QStringList &uploadIds);

private:
    void onRequest(ClientConnection *connection, const QJsonObject &request);
    void onRequestRefused(ClientConnection *connection, const QString &problem);
    void onConnectionClosed(ClientConnection *connection);
    void take(ClientConnection *connection, ClientConnection::Incoming incoming);
    void handle(ClientConnection *connection, ClientConnection::Incoming incoming);
    void park(ClientConnection *connection, ClientConnection::Incoming incoming);
    // Handles what waited, once its turn has come, and reads on when nothing waits.
    void goOn(ClientConnection *connection);
    // Sends an answer made without the store in its turn: after the writes in flight.
    void answer(ClientConnection *connection, const QJsonObject &frame);
    void finishWrite(
        ClientConnection *connection, Outcome &&outcome, bool committed, quint64 transaction);
    void finishRead(ClientConnection *connection);
    bool typingRelayedWithin(const QString &key, qint64 now) const;
    // Relays what a typing check allowed, unless the same user's was relayed meanwhile.
    void relayTyping(const QString &userId, const std::vector<ChangeNotice> &notices);
    void flushOutput();

    Writer &writer;
    Readers &readers;
    FanOut &fanOut;
    Logins &logins;
    ServerMetrics &metrics;
    Options options;
    QHash<quint64, ClientConnection *> connections;
    quint64 nextConnectionId = 1;
    // Connections written to since the loop last flushed them.
    QVector<quint64> unflushed;
    // When each user's typing was last relayed to each chat, by typingKey().
    QHash<QString, qint64> typingRelays;
    int typingSweepAt = 1024;
    bool stopping = false;
};
