#include "loadbench.h"

#include "admin.h"
#include "credentials.h"
#include "storelocation.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QVector>
#include <QWebSocket>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <numeric>
#include <unistd.h>

namespace
{

// Starting the server is a process start and a SQLite open; seconds mean something is wrong.
constexpr int serverStartTimeoutMs = 10000;
// Enough for every login even with production-strength hashes (about 0.25 s each, two at a
// time on the server's pool), so that only a stuck login trips it.
constexpr int loginTimeoutMs = 120000;
// Sending may lag behind its schedule on a busy machine; this bounds how far.
constexpr int sendingSlackMs = 10000;
// The server waits up to 3 s for clients to finish the close handshake; give it that and more.
constexpr int serverStopTimeoutMs = 10000;
// Server log lines repeated in the report; the rest are only counted.
constexpr int shownServerLines = 10;
// The server answers "/metrics" at once; this only bounds a server that hangs.
constexpr int metricsTimeoutMs = 5000;

const QLatin1String typeKey("type");

double toMs(qint64 ns)
{
    return ns / 1e6;
}

double toSeconds(qint64 ns)
{
    return ns / 1e9;
}

QString reportLine(const QString &label, const QString &value)
{
    return QStringLiteral("  %1 %2").arg(label, -20).arg(value);
}

// CPU time of this whole process, every thread, in seconds.
double processCpuSeconds()
{
    timespec time {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return double(time.tv_sec) + time.tv_nsec / 1e9;
}

// Runs `sql` on the database `url` names, on a connection of its own.
bool runOnPostgres(const QString &url, const QString &sql, QString *error)
{
    const std::optional<DatabaseUrl> target = DatabaseUrl::parse(url, error);
    if (!target)
        return false;
    const QString name = QStringLiteral("loadbench-admin");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(target->host);
        if (target->port > 0)
            db.setPort(target->port);
        db.setUserName(target->user);
        db.setPassword(target->password);
        db.setDatabaseName(target->databaseName);
        if (db.open()) {
            QSqlQuery query(db);
            ok = query.exec(sql);
            if (!ok)
                *error = query.lastError().text();
        } else {
            *error = db.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

LatencySummary summarizeLatencies(std::vector<qint64> &latencies)
{
    LatencySummary summary;
    if (latencies.empty())
        return summary;
    std::sort(latencies.begin(), latencies.end());
    // Nearest rank: the smallest sample that at least the given share of samples does not exceed.
    const auto rank = [&latencies](double share) {
        const auto index = static_cast<std::size_t>(std::ceil(share * latencies.size()));
        return latencies.at(std::max<std::size_t>(index, 1) - 1);
    };
    summary.p50 = toMs(rank(0.50));
    summary.p99 = toMs(rank(0.99));
    summary.max = toMs(latencies.back());
    const double total = std::accumulate(latencies.begin(), latencies.end(), 0.0);
    summary.mean = toMs(static_cast<qint64>(total / latencies.size()));
    return summary;
}

void LoadStats::merge(LoadStats &&other)
{
    sent += other.sent;
    expected += other.expected;
    delivered += other.delivered;
    duplicates += other.duplicates;
    misrouted += other.misrouted;
    outOfOrder += other.outOfOrder;
    foreignMessages += other.foreignMessages;
    lastReceiptNs = std::max(lastReceiptNs, other.lastReceiptNs);
    disconnects += other.disconnects;
    errorCount += other.errorCount;
    for (auto it = other.socketErrors.constBegin(); it != other.socketErrors.constEnd(); ++it)
        socketErrors[it.key()] += it.value();
    for (auto it = other.errors.constBegin(); it != other.errors.constEnd(); ++it)
        errors[it.key()] += it.value();
    latencies.insert(latencies.end(), other.latencies.begin(), other.latencies.end());
    sameServerLatencies.insert(sameServerLatencies.end(),
        other.sameServerLatencies.begin(),
        other.sameServerLatencies.end());
    crossServerLatencies.insert(crossServerLatencies.end(),
        other.crossServerLatencies.begin(),
        other.crossServerLatencies.end());
}

std::atomic<qint64> &LoadBench::Shared::sendTime(int sender, int seq)
{
    return sentNs[static_cast<std::size_t>(sender) * messagesPerClient + (seq - 1)];
}

int LoadBench::Shared::serverOf(int index) const
{
    return index < 0 ? 0 : (index / std::max(1, groups)) % std::max(1, servers);
}

// The clients of one thread. Lives on that thread; the bench calls it through queued calls and
// it answers the same way.
class LoadWorker : public QObject
{
public:
    struct Client {
        int index = 0;
        int group = 0;
        int groupSize = 0;
        QString username;
        QString password;
        QString groupName;
        QWebSocket socket;
        QTimer sendTimer;
        QString groupId;
        bool loggedIn = false;
        bool hasHistory = false;
        bool hasUserList = false;
        bool ready = false;
        int sent = 0;
        // Per sender and sequence number, whether it arrived here, to tell a second copy from
        // a first.
        std::vector<bool> received;
        // Per sender, the last sequence number seen here; each sender's messages go through
        // one connection, so they should arrive in the order sent.
        std::vector<int> lastSeqFrom;
    };

    LoadWorker(LoadBench *bench, LoadBench::Shared &shared)
        : bench(bench)
        , shared(shared)
    {
    }

    // Before the worker moves to its thread.
    void addClient(std::unique_ptr<Client> client)
    {
        clients.push_back(std::move(client));
    }
    // From the thread the clients were made on, since only that one may hand them over.
    void moveClientsTo(QThread *thread)
    {
        for (const auto &client : clients) {
            client->socket.moveToThread(thread);
            client->sendTimer.moveToThread(thread);
        }
    }

    // Opens every client's connection; at most `atOnce` log in at a time, the next opening as
    // one is ready, so that thousands stay within the server's line of password checks.
    void connectAll(const QList<QUrl> &urls, std::size_t atOnce);
    void startSending(int intervalMs);
    // Stops every client and hands over what they saw.
    LoadStats stop();
    // Closes the sockets; on the worker's thread, which owns them.
    void release()
    {
        clients.clear();
    }

private:
    void onFrame(Client &client, const QString &text);
    void onLoginFrame(Client &client, const QJsonObject &frame);
    void onMessageFrame(Client &client, const QJsonObject &frame, qint64 nowNs);
    void sendNext(Client &client);
    void fail(const QString &reason);
    void openNext();

    LoadBench *bench;
    QList<QUrl> serverUrls;
    std::size_t opened = 0;
    LoadBench::Shared &shared;
    std::vector<std::unique_ptr<Client>> clients;
    LoadStats stats;
    bool sending = false;
    bool stopped = false;
};

void LoadWorker::fail(const QString &reason)
{
    QMetaObject::invokeMethod(
        bench, [bench = bench, reason] { bench->finish(reason); }, Qt::QueuedConnection);
}

void LoadWorker::connectAll(const QList<QUrl> &urls, std::size_t atOnce)
{
    serverUrls = urls;
    for (const auto &owned : clients) {
        Client &client = *owned;
        if (client.group >= 0) {
            client.received.assign(
                static_cast<std::size_t>(shared.connections) * shared.messagesPerClient, false);
            client.lastSeqFrom.assign(shared.connections, 0);
        }
        connect(&client.socket, &QWebSocket::connected, this, [&client] {
            const QJsonObject login { { QStringLiteral("type"),
                                          QStringLiteral("login_with_password") },
                { QStringLiteral("username"), client.username },
                { QStringLiteral("password"), client.password } };
            client.socket.sendTextMessage(
                QString::fromUtf8(QJsonDocument(login).toJson(QJsonDocument::Compact)));
        });
        connect(&client.socket,
            &QWebSocket::textMessageReceived,
            this,
            [this, &client](const QString &text) { onFrame(client, text); });
        connect(&client.socket, &QWebSocket::disconnected, this, [this, &client] {
            if (stopped)
                return;
            ++stats.disconnects;
            if (!client.ready)
                fail(
                    QStringLiteral("%1 lost its connection while logging in").arg(client.username));
        });
        connect(&client.socket,
            QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error),
            this,
            [this, &client] {
                if (!stopped)
                    ++stats.socketErrors[client.socket.errorString()];
            });
        connect(&client.sendTimer, &QTimer::timeout, this, [this, &client] { sendNext(client); });
    }
    while (opened < std::min(atOnce, clients.size()))
        openNext();
}

void LoadWorker::openNext()
{
    if (opened >= clients.size())
        return;
    Client &client = *clients.at(opened++);
    // Client i is in group i % groups: the servers take turns by whole rounds of the groups, so
    // that every group has members on each.
    client.socket.open(serverUrls.at(shared.serverOf(client.index) % serverUrls.size()));
}

void LoadWorker::onFrame(Client &client, const QString &text)
{
    if (stopped)
        return;
    const qint64 nowNs = shared.clock.nsecsElapsed();
    const QJsonObject frame = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString type = frame.value(typeKey).toString();
    if (type == QLatin1String("message")) {
        onMessageFrame(client, frame, nowNs);
    } else if (type == QLatin1String("error")) {
        ++stats.errorCount;
        ++stats.errors[frame.value(QLatin1String("message")).toString()];
    } else if (type == QLatin1String("auth_failed")) {
        fail(QStringLiteral("the login of %1 failed").arg(client.username));
    } else {
        onLoginFrame(client, frame);
    }
}

void LoadWorker::onLoginFrame(Client &client, const QJsonObject &frame)
{
    const QString type = frame.value(typeKey).toString();
    if (type == QLatin1String("login_success")) {
        client.loggedIn = true;
    } else if (type == QLatin1String("chat_history") && !client.hasHistory) {
        client.hasHistory = true;
        const QJsonArray chats = frame.value(QLatin1String("chats")).toArray();
        for (const QJsonValue &value : chats) {
            const QJsonObject chat = value.toObject();
            if (chat.value(QLatin1String("chatType")).toString() == QLatin1String("group")
                && chat.value(QLatin1String("chatName")).toString() == client.groupName) {
                client.groupId = chat.value(QLatin1String("chatId")).toString();
                const int members = chat.value(QLatin1String("members")).toArray().size();
                if (members != client.groupSize) {
                    fail(QStringLiteral("%1 sees %2 members in its group instead of %3")
                             .arg(client.username)
                             .arg(members)
                             .arg(client.groupSize));
                    return;
                }
            }
        }
        if (client.groupId.isEmpty() && client.group >= 0) {
            fail(QStringLiteral("%1 got no history of its group").arg(client.username));
            return;
        }
    } else if (type == QLatin1String("user_list_update")) {
        client.hasUserList = true;
    }
    if (client.ready || !client.loggedIn || !client.hasHistory || !client.hasUserList)
        return;
    client.ready = true;
    openNext();
    QMetaObject::invokeMethod(
        bench, [bench = bench] { bench->onClientReady(); }, Qt::QueuedConnection);
}

void LoadWorker::onMessageFrame(Client &client, const QJsonObject &frame, qint64 nowNs)
{
    // "bench SENDER SEQ", as sendNext writes it.
    const QString token =
        frame.value(QLatin1String("content")).toObject().value(QLatin1String("text")).toString();
    const QVector<QStringRef> parts = token.splitRef(QLatin1Char(' '));
    bool senderOk = false;
    bool seqOk = false;
    const int sender = parts.size() == 3 ? parts.at(1).toInt(&senderOk) : -1;
    const int seq = parts.size() == 3 ? parts.at(2).toInt(&seqOk) : -1;
    if (parts.size() != 3 || parts.at(0) != QLatin1String("bench") || !senderOk || !seqOk
        || sender < 0 || sender >= shared.connections || seq < 1
        || seq > shared.messagesPerClient) {
        ++stats.foreignMessages;
        return;
    }
    const qint64 sentNs = shared.sendTime(sender, seq).load(std::memory_order_acquire);
    if (sentNs == 0) {
        ++stats.foreignMessages;
        return;
    }
    const std::size_t slot = static_cast<std::size_t>(sender) * shared.messagesPerClient + seq - 1;
    if (client.received[slot]) {
        ++stats.duplicates;
        return;
    }
    client.received[slot] = true;
    if (sender % shared.groups != client.group
        || frame.value(QLatin1String("chatId")).toString() != client.groupId) {
        ++stats.misrouted;
        return;
    }
    int &lastSeq = client.lastSeqFrom[sender];
    if (seq < lastSeq)
        ++stats.outOfOrder;
    lastSeq = std::max(lastSeq, seq);
    ++stats.delivered;
    shared.delivered.fetch_add(1, std::memory_order_relaxed);
    stats.latencies.push_back(nowNs - sentNs);
    if (shared.servers > 1)
        (shared.serverOf(sender) == shared.serverOf(client.index) ? stats.sameServerLatencies
                                                                  : stats.crossServerLatencies)
            .push_back(nowNs - sentNs);
    stats.lastReceiptNs = nowNs;
}

void LoadWorker::startSending(int intervalMs)
{
    sending = true;
    const int count = shared.connections;
    for (const auto &owned : clients) {
        Client &client = *owned;
        if (client.group < 0)
            continue;
        client.sendTimer.setTimerType(Qt::PreciseTimer);
        client.sendTimer.setInterval(intervalMs);
        // Spread over one interval, so that the server sees a steady stream rather than all
        // connections sending in the same millisecond.
        const int offsetMs =
            static_cast<int>(static_cast<qint64>(intervalMs) * client.index / count);
        QTimer::singleShot(offsetMs, Qt::PreciseTimer, this, [this, &client] {
            if (!sending)
                return;
            client.sendTimer.start();
            sendNext(client);
        });
    }
}

void LoadWorker::sendNext(Client &client)
{
    if (!sending)
        return;
    ++client.sent;
    ++stats.sent;
    const QString token = QStringLiteral("bench %1 %2").arg(client.index).arg(client.sent);
    const QJsonObject request { { QStringLiteral("type"), QStringLiteral("message") },
        { QStringLiteral("chatId"), client.groupId },
        { QStringLiteral("content"), QJsonObject { { QStringLiteral("text"), token } } } };
    const QString text = QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact));
    stats.expected += client.groupSize;
    shared.expected.fetch_add(client.groupSize, std::memory_order_relaxed);
    shared.sendTime(client.index, client.sent)
        .store(shared.clock.nsecsElapsed(), std::memory_order_release);
    client.socket.sendTextMessage(text);
    if (client.sent < shared.messagesPerClient)
        return;
    client.sendTimer.stop();
    QMetaObject::invokeMethod(
        bench, [bench = bench] { bench->onClientDoneSending(); }, Qt::QueuedConnection);
}

LoadStats LoadWorker::stop()
{
    sending = false;
    stopped = true;
    for (const auto &client : clients) {
        client->sendTimer.stop();
        client->socket.close();
    }
    return std::move(stats);
}

LoadBench::LoadBench(const Options &options, QObject *parent)
    : QObject(parent)
    , options(options)
{
    shared.clock.start();
    shared.connections = options.connections;
    shared.groups = options.groups;
    shared.servers = std::max(1, options.servers);
    shared.messagesPerClient =
        std::max(1, static_cast<int>(std::lround(options.rate * options.durationSeconds)));
    const std::size_t sendSlots =
        static_cast<std::size_t>(options.connections) * shared.messagesPerClient;
    shared.sentNs = std::make_unique<std::atomic<qint64>[]>(sendSlots);
    for (std::size_t i = 0; i < sendSlots; ++i)
        shared.sentNs[i].store(0, std::memory_order_relaxed);

    deadline.setSingleShot(true);
    drainTimer.setSingleShot(true);
    drainPoll.setInterval(5);
    connect(&deadline, &QTimer::timeout, this, [this] {
        finish(phase == Phase::LoggingIn ? QStringLiteral("not every client logged in within %1 s")
                                               .arg(loginTimeoutMs / 1000)
                                         : QStringLiteral("sending did not finish in time"));
    });
    connect(&drainTimer, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("drain period over"));
    });
    connect(&drainPoll, &QTimer::timeout, this, &LoadBench::checkDrained);

    groupSizes.assign(options.groups, 0);
    for (int i = 0; i < options.connections; ++i)
        ++groupSizes[i % options.groups];
    const int threadCount = std::max(1, std::min(options.threads, options.connections));
    for (int t = 0; t < threadCount; ++t) {
        threads.push_back(std::make_unique<QThread>());
        workers.push_back(new LoadWorker(this, shared));
    }
    const int digits = QString::number(options.connections - 1).size();
    for (int i = 0; i < options.connections; ++i) {
        const Account account { QStringLiteral("bench")
                + QString::number(i).rightJustified(digits, u'0'),
            credentials::randomHex(8),
            i % options.groups };
        accounts.push_back(account);
        auto client = std::make_unique<LoadWorker::Client>();
        client->index = i;
        client->group = account.group;
        client->groupSize = groupSizes.at(account.group);
        client->groupName = groupName(account.group);
        client->username = account.username;
        client->password = account.password;
        workers.at(i % threadCount)->addClient(std::move(client));
    }
    // Idle clients on a thread of their own, so that the busy ones' loops do not poll them.
    if (options.idle > 0) {
        threads.push_back(std::make_unique<QThread>());
        workers.push_back(new LoadWorker(this, shared));
    }
    for (int i = 0; i < options.idle; ++i) {
        const Account account { QStringLiteral("idle%1").arg(i), credentials::randomHex(8), -1 };
        accounts.push_back(account);
        auto client = std::make_unique<LoadWorker::Client>();
        client->index = -1;
        client->group = -1;
        client->username = account.username;
        client->password = account.password;
        workers.back()->addClient(std::move(client));
    }
}

