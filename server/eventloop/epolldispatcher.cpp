#include "epolldispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace
{

// Events read per wait; more simply wait for the next pass.
constexpr int eventsPerWait = 256;
// The wake-up descriptor's key in epoll; socket keys carry a serial above 0 in their high half.
constexpr quint64 wakeKey = 0;

// Per notifier type (read, write, exception): the events that make it ready. A hang-up or an
// error wakes every kind, as with poll(), so that the socket learns of it whatever it waits for.
constexpr quint32 readyEvents[3] = {
    EPOLLIN | EPOLLHUP | EPOLLERR,
    EPOLLOUT | EPOLLHUP | EPOLLERR,
    EPOLLPRI | EPOLLHUP | EPOLLERR,
};
constexpr quint32 wantedEvents[3] = { EPOLLIN, EPOLLOUT, EPOLLPRI };

qint64 nowNs()
{
    timespec time {};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

int typeIndex(QSocketNotifier::Type type)
{
    switch (type) {
    case QSocketNotifier::Read:
        return 0;
    case QSocketNotifier::Write:
        return 1;
    case QSocketNotifier::Exception:
        return 2;
    }
    return 0;
}

quint64 keyOf(int fd, quint32 serial)
{
    return (quint64(serial) << 32) | quint32(fd);
}

} // namespace

EpollEventDispatcher::EpollEventDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent)
{
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd >= 0 && wakeFd >= 0) {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u64 = wakeKey;
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &event) == 0)
            return;
    }
    qWarning("cannot set up an epoll event loop: %s", strerror(errno));
    if (wakeFd >= 0)
        ::close(wakeFd);
    if (epollFd >= 0)
        ::close(epollFd);
    wakeFd = epollFd = -1;
}

EpollEventDispatcher::~EpollEventDispatcher()
{
    if (wakeFd >= 0)
        ::close(wakeFd);
    if (epollFd >= 0)
        ::close(epollFd);
}

bool EpollEventDispatcher::isValid() const
{
    return epollFd >= 0;
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted.store(false, std::memory_order_relaxed);
    emit awake();
    // Whatever is posted from here on writes the wake-up descriptor, so the wait below cannot
    // sleep through it.
    drainWakeUps();
    QCoreApplication::sendPostedEvents();

    const bool withSockets = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool mayWait = (flags & QEventLoop::WaitForMoreEvents)
        && !interrupted.load(std::memory_order_relaxed)
        && !wakeUpPending.load(std::memory_order_acquire);
    if (mayWait)
        emit aboutToBlock();
    applyWatchChanges();

    const int timeoutMs = mayWait ? waitTimeoutMs(nowNs()) : 0;
    epoll_event events[eventsPerWait];
    int count = 0;
    if (withSockets) {
        count = epoll_wait(epollFd, events, eventsPerWait, timeoutMs);
    } else if (timeoutMs != 0) {
        // Only a wake-up or a timer ends this wait; ready sockets are left for a later pass.
        pollfd wake { wakeFd, POLLIN, 0 };
        poll(&wake, 1, timeoutMs);
    }
    if (count < 0 && errno != EINTR)
        qWarning("epoll_wait failed: %s", strerror(errno));

    bool handled = false;
    if (count > 0)
        handled = activateSockets(events, count);
    if (!(flags & QEventLoop::X11ExcludeTimers) && activateTimers())
        handled = true;
    return handled;
}

bool EpollEventDispatcher::hasPendingEvents()
{
    return wakeUpPending.load(std::memory_order_acquire);
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    Watch &watch = watches[fd];
    const bool wasEmpty = !watch.notifiers[0] && !watch.notifiers[1] && !watch.notifiers[2];
    if (wasEmpty && ++nextSerial == 0)
        nextSerial = 1;
    if (wasEmpty)
        watch.serial = nextSerial;
    QSocketNotifier *&slot = watch.notifiers[typeIndex(notifier->type())];
    if (slot && slot != notifier)
        qWarning("several socket notifiers of one type on descriptor %d; the last one wins", fd);
    slot = notifier;
    markChanged(fd, watch);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const auto found = watches.find(fd);
    if (found == watches.end())
        return;
    QSocketNotifier *&slot = found->notifiers[typeIndex(notifier->type())];
    if (slot != notifier)
        return;
    slot = nullptr;
    markChanged(fd, *found);
}

