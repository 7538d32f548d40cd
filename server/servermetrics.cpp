#include "servermetrics.h"

#include <QStringList>
#include <algorithm>
#include <iterator>

namespace
{

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 12);
}

QByteArray header(const QByteArray &name, const QByteArray &type, const QByteArray &help)
{
    return "# HELP " + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

QByteArray gauge(const QByteArray &name, const QByteArray &help, double value)
{
    return header(name, "gauge", help) + name + ' ' + number(value) + '\n';
}

QByteArray counter(const QByteArray &name, const QByteArray &help, double value)
{
    return header(name, "counter", help) + name + ' ' + number(value) + '\n';
}

// Label values come from the wire; Prometheus wants backslash, quote and newline escaped.
QByteArray labelValue(const QString &value)
{
    QByteArray bytes = value.toUtf8();
    bytes.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return bytes;
}

QByteArray byType(
    const QByteArray &name, const QByteArray &help, const QHash<QString, quint64> &counts)
{
    QByteArray text = header(name, "counter", help);
    QStringList types = counts.keys();
    types.sort();
    for (const QString &type : qAsConst(types))
        text += name + "{type=\"" + labelValue(type) + "\"} " + number(counts.value(type)) + '\n';
    return text;
}

} // namespace

Histogram::Histogram(QVector<double> bounds)
    : bounds(std::move(bounds))
    , counts(this->bounds.size() + 1, 0)
{
}

void Histogram::observe(double value)
{
    const int bucket =
        int(std::lower_bound(bounds.cbegin(), bounds.cend(), value) - bounds.cbegin());
    ++counts[bucket];
    sum += value;
    ++count;
}

QByteArray Histogram::render(const QByteArray &name, const QByteArray &help) const
{
    QByteArray text = header(name, "histogram", help);
    quint64 cumulative = 0;
    for (int i = 0; i < bounds.size(); ++i) {
        cumulative += counts.at(i);
        text += name + "_bucket{le=\"" + number(bounds.at(i)) + "\"} " + number(cumulative) + '\n';
    }
    text += name + "_bucket{le=\"+Inf\"} " + number(count) + '\n';
    text += name + "_sum " + number(sum) + '\n';
    text += name + "_count " + number(count) + '\n';
    return text;
}

ServerMetrics::ServerMetrics()
    : batchSizes({ 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000 })
    , commitSeconds({ 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1 })
{
}

void ServerMetrics::countRequest(const QString &type)
{
    ++requestsByType[type];
}

void ServerMetrics::countFrameSent(const QString &type, int copies)
{
    framesByType[type] += quint64(copies);
}

void ServerMetrics::countRefusedLogin(LoginRefusal reason)
{
    ++refusedLogins[int(reason)];
}

void ServerMetrics::countCommit(int writes, double seconds, bool committed)
{
    batchSizes.observe(writes);
    commitSeconds.observe(seconds);
    if (!committed)
        ++failedCommits;
}

QByteArray ServerMetrics::refusals() const
{
    // Every reason, even at zero, so that a rate over any of them is defined from the start.
    static const char *const reasons[] = {
        "bad_credentials", "throttled", "queue_full", "too_many_connections"
    };
    static_assert(std::size(reasons) == sizeof(refusedLogins) / sizeof(refusedLogins[0]));
    const QByteArray name = "ferrow_logins_refused_total";
    QByteArray text = header(name, "counter", "Logins refused, by reason.");
    for (std::size_t i = 0; i < std::size(reasons); ++i)
        text += name + "{reason=\"" + reasons[i] + "\"} " + number(double(refusedLogins[i])) + '\n';
    return text;
}

QByteArray ServerMetrics::render(const Gauges &gauges) const
{
    return gauge("ferrow_connections_open", "Open WebSocket connections.", gauges.connections)
        + gauge(
            "ferrow_users_logged_in", "Users with at least one connection.", gauges.usersLoggedIn)
        + gauge("ferrow_requests_queued",
            "Requests received and waiting for their turn, on all connections.",
            gauges.queuedRequests)
        + byType("ferrow_requests_total", "Requests handled, by type.", requestsByType)
        + byType("ferrow_frames_sent_total", "Frames sent to connections, by type.", framesByType)
        + refusals()
        + counter("ferrow_commits_failed_total",
            "Commits that failed; their writes were answered with an error.",
            double(failedCommits))
        + batchSizes.render("ferrow_commit_batch_size", "Writes per commit.")
        + commitSeconds.render("ferrow_commit_seconds", "Time one commit took, in seconds.");
}
