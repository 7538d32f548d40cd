// ferrow-clientbench: how long the real ferrow-desktop makes its user wait, at scale.
//
//   ferrow-clientbench [--runs N] [--scenario LIST] [--client PATH] [--display :N]
//
// Starts ferrow-desktop (by default the one built next to this program) on an Xvfb display of
// its own, with a fresh home whose settings hold a login, against an in-process fake server on
// loopback. It clicks with xdotool and reads the time of every frame the client writes back.
// Each scenario is run N times (default 5), each time with a fresh client, and printed as
// median, min and max:
//   1. open a chat of 100, 1 000, 10 000 messages held since login: click -> the client
//      acknowledges a message pushed right after the click
//   2. the same click -> the last receipt of that chat on the wire
//   3. login push of 1 000 chats x 50 messages -> the first chat open and answering; resident
//      memory of the client after it
//   4. 20 000 "message" frames for chats that are not open, then one for the open chat: frames
//      per second until that one is acknowledged
//   5. a page of 10 000 older messages (all replies, then none) prepended to the open chat ->
//      the client acknowledges a message pushed behind it
//   6. CPU time of the client over 5 s with nothing arriving (after scenario 3's login)
//   7. open a chat of 1 000 picture messages, with "Show pictures in messages" off and on: as
//      scenario 1, and how many pictures the client then asked for (only those painted)

#include "clientbench.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <csignal>
#include <cstdio>

namespace
{

// Exit code for a command line that cannot be understood, as the other tools use it.
constexpr int usageError = 2;
constexpr int scenarioCount = 7;

} // namespace

int main(int argc, char **argv)
{
    // A client that dies mid-run must end up in the report, not take the bench down.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ferrow-clientbench"));

    ClientBench::Options options;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Benchmark of ferrow-desktop against an in-process fake server."));
    parser.addHelpOption();
    const QCommandLineOption clientOption(QStringLiteral("client"),
        QStringLiteral("The ferrow-desktop binary (default: the one next to this program)."),
        QStringLiteral("PATH"),
        QCoreApplication::applicationDirPath() + QStringLiteral("/ferrow-desktop"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
        QStringLiteral("Runs per scenario (default: %1).").arg(options.runs),
        QStringLiteral("N"),
        QString::number(options.runs));
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
        QStringLiteral("Comma-separated scenario numbers 1 to %1 (default: all).")
            .arg(scenarioCount),
        QStringLiteral("LIST"));
    const QCommandLineOption displayOption(QStringLiteral("display"),
        QStringLiteral("An X display to use instead of starting Xvfb (e.g. :92)."),
        QStringLiteral(":N"));
    const QCommandLineOption previewsOption(QStringLiteral("previews"),
        QStringLiteral("Run the client with \"Show previews and unread counts\" on."));
    parser.addOptions({ clientOption, runsOption, scenarioOption, displayOption, previewsOption });
    parser.process(app);
    options.previews = parser.isSet(previewsOption);

    options.clientBinary = parser.value(clientOption);
    options.display = parser.value(displayOption);
    bool ok = false;
    options.runs = parser.value(runsOption).toInt(&ok);
    if (!ok || options.runs < 1) {
        std::fprintf(stderr, "--runs needs a positive number\n");
        return usageError;
    }
    if (parser.isSet(scenarioOption)) {
        for (const QString &item : parser.value(scenarioOption).split(QLatin1Char(','))) {
            const int scenario = item.trimmed().toInt(&ok);
            if (!ok || scenario < 1 || scenario > scenarioCount) {
                std::fprintf(stderr, "unknown scenario: %s\n", qPrintable(item));
                return usageError;
            }
            options.scenarios.insert(scenario);
        }
    }
    if (!QFileInfo(options.clientBinary).isExecutable()) {
        std::fprintf(stderr, "no client binary at %s\n", qPrintable(options.clientBinary));
        return usageError;
    }

    ClientBench bench(options);
    return bench.run();
}
