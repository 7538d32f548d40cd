#include "clientconnection.h"

#include "jsonguard.h"
#include "protocol.h"
#include "serverlogging.h"

#include <QJsonDocument>
#include <QWebSocket>
#include <algorithm>
#include <utility>

namespace
{

// A typing human sends far less; a client that reconnects and catches up stays within the burst.
constexpr int typedBurst = 50;
constexpr int typedPerSecond = 20;
// Opening a chat sends one receipt per unseen message; a few chats full of them fit at once.
constexpr int bulkBurst = 2000;
constexpr int bulkPerSecond = 500;
// What Qt itself buffers before our own size check sees a frame. Frames above maxFrameBytes but
// below this are refused with a policy violation; Qt refuses larger ones itself.
constexpr quint64 hardFrameLimit = 4 * 1024 * 1024;
// A peer that does not answer our close frame within this time is cut off.
constexpr int closeGraceMs = 2000;

} // namespace

ClientConnection::ClientConnection(
    QWebSocket *socket, quint64 id, std::function<qint64()> clock, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , connectionId(id)
    , clock(std::move(clock))
    , typedLimiter(typedBurst, typedPerSecond)
    , bulkLimiter(bulkBurst, bulkPerSecond)
{
    serveTimer.setSingleShot(true);
    connect(&serveTimer, &QTimer::timeout, this, &ClientConnection::serveQueue);
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(hardFrameLimit);
    socket->setMaxAllowedIncomingMessageSize(hardFrameLimit);
    peerName =
        socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
    loginDeadline.setSingleShot(true);
    connect(&loginDeadline, &QTimer::timeout, this, [this] {
        qCInfo(lcServer) << "closing" << peerName << "which did not log in in time";
        closeWithGrace(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("Log in first"));
    });
    connect(socket, &QWebSocket::textMessageReceived, this, &ClientConnection::onTextMessage);
    connect(socket, &QWebSocket::binaryFrameReceived, this, &ClientConnection::onBinaryMessage);
    connect(socket, &QWebSocket::disconnected, this, &ClientConnection::onDisconnected);
}

ClientConnection::~ClientConnection() = default;

quint64 ClientConnection::id() const
{
    return connectionId;
}

QString ClientConnection::peer() const
{
    return peerName;
}

QHostAddress ClientConnection::peerAddress() const
{
    return socket->peerAddress();
}

int ClientConnection::queuedRequests() const
{
    return int(queue.size() + admitted.size());
}

bool ClientConnection::isClosed() const
{
    return disconnected;
}

bool ClientConnection::isClosing() const
{
    return gone;
}

void ClientConnection::sendText(const QString &text)
{
    if (gone)
        return;
    const qint64 waiting = socket->bytesToWrite();
    if (waiting <= maxPendingOutputBytes)
        largeFrameAllowance = 0;
    if (waiting > maxPendingOutputBytes + largeFrameAllowance) {
        qCWarning(lcServer) << "closing" << peerName << "which does not read what it is sent";
        gone = true;
        socket->abort();
        return;
    }
    socket->sendTextMessage(text);
    if (!std::exchange(flushMarked, true) && onWritten)
        onWritten(this);
    // A frame larger than the budget (a login push) widens it by its own size until it has
    // gone out, so that the frames right behind it do not cut off a client that reads.
    const qint64 added = std::max<qint64>(socket->bytesToWrite() - waiting, text.size());
    if (added > maxPendingOutputBytes)
        largeFrameAllowance = std::max(largeFrameAllowance, added);
}

void ClientConnection::flush()
{
    flushMarked = false;
    if (!gone)
        socket->flush();
}

void ClientConnection::sendFrame(const QJsonObject &frame)
{
    sendText(protocol::serialize(frame));
}

void ClientConnection::shutdown()
{
    socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("Server shutting down"));
}

void ClientConnection::startLoginDeadline(int ms)
{
    if (ms > 0 && !gone)
        loginDeadline.start(ms);
}

void ClientConnection::stopLoginDeadline()
{
    loginDeadline.stop();
}

void ClientConnection::closeWithGrace(int code, const QString &reason)
{
    gone = true;
    socket->close(static_cast<QWebSocketProtocol::CloseCode>(code), reason);
    // A peer that reads nothing never answers the close frame.
    QTimer::singleShot(closeGraceMs, socket, &QWebSocket::abort);
}

