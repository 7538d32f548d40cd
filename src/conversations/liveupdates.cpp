// MainWindow's live updates: incoming messages, seen receipts, edits and deletions.
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "net/websocketclient.h"
#include "store/chatstore.h"

#include <QListWidget>

void MainWindow::onMessageReceived(const Message &msg)
{
    if (store->applyMessage(msg))
        showNotificationForMessage(msg);
}

void MainWindow::onMessageArrived(const Message &msg, const QString &replacedLocalId)
{
    if (!replacedLocalId.isEmpty())
        outbox.remove(replacedLocalId);
    if (msg.chatId != currentChatId)
        return;
    const bool own = msg.senderId == client->currentUser.id;
    const bool atBottom = isScrolledToBottom();
    if (QListWidgetItem *local = findMessageRow(replacedLocalId)) {
        forgetMessageRow(local);
        delete local;
    }
    addMessageBubble(msg);
    if (!own && isInBackground()) {
        // Nobody can see it now; it is acknowledged when the window comes back.
        receiptsHeld = true;
    } else if (!own) {
        store->markSeenByMe(msg.chatId, msg.id);
        request({ Outbox::ActionKind::Seen, msg.chatId, msg.id, QString() });
    }
    if (atBottom || own)
        scrollToBottom();
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
    store->applySeen(chatId, messageId, userId);
}

void MainWindow::onMessageStatusChanged(
    const QString &chatId, const QString &messageId, MessageStatus status)
{
    if (chatId == currentChatId)
        updateMessageStatus(messageId, status);
}

void MainWindow::onMessageUpdated(
    const QString &chatId, const QString &messageId, const QString &newContent, qint64 editedAt)
{
    store->applyEdit(chatId, messageId, newContent, editedAt);
}

void MainWindow::onMessageEdited(
    const QString &chatId, const QString &messageId, const QString &newContent, qint64 editedAt)
{
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
    store->applyDeletion(chatId, messageId);
}

void MainWindow::onMessageRemoved(const QString &chatId, const QString &messageId)
{
    if (chatId != currentChatId)
        return;
    if (QListWidgetItem *row = findMessageRow(messageId)) {
        forgetMessageRow(row);
        delete row;
    }
}
