#include "messagesearch.h"

#include "net/websocketclient.h"
#include "store/chatstore.h"

#include <QSet>
#include <QTimer>
#include <utility>

MessageSearch::MessageSearch(WebSocketClient *connection, const ChatStore &store, QObject *parent)
    : QObject(parent)
    , connection(connection)
    , store(store)
    , quiet(new QTimer(this))
{
    quiet->setSingleShot(true);
    quiet->setInterval(debounceMs);
    connect(quiet, &QTimer::timeout, this, &MessageSearch::searchNow);
    connect(connection, &WebSocketClient::searchResultsReceived, this, &MessageSearch::onResults);
    connect(connection, &WebSocketClient::requestFailed, this, &MessageSearch::onFailed);
}

void MessageSearch::setQuery(const QString &query, const QString &chatId)
{
    if (query == text && chatId == chat && (quiet->isActive() || !requestId.isEmpty()))
        return;
    text = query;
    chat = chatId;
    requestId.clear();
    unanswered = false;
    nextCursor.clear();
    refusal.clear();
    found.clear();
    emit resultsReset();
    if (text.trimmed().isEmpty()) {
        quiet->stop();
        emit stateChanged();
        return;
    }
    quiet->start();
    emit stateChanged();
}

void MessageSearch::searchNow()
{
    quiet->stop();
    if (text.trimmed().isEmpty())
        return;
    found.clear();
    nextCursor.clear();
    refusal.clear();
    emit resultsReset();
    send(QString());
}

bool MessageSearch::loadMore()
{
    if (nextCursor.isEmpty() || !requestId.isEmpty() || unanswered)
        return false;
    send(nextCursor);
    return true;
}

void MessageSearch::clear()
{
    quiet->stop();
    text.clear();
    chat.clear();
    requestId.clear();
    unanswered = false;
    nextCursor.clear();
    refusal.clear();
    found.clear();
    emit resultsReset();
    emit stateChanged();
}

void MessageSearch::connectionLost()
{
    online = false;
    if (!requestId.isEmpty()) {
        requestId.clear();
        unanswered = true;
    }
}

void MessageSearch::loggedIn()
{
    online = true;
    if (std::exchange(unanswered, false))
        send(lastBefore);
}

void MessageSearch::send(const QString &before)
{
    lastBefore = before;
    if (!online) {
        unanswered = true;
        emit stateChanged();
        return;
    }
    requestId = QStringLiteral("s") + QString::number(++nextRequest);
    connection->search(requestId, text, chat, before);
    emit stateChanged();
}

const QString &MessageSearch::query() const
{
    return text;
}

const std::vector<Message> &MessageSearch::results() const
{
    return found;
}

bool MessageSearch::isLoading() const
{
    return quiet->isActive() || !requestId.isEmpty() || unanswered;
}

bool MessageSearch::hasMore() const
{
    return !nextCursor.isEmpty();
}

const QString &MessageSearch::error() const
{
    return refusal;
}

void MessageSearch::onResults(
    const QString &answerId, const std::vector<Message> &page, const QString &next)
{
    // The answer to an older query, or to none of ours.
    if (answerId.isEmpty() || answerId != requestId)
        return;
    requestId.clear();
    nextCursor = next;
    QSet<QString> shown;
    for (const Message &message : found)
        shown.insert(message.id);
    const int first = int(found.size());
    for (const Message &message : page) {
        // A chat this client does not know cannot be opened; a repeat is shown once.
        if (!store.hasChat(message.chatId) || shown.contains(message.id))
            continue;
        shown.insert(message.id);
        found.push_back(message);
    }
    if (int(found.size()) > first)
        emit resultsAppended(first);
    emit stateChanged();
}

void MessageSearch::onFailed(const QString &answerId, const QString &message)
{
    if (answerId.isEmpty() || answerId != requestId)
        return;
    requestId.clear();
    refusal = message;
    emit stateChanged();
}
