#pragma once

#include <QtGlobal>
#include <mutex>

// Numbers the writer's transactions, and tells a reader which of them its snapshot holds, so
// that a read's answer can take its exact place among what the writer's commits tell: after the
// frames of every commit it holds, before those of any other.
class CommitClock
{
public:
    // Runs `commit` as the next transaction's end, while no snapshot begins; returns its number.
    template <typename Commit> quint64 commit(Commit &&commit)
    {
        std::lock_guard<std::mutex> lock(mutex);
        commit();
        return ++last;
    }
    // Runs `begin`, which takes a snapshot, while no commit is under way; returns the number of
    // the last transaction the snapshot holds.
    template <typename Begin> quint64 snapshot(Begin &&begin)
    {
        std::lock_guard<std::mutex> lock(mutex);
        begin();
        return last;
    }

private:
    std::mutex mutex;
    quint64 last = 0;
};
