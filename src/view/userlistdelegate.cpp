#include "userlistdelegate.h"

#include "model/itemroles.h"
#include "view/nametag.h"
#include "view/palette.h"

#include <QApplication>
#include <QFontMetrics>
#include <QIcon>
#include <QLocale>
#include <QPainter>
#include <QStyle>

namespace
{

// Every row has room for the 40-pixel avatar and 10 pixels above and below it.
constexpr int rowHeight = 60;
constexpr int avatarSize = 40;
constexpr int nameLeft = 60;
// Room kept free at the right of every row.
constexpr int rightMargin = 10;
// With previews: the two lines' fonts, and the badge's height.
constexpr int previewTextSize = 12;
constexpr int badgeHeight = 18;
constexpr QRgb mutedBadge = 0xff8a8a8a;

} // namespace

UserListDelegate::UserListDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

UserListDelegate::~UserListDelegate() = default;

void UserListDelegate::paint(
    QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    painter->save();

    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    // The style sheet gives the selection and hover colours, so the background is the style's.
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

    const QRect &rect = opt.rect;
    const QString displayName = index.data(Qt::DisplayRole).toString();
    const QIcon avatar = qvariant_cast<QIcon>(index.data(Qt::DecorationRole));
    if (!avatar.isNull()) {
        const QRect avatarRect(rect.left() + 10,
            rect.top() + (rect.bottom() - rect.top() - (avatarSize - 1)) / 2,
            avatarSize,
            avatarSize);
        avatar.paint(painter, avatarRect, Qt::AlignCenter);
    }

    const NameTag tag = parseNameTag(displayName);
    const bool summary = previews && index.data(IdRole).isValid();
    QFont nameFont = opt.font;
    nameFont.setPixelSize(14);
    if (summary && index.data(UnreadCountRole).toInt() > 0)
        nameFont.setBold(true);
    const QFontMetrics nameMetrics(nameFont);
    QFont tagFont = nameFont;
    tagFont.setPixelSize(10);
    tagFont.setWeight(QFont::Bold);
    const int pillWidth =
        tag.hasTag() ? QFontMetrics(tagFont).horizontalAdvance(tag.label) + 12 : 0;
    // A name too long for the row ends in "…", and its tag still shows after it.
    // With previews the time of the last message stands at the right of the name.
    QFont smallFont = opt.font;
    smallFont.setPixelSize(previewTextSize);
    const qint64 last = summary ? index.data(LastActivityRole).toLongLong() : 0;
    const QString time = last > 0
        ? chatListTime(QDateTime::fromSecsSinceEpoch(last), QDateTime::currentDateTime())
        : QString();
    const int timeWidth = time.isEmpty() ? 0 : QFontMetrics(smallFont).horizontalAdvance(time) + 8;
    const int nameRoom = rect.right() - rightMargin - (rect.left() + nameLeft)
        - (tag.hasTag() ? pillWidth + 8 : 0) - timeWidth;
    const QString shownName = nameMetrics.elidedText(tag.name, Qt::ElideRight, nameRoom);
    painter->setFont(nameFont);
    painter->setPen(
        opt.state & QStyle::State_Selected ? QColor(Qt::white) : opt.palette.color(QPalette::Text));
    // With previews the name takes the upper of two lines, centred together in the row.
    const int lineGap = 4;
    const int twoLines = nameMetrics.height() + lineGap + QFontMetrics(smallFont).height();
    const int nameTop = summary ? rect.top() + (rect.height() - twoLines) / 2
                                : rect.top() + (rect.height() - nameMetrics.height()) / 2;
    const int baseline = nameTop + nameMetrics.ascent();
    painter->drawText(rect.left() + nameLeft, baseline, shownName);

    if (tag.hasTag()) {
        const int middle =
            summary ? nameTop + nameMetrics.height() / 2 : (rect.top() + rect.bottom()) / 2;
        const QRect pill(rect.left() + nameLeft + nameMetrics.horizontalAdvance(shownName) + 8,
            middle - 9,
            pillWidth,
            18);
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor(tag.colour));
        painter->drawRoundedRect(pill, 4, 4);
        painter->setFont(tagFont);
        painter->setPen(Qt::white);
        painter->drawText(pill, Qt::AlignCenter, tag.label);
    }

    if (summary) {
        const ThemePalette &colours = themePalette(dark);
        const bool selected = opt.state & QStyle::State_Selected;
        const QColor secondary =
            selected ? QColor(Qt::white) : QColor(QLatin1String(colours.secondaryText));
        painter->setFont(smallFont);
        painter->setPen(secondary);
        if (!time.isEmpty())
            painter->drawText(
                QRect(rect.left(), nameTop, rect.width() - rightMargin, nameMetrics.height()),
                Qt::AlignRight | Qt::AlignVCenter,
                time);
        paintSummary(painter, opt, index, nameTop + nameMetrics.height() + lineGap);
    }

    painter->restore();
}

void UserListDelegate::paintSummary(
    QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index, int top) const
{
    const QRect &rect = option.rect;
    const ThemePalette &colours = themePalette(dark);
    const bool selected = option.state & QStyle::State_Selected;
    QFont font = option.font;
    font.setPixelSize(previewTextSize);
    const QFontMetrics metrics(font);
    int right = rect.right() - rightMargin;

    const int unread = index.data(UnreadCountRole).toInt();
    if (unread > 0) {
        QFont badgeFont = font;
        badgeFont.setBold(true);
        const QString text = unreadBadgeText(unread);
        const int width =
            std::max(badgeHeight, QFontMetrics(badgeFont).horizontalAdvance(text) + 10);
        const QRect badge(
            right - width + 1, top + (metrics.height() - badgeHeight) / 2, width, badgeHeight);
        const bool muted = index.data(MutedRole).toBool();
        QColor fill = muted ? QColor(mutedBadge) : QColor(QLatin1String(colours.accent));
        // On the accent-coloured selection an accent badge would vanish.
        if (selected && !muted)
            fill = QColor(Qt::white);
        painter->setPen(Qt::NoPen);
        painter->setBrush(fill);
        painter->drawRoundedRect(QRectF(badge), badgeHeight / 2.0, badgeHeight / 2.0);
        painter->setFont(badgeFont);
        painter->setPen(selected && !muted ? QColor(QLatin1String(colours.accent)) : Qt::white);
        painter->drawText(badge, Qt::AlignCenter, text);
        right = badge.left() - 6;
    }

    const int left = rect.left() + nameLeft;
    const QString preview = metrics.elidedText(
        index.data(PreviewRole).toString().simplified(), Qt::ElideRight, std::max(0, right - left));
    painter->setFont(font);
    painter->setPen(selected ? QColor(Qt::white) : QColor(QLatin1String(colours.secondaryText)));
    painter->drawText(left, top + metrics.ascent(), preview);
}

void UserListDelegate::setShowPreviews(bool show)
{
    previews = show;
}

bool UserListDelegate::showsPreviews() const
{
    return previews;
}

void UserListDelegate::setDarkMode(bool isDark)
{
    dark = isDark;
}

QString chatListTime(const QDateTime &time, const QDateTime &now)
{
    const qint64 days = time.date().daysTo(now.date());
    if (days == 0)
        return time.toString(QStringLiteral("HH:mm"));
    if (days > 0 && days < 7)
        return QLocale().dayName(time.date().dayOfWeek(), QLocale::ShortFormat);
    return QLocale().toString(time.date(), QLocale::ShortFormat);
}

QString unreadBadgeText(int count)
{
    return count > 99 ? QStringLiteral("99+") : QString::number(count);
}

QSize UserListDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return QSize(option.rect.width(), rowHeight);
}
