// MainWindow's message timeline: rows of the open chat, paging, scrolling, the jump highlight.
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "model/messagetext.h"
#include "net/serveraddress.h"
#include "net/websocketclient.h"
#include "store/chatstore.h"
#include "view/accessibleitem.h"
#include "view/messagedelegate.h"

#include <QListWidget>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>

namespace
{

// The view counts as at the bottom within this many pixels of it.
constexpr int bottomMargin = 50;
constexpr int highlightDurationMs = 3000;
// Rows a chat opens with, and added per step when scrolling up: about three screens, so opening
// costs the same whatever the history length.
constexpr int windowStep = 100;
// Receipts written per event-loop turn: the chat stays usable while thousands go out.
constexpr size_t receiptsPerTurn = 500;

} // namespace

void MainWindow::renderMessages(const QString &chatId)
{
    clearMessageRows();
    const Chat *chat = store->chat(chatId);
    if (!chat)
        return;
    const auto &messages = chat->messages;
    const size_t first = messages.size() > windowStep ? messages.size() - windowStep : 0;
    for (size_t i = first; i < messages.size(); ++i)
        addMessageBubble(messages[i]);
    showOutboxRows(chatId);
    scrollToBottom();
    if (isInBackground())
        receiptsHeld = true;
    else
        queueReceipts(chatId, store->takeUnseenMessages(chatId));
}

void MainWindow::sendHeldReceipts()
{
    if (!receiptsHeld || isInBackground())
        return;
    receiptsHeld = false;
    // In stored order; each message was acknowledged by nothing else meanwhile.
    queueReceipts(currentChatId, store->takeUnseenMessages(currentChatId));
}

void MainWindow::queueReceipts(const QString &chatId, const QStringList &messageIds)
{
    if (messageIds.isEmpty())
        return;
    const bool idle = queuedReceipts.empty();
    queuedReceipts.reserve(queuedReceipts.size() + static_cast<size_t>(messageIds.size()));
    for (const QString &id : messageIds)
        queuedReceipts.emplace_back(chatId, id);
    if (idle)
        sendQueuedReceipts();
}

void MainWindow::sendQueuedReceipts()
{
    const size_t end = std::min(queuedReceipts.size(), nextReceipt + receiptsPerTurn);
    for (; nextReceipt < end; ++nextReceipt) {
        const auto &receipt = queuedReceipts[nextReceipt];
        request({ Outbox::ActionKind::Seen, receipt.first, receipt.second, QString() });
    }
    if (nextReceipt < queuedReceipts.size()) {
        QMetaObject::invokeMethod(this, &MainWindow::sendQueuedReceipts, Qt::QueuedConnection);
        return;
    }
    queuedReceipts = {};
    nextReceipt = 0;
}

void MainWindow::addMessageBubble(const Message &msg)
{
    // The row is in the list before its roles are set, so a reply to itself finds its sender.
    auto *item = new AccessibleItem(AccessibleItem::Kind::Message);
    messageListWidget->addItem(item);
    messageRows.insert(msg.id, item);
    fillMessageRow(item, msg);
}

void MainWindow::prependMessageBubble(const Message &msg)
{
    auto *item = new AccessibleItem(AccessibleItem::Kind::Message);
    messageRows.insert(msg.id, item);
    fillMessageRow(item, msg);
    messageListWidget->insertItem(0, item);
}

void MainWindow::clearMessageRows()
{
    messageListWidget->clear();
    messageRows.clear();
}

void MainWindow::forgetMessageRow(QListWidgetItem *item)
{
    const auto found = messageRows.find(item->data(MessageIdRole).toString());
    if (found != messageRows.end() && *found == item)
        messageRows.erase(found);
}

void MainWindow::fillMessageRow(QListWidgetItem *item, const Message &msg)
{
    const bool own = msg.senderId == client->currentUser.id;
    QString senderName = QStringLiteral("Unknown");
    QString avatarUrl;
    if (const User *sender = store->user(msg.senderId)) {
        senderName = sender->username;
        avatarUrl = sender->avatarUrl;
    }

    item->setData(TextRole, displayTextForContent(msg.content));
    item->setData(SenderNameRole, senderName);
    item->setData(TimestampRole, QVariant::fromValue<qint64>(msg.timestamp));
    item->setData(IsOwnRole, own);
    item->setData(StatusRole, static_cast<int>(msg.status));
    item->setData(MessageIdRole, msg.id);
    item->setData(EditedAtRole, QVariant::fromValue<qint64>(msg.editedAt));
    item->setData(SenderIdRole, msg.senderId);
    item->setData(ReplyToIdRole, msg.replyToId);

    if (!msg.replyToId.isEmpty()) {
        item->setData(ReplyPreviewRole, getReplyPreviewText(msg.replyToId, msg.chatId));
        // The quote names its sender when the quoted message comes before the reply.
        QString replySender;
        if (const QListWidgetItem *quoted = findMessageRow(msg.replyToId)) {
            replySender = quoted->data(SenderNameRole).toString();
        } else if (const Message *quoted = store->message(msg.chatId, msg.replyToId)) {
            const int at = store->messagePosition(msg.chatId, msg.id);
            if (at < 0 || store->messagePosition(msg.chatId, msg.replyToId) < at) {
                const User *sender = store->user(quoted->senderId);
                replySender = sender ? sender->username : QStringLiteral("Unknown");
            }
        }
        item->setData(ReplySenderRole, replySender);
    }

    if (!own) {
        const QString url =
            avatarUrl.startsWith(QLatin1Char('/')) ? apiBaseUrl() + avatarUrl : avatarUrl;
        item->setData(AvatarUrlRole, url);
        item->setData(Qt::DecorationRole, getAvatar(senderName, url));
    }
}

