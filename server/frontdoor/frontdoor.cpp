#include "frontdoor.h"

#include "filestream.h"
#include "handshake.h"
#include "serverlogging.h"
#include "staticfiles.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <algorithm>

namespace
{

// A request head larger than this is no browser or client of ours.
constexpr qint64 maxRequestHeadBytes = 16 * 1024;
// How long a new TCP connection may take to send its request head.
constexpr int requestHeadTimeoutMs = 10000;
// Pauses after `accept` fails, typically for want of descriptors: retrying at once would fail
// again in a busy loop, while a short, growing pause lets closing connections free some.
constexpr int minAcceptBackoffMs = 50;
constexpr int maxAcceptBackoffMs = 1000;

QString peerKey(const QHostAddress &address, quint16 port)
{
    return address.toString() + QLatin1Char(' ') + QString::number(port);
}

QString peerKey(const QTcpSocket *socket)
{
    return peerKey(socket->peerAddress(), socket->peerPort());
}

} // namespace

QString addressKey(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        return QHostAddress(ipv4).toString();
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString();
}

FrontDoor::FrontDoor(
    const Options &options, HealthCheck health, MetricsText metrics, Route route, QObject *parent)
    : QObject(parent)
    , options(options)
    , health(std::move(health))
    , metrics(std::move(metrics))
    , route(std::move(route))
    , webSocketServer(QStringLiteral("ferrow-server"), QWebSocketServer::NonSecureMode)
{
    Q_INIT_RESOURCE(server);
    QDir().mkpath(options.staticDir);
    const QString defaultAvatar = QDir(options.staticDir).filePath(QStringLiteral("default.png"));
    if (!QFile::exists(defaultAvatar)) {
        QFile::copy(QStringLiteral(":/server/default.png"), defaultAvatar);
        QFile::setPermissions(defaultAvatar,
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }
    tcpServer.setSslConfiguration(options.tls);
    connect(&tcpServer, &QTcpServer::newConnection, this, &FrontDoor::onNewTcpConnection);
    connect(&tcpServer, &QTcpServer::acceptError, this, &FrontDoor::onAcceptError);
    connect(&webSocketServer, &QWebSocketServer::newConnection, this, &FrontDoor::onNewWebSocket);
}

FrontDoor::~FrontDoor() = default;

bool FrontDoor::listen(const QHostAddress &address, quint16 port)
{
    return tcpServer.listen(address, port);
}

QHostAddress FrontDoor::serverAddress() const
{
    return tcpServer.serverAddress();
}

quint16 FrontDoor::serverPort() const
{
    return tcpServer.serverPort();
}

QString FrontDoor::errorString() const
{
    return tcpServer.errorString();
}

bool FrontDoor::isSecure() const
{
    return tcpServer.isSecure();
}

void FrontDoor::close()
{
    closed = true;
    tcpServer.close();
}

void FrontDoor::onNewTcpConnection()
{
    acceptBackoffMs = 0;
    while (QTcpSocket *socket = tcpServer.nextPendingConnection()) {
        const QString address = addressKey(socket->peerAddress());
        const int open = connectionsByAddress.value(address);
        if (closed
            || (options.maxConnectionsPerAddress > 0 && open >= options.maxConnectionsPerAddress)) {
            if (!closed && open == options.maxConnectionsPerAddress)
                qCDebug(lcServer).noquote() << "refusing connections from" << address;
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connectionsByAddress.insert(address, open + 1);
        // Frames are small and go out as soon as they are ready: with Nagle's algorithm, one
        // would wait for the peer's delayed acknowledgement of the one before, tens of ms.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // The socket lives on inside the WebSocket after an upgrade, and Qt drops the signal
        // connections of an upgraded socket; a child object ends with it either way.
        auto *slot = new QObject(socket);
        connect(slot, &QObject::destroyed, this, [this, address] { releaseAddress(address); });
        socket->setParent(this);
        auto *timeout = new QTimer(socket);
        timeout->setSingleShot(true);
        connect(timeout, &QTimer::timeout, socket, &QTcpSocket::abort);
        timeout->start(requestHeadTimeoutMs);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onRequestHead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void FrontDoor::onAcceptError(QAbstractSocket::SocketError error)
{
    // Qt has stopped accepting; it is resumed here after a pause.
    acceptBackoffMs =
        acceptBackoffMs ? std::min(acceptBackoffMs * 2, maxAcceptBackoffMs) : minAcceptBackoffMs;
    if (acceptBackoffMs == minAcceptBackoffMs || acceptBackoffMs == maxAcceptBackoffMs)
        qCWarning(lcServer).noquote()
            << "cannot accept connections:" << tcpServer.errorString() << "(error" << error
            << "), retrying in" << acceptBackoffMs << "ms";
    QTimer::singleShot(acceptBackoffMs, this, [this] {
        if (!closed)
            tcpServer.resumeAccepting();
    });
}

void FrontDoor::releaseAddress(const QString &address)
{
    auto it = connectionsByAddress.find(address);
    if (it == connectionsByAddress.end())
        return;
    if (--it.value() <= 0)
        connectionsByAddress.erase(it);
}

void FrontDoor::onRequestHead(QTcpSocket *socket)
{
    const QByteArray peeked = socket->peek(maxRequestHeadBytes + 4);
    const int end = peeked.indexOf("\r\n\r\n");
    if (end < 0) {
        if (socket->bytesAvailable() > maxRequestHeadBytes) {
            disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
            // Read what is there, so that closing does not reset the connection under the
            // response.
            socket->readAll();
            socket->write(staticfiles::errorResponse(431));
            socket->disconnectFromHost();
        }
        return;
    }
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    delete socket->findChild<QTimer *>();

    const int lineEnd = peeked.indexOf("\r\n");
    const QByteArray target = peeked.left(lineEnd).split(' ').value(1);
    const int query = target.indexOf('?');
    const QByteArray path = query < 0 ? target : target.left(query);
    if (path == "/ws") {
        upgrade(socket, peeked.left(end));
        return;
    }
    const QByteArray head = socket->read(end + 4).left(end);
    if (answerOperations(socket, path) || (route && route(socket, path, head)))
        return;
    QString bodyFile;
    socket->write(staticfiles::respond(head, options.staticDir, &bodyFile));
    if (!bodyFile.isEmpty()) {
        new FileStream(socket, bodyFile, options.staticWriteTimeoutMs);
        return;
    }
    // Closes once the response is written.
    socket->disconnectFromHost();
}

void FrontDoor::upgrade(QTcpSocket *socket, const QByteArray &head)
{
    // Qt would close on a bad handshake without a word; it gets a proper answer here.
    const int status = handshake::check(head);
    if (status != 0) {
        socket->read(head.size() + 4);
        socket->write(handshake::refusal(status));
        socket->disconnectFromHost();
        return;
    }
    // The WebSocket server reads the handshake itself.
    disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    const QString peer = peerKey(socket);
    upgrading.insert(peer, socket);
    // Deleted here only if no WebSocket took it: a failed handshake leaves it to us.
    auto *handshakeTimeout = new QTimer(socket);
    handshakeTimeout->setSingleShot(true);
    connect(handshakeTimeout, &QTimer::timeout, this, [this, socket, peer] {
        if (upgrading.value(peer) != socket)
            return;
        upgrading.remove(peer);
        socket->abort();
        socket->deleteLater();
    });
    handshakeTimeout->start(requestHeadTimeoutMs);
    webSocketServer.handleConnection(socket);
}

bool FrontDoor::answerOperations(QTcpSocket *socket, const QByteArray &path)
{
    const QByteArray text = "text/plain; charset=utf-8";
    if (path == "/healthz") {
        health([socket = QPointer<QTcpSocket>(socket), text](bool healthy) {
            if (!socket)
                return;
            socket->write(healthy ? staticfiles::response(200, text, "ok\n")
                                  : staticfiles::response(503, text, "database not answering\n"));
            socket->disconnectFromHost();
        });
        return true;
    }
    if (path == "/metrics") {
        socket->write(
            staticfiles::response(200, "text/plain; version=0.0.4; charset=utf-8", metrics()));
        socket->disconnectFromHost();
        return true;
    }
    return false;
}

void FrontDoor::onNewWebSocket()
{
    while (QWebSocket *socket = webSocketServer.nextPendingConnection()) {
        QTcpSocket *tcpSocket = upgrading.take(peerKey(socket->peerAddress(), socket->peerPort()));
        if (closed) {
            socket->abort();
            socket->deleteLater();
            if (tcpSocket)
                tcpSocket->deleteLater();
            continue;
        }
        emit webSocketOpened(socket, tcpSocket);
    }
}
