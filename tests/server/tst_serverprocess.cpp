#include "peer.h"
#include "servertestmain.h"
#include "sqlitestore.h"
#include "testframes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace
{

const QString serverBinary = QStringLiteral(FERROW_SERVER_BINARY);

struct Result {
    int exitCode = -1;
    QString output;
    QString errors;
};

} // namespace

class TestServerProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void helpDescribesEveryCommand();
    void refusesBadCommandLines_data();
    void refusesBadCommandLines();
    void administersFromTheCommandLine();
    void passwdTakesOnlyAGoodFirstLine_data();
    void passwdTakesOnlyAGoodFirstLine();
    void listsUsersInColumnsOrAsJson();
    void seededDemoShowsChatsWithMessages();
    void stopsCleanlyOnSignal_data();
    void stopsCleanlyOnSignal();
    void busyPortFailsClearly();
    void endedMidBurstKeepsEveryEchoedMessage_data();
    void endedMidBurstKeepsEveryEchoedMessage();
    void logsInWithThousandIdleConnectionsOpen();
    void keepsTheDataPrivate_data();
    void keepsTheDataPrivate();
    void backupWhileServingRestores();

private:
    Result run(const QStringList &arguments, const QByteArray &input = QByteArray());
    // Starts serving the data directory on a free port; returns the port, 0 on failure.
    quint16 startServer();
    std::unique_ptr<Peer> login(quint16 port, const QString &username, const QString &password);
    QStringList dataDirArguments() const;
    static QString firstChatOf(const Peer &peer);
    // Ids of the messages in alice's first chat, as a fresh login sees them.
    QSet<QString> storedIds(quint16 port);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QProcess> process;
};

void TestServerProcess::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestServerProcess::cleanup()
{
    if (process) {
        process->kill();
        process->waitForFinished(5000);
        process.reset();
    }
    dir.reset();
}

QStringList TestServerProcess::dataDirArguments() const
{
    return { QStringLiteral("--data-dir"), dir->path() };
}

Result TestServerProcess::run(const QStringList &arguments, const QByteArray &input)
{
    QProcess admin;
    admin.start(serverBinary, arguments);
    if (!admin.waitForStarted(10000))
        return {};
    admin.write(input);
    admin.closeWriteChannel();
    if (!admin.waitForFinished(30000))
        return {};
    return { admin.exitStatus() == QProcess::NormalExit ? admin.exitCode() : -1,
        QString::fromUtf8(admin.readAllStandardOutput()),
        QString::fromUtf8(admin.readAllStandardError()) };
}

quint16 TestServerProcess::startServer()
{
    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::SeparateChannels);
    // The log is part of what is tested here.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    process->setProcessEnvironment(environment);
    QStringList arguments =
        dataDirArguments() + QStringList { QStringLiteral("--port"), QStringLiteral("0") };
    // The server runs on the loop its tests run on.
    if (qEnvironmentVariableIsSet("FERROW_EVENT_LOOP"))
        arguments << QStringLiteral("--event-loop") << qEnvironmentVariable("FERROW_EVENT_LOOP");
    process->start(serverBinary, arguments);
    if (!process->waitForStarted(10000))
        return 0;
    QByteArray output;
    const bool ready = QTest::qWaitFor(
        [&] {
            output += process->readAllStandardOutput();
            return output.contains('\n') || process->state() == QProcess::NotRunning;
        },
        10000);
    const QRegularExpressionMatch match = QRegularExpression(
        QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+) \\(ws:// and http://, no TLS\\)\n$"))
                                              .match(QString::fromUtf8(output));
    if (!ready || !match.hasMatch()) {
        qWarning() << "server said" << output << process->readAllStandardError();
        return 0;
    }
    return quint16(match.captured(1).toUInt());
}

std::unique_ptr<Peer> TestServerProcess::login(
    quint16 port, const QString &username, const QString &password)
{
    return Peer::loginTo(port, username, password);
}

void TestServerProcess::helpDescribesEveryCommand()
{
    const Result result = run({ QStringLiteral("--help") });
    QCOMPARE(result.exitCode, 0);
    for (const char *word : { "add-user",
             "passwd",
             "disable-user",
             "enable-user",
             "list-users",
             "--json",
             "set-avatar",
             "create-group",
             "seed-demo",
             "backup",
             "--data-dir",
             "--listen",
             "--port",
             "--history-page" })
        QVERIFY2(result.output.contains(QLatin1String(word)), word);
}

