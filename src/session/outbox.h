#pragma once

#include <QString>
#include <QStringList>
#include <variant>
#include <vector>

// What waits to be sent, and what was sent and is not confirmed yet: the local copies of new
// messages (by local id; the copies themselves are in the store) and the edits, deletions and
// seen receipts made while the connection was down. It holds no socket and no clock of its own:
// the session tells it what was sent when, and asks it what to send after a login.
class Outbox
{
public:
    // A send still unconfirmed this long while connected is taken as failed.
    static constexpr qint64 confirmTimeoutMs = 2 * 60 * 1000;
    // Sends per message before it is marked failed.
    static constexpr int maxAttempts = 3;

    struct Entry {
        QString localId;
        int attempts = 0;
        // Monotonic time of the last send while connected; -1 while waiting for a connection.
        qint64 sentAtMs = -1;
        // When the user made it, among everything queued.
        quint64 order = 0;
    };

    enum class ActionKind { Edit, Delete, Seen };
    struct Action {
        ActionKind kind = ActionKind::Seen;
        QString chatId;
        QString messageId;
        QString text;

        bool operator==(const Action &other) const;
    };

    // One thing to send after a login: the local id of a queued message, or a request.
    using Step = std::variant<QString, Action>;

    // A message to send, after everything queued before it.
    void add(const QString &localId);
    bool contains(const QString &localId) const;
    const Entry *entry(const QString &localId) const;
    bool isEmpty() const;
    int size() const;

    // Records a send while connected.
    void markSent(const QString &localId, qint64 nowMs);
    // The connection dropped: sends in flight wait for the next login, except those that used
    // every attempt, which fail. Returns the ids that failed; they leave the outbox.
    QStringList connectionLost();
    // Sends unconfirmed for too long fail. Returns the ids that failed; they leave the outbox.
    QStringList expire(qint64 nowMs);
    // The message sent first of those in flight; the server answers in order, so a refusal
    // that names no message is about this one. Empty when none is in flight.
    QString oldestInFlight() const;
    void remove(const QString &localId);

    // Requests made while offline, replayed in order after the next login.
    void queue(const Action &action);
    bool hasActions() const;
    // Everything to send after a login, in the order the user made it: the messages waiting
    // for a connection interleaved with the queued requests, which leave the outbox.
    std::vector<Step> takeDue();

    void clear();

private:
    struct QueuedAction {
        Action action;
        quint64 order = 0;
    };

    QStringList takeFailed(bool (*fails)(const Entry &entry, qint64 nowMs), qint64 nowMs);

    std::vector<Entry> entries;
    std::vector<QueuedAction> actions;
    quint64 nextOrder = 0;
};
