#include "eventloop.h"
#include "servercli.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char **argv)
{
    // A client that vanishes mid-write must not take the server down with it.
    std::signal(SIGPIPE, SIG_IGN);
    // The threads of the server's pools never wait on GLib sources; Qt's own loop is lighter.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    // The loop of the thread that serves every socket is chosen before the application exists.
    installEventLoop(eventLoopFromArguments(argc, argv));
    QCoreApplication app(argc, argv);
    return runServerCli(QCoreApplication::arguments());
}