void TestServerProcess::refusesBadCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("unknown command") << QStringList { QStringLiteral("launch") };
    QTest::newRow("unknown option") << QStringList { QStringLiteral("--colour") };
    QTest::newRow("port not a number")
        << QStringList { QStringLiteral("--port"), QStringLiteral("http") };
    QTest::newRow("port too large")
        << QStringList { QStringLiteral("--port"), QStringLiteral("70000") };
    QTest::newRow("listen not an address")
        << QStringList { QStringLiteral("--listen"), QStringLiteral("the moon") };
    QTest::newRow("history page zero")
        << QStringList { QStringLiteral("--history-page"), QStringLiteral("0") };
    QTest::newRow("unknown event loop")
        << QStringList { QStringLiteral("--event-loop"), QStringLiteral("kqueue") };
    QTest::newRow("add-user without name") << QStringList { QStringLiteral("add-user") };
    QTest::newRow("set-avatar without file")
        << QStringList { QStringLiteral("set-avatar"), QStringLiteral("alice") };
    QTest::newRow("create-group without members")
        << QStringList { QStringLiteral("create-group"), QStringLiteral("Team") };
    QTest::newRow("backup without file") << QStringList { QStringLiteral("backup") };
    QTest::newRow("seed-demo with argument")
        << QStringList { QStringLiteral("seed-demo"), QStringLiteral("now") };
    QTest::newRow("passwd without name") << QStringList { QStringLiteral("passwd") };
    QTest::newRow("disable-user with two names") << QStringList {
        QStringLiteral("disable-user"), QStringLiteral("alice"), QStringLiteral("bob")
    };
    QTest::newRow("list-users with a name")
        << QStringList { QStringLiteral("list-users"), QStringLiteral("alice") };
    QTest::newRow("--json with add-user") << QStringList {
        QStringLiteral("add-user"), QStringLiteral("alice"), QStringLiteral("--json")
    };
}

void TestServerProcess::refusesBadCommandLines()
{
    QFETCH(QStringList, arguments);
    const Result result = run(dataDirArguments() + arguments);
    QCOMPARE(result.exitCode, 2);
    QVERIFY(result.errors.startsWith(QLatin1String("ferrow-server: ")));
    QVERIFY(result.output.isEmpty());
}

