#pragma once

#include "ratelimiter.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QWebSocketProtocol>

class QWebSocket;

// One client's WebSocket: enforces the frame size, frame kind and request rate, turns every
// accepted text frame into one JSON object, and carries who is logged in on it.
class ClientConnection : public QObject
{
    Q_OBJECT

public:
    // Largest text frame accepted, in bytes of UTF-8.
    static constexpr qint64 maxFrameBytes = 1024 * 1024;
    // A client that reads nothing while others talk is cut off once this much waits to be
    // written, rather than buffered without bound: a few seconds of a busy chat for a slow link.
    // A larger single frame (a login push) still goes out whole when little else waits.
    static constexpr qint64 maxPendingOutputBytes = 4 * 1024 * 1024;

    // Takes ownership of `socket`.
    ClientConnection(QWebSocket *socket, quint64 id, QObject *parent);
    ~ClientConnection() override;

    quint64 id() const;
    QString peer() const;
    QHostAddress peerAddress() const;

    void sendText(const QString &text);
    void sendFrame(const QJsonObject &frame);
    void sendError(const QString &message);
    // Closes with "going away"; `closed` follows once the socket is gone.
    void shutdown();
    // Closes the connection unless stopLoginDeadline() is called within `ms`; 0 never closes.
    void startLoginDeadline(int ms);
    void stopLoginDeadline();
    // Closes with `code`, and cuts the connection if the peer does not answer in time.
    void closeWithGrace(QWebSocketProtocol::CloseCode code, const QString &reason);
    // Closes with `code`, and cuts the connection if the peer does not answer in time.

    // Empty until a login succeeds.
    QString userId;
    QString username;
    bool loginPending = false;

signals:
    void requestReceived(ClientConnection *connection, const QJsonObject &request);
    void closed(ClientConnection *connection);

private:
    void onTextMessage(const QString &text);
    void onBinaryMessage();
    void onDisconnected();

    QWebSocket *socket;
    quint64 connectionId;
    QString peerName;
    RateLimiter limiter;
    QElapsedTimer clock;
    QTimer loginDeadline;
    bool gone = false;
};
