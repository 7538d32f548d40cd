// MainWindow's message timeline: rows of the open chat, paging, scrolling, the jump highlight.
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "model/messagetext.h"
#include "net/serveraddress.h"
#include "session/chatsession.h"
#include "session/detachedtimeline.h"
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

} // namespace

void MainWindow::renderMessages(const QString &chatId)
{
    // A slice of held messages is rebuilt as the same slice while they are held.
    int sliceFirst = -1;
    int sliceLast = -1;
    if (heldSlice && messageListWidget->count() > 0) {
        sliceFirst =
            store().messagePosition(chatId, rowMessageIds.value(messageListWidget->item(0)));
        sliceLast = store().messagePosition(
            chatId, rowMessageIds.value(messageListWidget->item(messageListWidget->count() - 1)));
    }
    clearMessageRows();
    const DetachedTimeline *stretch = session->detachedTimeline();
    if (stretch->isActive() && stretch->chatId() == chatId) {
        // Away from the newest messages: the stretch alone, and no local copies below it.
        for (const Message &message : stretch->messages())
            addMessageBubble(message);
        return;
    }
    if (const Chat *chat = store().chat(chatId)) {
        if (sliceFirst >= 0 && sliceLast >= sliceFirst
            && sliceLast + 1 < static_cast<int>(chat->messages.size())) {
            renderHeldSlice(*chat, sliceFirst, sliceLast + 1);
            return;
        }
        const auto &messages = chat->messages;
        const size_t first = messages.size() > windowStep ? messages.size() - windowStep : 0;
        for (size_t i = first; i < messages.size(); ++i)
            addMessageBubble(messages[i]);
    }
    // Local copies come after what the server holds, in the order they were typed.
    for (const Message &local : store().pendingMessagesOf(chatId))
        addMessageBubble(local);
    scrollToBottom();
}

void MainWindow::renderHeldSlice(const Chat &chat, int first, int end)
{
    clearMessageRows();
    for (int i = first; i < end; ++i)
        addMessageBubble(chat.messages[static_cast<size_t>(i)]);
    heldSlice = true;
    // Its bottom is not the newest message: growing the range must not pull the view down.
    viewAtBottom = false;
}

QListWidgetItem *MainWindow::bringHeldMessageIntoWindow(const QString &messageId)
{
    const Chat *chat = store().chat(currentChatId());
    const int position = store().messagePosition(currentChatId(), messageId);
    if (!chat || position < 0 || messageListWidget->count() == 0 || showsDetachedTimeline())
        return nullptr;
    const int top =
        store().messagePosition(currentChatId(), rowMessageIds.value(messageListWidget->item(0)));
    if (position < top && top - position <= windowStep) {
        extendWindowUpTo(position);
        return findMessageRow(messageId);
    }
    // Further away, the window becomes the slice around the message instead of growing up to
    // it: laying out every row in between would cost their number.
    const int size = static_cast<int>(chat->messages.size());
    const int end = std::min(size, position + windowStep / 2 + 1);
    if (end == size) {
        heldSlice = false;
        renderMessages(currentChatId());
        extendWindowUpTo(std::max(0, position - windowStep / 2));
    } else {
        renderHeldSlice(*chat, std::max(0, position - windowStep / 2), end);
    }
    messageListWidget->doItemsLayout();
    updateJumpButton();
    return findMessageRow(messageId);
}

void MainWindow::extendWindowDown()
{
    const Chat *chat = store().chat(currentChatId());
    if (!chat || messageListWidget->count() == 0)
        return;
    const int last = store().messagePosition(currentChatId(),
        rowMessageIds.value(messageListWidget->item(messageListWidget->count() - 1)));
    if (last < 0)
        return;
    const int size = static_cast<int>(chat->messages.size());
    const int end = std::min(size, last + 1 + windowStep);
    // The rows in view stay where they are; following the bottom would grow it again at once.
    viewAtBottom = false;
    for (int i = last + 1; i < end; ++i)
        addMessageBubble(chat->messages[static_cast<size_t>(i)]);
    if (end == size) {
        // The newest messages are in: the ordinary window again, local copies below.
        heldSlice = false;
        for (const Message &local : store().pendingMessagesOf(currentChatId()))
            addMessageBubble(local);
    }
    updateJumpButton();
}

void MainWindow::addMessageBubble(const Message &msg)
{
    // The row is in the list before its roles are set, so a reply to itself finds its sender.
    auto *item = new AccessibleItem(AccessibleItem::Kind::Message);
    messageListWidget->addItem(item);
    messageRows.insert(msg.id, item);
    rowMessageIds.insert(item, msg.id);
    fillMessageRow(item, msg);
}

void MainWindow::prependMessageBubble(const Message &msg)
{
    auto *item = new AccessibleItem(AccessibleItem::Kind::Message);
    messageRows.insert(msg.id, item);
    rowMessageIds.insert(item, msg.id);
    fillMessageRow(item, msg);
    messageListWidget->insertItem(0, item);
}

void MainWindow::clearMessageRows()
{
    heldSlice = false;
    messageListWidget->clear();
    messageRows.clear();
    rowMessageIds.clear();
}

void MainWindow::removeMessageRow(const QString &messageId)
{
    QListWidgetItem *row = findMessageRow(messageId);
    if (!row)
        return;
    messageRows.remove(messageId);
    rowMessageIds.remove(row);
    delete row;
}

