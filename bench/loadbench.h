#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <memory>
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

// Runs one load test against a freshly started ferrow-server: N logged-in WebSocket clients
// in a few group chats, each sending at a fixed rate, every receipt checked and timed.
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
    };

    explicit LoadBench(const Options &options, QObject *parent = nullptr);
    ~LoadBench() override;

    // Prepares the data directory and starts the server; false, with the reason printed, when
    // either fails. The clients connect once the event loop runs; the application exits with
    // the bench's result when it is done.
    bool start();

private:
    struct Client;
    enum class Phase { LoggingIn, Sending, Draining, Done };

    bool prepareData();
    bool startServer();
    void connectClients();
    void onFrame(Client &client, const QString &text);
    void onLoginFrame(Client &client, const QJsonObject &frame);
    void onMessageFrame(Client &client, const QJsonObject &frame, qint64 nowNs);
    void startSending();
    void sendNext(Client &client);
    void startDraining();
    void finish(const QString &reason);
    void stopServer();
    void printReport();

    QString groupName(int group) const;
    int messagesPerClient() const;

    Options options;
    // One monotonic clock for every client, so that send and receipt times compare directly.
    QElapsedTimer clock;
    QTemporaryDir dataDir;
    QProcess server;
    QUrl serverUrl;
    QByteArray serverErrors;
    bool serverStopping = false;
    QString serverExit;
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<int> groupSizes;
    Phase phase = Phase::LoggingIn;
    QString endReason;
    QTimer deadline;
    QTimer drainTimer;

    struct Sent {
        qint64 sentNs;
        int group;
        int sender;
        int seq;
    };
    QHash<QString, Sent> sentByToken;
    std::vector<qint64> latencies;

    qint64 setupNs = 0;
    qint64 serverStartNs = 0;
    qint64 loginStartNs = 0;
    qint64 loginDoneNs = 0;
    qint64 sendStartNs = 0;
    qint64 sendDoneNs = 0;
    qint64 lastReceiptNs = 0;
    qint64 endNs = 0;
    int readyClients = 0;
    int clientsDoneSending = 0;
    qint64 expected = 0;
    qint64 delivered = 0;
    qint64 duplicates = 0;
    qint64 misrouted = 0;
    qint64 outOfOrder = 0;
    qint64 foreignMessages = 0;
    int disconnects = 0;
    QMap<QString, int> socketErrors;
    QMap<QString, int> errors;
    int errorCount = 0;
};
