#pragma once

#include "model/message.h"

#include <QObject>
#include <QString>
#include <vector>

class ChatStore;
class QTimer;
class WebSocketClient;

// Searching the messages of every chat, or of one, on the server. A query goes out once typing
// has paused; each request has an id of its own, so that only the answer to the newest one is
// shown. Results come newest first, a page at a time.
class MessageSearch : public QObject
{
    Q_OBJECT

public:
    // Quiet after the last keystroke before a query goes out: typing a word sends one search.
    static constexpr int debounceMs = 250;

    MessageSearch(WebSocketClient *connection, const ChatStore &store, QObject *parent = nullptr);

    // A new query; searched once typing pauses. An empty one (or blank) shows nothing.
    void setQuery(const QString &query, const QString &chatId);
    // Sends the query now, without waiting for the pause.
    void searchNow();
    // The next page of the same query, if there is one and none is under way.
    bool loadMore();
    // Forgets the query and its results; answers under way are ignored.
    void clear();
    // The connection is gone: a request under way will never be answered, and none can be sent
    // until loggedIn(), which asks again.
    void connectionLost();
    void loggedIn();

    const QString &query() const;
    const std::vector<Message> &results() const;
    bool isLoading() const;
    bool hasMore() const;
    // The server's refusal of the query, empty when none.
    const QString &error() const;

signals:
    // The results were replaced (a new query, or none).
    void resultsReset();
    void resultsAppended(int first);
    // Loading started or ended, or the query was refused.
    void stateChanged();

private:
    void send(const QString &before);
    void onResults(const QString &requestId, const std::vector<Message> &page, const QString &next);
    void onFailed(const QString &requestId, const QString &message);

    WebSocketClient *connection;
    const ChatStore &store;
    QTimer *quiet;
    QString text;
    QString chat;
    QString requestId;
    quint64 nextRequest = 0;
    QString nextCursor;
    // The page asked for last, asked again after a reconnect while `unanswered`.
    QString lastBefore;
    bool unanswered = false;
    bool online = true;
    QString refusal;
    std::vector<Message> found;
};
