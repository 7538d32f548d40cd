#include "messagedelegate.h"

#include "model/itemroles.h"
#include "model/message.h"
#include "view/nametag.h"
#include "view/palette.h"

#include <QAbstractItemModel>
#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>
#include <algorithm>
#include <cmath>

namespace
{

const QString messageFontFamily = QStringLiteral("Segoe UI");

// Previews are cut so that a long quoted message keeps the quote on one line.
constexpr int replyPreviewLimit = 40;

// Laying text out grows faster than its length (a 100 000-character word takes most of a second,
// at every paint), so a row shows at most this much of an overlong message; the row keeps all
// of it for editing and replying.
constexpr int maxShownTextLength = 10000;

QString shownText(const QString &text)
{
    if (text.size() <= maxShownTextLength)
        return text;
    // Never cut a character outside the basic plane in half.
    const int length = text.at(maxShownTextLength - 1).isHighSurrogate() ? maxShownTextLength - 1
                                                                         : maxShownTextLength;
    return text.left(length) + QStringLiteral("...");
}

QString shortenedPreview(const QString &preview)
{
    if (preview.length() > replyPreviewLimit)
        return preview.left(replyPreviewLimit) + QStringLiteral("...");
    return preview;
}

QFont senderLayoutFont()
{
    return QFont(messageFontFamily, 11, QFont::Bold);
}

QFont tagLayoutFont()
{
    return QFont(messageFontFamily, 9, QFont::Bold);
}

QFont replySenderFont()
{
    return QFont(messageFontFamily, 9, QFont::Bold);
}

QFont replyPreviewFont()
{
    QFont font(messageFontFamily, 9);
    font.setItalic(true);
    return font;
}

QFont textFont()
{
    return QFont(messageFontFamily, 10);
}

QFont markFont()
{
    return QFont(messageFontFamily, 9);
}

QString cancelText()
{
    return QStringLiteral("Cancel");
}

// A file card: an icon, the name and the size on two lines.
constexpr int fileCardWidth = 220;
constexpr int fileCardHeight = 44;
// The upload bar and its "Cancel" under the text.
constexpr int uploadBarHeight = 24;

// Whether `at` lies on the marker that ends `text` as the row lays it out in `textRect`.
bool onMarker(const QString &text, const QString &marker, const QRect &textRect, const QPoint &at)
{
    if (!text.endsWith(marker) || !textRect.contains(at))
        return false;
    QTextDocument document;
    document.setDefaultFont(textFont());
    document.setPlainText(shownText(text));
    document.setTextWidth(textRect.width());
    const int position =
        document.documentLayout()->hitTest(QPointF(at - textRect.topLeft()), Qt::ExactHit);
    return position >= text.size() - marker.size() && position < text.size();
}

QFont withPixelSize(QFont font, int pixelSize)
{
    font.setPixelSize(pixelSize);
    return font;
}

} // namespace

MessageDelegate::MessageDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

MessageDelegate::~MessageDelegate() = default;

void MessageDelegate::setShowPictures(bool show)
{
    pictures = show;
    rowSizes.clear();
}

bool MessageDelegate::showsPictures() const
{
    return pictures;
}

void MessageDelegate::paintMedia(QPainter *painter,
    const QModelIndex &index,
    const QRect &rect,
    const ThemePalette &colours) const
{
    const QString card = index.data(FileCardRole).toString();
    if (!card.isEmpty()) {
        const QStringList lines = card.split(QLatin1Char('\n'));
        const QIcon icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
        icon.paint(painter, QRect(rect.left(), rect.top() + 6, 32, 32));
        const QRect textArea = rect.adjusted(40, 2, 0, -2);
        QFont name = textFont();
        name.setBold(true);
        painter->setFont(name);
        painter->setPen(QColor(QLatin1String(colours.bubbleText)));
        painter->drawText(textArea,
            Qt::AlignLeft | Qt::AlignTop,
            QFontMetrics(name).elidedText(lines.value(0), Qt::ElideMiddle, textArea.width()));
        painter->setFont(markFont());
        painter->setPen(QColor(QLatin1String(colours.timeText)));
        painter->drawText(textArea, Qt::AlignLeft | Qt::AlignBottom, lines.value(1));
        return;
    }
    const QPixmap picture = qvariant_cast<QPixmap>(index.data(PictureRole));
    if (picture.isNull()) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor(QLatin1String(colours.timeText)).lighter(dark ? 60 : 160));
        painter->drawRoundedRect(QRectF(rect), 8, 8);
        emit pictureNeeded(index.data(MessageIdRole).toString());
        return;
    }
    painter->drawPixmap(rect, picture);
}

