// MainWindow's groups: "New Group…", the header's member list and group menu, and the changes
// that reach a chat.
#include "app/desktopnotifier.h"
#include "app/groupdialog.h"
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "net/serveraddress.h"
#include "session/chatsession.h"
#include "store/chatstore.h"
#include "view/attachmentstrip.h"
#include "view/connectionbar.h"

#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>

namespace
{

const QString notConnected =
    QStringLiteral("Not connected to the server; the group was not changed.");

// A picture's URL as the server gives it, made whole.
QString fullUrl(const QString &url)
{
    return url.startsWith(QLatin1Char('/')) ? apiBaseUrl() + url : url;
}

bool isGroup(const Chat *chat)
{
    return chat && chat->type == QLatin1String("group");
}

} // namespace

void MainWindow::setupGroups()
{
    connect(newGroupButton, &QPushButton::clicked, this, &MainWindow::openNewGroupDialog);
    connect(sidebarTabs, &QTabWidget::currentChanged, this, &MainWindow::showNewGroupButton);

    // The menus are made anew at each opening, from the chat as it is then.
    connect(groupMenuButton, &QToolButton::clicked, this, [this] {
        const Chat *chat = store().chat(currentChatId());
        if (!isGroup(chat))
            return;
        QMenu menu(this);
        if (chat->ownerId == session->currentUserId()) {
            menu.addAction(QStringLiteral("Rename\u2026"), this, &MainWindow::renameOpenGroup);
            menu.addAction(
                QStringLiteral("Add Members\u2026"), this, &MainWindow::openAddMembersDialog);
        }
        menu.addAction(QStringLiteral("Leave Group"), this, &MainWindow::leaveOpenGroup);
        menu.exec(groupMenuButton->mapToGlobal(QPoint(0, groupMenuButton->height())));
    });
    connect(membersButton, &QToolButton::clicked, this, [this] {
        const Chat *chat = store().chat(currentChatId());
        if (!chat)
            return;
        QMenu menu(this);
        for (const QString &member : chat->members) {
            const User *user = store().user(member);
            const QString name = user ? user->username : QStringLiteral("Unknown User");
            menu.addAction(getAvatar(name, fullUrl(user ? user->avatarUrl : QString())),
                member == chat->ownerId ? name + QStringLiteral(" (owner)") : name);
        }
        menu.exec(membersButton->mapToGlobal(QPoint(0, membersButton->height())));
    });

    connect(session, &ChatSession::groupCreated, this, [this](const QString &chatId) {
        if (groupDialog)
            groupDialog->accept();
        sidebarTabs->setCurrentWidget(chatListWidget);
        openChat(chatId);
    });
    connect(session, &ChatSession::groupCreationFailed, this, [this](const QString &message) {
        if (groupDialog)
            groupDialog->showError(message);
        else
            onServerError(message);
    });
    connect(session, &ChatSession::chatUpdated, this, &MainWindow::onChatUpdated);
    connect(session, &ChatSession::chatRemoved, this, &MainWindow::onChatRemoved);
    showNewGroupButton();
}

void MainWindow::showNewGroupButton()
{
    newGroupButton->setVisible(
        !sidebarTabs->isHidden() && sidebarTabs->currentWidget() == chatListWidget);
}

