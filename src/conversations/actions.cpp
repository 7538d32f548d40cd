// MainWindow's message actions: the context menu, reply and edit modes, deletion.
#include "app/mainwindow.h"
#include "logging.h"
#include "model/itemroles.h"
#include "net/websocketclient.h"
#include "store/chatstore.h"
#include "view/palette.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

namespace
{

const char *const messageIdProperty = "messageId";
const char *const messageTextProperty = "messageText";

constexpr int replyPreviewLength = 50;
constexpr int editPreviewLength = 30;

QString shortened(const QString &text, int length)
{
    return text.size() <= length ? text : text.left(length) + QStringLiteral("...");
}

QString menuStyleSheet(bool dark)
{
    const ThemePalette &colours = themePalette(dark);
    return QStringLiteral("QMenu { background-color: %1; color: %2; border: 1px solid %3; "
                          "padding: 4px;}"
                          "QMenu::item { padding: 8px 24px; background-color: transparent;}"
                          "QMenu::item:selected { background-color: %4;}")
        .arg(QLatin1String(colours.panel),
            QLatin1String(colours.text),
            QLatin1String(colours.menuBorder),
            QLatin1String(colours.menuSelected));
}

QString confirmationStyleSheet(bool dark)
{
    const ThemePalette &colours = themePalette(dark);
    return QStringLiteral("QMessageBox { background-color: %1; }"
                          "QLabel { color: %2; }"
                          "QPushButton {  background-color: %3;  color: %2;  "
                          "border: 1px solid %4;  border-radius: 4px;  "
                          "padding: 6px 16px;  min-width: 60px; }"
                          "QPushButton:hover { background-color: %5; }"
                          "QPushButton:pressed { background-color: %6; }")
        .arg(QLatin1String(colours.dialogBackground),
            QLatin1String(colours.text),
            QLatin1String(colours.buttonBackground),
            QLatin1String(colours.buttonBorder),
            QLatin1String(colours.buttonHover),
            QLatin1String(colours.buttonPressed));
}

} // namespace

QMenu *MainWindow::menuOfTriggeredAction() const
{
    const QObject *action = sender();
    return action ? qobject_cast<QMenu *>(action->parent()) : nullptr;
}

void MainWindow::onChatListContextMenu(const QPoint &pos)
{
    const QListWidgetItem *item = messageListWidget->itemAt(pos);
    if (!item)
        return;
    const bool own = item->data(SenderIdRole).toString() == client->currentUser.id;

    QMenu menu(this);
    menu.setStyleSheet(menuStyleSheet(darkMode));
    const Outbox::Entry *unsent = outbox.entry(item->data(MessageIdRole).toString());
    if (unsent && unsent->failed) {
        // The server never took it: send it again, or drop the local copy.
        menu.addAction(QStringLiteral("Retry"), this, &MainWindow::onRetryMessage);
        menu.addAction(QStringLiteral("Delete"), this, &MainWindow::onDiscardMessage);
        menu.setProperty(messageIdProperty, item->data(MessageIdRole).toString());
        menu.exec(messageListWidget->viewport()->mapToGlobal(pos));
        return;
    }
    if (own) {
        menu.addAction(QStringLiteral("Edit"), this, &MainWindow::onEditMessage);
        menu.addAction(QStringLiteral("Delete"), this, &MainWindow::onDeleteMessage);
        menu.addSeparator();
    }
    menu.addAction(QStringLiteral("Reply"), this, &MainWindow::onReplyToMessage);
    menu.addAction(QStringLiteral("Forward"), this, &MainWindow::onForwardMessage);
    menu.setProperty(messageIdProperty, item->data(MessageIdRole).toString());
    menu.setProperty(messageTextProperty, item->data(TextRole).toString());
    // The list reports positions in its viewport's coordinates.
    menu.exec(messageListWidget->viewport()->mapToGlobal(pos));
}

void MainWindow::onReplyToMessage()
{
    const QMenu *menu = menuOfTriggeredAction();
    if (!menu)
        return;
    const QString messageId = menu->property(messageIdProperty).toString();
    const QString text = menu->property(messageTextProperty).toString();

    // A message still being sent is only a row, so it cannot be replied to yet.
    const Message *message = store->message(currentChatId, messageId);
    if (!message)
        return;

    replyToMessageId = messageId;
    replyToText = text;
    replyChatId = currentChatId;
    const User *sender = store->user(message->senderId);
    replyToSenderName = sender ? sender->username : QStringLiteral("Unknown");
    showReplyBar();
    messageInput->setFocus(Qt::OtherFocusReason);
}

void MainWindow::showReplyBar()
{
    replyPreviewLabel->setText(
        replyToSenderName + QStringLiteral(": ") + shortened(replyToText, replyPreviewLength));
    replyBar->show();
}

