#include "outbox.h"

#include <algorithm>

bool Outbox::Action::operator==(const Action &other) const
{
    return kind == other.kind && chatId == other.chatId && messageId == other.messageId
        && text == other.text;
}

void Outbox::add(const QString &localId)
{
    remove(localId);
    Entry entry;
    entry.localId = localId;
    entry.order = nextOrder++;
    entries.push_back(entry);
}

bool Outbox::contains(const QString &localId) const
{
    return entry(localId) != nullptr;
}

const Outbox::Entry *Outbox::entry(const QString &localId) const
{
    const auto found = std::find_if(entries.cbegin(), entries.cend(), [&localId](const Entry &e) {
        return e.localId == localId;
    });
    return found == entries.cend() ? nullptr : &*found;
}

bool Outbox::isEmpty() const
{
    return entries.empty();
}

int Outbox::size() const
{
    return static_cast<int>(entries.size());
}

void Outbox::markSent(const QString &localId, qint64 nowMs)
{
    for (Entry &e : entries) {
        if (e.localId == localId) {
            ++e.attempts;
            e.sentAtMs = nowMs;
        }
    }
}

QStringList Outbox::takeFailed(bool (*fails)(const Entry &entry, qint64 nowMs), qint64 nowMs)
{
    QStringList failed;
    const auto end = std::remove_if(entries.begin(), entries.end(), [&](const Entry &e) {
        if (!fails(e, nowMs))
            return false;
        failed.append(e.localId);
        return true;
    });
    entries.erase(end, entries.end());
    return failed;
}

QStringList Outbox::connectionLost()
{
    const QStringList failed = takeFailed(
        [](const Entry &e, qint64) { return e.sentAtMs >= 0 && e.attempts >= maxAttempts; }, 0);
    for (Entry &e : entries)
        e.sentAtMs = -1;
    return failed;
}

QStringList Outbox::expire(qint64 nowMs)
{
    return takeFailed(
        [](const Entry &e, qint64 now) {
            return e.sentAtMs >= 0 && now - e.sentAtMs >= confirmTimeoutMs;
        },
        nowMs);
}

QString Outbox::oldestInFlight() const
{
    const Entry *oldest = nullptr;
    for (const Entry &e : entries) {
        if (e.sentAtMs >= 0 && (!oldest || e.sentAtMs < oldest->sentAtMs))
            oldest = &e;
    }
    return oldest ? oldest->localId : QString();
}

void Outbox::remove(const QString &localId)
{
    entries.erase(std::remove_if(entries.begin(),
                      entries.end(),
                      [&localId](const Entry &e) { return e.localId == localId; }),
        entries.end());
}

void Outbox::queue(const Action &action)
{
    // A receipt repeated while offline says nothing new.
    if (action.kind == ActionKind::Seen
        && std::any_of(actions.cbegin(), actions.cend(), [&action](const QueuedAction &queued) {
               return queued.action == action;
           }))
        return;
    actions.push_back({ action, nextOrder++ });
}

std::vector<Outbox::Step> Outbox::takeDue()
{
    // (order, index): below actions.size() an index is a queued action, above it a message.
    std::vector<std::pair<quint64, size_t>> ordered;
    for (size_t i = 0; i < actions.size(); ++i)
        ordered.emplace_back(actions[i].order, i);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].sentAtMs < 0)
            ordered.emplace_back(entries[i].order, actions.size() + i);
    }
    std::sort(ordered.begin(), ordered.end());
    std::vector<Step> steps;
    steps.reserve(ordered.size());
    for (const auto &item : ordered) {
        if (item.second < actions.size())
            steps.emplace_back(actions[item.second].action);
        else
            steps.emplace_back(entries[item.second - actions.size()].localId);
    }
    actions.clear();
    return steps;
}

bool Outbox::hasActions() const
{
    return !actions.empty();
}

void Outbox::clear()
{
    entries.clear();
    actions.clear();
}
