#include "rowkeys.h"

#include <QKeyEvent>
#include <QListWidget>

RowKeys::RowKeys(QListWidget *list)
    : QObject(list)
    , list(list)
{
    list->installEventFilter(this);
}

bool RowKeys::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != list || event->type() != QEvent::KeyPress)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    const bool opens =
        key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Space;
    QListWidgetItem *item = list->currentItem();
    if (!opens || !item || key->modifiers() & ~Qt::KeypadModifier)
        return false;
    emit rowActivated(item);
    return true;
}
