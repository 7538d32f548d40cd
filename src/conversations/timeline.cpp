// MainWindow's message timeline: rows of the open chat, paging, scrolling, the jump highlight.
#include "app/mainwindow.h"
#include "conversations/messagetext.h"
#include "model/itemroles.h"
#include "net/serveraddress.h"
#include "net/websocketclient.h"
#include "view/messagedelegate.h"

#include <QListWidget>
#include <QScrollBar>
#include <QTimer>

namespace
{

// The view counts as at the bottom within this many pixels of it.
constexpr int bottomMargin = 50;
constexpr int highlightDurationMs = 3000;

} // namespace

void MainWindow::renderMessages(const QString &chatId)
{
    messageListWidget->clear();
    const auto found = chats.find(chatId);
    if (found == chats.end())
        return;
    const QString me = client->currentUser.id;
    for (Message &message : found->messages) {
        message.status = calculateMessageStatus(message, *found);
        addMessageBubble(message);
        if (message.senderId != me && !message.seenBy.contains(me)) {
            request({ Outbox::ActionKind::Seen, chatId, message.id, QString() });
            // Remembered so that the next render does not acknowledge it again.
            message.seenBy.append(me);
        }
    }
    showOutboxRows(chatId);
    scrollToBottom();
}

void MainWindow::addMessageBubble(const Message &msg)
{
    // The row is in the list before its roles are set, so a reply to itself finds its sender.
    fillMessageRow(new QListWidgetItem(messageListWidget), msg);
}

void MainWindow::prependMessageBubble(const Message &msg)
{
    auto *item = new QListWidgetItem;
    fillMessageRow(item, msg);
    messageListWidget->insertItem(0, item);
}

void MainWindow::fillMessageRow(QListWidgetItem *item, const Message &msg)
{
    const bool own = msg.senderId == client->currentUser.id;
    QString senderName = QStringLiteral("Unknown");
    QString avatarUrl;
    const auto sender = users.constFind(msg.senderId);
    if (sender != users.constEnd()) {
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
        const QListWidgetItem *quoted = findMessageRow(msg.replyToId);
        item->setData(
            ReplySenderRole, quoted ? quoted->data(SenderNameRole).toString() : QString());
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
        const auto chat = chats.constFind(chatId);
        if (chat != chats.constEnd()) {
            for (const Message &message : chat->messages) {
                if (message.id == replyToId) {
                    text = message.content;
                    break;
                }
            }
        }
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
    for (int row = 0; row < messageListWidget->count(); ++row) {
        QListWidgetItem *item = messageListWidget->item(row);
        if (item->data(MessageIdRole).toString() == messageId)
            return item;
    }
    return nullptr;
}

void MainWindow::onScrollValueChanged(int value)
{
    if (value != 0 || isLoadingHistory || currentChatId.isEmpty()
        || historyExhaustedChats.contains(currentChatId))
        return;
    const auto chat = chats.constFind(currentChatId);
    if (chat == chats.constEnd() || chat->messages.empty())
        return;
    isLoadingHistory = true;
    historyRequestChatId = currentChatId;
    historyTimeout->start();
    client->fetchHistory(currentChatId, chat->messages.front().timestamp);
}

void MainWindow::focusOnMessage(const QString &messageId)
{
    QListWidgetItem *item = findMessageRow(messageId);
    if (!item)
        return;
    messageListWidget->scrollToItem(item, QAbstractItemView::PositionAtCenter);
    auto *delegate = dynamic_cast<MessageDelegate *>(messageListWidget->itemDelegate());
    highlightedMessageId = messageId;
    if (delegate)
        delegate->highlightedMessageId = messageId;
    messageListWidget->viewport()->update();

    QTimer::singleShot(highlightDurationMs, this, [this] {
        highlightedMessageId.clear();
        if (auto *delegate = dynamic_cast<MessageDelegate *>(messageListWidget->itemDelegate()))
            delegate->highlightedMessageId.clear();
        messageListWidget->viewport()->update();
    });
}

void MainWindow::onChatListItemClicked(const QModelIndex &index)
{
    // Clicks on a row do nothing of their own; the delegate handles clicks on a reply quote.
    Q_UNUSED(index)
}