LoadBench::~LoadBench()
{
    for (std::size_t t = 0; t < workers.size(); ++t) {
        LoadWorker *worker = workers.at(t);
        if (threads.at(t)->isRunning()) {
            QMetaObject::invokeMethod(
                worker, [worker] { worker->release(); }, Qt::BlockingQueuedConnection);
            connect(threads.at(t).get(), &QThread::finished, worker, &QObject::deleteLater);
            threads.at(t)->quit();
            threads.at(t)->wait();
        } else {
            delete worker;
        }
    }
}

QString LoadBench::groupName(int group) const
{
    return QStringLiteral("bench group %1").arg(group + 1);
}

bool LoadBench::start()
{
    if (!dataDir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary data directory\n");
        return false;
    }
    const qint64 setupStart = shared.clock.nsecsElapsed();
    if (!prepareData())
        return false;
    setupNs = shared.clock.nsecsElapsed() - setupStart;

    const qint64 serverStart = shared.clock.nsecsElapsed();
    if (!startServer())
        return false;
    serverStartNs = shared.clock.nsecsElapsed() - serverStart;

    connectClients();
    deadline.start(loginTimeoutMs);
    return true;
}

bool LoadBench::prepareData()
{
    // Straight into the server's database rather than one add-user process per user: each of
    // those hashes with the production rounds, about a quarter second apiece.
    StoreLocation location { dataDir.path(), std::nullopt };
    if (!options.postgres.isEmpty()) {
        QString error;
        database = DatabaseUrl::parse(options.postgres, &error);
        if (!database) {
            std::fprintf(stderr, "invalid --postgres: %s\n", qPrintable(error));
            return false;
        }
        database->databaseName = QStringLiteral("loadbench_") + credentials::randomHex(4);
        if (!runOnPostgres(options.postgres,
                QStringLiteral("CREATE DATABASE ") + database->databaseName,
                &error)) {
            std::fprintf(stderr, "cannot create the database: %s\n", qPrintable(error));
            database.reset();
            return false;
        }
        location.database = database;
    }
    QString openError;
    const std::unique_ptr<Store> store = location.open(&openError);
    if (!store) {
        std::fprintf(stderr, "cannot prepare the database: %s\n", qPrintable(openError));
        return false;
    }
    Store &db = *store;
    Store::Transaction transaction(db);
    if (!transaction.isActive()) {
        std::fprintf(stderr, "cannot prepare the database: %s\n", qPrintable(db.lastError()));
        return false;
    }
    for (const Account &account : accounts) {
        const QString hash = credentials::hashPasswordPbkdf2(account.password, options.hashRounds);
        if (!db.addUser(account.username, hash)) {
            std::fprintf(stderr,
                "cannot add user %s: %s\n",
                qPrintable(account.username),
                qPrintable(db.lastError()));
            return false;
        }
    }
    for (int group = 0; group < options.groups; ++group) {
        QStringList members;
        for (const Account &account : accounts) {
            if (account.group == group)
                members.append(account.username);
        }
        const QString error = admin::createGroup(db, groupName(group), members);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "cannot create a group: %s\n", qPrintable(error));
            return false;
        }
    }
    if (!transaction.commit()) {
        std::fprintf(stderr, "cannot write the database: %s\n", qPrintable(db.lastError()));
        return false;
    }
    return true;
}