void MessageDelegate::setDarkMode(bool isDark)
{
    dark = isDark;
}

bool MessageDelegate::isDarkMode() const
{
    return dark;
}

void MessageDelegate::setHighlightedMessageId(const QString &messageId)
{
    highlightedId = messageId;
}

const QString &MessageDelegate::highlightedMessageId() const
{
    return highlightedId;
}

void MessageDelegate::getBubbleLayout(const QString &text,
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
    QRect &replyRect) const
{
    int nameWidth = 0;
    if (!isOwn) {
        const NameTag tag = parseNameTag(senderName);
        nameWidth = QFontMetrics(senderLayoutFont()).horizontalAdvance(tag.name);
        if (tag.hasTag())
            nameWidth += QFontMetrics(tagLayoutFont()).horizontalAdvance(tag.label) + 20;
    }

    int replyWidth = 0;
    if (hasReply && !replyPreview.isEmpty()) {
        replyWidth =
            QFontMetrics(replyPreviewFont()).horizontalAdvance(shortenedPreview(replyPreview)) + 30;
    }

    // Text alone may take up to three quarters of the view, so a bubble never spans it.
    QTextDocument document;
    document.setDefaultFont(textFont());
    document.setPlainText(shownText(text));
    document.setTextWidth(static_cast<int>(width * 0.75) - 20);
    // Rounded up: painted into anything narrower than its ideal width, the widest line would
    // wrap again and overflow the row.
    const int idealWidth = static_cast<int>(std::ceil(document.idealWidth()));
    const int textHeight = static_cast<int>(document.size().height());

    const int contentHeight = textHeight + (isOwn ? 0 : 18) + (hasReply ? 48 : 0);
    height = contentHeight + 38;

    if (isOwn) {
        const int contentWidth = std::max({ idealWidth + 20, replyWidth, 100 });
        const int left = width - contentWidth;
        bubbleRect = QRect(QPoint(left - 10, 5), QPoint(width - 11, contentHeight + 32));
        avatarRect = QRect();
        if (hasReply) {
            replyRect = QRect(QPoint(left, 13), QPoint(width - 21, 52));
            textRect = QRect(QPoint(left, 61), QPoint(width - 21, textHeight + 60));
        } else {
            textRect = QRect(QPoint(left, 13), QPoint(width - 21, textHeight + 12));
        }
        return;
    }

    const int contentWidth = std::max({ nameWidth + 30, replyWidth, idealWidth + 20, 100 });
    avatarRect = QRect(QPoint(10, contentHeight - 5), QPoint(47, contentHeight + 32));
    bubbleRect = QRect(QPoint(58, 5), QPoint(contentWidth + 57, contentHeight + 32));
    senderRect = QRect(QPoint(68, 10), QPoint(contentWidth + 47, 24));
    if (hasReply) {
        replyRect = QRect(QPoint(68, 28), QPoint(contentWidth + 47, 67));
        textRect = QRect(QPoint(68, 76), QPoint(contentWidth + 47, textHeight + 75));
    } else {
        textRect = QRect(QPoint(68, 28), QPoint(contentWidth + 47, textHeight + 27));
    }
}

