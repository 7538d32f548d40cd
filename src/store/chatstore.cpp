#include "chatstore.h"

#include "model/metatypes.h"
#include "net/wireformat.h"

#include <QTimer>
#include <algorithm>
#include <utility>

namespace
{

// A "get_history" answer that has not come by then is taken as lost, so paging is not blocked
// for good by one dropped request.
constexpr int historyRequestTimeoutMs = 15000;

qint64 lastActivity(const Chat &chat)
{
    return chat.messages.empty() ? 0 : chat.messages.back().timestamp;
}

bool earlier(const Message &a, const Message &b)
{
    return a.timestamp < b.timestamp;
}

} // namespace

ChatStore::ChatStore(QObject *parent)
    : QObject(parent)
    , timeout(new QTimer(this))
{
    registerMetaTypes();
    timeout->setSingleShot(true);
    timeout->setInterval(historyRequestTimeoutMs);
    connect(timeout, &QTimer::timeout, this, &ChatStore::finishHistoryRequest);
}

ChatStore::~ChatStore() = default;

void ChatStore::clear()
{
    me.clear();
    userList.clear();
    userIndex.clear();
    entries.clear();
    activityClock = 0;
    orderDirty = true;
    pending.clear();
    sentCopies.clear();
    pendingByText.clear();
    finishHistoryRequest();
    exhaustedChats.clear();
}

void ChatStore::setCurrentUserId(const QString &userId)
{
    me = userId;
}

const QString &ChatStore::currentUserId() const
{
    return me;
}

const std::vector<User> &ChatStore::users() const
{
    return userList;
}

const User *ChatStore::user(const QString &userId) const
{
    const auto found = userIndex.constFind(userId);
    return found == userIndex.constEnd() ? nullptr : &userList[static_cast<size_t>(*found)];
}

int ChatStore::chatCount() const
{
    return entries.size();
}

bool ChatStore::hasChat(const QString &chatId) const
{
    return entries.contains(chatId);
}

const Chat *ChatStore::chat(const QString &chatId) const
{
    const Entry *e = entry(chatId);
    return e ? &e->chat : nullptr;
}

QStringList ChatStore::chatIdsByActivity() const
{
    if (orderDirty) {
        std::vector<const Entry *> sorted;
        sorted.reserve(static_cast<size_t>(entries.size()));
        for (const Entry &e : entries)
            sorted.push_back(&e);
        std::sort(sorted.begin(), sorted.end(), [](const Entry *a, const Entry *b) {
            return a->activity > b->activity;
        });
        orderCache.clear();
        rowCache.clear();
        orderCache.reserve(static_cast<int>(sorted.size()));
        for (const Entry *e : sorted) {
            rowCache.insert(e->chat.id, orderCache.size());
            orderCache.append(e->chat.id);
        }
        orderDirty = false;
    }
    return orderCache;
}

int ChatStore::chatRow(const QString &chatId) const
{
    chatIdsByActivity();
    return rowCache.value(chatId, -1);
}

const Message *ChatStore::message(const QString &chatId, const QString &messageId) const
{
    const Entry *e = entry(chatId);
    if (!e)
        return nullptr;
    const auto found = e->index.constFind(messageId);
    if (found == e->index.constEnd())
        return nullptr;
    return &e->chat.messages[static_cast<size_t>(*found + e->offset)];
}

Message *ChatStore::heldMessage(const QString &chatId, const QString &messageId)
{
    return const_cast<Message *>(std::as_const(*this).message(chatId, messageId));
}

int ChatStore::messagePosition(const QString &chatId, const QString &messageId) const
{
    const Entry *e = entry(chatId);
    if (!e)
        return -1;
    const auto found = e->index.constFind(messageId);
    return found == e->index.constEnd() ? -1 : static_cast<int>(*found + e->offset);
}

ChatStore::Entry *ChatStore::entry(const QString &chatId)
{
    const auto found = entries.find(chatId);
    return found == entries.end() ? nullptr : &*found;
}

