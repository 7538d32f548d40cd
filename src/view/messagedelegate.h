#pragma once

#include <QHash>
#include <QRect>
#include <QString>
#include <QStyledItemDelegate>

struct ThemePalette;

// Paints every row of the message list as a chat bubble. One layout routine serves painting,
// row heights and hit-testing clicks on a reply quote, so the three always agree.
class MessageDelegate : public QStyledItemDelegate
{
    Q_OBJECT

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

    // Pictures as thumbnails and files as cards in the bubble, instead of their markers.
    void setShowPictures(bool show);
    bool showsPictures() const;
    void setDarkMode(bool dark);
    bool isDarkMode() const;
    // The row of this message gets a gold outline; none while the id is empty.
    void setHighlightedMessageId(const QString &messageId);
    const QString &highlightedMessageId() const;

signals:
    // The quote of a reply was clicked; `messageId` is the quoted message.
    void replyQuoteClicked(const QString &messageId);
    // The file of a message was clicked: its marker, thumbnail or card.
    void fileClicked(const QString &messageId);
    // "Cancel" under a file being uploaded was clicked.
    void cancelUploadClicked(const QString &messageId);
    // A row on screen shows a picture not loaded yet.
    void pictureNeeded(const QString &messageId) const;

private:
    // Everything a row shows, laid out for a view `width` wide, relative to the row's top.
    struct RowGeometry {
        QString text;
        QRect bubble, text_, sender, avatar, reply;
        // A thumbnail or file card above the text; the upload bar and "Cancel" below it.
        QRect media, progress, cancel;
        int height = 0;
    };
    RowGeometry layOutRow(const QModelIndex &index, int width) const;
    void paintMedia(QPainter *painter,
        const QModelIndex &index,
        const QRect &rect,
        const ThemePalette &colours) const;
    // Whether the row shows its file in the bubble rather than as a marker.
    bool showsMedia(const QModelIndex &index) const;

    // A row's height for one view width, kept so that scrolling back over rows already laid
    // out, or relaying out the list, lays out no text again. The key says what the row showed,
    // so an edit or a new quote is laid out anew; another width is laid out when asked for.
    struct RowSize {
        int width = 0;
        uint key = 0;
        int height = 0;
    };
    mutable QHash<QString, RowSize> rowSizes;

    bool dark = false;
    bool pictures = false;
    QString highlightedId;
};

// A message's time as its row shows it, in local time.
QString shownMessageTime(qint64 timestamp);
