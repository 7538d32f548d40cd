// The cost of a password check, PBKDF2 (as stored before) against Argon2id (as stored now): time
// and memory per check; and 200 logins arriving at once at the server binary: the time until the
// last is answered and the server's peak resident memory.
//
//   build/ferrow-passwordbench [--runs N] [--logins N] [--earlier-server PATH]
#include "credentials.h"
#include "sqlitestore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QWebSocket>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace
{

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long maxRssKiB()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Milliseconds and the growth of the peak resident memory (KiB) of one check, in a child of its
// own, so that no earlier check's memory hides this one's.
std::pair<double, long> measureCheck(const QString &stored)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return { -1, -1 };
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const long before = maxRssKiB();
        QElapsedTimer timer;
        timer.start();
        const bool ok = credentials::verifyPassword(QStringLiteral("secret"), stored);
        const double ms = timer.nsecsElapsed() / 1e6;
        const long grown = maxRssKiB() - before;
        const double result[2] = { ok ? ms : -1, double(grown) };
        const ssize_t written = ::write(fds[1], result, sizeof result);
        ::_exit(written == sizeof result ? 0 : 1);
    }
    ::close(fds[1]);
    double result[2] = { -1, -1 };
    const ssize_t got = ::read(fds[0], result, sizeof result);
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    if (got != sizeof result)
        return { -1, -1 };
    return { result[0], long(result[1]) };
}

long peakRssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression hwm(QStringLiteral("VmHWM:\\s+(\\d+) kB"));
    const QRegularExpressionMatch match = hwm.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLong() : -1;
}

struct LoginRun {
    double lastAnsweredMs = -1;
    long serverPeakKiB = -1;
    int answered = 0;
};

