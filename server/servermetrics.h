#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

// Counts of events over buckets of upper bounds, as Prometheus keeps a histogram.
class Histogram
{
public:
    explicit Histogram(QVector<double> bounds);

    void observe(double value);
    // The "_bucket", "_sum" and "_count" lines of the histogram `name`.
    QByteArray render(const QByteArray &name, const QByteArray &help) const;

private:
    QVector<double> bounds;
    // One more than `bounds`: the last counts what lies above every bound.
    QVector<quint64> counts;
    double sum = 0;
    quint64 count = 0;
};

// What the server counts for "/metrics", rendered in the Prometheus text format.
class ServerMetrics
{
public:
    ServerMetrics();

    // The moment's gauges, read from the server when the metrics are asked for.
    struct Gauges {
        int connections = 0;
        int usersLoggedIn = 0;
        int queuedRequests = 0;
    };

    void countRequest(const QString &type);
    void countFrameSent(const QString &type, int copies = 1);
    // Why a login was refused, as the "reason" label of the refusals counter names it.
    enum class LoginRefusal {
        // Wrong password, unknown name or token.
        BadCredentials,
        // Answered unchecked while the failure throttle holds the account for the address.
        Throttled,
        // The password checks waiting from all addresses together were as many as allowed.
        QueueFull,
        // The account has as many connections as it may.
        TooManyConnections,
    };
    void countRefusedLogin(LoginRefusal reason);
    void countCommit(int writes, double seconds, bool committed);

    QByteArray render(const Gauges &gauges) const;

private:
    QByteArray refusals() const;

    QHash<QString, quint64> requestsByType;
    QHash<QString, quint64> framesByType;
    quint64 refusedLogins[4] = {};
    quint64 failedCommits = 0;
    Histogram batchSizes;
    Histogram commitSeconds;
};
