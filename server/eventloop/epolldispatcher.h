#pragma once

#include <QAbstractEventDispatcher>
#include <QHash>
#include <QVector>
#include <atomic>
#include <set>
#include <utility>

// The server's event loop, on Linux's epoll. Qt's own loop hands every watched socket to poll()
// on each pass, so its cost grows with the number of connections even when one of them is busy;
// here a pass costs what happened in it. Changes to what a socket waits for are applied just
// before the loop waits, so a socket that starts and stops waiting to write within one pass (a
// frame written and flushed at once) costs no system call.
//
// For the thread that creates it; install it with QCoreApplication::setEventDispatcher before
// the application object exists. Timers are precise to the millisecond whatever their type.
class EpollEventDispatcher final : public QAbstractEventDispatcher
{
    Q_OBJECT

public:
    explicit EpollEventDispatcher(QObject *parent = nullptr);
    ~EpollEventDispatcher() override;

    // False when the kernel refused an epoll or eventfd descriptor; use Qt's loop then.
    bool isValid() const;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(
        int timerId, int interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;
    void flush() override;

private:
    // What epoll holds for one descriptor, and the notifiers (read, write, exception) on it.
    struct Watch {
        QSocketNotifier *notifiers[3] = {};
        quint32 serial = 0;
        quint32 appliedSerial = 0;
        quint32 appliedEvents = 0;
        bool queued = false;
    };
    struct Timer {
        int interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject *object = nullptr;
        qint64 deadlineNs = 0;
        bool inEvent = false;
    };

    void applyWatchChanges();
    void markChanged(int fd, Watch &watch);
    bool activateSockets(const struct epoll_event *events, int count);
    bool activateTimers();
    int waitTimeoutMs(qint64 nowNs) const;
    void scheduleTimer(int timerId, Timer &timer, qint64 deadlineNs);
    void drainWakeUps();

    int epollFd = -1;
    int wakeFd = -1;
    std::atomic<bool> wakeUpPending { false };
    std::atomic<bool> interrupted { false };

    QHash<int, Watch> watches;
    QVector<int> changedFds;
    // Bumped whenever a descriptor gains its first notifier, so that an event read for a
    // descriptor that was closed and reused meanwhile reaches nobody.
    quint32 nextSerial = 0;

    QHash<int, Timer> timers;
    std::set<std::pair<qint64, int>> timerQueue;
};

// Makes an EpollEventDispatcher the main thread's loop; call before the application object
// exists. False, with Qt's loop left in place, when epoll cannot be set up.
bool installEpollEventDispatcher();
