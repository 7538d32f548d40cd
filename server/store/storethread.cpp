#include "storethread.h"

#include "serverlogging.h"

#include <QDateTime>
#include <QThread>
#include <algorithm>
#include <future>

std::unique_ptr<QThread> startStoreThread(
    const StoreConnector &connector, std::function<void(Store &)> body, QString *error)
{
    auto opened = std::make_shared<std::promise<QString>>();
    std::future<QString> result = opened->get_future();
    std::unique_ptr<QThread> thread(QThread::create([connector, body = std::move(body), opened] {
        QString reason;
        std::unique_ptr<Store> store = connector(&reason);
        if (!store) {
            opened->set_value(reason.isEmpty() ? QStringLiteral("cannot open the store") : reason);
            return;
        }
        opened->set_value(QString());
        body(*store);
    }));
    thread->start();
    const QString reason = result.get();
    if (reason.isEmpty())
        return thread;
    thread->wait();
    if (error)
        *error = reason;
    return nullptr;
}

namespace
{

constexpr int firstBackoffMs = 100;
constexpr int maxBackoffMs = 5000;

} // namespace

void StoreReconnection::check(Store &store)
{
    if (!broken && !store.ping()) {
        broken = true;
        backoffMs = 0;
        retryAtMs = 0;
        qCWarning(lcServer).noquote() << "lost the database connection:" << store.lastError();
    }
}

bool StoreReconnection::mend(Store &store)
{
    if (!broken)
        return true;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now < retryAtMs)
        return false;
    if (store.reconnect()) {
        broken = false;
        qCInfo(lcServer) << "database connection restored";
        return true;
    }
    backoffMs = std::clamp(backoffMs * 2, firstBackoffMs, maxBackoffMs);
    retryAtMs = now + backoffMs;
    return false;
}

bool StoreReconnection::isBroken() const
{
    return broken;
}