void MainWindow::onEditMessage()
{
    const QMenu *menu = menuOfTriggeredAction();
    if (!menu)
        return;
    startEditing(menu->property(messageIdProperty).toString(),
        menu->property(messageTextProperty).toString());
}

void MainWindow::startEditing(const QString &messageId, const QString &text)
{
    if (editingMessageId.isEmpty())
        draftBeforeEdit = messageInput->text();
    editingMessageId = messageId;
    editingOldText = text;
    editLabel->setText(QStringLiteral("Editing: ") + shortened(editingOldText, editPreviewLength));
    editBar->show();
    messageInput->setText(editingOldText);
    messageInput->setFocus(Qt::OtherFocusReason);
    messageInput->selectAll();
    sendButton->setText(QStringLiteral("Save"));
}

void MainWindow::onDeleteMessage()
{
    const QMenu *menu = menuOfTriggeredAction();
    if (!menu)
        return;
    const QString messageId = menu->property(messageIdProperty).toString();

    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("Delete Message"));
    box.setText(QStringLiteral("Are you sure you want to delete this message?"));
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setStyleSheet(confirmationStyleSheet(darkMode));
    // The row and the stored message stay until the server confirms the deletion.
    if (box.exec() == QMessageBox::Yes && !currentChatId.isEmpty())
        request({ Outbox::ActionKind::Delete, currentChatId, messageId, QString() });
}

void MainWindow::onRetryMessage()
{
    const QMenu *menu = menuOfTriggeredAction();
    if (!menu)
        return;
    const QString localId = menu->property(messageIdProperty).toString();
    if (!outbox.retry(localId))
        return;
    if (QListWidgetItem *row = findMessageRow(localId))
        row->setData(StatusRole, static_cast<int>(Sending));
    sendLocalCopy(outbox.entry(localId)->message);
}

void MainWindow::onDiscardMessage()
{
    const QMenu *menu = menuOfTriggeredAction();
    if (!menu)
        return;
    const QString localId = menu->property(messageIdProperty).toString();
    outbox.remove(localId);
    store->removePendingMessage(localId);
    if (QListWidgetItem *row = findMessageRow(localId)) {
        forgetMessageRow(row);
        delete row;
    }
}

void MainWindow::onForwardMessage()
{
    const QMenu *menu = menuOfTriggeredAction();
    if (!menu)
        return;
    qCDebug(lcUi).noquote() << "Forward message:" << menu->property(messageIdProperty).toString();
}

void MainWindow::onCancelReply()
{
    replyToMessageId.clear();
    replyToText.clear();
    replyToSenderName.clear();
    replyChatId.clear();
    replyBar->hide();
}

void MainWindow::onCancelEdit()
{
    editingMessageId.clear();
    editingOldText.clear();
    draftBeforeEdit.clear();
    editBar->hide();
    messageInput->clear();
    sendButton->setText(QStringLiteral("Send"));
}

void MainWindow::leaveComposerMode()
{
    if (!editingMessageId.isEmpty())
        onCancelEdit();
    else if (!replyToMessageId.isEmpty())
        onCancelReply();
}

void MainWindow::editLastOwnMessage()
{
    const Chat *chat = store->chat(currentChatId);
    if (!chat || !editingMessageId.isEmpty())
        return;
    const QString ownId = client->currentUser.id;
    const auto last = std::find_if(chat->messages.crbegin(),
        chat->messages.crend(),
        [&ownId](const Message &m) { return m.senderId == ownId; });
    if (last != chat->messages.crend())
        startEditing(last->id, last->content);
}

void MainWindow::switchComposer(const QString &fromChatId, const QString &toChatId)
{
    if (!fromChatId.isEmpty()) {
        Drafts::Draft draft;
        // An edit is not a draft: the text typed before it is.
        draft.text = editingMessageId.isEmpty() ? messageInput->text() : draftBeforeEdit;
        draft.replyToId = replyToMessageId;
        draft.replyToText = replyToText;
        draft.replyToSenderName = replyToSenderName;
        drafts.keep(fromChatId, draft);
    } else if (!drafts.has(toChatId)) {
        // Typed before any chat was open: it goes to the first chat opened.
        return;
    }
    if (!editingMessageId.isEmpty())
        onCancelEdit();
    onCancelReply();

    const Drafts::Draft draft = drafts.take(toChatId);
    messageInput->setText(draft.text);
    if (!draft.replyToId.isEmpty()) {
        replyToMessageId = draft.replyToId;
        replyToText = draft.replyToText;
        replyToSenderName = draft.replyToSenderName;
        replyChatId = toChatId;
        showReplyBar();
    }
}
