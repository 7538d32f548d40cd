#include "fakechatserver.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QWebSocket>

FakeChatServer::FakeChatServer(const QElapsedTimer &clock, QObject *parent)
    : QObject(parent)
    , clock(clock)
    , server(QStringLiteral("ferrow-clientbench"), QWebSocketServer::NonSecureMode)
{
    connect(&server, &QWebSocketServer::newConnection, this, &FakeChatServer::onNewConnection);
    connect(&front, &QTcpServer::newConnection, this, &FakeChatServer::onTcpConnection);
}

bool FakeChatServer::listen()
{
    return front.listen(QHostAddress::LocalHost, 0);
}

quint16 FakeChatServer::port() const
{
    return front.serverPort();
}

void FakeChatServer::setPicture(const QByteArray &png)
{
    picture = png;
}

int FakeChatServer::pictureRequests() const
{
    return pictureCount;
}

void FakeChatServer::onTcpConnection()
{
    while (QTcpSocket *tcp = front.nextPendingConnection()) {
        connect(tcp, &QTcpSocket::readyRead, this, [this, tcp] { onHttpHead(tcp); });
        connect(tcp, &QTcpSocket::disconnected, tcp, &QObject::deleteLater);
    }
}

void FakeChatServer::onHttpHead(QTcpSocket *tcp)
{
    const QByteArray head = tcp->peek(64 * 1024);
    if (!head.contains("\r\n\r\n"))
        return;
    disconnect(tcp, &QTcpSocket::readyRead, this, nullptr);
    if (!head.startsWith("GET /static/upload/")) {
        // Left unread: the WebSocket server reads the handshake itself.
        disconnect(tcp, &QTcpSocket::disconnected, tcp, &QObject::deleteLater);
        server.handleConnection(tcp);
        return;
    }
    ++pictureCount;
    tcp->readAll();
    tcp->write("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: "
        + QByteArray::number(picture.size()) + "\r\nConnection: close\r\n\r\n" + picture);
    tcp->disconnectFromHost();
    emit observed();
}

void FakeChatServer::setLoginPush(const QStringList &frames)
{
    loginPush = frames;
}

bool FakeChatServer::isLoggedIn() const
{
    return loggedIn && socket;
}

bool FakeChatServer::isConnected() const
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

bool FakeChatServer::send(const QString &frame)
{
    if (!socket)
        return false;
    socket->sendTextMessage(frame);
    return true;
}

QString FakeChatServer::benchUserId()
{
    return QStringLiteral("u-bench");
}

void FakeChatServer::resetObservations()
{
    receipts.clear();
    pictureCount = 0;
    receiptsPerChat.clear();
    receiptsAhead.clear();
    lastReceiptPerChat.clear();
    historyRequestCount = 0;
    historyRequestAt = -1;
    historyChatId.clear();
}

qint64 FakeChatServer::receiptTime(const QString &messageId) const
{
    return receipts.value(messageId, -1);
}

int FakeChatServer::receiptCount(const QString &chatId) const
{
    return receiptsPerChat.value(chatId);
}

int FakeChatServer::receiptsBefore(const QString &messageId) const
{
    return receiptsAhead.value(messageId, -1);
}

qint64 FakeChatServer::lastReceiptTime(const QString &chatId) const
{
    return lastReceiptPerChat.value(chatId, -1);
}

int FakeChatServer::historyRequests() const
{
    return historyRequestCount;
}

qint64 FakeChatServer::lastHistoryRequestTime() const
{
    return historyRequestAt;
}

QString FakeChatServer::lastHistoryChatId() const
{
    return historyChatId;
}

void FakeChatServer::onNewConnection()
{
    while (QWebSocket *next = server.nextPendingConnection()) {
        // One client per run: a newer connection replaces an older one.
        if (socket)
            socket->deleteLater();
        socket = next;
        next->setParent(this);
        loggedIn = false;
        connect(next, &QWebSocket::textMessageReceived, this, &FakeChatServer::onTextMessage);
        connect(next, &QWebSocket::disconnected, next, &QObject::deleteLater);
    }
}

void FakeChatServer::onTextMessage(const QString &text)
{
    const qint64 now = clock.nsecsElapsed();
    const QJsonObject frame = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString type = frame.value(QLatin1String("type")).toString();
    if (type == QLatin1String("message_seen")) {
        const QString messageId = frame.value(QLatin1String("messageId")).toString();
        const QString chatId = frame.value(QLatin1String("chatId")).toString();
        if (!receipts.contains(messageId)) {
            receipts.insert(messageId, now);
            receiptsAhead.insert(messageId, receiptsPerChat.value(chatId));
        }
        ++receiptsPerChat[chatId];
        lastReceiptPerChat.insert(chatId, now);
    } else if (type == QLatin1String("get_history")) {
        ++historyRequestCount;
        historyRequestAt = now;
        historyChatId = frame.value(QLatin1String("chatId")).toString();
    } else if (type == QLatin1String("login_with_password")) {
        const QJsonObject user { { QStringLiteral("userId"), benchUserId() },
            { QStringLiteral("username"), frame.value(QLatin1String("username")).toString() },
            { QStringLiteral("avatarUrl"), QStringLiteral("/default.png") } };
        const QJsonObject answer { { QStringLiteral("type"), QStringLiteral("login_success") },
            { QStringLiteral("user"), user },
            { QStringLiteral("token"), QStringLiteral("bench-token") },
            { QStringLiteral("httpToken"), QStringLiteral("bench-http-token") } };
        socket->sendTextMessage(
            QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact)));
        for (const QString &pushed : qAsConst(loginPush))
            socket->sendTextMessage(pushed);
        loggedIn = true;
    }
    emit observed();
}
