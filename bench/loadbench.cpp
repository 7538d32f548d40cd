#include "loadbench.h"

#include "admin.h"
#include "credentials.h"
#include "database.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>
#include <QWebSocket>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

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

struct LoadBench::Client {
    int index = 0;
    int group = 0;
    QString username;
    QString password;
    QWebSocket socket;
    QTimer sendTimer;
    QString groupId;
    bool loggedIn = false;
    bool hasHistory = false;
    bool hasUserList = false;
    bool ready = false;
    int sent = 0;
    // What arrived here so far, to tell a second copy from a first.
    QSet<QString> tokens;
    QSet<QString> messageIds;
    // Per sender, the last sequence number seen here; each sender's messages go through one
    // connection, so they should arrive in the order sent.
    QHash<int, int> lastSeqFrom;
};

LoadBench::LoadBench(const Options &options, QObject *parent)
    : QObject(parent)
    , options(options)
{
    clock.start();
    deadline.setSingleShot(true);
    drainTimer.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] {
        finish(phase == Phase::LoggingIn ? QStringLiteral("not every client logged in within %1 s")
                                               .arg(loginTimeoutMs / 1000)
                                         : QStringLiteral("sending did not finish in time"));
    });
    connect(&drainTimer, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("drain period over"));
    });

    const int digits = QString::number(options.connections - 1).size();
    groupSizes.assign(options.groups, 0);
    for (int i = 0; i < options.connections; ++i) {
        auto client = std::make_unique<Client>();
        client->index = i;
        client->group = i % options.groups;
        client->username =
            QStringLiteral("bench") + QString::number(i).rightJustified(digits, u'0');
        client->password = credentials::randomHex(8);
        ++groupSizes[client->group];
        clients.push_back(std::move(client));
    }
}

LoadBench::~LoadBench() = default;

QString LoadBench::groupName(int group) const
{
    return QStringLiteral("bench group %1").arg(group + 1);
}

int LoadBench::messagesPerClient() const
{
    return std::max(1, static_cast<int>(std::lround(options.rate * options.durationSeconds)));
}

bool LoadBench::start()
{
    if (!dataDir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary data directory\n");
        return false;
    }
    const qint64 setupStart = clock.nsecsElapsed();
    if (!prepareData())
        return false;
    setupNs = clock.nsecsElapsed() - setupStart;

    const qint64 serverStart = clock.nsecsElapsed();
    if (!startServer())
        return false;
    serverStartNs = clock.nsecsElapsed() - serverStart;

    connectClients();
    deadline.start(loginTimeoutMs);
    return true;
}

bool LoadBench::prepareData()
{
    // Straight into the server's database rather than one add-user process per user: each of
    // those hashes with the production rounds, about a quarter second apiece.
    Database db;
    const bool opened = db.open(dataDir.path());
    Database::Transaction transaction(db);
    if (!opened || !transaction.isActive()) {
        std::fprintf(stderr, "cannot prepare the database: %s\n", qPrintable(db.lastError()));
        return false;
    }
    for (const auto &client : clients) {
        const QString hash = credentials::hashPassword(client->password, options.hashRounds);
        if (!db.addUser(client->username, hash)) {
            std::fprintf(stderr,
                "cannot add user %s: %s\n",
                qPrintable(client->username),
                qPrintable(db.lastError()));
            return false;
        }
    }
    for (int group = 0; group < options.groups; ++group) {
        QStringList members;
        for (const auto &client : clients) {
            if (client->group == group)
                members.append(client->username);
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
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // A line per connection and login would drown the warnings that matter here.
    environment.insert(
        QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("ferrow.server.info=false"));
    server.setProcessEnvironment(environment);
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(options.serverBinary,
        { QStringLiteral("--data-dir"),
            dataDir.path(),
            QStringLiteral("--port"),
            QStringLiteral("0"),
            // Every bench client comes from loopback; the per-address cap is for strangers.
            QStringLiteral("--max-connections-per-address"),
            QStringLiteral("0") });
    if (!server.waitForStarted(serverStartTimeoutMs)) {
        std::fprintf(stderr,
            "cannot start %s: %s\n",
            qPrintable(options.serverBinary),
            qPrintable(server.errorString()));
        return false;
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
        return false;
    }
    serverUrl.setScheme(QStringLiteral("ws"));
    serverUrl.setHost(match.captured(1));
    serverUrl.setPort(match.captured(2).toInt());
    serverUrl.setPath(QStringLiteral("/ws"));

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
            printReport();
        });
    return true;
}

void LoadBench::connectClients()
{
    loginStartNs = clock.nsecsElapsed();
    for (const auto &owned : clients) {
        Client &client = *owned;
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
            if (phase == Phase::Done)
                return;
            ++disconnects;
            if (!client.ready)
                finish(
                    QStringLiteral("%1 lost its connection while logging in").arg(client.username));
        });
        connect(&client.socket,
            QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error),
            this,
            [this, &client] {
                if (phase != Phase::Done)
                    ++socketErrors[client.socket.errorString()];
            });
        connect(&client.sendTimer, &QTimer::timeout, this, [this, &client] { sendNext(client); });
        client.socket.open(serverUrl);
    }
}

