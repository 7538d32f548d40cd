// MainWindow's avatars: placeholders, downloads, and the memory and disk caches.
#include "app/mainwindow.h"

#include <QColor>
#include <QIcon>
#include <QNetworkReply>

QIcon MainWindow::getAvatar(const QString &, const QString &)
{
    return QIcon();
}

QIcon MainWindow::generateGenericAvatar(const QString &) const
{
    return QIcon();
}

QColor MainWindow::getColorForName(const QString &) const
{
    return QColor();
}

void MainWindow::updateAvatarOnItems(const QString &, const QPixmap &)
{
}

void MainWindow::onAvatarDownloaded(QNetworkReply *, const QString &)
{
}
