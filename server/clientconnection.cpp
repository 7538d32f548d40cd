#include "clientconnection.h"

#include "jsonguard.h"
#include "protocol.h"
#include "serverlogging.h"

#include <QJsonDocument>
#include <QWebSocket>

namespace
{

// A typing human sends far less; a client that reconnects and catches up stays within the burst.
constexpr int requestBurst = 50;
constexpr int requestsPerSecond = 20;
// What Qt itself buffers before our own size check sees a frame. Frames above maxFrameBytes but
// below this are refused with a policy violation; Qt refuses larger ones itself.
constexpr quint64 hardFrameLimit = 4 * 1024 * 1024;
// A peer that does not answer our close frame within this time is cut off.
constexpr int closeGraceMs = 2000;

} // namespace

ClientConnection::ClientConnection(QWebSocket *socket, quint64 id, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , connectionId(id)
    , limiter(requestBurst, requestsPerSecond)
{
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(hardFrameLimit);
    socket->setMaxAllowedIncomingMessageSize(hardFrameLimit);
    peerName =
        socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
    clock.start();
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

void ClientConnection::sendText(const QString &text)
{
    if (gone)
        return;
    if (socket->bytesToWrite() > maxPendingOutputBytes) {
        qCWarning(lcServer) << "closing" << peerName << "which does not read what it is sent";
        gone = true;
        socket->abort();
        return;
    }
    socket->sendTextMessage(text);
}

void ClientConnection::sendFrame(const QJsonObject &frame)
{
    sendText(protocol::serialize(frame));
}

void ClientConnection::sendError(const QString &message)
{
    sendFrame(protocol::errorFrame(message));
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

void ClientConnection::closeWithGrace(QWebSocketProtocol::CloseCode code, const QString &reason)
{
    gone = true;
    socket->close(code, reason);
    // A peer that reads nothing never answers the close frame.
    QTimer::singleShot(closeGraceMs, socket, &QWebSocket::abort);
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
    if (!limiter.tryTake(clock.elapsed())) {
        sendError(QStringLiteral("Too many requests; slow down"));
        return;
    }
    QString parseError;
    const QJsonDocument document = jsonguard::parse(bytes, &parseError);
    if (!parseError.isEmpty()) {
        sendError(QStringLiteral("Invalid JSON: ") + parseError);
        return;
    }
    if (!document.isObject()) {
        sendError(QStringLiteral("A request must be a JSON object"));
        return;
    }
    emit requestReceived(this, document.object());
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
    emit closed(this);
}