bool LoadBench::startServer()
{
    serverUrl = startProcess(server);
    if (serverUrl.isEmpty())
        return false;
    serverUrls.append(serverUrl);
    for (int i = 1; i < options.servers; ++i) {
        otherServers.push_back(std::make_unique<QProcess>());
        const QUrl url = startProcess(*otherServers.back());
        if (url.isEmpty())
            return false;
        serverUrls.append(url);
    }
    connect(&server, &QProcess::readyReadStandardOutput, this, [this] {
        server.readAllStandardOutput();
    });
    connect(&server, &QProcess::readyReadStandardError, this, [this] {
        serverErrors += server.readAllStandardError();
    });
    connect(&server,
        QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
        this,
        [this](int exitCode, QProcess::ExitStatus status) {
            serverErrors += server.readAllStandardError();
            const QString how = status == QProcess::CrashExit
                ? QStringLiteral("crashed")
                : QStringLiteral("exit code %1").arg(exitCode);
            if (!serverStopping) {
                serverExit = how + QStringLiteral(", unasked");
                finish(QStringLiteral("the server exited"));
                return;
            }
            if (serverExit.isEmpty())
                serverExit = how + QStringLiteral(" after SIGTERM");
            for (const std::unique_ptr<QProcess> &other : otherServers) {
                other->terminate();
                other->waitForFinished(serverStopTimeoutMs);
            }
            dropDatabase();
            printReport();
        });
    return true;
}

