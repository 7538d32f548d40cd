#include "chatserver.h"
#include "credentials.h"
#include "loginthrottle.h"
#include "protocol.h"
#include "servertestmain.h"
#include "sqlitestore.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QWebSocket>
#include <QtEndian>
#include <QtTest>
#include <algorithm>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

// Loopback addresses other than 127.0.0.1 stand for strangers: Linux routes all of
// 127.0.0.0/8 to this host, so a socket bound to one of them reaches the server from there.
QString strangerAddress(int index)
{
    return QStringLiteral("127.0.%1.%2").arg(1 + index / 250).arg(2 + index % 250);
}

QJsonObject loginRequest(const QString &username, const QString &password)
{
    return { { QStringLiteral("type"), QStringLiteral("login_with_password") },
        { QStringLiteral("username"), username },
        { QStringLiteral("password"), password } };
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString typeOf(const QJsonObject &frame)
{
    return frame.value(QLatin1String("type")).toString();
}

// A WebSocket client written on a plain TCP socket, so that it can come from any loopback
// address, send any handshake, and stop reading when a test wants it to.
class RawClient
{
public:
    QTcpSocket socket;
    QByteArray response;
    QList<QJsonObject> frames;
    bool closeFrame = false;
    int closeCode = -1;

    explicit RawClient(bool reading = true)
    {
        if (!reading) {
            // Qt stops taking bytes from the kernel once this much is buffered, so the
            // kernel's buffers fill and the server sees a client that does not read.
            socket.setReadBufferSize(4096);
            return;
        }
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { take(); });
    }

    bool connectFrom(const QString &local, quint16 port)
    {
        if (!local.isEmpty() && !socket.bind(QHostAddress(local), 0))
            return false;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }

    static QByteArray handshake(const QByteArray &key = newKey())
    {
        return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: "
            + key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    }

    static QByteArray newKey()
    {
        QByteArray bytes(16, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(QRandomGenerator::global()->bounded(256));
        return bytes.toBase64();
    }

    // Opens a WebSocket from `local`; true once the server has answered "101".
    bool open(const QString &local, quint16 port)
    {
        if (!connectFrom(local, port))
            return false;
        socket.write(handshake());
        return QTest::qWaitFor([this] { return !response.isEmpty() || isClosed(); }, 10000)
            && response.startsWith("HTTP/1.1 101");
    }

    // From now on the client takes nothing more from the kernel.
    void stopReading()
    {
        QObject::disconnect(&socket, &QTcpSocket::readyRead, &socket, nullptr);
        socket.setReadBufferSize(4096);
    }

    bool isClosed() const
    {
        return socket.state() == QAbstractSocket::UnconnectedState;
    }

    void sendText(const QByteArray &payload)
    {
        QByteArray frame(1, char(0x81));
        const quint64 size = quint64(payload.size());
        if (size < 126) {
            frame += char(0x80 | size);
        } else if (size < 65536) {
            frame += char(0x80 | 126);
            frame += char(size >> 8);
            frame += char(size & 0xff);
        } else {
            frame += char(0x80 | 127);
            for (int shift = 56; shift >= 0; shift -= 8)
                frame += char((size >> shift) & 0xff);
        }
        const quint32 mask = QRandomGenerator::global()->generate();
        char maskBytes[4];
        qToBigEndian(mask, maskBytes);
        frame.append(maskBytes, 4);
        for (int i = 0; i < payload.size(); ++i)
            frame += char(payload.at(i) ^ maskBytes[i % 4]);
        socket.write(frame);
    }

    void send(const QJsonObject &request)
    {
        sendText(compact(request));
    }

    bool waitForFrames(int count, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return frames.size() >= count || isClosed(); }, timeoutMs)
            && frames.size() >= count;
    }

    // Reads and parses everything buffered so far, also for a client that paused reading.
    void take()
    {
        buffer += socket.readAll();
        if (response.isEmpty()) {
            const int end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            response = buffer.left(end + 4);
            buffer.remove(0, end + 4);
        }
        while (buffer.size() >= 2) {
            const bool final = buffer.at(0) & 0x80;
            const int opcode = buffer.at(0) & 0x0f;
            quint64 size = quint8(buffer.at(1)) & 0x7f;
            int offset = 2;
            if (size == 126) {
                if (buffer.size() < 4)
                    return;
                size = qFromBigEndian<quint16>(buffer.constData() + 2);
                offset = 4;
            } else if (size == 127) {
                if (buffer.size() < 10)
                    return;
                size = qFromBigEndian<quint64>(buffer.constData() + 2);
                offset = 10;
            }
            if (quint64(buffer.size()) < offset + size)
                return;
            const QByteArray payload = buffer.mid(offset, int(size));
            buffer.remove(0, offset + int(size));
            if (opcode == 0x1 || opcode == 0x0) {
                message += payload;
                if (final) {
                    frames.append(QJsonDocument::fromJson(message).object());
                    message.clear();
                }
            } else if (opcode == 0x8) {
                closeFrame = true;
                closeCode = payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : 0;
            }
        }
    }

private:
    QByteArray buffer;
    QByteArray message;
};

// Lowers this process's soft descriptor limit for the life of the object, and takes every
// number still free below it but `spare`.
class DescriptorLimit
{
public:
    DescriptorLimit(rlim_t soft, int spare)
    {
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = soft;
        ok = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
        for (int taken = ::dup(0); ok && taken >= 0; taken = ::dup(0))
            held.push_back(taken);
        for (; spare > 0 && !held.empty(); --spare) {
            ::close(held.back());
            held.pop_back();
        }
    }
    ~DescriptorLimit()
    {
        for (const int taken : held)
            ::close(taken);
        ::setrlimit(RLIMIT_NOFILE, &saved);
    }
    bool ok = false;

private:
    rlimit saved {};
    std::vector<int> held;
};

