#include "eventloop.h"

#include "epolldispatcher.h"

#include <cstring>

std::optional<EventLoop> eventLoopNamed(const QString &name)
{
    if (name == QLatin1String("epoll"))
        return EventLoop::Epoll;
    if (name == QLatin1String("qt"))
        return EventLoop::Qt;
    return std::nullopt;
}

QString eventLoopName(EventLoop loop)
{
    return loop == EventLoop::Epoll ? QStringLiteral("epoll") : QStringLiteral("qt");
}

EventLoop eventLoopFromArguments(int argc, char **argv)
{
    static const char option[] = "--event-loop";
    const std::size_t length = std::strlen(option);
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        const char *value = nullptr;
        if (std::strcmp(argument, option) == 0 && i + 1 < argc)
            value = argv[i + 1];
        else if (std::strncmp(argument, option, length) == 0 && argument[length] == '=')
            value = argument + length + 1;
        if (value)
            return eventLoopNamed(QString::fromLocal8Bit(value)).value_or(defaultEventLoop);
    }
    return defaultEventLoop;
}

void installEventLoop(EventLoop loop)
{
    if (loop == EventLoop::Epoll && !installEpollEventDispatcher())
        qWarning("running on Qt's event loop instead");
}
