#include "typingtracker.h"

#include <algorithm>

QString TypingTracker::key(const QString &chatId, const QString &userId)
{
    return chatId + QLatin1Char('\n') + userId;
}

bool TypingTracker::add(const QString &chatId, const QString &userId, qint64 now)
{
    std::vector<Typist> &typists = byChat[chatId];
    const auto found = std::find_if(
        typists.begin(), typists.end(), [&userId](const Typist &t) { return t.userId == userId; });
    if (found != typists.end()) {
        found->until = now + shownForMs;
        return false;
    }
    const QString changeKey = key(chatId, userId);
    const auto last = lastChange.constFind(changeKey);
    if (last != lastChange.constEnd() && now - *last < minChangeMs) {
        if (typists.empty())
            byChat.remove(chatId);
        return false;
    }
    typists.push_back({ userId, now + shownForMs });
    lastChange.insert(changeKey, now);
    return true;
}

bool TypingTracker::remove(const QString &chatId, const QString &userId, qint64 now)
{
    const auto chat = byChat.find(chatId);
    if (chat == byChat.end())
        return false;
    const auto found = std::find_if(
        chat->begin(), chat->end(), [&userId](const Typist &t) { return t.userId == userId; });
    if (found == chat->end())
        return false;
    chat->erase(found);
    if (chat->empty())
        byChat.erase(chat);
    lastChange.insert(key(chatId, userId), now);
    return true;
}

QStringList TypingTracker::expire(qint64 now)
{
    QStringList changed;
    for (auto chat = byChat.begin(); chat != byChat.end();) {
        const auto end = std::remove_if(
            chat->begin(), chat->end(), [now](const Typist &t) { return t.until <= now; });
        if (end != chat->end()) {
            for (auto it = end; it != chat->end(); ++it)
                lastChange.insert(key(chat.key(), it->userId), now);
            chat->erase(end, chat->end());
            changed.append(chat.key());
        }
        chat = chat->empty() ? byChat.erase(chat) : std::next(chat);
    }
    // Only recent changes hold anything back.
    for (auto it = lastChange.begin(); it != lastChange.end();)
        it = now - *it >= minChangeMs ? lastChange.erase(it) : std::next(it);
    return changed;
}

QStringList TypingTracker::typists(const QString &chatId) const
{
    QStringList ids;
    for (const Typist &typist : byChat.value(chatId))
        ids.append(typist.userId);
    return ids;
}

qint64 TypingTracker::nextExpiry() const
{
    qint64 next = -1;
    for (const std::vector<Typist> &typists : byChat) {
        for (const Typist &typist : typists) {
            if (next < 0 || typist.until < next)
                next = typist.until;
        }
    }
    return next;
}

void TypingTracker::clear()
{
    byChat.clear();
    lastChange.clear();
}

QString typingText(const QStringList &names)
{
    const QChar ellipsis(0x2026);
    switch (names.size()) {
    case 0:
        return QString();
    case 1:
        return names.at(0) + QStringLiteral(" is typing") + ellipsis;
    case 2:
        return names.at(0) + QStringLiteral(" and ") + names.at(1) + QStringLiteral(" are typing")
            + ellipsis;
    default:
        return QStringLiteral("Several people are typing") + ellipsis;
    }
}
