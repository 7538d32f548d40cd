#pragma once

#include <QStyledItemDelegate>

// Paints a search result row: the chat's name and the date on the first line, the sender and a
// snippet of the message (rich text, the matched words in bold) on the second.
class SearchResultDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit SearchResultDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter,
        const QStyleOptionViewItem &option,
        const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
