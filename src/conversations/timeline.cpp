// MainWindow's message timeline: rows of the open chat, paging, scrolling, the jump highlight.
#include "app/mainwindow.h"

#include <QListWidget>

void MainWindow::renderMessages(const QString &)
{
}

void MainWindow::addMessageBubble(const Message &)
{
}

void MainWindow::prependMessageBubble(const Message &)
{
}

void MainWindow::fillMessageRow(QListWidgetItem *, const Message &)
{
}

QString MainWindow::getReplyPreviewText(const QString &, const QString &) const
{
    return QString();
}

MessageStatus MainWindow::calculateMessageStatus(const Message &, const Chat &) const
{
    return Sent;
}

void MainWindow::scrollToBottom()
{
}

bool MainWindow::isScrolledToBottom() const
{
    return true;
}

QListWidgetItem *MainWindow::findMessageRow(const QString &) const
{
    return nullptr;
}

void MainWindow::onScrollValueChanged(int)
{
}

void MainWindow::focusOnMessage(const QString &)
{
}

void MainWindow::onChatListItemClicked(const QModelIndex &)
{
}