QUrl LoadBench::startProcess(QProcess &server)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // A line per connection and login would drown the warnings that matter here.
    environment.insert(
        QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("ferrow.server.info=false"));
    server.setProcessEnvironment(environment);
    server.setProcessChannelMode(QProcess::SeparateChannels);
    QStringList arguments { QStringLiteral("--data-dir"),
        dataDir.path(),
        QStringLiteral("--port"),
        QStringLiteral("0"),
        // Every bench client comes from loopback; the per-address cap is for strangers.
        QStringLiteral("--max-connections-per-address"),
        QStringLiteral("0") };
    if (database)
        arguments << QStringLiteral("--database") << database->toString();
    server.start(options.serverBinary, arguments + options.serverOptions);
    if (!server.waitForStarted(serverStartTimeoutMs)) {
        std::fprintf(stderr,
            "cannot start %s: %s\n",
            qPrintable(options.serverBinary),
            qPrintable(server.errorString()));
        return QUrl();
    }

    // Before the event loop runs, so waiting here blocks nothing else.
    QByteArray output;
    const QDeadlineTimer limit(serverStartTimeoutMs);
    while (!output.contains('\n') && server.state() == QProcess::Running && !limit.hasExpired()) {
        server.waitForReadyRead(static_cast<int>(limit.remainingTime()));
        output += server.readAllStandardOutput();
    }
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^listening on (\\S+):(\\d+)[ \n]"))
            .match(QString::fromUtf8(output));
    if (!match.hasMatch()) {
        std::fprintf(stderr,
            "the server did not say where it listens; it said: %s%s\n",
            output.constData(),
            server.readAllStandardError().constData());
        server.kill();
        server.waitForFinished(serverStopTimeoutMs);
        return QUrl();
    }
    QUrl url;
    url.setScheme(QStringLiteral("ws"));
    url.setHost(match.captured(1));
    url.setPort(match.captured(2).toInt());
    url.setPath(QStringLiteral("/ws"));
    return url;
}

