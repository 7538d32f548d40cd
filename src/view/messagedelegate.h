#pragma once

#include <QRect>
#include <QString>
#include <QStyledItemDelegate>

class MainWindow;

// Paints every row of the message list as a chat bubble. One layout routine serves painting,
// row heights and hit-testing clicks on a reply quote, so the three always agree.
class MessageDelegate : public QStyledItemDelegate
{
public:
    explicit MessageDelegate(QObject *parent = nullptr);
    ~MessageDelegate() override;

    void paint(QPainter *painter,
        const QStyleOptionViewItem &option,
        const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event,
        QAbstractItemModel *model,
        const QStyleOptionViewItem &option,
        const QModelIndex &index) override;

    // Lays one row out in a view `width` pixels wide. Writes the rectangles (relative to the
    // row's top) and the row height; leaves senderRect alone for own messages and replyRect
    // alone without a reply.
    void getBubbleLayout(const QString &text,
        const QString &senderName,
        bool isOwn,
        int width,
        QRect &bubbleRect,
        QRect &textRect,
        QRect &senderRect,
        QRect &avatarRect,
        int &height,
        bool hasReply,
        const QString &replyPreview,
        QRect &replyRect) const;

    bool isDarkMode = false;
    MainWindow *mainWindow = nullptr;
    QString highlightedMessageId;

private:
    // getBubbleLayout for the row at `index`; returns its height.
    int layOutRow(const QModelIndex &index, int width, QRect &replyRect) const;
};
