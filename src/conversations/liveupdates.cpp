// MainWindow's live updates: incoming messages, seen receipts, edits and deletions.
#include "app/mainwindow.h"

void MainWindow::onMessageReceived(const Message &msg)
{
    showNotificationForMessage(msg);
}

void MainWindow::updateMessageStatus(const QString &, MessageStatus)
{
}

void MainWindow::onMessageSeenUpdate(const QString &, const QString &, const QString &)
{
}

void MainWindow::onMessageUpdated(const QString &, const QString &, const QString &, qint64)
{
}

void MainWindow::onMessageDeleted(const QString &, const QString &)
{
}