const ChatStore::Entry *ChatStore::entry(const QString &chatId) const
{
    const auto found = entries.constFind(chatId);
    return found == entries.constEnd() ? nullptr : &*found;
}

MessageStatus ChatStore::calculateMessageStatus(const Message &msg, const Chat &chat) const
{
    if (msg.senderId != me)
        return Sent;
    if (msg.id.startsWith(QLatin1String("temp_")))
        return Sending;
    for (const QString &member : chat.members) {
        if (member != me && msg.seenBy.contains(member))
            return Seen;
    }
    return Sent;
}

void ChatStore::reindex(Entry &e)
{
    e.offset = 0;
    e.index.clear();
    e.index.reserve(static_cast<int>(e.chat.messages.size()));
    qint64 position = 0;
    for (const Message &message : e.chat.messages) {
        // A message listed twice is found at its first place.
        if (!e.index.contains(message.id))
            e.index.insert(message.id, position);
        ++position;
    }
}

void ChatStore::append(Entry &e, const Message &msg)
{
    e.index.insert(msg.id, static_cast<qint64>(e.chat.messages.size()) - e.offset);
    e.chat.messages.push_back(msg);
    e.chat.messages.back().status = calculateMessageStatus(msg, e.chat);
}

void ChatStore::touch(Entry &e)
{
    e.activity = ++activityClock;
    orderDirty = true;
}

void ChatStore::merge(Entry &e, std::vector<Message> added)
{
    auto &messages = e.chat.messages;
    for (Message &message : added)
        message.status = calculateMessageStatus(message, e.chat);
    std::stable_sort(added.begin(), added.end(), earlier);
    // The usual case, an older page: everything new goes in front of a sorted history, so only
    // the new messages need a place in the index.
    const bool older = messages.empty()
        || (added.back().timestamp < messages.front().timestamp
            && std::is_sorted(messages.begin(), messages.end(), earlier));
    if (older) {
        const auto count = static_cast<qint64>(added.size());
        messages.insert(messages.begin(),
            std::make_move_iterator(added.begin()),
            std::make_move_iterator(added.end()));
        e.offset += count;
        for (qint64 i = 0; i < count; ++i)
            e.index.insert(messages[static_cast<size_t>(i)].id, i - e.offset);
        return;
    }
    messages.insert(messages.end(),
        std::make_move_iterator(added.begin()),
        std::make_move_iterator(added.end()));
    std::stable_sort(messages.begin(), messages.end(), earlier);
    reindex(e);
}

void ChatStore::joinMessages(const QString &chatId, std::vector<Message> messages)
{
    Entry *e = entry(chatId);
    if (!e)
        return;
    std::vector<Message> added;
    QSet<QString> seen;
    for (Message &message : messages) {
        if (e->index.contains(message.id) || seen.contains(message.id))
            continue;
        seen.insert(message.id);
        added.push_back(std::move(message));
    }
    if (!added.empty())
        merge(*e, std::move(added));
}

void ChatStore::applyChatHistory(std::vector<Chat> batch)
{
    std::vector<const Chat *> newlyStored;

    for (Chat &incoming : batch) {
        Entry *stored = entry(incoming.id);
        if (!stored) {
            Entry &e = entries[incoming.id];
            e.chat = std::move(incoming);
            for (Message &message : e.chat.messages)
                message.status = calculateMessageStatus(message, e.chat);
            reindex(e);
            newlyStored.push_back(&e.chat);
            continue;
        }

        std::vector<Message> added;
        QSet<QString> seen;
        for (Message &message : incoming.messages) {
            if (stored->index.contains(message.id) || seen.contains(message.id))
                continue;
            seen.insert(message.id);
            added.push_back(std::move(message));
        }

        const bool answersPaging = loadingHistory && incoming.id == requestChatId;
        if (answersPaging) {
            finishHistoryRequest();
            // Nothing new means nothing older exists: asking again would only repeat this.
            if (added.empty())
                exhaustedChats.insert(incoming.id);
        }
        if (added.empty())
            continue;
        merge(*stored, std::move(added));
        if (answersPaging)
            emit olderMessagesAdded(incoming.id);
    }

    if (newlyStored.empty())
        return;
    // Newest activity first; chats with equal activity keep the order they came in.
    std::stable_sort(newlyStored.begin(), newlyStored.end(), [](const Chat *a, const Chat *b) {
        return lastActivity(*a) > lastActivity(*b);
    });
    QStringList ids;
    ids.reserve(static_cast<int>(newlyStored.size()));
    activityClock += newlyStored.size();
    quint64 activity = activityClock;
    for (const Chat *chat : newlyStored) {
        ids.append(chat->id);
        entries[chat->id].activity = activity--;
    }
    orderDirty = true;
    emit chatsAdded(ids);
}

