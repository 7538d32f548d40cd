#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QWebSocket>
#include <functional>
#include <memory>

class QEventLoop;

// One test client of the chat server: a plain QWebSocket that keeps every frame it receives,
// in order, and can wait for them without polling.
class Peer
{
public:
    Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Connects to the server's WebSocket on `port` of 127.0.0.1; null when that fails.
    static std::unique_ptr<Peer> connectTo(quint16 port);
    // Connects and logs in; the three login frames land in `loginFrames`. Null on failure.
    static std::unique_ptr<Peer> loginTo(
        quint16 port, const QString &username, const QString &password);

    void send(const QJsonObject &frame);
    void sendLogin(const QString &username, const QString &password);
    // Runs the event loop until `done` holds, re-checking at every frame and at the close.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000);
    bool waitForFrames(int count, int timeoutMs = 10000);
    bool waitForClose(int timeoutMs = 10000);
    // Everything the server has sent up to now, and clears it: a probe request is answered
    // after every frame the server had queued for this peer before it.
    QList<QJsonObject> sync(int timeoutMs = 10000);

    QWebSocket socket;
    QList<QJsonObject> frames;
    QList<QJsonObject> loginFrames;
    bool closed = false;
    int closeCode = -1;
    QString closeReason;

private:
    QEventLoop *waiting = nullptr;
};
