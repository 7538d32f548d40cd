// MainWindow's live updates: the rows of incoming messages, seen receipts, edits and deletions.
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "session/chatsession.h"
#include "store/chatstore.h"

#include <QListWidget>

void MainWindow::onMessageReceived(const Message &msg)
{
    if (msg.chatId == currentChatId() && (showsDetachedTimeline() || heldSlice)) {
        // Far back in the chat: the new message waits below, behind "Jump to latest".
        updateJumpButton();
    } else if (msg.chatId == currentChatId()) {
        const bool own = msg.senderId == session->currentUserId();
        const bool atBottom = isScrolledToBottom();
        addMessageBubble(msg);
        if (atBottom || own)
            scrollToBottom();
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
}

void MainWindow::onMessageSeenUpdate(
    const QString &chatId, const QString &messageId, const QString &userId)
{
    Q_UNUSED(userId)
    if (chatId != currentChatId())
        return;
    if (const Message *message = store().message(chatId, messageId))
        updateMessageStatus(messageId, message->status);
}

void MainWindow::onMessageStatusChanged(
    const QString &chatId, const QString &messageId, MessageStatus status)
{
    if (chatId == currentChatId())
        updateMessageStatus(messageId, status);
}

void MainWindow::onMessageUpdated(
    const QString &chatId, const QString &messageId, const QString &newContent, qint64 editedAt)
{
    Q_UNUSED(newContent)
    Q_UNUSED(editedAt)
    if (chatId == currentChatId())
        refreshMessageRow(messageId);
}

void MainWindow::onMessageDeleted(const QString &chatId, const QString &messageId)
{
    if (chatId == currentChatId())
        removeMessageRow(messageId);
}
