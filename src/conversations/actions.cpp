// MainWindow's message actions: the context menu, reply and edit modes, deletion.
#include "app/mainwindow.h"

#include <QLineEdit>
#include <QPushButton>

void MainWindow::onChatListContextMenu(const QPoint &)
{
}

void MainWindow::onEditMessage()
{
}

void MainWindow::onDeleteMessage()
{
}

void MainWindow::onReplyToMessage()
{
}

void MainWindow::onForwardMessage()
{
}

void MainWindow::onCancelReply()
{
    replyToMessageId.clear();
    replyToText.clear();
    replyToSenderName.clear();
    replyBar->hide();
}

void MainWindow::onCancelEdit()
{
    editingMessageId.clear();
    editingOldText.clear();
    editBar->hide();
    messageInput->clear();
    sendButton->setText(QStringLiteral("Send"));
}
