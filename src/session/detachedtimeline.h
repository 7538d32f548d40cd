#pragma once

#include "model/chat.h"
#include "model/message.h"

#include <QJsonValue>
#include <QObject>
#include <QString>
#include <vector>

class ChatStore;
class WebSocketClient;

// A stretch of one chat's history away from the newest messages the store holds, opened at a
// message: a search result, or the quote of a message not held. It pages both ways with tagged
// requests of its own, so that its pages never enter the store with a gap before the held ones;
// once its newer end reaches them, it joins the store and is over.
class DetachedTimeline : public QObject
{
    Q_OBJECT

public:
    DetachedTimeline(WebSocketClient *connection, ChatStore *store, QObject *parent = nullptr);

    // Asks for the page around a message that the store does not hold.
    void openAt(const QString &chatId, const QString &messageId);
    // Drops the stretch; answers still under way are ignored.
    void close();
    // Answers to requests of a lost connection never come: paging may ask again.
    void forgetRequests();

    // A stretch is shown (not merely asked for).
    bool isActive() const;
    const QString &chatId() const;
    // Oldest first.
    const std::vector<Message> &messages() const;
    const Message *message(const QString &messageId) const;
    bool loadOlder();
    bool loadNewer();

    void applyEdit(const QString &chatId,
        const QString &messageId,
        const QString &newContent,
        qint64 editedAt);
    void applyDeletion(const QString &chatId, const QString &messageId);

signals:
    // The message can be shown: in the stretch, or in the store when the page around it
    // reached the held messages at once.
    void ready(const QString &chatId, const QString &messageId);
    // The page around the message came without it, or the server refused it.
    void unavailable(const QString &chatId, const QString &messageId);
    void olderAdded(int count);
    void newerAdded(int count);
    // The stretch reached the held messages and went into the store.
    void joined(const QString &chatId);
    void messageEdited(const QString &chatId,
        const QString &messageId,
        const QString &newContent,
        qint64 editedAt);
    void messageRemoved(const QString &chatId, const QString &messageId);

private:
    void onPage(const QString &requestId, const std::vector<Chat> &chats);
    void onFailed(const QString &requestId, const QString &message);
    QString ask(int anchor, const QJsonValue &value);
    // Whether messages up to `newest` leave no gap before the held ones.
    bool reachesHeld(const std::vector<Message> &page) const;
    void join();

    WebSocketClient *connection;
    ChatStore *store;
    QString openChatId;
    QString targetId;
    std::vector<Message> stretch;
    bool active = false;
    bool olderExhausted = false;
    quint64 nextRequest = 0;
    QString aroundRequest;
    QString olderRequest;
    QString newerRequest;
};