void LoadBench::dropDatabase()
{
    if (!database)
        return;
    QString error;
    if (!runOnPostgres(options.postgres,
            QStringLiteral("DROP DATABASE IF EXISTS ") + database->databaseName,
            &error))
        std::fprintf(stderr, "cannot drop the bench's database: %s\n", qPrintable(error));
    database.reset();
}

void LoadBench::connectClients()
{
    loginStartNs = shared.clock.nsecsElapsed();
    for (std::size_t t = 0; t < workers.size(); ++t) {
        LoadWorker *worker = workers.at(t);
        QThread *thread = threads.at(t).get();
        worker->moveToThread(thread);
        worker->moveClientsTo(thread);
        thread->start();
        // The busy clients all at once, as before; the idle ones a few hundred at a time.
        const std::size_t atOnce =
            t < std::size_t(std::max(1, std::min(options.threads, options.connections)))
            ? std::numeric_limits<std::size_t>::max()
            : 200;
        QMetaObject::invokeMethod(
            worker,
            [worker, urls = serverUrls, atOnce] { worker->connectAll(urls, atOnce); },
            Qt::QueuedConnection);
    }
}

void LoadBench::onClientReady()
{
    if (phase != Phase::LoggingIn || ++readyClients < options.connections + options.idle)
        return;
    loginDoneNs = shared.clock.nsecsElapsed();
    startSending();
}

