#include "servercli.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char **argv)
{
    // A client that vanishes mid-write must not take the server down with it.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    return runServerCli(QCoreApplication::arguments());
}
