#include "testserver.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

TestServer::TestServer(QObject *parent)
    : QObject(parent)
    , webSocketServer(QStringLiteral("test"), QWebSocketServer::NonSecureMode)
{
    connect(&tcpServer, &QTcpServer::newConnection, this, &TestServer::onNewTcpConnection);
    connect(&webSocketServer, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket *socket = webSocketServer.nextPendingConnection()) {
            socket->setParent(this);
            clients.append(socket);
            ++connectionCount;
            connect(socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
                const QJsonObject frame = QJsonDocument::fromJson(text.toUtf8()).object();
                frames.append(frame);
                emit frameReceived(frame);
            });
            connect(socket, &QWebSocket::disconnected, this, [this, socket] {
                lastCloseCode = socket->closeCode();
                emit clientDisconnected();
            });
            emit clientConnected();
        }
    });
}

bool TestServer::start(quint16 port)
{
    if (!tcpServer.listen(QHostAddress::LocalHost, port))
        return false;
    lastPort = tcpServer.serverPort();
    qputenv("FERROW_SERVER_HOST", "127.0.0.1");
    qputenv("FERROW_SERVER_PORT", QByteArray::number(tcpServer.serverPort()));
    return true;
}

void TestServer::stop()
{
    tcpServer.close();
    for (const QPointer<QWebSocket> &socket : qAsConst(clients)) {
        if (socket)
            socket->abort();
    }
}

quint16 TestServer::port() const
{
    return lastPort;
}

QString TestServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(port());
}

bool TestServer::waitForClient(int timeoutMs)
{
    QWebSocket *socket = client();
    if (socket && socket->state() == QAbstractSocket::ConnectedState)
        return true;
    QSignalSpy spy(this, &TestServer::clientConnected);
    return spy.wait(timeoutMs);
}

QWebSocket *TestServer::client() const
{
    for (int i = clients.size() - 1; i >= 0; --i) {
        if (clients.at(i) && clients.at(i)->state() == QAbstractSocket::ConnectedState)
            return clients.at(i);
    }
    return nullptr;
}

void TestServer::send(const QJsonObject &frame)
{
    sendText(QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
}

void TestServer::sendText(const QString &text)
{
    if (QWebSocket *socket = client())
        socket->sendTextMessage(text);
}

bool TestServer::waitForFrames(int count, int timeoutMs)
{
    return QTest::qWaitFor([this, count] { return frames.size() >= count; }, timeoutMs);
}

QList<QJsonObject> TestServer::takeFrames()
{
    QList<QJsonObject> taken;
    taken.swap(frames);
    return taken;
}

QList<QJsonObject> TestServer::framesOfType(const QString &type) const
{
    QList<QJsonObject> matching;
    for (const QJsonObject &frame : frames) {
        if (frame.value(QLatin1String("type")).toString() == type)
            matching.append(frame);
    }
    return matching;
}

int TestServer::requestCount(const QByteArray &path) const
{
    int count = 0;
    for (const HttpRequest &request : requests)
        count += request.path == path ? 1 : 0;
    return count;
}

void TestServer::onNewTcpConnection()
{
    while (QTcpSocket *socket = tcpServer.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    }
}

void TestServer::onReadyRead(QTcpSocket *socket)
{
    const QByteArray head = socket->peek(64 * 1024);
    const int end = head.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = head.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    HttpRequest request;
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.insert(
                lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }

    const qint64 length = request.headers.value("content-length").toLongLong();
    if (request.path != "/ws" && socket->bytesAvailable() < end + 4 + length)
        return;
    socket->disconnect(this);
    if (request.path == "/ws") {
        webSocketServer.handleConnection(socket);
        return;
    }
    socket->read(end + 4);
    request.body = socket->read(length);
    requests.append(request);
    answerHttp(socket, request);
}

void TestServer::answerHttp(QTcpSocket *socket, const HttpRequest &request)
{
    auto route = routes.constFind(request.path);
    if (route == routes.constEnd())
        route = routes.constFind(request.path.left(request.path.indexOf('?')));
    const HttpResponse response = route != routes.constEnd()
        ? *route
        : HttpResponse { 404, "text/plain", "not found", true, 0 };
    if (response.status == 0)
        return;
    if (response.status < 0) {
        socket->abort();
        return;
    }
    QByteArray reply = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n";
    reply += "Content-Type: " + response.contentType + "\r\n";
    if (response.announceLength) {
        const qint64 length =
            response.claimedLength > 0 ? response.claimedLength : response.body.size();
        reply += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    reply += "Connection: close\r\n\r\n";
    socket->write(reply);
    socket->write(response.body);
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            socket->disconnectFromHost();
    });
}
