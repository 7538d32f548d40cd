// MainWindow's chat list and contacts: their rows, the header, opening a chat.
#include "app/desktopnotifier.h"
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "model/messagetext.h"
#include "net/serveraddress.h"
#include "session/chatsession.h"
#include "store/chatstore.h"
#include "view/accessibleitem.h"
#include "view/attachmentstrip.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
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
        if (member == session->currentUserId())
            continue;
        if (const User *user = store().user(member))
            return user->username;
    }
    return QStringLiteral("Unknown User");
}

QString MainWindow::chatAvatarUrl(const Chat &chat) const
{
    if (!chat.avatarUrl.isEmpty() || chat.type != QLatin1String("private"))
        return chat.avatarUrl;
    for (const QString &member : chat.members) {
        if (member == session->currentUserId())
            continue;
        if (const User *user = store().user(member))
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
    fillChatSummary(item, chat);
    return item;
}

void MainWindow::addChatRows(QStringList chatIds)
{
    chatIds.erase(
        std::remove_if(chatIds.begin(),
            chatIds.end(),
            [this](const QString &id) { return chatRows.contains(id) || !store().hasChat(id); }),
        chatIds.end());
    if (chatIds.isEmpty())
        return;
    // Chats the store takes in are its latest: their rows go on top, in its order.
    std::sort(chatIds.begin(), chatIds.end(), [this](const QString &a, const QString &b) {
        return store().chatRow(a) < store().chatRow(b);
    });
    int row = 0;
    for (const QString &id : qAsConst(chatIds)) {
        QListWidgetItem *item = makeChatRow(*store().chat(id));
        chatRows.insert(id, item);
        rowChatIds.insert(item, id);
        chatListWidget->insertItem(row++, item);
    }
    // The chat first written to from Contacts gets its row now.
    if (chatIds.contains(currentChatId()))
        selectOpenChatRow();
    markSummaryStale(QString());
}

void MainWindow::clearChatRows()
{
    chatListWidget->clear();
    chatRows.clear();
    rowChatIds.clear();
}

void MainWindow::setChatTitle(const QString &title)
{
    chatTitleLabel->setText(title);
    chatTitleLabel->setToolTip(title);
}

void MainWindow::refreshChatTitle()
{
    if (const Chat *chat = store().chat(currentChatId()))
        setChatTitle(resolveChatName(*chat));
}

void MainWindow::selectOpenChatRow()
{
    // Clearing the current row also clears the selection: no other chat stays highlighted.
    chatListWidget->setCurrentItem(chatRows.value(currentChatId(), nullptr));
}

void MainWindow::onChatHistoryReceived(const std::vector<Chat> &batch)
{
    QStringList ids;
    ids.reserve(static_cast<int>(batch.size()));
    for (const Chat &chat : batch)
        ids.append(chat.id);
    addChatRows(ids);
}

void MainWindow::onNewChatCreated(const Chat &chat)
{
    addChatRows({ chat.id });
}

void MainWindow::onUserListUpdated(const std::vector<User> &users)
{
    contactListWidget->clear();
    rowUserIds.clear();
    for (const User &user : users) {
        if (user.id == session->currentUserId())
            continue;
        const QString url = completedAvatarUrl(user.avatarUrl);
        auto *item = new AccessibleItem(AccessibleItem::Kind::Name);
        contactListWidget->addItem(item);
        rowUserIds.insert(item, user.id);
        item->setData(Qt::DisplayRole, user.username);
        item->setData(IdRole, user.id);
        item->setData(AvatarUrlRole, url);
        item->setData(Qt::DecorationRole, getAvatar(user.username, url));
    }

    for (auto row = chatRows.cbegin(); row != chatRows.cend(); ++row) {
        const Chat *chat = store().chat(row.key());
        if (!chat)
            continue;
        const QString name = resolveChatName(*chat);
        // A private chat without a picture of its own shows its other member's, now known.
        const QString url = completedAvatarUrl(chatAvatarUrl(*chat));
        QListWidgetItem *item = *row;
        item->setData(Qt::DisplayRole, name);
        item->setData(AvatarUrlRole, url);
        item->setData(Qt::DecorationRole, getAvatar(name, url));
    }

    // Names and avatars shown in the open chat follow too.
    refreshChatTitle();
    updateMentionNames();
    for (auto row = messageRows.cbegin(); row != messageRows.cend(); ++row) {
        if (const Message *message = messageOfRow(*row))
            fillMessageRow(*row, *message);
    }
    messageListWidget->viewport()->update();
}

void MainWindow::onChatMoved(const QString &chatId)
{
    markSummaryStale(chatId);
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
            moved.emplace_back(store().chatRow(id), *item);
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
    if (chatId != currentChatId()) {
        // Files chosen for one chat never go to another.
        attachmentStrip->clear();
        messageInput->setText(session->openChat(chatId, messageInput->text()));
        showComposerModes();
    } else {
        session->openChat(chatId, messageInput->text());
    }
    selectOpenChatRow();
    setHighlightedMessageId(QString());
    notifier->close(chatId);
    showTypists();
    updateMentionNames();
    messageInput->setEnabled(true);
    sendButton->setEnabled(true);
    attachButton->setEnabled(true);
    // Typing goes into the message, never into the list (where Space would open another chat).
    messageInput->setFocus(Qt::OtherFocusReason);
    const Chat *chat = store().chat(chatId);
    if (chat)
        setChatTitle(resolveChatName(*chat));
    refreshGroupHeader();
    renderMessages(chatId);
    return chat != nullptr;
}

void MainWindow::onChatSelected(QListWidgetItem *item)
{
    const QString chatId = rowChatIds.value(item);
    if (chatId.isEmpty())
        return;
    openChat(chatId);
    // The row clicked is the open chat's, stored or not.
    if (chatListWidget->currentItem() != item)
        chatListWidget->setCurrentItem(item);
}

void MainWindow::onContactSelected(QListWidgetItem *item)
{
    const QString userId = rowUserIds.value(item);
    if (userId.isEmpty() || openChat(privateChatId(session->currentUserId(), userId)))
        return;
    // No chat with this user yet: it comes into being with the first message sent to it.
    const User *user = store().user(userId);
    setChatTitle(user ? user->username : QString());
}
