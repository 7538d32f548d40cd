#include "serverfixture.h"

#include "credentials.h"

namespace
{

const QString &cheapSecretHash()
{
    // Few rounds keep the many logins of a test quick; the server checks whatever rounds a hash
    // names.
    static const QString hash = credentials::hashPassword(QStringLiteral("secret"), 1000);
    return hash;
}

} // namespace

ServerFixture::ServerFixture() = default;

ServerFixture::~ServerFixture()
{
    stop();
}

bool ServerFixture::setUp()
{
    stop();
    dir = std::make_unique<QTemporaryDir>();
    if (!dir->isValid())
        return false;
    db = std::make_unique<Database>();
    options = defaultOptions();
    return db->open(dir->path());
}

ChatServer::Options ServerFixture::defaultOptions() const
{
    ChatServer::Options defaults;
    defaults.staticDir = dir->filePath(QStringLiteral("static"));
    return defaults;
}

bool ServerFixture::start()
{
    return start(options);
}

bool ServerFixture::start(const ChatServer::Options &serverOptions)
{
    options = serverOptions;
    server = std::make_unique<ChatServer>(*db, options);
    return server->listen(QHostAddress::LocalHost, 0);
}

bool ServerFixture::restart()
{
    server.reset();
    db = std::make_unique<Database>();
    return db->open(dir->path()) && start();
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

quint16 ServerFixture::port() const
{
    return server ? server->serverPort() : 0;
}

QString ServerFixture::path() const
{
    return dir->path();
}