// A data folder as servers before random message ids left it: schema version 2, ids "m" and
// the sequence number, a reply and a receipt. Alice ("ua") and Bob ("ub") share "gteam".
bool writeOldDatabase(const QString &path, const QString &passwordHash)
{
    const QStringList statements = {
        QStringLiteral("CREATE TABLE schema_version (version INTEGER NOT NULL)"),
        QStringLiteral("INSERT INTO schema_version VALUES (2)"),
        QStringLiteral("CREATE TABLE users (id TEXT PRIMARY KEY, username TEXT NOT NULL UNIQUE"
                       " COLLATE NOCASE, password_hash TEXT NOT NULL, avatar_url TEXT NOT NULL"
                       " DEFAULT '', created_at INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE chats (id TEXT PRIMARY KEY, name TEXT NOT NULL, type TEXT"
                       " NOT NULL CHECK (type IN ('private', 'group')), owner_id TEXT NOT NULL"
                       " REFERENCES users(id), avatar_url TEXT NOT NULL DEFAULT '',"
                       " created_at INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE chat_members (chat_id TEXT NOT NULL REFERENCES chats(id)"
                       " ON DELETE CASCADE, user_id TEXT NOT NULL REFERENCES users(id),"
                       " position INTEGER NOT NULL, PRIMARY KEY (chat_id, user_id))"),
        QStringLiteral("CREATE INDEX chat_members_by_user ON chat_members(user_id)"),
        QStringLiteral("CREATE TABLE messages (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " chat_id TEXT NOT NULL REFERENCES chats(id) ON DELETE CASCADE,"
                       " sender_id TEXT NOT NULL REFERENCES users(id), text TEXT NOT NULL,"
                       " reply_to_id TEXT, timestamp INTEGER NOT NULL,"
                       " edited_at INTEGER NOT NULL DEFAULT 0)"),
        QStringLiteral("CREATE INDEX messages_by_chat_time ON messages(chat_id, timestamp, seq)"),
        QStringLiteral("CREATE TABLE message_seen (message_seq INTEGER NOT NULL REFERENCES"
                       " messages(seq) ON DELETE CASCADE, user_id TEXT NOT NULL REFERENCES"
                       " users(id), seen_at INTEGER NOT NULL, PRIMARY KEY (message_seq, user_id))"),
        QStringLiteral("CREATE TABLE login_tokens (token_hash TEXT PRIMARY KEY, user_id TEXT NOT"
                       " NULL REFERENCES users(id) ON DELETE CASCADE, last_used INTEGER NOT NULL)"),
        QStringLiteral("CREATE INDEX login_tokens_by_use ON login_tokens(last_used)"),
        QStringLiteral("INSERT INTO users VALUES ('ua', 'alice', :hash, '', 0),"
                       " ('ub', 'bob', :hash, '', 0)"),
        QStringLiteral("INSERT INTO chats VALUES ('gteam', 'Team', 'group', 'ua', '', 0)"),
        QStringLiteral("INSERT INTO chat_members VALUES ('gteam', 'ua', 0), ('gteam', 'ub', 1)"),
        QStringLiteral("INSERT INTO messages (chat_id, sender_id, text, reply_to_id, timestamp)"
                       " VALUES ('gteam', 'ub', 'one', NULL, 100), ('gteam', 'ua', 'two', NULL,"
                       " 100), ('gteam', 'ua', 'three', NULL, 101), ('gteam', 'ua', 'four', NULL,"
                       " 102), ('gteam', 'ub', 'five', 'm2', 103), ('gteam', 'ub', 'six', NULL,"
                       " 104)"),
        QStringLiteral("INSERT INTO message_seen VALUES (1, 'ua', 200)"),
    };
    bool ok = true;
    {
        QSqlDatabase raw =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        raw.setDatabaseName(path);
        ok = raw.open();
        for (const QString &statement : statements) {
            QSqlQuery query(raw);
            ok = ok && query.prepare(statement);
            if (statement.contains(QLatin1String(":hash")))
                query.bindValue(QStringLiteral(":hash"), passwordHash);
            ok = ok && query.exec();
        }
        raw.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));
    return ok;
}

QStringList messageIdsOf(const QJsonObject &historyFrame)
{
    QStringList ids;
    for (const QJsonValue &message : historyFrame.value(QLatin1String("chats"))
                                         .toArray()
                                         .at(0)
                                         .toObject()
                                         .value(QLatin1String("messages"))
                                         .toArray())
        ids.append(message.toObject().value(QLatin1String("messageId")).toString());
    return ids;
}

// One above the highest descriptor open: a limit of this many leaves no number free.
int descriptorsInUse()
{
    int highest = 0;
    const QStringList names =
        QDir(QStringLiteral("/proc/self/fd"))
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        highest = std::max(highest, name.toInt() + 1);
    return highest;
}

} // namespace

class TestServerLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void connectionsPerAddressAreCapped();
    void connectionsThatDoNotLogInAreClosed_data();
    void connectionsThatDoNotLogInAreClosed();
    void acceptingResumesWhenDescriptorsRunOut_data();
    void acceptingResumesWhenDescriptorsRunOut();
    void loginIsAnsweredDuringLoginFlood_data();
    void loginIsAnsweredDuringLoginFlood();
    void failuresOnOtherAccountsDoNotLockOutTheAddress_data();
    void failuresOnOtherAccountsDoNotLockOutTheAddress();
    void simultaneousLoginsFromOneAddressAreAllServed();
    void loginWaitsOnlyForChecksAlreadyHashing();
    void abandonedLoginsCountAsFailures();
    void refusedLoginsAreCountedByReason();
    void passwordGuessingIsThrottled_data();
    void passwordGuessingIsThrottled();
    void clientThatDoesNotReadIsClosed();
    void connectionsPerUserAreCapped();
    void badHandshakesAreAnswered_data();
    void badHandshakesAreAnswered();
    void everyMessageOfOneSecondIsReachedByPaging();
    void downloadsAreStreamedAndStalledOnesCut();
    void oldMessageIdsStayValidAndNewOnesAreRandom();

private:
    void startServer(const ChatServer::Options &options);
    ChatServer::Options defaults() const;
    std::unique_ptr<RawClient> open(const QString &local = QString());
    std::unique_ptr<RawClient> login(const QString &username, const QString &local = QString());

    QString passwordHash;
    QString slowHash;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SqliteStore> db;
    std::unique_ptr<ChatServer> server;
    QString alice, bob, team;
};

void TestServerLimits::initTestCase()
{
    // The cheapest hash keeps the many logins quick; the server hashes with the same limits.
    passwordHash = credentials::hashPassword(QStringLiteral("secret"), credentials::cheapestLimits);
    // A check that stays hashing long enough to be cut short: only PBKDF2's can be.
    slowHash = credentials::hashPasswordPbkdf2(QStringLiteral("secret"), 400000);
}

void TestServerLimits::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    db = std::make_unique<SqliteStore>();
    QVERIFY(db->open(dir->path()));
    alice = db->addUser(QStringLiteral("alice"), passwordHash)->id;
    bob = db->addUser(QStringLiteral("bob"), passwordHash)->id;
    // Checked far slower than the shortest login deadline tested.
    const QString slow = db->addUser(QStringLiteral("slow"), slowHash)->id;
    team = db->createChat(QString(),
                 QStringLiteral("Team"),
                 QStringLiteral("group"),
                 alice,
                 { alice, bob, slow })
               ->id;
}

void TestServerLimits::cleanup()
{
    server.reset();
    db.reset();
    dir.reset();
}

ChatServer::Options TestServerLimits::defaults() const
{
    ChatServer::Options options;
    options.staticDir = dir->filePath(QStringLiteral("static"));
    options.passwordLimits = credentials::cheapestLimits;
    return options;
}

void TestServerLimits::startServer(const ChatServer::Options &options)
{
    server = std::make_unique<ChatServer>(SqliteStore::connector(dir->path()), options);
    QVERIFY(server->listen(QHostAddress::LocalHost, 0));
}

std::unique_ptr<RawClient> TestServerLimits::open(const QString &local)
{
    auto client = std::make_unique<RawClient>();
    if (!client->open(local, server->serverPort()))
        return nullptr;
    return client;
}

std::unique_ptr<RawClient> TestServerLimits::login(const QString &username, const QString &local)
{
    std::unique_ptr<RawClient> client = open(local);
    if (!client)
        return nullptr;
    client->send(loginRequest(username, QStringLiteral("secret")));
    if (!client->waitForFrames(3) || typeOf(client->frames.at(0)) != QLatin1String("login_success"))
        return nullptr;
    client->frames.clear();
    return client;
}

void TestServerLimits::connectionsPerAddressAreCapped()
{
    ChatServer::Options options = defaults();
    options.maxConnectionsPerAddress = 3;
    startServer(options);
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(open(strangerAddress(0)));
        QVERIFY(held.back());
    }
    QVERIFY(!open(strangerAddress(0)));
    // An HTTP request from there is refused too, while other addresses are served.
    RawClient http;
    QVERIFY(http.connectFrom(strangerAddress(0), server->serverPort()));
    http.socket.write("GET /static/default.png HTTP/1.1\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(http.isClosed(), 10000);
    QCOMPARE(http.response, QByteArray());
    QVERIFY(login(QStringLiteral("alice"), strangerAddress(1)));
    QVERIFY(login(QStringLiteral("bob")));

    // A closed connection frees its place.
    held.pop_back();
    QTRY_VERIFY_WITH_TIMEOUT(login(QStringLiteral("alice"), strangerAddress(0)), 10000);
}

void TestServerLimits::connectionsThatDoNotLogInAreClosed_data()
{
    QTest::addColumn<QByteArrayList>("requests");
    QTest::addColumn<QString>("expected");

    const QByteArray right =
        compact(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    const QByteArray wrong =
        compact(loginRequest(QStringLiteral("alice"), QStringLiteral("guess")));
    QTest::newRow("silent") << QByteArrayList() << QString();
    QTest::newRow("only bad requests") << QByteArrayList { "{\"type\":", "[]" } << QString();
    QTest::newRow("refused login") << QByteArrayList { wrong } << QStringLiteral("auth_failed");
    QTest::newRow("logged in") << QByteArrayList { right } << QStringLiteral("login_success");
    QTest::newRow("slow password check") << QByteArrayList {
        compact(loginRequest(QStringLiteral("slow"), QStringLiteral("secret")))
    } << QStringLiteral("login_success");
}

void TestServerLimits::connectionsThatDoNotLogInAreClosed()
{
    QFETCH(QByteArrayList, requests);
    QFETCH(QString, expected);
    // A check far slower than the deadline: asking counts, not finishing in time.
    ChatServer::Options options = defaults();
    options.loginTimeoutMs = 300;
    startServer(options);

    std::unique_ptr<RawClient> subject = open();
    QVERIFY(subject);
    for (const QByteArray &request : requests)
        subject->sendText(request);
    // A witness opened after the subject's requests is closed after its own deadline, by
    // which time the subject's has passed too.
    std::unique_ptr<RawClient> witness = open();
    QVERIFY(witness);
    QTRY_VERIFY_WITH_TIMEOUT(witness->isClosed(), 10000);
    QVERIFY(witness->closeFrame);
    QCOMPARE(witness->closeCode, int(QWebSocketProtocol::CloseCodePolicyViolated));

    if (expected.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(subject->isClosed(), 10000);
        QVERIFY(subject->frames.size() == requests.size());
        return;
    }
    QVERIFY(subject->waitForFrames(1, 30000));
    QCOMPARE(typeOf(subject->frames.at(0)), expected);
    if (expected == QLatin1String("auth_failed")) {
        // Refused, it has the full time again, and no more.
        QTRY_VERIFY_WITH_TIMEOUT(subject->isClosed(), 10000);
        return;
    }
    QVERIFY(subject->waitForFrames(3));
    subject->frames.clear();
    subject->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("before"), 0 } });
    QVERIFY(subject->waitForFrames(1));
    QCOMPARE(typeOf(subject->frames.at(0)), QStringLiteral("chat_history"));
    QVERIFY(!subject->isClosed());
}