void MessageDelegate::paint(
    QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);

    const QString senderName = index.data(SenderNameRole).toString();
    const qint64 timestamp = index.data(TimestampRole).toLongLong();
    const bool isOwn = index.data(IsOwnRole).toBool();
    const int status = index.data(StatusRole).toInt();
    const QString messageId = index.data(MessageIdRole).toString();
    const qint64 editedAt = index.data(EditedAtRole).toLongLong();
    const QString replyToId = index.data(ReplyToIdRole).toString();
    const bool hasReply = !replyToId.isEmpty();
    const QString replyPreview = hasReply ? index.data(ReplyPreviewRole).toString() : QString();
    const QString replySender = index.data(ReplySenderRole).toString();

    // The layout is relative to the row; rows are stacked vertically in the viewport.
    const int top = option.rect.top();
    const RowGeometry row = layOutRow(index, option.rect.width());
    const QRect bubbleRect = row.bubble.translated(0, top);
    const QRect textRect = row.text_.translated(0, top);
    const QRect senderRect = row.sender.translated(0, top);
    const QRect avatarRect = row.avatar.translated(0, top);
    const QRect replyRect = row.reply.translated(0, top);

    if (!isOwn) {
        const QIcon avatar = qvariant_cast<QIcon>(index.data(Qt::DecorationRole));
        if (!avatar.isNull())
            avatar.paint(painter, avatarRect, Qt::AlignCenter);
    }

    const ThemePalette &colours = themePalette(dark);
    const QColor fill(QLatin1String(isOwn ? colours.ownBubble : colours.otherBubble));
    const QColor textColour(QLatin1String(colours.bubbleText));
    const QColor timeColour(QLatin1String(colours.timeText));
    QPen outline(Qt::NoPen);
    if (colours.bubbleOutline)
        outline = QPen(QColor(QLatin1String(colours.bubbleOutline)), 1);
    // The row the keyboard is on (what Ctrl+C copies) shows it while the list has the focus.
    if (option.state & QStyle::State_HasFocus)
        outline = QPen(QColor(QLatin1String(colours.focus)), 2);
    // Nothing is highlighted while the id is empty, not even a row that lacks an id.
    if (!highlightedId.isEmpty() && messageId == highlightedId)
        outline = QPen(QColor(QStringLiteral("#FFD700")), 3);

    painter->setPen(outline);
    painter->setBrush(fill);
    painter->drawRoundedRect(QRectF(bubbleRect), 12, 12);
    if (index.data(MentionRole).toBool()) {
        // A bar in the accent colour down the bubble's left side marks a message naming the user.
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor(QLatin1String(colours.accent)));
        painter->drawRoundedRect(
            QRectF(bubbleRect.left() + 1, bubbleRect.top() + 8, 4, bubbleRect.height() - 16), 2, 2);
    }

    if (!isOwn) {
        const NameTag tag = parseNameTag(senderName);
        QFont nameFont = withPixelSize(option.font, 11);
        nameFont.setBold(true);
        const QFontMetrics nameMetrics(nameFont);
        painter->setFont(nameFont);
        painter->setPen(QColor(QLatin1String(colours.senderName)));
        painter->drawText(senderRect.left(), senderRect.top() + nameMetrics.ascent(), tag.name);
        if (tag.hasTag()) {
            const QRect pill(senderRect.left() + nameMetrics.horizontalAdvance(tag.name) + 6,
                senderRect.top(),
                nameMetrics.horizontalAdvance(tag.label) + 10,
                14);
            painter->setPen(Qt::NoPen);
            painter->setBrush(QColor(tag.colour));
            painter->drawRoundedRect(QRectF(pill), 3, 3);
            painter->setFont(withPixelSize(nameFont, 9));
            painter->setPen(Qt::white);
            painter->drawText(pill, Qt::AlignCenter, tag.label);
        }
    }

    if (hasReply) {
        const int x = replyRect.left();
        int y = replyRect.top();
        if (!replySender.isEmpty()) {
            const QFont font = replySenderFont();
            const QFontMetrics metrics(font);
            painter->setFont(font);
            painter->setPen(QColor(QLatin1String(colours.replySender)));
            painter->drawText(x + 6, y + metrics.ascent(), replySender);
            y += metrics.height() + 2;
        }
        painter->setPen(QPen(QColor(QLatin1String(colours.replyLine)), 1));
        painter->drawLine(x, y, x, y + 20);

        const QFont font = replyPreviewFont();
        painter->setFont(font);
        painter->setPen(QColor(QLatin1String(colours.replyText)));
        const QString shown = replyPreview.isEmpty() ? QStringLiteral("[Original message]")
                                                     : shortenedPreview(replyPreview);
        painter->drawText(x + 6, y + QFontMetrics(font).ascent() + 2, shown);
    }

    if (!row.media.isNull())
        paintMedia(painter, index, row.media.translated(0, top), colours);
    if (!row.progress.isNull()) {
        const QRect bar = row.progress.translated(0, top);
        const double share = std::clamp(index.data(UploadProgressRole).toDouble(), 0.0, 1.0);
        painter->setPen(Qt::NoPen);
        painter->setBrush(timeColour);
        painter->drawRoundedRect(QRectF(bar), 2, 2);
        painter->setBrush(QColor(QLatin1String(colours.accent)));
        painter->drawRoundedRect(
            QRectF(bar.left(), bar.top(), bar.width() * share, bar.height()), 2, 2);
        painter->setFont(markFont());
        painter->setPen(QColor(QLatin1String(colours.accent)));
        painter->drawText(row.cancel.translated(0, top), Qt::AlignCenter, cancelText());
    }

    // Escaped so that markup in a message shows as typed.
    QString body = shownText(row.text).toHtmlEscaped();
    body.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    QTextDocument document;
    document.setDefaultFont(textFont());
    document.setHtml(QStringLiteral("<font color='%1'>%2</font>").arg(textColour.name(), body));
    document.setTextWidth(textRect.width());
    painter->translate(textRect.topLeft());
    document.drawContents(painter);
    painter->translate(-textRect.topLeft());

    const QString timeText = shownMessageTime(timestamp);
    const QFont timeFont = withPixelSize(option.font, 9);
    const QFontMetrics timeMetrics(timeFont);
    const int timeWidth = timeMetrics.horizontalAdvance(timeText);
    const int timeTop = bubbleRect.bottom() - 5 - timeMetrics.height();

    if (isOwn) {
        const QFont font = markFont();
        const QFontMetrics metrics(font);
        const QString checkMark(QChar(0x2713));
        // A font without the check mark may give it no advance; letters stand in for it then.
        const int checkWidth = metrics.horizontalAdvance(checkMark);
        const int baseline = timeTop + metrics.ascent();
        const int markRight = bubbleRect.right() - timeWidth - 12;
        QString mark;
        QColor colour = timeColour;
        switch (status) {
        case Sending:
            mark = QString(QChar(0x25CB));
            break;
        case Sent:
            mark = checkWidth > 0 ? checkMark : QStringLiteral("v");
            break;
        case Seen:
            colour = QColor(QLatin1String(colours.seenMark));
            mark = checkWidth > 0 ? checkMark : QStringLiteral("vv");
            break;
        case Failed:
            colour = QColor(QLatin1String(colours.failedMark));
            mark = QStringLiteral("!");
            break;
        default:
            break;
        }
        painter->setFont(font);
        painter->setPen(colour);
        if (status == Seen && checkWidth > 0) {
            const int x = markRight - checkWidth;
            painter->drawText(x - checkWidth / 2, baseline, checkMark);
            painter->drawText(x, baseline, checkMark);
        } else if (!mark.isEmpty()) {
            painter->drawText(markRight - metrics.horizontalAdvance(mark), baseline, mark);
        }
    }

    painter->setFont(timeFont);
    painter->setPen(timeColour);
    painter->drawText(
        QRect(bubbleRect.topLeft(), QPoint(bubbleRect.right() - 8, bubbleRect.bottom() - 5)),
        Qt::AlignRight | Qt::AlignBottom,
        timeText);

    if (editedAt > 0) {
        QFont font = withPixelSize(timeFont, 8);
        font.setItalic(true);
        const QFontMetrics metrics(font);
        const QString edited = QStringLiteral("edited");
        painter->setFont(font);
        painter->setPen(timeColour);
        painter->drawText(bubbleRect.right() - 8 - metrics.horizontalAdvance(edited),
            timeTop - metrics.height() + metrics.ascent() - 2,
            edited);
    }

    painter->restore();
}