void ChatStore::applyNewChat(const Chat &chat)
{
    if (entries.contains(chat.id))
        return;
    Entry &e = entries[chat.id];
    e.chat = chat;
    reindex(e);
    touch(e);
    emit chatsAdded(QStringList { chat.id });
}

void ChatStore::applyChatUpdate(const Chat &chat)
{
    Entry *e = entry(chat.id);
    if (!e)
        return;
    e->chat.name = chat.name;
    e->chat.type = chat.type;
    e->chat.ownerId = chat.ownerId;
    e->chat.avatarUrl = chat.avatarUrl;
    e->chat.members = chat.members;
    emit chatUpdated(chat.id);
}

void ChatStore::removeChat(const QString &chatId)
{
    if (!entries.remove(chatId))
        return;
    orderDirty = true;
    exhaustedChats.remove(chatId);
    if (loadingHistory && requestChatId == chatId)
        finishHistoryRequest();
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->chatId != chatId) {
            ++it;
            continue;
        }
        sentCopies.remove(it->id);
        pendingByText.remove(pendingKey(it->chatId, it->content));
        it = pending.erase(it);
    }
    emit chatRemoved(chatId);
}

void ChatStore::applyUsers(std::vector<User> list)
{
    userList = std::move(list);
    userIndex.clear();
    userIndex.reserve(static_cast<int>(userList.size()));
    for (size_t i = 0; i < userList.size(); ++i)
        userIndex.insert(userList[i].id, static_cast<int>(i));
    emit usersChanged();
}

bool ChatStore::applyMessage(const Message &msg)
{
    Entry *e = entry(msg.chatId);
    // A message pushed again is not stored or shown twice, and must not take the place of a
    // newer local copy with the same text.
    const bool repeated = e && e->index.contains(msg.id);
    if (e) {
        touch(*e);
        emit chatMoved(msg.chatId);
    }
    if (repeated)
        return false;
    const QString replaced = msg.senderId == me ? takeConfirmedLocalCopy(msg) : QString();
    if (e) {
        append(*e, msg);
        if (msg.senderId != me && !msg.seenBy.contains(me)
            && e->chat.unreadCount < Chat::maxUnreadCount) {
            ++e->chat.unreadCount;
            emit unreadCountChanged(msg.chatId);
        }
        emit messageArrived(e->chat.messages.back(), replaced);
    } else {
        emit messageArrived(msg, replaced);
    }
    return true;
}

void ChatStore::applySeen(const QString &chatId, const QString &messageId, const QString &userId)
{
    Entry *e = entry(chatId);
    Message *message = heldMessage(chatId, messageId);
    // The user's own other device has read it.
    if (e && userId == me && !me.isEmpty()
        && (!message || (message->senderId != me && !message->seenBy.contains(me))))
        lowerUnread(*e);
    if (!message)
        return;
    if (!message->seenBy.contains(userId))
        message->seenBy.append(userId);
    message->status = calculateMessageStatus(*message, entry(chatId)->chat);
    emit messageStatusChanged(chatId, messageId, message->status);
}

