// MainWindow's avatars: the one way rows get theirs, and the rows a downloaded picture reaches.
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "view/avatarcache.h"

#include <QListWidget>

QIcon MainWindow::getAvatar(const QString &name, const QString &avatarUrl)
{
    return avatars->getAvatar(name, avatarUrl, devicePixelRatioF());
}

QIcon MainWindow::generateGenericAvatar(const QString &name) const
{
    return avatars->generateGenericAvatar(name, devicePixelRatioF());
}

QColor MainWindow::getColorForName(const QString &name) const
{
    return AvatarCache::getColorForName(name);
}

void MainWindow::updateAvatarOnItems(const QString &url, const QPixmap &pixmap)
{
    const QIcon icon(pixmap);
    for (QListWidget *list : { chatListWidget, contactListWidget, messageListWidget }) {
        bool changed = false;
        for (int row = 0; row < list->count(); ++row) {
            QListWidgetItem *item = list->item(row);
            if (item->data(AvatarUrlRole).toString() == url) {
                item->setData(Qt::DecorationRole, icon);
                changed = true;
            }
        }
        if (changed)
            list->viewport()->update();
    }
}