void ClientConnection::pause()
{
    paused = true;
}

void ClientConnection::resume()
{
    if (!std::exchange(paused, false))
        return;
    serveQueue();
}

void ClientConnection::hold()
{
    holding = true;
}

void ClientConnection::tell(const QString &text, quint64 transaction)
{
    if (holding)
        held.append({ transaction, text });
    else
        sendText(text);
}

void ClientConnection::release(quint64 snapshot, bool dropSeen, const QStringList &replies)
{
    holding = false;
    const QVector<QPair<quint64, QString>> frames = std::exchange(held, {});
    for (const auto &[transaction, text] : frames) {
        if (transaction <= snapshot && !dropSeen)
            sendText(text);
    }
    for (const QString &reply : replies)
        sendText(reply);
    for (const auto &[transaction, text] : frames) {
        if (transaction > snapshot)
            sendText(text);
    }
}

void ClientConnection::onTextMessage(const QString &text)
{
    if (gone)
        return;
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > maxFrameBytes) {
        qCWarning(lcServer) << "closing" << peerName << "after a frame of" << bytes.size()
                            << "bytes";
        gone = true;
        socket->close(
            QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("Frame too large"));
        return;
    }
    Queued entry;
    entry.bytes = bytes.size();
    QString parseError;
    const QJsonDocument document = jsonguard::parse(bytes, &parseError);
    if (!parseError.isEmpty())
        entry.problem = QStringLiteral("Invalid JSON: ") + parseError;
    else if (!document.isObject())
        entry.problem = QStringLiteral("A request must be a JSON object");
    else
        entry.request = document.object();
    const QJsonValue type = entry.request.value(QLatin1String("type"));
    if (type == QLatin1String("message") || type == QLatin1String("edit_message")
        || type == QLatin1String("delete_message") || type == QLatin1String("create_group")
        || type == QLatin1String("rename_chat") || type == QLatin1String("add_members")
        || type == QLatin1String("leave_chat"))
        entry.kind = RequestClass::Typed;
    queuedBytes += entry.bytes;
    queue.push_back(std::move(entry));
    serveQueue();
    const bool over = queue.size() > std::size_t(maxQueuedRequests) || queuedBytes > maxQueuedBytes
        || admitted.size() > std::size_t(maxQueuedRequests) || admittedBytes > maxQueuedBytes;
    if (!gone && over) {
        qCWarning(lcServer) << "closing" << peerName << "with" << queuedRequests()
                            << "requests waiting";
        gone = true;
        queue.clear();
        admitted.clear();
        queuedBytes = admittedBytes = 0;
        socket->close(
            QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("Too many requests"));
    }
}

RateLimiter &ClientConnection::limiterFor(RequestClass kind)
{
    return kind == RequestClass::Typed ? typedLimiter : bulkLimiter;
}

void ClientConnection::serveQueue()
{
    // A request handled below may run the event loop no deeper than this, but it may come
    // back here through a signal; the outer call serves the rest.
    if (serving)
        return;
    serving = true;
    while (!gone && !queue.empty()) {
        const qint64 now = clock();
        RateLimiter &limiter = limiterFor(queue.front().kind);
        if (!limiter.tryTake(now)) {
            serveTimer.start(int(std::clamp<qint64>(limiter.msUntilToken(now), 1, 1000)));
            break;
        }
        queuedBytes -= queue.front().bytes;
        admittedBytes += queue.front().bytes;
        admitted.push_back(std::move(queue.front()));
        queue.pop_front();
    }
    while (!gone && !paused && !admitted.empty()) {
        Queued entry = std::move(admitted.front());
        admitted.pop_front();
        admittedBytes -= entry.bytes;
        if (!entry.problem.isEmpty())
            emit requestRefused(this, entry.problem);
        else
            emit requestReceived(this, entry.request);
    }
    serving = false;
}

void ClientConnection::onBinaryMessage()
{
    if (gone)
        return;
    qCWarning(lcServer) << "closing" << peerName << "after a binary frame";
    gone = true;
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
        QStringLiteral("Binary frames are not accepted"));
}

void ClientConnection::onDisconnected()
{
    gone = true;
    disconnected = true;
    emit closed(this);
}
