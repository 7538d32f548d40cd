#include "peer.h"
#include "testframes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>
#include <csignal>
#include <memory>

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
    void seededDemoShowsChatsWithMessages();
    void stopsCleanlyOnSignal_data();
    void stopsCleanlyOnSignal();
    void busyPortFailsClearly();
    void killedServerKeepsEveryEchoedMessage();

private:
    Result run(const QStringList &arguments, const QByteArray &input = QByteArray());
    // Starts serving the data directory on a free port; returns the port, 0 on failure.
    quint16 startServer();
    std::unique_ptr<Peer> login(quint16 port, const QString &username, const QString &password);
    QStringList dataDirArguments() const;

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
    process->start(serverBinary,
        dataDirArguments() + QStringList { QStringLiteral("--port"), QStringLiteral("0") });
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
             "set-avatar",
             "create-group",
             "seed-demo",
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
    QTest::newRow("add-user without name") << QStringList { QStringLiteral("add-user") };
    QTest::newRow("set-avatar without file")
        << QStringList { QStringLiteral("set-avatar"), QStringLiteral("alice") };
    QTest::newRow("create-group without members")
        << QStringList { QStringLiteral("create-group"), QStringLiteral("Team") };
    QTest::newRow("seed-demo with argument")
        << QStringList { QStringLiteral("seed-demo"), QStringLiteral("now") };
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

void TestServerProcess::killedServerKeepsEveryEchoedMessage()
{
    QCOMPARE(run(dataDirArguments() + QStringList { QStringLiteral("seed-demo") }).exitCode, 0);
    quint16 port = startServer();
    QVERIFY(port);
    std::unique_ptr<Peer> alice = login(port, QStringLiteral("alice"), QStringLiteral("demo"));
    QVERIFY(alice);
    const QString team = alice->loginFrames.at(1)
                             .value(QLatin1String("chats"))
                             .toArray()
                             .at(0)
                             .toObject()
                             .value(QLatin1String("chatId"))
                             .toString();

    // Killed the moment the last echo is in: every echoed message must be on disk already.
    for (int i = 0; i < 40; ++i) {
        alice->send(messageTo(QStringLiteral("chatId"), team, QStringLiteral("durable %1").arg(i)));
    }
    QVERIFY(alice->waitForFrames(40));
    process->kill();
    QVERIFY(process->waitForFinished(5000));
    QSet<QString> echoed;
    for (const QJsonObject &frame : qAsConst(alice->frames))
        echoed.insert(frame.value(QLatin1String("messageId")).toString());
    QCOMPARE(echoed.size(), 40);
    alice.reset();

    port = startServer();
    QVERIFY(port);
    alice = login(port, QStringLiteral("alice"), QStringLiteral("demo"));
    QVERIFY(alice);
    QSet<QString> stored;
    for (const QJsonValue &message : alice->loginFrames.at(1)
                                         .value(QLatin1String("chats"))
                                         .toArray()
                                         .at(0)
                                         .toObject()
                                         .value(QLatin1String("messages"))
                                         .toArray())
        stored.insert(message.toObject().value(QLatin1String("messageId")).toString());
    QVERIFY(stored.contains(echoed));
}

QTEST_GUILESS_MAIN(TestServerProcess)

#include "tst_serverprocess.moc"
