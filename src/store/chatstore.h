#pragma once

#include "model/chat.h"
#include "model/message.h"
#include "model/user.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <vector>

class QTimer;

// The conversation state of one logged-in account: users, chats with their messages, the local
// copies of messages still being sent, and the history paging state. It applies every inbound
// event and tells the views what changed; it holds no widget. Every lookup by id is a hash
// lookup, so the cost of an inbound frame does not grow with the history.
class ChatStore : public QObject
{
    Q_OBJECT

public:
    explicit ChatStore(QObject *parent = nullptr);
    ~ChatStore() override;

    // Forgets everything of the account (users, chats, local copies, paging).
    void clear();

    void setCurrentUserId(const QString &userId);
    const QString &currentUserId() const;

    // Users, in the order the server listed them.
    const std::vector<User> &users() const;
    const User *user(const QString &userId) const;

    // Chats.
    int chatCount() const;
    bool hasChat(const QString &chatId) const;
    const Chat *chat(const QString &chatId) const;
    // Chat ids as the chat list shows them: latest activity first.
    QStringList chatIdsByActivity() const;
    // The row of a chat in chatIdsByActivity(), or -1.
    int chatRow(const QString &chatId) const;

    // Messages; a position is an index into the chat's `messages`.
    const Message *message(const QString &chatId, const QString &messageId) const;
    int messagePosition(const QString &chatId, const QString &messageId) const;

    // The one place of the status rule: another user's message is Sent; an own one is Sending
    // while it has a local id, Seen once another member of the chat has seen it, else Sent.
    MessageStatus calculateMessageStatus(const Message &msg, const Chat &chat) const;

    // Inbound events.
    void applyChatHistory(std::vector<Chat> batch);
    void applyNewChat(const Chat &chat);
    // The chat's name, owner, picture and members as the server now has them; its messages
    // stay. Nothing happens for a chat that is not held.
    void applyChatUpdate(const Chat &chat);
    // Forgets a chat the user is no longer in, with its messages and local copies.
    void removeChat(const QString &chatId);
    void applyUsers(std::vector<User> list);
    // Returns false when the message was already held (a repeat), which changes nothing but
    // the chat's place in the list. An own message takes the place of the local copy it
    // confirms (see takeConfirmedLocalCopy).
    bool applyMessage(const Message &msg);
    void applySeen(const QString &chatId, const QString &messageId, const QString &userId);
    void applyEdit(const QString &chatId,
        const QString &messageId,
        const QString &newContent,
        qint64 editedAt);
    void applyDeletion(const QString &chatId, const QString &messageId);
    // Puts the chat's messages as the server now has them in place of those held (the merge
    // after a re-login). Paging may go on, as older pages may exist again. Emits chatMoved
    // when a newer message came in.
    void replaceMessages(const QString &chatId, std::vector<Message> messages);
    // Messages of a stretch of history that has reached those held: each goes in once, in
    // order. Emits nothing; the one showing the stretch shows the chat anew.
    void joinMessages(const QString &chatId, std::vector<Message> messages);

    // Local copies of own messages not yet confirmed by the server, in the order they were
    // typed. A copy's status is Sending, or Failed once it is given up on.
    const std::vector<Message> &pendingMessages() const;
    const Message *pendingMessage(const QString &localId) const;
    std::vector<Message> pendingMessagesOf(const QString &chatId) const;
    void addPendingMessage(const Message &local);
    // Drops a local copy that no echo will replace (discarded); emits messageRemoved.
    void removePendingMessage(const QString &localId);
    void setPendingStatus(const QString &localId, MessageStatus status);
    // The copy's file is uploaded: it carries what the server said of it, and the text its echo
    // will have.
    void setPendingFile(const QString &localId, const Attachment &file, const QString &content);
    // The copy has gone out to the server at least once: only such a copy can be confirmed.
    void markPendingSent(const QString &localId);
    // The one rule that matches an own message from the server to its local copy: the oldest
    // copy typed in the same chat with the same text that has gone out. Returns its local id,
    // empty when none matches, and drops the copy without a signal.
    QString takeConfirmedLocalCopy(const Message &stored);

