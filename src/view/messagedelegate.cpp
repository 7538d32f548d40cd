#include "messagedelegate.h"

MessageDelegate::MessageDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

MessageDelegate::~MessageDelegate() = default;

void MessageDelegate::paint(
    QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyledItemDelegate::paint(painter, option, index);
}

QSize MessageDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    return QStyledItemDelegate::sizeHint(option, index);
}

bool MessageDelegate::editorEvent(QEvent *event,
    QAbstractItemModel *model,
    const QStyleOptionViewItem &option,
    const QModelIndex &index)
{
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

void MessageDelegate::getBubbleLayout(const QString &,
    const QString &,
    bool,
    int,
    QRect &,
    QRect &,
    QRect &,
    QRect &,
    int &height,
    bool,
    const QString &,
    QRect &) const
{
    height = 0;
}
