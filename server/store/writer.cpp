#include "writer.h"

#include "serverlogging.h"
#include "storethread.h"

#include <QElapsedTimer>
#include <QThread>
#include <optional>

Writer::Writer(StoreConnector connector, CommitClock &clock, QObject *parent)
    : QObject(parent)
    , connector(std::move(connector))
    , clock(clock)
{
}

Writer::~Writer()
{
    if (!thread)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread->wait();
}

bool Writer::start(QString *error)
{
    thread = startStoreThread(
        connector, [this](Store &store) { run(store); }, error);
    return thread != nullptr;
}

void Writer::submit(Work work, const Outcome::Reply &failure, Done done)
{
    ++waiting;
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back({ std::move(work), failure, std::move(done) });
    }
    wake.notify_one();
}

int Writer::queued() const
{
    return waiting.load();
}

quint64 Writer::delivered() const
{
    return lastDelivered;
}

void Writer::setHooks(
    std::function<void(Store &)> newBeforeBatch, std::function<void()> newBeforeCommit)
{
    beforeBatch = std::move(newBeforeBatch);
    beforeCommit = std::move(newBeforeCommit);
}

void Writer::run(Store &store)
{
    StoreReconnection connection;
    // Due at once: what an earlier run or an administration command stored is indexed first.
    auto indexingDue = std::chrono::steady_clock::now();
    for (;;) {
        std::vector<Job> batch;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_until(lock, indexingDue, [this] { return stopping || !jobs.empty(); });
            if (stopping && jobs.empty())
                return;
            batch.swap(jobs);
        }
        if (!batch.empty())
            runBatch(store, connection, batch);
        const auto now = std::chrono::steady_clock::now();
        if (now >= indexingDue) {
            bool more = false;
            if (!store.indexNewMessages(indexingBatch, &more))
                qCDebug(lcServer).noquote() << "indexing new messages failed:" << store.lastError();
            indexingDue = more ? now : now + indexingInterval;
        }
    }
}

void Writer::runBatch(Store &store, StoreReconnection &connection, std::vector<Job> &batch)
{
    waiting -= int(batch.size());
    // While the database is away, each batch is answered with its failures at once, and
    // a new connection is tried now and then.
    connection.mend(store);
    if (beforeBatch)
        beforeBatch(store);
    for (std::size_t next = 0; next < batch.size();) {
        bool committed = true;
        next = runTransaction(store, batch, next, &committed);
        if (!committed)
            connection.check(store);
    }
}

std::size_t Writer::runTransaction(
    Store &store, std::vector<Job> &batch, std::size_t next, bool *committed)
{
    std::vector<Outcome> outcomes;
    std::optional<Store::Transaction> transaction;
    int writes = 0;
    bool ok = false;
    // Run again at most once: that run holds the groups it writes to, which no change passes.
    for (bool firstRun = true;; firstRun = false) {
        outcomes.clear();
        writes = 0;
        store.expectRequests(batch.size() - next);
        transaction.reset();
        transaction.emplace(store);
        ok = transaction->isActive();
        if (!ok) {
            qCWarning(lcServer).noquote() << "cannot open a transaction:" << store.lastError();
            // Nothing is run: each is answered with its failure.
            outcomes.resize(batch.size() - next);
            for (Outcome &outcome : outcomes)
                outcome.wrote = true;
            break;
        }
        for (std::size_t i = next; ok && i < batch.size(); ++i) {
            outcomes.push_back(batch[i].work(store));
            writes += outcomes.back().wrote ? 1 : 0;
            ok = !outcomes.back().failed;
        }
        if (!ok)
            break;
        std::vector<ChangeNotice *> notices;
        for (Outcome &outcome : outcomes) {
            for (ChangeNotice &notice : outcome.notices)
                notices.push_back(&notice);
        }
        const Store::Announcement announced =
            notices.empty() ? Store::Announcement::Kept : store.announce(notices);
        if (announced == Store::Announcement::Outdated && firstRun) {
            qCDebug(lcServer) << "a group changed on another server; running the transaction again";
            transaction->rollback();
            continue;
        }
        if (announced != Store::Announcement::Kept) {
            qCWarning(lcServer).noquote() << "keeping the changes failed:" << store.lastError();
            ok = false;
        }
        break;
    }
    if (ok && beforeCommit && writes > 0)
        beforeCommit();
    std::vector<Finished> finished;
    for (std::size_t i = 0; i < outcomes.size(); ++i)
        finished.push_back({ std::move(batch[next + i].done), std::move(outcomes[i]) });
    const std::size_t end = next + finished.size();
    QElapsedTimer timer;
    timer.start();
    const quint64 number = clock.commit([&] {
        if (ok)
            ok = transaction->commit();
        else
            transaction->rollback();
    });
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    *committed = ok;
    if (!ok && writes > 0)
        qCWarning(lcServer).noquote()
            << "a commit of" << writes << "writes failed:" << store.lastError();
    // Writes that were not committed tell nobody anything; their askers get their failures.
    for (std::size_t i = 0; i < finished.size(); ++i) {
        Outcome &outcome = finished[i].outcome;
        if (ok || !outcome.wrote)
            continue;
        outcome.replies.clear();
        outcome.notices.clear();
        const Outcome::Reply &failure = batch[next + i].failure;
        if (!failure.text.isEmpty())
            outcome.replies.push_back(failure);
    }
    auto handedBack = std::make_shared<std::vector<Finished>>(std::move(finished));
    QMetaObject::invokeMethod(
        this,
        [this, number, ok, writes, seconds, handedBack] {
            deliver(number, ok, writes, seconds, *handedBack);
        },
        Qt::QueuedConnection);
    return end;
}

void Writer::deliver(
    quint64 transaction, bool ok, int writes, double seconds, std::vector<Finished> &finished)
{
    if (writes > 0)
        emit committed(writes, seconds, ok);
    for (Finished &done : finished)
        done.done(std::move(done.outcome), ok, transaction);
    lastDelivered = transaction;
    emit transactionDelivered(transaction);
}
