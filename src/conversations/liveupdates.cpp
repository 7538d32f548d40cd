// MainWindow's live updates: incoming messages, seen receipts, edits and deletions.
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "net/websocketclient.h"

#include <QListWidget>
#include <QScrollBar>
#include <algorithm>

namespace
{

Message *findMessage(Chat &chat, const QString &messageId)
{
    const auto found = std::find_if(chat.messages.begin(),
        chat.messages.end(),
        [&messageId](const Message &m) { return m.id == messageId; });
    return found == chat.messages.end() ? nullptr : &*found;
}

constexpr int bottomMargin = 50;

} // namespace

void MainWindow::onMessageReceived(const Message &msg)
{
    const bool own = msg.senderId == client->currentUser.id;

    const auto chat = chats.find(msg.chatId);
    const bool known = chat != chats.end();
    // A message pushed again is not stored or shown twice, and must not take the place of a
    // newer local copy with the same text.
    const bool repeated = known && findMessage(*chat, msg.id);

    QString matchedLocalId;
    if (own && !repeated) {
        for (auto pending = pendingMessages.cbegin(); pending != pendingMessages.cend();
             ++pending) {
            if (pending->content == msg.content && pending->chatId == msg.chatId) {
                matchedLocalId = pending.key();
                break;
            }
        }
    }

    if (known) {
        if (!repeated)
            chat->messages.push_back(msg);
        for (int row = 0; row < chatListWidget->count(); ++row) {
            if (chatListWidget->item(row)->data(IdRole).toString() == msg.chatId) {
                moveChatRowToTop(row);
                break;
            }
        }
    }
    if (repeated)
        return;

    if (msg.chatId == currentChatId) {
        const QScrollBar *bar = messageListWidget->verticalScrollBar();
        const bool atBottom = bar->value() >= bar->maximum() - bottomMargin;
        if (!matchedLocalId.isEmpty()) {
            delete findMessageRow(matchedLocalId);
            pendingMessages.remove(matchedLocalId);
            outbox.remove(matchedLocalId);
        }
        addMessageBubble(msg);
        if (!own)
            request({ Outbox::ActionKind::Seen, msg.chatId, msg.id, QString() });
        if (atBottom || own)
            scrollToBottom();
    } else if (!matchedLocalId.isEmpty()) {
        pendingMessages.remove(matchedLocalId);
        outbox.remove(matchedLocalId);
    }

    showNotificationForMessage(msg);
}

void MainWindow::moveChatRowToTop(int row)
{
    // Taking a row out and putting it back shifts the list's selection by row number, so the
    // highlight would land on another chat than the one open; carry it along with the items.
    QListWidgetItem *current = chatListWidget->currentItem();
    const QList<QListWidgetItem *> selected = chatListWidget->selectedItems();
    chatListWidget->insertItem(0, chatListWidget->takeItem(row));
    const QSignalBlocker blocker(chatListWidget);
    chatListWidget->setCurrentItem(current, QItemSelectionModel::NoUpdate);
    chatListWidget->clearSelection();
    for (QListWidgetItem *item : selected)
        item->setSelected(true);
}

void MainWindow::updateMessageStatus(const QString &messageId, MessageStatus status)
{
    if (QListWidgetItem *row = findMessageRow(messageId)) {
        row->setData(StatusRole, static_cast<int>(status));
        messageListWidget->viewport()->update(messageListWidget->visualItemRect(row));
    }
    for (Chat &chat : chats) {
        if (Message *message = findMessage(chat, messageId))
            message->status = status;
    }
}

void MainWindow::onMessageSeenUpdate(
    const QString &chatId, const QString &messageId, const QString &userId)
{
    const auto chat = chats.find(chatId);
    if (chat == chats.end())
        return;
    Message *message = findMessage(*chat, messageId);
    if (!message)
        return;
    if (!message->seenBy.contains(userId))
        message->seenBy.append(userId);
    message->status = calculateMessageStatus(*message, *chat);
    if (chatId == currentChatId)
        updateMessageStatus(messageId, message->status);
}

void MainWindow::onMessageUpdated(
    const QString &chatId, const QString &messageId, const QString &newContent, qint64 editedAt)
{
    const auto chat = chats.find(chatId);
    if (chat != chats.end()) {
        if (Message *message = findMessage(*chat, messageId)) {
            message->content = newContent;
            message->editedAt = editedAt;
        }
    }
    if (chatId != currentChatId)
        return;
    if (QListWidgetItem *row = findMessageRow(messageId)) {
        row->setData(TextRole, newContent);
        row->setData(EditedAtRole, QVariant::fromValue<qint64>(editedAt));
        messageListWidget->viewport()->update(messageListWidget->visualItemRect(row));
    }
}

void MainWindow::onMessageDeleted(const QString &chatId, const QString &messageId)
{
    const auto chat = chats.find(chatId);
    if (chat != chats.end()) {
        auto &messages = chat->messages;
        messages.erase(std::remove_if(messages.begin(),
                           messages.end(),
                           [&messageId](const Message &m) { return m.id == messageId; }),
            messages.end());
    }
    if (chatId == currentChatId)
        delete findMessageRow(messageId);
}