QString MainWindow::getReplyPreviewText(const QString &replyToId, const QString &chatId) const
{
    QString text;
    if (const QListWidgetItem *row = findMessageRow(replyToId))
        text = row->data(TextRole).toString();
    if (text.isEmpty() && !chatId.isEmpty()) {
        if (const Message *message = store->message(chatId, replyToId))
            text = message->content;
    }
    return replyPreviewFromText(text);
}

MessageStatus MainWindow::calculateMessageStatus(const Message &msg, const Chat &chat) const
{
    return messageStatusFor(msg, chat.members, client->currentUser.id);
}

void MainWindow::scrollToBottom()
{
    if (messageListWidget->count() > 0)
        messageListWidget->scrollToBottom();
}

bool MainWindow::isScrolledToBottom() const
{
    const QScrollBar *bar = messageListWidget->verticalScrollBar();
    return bar->value() >= bar->maximum() - bottomMargin;
}

QListWidgetItem *MainWindow::findMessageRow(const QString &messageId) const
{
    return messageId.isEmpty() ? nullptr : messageRows.value(messageId, nullptr);
}

bool MainWindow::extendWindowUpTo(int position)
{
    const Chat *chat = store->chat(currentChatId);
    if (!chat || messageListWidget->count() == 0 || position < 0)
        return false;
    const int top = store->messagePosition(
        currentChatId, messageListWidget->item(0)->data(MessageIdRole).toString());
    if (top <= position)
        return false;
    QScrollBar *bar = messageListWidget->verticalScrollBar();
    const int oldMaximum = bar->maximum();
    const int oldValue = bar->value();
    for (int i = top - 1; i >= position; --i)
        prependMessageBubble(chat->messages[static_cast<size_t>(i)]);
    messageListWidget->doItemsLayout();
    // Keep the rows that were in view where they were.
    bar->setValue(oldValue + bar->maximum() - oldMaximum);
    return true;
}

void MainWindow::onScrollValueChanged(int value)
{
    if (value != 0 || currentChatId.isEmpty())
        return;
    // What the store holds above the window is shown before the server is asked for more.
    if (messageListWidget->count() > 0) {
        const int top = store->messagePosition(
            currentChatId, messageListWidget->item(0)->data(MessageIdRole).toString());
        if (top > 0 && extendWindowUpTo(std::max(0, top - windowStep)))
            return;
    }
    // Answers carry no request id: while a re-login brings the held chats up to date, its own
    // pages must be the only ones asked for. Paging goes on once that is done.
    if (!isOnline()) {
        pagingDeferred = true;
        return;
    }
    const qint64 before = store->beginHistoryRequest(currentChatId);
    if (before >= 0)
        client->fetchHistory(currentChatId, before);
}

void MainWindow::onOlderMessagesAdded(const QString &chatId)
{
    if (chatId != currentChatId || messageListWidget->count() == 0)
        return;
    const int top = store->messagePosition(
        currentChatId, messageListWidget->item(0)->data(MessageIdRole).toString());
    extendWindowUpTo(std::max(0, top - windowStep));
}

void MainWindow::focusOnMessage(const QString &messageId)
{
    QListWidgetItem *item = findMessageRow(messageId);
    // A message held but above the window: the window grows up to it first.
    if (!item && extendWindowUpTo(store->messagePosition(currentChatId, messageId)))
        item = findMessageRow(messageId);
    if (!item)
        return;
    messageListWidget->scrollToItem(item, QAbstractItemView::PositionAtCenter);
    auto *delegate = dynamic_cast<MessageDelegate *>(messageListWidget->itemDelegate());
    highlightedMessageId = messageId;
    if (delegate)
        delegate->setHighlightedMessageId(messageId);
    messageListWidget->viewport()->update();

    QTimer::singleShot(highlightDurationMs, this, [this] {
        highlightedMessageId.clear();
        if (auto *delegate = dynamic_cast<MessageDelegate *>(messageListWidget->itemDelegate()))
            delegate->setHighlightedMessageId(QString());
        messageListWidget->viewport()->update();
    });
}

void MainWindow::onChatListItemClicked(const QModelIndex &index)
{
    // Clicks on a row do nothing of their own; the delegate handles clicks on a reply quote.
    Q_UNUSED(index)
}
