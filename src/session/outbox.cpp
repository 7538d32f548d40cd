#include "outbox.h"

#include <algorithm>

bool Outbox::Action::operator==(const Action &other) const
{
    return kind == other.kind && chatId == other.chatId && messageId == other.messageId
        && text == other.text;
}

void Outbox::add(const Message &local)
{
    Entry entry;
    entry.message = local;
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
        return e.message.id == localId;
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

bool Outbox::confirms(const Message &echo, const Message &local)
{
    return echo.chatId == local.chatId && echo.content == local.content
        && echo.timestamp >= local.timestamp - clockAllowanceSecs;
}

QString Outbox::takeEcho(const Message &echo)
{
    const auto found = std::find_if(entries.begin(), entries.end(), [&echo](const Entry &e) {
        return confirms(echo, e.message);
    });
    if (found == entries.end())
        return QString();
    const QString localId = found->message.id;
    entries.erase(found);
    return localId;
}

std::vector<Message> Outbox::messages() const
{
    std::vector<Message> all;
    for (const Entry &e : entries)
        all.push_back(e.message);
    return all;
}

std::vector<Message> Outbox::due() const
{
    std::vector<Message> messages;
    for (const Entry &e : entries) {
        if (!e.failed && e.sentAtMs < 0)
            messages.push_back(e.message);
    }
    return messages;
}

void Outbox::markSent(const QString &localId, qint64 nowMs)
{
    for (Entry &e : entries) {
        if (e.message.id == localId) {
            ++e.attempts;
            e.sentAtMs = nowMs;
        }
    }
}

QStringList Outbox::connectionLost()
{
    QStringList failed;
    for (Entry &e : entries) {
        if (e.sentAtMs < 0)
            continue;
        e.sentAtMs = -1;
        if (e.attempts >= maxAttempts && !e.failed) {
            e.failed = true;
            failed.append(e.message.id);
        }
    }
    return failed;
}

QStringList Outbox::expire(qint64 nowMs)
{
    QStringList failed;
    for (Entry &e : entries) {
        if (!e.failed && e.sentAtMs >= 0 && nowMs - e.sentAtMs >= confirmTimeoutMs) {
            e.failed = true;
            e.sentAtMs = -1;
            failed.append(e.message.id);
        }
    }
    return failed;
}

bool Outbox::retry(const QString &localId)
{
    for (Entry &e : entries) {
        if (e.message.id == localId && e.failed) {
            e.failed = false;
            e.attempts = 0;
            e.sentAtMs = -1;
            // Sent again from now on: after what was queued before the retry.
            e.order = nextOrder++;
            return true;
        }
    }
    return false;
}

void Outbox::remove(const QString &localId)
{
    entries.erase(std::remove_if(entries.begin(),
                      entries.end(),
                      [&localId](const Entry &e) { return e.message.id == localId; }),
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

std::vector<Outbox::Action> Outbox::takeActions()
{
    std::vector<Action> taken;
    for (const QueuedAction &queued : actions)
        taken.push_back(queued.action);
    actions.clear();
    return taken;
}

std::vector<Outbox::Step> Outbox::takeDue()
{
    std::vector<std::pair<quint64, Step>> ordered;
    for (const Entry &e : entries) {
        if (!e.failed && e.sentAtMs < 0)
            ordered.emplace_back(e.order, e.message);
    }
    for (const QueuedAction &queued : actions)
        ordered.emplace_back(queued.order, queued.action);
    actions.clear();
    std::sort(ordered.begin(), ordered.end(), [](const auto &a, const auto &b) {
        return a.first < b.first;
    });
    std::vector<Step> steps;
    steps.reserve(ordered.size());
    for (auto &item : ordered)
        steps.push_back(std::move(item.second));
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
