#include "readers.h"

#include "storethread.h"

#include <QThread>

Readers::Readers(StoreConnector connector, CommitClock &clock, int count, QObject *parent)
    : QObject(parent)
    , connector(std::move(connector))
    , clock(clock)
    , count(std::max(1, count))
{
}

Readers::~Readers()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        jobs.clear();
    }
    wake.notify_all();
    for (const std::unique_ptr<QThread> &thread : threads)
        thread->wait();
}

bool Readers::start(QString *error)
{
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<QThread> thread = startStoreThread(
            connector, [this](Store &store) { run(store); }, error);
        if (!thread)
            return false;
        threads.push_back(std::move(thread));
    }
    return true;
}

void Readers::submit(Work work, Done done)
{
    ++waiting;
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back({ std::move(work), std::move(done) });
    }
    wake.notify_one();
}

int Readers::queued() const
{
    return waiting.load();
}

void Readers::setHook(std::function<void()> hook)
{
    afterSnapshot = std::move(hook);
}

void Readers::run(Store &store)
{
    StoreReconnection connection;
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (stopping)
                return;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        --waiting;
        connection.mend(store);
        bool began = false;
        quint64 snapshot = clock.snapshot([&] { began = store.beginRead(); });
        if (!began) {
            // The connection may have gone with the database; a new one answers this read.
            connection.check(store);
            if (connection.mend(store))
                snapshot = clock.snapshot([&] { store.beginRead(); });
        }
        if (afterSnapshot)
            afterSnapshot();
        auto outcome = std::make_shared<Outcome>(job.work(store));
        store.endRead();
        QMetaObject::invokeMethod(
            this,
            [done = std::move(job.done), outcome, snapshot] {
                done(std::move(*outcome), snapshot);
            },
            Qt::QueuedConnection);
    }
}