void TestServerProcess::administersFromTheCommandLine()
{
    Result result =
        run(dataDirArguments() + QStringList { QStringLiteral("add-user"), QStringLiteral("erin") },
            "s3cret pass\nignored\n");
    QCOMPARE(result.exitCode, 0);
    result = run(
        dataDirArguments() + QStringList { QStringLiteral("add-user"), QStringLiteral("frank") },
        "\n");
    QVERIFY(result.exitCode != 0);
    QVERIFY2(result.errors.contains(QLatin1String("password")), qPrintable(result.errors));
    result =
        run(dataDirArguments() + QStringList { QStringLiteral("add-user"), QStringLiteral("Erin") },
            "other\n");
    QVERIFY(result.exitCode != 0);
    QVERIFY2(result.errors.contains(QLatin1String("taken")), qPrintable(result.errors));
    QCOMPARE(run(dataDirArguments()
                     + QStringList { QStringLiteral("add-user"), QStringLiteral("frank") },
                 "pw")
                 .exitCode,
        0);

    const QString picture = dir->filePath(QStringLiteral("erin.jpg"));
    QFile file(picture);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("\xff\xd8\xff jpeg bytes");
    file.close();
    QCOMPARE(run(dataDirArguments()
                 + QStringList { QStringLiteral("set-avatar"), QStringLiteral("erin"), picture })
                 .exitCode,
        0);
    QVERIFY(run(dataDirArguments()
                + QStringList { QStringLiteral("set-avatar"), QStringLiteral("nobody"), picture })
                .exitCode
        != 0);
    QCOMPARE(run(dataDirArguments()
                 + QStringList { QStringLiteral("create-group"),
                     QStringLiteral("Ops"),
                     QStringLiteral("frank"),
                     QStringLiteral("erin") })
                 .exitCode,
        0);
    QVERIFY(run(dataDirArguments()
                + QStringList { QStringLiteral("create-group"),
                    QStringLiteral("Ghosts"),
                    QStringLiteral("nobody") })
                .exitCode
        != 0);

    const quint16 port = startServer();
    QVERIFY(port);
    QVERIFY(!login(port, QStringLiteral("erin"), QStringLiteral("s3cret")));
    std::unique_ptr<Peer> erin = login(port, QStringLiteral("erin"), QStringLiteral("s3cret pass"));
    QVERIFY(erin);
    const QString avatarUrl = erin->loginFrames.at(0)
                                  .value(QLatin1String("user"))
                                  .toObject()
                                  .value(QLatin1String("avatarUrl"))
                                  .toString();
    QVERIFY2(avatarUrl.startsWith(QLatin1String("/static/avatars/")), qPrintable(avatarUrl));
    const QJsonArray chats = erin->loginFrames.at(1).value(QLatin1String("chats")).toArray();
    QCOMPARE(chats.size(), 1);
    QCOMPARE(
        chats.at(0).toObject().value(QLatin1String("chatName")).toString(), QStringLiteral("Ops"));
    QCOMPARE(chats.at(0).toObject().value(QLatin1String("chatType")).toString(),
        QStringLiteral("group"));
    QCOMPARE(chats.at(0).toObject().value(QLatin1String("members")).toArray().size(), 2);
    QCOMPARE(erin->loginFrames.at(2).value(QLatin1String("users")).toArray().size(), 2);

    QTcpSocket http;
    http.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(http.waitForConnected(5000));
    http.write("GET " + avatarUrl.toUtf8() + " HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray response;
    QVERIFY(QTest::qWaitFor(
        [&] {
            response += http.readAll();
            return http.state() == QAbstractSocket::UnconnectedState;
        },
        10000));
    QVERIFY2(response.startsWith("HTTP/1.1 200 OK\r\n"), response.constData());
    QVERIFY(response.contains("Content-Type: image/jpeg"));
    QVERIFY(response.endsWith("\xff\xd8\xff jpeg bytes"));

    // Logins are logged, passwords never.
    process->terminate();
    QVERIFY(process->waitForFinished(10000));
    const QString log = QString::fromUtf8(process->readAllStandardError());
    QVERIFY2(log.contains(QLatin1String("login failed for erin")), qPrintable(log));
    QVERIFY(log.contains(QLatin1String("login of erin")));
    QVERIFY(!log.contains(QLatin1String("s3cret")));
}

void TestServerProcess::passwdTakesOnlyAGoodFirstLine_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("error");

    const QString name = QStringLiteral("Christopher");
    QTest::newRow("an empty line") << name << QByteArray("\nlong enough\n")
                                   << QStringLiteral("the password must not be empty");
    QTest::newRow("nothing at all")
        << name << QByteArray() << QStringLiteral("the password must not be empty");
    QTest::newRow("seven characters")
        << name << QByteArray("1234567\n")
        << QStringLiteral("the new password must have at least 8 characters");
    QTest::newRow("not UTF-8") << name << QByteArray("pass\xff\xfeword\n")
                               << QStringLiteral("the password is not UTF-8 text");
    QTest::newRow("the user name") << name << QByteArray("christopher\n")
                                   << QStringLiteral("the new password must not be your user name");
    QTest::newRow("an unknown user") << QStringLiteral("nobody") << QByteArray("long enough\n")
                                     << QStringLiteral("no user named \"nobody\"");
    QTest::newRow("a good line, and more")
        << name << QByteArray("long enough\r\nignored\n") << QString();
}

void TestServerProcess::passwdTakesOnlyAGoodFirstLine()
{
    QFETCH(QString, username);
    QFETCH(QByteArray, input);
    QFETCH(QString, error);
    QCOMPARE(run(dataDirArguments()
                     + QStringList { QStringLiteral("add-user"), QStringLiteral("Christopher") },
                 "first password\n")
                 .exitCode,
        0);
    const Result result =
        run(dataDirArguments() + QStringList { QStringLiteral("passwd"), username }, input);
    QCOMPARE(result.errors,
        error.isEmpty() ? QString()
                        : QStringLiteral("ferrow-server: ") + error + QLatin1Char('\n'));
    QCOMPARE(result.exitCode, error.isEmpty() ? 0 : 1);

    const quint16 port = startServer();
    QVERIFY(port);
    const QString works =
        error.isEmpty() ? QStringLiteral("long enough") : QStringLiteral("first password");
    QVERIFY(login(port, QStringLiteral("Christopher"), works));
}