void EpollEventDispatcher::markChanged(int fd, Watch &watch)
{
    if (watch.queued)
        return;
    watch.queued = true;
    changedFds.append(fd);
}

void EpollEventDispatcher::applyWatchChanges()
{
    // Taken whole first: a nested loop started from a slot applies its own changes.
    const QVector<int> changed = std::exchange(changedFds, {});
    for (const int fd : changed) {
        const auto found = watches.find(fd);
        if (found == watches.end())
            continue;
        Watch &watch = *found;
        watch.queued = false;
        quint32 wanted = 0;
        for (int type = 0; type < 3; ++type) {
            if (watch.notifiers[type])
                wanted |= wantedEvents[type];
        }
        if (wanted == 0) {
            // A descriptor closed meanwhile has already left epoll with its last reference.
            if (watch.appliedEvents != 0)
                epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
            watches.erase(found);
            continue;
        }
        if (wanted == watch.appliedEvents && watch.serial == watch.appliedSerial)
            continue;
        epoll_event event {};
        event.events = wanted;
        event.data.u64 = keyOf(fd, watch.serial);
        // The descriptor may have been closed and its number reused since it was last applied,
        // so what epoll holds decides between adding and changing.
        int result =
            epoll_ctl(epollFd, watch.appliedEvents ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event);
        if (result != 0 && errno == ENOENT)
            result = epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
        else if (result != 0 && errno == EEXIST)
            result = epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event);
        if (result != 0) {
            qWarning("cannot watch descriptor %d: %s", fd, strerror(errno));
            watch.appliedEvents = 0;
            continue;
        }
        watch.appliedEvents = wanted;
        watch.appliedSerial = watch.serial;
    }
}

bool EpollEventDispatcher::activateSockets(const epoll_event *events, int count)
{
    bool handled = false;
    for (int i = 0; i < count; ++i) {
        const quint64 key = events[i].data.u64;
        if (key == wakeKey) {
            // Read even when the flag is already clear: a wake-up whose write came after the
            // last drain left the descriptor readable, and it would wake every wait.
            wakeUpPending.store(false, std::memory_order_release);
            quint64 count = 0;
            [[maybe_unused]] const ssize_t drained = ::read(wakeFd, &count, sizeof count);
            continue;
        }
        const int fd = int(quint32(key));
        const quint32 serial = quint32(key >> 32);
        for (int type = 0; type < 3; ++type) {
            if (!(events[i].events & readyEvents[type]))
                continue;
            // Looked up again for each: a slot run by an earlier event may have closed this
            // socket, or replaced its notifiers.
            const auto found = watches.constFind(fd);
            if (found == watches.constEnd() || found->serial != serial)
                break;
            QSocketNotifier *notifier = found->notifiers[type];
            if (!notifier)
                continue;
            QEvent activation(QEvent::SockAct);
            QCoreApplication::sendEvent(notifier, &activation);
            handled = true;
        }
    }
    return handled;
}

void EpollEventDispatcher::registerTimer(
    int timerId, int interval, Qt::TimerType timerType, QObject *object)
{
    Timer &timer = timers[timerId];
    timer.interval = std::max(0, interval);
    timer.type = timerType;
    timer.object = object;
    timer.inEvent = false;
    scheduleTimer(timerId, timer, nowNs() + qint64(timer.interval) * 1000000);
}