void TestServerLimits::acceptingResumesWhenDescriptorsRunOut_data()
{
    QTest::addColumn<bool>("logIn");

    // Connected before the limit drops: the kernel completes them, the server has yet to
    // accept them, and each takes one more descriptor when it does.
    QTest::newRow("requests waiting to be accepted") << false;
    // Accepted before: their password checks are the first the server hashes.
    QTest::newRow("first logins") << true;
}

void TestServerLimits::acceptingResumesWhenDescriptorsRunOut()
{
    QFETCH(bool, logIn);
    startServer(defaults());
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < (logIn ? 3 : 40); ++i) {
        if (logIn) {
            clients.push_back(open());
            QVERIFY(clients.back());
            continue;
        }
        clients.push_back(std::make_unique<RawClient>());
        QVERIFY(clients.back()->connectFrom(QString(), server->serverPort()));
        clients.back()->socket.write("GET /missing HTTP/1.1\r\n\r\n");
    }
    const DescriptorLimit limit(rlim_t(descriptorsInUse() + 5), logIn ? 0 : 5);
    QVERIFY(limit.ok);
    if (logIn) {
        for (const auto &client : clients)
            client->send(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    }
    const auto answered = [&clients, logIn] {
        for (const auto &client : clients) {
            const bool done = logIn ? !client->frames.isEmpty()
                    && typeOf(client->frames.at(0)) == QLatin1String("login_success")
                                    : client->response.startsWith("HTTP/1.1 404");
            if (!done)
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(answered(), 20000);
}

void TestServerLimits::loginIsAnsweredDuringLoginFlood_data()
{
    QTest::addColumn<int>("addresses");
    QTest::addColumn<int>("perAddress");
    QTest::addColumn<bool>("hangUp");

    QTest::newRow("300 hang-ups from 10 addresses") << 10 << 30 << true;
    QTest::newRow("200 waiting guesses from 20 addresses") << 20 << 10 << false;
    QTest::newRow("40 waiting guesses from one address") << 1 << 40 << false;
}

void TestServerLimits::loginIsAnsweredDuringLoginFlood()
{
    QFETCH(int, addresses);
    QFETCH(int, perAddress);
    QFETCH(bool, hangUp);
    startServer(defaults());
    // Unknown names are checked against a hash of full strength, as a stranger's would be.
    std::vector<std::unique_ptr<RawClient>> flood;
    for (int i = 0; i < addresses * perAddress; ++i) {
        flood.push_back(std::make_unique<RawClient>());
        QTcpSocket &socket = flood.back()->socket;
        QVERIFY(socket.bind(QHostAddress(strangerAddress(i % addresses)), 0));
        // Written once connected; more connections than the listen backlog come in while the
        // server accepts.
        QObject::connect(&socket, &QTcpSocket::connected, &socket, [&socket] {
            socket.write(RawClient::handshake());
        });
        socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
    }
    const auto upgraded = [&flood] {
        return std::all_of(flood.begin(), flood.end(), [](const auto &client) {
            return !client->response.isEmpty();
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(upgraded(), 30000);
    for (const auto &client : flood) {
        client->send(loginRequest(QStringLiteral("nobody"), QStringLiteral("guess")));
        if (hangUp)
            client->socket.disconnectFromHost();
    }

    // Guessing is under way: a round of addresses has had a check.
    const auto answers = [&flood] {
        return std::count_if(flood.begin(), flood.end(), [](const auto &client) {
            return !client->frames.isEmpty();
        });
    };
    if (!hangUp)
        QTRY_VERIFY_WITH_TIMEOUT(answers() >= addresses, 60000);

    std::unique_ptr<RawClient> real = open();
    QVERIFY(real);
    real->send(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(real->waitForFrames(1, 10000));
    QCOMPARE(typeOf(real->frames.at(0)), QStringLiteral("login_success"));

    if (addresses > 1)
        return;
    // Every guess waits for its turn and is answered, checked or throttled; none is turned away.
    const auto answered = [&flood] {
        return std::all_of(flood.begin(), flood.end(), [](const auto &client) {
            return !client->frames.isEmpty();
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(answered(), 120000);
    for (const auto &client : flood)
        QCOMPARE(typeOf(client->frames.at(0)), QStringLiteral("auth_failed"));
}

void TestServerLimits::failuresOnOtherAccountsDoNotLockOutTheAddress_data()
{
    QTest::addColumn<QJsonObject>("failure");

    QTest::newRow("unknown name") << loginRequest(QStringLiteral("nobody"), QStringLiteral("x"));
    QTest::newRow("another account") << loginRequest(QStringLiteral("bob"), QStringLiteral("x"));
    QTest::newRow("stale token") << QJsonObject { { QStringLiteral("type"),
                                                      QStringLiteral("login_with_token") },
        { QStringLiteral("token"), credentials::newToken() } };
}

void TestServerLimits::failuresOnOtherAccountsDoNotLockOutTheAddress()
{
    QFETCH(QJsonObject, failure);
    startServer(defaults());
    // Colleagues behind one router: twenty failed logins from 127.0.0.1, all answered.
    std::vector<std::unique_ptr<RawClient>> failed;
    for (int i = 0; i < 20; ++i) {
        failed.push_back(open());
        QVERIFY(failed.back());
        failed.back()->send(failure);
    }
    for (const auto &client : failed) {
        QVERIFY(client->waitForFrames(1, 60000));
        QCOMPARE(typeOf(client->frames.at(0)), QStringLiteral("auth_failed"));
    }

    std::unique_ptr<RawClient> real = open();
    QVERIFY(real);
    real->send(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(real->waitForFrames(1, 2000));
    QCOMPARE(typeOf(real->frames.at(0)), QStringLiteral("login_success"));
}

void TestServerLimits::simultaneousLoginsFromOneAddressAreAllServed()
{
    ChatServer::Options options = defaults();
    options.maxConnectionsPerUser = 0;
    startServer(options);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(open());
        QVERIFY(clients.back());
    }
    for (const auto &client : clients)
        client->send(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    for (const auto &client : clients) {
        QVERIFY(client->waitForFrames(1, 5000));
        QCOMPARE(typeOf(client->frames.at(0)), QStringLiteral("login_success"));
    }
}

void TestServerLimits::loginWaitsOnlyForChecksAlreadyHashing()
{
    startServer(defaults());
    // Strangers, each from an address of its own, guess the slow account's password; every
    // guess is in line before the real user comes.
    std::vector<std::unique_ptr<RawClient>> guessers;
    for (int i = 0; i < 12; ++i) {
        guessers.push_back(open(strangerAddress(i)));
        QVERIFY(guessers.back());
        guessers.back()->send(loginRequest(QStringLiteral("slow"), QStringLiteral("guess")));
    }
    for (const auto &guesser : guessers)
        QTRY_COMPARE(guesser->socket.bytesToWrite(), qint64(0));
    std::unique_ptr<RawClient> real = open();
    QVERIFY(real);
    real->send(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(real->waitForFrames(1, 60000));
    QCOMPARE(typeOf(real->frames.at(0)), QStringLiteral("login_success"));
    const auto answered = std::count_if(guessers.begin(), guessers.end(), [](const auto &guesser) {
        return !guesser->frames.isEmpty();
    });
    // Only the checks already hashing went before it, one per thread at most; those hashing
    // beside it may end while its token is stored. A few, not the twelve in line.
    QVERIFY2(answered <= 2 * QThread::idealThreadCount(), qPrintable(QString::number(answered)));
}

void TestServerLimits::abandonedLoginsCountAsFailures()
{
    startServer(defaults());
    // Each hangs up while its check, slow to hash, is still waiting or hashing.
    for (int i = 0; i < LoginThrottle::freeFailures; ++i) {
        std::unique_ptr<RawClient> client = open(strangerAddress(0));
        QVERIFY(client);
        client->send(loginRequest(QStringLiteral("slow"), QStringLiteral("secret")));
        QTRY_COMPARE(client->socket.bytesToWrite(), qint64(0));
        client->socket.abort();
        QTRY_COMPARE(server->connectionCount(), 0);
    }
    // The account is throttled for that address, and for no other account there.
    std::unique_ptr<RawClient> same = open(strangerAddress(0));
    QVERIFY(same);
    same->send(loginRequest(QStringLiteral("slow"), QStringLiteral("secret")));
    QVERIFY(same->waitForFrames(1));
    QCOMPARE(same->frames.at(0), protocol::throttledLoginFrame(1));
    QVERIFY(login(QStringLiteral("alice"), strangerAddress(0)));
}

void TestServerLimits::refusedLoginsAreCountedByReason()
{
    ChatServer::Options options = defaults();
    options.maxWaitingLogins = 2;
    options.maxConnectionsPerUser = 1;
    options.clock = [] { return qint64(1700000000000); };
    startServer(options);

    // Wrong passwords: checked until the throttle holds the account, then refused unchecked.
    std::unique_ptr<RawClient> guesser = open(strangerAddress(0));
    QVERIFY(guesser);
    for (int guess = 0; guess < LoginThrottle::freeFailures + 2; ++guess) {
        guesser->frames.clear();
        guesser->send(loginRequest(QStringLiteral("alice"), QStringLiteral("wrong")));
        QVERIFY(guesser->waitForFrames(1));
    }
    // One check hashing and two waiting, from one address; the next finds the line full.
    std::vector<std::unique_ptr<RawClient>> queued;
    for (int i = 0; i < 4; ++i) {
        queued.push_back(open(strangerAddress(1)));
        QVERIFY(queued.back());
        queued.back()->send(loginRequest(QStringLiteral("slow"), QStringLiteral("wrong")));
    }
    QVERIFY(queued.back()->waitForFrames(1));
    QCOMPARE(queued.back()->frames.at(0).value(QLatin1String("message")).toString(),
        QStringLiteral("Too many logins at once; try again shortly"));
    // Given up before their answers: no refusal of the server's.
    queued.clear();
    QTRY_COMPARE(server->connectionCount(), 1);
    // A second connection of a user who may have one.
    std::unique_ptr<RawClient> first = login(QStringLiteral("alice"), strangerAddress(2));
    QVERIFY(first);
    std::unique_ptr<RawClient> second = open(strangerAddress(3));
    QVERIFY(second);
    second->send(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(second->waitForFrames(1));

    QTcpSocket http;
    http.connectToHost(QHostAddress::LocalHost, server->serverPort());
    QVERIFY(http.waitForConnected(5000));
    http.write("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray metrics;
    QVERIFY(QTest::qWaitFor(
        [&] {
            metrics += http.readAll();
            return http.state() == QAbstractSocket::UnconnectedState;
        },
        10000));
    metrics += http.readAll();
    const QByteArray expected = "ferrow_logins_refused_total{reason=\"bad_credentials\"} 5\n"
                                "ferrow_logins_refused_total{reason=\"throttled\"} 2\n"
                                "ferrow_logins_refused_total{reason=\"queue_full\"} 1\n"
                                "ferrow_logins_refused_total{reason=\"too_many_connections\"} 1\n";
    QVERIFY2(metrics.contains(expected), metrics.constData());
}

void TestServerLimits::passwordGuessingIsThrottled_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("guessers");
    QTest::addColumn<bool>("lockedOut");
    // What is left of the wait after the seven guesses, when the clock stands still.
    QTest::addColumn<int>("waitMs");

    QTest::newRow("one address, known name") << "alice" << 1 << true << 1000;
    QTest::newRow("one address, name in other case") << "ALICE" << 1 << true << 1000;
    QTest::newRow("one address, unknown name") << "mallory" << 1 << false << 1000;
    QTest::newRow("seven addresses, known name") << "alice" << 7 << true << 4000;
    QTest::newRow("seven addresses, unknown name") << "mallory" << 7 << false << 4000;
}

void TestServerLimits::passwordGuessingIsThrottled()
{
    QFETCH(QString, target);
    QFETCH(int, guessers);
    QFETCH(bool, lockedOut);
    QFETCH(int, waitMs);
    qint64 now = 1700000000000;
    ChatServer::Options options = defaults();
    options.clock = [&now] { return now; };
    // Every guesser connects first and guesses in turn; on a slow build the last ones must not
    // meet the login deadline, which is another test's subject.
    options.loginTimeoutMs = 10 * 60 * 1000;
    startServer(options);

    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < guessers; ++i) {
        clients.push_back(open(strangerAddress(i)));
        QVERIFY(clients.back());
    }
    const auto answer = [](RawClient &client, const QJsonObject &request) {
        client.frames.clear();
        client.send(request);
        return client.waitForFrames(1) ? client.frames.at(0) : QJsonObject();
    };
    // Checked until an address has failed on the name a few times, then refused unchecked with
    // the wait (the clock stands still), whether the name exists or not.
    for (int guess = 0; guess < 7; ++guess) {
        RawClient &client = *clients.at(guess % guessers);
        const bool throttled = guess / guessers >= LoginThrottle::freeFailures;
        QCOMPARE(answer(client, loginRequest(target, QStringLiteral("guess %1").arg(guess))),
            throttled ? protocol::throttledLoginFrame(waitMs) : protocol::authFailedFrame());
    }

    // The right password from a guesser's address is refused unchecked while the wait lasts...
    const QJsonObject right = loginRequest(QStringLiteral("alice"), QStringLiteral("secret"));
    const QJsonObject guesserAnswer = answer(*clients.front(), right);
    if (lockedOut)
        QCOMPARE(guesserAnswer, protocol::throttledLoginFrame(waitMs));
    else
        QCOMPARE(typeOf(guesserAnswer), QStringLiteral("login_success"));
    // ...never from anywhere else...
    QVERIFY(login(QStringLiteral("alice"), strangerAddress(guessers)));
    if (!lockedOut)
        return;
    // ...and accepted once it is over.
    now += 5 * 60 * 1000;
    QCOMPARE(typeOf(answer(*clients.front(), right)), QStringLiteral("login_success"));
}

void TestServerLimits::clientThatDoesNotReadIsClosed()
{
    {
        Store::Transaction transaction(*db);
        for (int i = 0; i < 200; ++i)
            QVERIFY(
                db->addMessage(team, bob, QString(4000, QLatin1Char('x')), QString(), 1000 + i));
        QVERIFY(transaction.commit());
    }
    ChatServer::Options options = defaults();
    options.historyPage = 200;
    startServer(options);
    std::unique_ptr<RawClient> reader = login(QStringLiteral("alice"));
    std::unique_ptr<RawClient> other = login(QStringLiteral("bob"));
    QVERIFY(reader && other);

    // About 24 MB of answers, of which the kernel's buffers take only a part.
    reader->stopReading();
    for (int i = 0; i < 30; ++i)
        reader->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
            { QStringLiteral("chatId"), team },
            { QStringLiteral("before"), 2000 } });
    QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 1, 20000);

    // The others are served as before.
    other->send({ { QStringLiteral("type"), QStringLiteral("message") },
        { QStringLiteral("chatId"), team },
        { QStringLiteral("content"),
            QJsonObject { { QStringLiteral("text"), QStringLiteral("hi") } } } });
    QVERIFY(other->waitForFrames(1));
    QCOMPARE(typeOf(other->frames.at(0)), QStringLiteral("message"));
}

void TestServerLimits::connectionsPerUserAreCapped()
{
    ChatServer::Options options = defaults();
    options.maxConnectionsPerUser = 3;
    startServer(options);
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(login(QStringLiteral("alice"), strangerAddress(i)));
        QVERIFY(held.back());
    }
    std::unique_ptr<RawClient> extra = open(strangerAddress(3));
    QVERIFY(extra);
    extra->send(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(extra->waitForFrames(1));
    QCOMPARE(extra->frames.at(0),
        protocol::errorFrame(QStringLiteral("Too many connections for this account")));
    QTRY_VERIFY_WITH_TIMEOUT(extra->isClosed(), 10000);
    QCOMPARE(extra->closeCode, int(QWebSocketProtocol::CloseCodePolicyViolated));
    QVERIFY(login(QStringLiteral("bob")));

    held.pop_back();
    QTRY_VERIFY_WITH_TIMEOUT(login(QStringLiteral("alice")), 10000);
}

void TestServerLimits::badHandshakesAreAnswered_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");

    const QByteArray good = RawClient::handshake();
    const auto without = [&good](const QByteArray &header) {
        QByteArray request = good;
        const int start = request.indexOf("\r\n" + header) + 2;
        request.remove(start, request.indexOf("\r\n", start) + 2 - start);
        return request;
    };
    QTest::newRow("valid") << good << QByteArray("101");
    QTest::newRow("valid with query and other case")
        << QByteArray(good).replace("/ws", "/ws?v=1").replace("websocket", "WebSocket")
        << QByteArray("101");
    QTest::newRow("no key") << without("Sec-WebSocket-Key") << QByteArray("400");
    QTest::newRow("no version") << without("Sec-WebSocket-Version") << QByteArray("400");
    QTest::newRow("no Connection") << without("Connection") << QByteArray("400");
    QTest::newRow("no Upgrade") << without("Upgrade") << QByteArray("400");
    QTest::newRow("POST") << QByteArray(good).replace("GET ", "POST ") << QByteArray("400");
    QTest::newRow("HTTP/1.0") << QByteArray(good).replace("HTTP/1.1", "HTTP/1.0")
                              << QByteArray("400");
    QTest::newRow("key of 15 bytes")
        << RawClient::handshake(QByteArray(15, 'k').toBase64()) << QByteArray("400");
    QTest::newRow("key of 17 bytes")
        << RawClient::handshake(QByteArray(17, 'k').toBase64()) << QByteArray("400");
    QTest::newRow("key not base64")
        << RawClient::handshake("!!!!!!!!!!!!!!!!!!!!!!==") << QByteArray("400");
    QTest::newRow("version 8") << QByteArray(good).replace("Version: 13", "Version: 8")
                               << QByteArray("426");
}

void TestServerLimits::badHandshakesAreAnswered()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    startServer(defaults());
    RawClient client;
    QVERIFY(client.connectFrom(QString(), server->serverPort()));
    client.socket.write(request);
    QTRY_VERIFY_WITH_TIMEOUT(!client.response.isEmpty() || client.isClosed(), 10000);
    QVERIFY2(client.response.startsWith("HTTP/1.1 " + status + ' '), client.response.constData());
    if (status == "426")
        QVERIFY(client.response.contains("\r\nSec-WebSocket-Version: 13\r\n"));
    if (status != "101")
        QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
}

void TestServerLimits::everyMessageOfOneSecondIsReachedByPaging()
{
    QSet<QString> stored;
    {
        Store::Transaction transaction(*db);
        for (int i = 0; i < 760; ++i)
            stored.insert(
                db->addMessage(team, bob, QString::number(i), QString(), i < 60 ? 500 + i : 1000)
                    ->id);
        QVERIFY(transaction.commit());
    }
    startServer(defaults());
    std::unique_ptr<RawClient> client = open();
    QVERIFY(client);
    client->send(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(client->waitForFrames(3));

    // What the client does: ask for what is older than the oldest message it holds.
    QSet<QString> held;
    qint64 oldest = std::numeric_limits<qint64>::max();
    QJsonObject page = client->frames.at(1);
    for (int request = 0; request < 100; ++request) {
        const qint64 before = oldest;
        for (const QJsonValue &value : page.value(QLatin1String("chats"))
                                           .toArray()
                                           .at(0)
                                           .toObject()
                                           .value(QLatin1String("messages"))
                                           .toArray()) {
            held.insert(value.toObject().value(QLatin1String("messageId")).toString());
            oldest = std::min(
                oldest, qint64(value.toObject().value(QLatin1String("timestamp")).toDouble()));
        }
        if (oldest == before)
            break;
        client->frames.clear();
        client->send({ { QStringLiteral("type"), QStringLiteral("get_history") },
            { QStringLiteral("chatId"), team },
            { QStringLiteral("before"), oldest } });
        QVERIFY(client->waitForFrames(1));
        page = client->frames.at(0);
    }
    QCOMPARE(held.size(), stored.size());
    QCOMPARE(held, stored);
}

void TestServerLimits::downloadsAreStreamedAndStalledOnesCut()
{
    ChatServer::Options options = defaults();
    options.maxConnectionsPerAddress = 1;
    options.staticWriteTimeoutMs = 300;
    startServer(options);
    // More than the kernel buffers of both ends take, so that the stalled download stays stuck.
    QByteArray content(12 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(QRandomGenerator::global()->bounded(256));
    QFile file(QDir(options.staticDir).filePath(QStringLiteral("big.png")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const QByteArray request = "GET /static/big.png HTTP/1.1\r\nHost: x\r\n\r\n";

    // A client that stops reading holds the only place of its address...
    RawClient stalled(false);
    QVERIFY(stalled.connectFrom(strangerAddress(0), server->serverPort()));
    stalled.socket.write(request);
    // ...until the server gives up on it; then the next one gets the whole file.
    const auto download = [&] {
        QTcpSocket socket;
        socket.bind(QHostAddress(strangerAddress(0)), 0);
        socket.connectToHost(QHostAddress::LocalHost, server->serverPort());
        if (!socket.waitForConnected(5000))
            return QByteArray();
        socket.write(request);
        QByteArray response;
        const bool done = QTest::qWaitFor(
            [&] {
                response += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            10000);
        return done ? response + socket.readAll() : QByteArray();
    };
    QByteArray response;
    QTRY_VERIFY_WITH_TIMEOUT(!(response = download()).isEmpty(), 20000);
    const int headEnd = response.indexOf("\r\n\r\n");
    QVERIFY(response.startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(response.left(headEnd).contains("\r\nContent-Length: 12582912\r\n"));
    QVERIFY(response.mid(headEnd + 4) == content);
}

void TestServerLimits::oldMessageIdsStayValidAndNewOnesAreRandom()
{
    db.reset();
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(writeOldDatabase(dir->filePath(SqliteStore::fileName), passwordHash));
    db = std::make_unique<SqliteStore>();
    QVERIFY2(db->open(dir->path()), qPrintable(db->lastError()));
    ChatServer::Options options = defaults();
    options.historyPage = 3;
    // Every new message in one second: their order can only come from the order they were sent.
    options.clock = [] { return qint64(5000) * 1000; };
    startServer(options);
    std::unique_ptr<RawClient> client = open();
    QVERIFY(client);
    client->send(loginRequest(QStringLiteral("alice"), QStringLiteral("secret")));
    QVERIFY(client->waitForFrames(3));
    QCOMPARE(typeOf(client->frames.at(0)), QStringLiteral("login_success"));
    QCOMPARE(messageIdsOf(client->frames.at(1)),
        (QStringList { QStringLiteral("m4"), QStringLiteral("m5"), QStringLiteral("m6") }));
    const QJsonObject reply = client->frames.at(1)
                                  .value(QLatin1String("chats"))
                                  .toArray()
                                  .at(0)
                                  .toObject()
                                  .value(QLatin1String("messages"))
                                  .toArray()
                                  .at(1)
                                  .toObject();
    QCOMPARE(reply.value(QLatin1String("replyToId")).toString(), QStringLiteral("m2"));
    client->frames.clear();

    const QString team = QStringLiteral("gteam");
    const auto request = [&](const QString &type, const QJsonObject &fields) {
        QJsonObject frame = fields;
        frame.insert(QStringLiteral("type"), type);
        frame.insert(QStringLiteral("chatId"), team);
        client->frames.clear();
        client->send(frame);
        return client->waitForFrames(1) ? client->frames.at(0) : QJsonObject();
    };
    const QJsonObject older =
        request(QStringLiteral("get_history"), { { QStringLiteral("before"), 102 } });
    QCOMPARE(messageIdsOf(older),
        (QStringList { QStringLiteral("m1"),
            QStringLiteral("m2"),
            QStringLiteral("m3"),
            QStringLiteral("m4") }));
    const QJsonObject edited = request(QStringLiteral("edit_message"),
        { { QStringLiteral("messageId"), QStringLiteral("m3") },
            { QStringLiteral("newContent"), QStringLiteral("three, edited") } });
    QCOMPARE(typeOf(edited), QStringLiteral("message_updated"));
    QCOMPARE(edited.value(QLatin1String("messageId")).toString(), QStringLiteral("m3"));
    const QJsonObject deleted = request(QStringLiteral("delete_message"),
        { { QStringLiteral("messageId"), QStringLiteral("m4") } });
    QCOMPARE(typeOf(deleted), QStringLiteral("message_deleted"));
    QCOMPARE(deleted.value(QLatin1String("messageId")).toString(), QStringLiteral("m4"));

    const QRegularExpression randomId(QStringLiteral("^m[0-9a-f]{20}$"));
    QStringList sent;
    for (int i = 0; i < 30; ++i) {
        const QJsonObject echo = request(QStringLiteral("message"),
            { { QStringLiteral("content"),
                  QJsonObject { { QStringLiteral("text"), QString::number(i) } } },
                { QStringLiteral("replyToId"),
                    i == 0 ? QJsonValue(QStringLiteral("m2")) : QJsonValue() } });
        QCOMPARE(typeOf(echo), QStringLiteral("message"));
        const QString id = echo.value(QLatin1String("messageId")).toString();
        QVERIFY2(randomId.match(id).hasMatch(), qPrintable(id));
        QVERIFY(!sent.contains(id));
        sent.append(id);
        if (i == 0)
            QCOMPARE(echo.value(QLatin1String("replyToId")).toString(), QStringLiteral("m2"));
    }
    // Not a counter in disguise: later ids do not sort after earlier ones.
    QStringList ascending = sent;
    ascending.sort();
    QVERIFY(ascending != sent);
    const QJsonObject newest =
        request(QStringLiteral("get_history"), { { QStringLiteral("before"), 2e9 } });
    QCOMPARE(messageIdsOf(newest), sent);
    const QJsonObject editedNew = request(QStringLiteral("edit_message"),
        { { QStringLiteral("messageId"), sent.at(7) },
            { QStringLiteral("newContent"), QStringLiteral("new, edited") } });
    QCOMPARE(typeOf(editedNew), QStringLiteral("message_updated"));
    QCOMPARE(editedNew.value(QLatin1String("messageId")).toString(), sent.at(7));
}

FERROW_SERVER_TEST_MAIN(TestServerLimits)

#include "tst_serverlimits.moc"