void TestServerProcess::listsUsersInColumnsOrAsJson()
{
    for (const char *name : { "alice", "Bartholomew" })
        QCOMPARE(run(dataDirArguments()
                         + QStringList { QStringLiteral("add-user"), QString::fromLatin1(name) },
                     "long enough\n")
                     .exitCode,
            0);
    QCOMPARE(run(dataDirArguments()
                 + QStringList { QStringLiteral("disable-user"), QStringLiteral("Bartholomew") })
                 .exitCode,
        0);
    QString aliceId;
    QString bartId;
    {
        SqliteStore db;
        QVERIFY(db.open(dir->path()));
        aliceId = db.userByName(QStringLiteral("alice"))->id;
        bartId = db.userByName(QStringLiteral("bartholomew"))->id;
        QVERIFY(db.recordLogin(aliceId, 1700000000));
    }
    Result result = run(dataDirArguments() + QStringList { QStringLiteral("list-users") });
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(aliceId.size(), 13);
    QCOMPARE(result.output,
        QStringLiteral("NAME         ID             DISABLED  LAST LOGIN\n"
                       "alice        %1  no        2023-11-14 22:13:20 UTC\n"
                       "Bartholomew  %2  yes       never\n")
            .arg(aliceId, bartId));

    result = run(dataDirArguments()
        + QStringList { QStringLiteral("list-users"), QStringLiteral("--json") });
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = result.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(QJsonDocument::fromJson(lines.at(0).toUtf8()).object(),
        (QJsonObject { { QStringLiteral("name"), QStringLiteral("alice") },
            { QStringLiteral("id"), aliceId },
            { QStringLiteral("disabled"), false },
            { QStringLiteral("lastLogin"), 1700000000 } }));
    QCOMPARE(QJsonDocument::fromJson(lines.at(1).toUtf8()).object(),
        (QJsonObject { { QStringLiteral("name"), QStringLiteral("Bartholomew") },
            { QStringLiteral("id"), bartId },
            { QStringLiteral("disabled"), true },
            { QStringLiteral("lastLogin"), QJsonValue::Null } }));

    // Enabled again, and a login stamps the time.
    QCOMPARE(run(dataDirArguments()
                 + QStringList { QStringLiteral("enable-user"), QStringLiteral("Bartholomew") })
                 .exitCode,
        0);
    const quint16 port = startServer();
    QVERIFY(port);
    QVERIFY(login(port, QStringLiteral("Bartholomew"), QStringLiteral("long enough")));
    result = run(dataDirArguments()
        + QStringList { QStringLiteral("list-users"), QStringLiteral("--json") });
    const QJsonObject bart =
        QJsonDocument::fromJson(result.output.split(QLatin1Char('\n')).value(1).toUtf8()).object();
    QCOMPARE(bart.value(QLatin1String("disabled")), QJsonValue(false));
    QVERIFY(bart.value(QLatin1String("lastLogin")).toDouble() > 1700000000);
}

void TestServerProcess::seededDemoShowsChatsWithMessages()
{
    QCOMPARE(run(dataDirArguments() + QStringList { QStringLiteral("seed-demo") }).exitCode, 0);
    QVERIFY(run(dataDirArguments() + QStringList { QStringLiteral("seed-demo") }).exitCode != 0);
    const quint16 port = startServer();
    QVERIFY(port);
    std::unique_ptr<Peer> alice = login(port, QStringLiteral("alice"), QStringLiteral("demo"));
    QVERIFY(alice);
    const QJsonArray chats = alice->loginFrames.at(1).value(QLatin1String("chats")).toArray();
    QCOMPARE(chats.size(), 2);
    QStringList types;
    for (const QJsonValue &chat : chats) {
        types.append(chat.toObject().value(QLatin1String("chatType")).toString());
        QVERIFY(chat.toObject().value(QLatin1String("messages")).toArray().size() >= 5);
    }
    QCOMPARE(types, (QStringList { QStringLiteral("group"), QStringLiteral("private") }));
    QCOMPARE(alice->loginFrames.at(2).value(QLatin1String("users")).toArray().size(), 3);
}

void TestServerProcess::stopsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");

    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestServerProcess::stopsCleanlyOnSignal()
{
    QFETCH(int, signalNumber);
    QCOMPARE(run(dataDirArguments() + QStringList { QStringLiteral("seed-demo") }).exitCode, 0);
    const quint16 port = startServer();
    QVERIFY(port);
    std::unique_ptr<Peer> alice = login(port, QStringLiteral("alice"), QStringLiteral("demo"));
    QVERIFY(alice);

    QCOMPARE(::kill(pid_t(process->processId()), signalNumber), 0);
    QVERIFY(process->waitForFinished(10000));
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(alice->closed, 5000);
    QCOMPARE(alice->closeCode, int(QWebSocketProtocol::CloseCodeGoingAway));
    const QString log = QString::fromUtf8(process->readAllStandardError());
    QVERIFY2(log.contains(QLatin1String("login of alice")), qPrintable(log));
    QVERIFY(log.contains(QLatin1String("stopped")));
}

