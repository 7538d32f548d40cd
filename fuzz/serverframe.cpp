// libFuzzer target: one text frame from a logged-in connection through the server's parse and
// request handling, against a real database in a temporary folder. The connection is a real
// WebSocket on loopback; only its rate limit is left out, so that every input is handled.
#include "chatserver.h"
#include "clientconnection.h"
#include "credentials.h"
#include "jsonguard.h"
#include "sqlitestore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{

struct Fixture {
    QTemporaryDir dir;
    SqliteStore database;
    std::unique_ptr<ChatServer> server;
    QWebSocket socket;
    // User ids are random; inputs name users as "@alice", "@bob" and "@carol" instead.
    QList<std::pair<QString, QString>> userIds;
};

Fixture *fixture = nullptr;

QString send(QWebSocket &socket, const QJsonObject &frame)
{
    const QString text = QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact));
    socket.sendTextMessage(text);
    return text;
}

// Runs the event loop until `done` holds or ten seconds pass.
template <typename Done> bool await(Done done)
{
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(10000);
    while (!done() && deadline.isActive())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

// The server's connection for the fuzzing socket, once its login has gone through.
ClientConnection *loggedInConnection()
{
    for (ClientConnection *connection : fixture->server->findChildren<ClientConnection *>()) {
        if (!connection->userId.isEmpty())
            return connection;
    }
    return nullptr;
}

ClientConnection *logIn()
{
    QWebSocket &socket = fixture->socket;
    if (socket.state() != QAbstractSocket::ConnectedState) {
        socket.open(
            QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(fixture->server->serverPort())));
        if (!await([&socket] { return socket.state() == QAbstractSocket::ConnectedState; })) {
            std::fprintf(stderr, "serverframe: cannot connect to the server\n");
            std::abort();
        }
    }
    send(socket,
        { { QStringLiteral("type"), QStringLiteral("login_with_password") },
            { QStringLiteral("username"), QStringLiteral("alice") },
            { QStringLiteral("password"), QStringLiteral("secret") } });
    if (!await([] { return loggedInConnection() != nullptr; })) {
        std::fprintf(stderr, "serverframe: cannot log in\n");
        std::abort();
    }
    return loggedInConnection();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static auto *application = new QCoreApplication(*argc, *argv);
    Q_UNUSED(application)
    fixture = new Fixture;
    if (!fixture->dir.isValid() || !fixture->database.open(fixture->dir.path())) {
        std::fprintf(stderr, "serverframe: cannot open a database\n");
        std::abort();
    }
    // The cheapest hash keeps a fuzzed login quick; the server checks whatever limits a hash names.
    const QString hash =
        credentials::hashPassword(QStringLiteral("secret"), credentials::cheapestLimits);
    for (const char *name : { "alice", "bob", "carol" }) {
        const QString username = QString::fromLatin1(name);
        fixture->userIds.append(
            { QLatin1Char('@') + username, fixture->database.addUser(username, hash)->id });
    }
    const QString alice = fixture->userIds.at(0).second;
    const QString bob = fixture->userIds.at(1).second;
    // A group with a known id, so that inputs can name it.
    fixture->database.createChat(QStringLiteral("team"),
        QStringLiteral("Team"),
        QStringLiteral("group"),
        alice,
        { alice, bob });
    ChatServer::Options options;
    options.staticDir = fixture->dir.filePath(QStringLiteral("static"));
    fixture->server =
        std::make_unique<ChatServer>(SqliteStore::connector(fixture->dir.path()), options);
    if (!fixture->server->listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "serverframe: cannot listen\n");
        std::abort();
    }
    // Answers pile up in the fuzzing socket; reading them keeps the server from cutting it off
    // as a slow reader.
    QObject::connect(&fixture->socket, &QWebSocket::textMessageReceived, &fixture->socket, [] {});
    // Messages m1 to m4 in the group, the first from bob, so that inputs can name messages
    // that exist, and see one that is not their own.
    fixture->database.addMessage(
        QStringLiteral("team"), bob, QStringLiteral("0"), QString(), 1700000000);
    ClientConnection *connection = logIn();
    for (int i = 1; i <= 3; ++i) {
        emit connection->requestReceived(connection,
            { { QStringLiteral("type"), QStringLiteral("message") },
                { QStringLiteral("chatId"), QStringLiteral("team") },
                { QStringLiteral("content"),
                    QJsonObject { { QStringLiteral("text"), QString::number(i) } } } });
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(ClientConnection::maxFrameBytes))
        return 0;
    ClientConnection *connection = loggedInConnection();
    if (!connection)
        connection = logIn();
    // The input before has been answered in full, so that each is handled as a client's next
    // request would be, and nothing piles up.
    const QPointer<ClientConnection> guarded(connection);
    if (!await([&guarded] {
            return !guarded || (!guarded->busy && !guarded->parked && guarded->afterWrites.empty());
        })) {
        std::fprintf(stderr, "serverframe: the last input was never answered\n");
        std::abort();
    }
    if (!guarded)
        connection = logIn();
    // The same steps as the connection's own receipt: guarded parse, then the request signal
    // the server handles.
    // A WebSocket text frame arrives as a string, so invalid UTF-8 is replaced before parsing.
    QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    for (const auto &[placeholder, id] : qAsConst(fixture->userIds))
        text.replace(placeholder, id);
    const QJsonDocument document = jsonguard::parse(text.toUtf8());
    if (document.isObject())
        emit connection->requestReceived(connection, document.object());
    QCoreApplication::processEvents();
    return 0;
}