void MainWindow::openNewGroupDialog()
{
    std::vector<User> contacts;
    for (const User &user : store().users()) {
        if (user.id != session->currentUserId())
            contacts.push_back(user);
    }
    auto *dialog = new GroupDialog(
        GroupDialog::Mode::Create,
        contacts,
        [this](const User &user) { return getAvatar(user.username, fullUrl(user.avatarUrl)); },
        this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    groupDialog = dialog;
    connect(dialog, &GroupDialog::submitted, this, [this, dialog] {
        if (session->createGroup(dialog->name(), dialog->memberIds()))
            dialog->setBusy(true);
        else
            dialog->showError(QStringLiteral("Not connected to the server; try again once it is."));
    });
    dialog->open();
}

void MainWindow::openAddMembersDialog()
{
    const Chat *chat = store().chat(currentChatId());
    if (!isGroup(chat))
        return;
    std::vector<User> contacts;
    for (const User &user : store().users()) {
        if (!chat->members.contains(user.id))
            contacts.push_back(user);
    }
    auto *dialog = new GroupDialog(
        GroupDialog::Mode::AddMembers,
        contacts,
        [this](const User &user) { return getAvatar(user.username, fullUrl(user.avatarUrl)); },
        this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    const QString chatId = chat->id;
    connect(dialog, &GroupDialog::submitted, this, [this, dialog, chatId] {
        // The members show once the server says so; its refusal shows in the connection bar.
        if (session->addMembers(chatId, dialog->memberIds()))
            dialog->accept();
        else
            dialog->showError(notConnected);
    });
    dialog->open();
}

void MainWindow::renameOpenGroup()
{
    const Chat *chat = store().chat(currentChatId());
    if (!isGroup(chat))
        return;
    const QString chatId = chat->id;
    bool ok = false;
    const QString name = QInputDialog::getText(this,
        QStringLiteral("Rename Group"),
        QStringLiteral("New name:"),
        QLineEdit::Normal,
        chat->name,
        &ok);
    if (ok && !name.trimmed().isEmpty() && !session->renameChat(chatId, name))
        onServerError(notConnected);
}

void MainWindow::leaveOpenGroup()
{
    const Chat *chat = store().chat(currentChatId());
    if (!isGroup(chat))
        return;
    const QString chatId = chat->id;
    const auto answer = QMessageBox::question(this,
        QStringLiteral("Leave Group"),
        QStringLiteral("Leave \u201C%1\u201D? Its messages will no longer reach you.")
            .arg(resolveChatName(*chat)));
    if (answer == QMessageBox::Yes && !session->leaveChat(chatId))
        onServerError(notConnected);
}

void MainWindow::refreshGroupHeader()
{
    const Chat *chat = store().chat(currentChatId());
    const bool group = isGroup(chat);
    membersButton->setVisible(group);
    groupMenuButton->setVisible(group);
    if (group)
        membersButton->setText(chat->members.size() == 1
                ? QStringLiteral("1 member")
                : QStringLiteral("%1 members").arg(chat->members.size()));
}

void MainWindow::onChatUpdated(const QString &chatId)
{
    const Chat *chat = store().chat(chatId);
    QListWidgetItem *item = chatRows.value(chatId);
    if (!chat || !item)
        return;
    const QString url = fullUrl(chatAvatarUrl(*chat));
    const QString name = resolveChatName(*chat);
    item->setData(Qt::DisplayRole, name);
    item->setData(AvatarUrlRole, url);
    item->setData(Qt::DecorationRole, getAvatar(name, url));
    if (chatId == currentChatId()) {
        setChatTitle(name);
        refreshGroupHeader();
        updateMentionNames();
    }
}

void MainWindow::onChatRemoved(const QString &chatId)
{
    if (QListWidgetItem *item = chatRows.take(chatId)) {
        rowChatIds.remove(item);
        delete item;
    }
    movedChats.remove(chatId);
    notifier->close(chatId);
    if (attentionChatId == chatId)
        attentionChatId.clear();
    markSummaryStale(QString());
    // The session no longer has it open: nothing of it stays in sight, nor in the composer.
    if (currentChatId().isEmpty()) {
        setHighlightedMessageId(QString());
        clearMessageRows();
        replyBar->hide();
        editBar->hide();
        messageInput->clear();
        messageInput->setEnabled(false);
        attachmentStrip->clear();
        attachButton->setEnabled(false);
        sendButton->setEnabled(false);
        sendButton->setText(QStringLiteral("Send"));
        typingLabel->hide();
        setChatTitle(QStringLiteral("Select a chat"));
        refreshGroupHeader();
    }
    // The list moved its current row to a neighbour; only the open chat's row is selected.
    selectOpenChatRow();
}