    // Marks every message of others in the chat that the current user has not seen as seen by
    // them, and returns their ids in stored order: the receipts to send. The chat's unread count
    // becomes 0, also for what it counted of messages not held.
    QStringList takeUnseenMessages(const QString &chatId);
    // Notes that the current user has acknowledged one message.
    void markSeenByMe(const QString &chatId, const QString &messageId);
    // The count the server gave in a fresh push, in place of the one held.
    void setUnreadCount(const QString &chatId, int count);
    // Messages of others in held chats that the user has not seen, leaving out `excluded`.
    int unreadTotal(const QSet<QString> &excluded) const;

    // History paging: one outstanding "get_history" at a time; a chat whose answer brought
    // nothing new has no older messages until the next login.
    bool isLoadingHistory() const;
    const QString &historyRequestChatId() const;
    bool isHistoryExhausted(const QString &chatId) const;
    // Starts a request for the chat's older messages and returns the time to ask before; -1
    // when nothing may be asked now.
    qint64 beginHistoryRequest(const QString &chatId);
    // Starts a request for a page the caller chose the time of (bridging a gap after a
    // re-login); its answer is the caller's to apply. False while another one is outstanding.
    bool beginHistoryRequestFor(const QString &chatId);
    void finishHistoryRequest();
    void forgetExhaustedHistory();
    // The guard against an answer that never comes.
    QTimer *historyTimeout() const;

signals:
    // New chats whose rows go on top of the list, in the order given (latest activity first).
    void chatsAdded(const QStringList &chatIds);
    // The chat's activity is now the latest; its row goes to the top.
    void chatMoved(const QString &chatId);
    void usersChanged();
    // A message that was not held arrived; it takes the place of the local copy
    // `replacedLocalId` (empty when it matched none). Emitted also for a chat that is not held.
    void messageArrived(const Message &msg, const QString &replacedLocalId);
    void pendingMessageAdded(const Message &local);
    void pendingStatusChanged(const QString &chatId, const QString &localId, MessageStatus status);
    // A paging answer added older messages to the chat.
    void olderMessagesAdded(const QString &chatId);
    void messageStatusChanged(
        const QString &chatId, const QString &messageId, MessageStatus status);
    void messageEdited(const QString &chatId,
        const QString &messageId,
        const QString &newContent,
        qint64 editedAt);
    void messageRemoved(const QString &chatId, const QString &messageId);
    // The chat's unread count changed.
    void unreadCountChanged(const QString &chatId);
    void chatUpdated(const QString &chatId);
    void chatRemoved(const QString &chatId);

private:
    struct Entry {
        Chat chat;
        // Message id -> position minus `offset`, so that adding older messages in front shifts
        // every position by changing one number.
        QHash<QString, qint64> index;
        qint64 offset = 0;
        // Larger is more recent; gives the chat list order.
        quint64 activity = 0;
    };

    Entry *entry(const QString &chatId);
    Message *heldMessage(const QString &chatId, const QString &messageId);
    const Entry *entry(const QString &chatId) const;
    void reindex(Entry &e);
    void append(Entry &e, const Message &msg);
    void touch(Entry &e);
    void merge(Entry &e, std::vector<Message> added);
    Message *pendingCopy(const QString &localId);
    // One message of others less to read.
    void lowerUnread(Entry &e);
    void forgetPendingText(const Message &local);
    static QString pendingKey(const QString &chatId, const QString &content);

    QString me;
    std::vector<User> userList;
    QHash<QString, int> userIndex;
    QHash<QString, Entry> entries;
    quint64 activityClock = 0;
    mutable QStringList orderCache;
    mutable QHash<QString, int> rowCache;
    mutable bool orderDirty = true;

    // Few at a time: what one user typed and the server has not confirmed yet.
    std::vector<Message> pending;
    // The local ids of copies that have gone out to the server.
    QSet<QString> sentCopies;
    // (chat, text) -> local ids in typed order, for matching an echo in O(1).
    QHash<QString, QStringList> pendingByText;

    bool loadingHistory = false;
    QString requestChatId;
    QSet<QString> exhaustedChats;
    QTimer *timeout = nullptr;
};
