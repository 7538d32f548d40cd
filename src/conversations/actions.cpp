// MainWindow's message actions: the context menu, reply and edit modes, deletion.
#include "app/mainwindow.h"
#include "logging.h"
#include "model/itemroles.h"
#include "model/messagetext.h"
#include "session/chatsession.h"
#include "store/chatstore.h"
#include "view/palette.h"

#include <QClipboard>
#include <QGuiApplication>
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
    const Message *message = item ? messageOfRow(item) : nullptr;
    if (!message)
        return;
    const bool own = message->senderId == session->currentUserId();

    QMenu menu(this);
    menu.setStyleSheet(menuStyleSheet(darkMode));
    menu.setProperty(messageIdProperty, message->id);
    if (store().pendingMessage(message->id)) {
        // Not on the server (yet): sent again when it failed, or dropped here only.
        if (message->status == Failed)
            menu.addAction(QStringLiteral("Retry"), this, &MainWindow::onRetryMessage);
        menu.addAction(QStringLiteral("Delete"), this, &MainWindow::onDiscardMessage);
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
    menu.setProperty(messageTextProperty, displayTextForContent(message->content));
    // The list reports positions in its viewport's coordinates.
    menu.exec(messageListWidget->viewport()->mapToGlobal(pos));
}

void MainWindow::onReplyToMessage()
{
    const QMenu *menu = menuOfTriggeredAction();
    if (!menu || !session->replyTo(menu->property(messageIdProperty).toString()))
        return;
    showReplyBar();
    messageInput->setFocus(Qt::OtherFocusReason);
}

void MainWindow::showReplyBar()
{
    const Message *quoted = store().message(currentChatId(), session->replyToMessageId());
    if (!quoted) {
        replyBar->hide();
        return;
    }
    const User *sender = store().user(quoted->senderId);
    const QString senderName = sender ? sender->username : QStringLiteral("Unknown");
    replyPreviewLabel->setText(senderName + QStringLiteral(": ")
        + shortened(displayTextForContent(quoted->content), replyPreviewLength));
    replyBar->show();
}

void MainWindow::showComposerModes()
{
    if (session->replyToMessageId().isEmpty())
        replyBar->hide();
    else
        showReplyBar();
    const bool editing = !session->editingMessageId().isEmpty();
    editBar->setVisible(editing);
    sendButton->setText(editing ? QStringLiteral("Save") : QStringLiteral("Send"));
}

void MainWindow::onEditMessage()
{
    const QMenu *menu = menuOfTriggeredAction();
    if (!menu)
        return;
    startEditing(menu->property(messageIdProperty).toString(),
        menu->property(messageTextProperty).toString());
}

void MainWindow::startEditing(const QString &messageId, const QString &shownText)
{
    // A file's caption is what an edit changes; the marker is not part of it.
    const QListWidgetItem *row = findMessageRow(messageId);
    const Message *message = row ? messageOfRow(row) : nullptr;
    const QString text = message && message->hasFile ? captionOf(*message) : shownText;
    session->startEditing(messageId, text, messageInput->text());
    editLabel->setText(QStringLiteral("Editing: ") + shortened(text, editPreviewLength));
    editBar->show();
    messageInput->setText(text);
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
    if (box.exec() == QMessageBox::Yes)
        session->deleteMessage(messageId);
}

void MainWindow::onRetryMessage()
{
    if (const QMenu *menu = menuOfTriggeredAction())
        session->retry(menu->property(messageIdProperty).toString());
}

void MainWindow::onDiscardMessage()
{
    if (const QMenu *menu = menuOfTriggeredAction())
        session->discard(menu->property(messageIdProperty).toString());
}

void MainWindow::copyCurrentMessage()
{
    const QListWidgetItem *item = messageListWidget->currentItem();
    if (const Message *message = item ? messageOfRow(item) : nullptr)
        QGuiApplication::clipboard()->setText(message->content);
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
    session->cancelReply();
    replyBar->hide();
}

void MainWindow::onCancelEdit()
{
    // What was typed before the edit comes back; an edit never costs the draft.
    messageInput->setText(session->stopEditing());
    editBar->hide();
    sendButton->setText(QStringLiteral("Send"));
}

void MainWindow::leaveComposerMode()
{
    if (!session->editingMessageId().isEmpty())
        onCancelEdit();
    else if (!session->replyToMessageId().isEmpty())
        onCancelReply();
}

void MainWindow::editLastOwnMessage()
{
    const Message *last = session->lastOwnMessage();
    if (last && session->editingMessageId().isEmpty())
        startEditing(last->id, last->content);
}