void LoadBench::startSending()
{
    phase = Phase::Sending;
    sendStartNs = shared.clock.nsecsElapsed();
    benchCpuAtSendStart = processCpuSeconds();
    serverCpuAtSendStart = serverCpuSeconds();
    deadline.start(static_cast<int>(options.durationSeconds * 1000) + sendingSlackMs);
    const int intervalMs = std::max(1, static_cast<int>(std::lround(1000.0 / options.rate)));
    for (LoadWorker *worker : workers)
        QMetaObject::invokeMethod(
            worker,
            [worker, intervalMs] { worker->startSending(intervalMs); },
            Qt::QueuedConnection);
}

void LoadBench::onClientDoneSending()
{
    if (phase == Phase::Sending && ++clientsDoneSending == options.connections)
        startDraining();
}

void LoadBench::startDraining()
{
    phase = Phase::Draining;
    sendDoneNs = shared.clock.nsecsElapsed();
    deadline.stop();
    drainTimer.start(static_cast<int>(options.drainSeconds * 1000));
    drainPoll.start();
    checkDrained();
}

void LoadBench::checkDrained()
{
    // The receipts are timed by the workers; this only decides when waiting is over.
    if (phase == Phase::Draining
        && shared.delivered.load(std::memory_order_relaxed)
            >= shared.expected.load(std::memory_order_relaxed))
        finish(QStringLiteral("every expected delivery arrived"));
}

void LoadBench::finish(const QString &reason)
{
    if (phase == Phase::Done)
        return;
    phase = Phase::Done;
    endReason = reason;
    endNs = shared.clock.nsecsElapsed();
    benchCpuAtEnd = processCpuSeconds();
    deadline.stop();
    drainTimer.stop();
    drainPoll.stop();
    for (std::size_t t = 0; t < workers.size(); ++t) {
        LoadWorker *worker = workers.at(t);
        if (!threads.at(t)->isRunning())
            continue;
        LoadStats seen;
        QMetaObject::invokeMethod(
            worker, [worker, &seen] { seen = worker->stop(); }, Qt::BlockingQueuedConnection);
        stats.merge(std::move(seen));
    }
    if (server.state() == QProcess::Running) {
        serverCpu = serverCpuSeconds();
        serverCommits = commitReport();
    }
    stopServer();
}

double LoadBench::serverCpuSeconds() const
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(server.processId()));
    if (server.processId() <= 0 || !stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which may itself hold spaces and parentheses.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // utime and stime, the 14th and 15th fields of the whole line.
    if (fields.size() < 13)
        return -1;
    const long ticks = sysconf(_SC_CLK_TCK);
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / double(ticks);
}

