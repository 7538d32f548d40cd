#include "userlistdelegate.h"

UserListDelegate::UserListDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

UserListDelegate::~UserListDelegate() = default;

void UserListDelegate::paint(
    QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyledItemDelegate::paint(painter, option, index);
}

QSize UserListDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    return QStyledItemDelegate::sizeHint(option, index);
}