void ChatStore::applyEdit(
    const QString &chatId, const QString &messageId, const QString &newContent, qint64 editedAt)
{
    if (Message *message = heldMessage(chatId, messageId)) {
        // An edit changes the caption of a file, never the file: its marker stays.
        message->content =
            message->hasFile ? wire::fileMessageText(newContent, message->file) : newContent;
        message->editedAt = editedAt;
    }
    emit messageEdited(chatId, messageId, newContent, editedAt);
}

void ChatStore::applyDeletion(const QString &chatId, const QString &messageId)
{
    if (Entry *e = entry(chatId)) {
        const auto found = e->index.find(messageId);
        if (found != e->index.end()) {
            auto &messages = e->chat.messages;
            const auto position = static_cast<size_t>(*found + e->offset);
            const Message &gone = e->chat.messages[position];
            if (gone.senderId != me && !gone.seenBy.contains(me))
                lowerUnread(*e);
            e->index.erase(found);
            messages.erase(messages.begin() + static_cast<std::ptrdiff_t>(position));
            // Only the messages behind it move up by one.
            for (size_t i = position; i < messages.size(); ++i) {
                const auto at = e->index.find(messages[i].id);
                if (at != e->index.end() && *at + e->offset == static_cast<qint64>(i) + 1)
                    *at = static_cast<qint64>(i) - e->offset;
            }
        }
    }
    emit messageRemoved(chatId, messageId);
}

void ChatStore::replaceMessages(const QString &chatId, std::vector<Message> messages)
{
    Entry *e = entry(chatId);
    if (!e)
        return;
    const qint64 before = lastActivity(e->chat);
    e->chat.messages = std::move(messages);
    std::stable_sort(e->chat.messages.begin(), e->chat.messages.end(), earlier);
    for (Message &message : e->chat.messages)
        message.status = calculateMessageStatus(message, e->chat);
    reindex(*e);
    exhaustedChats.remove(chatId);
    if (lastActivity(e->chat) > before) {
        touch(*e);
        emit chatMoved(chatId);
    }
}

QString ChatStore::pendingKey(const QString &chatId, const QString &content)
{
    return chatId + QChar(0) + content;
}

const std::vector<Message> &ChatStore::pendingMessages() const
{
    return pending;
}

Message *ChatStore::pendingCopy(const QString &localId)
{
    const auto found = std::find_if(
        pending.begin(), pending.end(), [&localId](const Message &m) { return m.id == localId; });
    return found == pending.end() ? nullptr : &*found;
}

const Message *ChatStore::pendingMessage(const QString &localId) const
{
    return const_cast<ChatStore *>(this)->pendingCopy(localId);
}

std::vector<Message> ChatStore::pendingMessagesOf(const QString &chatId) const
{
    std::vector<Message> copies;
    for (const Message &local : pending) {
        if (local.chatId == chatId)
            copies.push_back(local);
    }
    return copies;
}

void ChatStore::addPendingMessage(const Message &local)
{
    pending.push_back(local);
    pendingByText[pendingKey(local.chatId, local.content)].append(local.id);
    emit pendingMessageAdded(local);
}

void ChatStore::removePendingMessage(const QString &localId)
{
    const Message *local = pendingMessage(localId);
    if (!local)
        return;
    const QString chatId = local->chatId;
    forgetPendingText(*local);
    sentCopies.remove(localId);
    pending.erase(pending.begin() + (local - pending.data()));
    emit messageRemoved(chatId, localId);
}

void ChatStore::forgetPendingText(const Message &local)
{
    const auto ids = pendingByText.find(pendingKey(local.chatId, local.content));
    if (ids != pendingByText.end()) {
        ids->removeOne(local.id);
        if (ids->isEmpty())
            pendingByText.erase(ids);
    }
}

void ChatStore::setPendingFile(
    const QString &localId, const Attachment &file, const QString &content)
{
    Message *local = pendingCopy(localId);
    if (!local)
        return;
    forgetPendingText(*local);
    local->file = file;
    local->content = content;
    pendingByText[pendingKey(local->chatId, local->content)].append(localId);
}

