#include "messagedelegate.h"

#include "model/itemroles.h"
#include "model/message.h"
#include "view/nametag.h"
#include "view/palette.h"

#include <QAbstractItemModel>
#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
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

    const QString text = index.data(TextRole).toString();
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

    QRect bubbleRect, textRect, senderRect, avatarRect, replyRect;
    int height = 0;
    getBubbleLayout(text,
        senderName,
        isOwn,
        option.rect.width(),
        bubbleRect,
        textRect,
        senderRect,
        avatarRect,
        height,
        hasReply,
        replyPreview,
        replyRect);
    // The layout is relative to the row; rows are stacked vertically in the viewport.
    const int top = option.rect.top();
    bubbleRect.translate(0, top);
    textRect.translate(0, top);
    senderRect.translate(0, top);
    avatarRect.translate(0, top);
    replyRect.translate(0, top);

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

    // Escaped so that markup in a message shows as typed.
    QString body = shownText(text).toHtmlEscaped();
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
        ^ (hasReply ? qHash(index.data(ReplyPreviewRole).toString()) * 131U + 1U : 0U)
        ^ (index.data(IsOwnRole).toBool() ? 0x9e3779b9U : 0U);
    if (!messageId.isEmpty()) {
        const auto cached = rowSizes.constFind(messageId);
        if (cached != rowSizes.constEnd() && cached->width == width && cached->key == key)
            return QSize(width, cached->height);
    }
    QRect replyRect;
    const int height = layOutRow(index, width, replyRect);
    if (!messageId.isEmpty())
        rowSizes.insert(messageId, RowSize { width, key, height });
    return QSize(width, height);
}

int MessageDelegate::layOutRow(const QModelIndex &index, int width, QRect &replyRect) const
{
    const bool hasReply = !index.data(ReplyToIdRole).toString().isEmpty();
    QRect bubbleRect, textRect, senderRect, avatarRect;
    int height = 0;
    getBubbleLayout(index.data(TextRole).toString(),
        index.data(SenderNameRole).toString(),
        index.data(IsOwnRole).toBool(),
        width,
        bubbleRect,
        textRect,
        senderRect,
        avatarRect,
        height,
        hasReply,
        hasReply ? index.data(ReplyPreviewRole).toString() : QString(),
        replyRect);
    return height;
}

bool MessageDelegate::editorEvent(QEvent *event,
    QAbstractItemModel *model,
    const QStyleOptionViewItem &option,
    const QModelIndex &index)
{
    const QString replyToId = index.data(ReplyToIdRole).toString();
    if (event->type() == QEvent::MouseButtonPress && !replyToId.isEmpty()) {
        const auto *mouseEvent = static_cast<QMouseEvent *>(event);
        if (mouseEvent->button() == Qt::LeftButton) {
            QRect replyRect;
            layOutRow(index, option.rect.width(), replyRect);
            replyRect.translate(0, option.rect.top());
            if (replyRect.contains(mouseEvent->localPos().toPoint())) {
                emit replyQuoteClicked(replyToId);
                return true;
            }
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

QString shownMessageTime(qint64 timestamp)
{
    return QDateTime::fromSecsSinceEpoch(timestamp).toLocalTime().toString(
        QStringLiteral("hh:mm AP"));
}
