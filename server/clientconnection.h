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
    // A client that reads nothing while others talk is cut off here rather than buffered forever.
    static constexpr qint64 maxPendingOutputBytes = 32 * 1024 * 1024;

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
    void closeWithGrace(QWebSocketProtocol::CloseCode code, const QString &reason);

    QWebSocket *socket;
    quint64 connectionId;
    QString peerName;
    RateLimiter limiter;
    QElapsedTimer clock;
    QTimer loginDeadline;
    bool gone = false;
};
