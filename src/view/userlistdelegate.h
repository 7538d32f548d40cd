#pragma once

#include <QStyledItemDelegate>

// Paints the rows of the chat and contact lists: avatar, name and an optional name-tag pill.
class UserListDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit UserListDelegate(QObject *parent = nullptr);
    ~UserListDelegate() override;

    void paint(QPainter *painter,
        const QStyleOptionViewItem &option,
        const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