void TestServerProcess::busyPortFailsClearly()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
    const Result result = run(dataDirArguments()
        + QStringList { QStringLiteral("--port"), QString::number(occupant.serverPort()) });
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.output.isEmpty());
    QVERIFY2(result.errors.contains(QLatin1String("cannot listen on 127.0.0.1:")
                 + QString::number(occupant.serverPort())),
        qPrintable(result.errors));
}

QString TestServerProcess::firstChatOf(const Peer &peer)
{
    return peer.loginFrames.at(1)
        .value(QLatin1String("chats"))
        .toArray()
        .at(0)
        .toObject()
        .value(QLatin1String("chatId"))
        .toString();
}

QSet<QString> TestServerProcess::storedIds(quint16 port)
{
    std::unique_ptr<Peer> alice = login(port, QStringLiteral("alice"), QStringLiteral("demo"));
    if (!alice)
        return {};
    QSet<QString> ids;
    // Far more than the burst below, so that the first page holds every message of the run.
    alice->send(historyRequest(firstChatOf(*alice), 4e9));
    if (!alice->waitForFrames(1))
        return {};
    for (const QJsonValue &message : alice->frames.at(0)
                                         .value(QLatin1String("chats"))
                                         .toArray()
                                         .at(0)
                                         .toObject()
                                         .value(QLatin1String("messages"))
                                         .toArray())
        ids.insert(message.toObject().value(QLatin1String("messageId")).toString());
    return ids;
}

void TestServerProcess::endedMidBurstKeepsEveryEchoedMessage_data()
{
    QTest::addColumn<int>("signalNumber");

    QTest::newRow("killed") << int(SIGKILL);
    QTest::newRow("terminated") << int(SIGTERM);
}

void TestServerProcess::endedMidBurstKeepsEveryEchoedMessage()
{
    QFETCH(int, signalNumber);
    QCOMPARE(run(dataDirArguments() + QStringList { QStringLiteral("seed-demo") }).exitCode, 0);
    quint16 port = startServer();
    QVERIFY(port);
    std::unique_ptr<Peer> alice = login(port, QStringLiteral("alice"), QStringLiteral("demo"));
    QVERIFY(alice);
    const QString team = firstChatOf(*alice);

    // Ended while most of the burst is still in flight: whatever was echoed must be on disk.
    for (int i = 0; i < 45; ++i)
        alice->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("durable %1").arg(i)));
    QVERIFY(alice->waitForFrames(1));
    QCOMPARE(::kill(pid_t(process->processId()), signalNumber), 0);
    QVERIFY(process->waitForFinished(10000));
    if (signalNumber == SIGTERM) {
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 0);
        QVERIFY(alice->waitForClose());
        QCOMPARE(alice->closeCode, int(QWebSocketProtocol::CloseCodeGoingAway));
    } else {
        QVERIFY(alice->waitForClose());
    }
    QSet<QString> echoed;
    for (const QJsonObject &frame : qAsConst(alice->frames)) {
        QCOMPARE(typeOf(frame), QStringLiteral("message"));
        echoed.insert(frame.value(QLatin1String("messageId")).toString());
    }
    QVERIFY(!echoed.isEmpty());
    alice.reset();

    port = startServer();
    QVERIFY(port);
    const QSet<QString> stored = storedIds(port);
    QVERIFY(!stored.isEmpty());
    QVERIFY(stored.contains(echoed));
}