void EpollEventDispatcher::scheduleTimer(int timerId, Timer &timer, qint64 deadlineNs)
{
    timerQueue.erase({ timer.deadlineNs, timerId });
    timer.deadlineNs = deadlineNs;
    timerQueue.insert({ deadlineNs, timerId });
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    const auto found = timers.find(timerId);
    if (found == timers.end())
        return false;
    timerQueue.erase({ found->deadlineNs, timerId });
    timers.erase(found);
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject *object)
{
    bool any = false;
    for (auto it = timers.begin(); it != timers.end();) {
        if (it->object == object) {
            timerQueue.erase({ it->deadlineNs, it.key() });
            it = timers.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventDispatcher::registeredTimers(
    QObject *object) const
{
    QList<TimerInfo> found;
    for (auto it = timers.cbegin(); it != timers.cend(); ++it) {
        if (it->object == object)
            found.append(TimerInfo(it.key(), it->interval, it->type));
    }
    return found;
}

int EpollEventDispatcher::remainingTime(int timerId)
{
    const auto found = timers.constFind(timerId);
    if (found == timers.constEnd())
        return -1;
    return int(std::max<qint64>(0, (found->deadlineNs - nowNs() + 999999) / 1000000));
}

int EpollEventDispatcher::waitTimeoutMs(qint64 now) const
{
    // A timer whose slot runs a nested loop does not fire again inside it, so it does not
    // shorten that loop's waits either.
    auto next = timerQueue.cbegin();
    while (next != timerQueue.cend() && timers.value(next->second).inEvent)
        ++next;
    if (next == timerQueue.cend())
        return -1;
    const qint64 waitNs = next->first - now;
    if (waitNs <= 0)
        return 0;
    // Rounded up, so that a wait never ends just before a timer is due.
    return int(std::min<qint64>((waitNs + 999999) / 1000000, std::numeric_limits<int>::max()));
}

bool EpollEventDispatcher::activateTimers()
{
    if (timerQueue.empty())
        return false;
    const qint64 now = nowNs();
    // Each timer fires at most once per pass, so a zero timer cannot starve the sockets.
    QVector<int> due;
    for (auto it = timerQueue.cbegin(); it != timerQueue.cend() && it->first <= now; ++it)
        due.append(it->second);
    bool fired = false;
    for (const int timerId : qAsConst(due)) {
        auto found = timers.find(timerId);
        if (found == timers.end() || found->inEvent || found->deadlineNs > now)
            continue;
        const qint64 intervalNs = qint64(found->interval) * 1000000;
        qint64 next = found->deadlineNs + intervalNs;
        // A timer that fell behind does not fire again and again to catch up.
        if (next <= now)
            next = now + intervalNs;
        scheduleTimer(timerId, *found, next);
        found->inEvent = true;
        QObject *object = found->object;
        QTimerEvent event(timerId);
        QCoreApplication::sendEvent(object, &event);
        fired = true;
        // The slot may have stopped this timer, or restarted it under the same id.
        found = timers.find(timerId);
        if (found != timers.end())
            found->inEvent = false;
    }
    return fired;
}

void EpollEventDispatcher::wakeUp()
{
    if (wakeUpPending.exchange(true, std::memory_order_acq_rel))
        return;
    const quint64 one = 1;
    // A full counter already wakes the loop, which is all a failed write could mean.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

void EpollEventDispatcher::drainWakeUps()
{
    if (!wakeUpPending.exchange(false, std::memory_order_acq_rel))
        return;
    quint64 count = 0;
    // Nothing to read means the writer has not got there yet; its write wakes the next wait.
    [[maybe_unused]] const ssize_t drained = ::read(wakeFd, &count, sizeof count);
}

void EpollEventDispatcher::interrupt()
{
    interrupted.store(true, std::memory_order_relaxed);
    wakeUp();
}

void EpollEventDispatcher::flush()
{
}

bool installEpollEventDispatcher()
{
    auto *dispatcher = new EpollEventDispatcher;
    if (!dispatcher->isValid()) {
        delete dispatcher;
        return false;
    }
    QCoreApplication::setEventDispatcher(dispatcher);
    return true;
}
