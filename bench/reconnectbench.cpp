// How fast the client notices a lost connection and how fast it is back once the server
// returns: the real ChatServer in this process on a loopback port, the client's own connection
// and supervisor with their shipped timings. Prints medians of several runs.
//
//   ferrow-reconnectbench [runs] [--half-open]
//
// --half-open also measures a connection that goes silent without closing (a dropped network),
// which only the ping notices: up to 40 s per run.
#include "chatserver.h"
#include "credentials.h"
#include "net/connectionsupervisor.h"
#include "net/websocketclient.h"
#include "sqlitestore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace
{

// Runs the event loop until `done` holds or `timeoutMs` passes; false on timeout.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double median(std::vector<qint64> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? double(values[mid]) : (values[mid - 1] + values[mid]) / 2.0;
}

// Forwards loopback connections to the server; cut() makes the open ones swallow everything
// from then on without closing, as a dropped network or a sleeping laptop does.
class Relay : public QTcpServer
{
public:
    explicit Relay(quint16 target)
    {
        connect(this, &QTcpServer::newConnection, this, [this, target] {
            while (QTcpSocket *inner = nextPendingConnection()) {
                auto *outer = new QTcpSocket(inner);
                outer->connectToHost(QHostAddress::LocalHost, target);
                const auto pipe = [this](QTcpSocket *from, QTcpSocket *to) {
                    connect(from, &QTcpSocket::readyRead, from, [this, from, to] {
                        const QByteArray data = from->readAll();
                        if (!cutSockets.contains(from))
                            to->write(data);
                    });
                };
                pipe(inner, outer);
                pipe(outer, inner);
                connect(inner, &QTcpSocket::disconnected, inner, &QObject::deleteLater);
                open.append(qMakePair(inner, outer));
            }
        });
    }
    void cut()
    {
        for (const auto &pair : qAsConst(open)) {
            cutSockets.append(pair.first);
            cutSockets.append(pair.second);
        }
    }

private:
    QList<QPair<QTcpSocket *, QTcpSocket *>> open;
    QList<QTcpSocket *> cutSockets;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = args.size() > 1 && args.at(1).toInt() > 0 ? args.at(1).toInt() : 5;
    const bool halfOpen = args.contains(QStringLiteral("--half-open"));

    QTemporaryDir dir;
    SqliteStore db;
    if (!dir.isValid() || !db.open(dir.path())) {
        std::fprintf(stderr, "cannot open a database\n");
        return 1;
    }
    db.addUser(QStringLiteral("alice"),
        credentials::hashPassword(QStringLiteral("secret"), credentials::cheapestLimits));
    ChatServer::Options options;
    options.staticDir = dir.filePath(QStringLiteral("static"));
    options.passwordLimits = credentials::cheapestLimits;

    std::unique_ptr<ChatServer> server =
        std::make_unique<ChatServer>(SqliteStore::connector(dir.path()), options);
    if (!server->listen(QHostAddress::LocalHost, 0))
        return 1;
    const quint16 port = server->serverPort();
    qputenv("FERROW_SERVER_HOST", "127.0.0.1");
    qputenv("FERROW_SERVER_PORT", QByteArray::number(port));

    WebSocketClient client;
    ConnectionSupervisor supervisor(&client);
    int logins = 0;
    bool lost = false;
    QObject::connect(&supervisor, &ConnectionSupervisor::readyForLogin, &supervisor, [&] {
        supervisor.loginWithPassword(QStringLiteral("alice"), QStringLiteral("secret"));
    });
    QObject::connect(&supervisor, &ConnectionSupervisor::loggedIn, &supervisor, [&] { ++logins; });
    QObject::connect(
        &supervisor, &ConnectionSupervisor::connectionLost, &supervisor, [&] { lost = true; });
    supervisor.start();
    if (!waitFor([&] { return logins == 1; }, 10000)) {
        std::fprintf(stderr, "first login failed\n");
        return 1;
    }

    // Server gone (process ended or restarted): its sockets close, the client hears it at once.
    // Back: from the moment the server listens again until the client is logged in again.
    for (const int downMs : { 0, 3000, 10000 }) {
        std::vector<qint64> notice;
        std::vector<qint64> back;
        for (int run = 0; run < runs; ++run) {
            // Let the connection settle, so that the back-off starts from the beginning.
            pause(6000);
            lost = false;
            QElapsedTimer timer;
            timer.start();
            server.reset();
            if (!waitFor([&] { return lost; }, 60000))
                return 1;
            notice.push_back(timer.elapsed());
            pause(downMs);
            const int before = logins;
            server = std::make_unique<ChatServer>(SqliteStore::connector(dir.path()), options);
            if (!server->listen(QHostAddress::LocalHost, port))
                return 1;
            timer.restart();
            if (!waitFor([&] { return logins > before; }, 60000))
                return 1;
            back.push_back(timer.elapsed());
        }
        std::printf("server down %5d ms: noticed after %7.1f ms, back %7.1f ms after it "
                    "returned (medians of %d)\n",
            downMs,
            median(notice),
            median(back),
            runs);
        std::fflush(stdout);
    }

    if (halfOpen) {
        // Logged in through the relay; then the relay goes quiet.
        Relay relay(port);
        if (!relay.listen(QHostAddress::LocalHost, 0))
            return 1;
        qputenv("FERROW_SERVER_PORT", QByteArray::number(relay.serverPort()));
        std::vector<qint64> notice;
        for (int run = 0; run < std::min(runs, 3); ++run) {
            supervisor.logout();
            const int before = logins;
            supervisor.start();
            if (!waitFor([&] { return logins > before; }, 60000))
                return 1;
            lost = false;
            QElapsedTimer timer;
            timer.start();
            relay.cut();
            if (!waitFor([&] { return lost; }, 120000))
                return 1;
            notice.push_back(timer.elapsed());
        }
        std::printf("network gone without a close: noticed after %7.1f ms (median of %zu)\n",
            median(notice),
            notice.size());
    }
    return 0;
}
