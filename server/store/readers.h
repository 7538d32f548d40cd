#pragma once

#include "commitclock.h"
#include "outcome.h"
#include "store.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QThread;

// Threads that only read, each on a store connection of its own, taking work in the order it
// comes. Each read sees the store as of one of the writer's commits and says which, so that its
// answer can take its place among what the commits tell (FanOut::answerRead). Outcomes come back
// on the thread that handed the work in.
class Readers : public QObject
{
    Q_OBJECT

public:
    using Work = std::function<Outcome(Store &)>;
    // `snapshot` numbers the last of the writer's transactions the read saw.
    using Done = std::function<void(Outcome &&outcome, quint64 snapshot)>;

    Readers(StoreConnector connector, CommitClock &clock, int count, QObject *parent = nullptr);
    // Finishes the reads begun, drops the rest, and stops.
    ~Readers() override;

    // Starts the threads with their connections; false, with the reason, when one cannot open.
    bool start(QString *error);
    void submit(Work work, Done done);
    // Work handed in and not begun.
    int queued() const;
    // For tests: runs on a reader's thread once its snapshot is taken, before the read.
    void setHook(std::function<void()> afterSnapshot);

private:
    struct Job {
        Work work;
        Done done;
    };

    void run(Store &store);

    StoreConnector connector;
    CommitClock &clock;
    int count;
    std::vector<std::unique_ptr<QThread>> threads;
    std::mutex mutex;
    std::condition_variable wake;
    // Guarded by `mutex`.
    std::deque<Job> jobs;
    bool stopping = false;
    std::atomic<int> waiting { 0 };
    std::function<void()> afterSnapshot;
};
