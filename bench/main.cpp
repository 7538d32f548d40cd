// ferrow-loadbench: a load benchmark of ferrow-server over loopback.
//
//   ferrow-loadbench [--connections N] [--groups G] [--rate R] [--duration S] [--drain S]
//                    [--hash-rounds K] [--threads T] [--idle N] [--server PATH]
//                    [--server-option ARG]...
//
// Starts its own ferrow-server (by default the one built next to this program) on a free port
// with a fresh temporary data directory holding N users in G group chats. Once all N clients
// have logged in, each sends R messages per second for S seconds to its group; then it waits
// for the last receipts and stops the server. It reports how many deliveries were expected
// (every message to every member of its group, the sender's own echo included) and how many
// arrived, duplicates, errors the server answered, and the latency from send to receipt
// (p50, p99, max), and the server's CPU time per message sent. With --idle, as many more
// clients log in and stay silent beside the load. Exits 0 when every expected delivery arrived
// exactly once.

#include "loadbench.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace
{

// Exit code for a command line that cannot be understood, as ferrow-server uses it.
constexpr int usageError = 2;

} // namespace

int main(int argc, char **argv)
{
    // A server that dies mid-run must end up in the report, not take the bench down.
    std::signal(SIGPIPE, SIG_IGN);
    // A few thousand idle clients need more descriptors than the usual soft limit.
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ferrow-loadbench"));
    // The server library logs its schema upgrade when the bench prepares the database.
    QLoggingCategory::setFilterRules(QStringLiteral("ferrow.server.info=false"));

    LoadBench::Options options;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Load benchmark of ferrow-server over loopback."));
    parser.addHelpOption();
    const QCommandLineOption serverOption(QStringLiteral("server"),
        QStringLiteral("The ferrow-server binary (default: the one next to this program)."),
        QStringLiteral("PATH"),
        QCoreApplication::applicationDirPath() + QStringLiteral("/ferrow-server"));
    const QCommandLineOption connectionsOption(QStringLiteral("connections"),
        QStringLiteral("Clients, each a user of its own (default: %1).").arg(options.connections),
        QStringLiteral("N"),
        QString::number(options.connections));
    const QCommandLineOption groupsOption(QStringLiteral("groups"),
        QStringLiteral("Group chats the users are split among (default: %1).").arg(options.groups),
        QStringLiteral("G"),
        QString::number(options.groups));
    const QCommandLineOption rateOption(QStringLiteral("rate"),
        QStringLiteral("Messages per second and connection (default: %1; the server refuses "
                       "more than 20).")
            .arg(options.rate),
        QStringLiteral("R"),
        QString::number(options.rate));
    const QCommandLineOption durationOption(QStringLiteral("duration"),
        QStringLiteral("Seconds of sending (default: %1).").arg(options.durationSeconds),
        QStringLiteral("S"),
        QString::number(options.durationSeconds));
    const QCommandLineOption drainOption(QStringLiteral("drain"),
        QStringLiteral("Longest wait in seconds for the last receipts (default: %1).")
            .arg(options.drainSeconds),
        QStringLiteral("S"),
        QString::number(options.drainSeconds));
    const QCommandLineOption roundsOption(QStringLiteral("hash-rounds"),
        QStringLiteral("PBKDF2 rounds of the users' passwords (default: %1; the server uses "
                       "100000 for real users, which makes the logins take most of the run).")
            .arg(options.hashRounds),
        QStringLiteral("K"),
        QString::number(options.hashRounds));
    const QCommandLineOption threadsOption(QStringLiteral("threads"),
        QStringLiteral("Threads the clients are spread over (default: %1).").arg(options.threads),
        QStringLiteral("T"),
        QString::number(options.threads));
    const QCommandLineOption idleOption(QStringLiteral("idle"),
        QStringLiteral("Further clients that log in and stay silent beside the load "
                       "(default: 0)."),
        QStringLiteral("N"),
        QStringLiteral("0"));
    const QCommandLineOption serverArgumentOption(QStringLiteral("server-option"),
        QStringLiteral("An argument appended to the server's command line; may be repeated "
                       "(for example --server-option=--event-loop=qt)."),
        QStringLiteral("ARG"));
    const QCommandLineOption postgresOption(QStringLiteral("postgres"),
        QStringLiteral("Serve from a throwaway database made in the PostgreSQL of URL (for "
                       "example postgresql://postgres@/postgres?host=/tmp/pg) instead of SQLite."),
        QStringLiteral("URL"));
    const QCommandLineOption serversOption(QStringLiteral("servers"),
        QStringLiteral("Server processes on the one database (default 1; more need "
                       "--postgres); every group has members on each."),
        QStringLiteral("N"),
        QStringLiteral("1"));
    parser.addOptions({ serverOption,
        postgresOption,
        serversOption,
        idleOption,
        serverArgumentOption,
        threadsOption,
        connectionsOption,
        groupsOption,
        rateOption,
        durationOption,
        drainOption,
        roundsOption });
    parser.process(app);

    bool ok = true;
    const auto number = [&parser, &ok](const QCommandLineOption &option, double low, double high) {
        bool parsed = false;
        const double value = parser.value(option).toDouble(&parsed);
        if (!parsed || value < low || value > high) {
            std::fprintf(stderr,
                "ferrow-loadbench: --%s must be a number from %g to %g\n",
                qPrintable(option.names().constFirst()),
                low,
                high);
            ok = false;
        }
        return value;
    };
    // The bounds keep one run within minutes and within what one process can hold open.
    options.serverBinary = parser.value(serverOption);
    options.connections = static_cast<int>(number(connectionsOption, 1, 5000));
    options.groups = static_cast<int>(number(groupsOption, 1, 1000));
    options.rate = number(rateOption, 0.01, 1000);
    options.durationSeconds = number(durationOption, 0.1, 600);
    options.drainSeconds = number(drainOption, 0, 600);
    options.hashRounds = static_cast<int>(number(roundsOption, 1, 1000000));
    options.threads = static_cast<int>(number(threadsOption, 1, 64));
    options.idle = static_cast<int>(number(idleOption, 0, 20000));
    options.serverOptions = parser.values(serverArgumentOption);
    options.postgres = parser.value(postgresOption);
    options.servers = static_cast<int>(number(serversOption, 1, 16));
    if (options.servers > 1 && options.postgres.isEmpty()) {
        std::fprintf(stderr, "ferrow-loadbench: several servers share only PostgreSQL\n");
        return usageError;
    }
    if (!ok)
        return usageError;
    if (options.groups > options.connections) {
        std::fprintf(stderr, "ferrow-loadbench: every group needs a member; use fewer groups\n");
        return usageError;
    }
    if (!QFileInfo(options.serverBinary).isExecutable()) {
        std::fprintf(stderr,
            "ferrow-loadbench: no server at %s; build ferrow-server or pass --server\n",
            qPrintable(options.serverBinary));
        return usageError;
    }

    LoadBench bench(options);
    if (!bench.start())
        return 1;
    return QCoreApplication::exec();
}