void ChatStore::setPendingStatus(const QString &localId, MessageStatus status)
{
    Message *local = pendingCopy(localId);
    if (!local || local->status == status)
        return;
    local->status = status;
    emit pendingStatusChanged(local->chatId, localId, status);
}

void ChatStore::markPendingSent(const QString &localId)
{
    if (pendingCopy(localId))
        sentCopies.insert(localId);
}

QString ChatStore::takeConfirmedLocalCopy(const Message &stored)
{
    const auto found = pendingByText.find(pendingKey(stored.chatId, stored.content));
    if (found == pendingByText.end())
        return QString();
    // In typed order: of two copies with the same text, the older went out first.
    const auto sent = std::find_if(found->begin(), found->end(), [this](const QString &id) {
        return sentCopies.contains(id);
    });
    if (sent == found->end())
        return QString();
    const QString localId = *sent;
    found->erase(sent);
    if (found->isEmpty())
        pendingByText.erase(found);
    sentCopies.remove(localId);
    pending.erase(std::find_if(
        pending.begin(), pending.end(), [&localId](const Message &m) { return m.id == localId; }));
    return localId;
}

QStringList ChatStore::takeUnseenMessages(const QString &chatId)
{
    QStringList ids;
    Entry *e = entry(chatId);
    if (!e)
        return ids;
    for (Message &message : e->chat.messages) {
        if (message.senderId != me && !message.seenBy.contains(me)) {
            ids.append(message.id);
            // Remembered so that opening the chat again does not acknowledge it again.
            message.seenBy.append(me);
        }
    }
    setUnreadCount(chatId, 0);
    return ids;
}

void ChatStore::markSeenByMe(const QString &chatId, const QString &messageId)
{
    Message *message = heldMessage(chatId, messageId);
    if (!message || message->seenBy.contains(me))
        return;
    if (message->senderId != me)
        lowerUnread(*entry(chatId));
    message->seenBy.append(me);
}

void ChatStore::lowerUnread(Entry &e)
{
    if (e.chat.unreadCount <= 0)
        return;
    --e.chat.unreadCount;
    emit unreadCountChanged(e.chat.id);
}

void ChatStore::setUnreadCount(const QString &chatId, int count)
{
    Entry *e = entry(chatId);
    count = std::clamp(count, 0, Chat::maxUnreadCount);
    if (!e || e->chat.unreadCount == count)
        return;
    e->chat.unreadCount = count;
    emit unreadCountChanged(chatId);
}

int ChatStore::unreadTotal(const QSet<QString> &excluded) const
{
    qint64 total = 0;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (!excluded.contains(it.key()))
            total += it->chat.unreadCount;
    }
    return int(std::min<qint64>(total, Chat::maxUnreadCount));
}

bool ChatStore::isLoadingHistory() const
{
    return loadingHistory;
}

const QString &ChatStore::historyRequestChatId() const
{
    return requestChatId;
}

bool ChatStore::isHistoryExhausted(const QString &chatId) const
{
    return exhaustedChats.contains(chatId);
}

qint64 ChatStore::beginHistoryRequest(const QString &chatId)
{
    if (loadingHistory || chatId.isEmpty() || exhaustedChats.contains(chatId))
        return -1;
    const Entry *e = entry(chatId);
    if (!e || e->chat.messages.empty())
        return -1;
    loadingHistory = true;
    requestChatId = chatId;
    timeout->start();
    return e->chat.messages.front().timestamp;
}

bool ChatStore::beginHistoryRequestFor(const QString &chatId)
{
    if (loadingHistory || !entries.contains(chatId))
        return false;
    loadingHistory = true;
    requestChatId = chatId;
    timeout->start();
    return true;
}

void ChatStore::finishHistoryRequest()
{
    loadingHistory = false;
    requestChatId.clear();
    timeout->stop();
}

void ChatStore::forgetExhaustedHistory()
{
    exhaustedChats.clear();
}

QTimer *ChatStore::historyTimeout() const
{
    return timeout;
}
