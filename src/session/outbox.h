#pragma once

#include "model/message.h"

#include <QString>
#include <QStringList>
#include <variant>
#include <vector>

// Own messages shown at once but not yet confirmed by the server, and the edits, deletions and
// seen receipts made while the connection was down. It holds no socket and no clock of its own:
// the window tells it what was sent when, and asks it what to send after a login.
class Outbox
{
public:
    // How far the server's clock may lag ours when an echo is matched to its local copy; a
    // minute covers ordinary drift without matching a message typed long before.
    static constexpr qint64 clockAllowanceSecs = 60;
    // A send still unconfirmed this long while connected is taken as failed.
    static constexpr qint64 confirmTimeoutMs = 2 * 60 * 1000;
    // Sends per message before it is marked failed.
    static constexpr int maxAttempts = 3;

    struct Entry {
        Message message;
        int attempts = 0;
        // Monotonic time of the last send while connected; -1 while waiting for a connection.
        qint64 sentAtMs = -1;
        bool failed = false;
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

    // One thing to send after a login: a queued message or a request.
    using Step = std::variant<Message, Action>;

    void add(const Message &local);
    bool contains(const QString &localId) const;
    const Entry *entry(const QString &localId) const;
    bool isEmpty() const;
    int size() const;

    // Whether `echo` (an own message from the server) confirms `local`: same chat, same text,
    // stamped no earlier than typed, allowing for clock difference.
    static bool confirms(const Message &echo, const Message &local);
    // The local id of the first entry, in typed order, that `echo` confirms, taken out of the
    // outbox; empty when none matches.
    QString takeEcho(const Message &echo);

    // Every message held, in typed order.
    std::vector<Message> messages() const;
    // The messages to send, in typed order: those not failed and not in flight.
    std::vector<Message> due() const;
    // Records a send while connected.
    void markSent(const QString &localId, qint64 nowMs);
    // The connection dropped: sends in flight wait for the next login, except those that used
    // every attempt, which fail. Returns the ids that failed.
    QStringList connectionLost();
    // Sends unconfirmed for too long fail. Returns the ids that failed.
    QStringList expire(qint64 nowMs);
    // A failed message goes back into the queue with fresh attempts.
    bool retry(const QString &localId);
    void remove(const QString &localId);

    // Requests made while offline, replayed in order after the next login.
    void queue(const Action &action);
    std::vector<Action> takeActions();
    bool hasActions() const;
    // Everything to send after a login, in the order the user made it: the messages of due()
    // interleaved with the queued requests, which leave the outbox.
    std::vector<Step> takeDue();

    void clear();

private:
    struct QueuedAction {
        Action action;
        quint64 order = 0;
    };

    std::vector<Entry> entries;
    std::vector<QueuedAction> actions;
    quint64 nextOrder = 0;
};