void TestServerProcess::logsInWithThousandIdleConnectionsOpen()
{
    QCOMPARE(run(dataDirArguments() + QStringList { QStringLiteral("seed-demo") }).exitCode, 0);
    rlimit saved {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 4096)
        QSKIP("the hard descriptor limit is too low for this test");
    // The server starts with the usual soft limit of 1024 and must lift it itself; this
    // process needs a descriptor per idle connection.
    rlimit usual = saved;
    usual.rlim_cur = 1024;
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &usual), 0);
    const quint16 port = startServer();
    rlimit raised = saved;
    raised.rlim_cur = saved.rlim_max;
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    QVERIFY(port);

    // Spread over many loopback addresses, so that the per-address cap does not apply.
    constexpr int idle = 1200;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < idle; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(
            sockets.back()->bind(QHostAddress(QStringLiteral("127.0.1.%1").arg(2 + i / 50)), 0));
        sockets.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    const auto allConnected = [&sockets] {
        for (const auto &socket : sockets) {
            if (socket->state() != QAbstractSocket::ConnectedState)
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(allConnected(), 30000);
    QVERIFY(login(port, QStringLiteral("alice"), QStringLiteral("demo")));
    // None of them was dropped to make room.
    QVERIFY(allConnected());
    QFile limits(QStringLiteral("/proc/%1/limits").arg(process->processId()));
    QVERIFY(limits.open(QIODevice::ReadOnly));
    const QRegularExpressionMatch files =
        QRegularExpression(QStringLiteral("Max open files +(\\d+) +(\\d+)"))
            .match(QString::fromLatin1(limits.readAll()));
    QVERIFY(files.hasMatch());
    QCOMPARE(files.captured(1), files.captured(2));
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

void TestServerProcess::keepsTheDataPrivate_data()
{
    QTest::addColumn<bool>("existing");

    QTest::newRow("new data directory") << false;
    QTest::newRow("existing directory readable by all") << true;
}

void TestServerProcess::keepsTheDataPrivate()
{
    QFETCH(bool, existing);
    const QString data = dir->filePath(QStringLiteral("data"));
    const QStringList arguments { QStringLiteral("--data-dir"), data };
    const QFile::Permissions everyoneReads =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (existing) {
        QCOMPARE(run(arguments + QStringList { QStringLiteral("seed-demo") }).exitCode, 0);
        QVERIFY(QFile::setPermissions(
            data, everyoneReads | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));
        const QStringList files = QDir(data).entryList(QDir::Files);
        QVERIFY(files.contains(QStringLiteral("ferrow.sqlite")));
        for (const QString &file : files)
            QVERIFY(QFile::setPermissions(QDir(data).filePath(file), everyoneReads));
    }
    const Result result =
        run(arguments + QStringList { QStringLiteral("add-user"), QStringLiteral("zoe") }, "pw\n");
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.errors.contains(QLatin1String("tightened permissions")), existing);

    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    QCOMPARE(QFile::permissions(data) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
        ownerOnly);
    const QStringList files = QDir(data).entryList(QDir::Files);
    QVERIFY(files.contains(QStringLiteral("ferrow.sqlite")));
    for (const QString &file : files)
        QCOMPARE(
            QFile::permissions(QDir(data).filePath(file)) & ~(QFile::ReadUser | QFile::WriteUser),
            QFile::ReadOwner | QFile::WriteOwner);
}

void TestServerProcess::backupWhileServingRestores()
{
    QCOMPARE(run(dataDirArguments() + QStringList { QStringLiteral("seed-demo") }).exitCode, 0);
    const quint16 port = startServer();
    QVERIFY(port);
    std::unique_ptr<Peer> alice = login(port, QStringLiteral("alice"), QStringLiteral("demo"));
    QVERIFY(alice);
    const QString team = firstChatOf(*alice);
    for (int i = 0; i < 5; ++i)
        alice->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("saved %1").arg(i)));
    QVERIFY(alice->waitForFrames(5));
    const QSet<QString> before = storedIds(port);

    const QString copy = dir->filePath(QStringLiteral("backup.sqlite"));
    const Result backup = run(dataDirArguments() + QStringList { QStringLiteral("backup"), copy });
    QCOMPARE(backup.exitCode, 0);
    QVERIFY2(backup.errors.isEmpty(), qPrintable(backup.errors));
    // A backup never overwrites.
    const Result again = run(dataDirArguments() + QStringList { QStringLiteral("backup"), copy });
    QCOMPARE(again.exitCode, 1);
    QVERIFY2(again.errors.contains(QLatin1String("exists")), qPrintable(again.errors));
    // Written after the copy, so not in it.
    alice->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("too late")));
    QVERIFY(alice->waitForFrames(6));
    alice.reset();
    process->terminate();
    QVERIFY(process->waitForFinished(10000));

    // Restoring is putting the copy in place of the database of a stopped server.
    auto restored = std::make_unique<QTemporaryDir>();
    QVERIFY(QFile::copy(copy, restored->filePath(QStringLiteral("ferrow.sqlite"))));
    dir.swap(restored);
    const quint16 restoredPort = startServer();
    QVERIFY(restoredPort);
    QCOMPARE(storedIds(restoredPort), before);
}

FERROW_SERVER_TEST_MAIN(TestServerProcess)

#include "tst_serverprocess.moc"