const Message *MainWindow::messageOfRow(const QListWidgetItem *item) const
{
    const QString id = rowMessageIds.value(item);
    if (id.isEmpty())
        return nullptr;
    if (const Message *held = store().message(currentChatId(), id))
        return held;
    if (const Message *far = session->detachedTimeline()->message(id))
        return far;
    return store().pendingMessage(id);
}

void MainWindow::refreshMessageRow(const QString &messageId)
{
    QListWidgetItem *row = findMessageRow(messageId);
    const Message *message = row ? messageOfRow(row) : nullptr;
    if (!message)
        return;
    fillMessageRow(row, *message);
    messageListWidget->viewport()->update(messageListWidget->visualItemRect(row));
}

void MainWindow::fillMessageRow(QListWidgetItem *item, const Message &msg)
{
    const bool own = msg.senderId == session->currentUserId();
    QString senderName = QStringLiteral("Unknown");
    QString avatarUrl;
    if (const User *sender = store().user(msg.senderId)) {
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
    item->setData(MentionRole, mentionsMe(msg));

    if (!msg.replyToId.isEmpty()) {
        // Rows are the open chat's, whatever chat id a message carries itself.
        const QString &chatId = currentChatId();
        item->setData(ReplyPreviewRole, getReplyPreviewText(msg.replyToId, chatId));
        // The quote names its sender when the quoted message comes before the reply.
        QString replySender;
        if (const Message *quoted = store().message(chatId, msg.replyToId)) {
            const int at = store().messagePosition(chatId, msg.id);
            if (at < 0 || store().messagePosition(chatId, msg.replyToId) < at) {
                const User *sender = store().user(quoted->senderId);
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
    // Without a chat named, the open one: the quotes shown are its messages.
    const Message *quoted = store().message(chatId.isEmpty() ? currentChatId() : chatId, replyToId);
    // Quoted as its row shows it: an upload reads "[Image]" or "[name]" there too.
    return replyPreviewFromText(quoted ? displayTextForContent(quoted->content) : QString());
}

MessageStatus MainWindow::calculateMessageStatus(const Message &msg, const Chat &chat) const
{
    return store().calculateMessageStatus(msg, chat);
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
    const Chat *chat = store().chat(currentChatId());
    if (!chat || messageListWidget->count() == 0 || position < 0)
        return false;
    const int top =
        store().messagePosition(currentChatId(), rowMessageIds.value(messageListWidget->item(0)));
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

void MainWindow::followBottom()
{
    if (viewAtBottom)
        scrollToBottom();
}

void MainWindow::onScrollValueChanged(int value)
{
    viewAtBottom = isScrolledToBottom();
    updateJumpButton();
    if (showsDetachedTimeline() && value == messageListWidget->verticalScrollBar()->maximum()) {
        session->loadNewerMessages();
        return;
    }
    if (heldSlice && value == messageListWidget->verticalScrollBar()->maximum()) {
        extendWindowDown();
        return;
    }
    if (value != 0 || currentChatId().isEmpty())
        return;
    // What the store holds above the window is shown before the server is asked for more.
    if (messageListWidget->count() > 0) {
        const int top = store().messagePosition(
            currentChatId(), rowMessageIds.value(messageListWidget->item(0)));
        if (top > 0 && extendWindowUpTo(std::max(0, top - windowStep)))
            return;
    }
    session->loadOlderMessages();
}

void MainWindow::onOlderMessagesAdded(const QString &chatId)
{
    if (chatId != currentChatId() || messageListWidget->count() == 0)
        return;
    const int top =
        store().messagePosition(currentChatId(), rowMessageIds.value(messageListWidget->item(0)));
    extendWindowUpTo(std::max(0, top - windowStep));
}

void MainWindow::onChatReloaded(const QString &chatId)
{
    if (chatId != currentChatId())
        return;
    const bool atBottom = isScrolledToBottom();
    QString anchorId;
    if (const QListWidgetItem *top = messageListWidget->itemAt(QPoint(10, 10)))
        anchorId = rowMessageIds.value(top);
    renderMessages(chatId);
    if (atBottom)
        return;
    // The rebuilt window holds the newest rows; it reaches up to the anchor again.
    if (!findMessageRow(anchorId))
        extendWindowUpTo(store().messagePosition(chatId, anchorId));
    if (QListWidgetItem *anchor = findMessageRow(anchorId))
        messageListWidget->scrollToItem(anchor, QAbstractItemView::PositionAtTop);
}

void MainWindow::setHighlightedMessageId(const QString &messageId)
{
    messageDelegate()->setHighlightedMessageId(messageId);
    messageListWidget->viewport()->update();
}

void MainWindow::focusOnMessage(const QString &messageId)
{
    QListWidgetItem *item = findMessageRow(messageId);
    if (!item)
        item = bringHeldMessageIntoWindow(messageId);
    // One not held at all: the page around it is asked for, and shown once it is there.
    if (!item && !store().message(currentChatId(), messageId)
        && !session->detachedTimeline()->message(messageId)) {
        session->openAtMessage(currentChatId(), messageId);
        return;
    }
    if (!item)
        return;
    messageListWidget->scrollToItem(item, QAbstractItemView::PositionAtCenter);
    setHighlightedMessageId(messageId);
    QTimer::singleShot(highlightDurationMs, this, [this] { setHighlightedMessageId(QString()); });
}

void MainWindow::onChatListItemClicked(const QModelIndex &index)
{
    // Clicks on a row do nothing of their own; the delegate handles clicks on a reply quote.
    Q_UNUSED(index)
}
