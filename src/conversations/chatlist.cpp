// MainWindow's chat list and contacts: merging history, new chats, users, opening a chat.
#include "app/mainwindow.h"
#include "net/websocketclient.h"

#include <QListWidget>

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

QListWidgetItem *MainWindow::makeChatRow(const Chat &)
{
    return nullptr;
}

void MainWindow::appendChatRows(std::vector<Chat>, int)
{
}

void MainWindow::finishHistoryRequest()
{
    isLoadingHistory = false;
    historyRequestChatId.clear();
}

void MainWindow::onChatHistoryReceived(const std::vector<Chat> &)
{
}

void MainWindow::onNewChatCreated(const Chat &)
{
}

void MainWindow::onUserListUpdated(const std::vector<User> &)
{
}

void MainWindow::onChatSelected(QListWidgetItem *)
{
}

void MainWindow::onContactSelected(QListWidgetItem *)
{
}
