#include "chatserver.h"

#include "chatcache.h"
#include "serverlogging.h"

#include <QDateTime>
#include <QDir>
#include <memory>

namespace
{

// Every connection of one server carries its name on the change feed, and shares what the
// server knows of chats.
StoreConnector named(StoreConnector connector)
{
    const QString origin = credentials::randomHex(8);
    auto chats = std::make_shared<ChatCache>(true);
    return [connector = std::move(connector), origin, chats](QString *error) {
        std::unique_ptr<Store> store = connector(error);
        if (store) {
            store->setOrigin(origin);
            store->shareChats(chats);
        }
        return store;
    };
}

ChatServer::Options completed(ChatServer::Options options)
{
    if (!options.clock)
        options.clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    if (options.historyPage < 1)
        options.historyPage = 1;
    if (options.uploadDir.isEmpty())
        options.uploadDir = QDir::cleanPath(options.staticDir + QStringLiteral("/../uploads"));
    return options;
}

} // namespace

ChatServer::ChatServer(StoreConnector storeConnector, const Options &options, QObject *parent)
    : QObject(parent)
    , options(completed(options))
    , connector(named(std::move(storeConnector)))
    , writer(connector, commitClock, this)
    , readers(connector, commitClock, this->options.readers, this)
    , fanOut(metrics, this)
    , relay(connector, commitClock, this)
    , logins(writer,
          readers,
          fanOut,
          metrics,
          Logins::Options { this->options.clock,
              this->options.loginTimeoutMs,
              this->options.maxConnectionsPerUser,
              this->options.maxWaitingLogins,
              // Without a cap per address, every client may come through one proxy.
              this->options.maxConnectionsPerAddress > 0,
              this->options.historyPage,
              this->options.maxLoginHistoryBytes,
              this->options.passwordLimits,
              this->options.maxUploadSize },
          this)
    , chat(writer,
          readers,
          fanOut,
          logins,
          metrics,
          ChatService::Options { this->options.clock,
              this->options.historyPage,
              this->options.loginTimeoutMs,
              this->options.maxGroupMembers },
          this)
    , uploads(writer,
          readers,
          Uploads::Options { this->options.uploadDir,
              this->options.maxUploadSize,
              this->options.uploadQuota,
              this->options.clock,
              this->options.uploadStallTimeoutMs,
              this->options.staticWriteTimeoutMs,
              this->options.uploadSweepIntervalMs },
          this)
    , frontDoor(
          FrontDoor::Options { this->options.staticDir,
              this->options.tls,
              this->options.maxConnectionsPerAddress,
              this->options.staticWriteTimeoutMs },
          [this](std::function<void(bool)> answer) {
              auto healthy = std::make_shared<bool>(false);
              readers.submit(
                  [healthy](Store &store) {
                      *healthy = store.ping();
                      return Outcome();
                  },
                  // Cut off from the change feed, the server would miss what others write.
                  [this, healthy, answer](
                      Outcome &&, quint64) { answer(*healthy && relay.isConnected()); });
          },
          [this] {
              ServerMetrics::Gauges gauges;
              gauges.connections = chat.connectionCount();
              gauges.usersLoggedIn = fanOut.usersOnline();
              gauges.queuedRequests = chat.queuedRequests();
              return metrics.render(gauges);
          },
          [this](QTcpSocket *socket, const QByteArray &path, const QByteArray &head) {
              return uploads.route(socket, path, head);
          },
          this)
{
    writer.setHooks(this->options.beforeBatch, this->options.beforeCommit);
    readers.setHook(this->options.afterSnapshot);
    connect(&writer, &Writer::committed, this, [this](int writes, double seconds, bool ok) {
        metrics.countCommit(writes, seconds, ok);
    });
    connect(&writer, &Writer::transactionDelivered, &fanOut, &FanOut::transactionDelivered);
    connect(&logins, &Logins::finished, &chat, &ChatService::finishLogin);
    connect(&frontDoor, &FrontDoor::webSocketOpened, &chat, &ChatService::addConnection);
    connect(&chat, &ChatService::closed, this, &ChatServer::finishShutdown);
    connect(&chat, &ChatService::uploadsRemoved, &uploads, &Uploads::removeFiles);
}

ChatServer::~ChatServer() = default;

bool ChatServer::listen(const QHostAddress &address, quint16 port)
{
    if (!started) {
        FeedPosition position;
        started = uploads.start(&startError) && writer.start(&startError)
            && readers.start(&startError)
            && relay.start(
                [this](std::vector<ChangeNotice> &&notices, quint64 transaction) {
                    fanOut.receive(std::move(notices), transaction);
                },
                &position,
                &startError);
        if (!started)
            return false;
        fanOut.setRelay(&relay, position);
    }
    return frontDoor.listen(address, port);
}

QHostAddress ChatServer::serverAddress() const
{
    return frontDoor.serverAddress();
}

quint16 ChatServer::serverPort() const
{
    return frontDoor.serverPort();
}

QString ChatServer::errorString() const
{
    return started ? frontDoor.errorString() : startError;
}

bool ChatServer::isSecure() const
{
    return frontDoor.isSecure();
}

int ChatServer::connectionCount() const
{
    return chat.connectionCount();
}

int ChatServer::queuedRequests() const
{
    return chat.queuedRequests();
}

void ChatServer::shutdown()
{
    if (stopping)
        return;
    stopping = true;
    frontDoor.close();
    chat.shutdown();
}

void ChatServer::finishShutdown()
{
    if (stopSignalled)
        return;
    stopSignalled = true;
    emit stopped();
}