void LoadBench::onFrame(Client &client, const QString &text)
{
    if (phase == Phase::Done)
        return;
    const qint64 nowNs = clock.nsecsElapsed();
    const QJsonObject frame = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString type = frame.value(typeKey).toString();
    if (type == QLatin1String("message")) {
        onMessageFrame(client, frame, nowNs);
    } else if (type == QLatin1String("error")) {
        ++errorCount;
        ++errors[frame.value(QLatin1String("message")).toString()];
    } else if (type == QLatin1String("auth_failed")) {
        finish(QStringLiteral("the login of %1 failed").arg(client.username));
    } else {
        onLoginFrame(client, frame);
    }
}

void LoadBench::onLoginFrame(Client &client, const QJsonObject &frame)
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
                && chat.value(QLatin1String("chatName")).toString() == groupName(client.group)) {
                client.groupId = chat.value(QLatin1String("chatId")).toString();
                const int members = chat.value(QLatin1String("members")).toArray().size();
                if (members != groupSizes.at(client.group)) {
                    finish(QStringLiteral("%1 sees %2 members in its group instead of %3")
                               .arg(client.username)
                               .arg(members)
                               .arg(groupSizes.at(client.group)));
                    return;
                }
            }
        }
        if (client.groupId.isEmpty()) {
            finish(QStringLiteral("%1 got no history of its group").arg(client.username));
            return;
        }
    } else if (type == QLatin1String("user_list_update")) {
        client.hasUserList = true;
    }
    if (client.ready || !client.loggedIn || !client.hasHistory || !client.hasUserList)
        return;
    client.ready = true;
    if (++readyClients == static_cast<int>(clients.size())) {
        loginDoneNs = clock.nsecsElapsed();
        startSending();
    }
}

void LoadBench::onMessageFrame(Client &client, const QJsonObject &frame, qint64 nowNs)
{
    const QString token =
        frame.value(QLatin1String("content")).toObject().value(QLatin1String("text")).toString();
    const auto sent = sentByToken.constFind(token);
    if (sent == sentByToken.constEnd()) {
        ++foreignMessages;
        return;
    }
    const QString messageId = frame.value(QLatin1String("messageId")).toString();
    if (client.tokens.contains(token)
        || (!messageId.isEmpty() && client.messageIds.contains(messageId))) {
        ++duplicates;
        return;
    }
    client.tokens.insert(token);
    client.messageIds.insert(messageId);
    if (sent->group != client.group
        || frame.value(QLatin1String("chatId")).toString() != client.groupId) {
        ++misrouted;
        return;
    }
    int &lastSeq = client.lastSeqFrom[sent->sender];
    if (sent->seq < lastSeq)
        ++outOfOrder;
    lastSeq = std::max(lastSeq, sent->seq);
    ++delivered;
    latencies.push_back(nowNs - sent->sentNs);
    lastReceiptNs = nowNs;
    if (phase == Phase::Draining && delivered >= expected)
        finish(QStringLiteral("every expected delivery arrived"));
}

void LoadBench::startSending()
{
    phase = Phase::Sending;
    sendStartNs = clock.nsecsElapsed();
    deadline.start(static_cast<int>(options.durationSeconds * 1000) + sendingSlackMs);
    const int intervalMs = std::max(1, static_cast<int>(std::lround(1000.0 / options.rate)));
    const int count = static_cast<int>(clients.size());
    for (const auto &owned : clients) {
        Client &client = *owned;
        client.sendTimer.setTimerType(Qt::PreciseTimer);
        client.sendTimer.setInterval(intervalMs);
        // Spread over one interval, so that the server sees a steady stream rather than all
        // connections sending in the same millisecond.
        const int offsetMs =
            static_cast<int>(static_cast<qint64>(intervalMs) * client.index / count);
        QTimer::singleShot(offsetMs, Qt::PreciseTimer, this, [this, &client] {
            if (phase != Phase::Sending)
                return;
            client.sendTimer.start();
            sendNext(client);
        });
    }
}

void LoadBench::sendNext(Client &client)
{
    if (phase != Phase::Sending)
        return;
    ++client.sent;
    const QString token = QStringLiteral("bench %1 %2").arg(client.username).arg(client.sent);
    const QJsonObject request { { QStringLiteral("type"), QStringLiteral("message") },
        { QStringLiteral("chatId"), client.groupId },
        { QStringLiteral("content"), QJsonObject { { QStringLiteral("text"), token } } } };
    const QString text = QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact));
    expected += groupSizes.at(client.group);
    sentByToken.insert(
        token, Sent { clock.nsecsElapsed(), client.group, client.index, client.sent });
    client.socket.sendTextMessage(text);
    if (client.sent < messagesPerClient())
        return;
    client.sendTimer.stop();
    if (++clientsDoneSending == static_cast<int>(clients.size()))
        startDraining();
}

