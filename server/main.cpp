#include "servercli.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char **argv)
{
    // A client that vanishes mid-write must not take the server down with it.
    std::signal(SIGPIPE, SIG_IGN);
    // Qt's own event loop rather than GLib's: GLib keeps the watched descriptors in a list and
    // walks it whenever a socket starts or stops waiting to write, which with hundreds of
    // connections and a write to each of them per message took a tenth of the server's time.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    return runServerCli(QCoreApplication::arguments());
}
