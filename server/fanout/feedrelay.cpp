#include "feedrelay.h"

#include "serverlogging.h"
#include "storethread.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QTimer>
#include <future>
#include <limits>

namespace
{

// The safety net under the notifications; a change is late by at most this when one is lost.
constexpr int catchUpMs = 1000;
// Where nothing notifies, how often the feed is looked at: what an administration command
// changed shows within a fraction of a second, for one indexed query per look.
constexpr int pollMs = 250;

} // namespace

class FeedRelay::Worker : public QObject
{
public:
    Worker(CommitClock &clock,
        FeedRelay *relay,
        Receive receive,
        std::shared_ptr<std::atomic<bool>> connected)
        : clock(clock)
        , relay(relay)
        , receive(std::move(receive))
        , connected(std::move(connected))
    {
        timer.setParent(this);
        soon.setParent(this);
        soon.setSingleShot(true);
        connect(&soon, &QTimer::timeout, this, [this] { read(false); });
        connect(&timer, &QTimer::timeout, this, [this] {
            if (reconnection.isBroken())
                mend();
            else
                read(true);
        });
    }

    // On the worker's thread, which then owns the connection and its notifications: opens
    // it, reads where the feed ends into `start`, and listens. The reason when it cannot.
    QString begin(const StoreConnector &connector, FeedPosition *start)
    {
        QString reason;
        store = connector(&reason);
        if (!store)
            return reason.isEmpty() ? QStringLiteral("cannot open the store") : reason;
        if (!store->feedStart(position))
            return store->lastError();
        *start = position;
        listening = store->listen([this](const QString &payload) { onNotification(payload); });
        timer.start(listening ? catchUpMs : pollMs);
        return QString();
    }

    void broadcast(const ChangeNotice &notice)
    {
        if (!store->broadcast(notice))
            qCDebug(lcServer).noquote() << "a notice could not be sent:" << store->lastError();
    }

    void readStream(const QString &stream)
    {
        wanted.insert(stream, std::numeric_limits<qint64>::max());
        soon.start(0);
    }

private:
    void onNotification(const QString &payload)
    {
        const QJsonObject object = QJsonDocument::fromJson(payload.toUtf8()).object();
        const QString stream = object.value(QLatin1String("s")).toString();
        const qint64 seq = qint64(object.value(QLatin1String("q")).toDouble());
        if (object.value(QLatin1String("o")).toString() == store->origin()) {
            // This server told its own users already; reading them back would only cost. Should
            // others' entries lie before them unread, the stream is read from there instead.
            qint64 &reached = position.streams[stream];
            if (reached == qint64(object.value(QLatin1String("f")).toDouble()) - 1)
                reached = std::max(reached, seq);
            else if (seq > reached) {
                wanted.insert(stream, std::max(wanted.value(stream), seq));
                soon.start(0);
            }
            return;
        }
        if (object.contains(QLatin1String("b"))) {
            ChangeNotice notice;
            notice.chatId = stream;
            for (const QJsonValue user : object.value(QLatin1String("u")).toArray())
                notice.users.append(user.toString());
            notice.everyone = object.value(QLatin1String("e")).toBool();
            notice.type = object.value(QLatin1String("t")).toString();
            notice.text = object.value(QLatin1String("b")).toString();
            notice.closeCode = object.value(QLatin1String("c")).toInt();
            std::vector<ChangeNotice> notices;
            notices.push_back(std::move(notice));
            handOn(std::move(notices));
            return;
        }
        qint64 &known = wanted[stream];
        known = std::max(known, seq);
        // Notifications that come together are read together.
        if (!soon.isActive())
            soon.start(0);
    }

    // Reads the streams notifications named; with `catchUp`, also every stream changed lately.
    void read(bool catchUp)
    {
        if (reconnection.isBroken())
            return;
        const QHash<QString, qint64> streams = std::exchange(wanted, {});
        if (streams.isEmpty() && !catchUp)
            return;
        bool ok = false;
        std::vector<ChangeNotice> notices = store->feedRead(position, streams, false, &ok);
        if (!ok) {
            reconnection.check(*store);
            if (reconnection.isBroken()) {
                connected->store(false);
                // What the lost notifications named is read once the connection is back.
                for (auto it = streams.cbegin(); it != streams.cend(); ++it)
                    wanted.insert(it.key(), it.value());
                mend();
                return;
            }
        }
        if (!notices.empty())
            handOn(std::move(notices));
    }

    void mend()
    {
        if (!reconnection.mend(*store))
            return;
        listening = store->listen([this](const QString &payload) { onNotification(payload); });
        timer.setInterval(listening ? catchUpMs : pollMs);
        bool ok = false;
        // Everything the notifications would have named while the connection was gone; what
        // the feed no longer holds may have changed groups too.
        store->forgetChat(QString());
        std::vector<ChangeNotice> notices = store->feedRead(position, {}, true, &ok);
        connected->store(ok);
        if (!notices.empty())
            handOn(std::move(notices));
    }

    void handOn(std::vector<ChangeNotice> &&notices)
    {
        // Before anyone here hears of the change, so that nobody acts on the group as it was.
        for (const ChangeNotice &notice : notices) {
            if (notice.changesChat())
                store->forgetChat(notice.chatId);
        }
        // Numbered after the read: a reader's snapshot numbered as late holds all of them.
        const quint64 transaction = clock.commit([] {});
        auto handed = std::make_shared<std::vector<ChangeNotice>>(std::move(notices));
        QMetaObject::invokeMethod(
            relay,
            [receive = receive, handed, transaction] { receive(std::move(*handed), transaction); },
            Qt::QueuedConnection);
    }

    std::unique_ptr<Store> store;
    CommitClock &clock;
    FeedRelay *relay;
    Receive receive;
    FeedPosition position;
    std::shared_ptr<std::atomic<bool>> connected;
    StoreReconnection reconnection;
    QHash<QString, qint64> wanted;
    QTimer timer;
    QTimer soon;
    bool listening = false;
};

FeedRelay::FeedRelay(StoreConnector connector, CommitClock &clock, QObject *parent)
    : QObject(parent)
    , connector(std::move(connector))
    , clock(clock)
    , connected(std::make_shared<std::atomic<bool>>(true))
{
}

FeedRelay::~FeedRelay()
{
    if (!thread)
        return;
    thread->quit();
    thread->wait();
}

bool FeedRelay::start(Receive receive, FeedPosition *start, QString *error)
{
    thread = std::make_unique<QThread>();
    worker = new Worker(clock, this, std::move(receive), connected);
    worker->moveToThread(thread.get());
    connect(thread.get(), &QThread::finished, worker, &QObject::deleteLater);
    thread->start();
    std::promise<QString> opened;
    QMetaObject::invokeMethod(
        worker,
        [this, &opened, start] { opened.set_value(worker->begin(connector, start)); },
        Qt::QueuedConnection);
    const QString reason = opened.get_future().get();
    if (reason.isEmpty())
        return true;
    if (error)
        *error = reason;
    thread->quit();
    thread->wait();
    thread.reset();
    worker = nullptr;
    return false;
}

void FeedRelay::broadcast(const ChangeNotice &notice)
{
    if (worker)
        QMetaObject::invokeMethod(
            worker, [this, notice] { worker->broadcast(notice); }, Qt::QueuedConnection);
}

void FeedRelay::readSoon(const QString &stream)
{
    if (worker)
        QMetaObject::invokeMethod(
            worker, [this, stream] { worker->readStream(stream); }, Qt::QueuedConnection);
}

bool FeedRelay::isConnected() const
{
    return connected->load();
}
