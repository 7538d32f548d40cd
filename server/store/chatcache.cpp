#include "chatcache.h"

namespace
{

// Plenty for the chats in use at one time, in some 100 MB at most (a member's id takes some 70
// bytes); beyond it, starting afresh is cheap.
constexpr int maxEntries = 100000;
constexpr qint64 maxMembers = 1000000;

} // namespace

ChatCache::ChatCache(bool keepsGroups)
    : keepsGroups(keepsGroups)
{
}

std::optional<ChatCache::Entry> ChatCache::find(const QString &chatId) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = entries.constFind(chatId);
    if (it == entries.constEnd())
        return std::nullopt;
    return *it;
}

quint64 ChatCache::generation() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return forgotten;
}

void ChatCache::insert(const Entry &entry, quint64 generation)
{
    if (!keepsGroups && entry.chat.type != QLatin1String("private"))
        return;
    std::lock_guard<std::mutex> lock(mutex);
    if (generation != forgotten)
        return;
    // Two reads may finish in either order; the later version stays.
    const auto known = entries.constFind(entry.chat.id);
    if (known != entries.constEnd() && known->version > entry.version)
        return;
    if (known != entries.constEnd())
        members -= known->chat.members.size();
    if (entries.size() >= maxEntries || members + entry.chat.members.size() > maxMembers) {
        entries.clear();
        members = 0;
    }
    entries.insert(entry.chat.id, entry);
    members += entry.chat.members.size();
}

void ChatCache::forget(const QString &chatId)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++forgotten;
    const auto known = entries.constFind(chatId);
    if (known == entries.constEnd())
        return;
    members -= known->chat.members.size();
    entries.erase(known);
}

void ChatCache::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    ++forgotten;
    entries.clear();
    members = 0;
}
