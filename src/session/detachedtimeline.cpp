#include "detachedtimeline.h"

#include "model/chat.h"
#include "net/websocketclient.h"
#include "net/wireformat.h"
#include "store/chatstore.h"

#include <QSet>
#include <algorithm>

namespace
{

// Messages the server sends after the one a page is around, unless the chat ends first.
constexpr int aroundCount = 25;

bool earlier(const Message &a, const Message &b)
{
    return a.timestamp < b.timestamp;
}

} // namespace

DetachedTimeline::DetachedTimeline(WebSocketClient *connection, ChatStore *store, QObject *parent)
    : QObject(parent)
    , connection(connection)
    , store(store)
{
    connect(connection, &WebSocketClient::historyPageReceived, this, &DetachedTimeline::onPage);
    connect(connection, &WebSocketClient::requestFailed, this, &DetachedTimeline::onFailed);
}

void DetachedTimeline::openAt(const QString &chatId, const QString &messageId)
{
    close();
    openChatId = chatId;
    targetId = messageId;
    aroundRequest = ask(static_cast<int>(wire::HistoryAnchor::Around), messageId);
}

void DetachedTimeline::close()
{
    active = false;
    olderExhausted = false;
    stretch.clear();
    openChatId.clear();
    targetId.clear();
    forgetRequests();
}

void DetachedTimeline::forgetRequests()
{
    aroundRequest.clear();
    olderRequest.clear();
    newerRequest.clear();
}

bool DetachedTimeline::isActive() const
{
    return active;
}

const QString &DetachedTimeline::chatId() const
{
    return openChatId;
}

const std::vector<Message> &DetachedTimeline::messages() const
{
    return stretch;
}

const Message *DetachedTimeline::message(const QString &messageId) const
{
    // A few pages at most: a scan costs nothing next to drawing them.
    for (const Message &held : stretch) {
        if (held.id == messageId)
            return &held;
    }
    return nullptr;
}

QString DetachedTimeline::ask(int anchor, const QJsonValue &value)
{
    const QString requestId = QStringLiteral("h") + QString::number(++nextRequest);
    connection->fetchHistoryPage(
        openChatId, static_cast<wire::HistoryAnchor>(anchor), value, requestId);
    return requestId;
}

bool DetachedTimeline::loadOlder()
{
    if (!active || olderExhausted || !olderRequest.isEmpty() || stretch.empty())
        return false;
    olderRequest =
        ask(static_cast<int>(wire::HistoryAnchor::Before), double(stretch.front().timestamp));
    return true;
}

bool DetachedTimeline::loadNewer()
{
    if (!active || !newerRequest.isEmpty() || stretch.empty())
        return false;
    newerRequest =
        ask(static_cast<int>(wire::HistoryAnchor::After), double(stretch.back().timestamp));
    return true;
}

bool DetachedTimeline::reachesHeld(const std::vector<Message> &page) const
{
    const Chat *chat = store->chat(openChatId);
    if (!chat || chat->messages.empty() || page.empty())
        return true;
    // Pages end on whole seconds, and so do the held messages: a page reaching the second of
    // the oldest held one leaves nothing out between them.
    return page.back().timestamp >= chat->messages.front().timestamp
        || store->message(openChatId, page.back().id);
}

void DetachedTimeline::join()
{
    const QString chatId = openChatId;
    store->joinMessages(chatId, std::move(stretch));
    close();
    emit joined(chatId);
}

void DetachedTimeline::onPage(const QString &requestId, const std::vector<Chat> &chats)
{
    if (requestId.isEmpty()
        || (requestId != aroundRequest && requestId != olderRequest && requestId != newerRequest))
        return;
    std::vector<Message> page;
    for (const Chat &chat : chats) {
        if (chat.id == openChatId)
            page = chat.messages;
    }
    std::stable_sort(page.begin(), page.end(), earlier);

    if (requestId == aroundRequest) {
        aroundRequest.clear();
        const auto target = std::find_if(page.begin(), page.end(), [this](const Message &message) {
            return message.id == targetId;
        });
        if (target == page.end()) {
            const QString chatId = openChatId;
            const QString messageId = targetId;
            close();
            emit unavailable(chatId, messageId);
            return;
        }
        const bool chatEnds = page.end() - target - 1 < aroundCount;
        const QString chatId = openChatId;
        const QString messageId = targetId;
        stretch = std::move(page);
        if (chatEnds || reachesHeld(stretch)) {
            join();
        } else {
            active = true;
        }
        emit ready(chatId, messageId);
        return;
    }

    QSet<QString> held;
    for (const Message &message : stretch)
        held.insert(message.id);
    std::vector<Message> added;
    for (Message &message : page) {
        if (!held.contains(message.id))
            added.push_back(std::move(message));
    }
    if (requestId == olderRequest) {
        olderRequest.clear();
        if (added.empty()) {
            olderExhausted = true;
            return;
        }
        const int count = int(added.size());
        stretch.insert(stretch.begin(), added.begin(), added.end());
        std::stable_sort(stretch.begin(), stretch.end(), earlier);
        emit olderAdded(count);
        return;
    }
    newerRequest.clear();
    if (added.empty() || reachesHeld(added)) {
        stretch.insert(stretch.end(), added.begin(), added.end());
        join();
        return;
    }
    const int count = int(added.size());
    stretch.insert(stretch.end(), added.begin(), added.end());
    emit newerAdded(count);
}

void DetachedTimeline::onFailed(const QString &requestId, const QString &message)
{
    Q_UNUSED(message)
    if (requestId.isEmpty())
        return;
    if (requestId == aroundRequest) {
        const QString chatId = openChatId;
        const QString messageId = targetId;
        close();
        emit unavailable(chatId, messageId);
    } else if (requestId == olderRequest) {
        olderRequest.clear();
    } else if (requestId == newerRequest) {
        newerRequest.clear();
    }
}

void DetachedTimeline::applyEdit(
    const QString &chatId, const QString &messageId, const QString &newContent, qint64 editedAt)
{
    if (chatId != openChatId)
        return;
    for (Message &held : stretch) {
        if (held.id == messageId) {
            held.content = held.hasFile ? wire::fileMessageText(newContent, held.file) : newContent;
            held.editedAt = editedAt;
            emit messageEdited(chatId, messageId, newContent, editedAt);
            return;
        }
    }
}

void DetachedTimeline::applyDeletion(const QString &chatId, const QString &messageId)
{
    if (chatId != openChatId)
        return;
    const auto it = std::find_if(stretch.begin(), stretch.end(), [&messageId](const Message &m) {
        return m.id == messageId;
    });
    if (it == stretch.end())
        return;
    stretch.erase(it);
    emit messageRemoved(chatId, messageId);
}
