#include "peer.h"

#include "testframes.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

Peer::Peer()
{
    // As large as the client accepts, so that big login pushes arrive whole.
    socket.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
    QObject::connect(
        &socket, &QWebSocket::textMessageReceived, &socket, [this](const QString &text) {
            frames.append(QJsonDocument::fromJson(text.toUtf8()).object());
            if (waiting)
                waiting->quit();
        });
    QObject::connect(&socket, &QWebSocket::disconnected, &socket, [this] {
        closed = true;
        closeCode = socket.closeCode();
        closeReason = socket.closeReason();
        if (waiting)
            waiting->quit();
    });
}

std::unique_ptr<Peer> Peer::connectTo(quint16 port)
{
    auto peer = std::make_unique<Peer>();
    QSignalSpy connected(&peer->socket, &QWebSocket::connected);
    peer->socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
    if (!connected.wait(10000))
        return nullptr;
    return peer;
}

std::unique_ptr<Peer> Peer::loginTo(quint16 port, const QString &username, const QString &password)
{
    std::unique_ptr<Peer> peer = connectTo(port);
    if (!peer)
        return nullptr;
    peer->sendLogin(username, password);
    if (!peer->waitForFrames(3) || typeOf(peer->frames.at(0)) != QLatin1String("login_success"))
        return nullptr;
    peer->loginFrames = peer->frames;
    peer->frames.clear();
    return peer;
}

void Peer::send(const QJsonObject &frame)
{
    socket.sendTextMessage(QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
}

void Peer::sendLogin(const QString &username, const QString &password)
{
    send({ { QStringLiteral("type"), QStringLiteral("login_with_password") },
        { QStringLiteral("username"), username },
        { QStringLiteral("password"), password } });
}

bool Peer::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(int(deadline.remainingTime()), &loop, &QEventLoop::quit);
        waiting = &loop;
        loop.exec();
        waiting = nullptr;
    }
    return true;
}

bool Peer::waitForFrames(int count, int timeoutMs)
{
    return waitUntil([this, count] { return frames.size() >= count; }, timeoutMs);
}

bool Peer::waitForClose(int timeoutMs)
{
    return waitUntil([this] { return closed; }, timeoutMs);
}

QList<QJsonObject> Peer::sync(int timeoutMs)
{
    send({ { QStringLiteral("type"), QStringLiteral("probe") } });
    const auto probeAnswered = [this] {
        return !frames.isEmpty() && typeOf(frames.last()) == QLatin1String("error")
            && frames.last().value(QLatin1String("message")).toString()
            == QLatin1String("Unknown request type");
    };
    if (!waitUntil(probeAnswered, timeoutMs))
        return { { { QStringLiteral("type"), QStringLiteral("probe not answered") } } };
    QList<QJsonObject> received = frames;
    received.removeLast();
    frames.clear();
    return received;
}
