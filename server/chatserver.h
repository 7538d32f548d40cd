#pragma once

#include "tlstcpserver.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QWebSocketServer>
#include <functional>
#include <optional>

class ClientConnection;
class Database;
class QTcpSocket;
struct MessageRecord;

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
        // Milliseconds since the epoch; stamps messages, receipts and edits and paces requests.
        // Tests pass a clock of their own, so that they never wait for real time to pass.
        std::function<qint64()> clock;
        // With a certificate and key, the port speaks wss:// and https:// instead.
        QSslConfiguration tls;
    };

    ChatServer(Database &database, const Options &options, QObject *parent = nullptr);
    ~ChatServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    QHostAddress serverAddress() const;
    quint16 serverPort() const;
    QString errorString() const;
    bool isSecure() const;
    int connectionCount() const;

    // Stops accepting and closes every connection; `stopped` follows when all are gone.
    void shutdown();

signals:
    void stopped();

private:
    void onNewTcpConnection();
    void onRequestHead(QTcpSocket *socket);
    void onNewWebSocket();
    void onRequest(ClientConnection *connection, const QJsonObject &request);
    void onConnectionClosed(ClientConnection *connection);

    void handleLogin(ClientConnection *connection, const QJsonObject &request);
    void handleTokenLogin(ClientConnection *connection, const QJsonObject &request);
    void finishLogin(quint64 connectionId, const QString &userId, const QString &name, bool ok);
    void handleMessage(ClientConnection *connection, const QJsonObject &request);
    std::optional<MessageRecord> requestedMessage(
        ClientConnection *connection, const QJsonObject &request);
    void handleMessageSeen(ClientConnection *connection, const QJsonObject &request);
    void handleEditMessage(ClientConnection *connection, const QJsonObject &request);
    void handleDeleteMessage(ClientConnection *connection, const QJsonObject &request);
    void handleGetHistory(ClientConnection *connection, const QJsonObject &request);

    qint64 nowSeconds() const;
    void sendToUsers(const QStringList &userIds, const QJsonObject &frame);
    void finishShutdown();

    Database &db;
    Options options;
    TlsTcpServer tcpServer;
    QWebSocketServer webSocketServer;
    QHash<quint64, ClientConnection *> connections;
    QHash<QString, QList<ClientConnection *>> connectionsByUser;
    quint64 nextConnectionId = 1;
    bool stopping = false;
    bool stopSignalled = false;
    // Password hashing runs here, so that one login does not stall every other connection.
    QThreadPool loginPool;
};