QStringList LoadBench::commitReport() const
{
    QTcpSocket socket;
    socket.connectToHost(serverUrl.host(), static_cast<quint16>(serverUrl.port()));
    if (!socket.waitForConnected(metricsTimeoutMs))
        return { QStringLiteral("no answer from /metrics") };
    socket.write("GET /metrics HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(metricsTimeoutMs))
        answer += socket.readAll();
    answer += socket.readAll();
    QHash<QByteArray, double> values;
    QVector<QPair<double, double>> buckets;
    for (const QByteArray &line : answer.split('\n')) {
        if (line.startsWith('#'))
            continue;
        const int space = line.lastIndexOf(' ');
        if (space < 0)
            continue;
        const QByteArray name = line.left(space);
        const double value = line.mid(space + 1).toDouble();
        values.insert(name, value);
        const QByteArray prefix = "ferrow_commit_seconds_bucket{le=\"";
        if (name.startsWith(prefix)) {
            const QByteArray bound = name.mid(prefix.size()).chopped(2);
            buckets.append({ bound == "+Inf" ? qInf() : bound.toDouble(), value });
        }
    }
    const double commits = values.value("ferrow_commit_seconds_count");
    if (commits <= 0)
        return { QStringLiteral("no commits in /metrics") };
    const double writes = values.value("ferrow_commit_batch_size_sum");
    // The bound of the first bucket holding 99 % of the commits.
    double p99Bound = qInf();
    for (const auto &bucket : qAsConst(buckets)) {
        if (bucket.second >= 0.99 * commits) {
            p99Bound = bucket.first;
            break;
        }
    }
    return { reportLine(QStringLiteral("commits"),
                 QStringLiteral("%1, %2 writes each on average")
                     .arg(commits, 0, 'f', 0)
                     .arg(writes / commits, 0, 'f', 1)),
        reportLine(QStringLiteral("commit time"),
            QStringLiteral("mean %1 ms, p99 <= %2 ms")
                .arg(1000 * values.value("ferrow_commit_seconds_sum") / commits, 0, 'f', 2)
                .arg(1000 * p99Bound, 0, 'f', 1)) };
}

void LoadBench::stopServer()
{
    if (server.state() == QProcess::NotRunning) {
        // Already gone: the report is printed here rather than from the finished handler.
        QTimer::singleShot(0, this, &LoadBench::printReport);
        return;
    }
    serverStopping = true;
    server.terminate();
    QTimer::singleShot(serverStopTimeoutMs, this, [this] {
        if (server.state() == QProcess::NotRunning)
            return;
        serverExit = QStringLiteral("did not stop within %1 s of SIGTERM; killed")
                         .arg(serverStopTimeoutMs / 1000);
        server.kill();
    });
}

void LoadBench::printReport()
{
    const LatencySummary latency = summarizeLatencies(stats.latencies);
    const int count = options.connections;
    const bool completed = readyClients == count + options.idle && clientsDoneSending == count;
    const bool passed = completed && stats.delivered == stats.expected && stats.duplicates == 0
        && stats.misrouted == 0;
    const auto ms = [](double value) -> QString {
        return QString::number(value, 'f', 2) + QStringLiteral(" ms");
    };
    const auto seconds = [](qint64 ns) -> QString {
        return QString::number(toSeconds(ns), 'f', 2) + QStringLiteral(" s");
    };

    QStringList sizes;
    for (int size : groupSizes)
        sizes.append(QString::number(size));
    const qint64 sentCount = stats.sent;
    const qint64 sendingNs = (sendDoneNs ? sendDoneNs : endNs) - sendStartNs;

    QStringList lines;
    lines << QStringLiteral("ferrow-loadbench");
    lines << reportLine(QStringLiteral("connections"),
        QStringLiteral("%1, and %2 idle").arg(count).arg(options.idle));
    lines << reportLine(QStringLiteral("groups"),
        QStringLiteral("%1 (members: %2)")
            .arg(options.groups)
            .arg(sizes.join(QLatin1String(", "))));
    lines << reportLine(QStringLiteral("rate"),
        QStringLiteral("%1 msg/s per connection (server allows 20/s, burst 50)").arg(options.rate));
    lines << reportLine(QStringLiteral("duration"),
        QStringLiteral("%1 s, %2 messages per connection")
            .arg(options.durationSeconds)
            .arg(shared.messagesPerClient));
    lines << QStringLiteral("setup");
    lines << reportLine(QStringLiteral("users and groups"),
        QStringLiteral("%1 (PBKDF2 %2 rounds)").arg(seconds(setupNs)).arg(options.hashRounds));
    lines << reportLine(QStringLiteral("server start"),
        seconds(serverStartNs) + QStringLiteral(", ") + serverUrl.toString());
    lines << reportLine(QStringLiteral("logged in"),
        QStringLiteral("%1/%2 in %3")
            .arg(readyClients)
            .arg(count + options.idle)
            .arg(seconds((loginDoneNs ? loginDoneNs : endNs) - loginStartNs)));
    lines << QStringLiteral("run");
    lines << reportLine(QStringLiteral("messages sent"),
        QStringLiteral("%1 in %2 (%3 msg/s)")
            .arg(sentCount)
            .arg(seconds(sendingNs))
            .arg(sendingNs > 0 ? sentCount / toSeconds(sendingNs) : 0.0, 0, 'f', 1));
    lines << reportLine(QStringLiteral("deliveries"),
        QStringLiteral("%1/%2 expected (%3 %)")
            .arg(stats.delivered)
            .arg(stats.expected)
            .arg(stats.expected > 0 ? 100.0 * stats.delivered / stats.expected : 0.0, 0, 'f', 2));
    lines << reportLine(QStringLiteral("duplicates"), QString::number(stats.duplicates));
    lines << reportLine(QStringLiteral("misrouted"), QString::number(stats.misrouted));
    lines << reportLine(QStringLiteral("out of order"), QString::number(stats.outOfOrder));
    lines << reportLine(QStringLiteral("unknown messages"), QString::number(stats.foreignMessages));
    lines << reportLine(QStringLiteral("errors received"), QString::number(stats.errorCount));
    for (auto it = stats.errors.constBegin(); it != stats.errors.constEnd(); ++it)
        lines << QStringLiteral("    %1 x \"%2\"").arg(it.value()).arg(it.key());
    lines << reportLine(QStringLiteral("disconnects"), QString::number(stats.disconnects));
    for (auto it = stats.socketErrors.constBegin(); it != stats.socketErrors.constEnd(); ++it)
        lines << QStringLiteral("    %1 x socket error \"%2\"").arg(it.value()).arg(it.key());
    lines << reportLine(QStringLiteral("latency p50"), ms(latency.p50));
    lines << reportLine(QStringLiteral("latency p99"), ms(latency.p99));
    lines << reportLine(QStringLiteral("latency max"), ms(latency.max));
    lines << reportLine(QStringLiteral("latency mean"), ms(latency.mean));
    if (options.servers > 1) {
        const LatencySummary same = summarizeLatencies(stats.sameServerLatencies);
        const LatencySummary cross = summarizeLatencies(stats.crossServerLatencies);
        lines << reportLine(QStringLiteral("same server"),
            QStringLiteral("p50 %1, p99 %2").arg(ms(same.p50), ms(same.p99)));
        lines << reportLine(QStringLiteral("across servers"),
            QStringLiteral("p50 %1, p99 %2").arg(ms(cross.p50), ms(cross.p99)));
    }
    if (sendDoneNs && stats.lastReceiptNs)
        lines << reportLine(QStringLiteral("drain"),
            QStringLiteral("last receipt %1 after the last send")
                .arg(ms(toMs(std::max<qint64>(0, stats.lastReceiptNs - sendDoneNs)))));
    lines << reportLine(QStringLiteral("ended"), endReason);
    const double runSeconds = toSeconds(endNs - sendStartNs);
    const auto cpuShare = [runSeconds](double cpuSeconds) -> QString {
        return QStringLiteral("%1 s (%2 % of one core)")
            .arg(cpuSeconds, 0, 'f', 2)
            .arg(runSeconds > 0 ? 100 * cpuSeconds / runSeconds : 0.0, 0, 'f', 0);
    };
    if (sendStartNs)
        lines << reportLine(QStringLiteral("bench cpu"),
            cpuShare(benchCpuAtEnd - benchCpuAtSendStart)
                + QStringLiteral(" on %1 threads").arg(workers.size()));
    lines << QStringLiteral("server");
    if (sendStartNs && serverCpu >= 0 && serverCpuAtSendStart >= 0) {
        lines << reportLine(
            QStringLiteral("server cpu"), cpuShare(serverCpu - serverCpuAtSendStart));
        if (sentCount > 0)
            lines << reportLine(QStringLiteral("cpu per message"),
                QStringLiteral("%1 us").arg(
                    1e6 * (serverCpu - serverCpuAtSendStart) / double(sentCount), 0, 'f', 1));
    }
    lines << serverCommits;
    lines << reportLine(QStringLiteral("stopped"), serverExit);
    const QStringList logLines =
        QString::fromUtf8(serverErrors).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines << reportLine(QStringLiteral("log lines"), QString::number(logLines.size()));
    for (int i = 0; i < std::min<int>(logLines.size(), shownServerLines); ++i)
        lines << QStringLiteral("    ") + logLines.at(i);
    lines << QStringLiteral("result: ")
            + (passed ? QStringLiteral("PASS") : QStringLiteral("FAIL"));

    std::printf("%s\n", qPrintable(lines.join(QLatin1Char('\n'))));
    std::fflush(stdout);
    QCoreApplication::exit(passed ? 0 : 1);
}
