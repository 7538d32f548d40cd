#pragma once

#include <QString>
#include <optional>

// The loops the thread that serves every socket can run on: our own over Linux's epoll, whose
// pass costs what happened in it, or Qt's own, which polls every socket on each pass.
enum class EventLoop { Epoll, Qt };

constexpr EventLoop defaultEventLoop = EventLoop::Epoll;

// "epoll" or "qt"; nothing for any other name.
std::optional<EventLoop> eventLoopNamed(const QString &name);
QString eventLoopName(EventLoop loop);
// The loop "--event-loop NAME" (or "--event-loop=NAME") names among `argv`, read before the
// application object and its command line parser exist; the default when none is named or the
// name is unknown (the parser refuses it later).
EventLoop eventLoopFromArguments(int argc, char **argv);
// Makes `loop` the main thread's loop; call before the application object exists. Without
// epoll (a kernel that refuses its descriptors) Qt's loop stays, with a warning.
void installEventLoop(EventLoop loop);
