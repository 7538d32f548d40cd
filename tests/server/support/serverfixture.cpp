#include "serverfixture.h"

#include "credentials.h"
#include "testpostgres.h"

#include <QFile>
#include <QTcpSocket>
#include <QTest>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

const QString &cheapSecretHash()
{
    // The cheapest hash keeps the many logins of a test quick; the server hashes with the same
    // limits, so that it keeps the hash.
    static const QString hash =
        credentials::hashPassword(QStringLiteral("secret"), credentials::cheapestLimits);
    return hash;
}

} // namespace

bool setImmutable(const QString &path, bool immutable)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

ServerFixture::ServerFixture() = default;

ServerFixture::~ServerFixture()
{
    stop();
}

bool ServerFixture::wantsPostgres()
{
    return qEnvironmentVariable("FERROW_TEST_DATABASE") == QLatin1String("postgresql");
}

TestPostgres &ServerFixture::testPostgres()
{
    static TestPostgres postgres;
    return postgres;
}

bool ServerFixture::setUp()
{
    stop();
    dir = std::make_unique<QTemporaryDir>();
    if (!dir->isValid())
        return false;
    location = StoreLocation { dir->path(), std::nullopt };
    if (wantsPostgres()) {
        location.database = testPostgres().createDatabase();
        if (!location.database)
            return false;
    }
    options = defaultOptions();
    db = location.open(nullptr);
    return db != nullptr;
}

QString ServerFixture::skipReason() const
{
    return wantsPostgres() && !testPostgres().isRunning() ? testPostgres().skipReason() : QString();
}

bool ServerFixture::onPostgres() const
{
    return location.isPostgres();
}

std::unique_ptr<Store> ServerFixture::connect() const
{
    return location.connector()(nullptr);
}

ChatServer::Options ServerFixture::defaultOptions() const
{
    ChatServer::Options defaults;
    defaults.staticDir = dir->filePath(QStringLiteral("static"));
    defaults.passwordLimits = credentials::cheapestLimits;
    return defaults;
}

bool ServerFixture::start()
{
    return start(options);
}

bool ServerFixture::start(const ChatServer::Options &serverOptions)
{
    options = serverOptions;
    server = std::make_unique<ChatServer>(location.connector(), options);
    return server->listen(QHostAddress::LocalHost, 0);
}

bool ServerFixture::restart()
{
    server.reset();
    db = location.open(nullptr);
    return db && start();
}

void ServerFixture::stop()
{
    server.reset();
    db.reset();
}

QString ServerFixture::addUser(const QString &username)
{
    const std::optional<UserRecord> user = db->addUser(username, cheapSecretHash());
    return user ? user->id : QString();
}

std::unique_ptr<Peer> ServerFixture::connectPeer() const
{
    return Peer::connectTo(port());
}

std::unique_ptr<Peer> ServerFixture::login(const QString &username, const QString &password) const
{
    return Peer::loginTo(port(), username, password);
}

QByteArray ServerFixture::httpGet(const QByteArray &path) const
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port());
    if (!socket.waitForConnected(5000))
        return QByteArray();
    socket.write("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray response;
    if (!QTest::qWaitFor(
            [&] {
                response += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            10000))
        return QByteArray();
    return response + socket.readAll();
}

quint16 ServerFixture::port() const
{
    return server ? server->serverPort() : 0;
}

QString ServerFixture::path() const
{
    return dir->path();
}
