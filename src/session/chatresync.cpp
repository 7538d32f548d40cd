#include "chatresync.h"

#include <QSet>
#include <algorithm>
#include <utility>

namespace
{

void sortByTime(std::vector<Message> &messages)
{
    std::stable_sort(messages.begin(), messages.end(), [](const Message &a, const Message &b) {
        return a.timestamp < b.timestamp;
    });
}

} // namespace

ChatResync::ChatResync(QString chatId, std::vector<Message> held, std::vector<Message> fresh)
    : id(std::move(chatId))
    , held(std::move(held))
    , covered(std::move(fresh))
{
    sortByTime(this->held);
    sortByTime(covered);
    // An empty fresh page means the chat has no messages at all now.
    exhausted = covered.empty();
    settle();
}

const QString &ChatResync::chatId() const
{
    return id;
}

void ChatResync::settle()
{
    if (held.empty() || exhausted || covered.empty()) {
        bridged = true;
        return;
    }
    // The newest held message lies inside the covered span: nothing can be missing between.
    bridged = held.back().timestamp >= covered.front().timestamp;
}

bool ChatResync::needsPage() const
{
    return !bridged && !gaveUp && pages < maxPages;
}

qint64 ChatResync::nextBefore() const
{
    return covered.empty() ? 0 : covered.front().timestamp;
}

int ChatResync::pagesFetched() const
{
    return pages;
}

void ChatResync::addPage(const std::vector<Message> &page)
{
    ++pages;
    QSet<QString> known;
    for (const Message &m : covered)
        known.insert(m.id);
    bool older = false;
    for (const Message &m : page) {
        if (known.contains(m.id))
            continue;
        known.insert(m.id);
        covered.push_back(m);
        older = true;
    }
    sortByTime(covered);
    // Nothing new in an answer: the server holds nothing older.
    if (!older)
        exhausted = true;
    settle();
}

void ChatResync::giveUp()
{
    gaveUp = true;
}

std::vector<Message> ChatResync::result() const
{
    if (!bridged)
        return covered;
    std::vector<Message> merged;
    QSet<QString> inCovered;
    for (const Message &m : covered)
        inCovered.insert(m.id);
    const bool everything = exhausted;
    const qint64 spanStart = covered.empty() ? 0 : covered.front().timestamp;
    for (const Message &m : held) {
        if (inCovered.contains(m.id) || everything)
            continue;
        // Older than the span: not looked at again, kept. Stamped the span's first second:
        // the page may have cut that second, so its absence proves nothing.
        if (m.timestamp <= spanStart)
            merged.push_back(m);
    }
    // Held ones first, so that within one second they keep their place before the fresh ones.
    merged.insert(merged.end(), covered.cbegin(), covered.cend());
    sortByTime(merged);
    return merged;
}

QStringList ChatResync::removedIds() const
{
    QSet<QString> kept;
    for (const Message &m : result())
        kept.insert(m.id);
    QStringList removed;
    for (const Message &m : held) {
        if (!kept.contains(m.id))
            removed.append(m.id);
    }
    return removed;
}

QStringList ChatResync::changedIds() const
{
    QStringList changed;
    for (const Message &m : held) {
        const auto found = std::find_if(
            covered.cbegin(), covered.cend(), [&m](const Message &c) { return c.id == m.id; });
        if (found != covered.cend()
            && (found->content != m.content || found->editedAt != m.editedAt))
            changed.append(m.id);
    }
    return changed;
}
