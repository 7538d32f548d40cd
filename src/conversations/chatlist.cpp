// MainWindow's chat list and contacts: merging history, new chats, users, opening a chat.
#include "app/mainwindow.h"
#include "conversations/messagetext.h"
#include "model/itemroles.h"
#include "net/serveraddress.h"
#include "net/websocketclient.h"
#include "view/messagedelegate.h"

#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QSet>
#include <QTimer>
#include <algorithm>

namespace
{

qint64 lastActivity(const Chat &chat)
{
    return chat.messages.empty() ? 0 : chat.messages.back().timestamp;
}

// Newest activity first; chats with equal activity keep the order they came in.
void sortByActivity(std::vector<Chat> &chats)
{
    std::stable_sort(chats.begin(), chats.end(), [](const Chat &a, const Chat &b) {
        return lastActivity(a) > lastActivity(b);
    });
}

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
        const auto user = users.constFind(member);
        if (user != users.constEnd())
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
        const auto user = users.constFind(member);
        if (user != users.constEnd())
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
    auto *item = new QListWidgetItem;
    item->setData(Qt::DisplayRole, name);
    item->setData(IdRole, chat.id);
    item->setData(AvatarUrlRole, url);
    item->setData(Qt::DecorationRole, getAvatar(name, url));
    return item;
}

void MainWindow::insertChatRows(std::vector<Chat> chatsToShow, int firstRow)
{
    sortByActivity(chatsToShow);
    int row = firstRow;
    for (const Chat &chat : chatsToShow)
        chatListWidget->insertItem(row++, makeChatRow(chat));
}

void MainWindow::finishHistoryRequest()
{
    isLoadingHistory = false;
    historyRequestChatId.clear();
    historyTimeout->stop();
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
    const bool firstFill = chats.isEmpty();
    QSet<QString> newlyStored;

    for (const Chat &incoming : batch) {
        const auto stored = chats.find(incoming.id);
        if (stored == chats.end()) {
            chats.insert(incoming.id, incoming);
            newlyStored.insert(incoming.id);
            continue;
        }

        QSet<QString> known;
        known.reserve(static_cast<int>(stored->messages.size()));
        for (const Message &message : stored->messages)
            known.insert(message.id);
        std::vector<Message> added;
        for (const Message &message : incoming.messages) {
            if (!known.contains(message.id))
                added.push_back(message);
        }

        const bool answersPaging = isLoadingHistory && incoming.id == historyRequestChatId;
        if (answersPaging) {
            finishHistoryRequest();
            // Nothing new means nothing older exists: asking again would only repeat this.
            if (added.empty())
                historyExhaustedChats.insert(incoming.id);
        }
        if (added.empty())
            continue;

        const auto byTime = [](const Message &a, const Message &b) {
            return a.timestamp < b.timestamp;
        };
        stored->messages.insert(stored->messages.end(), added.begin(), added.end());
        std::stable_sort(stored->messages.begin(), stored->messages.end(), byTime);

        if (answersPaging && incoming.id == currentChatId) {
            std::stable_sort(added.begin(), added.end(), byTime);
            QScrollBar *bar = messageListWidget->verticalScrollBar();
            const int oldMaximum = bar->maximum();
            const int oldValue = bar->value();
            for (auto message = added.rbegin(); message != added.rend(); ++message)
                prependMessageBubble(*message);
            messageListWidget->doItemsLayout();
            // Keep the rows that were in view where they were.
            bar->setValue(oldValue + bar->maximum() - oldMaximum);
        }
    }

    if (firstFill) {
        chatListWidget->clear();
        insertChatRows(std::vector<Chat>(chats.cbegin(), chats.cend()), 0);
        return;
    }
    // A chat stored by a later batch gets its row too, above the existing ones.
    std::vector<Chat> unlisted;
    for (const Chat &chat : qAsConst(chats)) {
        if (newlyStored.contains(chat.id))
            unlisted.push_back(chat);
    }
    insertChatRows(std::move(unlisted), 0);
}

void MainWindow::onNewChatCreated(const Chat &chat)
{
    if (chats.contains(chat.id))
        return;
    chats.insert(chat.id, chat);
    chatListWidget->insertItem(0, makeChatRow(chat));
}

void MainWindow::onUserListUpdated(const std::vector<User> &list)
{
    users.clear();
    contactListWidget->clear();
    for (const User &user : list) {
        users.insert(user.id, user);
        if (user.id == client->currentUser.id)
            continue;
        const QString url = completedAvatarUrl(user.avatarUrl);
        auto *item = new QListWidgetItem(contactListWidget);
        item->setData(Qt::DisplayRole, user.username);
        item->setData(IdRole, user.id);
        item->setData(AvatarUrlRole, url);
        item->setData(Qt::DecorationRole, getAvatar(user.username, url));
    }

    for (int row = 0; row < chatListWidget->count(); ++row) {
        QListWidgetItem *item = chatListWidget->item(row);
        const auto chat = chats.constFind(item->data(IdRole).toString());
        if (chat == chats.constEnd())
            continue;
        const QString name = resolveChatName(*chat);
        // A private chat without a picture of its own shows its other member's, now known.
        const QString url = completedAvatarUrl(chatAvatarUrl(*chat));
        item->setData(Qt::DisplayRole, name);
        item->setData(AvatarUrlRole, url);
        item->setData(Qt::DecorationRole, getAvatar(name, url));
    }
}

bool MainWindow::openChat(const QString &chatId)
{
    currentChatId = chatId;
    highlightedMessageId.clear();
    if (auto *delegate = dynamic_cast<MessageDelegate *>(messageListWidget->itemDelegate()))
        delegate->highlightedMessageId.clear();
    const auto chat = chats.constFind(chatId);
    if (chat == chats.constEnd())
        return false;
    chatTitleLabel->setText(resolveChatName(*chat));
    renderMessages(chatId);
    return true;
}

void MainWindow::onChatSelected(QListWidgetItem *item)
{
    openChat(item->data(IdRole).toString());
}

void MainWindow::onContactSelected(QListWidgetItem *item)
{
    if (openChat(privateChatId(client->currentUser.id, item->data(IdRole).toString())))
        return;
    // No chat with this user yet: it comes into being with the first message sent to it.
    chatTitleLabel->setText(item->data(Qt::DisplayRole).toString());
    messageListWidget->clear();
}
