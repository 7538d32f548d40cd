#pragma once

#include "commitclock.h"
#include "outcome.h"
#include "store.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QThread;
class StoreReconnection;

// The one thread that writes, on a store connection of its own. Work handed in while a
// transaction is under way waits and then shares the next one, so that a burst of writes shares
// one commit and one wait for the disk. Outcomes come back on the thread that handed the work
// in, in the order it came, once their transaction is over: nothing is told before it is on
// disk, and the writes of a transaction that failed are answered with their failures. This is
// the one place that knows the database is busy; everyone else hands work in and goes on.
class Writer : public QObject
{
    Q_OBJECT

public:
    using Work = std::function<Outcome(Store &)>;
    // `committed` is false when the work's transaction failed; `transaction` is its number on
    // the commit clock.
    using Done = std::function<void(Outcome &&outcome, bool committed, quint64 transaction)>;

    Writer(StoreConnector connector, CommitClock &clock, QObject *parent = nullptr);
    // Commits what was handed in, then stops; outcomes not yet handed back are dropped.
    ~Writer() override;

    // Starts the thread with its connection; false, with the reason, when it cannot open one.
    bool start(QString *error);
    // `failure` answers the asker in place of the outcome should its write not be committed
    // (nothing when its text is empty). `work` may run twice: a transaction that relied on a
    // group another server had just changed is rolled back and run again (see
    // Store::announce). Work that keeps what it finds elsewhere than in its outcome sets it
    // afresh each time.
    void submit(Work work, const Outcome::Reply &failure, Done done);
    // Work handed in and not begun.
    int queued() const;
    // The number of the last transaction whose outcomes have all been handed back.
    quint64 delivered() const;

    // For tests; both run on the writer's thread: `beforeBatch` with its connection before the
    // work of each batch, `beforeCommit` before each commit.
    void setHooks(std::function<void(Store &)> beforeBatch, std::function<void()> beforeCommit);

signals:
    void transactionDelivered(quint64 transaction);
    // A transaction that held `writes` writes was committed (`ok`) or not, taking `seconds`.
    void committed(int writes, double seconds, bool ok);

private:
    struct Job {
        Work work;
        Outcome::Reply failure;
        Done done;
    };
    struct Finished {
        Done done;
        Outcome outcome;
    };

    void run(Store &store);
    void runBatch(Store &store, StoreReconnection &connection, std::vector<Job> &batch);
    // Runs jobs from `next` on in one transaction, until one of them fails a write; returns
    // where it stopped.
    std::size_t runTransaction(
        Store &store, std::vector<Job> &batch, std::size_t next, bool *committed);
    void deliver(
        quint64 transaction, bool ok, int writes, double seconds, std::vector<Finished> &finished);

    // New messages are put into the search index at most this often, and at most this many in
    // one go, so that a long backlog does not hold the writes queued behind it.
    static constexpr std::chrono::milliseconds indexingInterval { 100 };
    static constexpr int indexingBatch = 5000;

    StoreConnector connector;
    CommitClock &clock;
    std::unique_ptr<QThread> thread;
    std::mutex mutex;
    std::condition_variable wake;
    // Guarded by `mutex`.
    std::vector<Job> jobs;
    bool stopping = false;
    std::atomic<int> waiting { 0 };
    quint64 lastDelivered = 0;
    std::function<void(Store &)> beforeBatch;
    std::function<void()> beforeCommit;
};
