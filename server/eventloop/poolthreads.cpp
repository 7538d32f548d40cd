#include "poolthreads.h"

#include <QSemaphore>
#include <QThreadPool>
#include <memory>

void startPoolThreads(QThreadPool &pool)
{
    pool.setExpiryTimeout(-1);
    const int count = pool.maxThreadCount();
    // Each task waits until all have started, so that no thread takes a second one.
    auto started = std::make_shared<QSemaphore>();
    auto go = std::make_shared<QSemaphore>();
    for (int i = 0; i < count; ++i) {
        pool.start([started, go] {
            started->release();
            go->acquire();
        });
    }
    started->acquire(count);
    go->release(count);
}
