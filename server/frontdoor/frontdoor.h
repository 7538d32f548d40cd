#pragma once

#include "tlstcpserver.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>
#include <functional>

// The server's one port: accepts TCP connections (TLS when configured), caps them per address,
// reads each request head and routes it. "/ws" is upgraded to a WebSocket and handed on,
// "/healthz" and "/metrics" are answered for operators, and every other path is a file under
// the static folder, unless `Route` takes it (uploads).
class FrontDoor : public QObject
{
    Q_OBJECT

public:
    struct Options {
        // Folder served under "/static/"; avatars live here.
        QString staticDir;
        // With a certificate and key, the port speaks wss:// and https:// instead.
        QSslConfiguration tls;
        // Open connections (WebSocket or HTTP) from one address; 0 lifts the cap. One household
        // behind one router stays far below; a flood from one address cannot take every
        // descriptor.
        int maxConnectionsPerAddress = 64;
        // A download under "/static/" whose client takes nothing for this long is cut off.
        int staticWriteTimeoutMs = 30000;
    };
    // Asked by "/healthz"; calls `answer` (at once or later) with whether the store answers.
    using HealthCheck = std::function<void(std::function<void(bool healthy)> answer)>;
    // Asked by "/metrics": the Prometheus text.
    using MetricsText = std::function<QByteArray()>;
    // Offered every other request before the static files, with its path and head (read off the
    // socket already); true when it took the request, and answers it on `socket`.
    using Route =
        std::function<bool(QTcpSocket *socket, const QByteArray &path, const QByteArray &head)>;

    FrontDoor(const Options &options,
        HealthCheck health,
        MetricsText metrics,
        Route route,
        QObject *parent = nullptr);
    ~FrontDoor() override;

    bool listen(const QHostAddress &address, quint16 port);
    QHostAddress serverAddress() const;
    quint16 serverPort() const;
    QString errorString() const;
    bool isSecure() const;
    // Stops accepting; a WebSocket still in its handshake is turned away.
    void close();

signals:
    // A WebSocket opened over `tcpSocket`, which it keeps using: the receiver owns both, and the
    // TCP socket must outlive the WebSocket.
    void webSocketOpened(QWebSocket *socket, QTcpSocket *tcpSocket);

private:
    void onNewTcpConnection();
    void onAcceptError(QAbstractSocket::SocketError error);
    void releaseAddress(const QString &address);
    void onRequestHead(QTcpSocket *socket);
    void upgrade(QTcpSocket *socket, const QByteArray &head);
    // Answers "/healthz" and "/metrics"; false for any other path.
    bool answerOperations(QTcpSocket *socket, const QByteArray &path);
    void onNewWebSocket();

    Options options;
    HealthCheck health;
    MetricsText metrics;
    Route route;
    TlsTcpServer tcpServer;
    QWebSocketServer webSocketServer;
    // Open TCP connections per peer address (IPv6 by /64), for maxConnectionsPerAddress.
    QHash<QString, int> connectionsByAddress;
    int acceptBackoffMs = 0;
    // Sockets handed to the WebSocket server for their handshake, by peer address and port.
    QHash<QString, QTcpSocket *> upgrading;
    bool closed = false;
};

// The key one peer address counts under: IPv6 peers by their /64, which one subscriber usually
// holds whole; IPv4-mapped peers as their IPv4 address.
QString addressKey(const QHostAddress &address);
