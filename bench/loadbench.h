#pragma once

#include "databaseurl.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

// Percentiles of a latency sample, in milliseconds; all zero for an empty sample.
struct LatencySummary {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};

// Summarises latencies given in nanoseconds; sorts `latencies` in place.
LatencySummary summarizeLatencies(std::vector<qint64> &latencies);

// What the clients of one thread saw; merged into one for the report.
struct LoadStats {
    qint64 sent = 0;
    qint64 expected = 0;
    qint64 delivered = 0;
    qint64 duplicates = 0;
    qint64 misrouted = 0;
    qint64 outOfOrder = 0;
    qint64 foreignMessages = 0;
    qint64 lastReceiptNs = 0;
    int disconnects = 0;
    int errorCount = 0;
    QMap<QString, int> socketErrors;
    QMap<QString, int> errors;
    std::vector<qint64> latencies;
    // With several servers: the same receipts split by whether sender and receiver are
    // connected to the same server.
    std::vector<qint64> sameServerLatencies;
    std::vector<qint64> crossServerLatencies;

    void merge(LoadStats &&other);
};

class LoadWorker;

// Runs one load test against a freshly started ferrow-server: N logged-in WebSocket clients
// in a few group chats, each sending at a fixed rate, every receipt checked and timed. The
// clients run on a few threads of their own, so that reading 20 copies of every message does
// not make the bench itself the bottleneck.
class LoadBench : public QObject
{
    Q_OBJECT

public:
    struct Options {
        QString serverBinary;
        int connections = 200;
        int groups = 4;
        // Messages per second and connection.
        double rate = 1.0;
        double durationSeconds = 10.0;
        // Longest wait for the last receipts once every message has been sent.
        double drainSeconds = 5.0;
        // PBKDF2 rounds of the bench users' passwords.
        int hashRounds = 1000;
        // Threads the clients are spread over.
        int threads = 2;
        // Further clients that log in and then stay silent beside the load, on a thread of
        // their own; each is a user of its own, in no chat.
        int idle = 0;
        // Appended to the server's command line.
        QStringList serverOptions;
        // A PostgreSQL URL to make a throwaway database in (dropped at the end), instead of
        // SQLite in a temporary folder.
        QString postgres;
        // Server processes on the one database; each group has members on every one of them.
        int servers = 1;
    };

    // What the clients of all threads share: the clock, the send times and the running counts.
    struct Shared {
        // One monotonic clock for every client, so that send and receipt times compare directly.
        QElapsedTimer clock;
        int connections = 0;
        // Client i is in group i % groups.
        int groups = 1;
        int messagesPerClient = 0;
        int servers = 1;
        // Send time of message `seq` (from 1) of client `sender`, in clock nanoseconds; written
        // by the sender's thread before the message goes out, read by the receivers' threads.
        std::unique_ptr<std::atomic<qint64>[]> sentNs;
        std::atomic<qint64> expected { 0 };
        std::atomic<qint64> delivered { 0 };

        std::atomic<qint64> &sendTime(int sender, int seq);
        // The server client `index` connects to: whole rounds of the groups take turns.
        int serverOf(int index) const;
    };

    explicit LoadBench(const Options &options, QObject *parent = nullptr);
    ~LoadBench() override;

    // Prepares the data directory and starts the server; false, with the reason printed, when
    // either fails. The clients connect once the event loop runs; the application exits with
    // the bench's result when it is done.
    bool start();

    // Called by the workers, on this object's thread.
    void onClientReady();
    void onClientDoneSending();
    void finish(const QString &reason);

private:
    enum class Phase { LoggingIn, Sending, Draining, Done };

    bool prepareData();
    bool startServer();
    // Starts `process` serving the bench's store; the address it listens on, or an empty URL.
    QUrl startProcess(QProcess &process);
    void dropDatabase();
    void connectClients();
    void startSending();
    void startDraining();
    void checkDrained();
    void stopServer();
    // The server's CPU time so far, in seconds; -1 where /proc cannot tell.
    double serverCpuSeconds() const;
    // The commit figures of the server's "/metrics", as report lines.
    QStringList commitReport() const;
    void printReport();

    QString groupName(int group) const;

    Options options;
    Shared shared;
    QTemporaryDir dataDir;
    QProcess server;
    QUrl serverUrl;
    // The other servers, when there are several.
    std::vector<std::unique_ptr<QProcess>> otherServers;
    QList<QUrl> serverUrls;
    std::optional<DatabaseUrl> database;
    QByteArray serverErrors;
    bool serverStopping = false;
    QString serverExit;
    struct Account {
        QString username;
        QString password;
        // -1 for an idle client.
        int group = 0;
    };
    std::vector<Account> accounts;
    std::vector<int> groupSizes;
    std::vector<std::unique_ptr<QThread>> threads;
    // Each lives on its thread; deleted there when the thread ends.
    std::vector<LoadWorker *> workers;
    Phase phase = Phase::LoggingIn;
    QString endReason;
    QTimer deadline;
    QTimer drainTimer;
    QTimer drainPoll;
    LoadStats stats;
    double serverCpu = -1;
    QStringList serverCommits;

    qint64 setupNs = 0;
    qint64 serverStartNs = 0;
    qint64 loginStartNs = 0;
    qint64 loginDoneNs = 0;
    qint64 sendStartNs = 0;
    qint64 sendDoneNs = 0;
    qint64 endNs = 0;
    double benchCpuAtSendStart = 0;
    double benchCpuAtEnd = 0;
    double serverCpuAtSendStart = -1;
    int readyClients = 0;
    int clientsDoneSending = 0;
};
