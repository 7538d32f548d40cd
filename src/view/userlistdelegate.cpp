#include "userlistdelegate.h"

#include "view/nametag.h"

#include <QApplication>
#include <QFontMetrics>
#include <QIcon>
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
    QFont nameFont = opt.font;
    nameFont.setPixelSize(14);
    const QFontMetrics nameMetrics(nameFont);
    QFont tagFont = nameFont;
    tagFont.setPixelSize(10);
    tagFont.setWeight(QFont::Bold);
    const int pillWidth =
        tag.hasTag() ? QFontMetrics(tagFont).horizontalAdvance(tag.label) + 12 : 0;
    // A name too long for the row ends in "…", and its tag still shows after it.
    const int nameRoom =
        rect.right() - rightMargin - (rect.left() + nameLeft) - (tag.hasTag() ? pillWidth + 8 : 0);
    const QString shownName = nameMetrics.elidedText(tag.name, Qt::ElideRight, nameRoom);
    painter->setFont(nameFont);
    painter->setPen(
        opt.state & QStyle::State_Selected ? QColor(Qt::white) : opt.palette.color(QPalette::Text));
    const int baseline =
        rect.top() + (rect.height() - nameMetrics.height()) / 2 + nameMetrics.ascent();
    painter->drawText(rect.left() + nameLeft, baseline, shownName);

    if (tag.hasTag()) {
        const int middle = (rect.top() + rect.bottom()) / 2;
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

    painter->restore();
}

QSize UserListDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return QSize(option.rect.width(), rowHeight);
}
