#pragma once

#include "ratelimiter.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>
#include <QWebSocketProtocol>
#include <deque>
#include <functional>
#include <optional>

class QWebSocket;

// One client's WebSocket: enforces the frame size and kind, queues every accepted text frame and
// hands the requests on in order at the allowed rate, and carries who is logged in on it and
// what the order of its answers needs.
class ClientConnection : public QObject
{
    Q_OBJECT

public:
    // Largest text frame accepted, in bytes of UTF-8.
    static constexpr qint64 maxFrameBytes = 1024 * 1024;
    // A client that reads nothing while others talk is cut off once this much waits to be
    // written, rather than buffered without bound: a few seconds of a busy chat for a slow link.
    // A larger single frame (a login push) still goes out whole, with room for what follows it.
    static constexpr qint64 maxPendingOutputBytes = 4 * 1024 * 1024;
    // A queue beyond either bound is no honest client's: opening chats sends a few hundred
    // receipts at most, and no request waits for more than a few seconds below these.
    static constexpr int maxQueuedRequests = 5000;
    static constexpr qint64 maxQueuedBytes = 8 * 1024 * 1024;

    // Takes ownership of `socket`. `clock` gives milliseconds on any monotonic scale.
    ClientConnection(
        QWebSocket *socket, quint64 id, std::function<qint64()> clock, QObject *parent);
    ~ClientConnection() override;

    quint64 id() const;
    QString peer() const;
    QHostAddress peerAddress() const;
    // Requests received and not handed on yet.
    int queuedRequests() const;
    // Whether `closed` has been emitted; the object lives on until the loop deletes it.
    bool isClosed() const;
    // Whether the server has begun to close it.
    bool isClosing() const;

    void sendText(const QString &text);
    // Writes what sendText() buffered now rather than when the loop next polls the socket.
    void flush();
    // Called at the first sendText() after a flush, so that the connection is flushed once.
    std::function<void(ClientConnection *)> onWritten;
    void sendFrame(const QJsonObject &frame);
    // Closes with "going away"; `closed` follows once the socket is gone.
    void shutdown();
    // Closes the connection unless stopLoginDeadline() is called within `ms`; 0 never closes.
    void startLoginDeadline(int ms);
    void stopLoginDeadline();
    // Closes with `code`, and cuts the connection if the peer does not answer in time.
    // The code is an int: our own codes (4000 and up) lie outside Qt's enum.
    void closeWithGrace(int code, const QString &reason);
    // Hands on no request until resume(); they wait, within the queue's bounds (which hold
    // separately for the requests still waiting for the rate and those admitted).
    void pause();
    void resume();

    // What others' writes tell this connection (FanOut), numbered by their transactions. While a
    // read of the connection is under way, these wait from hold() on; release() then sends
    // those of transactions up to `snapshot` (or drops them, when `replies` carry them
    // already), then `replies`, then the rest.
    void hold();
    void tell(const QString &text, quint64 transaction);
    void release(quint64 snapshot, bool dropSeen, const QStringList &replies);

    // A frame that came while the connection had to wait: a request, or what was wrong with it.
    struct Incoming {
        QJsonObject request;
        QString problem;
    };
    // The order of the answers, kept by the chat service: what is due after each write in
    // flight, oldest first (answers made meanwhile without the store go out behind it)...
    std::deque<QStringList> afterWrites;
    // ...whether a read or a login is under way, which everything that comes later waits for...
    bool busy = false;
    // ...and the one request that came while it had to wait.
    std::optional<Incoming> parked;

    // Empty until a login succeeds.
    QString userId;
    QString username;
    bool loginPending = false;
    // A close of the user's connections with this code passes this one by: it comes of a change
    // this connection made (its own new password).
    int spareCloseCode = 0;

signals:
    void requestReceived(ClientConnection *connection, const QJsonObject &request);
    // A frame that is no request, in its turn among the requests.
    void requestRefused(ClientConnection *connection, const QString &problem);
    void closed(ClientConnection *connection);

private:
    // Messages, edits and deletions are what a human types; everything else (receipts, history
    // pages, the login) comes in bursts when a chat opens, and gets far more room.
    enum class RequestClass { Typed, Bulk };
    struct Queued {
        QJsonObject request;
        // Set when the frame was no request; answered with it in its turn.
        QString problem;
        qint64 bytes = 0;
        RequestClass kind = RequestClass::Bulk;
    };

    void onTextMessage(const QString &text);
    void onBinaryMessage();
    void onDisconnected();
    void serveQueue();
    RateLimiter &limiterFor(RequestClass kind);

    QWebSocket *socket;
    quint64 connectionId;
    QString peerName;
    QTimer loginDeadline;
    std::function<qint64()> clock;
    RateLimiter typedLimiter;
    RateLimiter bulkLimiter;
    // Requests waiting for the rate, then for their turn (while paused).
    std::deque<Queued> queue;
    qint64 queuedBytes = 0;
    std::deque<Queued> admitted;
    qint64 admittedBytes = 0;
    QTimer serveTimer;
    // Room beyond maxPendingOutputBytes while a frame larger than it waits to be written.
    qint64 largeFrameAllowance = 0;
    bool serving = false;
    bool gone = false;
    bool flushMarked = false;
    bool paused = false;
    bool disconnected = false;
    bool holding = false;
    QVector<QPair<quint64, QString>> held;
};
