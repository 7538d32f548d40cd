#include "storethread.h"

#include <QThread>
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
