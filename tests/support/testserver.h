#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>

// A stand-in chat server for tests: one loopback port that upgrades "/ws" to a WebSocket and
// answers every other GET from a table of canned HTTP responses, like the real server does.
class TestServer : public QObject
{
    Q_OBJECT

public:
    struct HttpResponse {
        // 0: the request is never answered; -1: the connection is cut once the body is in.
        int status = 200;
        QByteArray contentType = "image/png";
        QByteArray body;
        // When false the body is sent without Content-Length and the connection closed after it.
        bool announceLength = true;
        // Announced length that differs from the body's (0 = the body's own).
        qint64 claimedLength = 0;
    };
    struct HttpRequest {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    explicit TestServer(QObject *parent = nullptr);

    // Listens on 127.0.0.1 and a free port, and points clients made afterwards at it through
    // FERROW_SERVER_HOST and FERROW_SERVER_PORT.
    // `port` 0 picks a free one; a port used before lets a test restart "the same" server.
    bool start(quint16 port = 0);
    // Stops listening and drops every client without a close handshake, like a server that
    // dies; start(port()) brings it back.
    void stop();
    quint16 port() const;
    QString baseUrl() const;

    // WebSocket side.
    bool waitForClient(int timeoutMs = 5000);
    QWebSocket *client() const;
    void send(const QJsonObject &frame);
    void sendText(const QString &text);
    bool waitForFrames(int count, int timeoutMs = 5000);
    // Frames received so far, oldest first; takeFrames() empties the list.
    QList<QJsonObject> frames;
    QList<QJsonObject> takeFrames();
    // Frames received of one type.
    QList<QJsonObject> framesOfType(const QString &type) const;
    int connectionCount = 0;
    int lastCloseCode = -1;

    // HTTP side. A route is found by the whole path, else by the path without its query.
    QMap<QByteArray, HttpResponse> routes;
    QList<HttpRequest> requests;
    int requestCount(const QByteArray &path) const;

signals:
    void frameReceived(const QJsonObject &frame);
    void clientConnected();
    void clientDisconnected();

private:
    void onNewTcpConnection();
    void onReadyRead(QTcpSocket *socket);
    void answerHttp(QTcpSocket *socket, const HttpRequest &request);

    QTcpServer tcpServer;
    QWebSocketServer webSocketServer;
    QList<QPointer<QWebSocket>> clients;
    quint16 lastPort = 0;
};