QSize MessageDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const int width = option.rect.width();
    const QString messageId = index.data(MessageIdRole).toString();
    const bool hasReply = !index.data(ReplyToIdRole).toString().isEmpty();
    const uint key = qHash(index.data(TextRole).toString())
        ^ (qHash(index.data(SenderNameRole).toString()) * 31U)
        ^ (index.data(UploadProgressRole).isValid() ? 0x51ed27U : 0U)
        ^ (showsMedia(index) ? qHash(index.data(PictureSizeRole).toSize().width()) * 7U + 3U : 0U)
        ^ (hasReply ? qHash(index.data(ReplyPreviewRole).toString()) * 131U + 1U : 0U)
        ^ (index.data(IsOwnRole).toBool() ? 0x9e3779b9U : 0U);
    if (!messageId.isEmpty()) {
        const auto cached = rowSizes.constFind(messageId);
        if (cached != rowSizes.constEnd() && cached->width == width && cached->key == key)
            return QSize(width, cached->height);
    }
    const int height = layOutRow(index, width).height;
    if (!messageId.isEmpty())
        rowSizes.insert(messageId, RowSize { width, key, height });
    return QSize(width, height);
}

bool MessageDelegate::showsMedia(const QModelIndex &index) const
{
    return pictures
        && (index.data(PictureSizeRole).toSize().isValid()
            || !index.data(FileCardRole).toString().isEmpty());
}