// `logins` users with the password "secret" stored as `stored`; all connect first, then all send
// their login at once.
// With `stored` empty, the users are added by the server binary's own add-user command, which
// hashes as that build does: how an earlier build, whose schema this one's store is past, is
// measured.
LoginRun runLogins(const QString &serverBinary, const QString &stored, int logins)
{
    LoginRun run;
    QTemporaryDir dir;
    if (stored.isEmpty()) {
        for (int i = 0; i < logins; ++i) {
            QProcess add;
            add.start(serverBinary,
                { QStringLiteral("--data-dir"),
                    dir.path(),
                    QStringLiteral("add-user"),
                    QStringLiteral("user%1").arg(i) });
            add.write("secret\n");
            add.closeWriteChannel();
            if (!add.waitForFinished(30000) || add.exitCode() != 0)
                return run;
        }
    } else {
        SqliteStore db;
        if (!db.open(dir.path()))
            return run;
        Store::Transaction transaction(db);
        for (int i = 0; i < logins; ++i)
            db.addUser(QStringLiteral("user%1").arg(i), stored);
        transaction.commit();
    }
    QProcess server;
    // Unpaced, as behind a proxy: one address may not even hold 200 connections otherwise.
    const QStringList arguments { QStringLiteral("--data-dir"),
        dir.path(),
        QStringLiteral("--port"),
        QStringLiteral("0"),
        QStringLiteral("--max-connections-per-address"),
        QStringLiteral("0") };
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(serverBinary, arguments);
    if (!server.waitForStarted(10000) || !server.waitForReadyRead(10000))
        return run;
    const QRegularExpressionMatch port =
        QRegularExpression(QStringLiteral(":(\\d+) ")).match(QString::fromUtf8(server.readLine()));
    if (!port.hasMatch())
        return run;
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port.captured(1)));

    std::vector<std::unique_ptr<QWebSocket>> sockets;
    int connected = 0;
    QElapsedTimer clock;
    double last = -1;
    for (int i = 0; i < logins; ++i) {
        auto socket = std::make_unique<QWebSocket>();
        QObject::connect(socket.get(), &QWebSocket::connected, [&connected] { ++connected; });
        QObject::connect(socket.get(), &QWebSocket::textMessageReceived, [&](const QString &text) {
            const QString type = QJsonDocument::fromJson(text.toUtf8())
                                     .object()
                                     .value(QLatin1String("type"))
                                     .toString();
            if (type == QLatin1String("login_success") || type == QLatin1String("auth_failed")
                || type == QLatin1String("error")) {
                ++run.answered;
                last = clock.nsecsElapsed() / 1e6;
            }
        });
        socket->open(url);
        sockets.push_back(std::move(socket));
    }
    QElapsedTimer waiting;
    waiting.start();
    while (connected < logins && waiting.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    clock.start();
    for (int i = 0; i < logins; ++i) {
        sockets[size_t(i)]->sendTextMessage(QString::fromUtf8(QJsonDocument(
            QJsonObject { { QStringLiteral("type"), QStringLiteral("login_with_password") },
                { QStringLiteral("username"), QStringLiteral("user%1").arg(i) },
                { QStringLiteral("password"),
                    QStringLiteral("secret") } }).toJson(QJsonDocument::Compact)));
    }
    while (run.answered < logins && clock.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    run.lastAnsweredMs = last;
    run.serverPeakKiB = peakRssKiB(server.processId());
    sockets.clear();
    server.terminate();
    server.waitForFinished(10000);
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption runsOption(QStringLiteral("runs"),
        QStringLiteral("Runs of each measurement (default 5)."),
        QStringLiteral("N"),
        QStringLiteral("5"));
    const QCommandLineOption loginsOption(QStringLiteral("logins"),
        QStringLiteral("Logins arriving at once (default 200)."),
        QStringLiteral("N"),
        QStringLiteral("200"));
    const QCommandLineOption earlierOption(QStringLiteral("earlier-server"),
        QStringLiteral("An earlier build's ferrow-server, measured with the hashes it makes."),
        QStringLiteral("PATH"));
    parser.addOptions({ runsOption, loginsOption, earlierOption });
    parser.process(app);
    const int runs = std::max(1, parser.value(runsOption).toInt());
    const int logins = std::max(1, parser.value(loginsOption).toInt());
    const QString serverBinary =
        QCoreApplication::applicationDirPath() + QStringLiteral("/ferrow-server");

    double load[3] = {};
    ::getloadavg(load, 3);
    std::printf("load average at start: %.2f %.2f %.2f; %d runs, medians\n",
        load[0],
        load[1],
        load[2],
        runs);

    const QString pbkdf2 = credentials::hashPasswordPbkdf2(QStringLiteral("secret"), 100000);
    const QString argon2id = credentials::hashPassword(QStringLiteral("secret"));
    for (const auto &[name, stored] :
        { std::make_pair("PBKDF2-SHA256, 100 000 rounds (before)", pbkdf2),
            std::make_pair("Argon2id, 19 MiB, t=2, p=1 (now)", argon2id) }) {
        std::vector<double> times;
        std::vector<double> memory;
        for (int i = 0; i < runs; ++i) {
            const auto [ms, kib] = measureCheck(stored);
            times.push_back(ms);
            memory.push_back(double(kib));
        }
        std::printf("one check, %-40s %7.1f ms, peak memory +%6.0f KiB\n",
            name,
            median(times),
            median(memory));
    }

    std::vector<std::tuple<QString, QString, QString>> variants {
        { QStringLiteral("Argon2id stored"), serverBinary, argon2id },
        { QStringLiteral("PBKDF2 stored (checked, then rehashed)"), serverBinary, pbkdf2 },
    };
    if (parser.isSet(earlierOption))
        variants.emplace_back(QStringLiteral("earlier server, its own hashes"),
            parser.value(earlierOption),
            QString());
    for (const auto &[name, binary, stored] : variants) {
        std::vector<double> times;
        std::vector<double> peaks;
        int answered = 0;
        for (int i = 0; i < runs; ++i) {
            const LoginRun run = runLogins(binary, stored, logins);
            times.push_back(run.lastAnsweredMs);
            peaks.push_back(double(run.serverPeakKiB));
            answered = run.answered;
        }
        std::printf("%d logins at once, %-40s last answered after %8.0f ms (%d answered), server "
                    "peak RSS %6.1f MiB\n",
            logins,
            qPrintable(name),
            median(times),
            answered,
            median(peaks) / 1024.0);
        std::fflush(stdout);
    }
    ::getloadavg(load, 3);
    std::printf("load average at end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
