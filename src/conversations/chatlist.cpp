// MainWindow's chat list and contacts: merging history, new chats, users, opening a chat.
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "model/messagetext.h"
#include "net/serveraddress.h"
#include "net/websocketclient.h"
#include "store/chatstore.h"
#include "view/accessibleitem.h"
#include "view/messagedelegate.h"

#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QSet>
#include <algorithm>

namespace
{

// Contact rows, and chat rows refreshed after a user list, complete a server path with the
// base URL; an empty URL becomes the base URL itself.
QString completedAvatarUrl(const QString &url)
{
    if (url.startsWith(QLatin1String("http")))
        return url;
    if (url.isEmpty() || url.startsWith(QLatin1Char('/')))
        return apiBaseUrl() + url;
    return apiBaseUrl() + QLatin1Char('/') + url;
}

} // namespace

QString MainWindow::resolveChatName(const Chat &chat) const
{
    if (!chat.name.isEmpty())
        return chat.name;
    if (chat.type != QLatin1String("private"))
        return QStringLiteral("Chat");
    for (const QString &member : chat.members) {
        if (member == client->currentUser.id)
            continue;
        if (const User *user = store->user(member))
            return user->username;
    }
    return QStringLiteral("Unknown User");
}

QString MainWindow::chatAvatarUrl(const Chat &chat) const
{
    if (!chat.avatarUrl.isEmpty() || chat.type != QLatin1String("private"))
        return chat.avatarUrl;
    for (const QString &member : chat.members) {
        if (member == client->currentUser.id)
            continue;
        if (const User *user = store->user(member))
            return user->avatarUrl;
    }
    return QString();
}

QListWidgetItem *MainWindow::makeChatRow(const Chat &chat)
{
    QString url = chatAvatarUrl(chat);
    if (url.startsWith(QLatin1Char('/')))
        url = apiBaseUrl() + url;
    const QString name = resolveChatName(chat);
    auto *item = new AccessibleItem(AccessibleItem::Kind::Name);
    item->setData(Qt::DisplayRole, name);
    item->setData(IdRole, chat.id);
    item->setData(AvatarUrlRole, url);
    item->setData(Qt::DecorationRole, getAvatar(name, url));
    return item;
}

void MainWindow::insertChatRows(const QStringList &chatIds, int firstRow)
{
    int row = firstRow;
    for (const QString &id : chatIds) {
        const Chat *chat = store->chat(id);
        if (!chat)
            continue;
        QListWidgetItem *item = makeChatRow(*chat);
        chatRows.insert(id, item);
        chatListWidget->insertItem(row++, item);
    }
    // The chat first written to from Contacts gets its row now.
    if (chatIds.contains(currentChatId))
        selectOpenChatRow();
}

void MainWindow::setChatTitle(const QString &title)
{
    chatTitleLabel->setText(title);
    chatTitleLabel->setToolTip(title);
}

void MainWindow::selectOpenChatRow()
{
    // Clearing the current row also clears the selection: no other chat stays highlighted.
    chatListWidget->setCurrentItem(chatRows.value(currentChatId, nullptr));
}

void MainWindow::finishHistoryRequest()
{
    store->finishHistoryRequest();
}

void MainWindow::onChatHistoryReceived(const std::vector<Chat> &batch)
{
    // The push that follows a re-login, and the older pages that fill a gap behind it.
    if (!resyncs.empty()) {
        continueResync(batch);
        return;
    }
    if (awaitingFreshPush) {
        resyncHeldChats(batch);
        return;
    }
    store->applyChatHistory(batch);
}

void MainWindow::onChatsAdded(const QStringList &chatIds)
{
    insertChatRows(chatIds, 0);
}

void MainWindow::onNewChatCreated(const Chat &chat)
{
    store->applyNewChat(chat);
}

void MainWindow::onUserListUpdated(const std::vector<User> &list)
{
    store->applyUsers(list);
}

void MainWindow::refreshChatRows()
{
    contactListWidget->clear();
    for (const User &user : store->users()) {
        if (user.id == client->currentUser.id)
            continue;
        const QString url = completedAvatarUrl(user.avatarUrl);
        auto *item = new AccessibleItem(AccessibleItem::Kind::Name);
        contactListWidget->addItem(item);
        item->setData(Qt::DisplayRole, user.username);
        item->setData(IdRole, user.id);
        item->setData(AvatarUrlRole, url);
        item->setData(Qt::DecorationRole, getAvatar(user.username, url));
    }

    for (int row = 0; row < chatListWidget->count(); ++row) {
        QListWidgetItem *item = chatListWidget->item(row);
        const Chat *chat = store->chat(item->data(IdRole).toString());
        if (!chat)
            continue;
        const QString name = resolveChatName(*chat);
        // A private chat without a picture of its own shows its other member's, now known.
        const QString url = completedAvatarUrl(chatAvatarUrl(*chat));
        item->setData(Qt::DisplayRole, name);
        item->setData(AvatarUrlRole, url);
        item->setData(Qt::DecorationRole, getAvatar(name, url));
    }
}

void MainWindow::onChatMoved(const QString &chatId)
{
    movedChats.insert(chatId);
    if (chatReorderQueued)
        return;
    chatReorderQueued = true;
    QMetaObject::invokeMethod(this, &MainWindow::reorderChatRows, Qt::QueuedConnection);
}

void MainWindow::reorderChatRows()
{
    chatReorderQueued = false;
    if (movedChats.isEmpty())
        return;
    std::vector<std::pair<int, QListWidgetItem *>> moved;
    for (const QString &id : qAsConst(movedChats)) {
        const auto item = chatRows.constFind(id);
        if (item != chatRows.constEnd())
            moved.emplace_back(store->chatRow(id), *item);
    }
    movedChats.clear();
    // Put back from the bottom up, so that the most recent ends on top.
    std::sort(
        moved.begin(), moved.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &entry : moved) {
        const int row = chatListWidget->row(entry.second);
        if (row > 0)
            moveChatRowToTop(row);
    }
}

bool MainWindow::openChat(const QString &chatId)
{
    if (chatId != currentChatId) {
        switchComposer(currentChatId, chatId);
        // What the chat left holds unseen is acknowledged when it is opened again.
        receiptsHeld = false;
    }
    currentChatId = chatId;
    selectOpenChatRow();
    highlightedMessageId.clear();
    if (auto *delegate = dynamic_cast<MessageDelegate *>(messageListWidget->itemDelegate()))
        delegate->setHighlightedMessageId(QString());
    const Chat *chat = store->chat(chatId);
    if (!chat)
        return false;
    setChatTitle(resolveChatName(*chat));
    renderMessages(chatId);
    return true;
}

void MainWindow::onChatSelected(QListWidgetItem *item)
{
    openChat(item->data(IdRole).toString());
    // The row clicked is the open chat's, stored or not.
    if (chatListWidget->currentItem() != item)
        chatListWidget->setCurrentItem(item);
}

void MainWindow::onContactSelected(QListWidgetItem *item)
{
    if (openChat(privateChatId(client->currentUser.id, item->data(IdRole).toString())))
        return;
    // No chat with this user yet: it comes into being with the first message sent to it.
    setChatTitle(item->data(Qt::DisplayRole).toString());
    clearMessageRows();
}