MessageDelegate::RowGeometry MessageDelegate::layOutRow(const QModelIndex &index, int width) const
{
    const bool hasReply = !index.data(ReplyToIdRole).toString().isEmpty();
    const bool isOwn = index.data(IsOwnRole).toBool();
    RowGeometry row;
    row.text = index.data(TextRole).toString();
    const bool media = showsMedia(index);
    QSize mediaSize;
    if (media) {
        // The file shows in the bubble instead of its marker; what stays is the caption.
        row.text.chop(index.data(FileMarkerRole).toString().size());
        row.text = row.text.trimmed();
        const QSize picture = index.data(PictureSizeRole).toSize();
        mediaSize = picture.isValid() ? picture : QSize(fileCardWidth, fileCardHeight);
    }
    getBubbleLayout(row.text,
        index.data(SenderNameRole).toString(),
        isOwn,
        width,
        row.bubble,
        row.text_,
        row.sender,
        row.avatar,
        row.height,
        hasReply,
        hasReply ? index.data(ReplyPreviewRole).toString() : QString(),
        row.reply);
    int below = 0;
    if (media) {
        // Above the text, which moves down; without a caption it takes the text's place.
        const int textHeight = row.text.isEmpty() ? row.text_.height() : 0;
        const int grow = mediaSize.height() + 6 - textHeight;
        row.media = QRect(row.text_.topLeft(), mediaSize);
        row.text_.translate(0, mediaSize.height() + 6);
        row.bubble.setBottom(row.bubble.bottom() + grow);
        row.avatar.translate(0, grow);
        row.height += grow;
        // Wide enough for the picture: own bubbles grow to the left, others' to the right.
        const int lack = mediaSize.width() + 20 - row.bubble.width();
        if (lack > 0) {
            if (isOwn) {
                row.bubble.setLeft(row.bubble.left() - lack);
                row.media.moveLeft(row.media.left() - lack);
                row.text_.setLeft(row.text_.left() - lack);
            } else {
                row.bubble.setRight(row.bubble.right() + lack);
                row.text_.setRight(row.text_.right() + lack);
            }
        }
        below = row.text_.bottom();
    }
    if (index.data(UploadProgressRole).isValid()) {
        const int barTop = std::max(below, row.text_.bottom()) + 8;
        const int cancelWidth = QFontMetrics(markFont()).horizontalAdvance(cancelText()) + 12;
        row.bubble.setBottom(row.bubble.bottom() + uploadBarHeight);
        row.avatar.translate(0, uploadBarHeight);
        row.height += uploadBarHeight;
        const int lack = 100 + cancelWidth + 20 - row.bubble.width();
        if (lack > 0 && isOwn)
            row.bubble.setLeft(row.bubble.left() - lack);
        else if (lack > 0)
            row.bubble.setRight(row.bubble.right() + lack);
        const int left = row.bubble.left() + 10;
        const int right = row.bubble.right() - 10;
        row.cancel = QRect(right - cancelWidth, barTop - 4, cancelWidth, 16);
        row.progress = QRect(left, barTop + 2, row.cancel.left() - 6 - left, 5);
    }
    return row;
}

bool MessageDelegate::editorEvent(QEvent *event,
    QAbstractItemModel *model,
    const QStyleOptionViewItem &option,
    const QModelIndex &index)
{
    if (event->type() != QEvent::MouseButtonPress
        || static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    const QPoint at =
        static_cast<QMouseEvent *>(event)->localPos().toPoint() - QPoint(0, option.rect.top());
    const RowGeometry row = layOutRow(index, option.rect.width());
    const QString messageId = index.data(MessageIdRole).toString();
    const QString replyToId = index.data(ReplyToIdRole).toString();
    if (!replyToId.isEmpty() && row.reply.contains(at)) {
        emit replyQuoteClicked(replyToId);
        return true;
    }
    if (row.cancel.contains(at)) {
        emit cancelUploadClicked(messageId);
        return true;
    }
    const QString marker = index.data(FileMarkerRole).toString();
    if (marker.isEmpty())
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    if (row.media.contains(at) || onMarker(row.text, marker, row.text_, at)) {
        emit fileClicked(messageId);
        return true;
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

QString shownMessageTime(qint64 timestamp)
{
    return QDateTime::fromSecsSinceEpoch(timestamp).toLocalTime().toString(
        QStringLiteral("hh:mm AP"));
}