void LoadBench::startDraining()
{
    phase = Phase::Draining;
    sendDoneNs = clock.nsecsElapsed();
    deadline.stop();
    if (delivered >= expected) {
        finish(QStringLiteral("every expected delivery arrived"));
        return;
    }
    drainTimer.start(static_cast<int>(options.drainSeconds * 1000));
}

void LoadBench::finish(const QString &reason)
{
    if (phase == Phase::Done)
        return;
    phase = Phase::Done;
    endReason = reason;
    endNs = clock.nsecsElapsed();
    deadline.stop();
    drainTimer.stop();
    for (const auto &client : clients) {
        client->sendTimer.stop();
        client->socket.close();
    }
    stopServer();
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
    const LatencySummary latency = summarizeLatencies(latencies);
    const int count = static_cast<int>(clients.size());
    const bool completed = readyClients == count && clientsDoneSending == count;
    const bool passed = completed && delivered == expected && duplicates == 0 && misrouted == 0;
    const auto ms = [](double value) -> QString {
        return QString::number(value, 'f', 2) + QStringLiteral(" ms");
    };
    const auto seconds = [](qint64 ns) -> QString {
        return QString::number(toSeconds(ns), 'f', 2) + QStringLiteral(" s");
    };

    QStringList sizes;
    for (int size : groupSizes)
        sizes.append(QString::number(size));
    qint64 sentCount = 0;
    for (const auto &client : clients)
        sentCount += client->sent;
    const qint64 sendingNs = (sendDoneNs ? sendDoneNs : endNs) - sendStartNs;

    QStringList lines;
    lines << QStringLiteral("ferrow-loadbench");
    lines << reportLine(QStringLiteral("connections"), QString::number(count));
    lines << reportLine(QStringLiteral("groups"),
        QStringLiteral("%1 (members: %2)")
            .arg(options.groups)
            .arg(sizes.join(QLatin1String(", "))));
    lines << reportLine(QStringLiteral("rate"),
        QStringLiteral("%1 msg/s per connection (server allows 20/s, burst 50)").arg(options.rate));
    lines << reportLine(QStringLiteral("duration"),
        QStringLiteral("%1 s, %2 messages per connection")
            .arg(options.durationSeconds)
            .arg(messagesPerClient()));
    lines << QStringLiteral("setup");
    lines << reportLine(QStringLiteral("users and groups"),
        QStringLiteral("%1 (PBKDF2 %2 rounds)").arg(seconds(setupNs)).arg(options.hashRounds));
    lines << reportLine(QStringLiteral("server start"),
        seconds(serverStartNs) + QStringLiteral(", ") + serverUrl.toString());
    lines << reportLine(QStringLiteral("logged in"),
        QStringLiteral("%1/%2 in %3")
            .arg(readyClients)
            .arg(count)
            .arg(seconds((loginDoneNs ? loginDoneNs : endNs) - loginStartNs)));
    lines << QStringLiteral("run");
    lines << reportLine(QStringLiteral("messages sent"),
        QStringLiteral("%1 in %2 (%3 msg/s)")
            .arg(sentCount)
            .arg(seconds(sendingNs))
            .arg(sendingNs > 0 ? sentCount / toSeconds(sendingNs) : 0.0, 0, 'f', 1));
    lines << reportLine(QStringLiteral("deliveries"),
        QStringLiteral("%1/%2 expected (%3 %)")
            .arg(delivered)
            .arg(expected)
            .arg(expected > 0 ? 100.0 * delivered / expected : 0.0, 0, 'f', 2));
    lines << reportLine(QStringLiteral("duplicates"), QString::number(duplicates));
    lines << reportLine(QStringLiteral("misrouted"), QString::number(misrouted));
    lines << reportLine(QStringLiteral("out of order"), QString::number(outOfOrder));
    lines << reportLine(QStringLiteral("unknown messages"), QString::number(foreignMessages));
    lines << reportLine(QStringLiteral("errors received"), QString::number(errorCount));
    for (auto it = errors.constBegin(); it != errors.constEnd(); ++it)
        lines << QStringLiteral("    %1 x \"%2\"").arg(it.value()).arg(it.key());
    lines << reportLine(QStringLiteral("disconnects"), QString::number(disconnects));
    for (auto it = socketErrors.constBegin(); it != socketErrors.constEnd(); ++it)
        lines << QStringLiteral("    %1 x socket error \"%2\"").arg(it.value()).arg(it.key());
    lines << reportLine(QStringLiteral("latency p50"), ms(latency.p50));
    lines << reportLine(QStringLiteral("latency p99"), ms(latency.p99));
    lines << reportLine(QStringLiteral("latency max"), ms(latency.max));
    lines << reportLine(QStringLiteral("latency mean"), ms(latency.mean));
    if (sendDoneNs && lastReceiptNs)
        lines << reportLine(QStringLiteral("drain"),
            QStringLiteral("last receipt %1 after the last send")
                .arg(ms(toMs(std::max<qint64>(0, lastReceiptNs - sendDoneNs)))));
    lines << reportLine(QStringLiteral("ended"), endReason);
    lines << QStringLiteral("server");
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
