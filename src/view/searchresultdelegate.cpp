#include "searchresultdelegate.h"

#include "model/itemroles.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QDateTime>
#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>

namespace
{

constexpr int margin = 10;
constexpr int lineGap = 4;

} // namespace

SearchResultDelegate::SearchResultDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

void SearchResultDelegate::paint(
    QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    painter->save();
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

    const bool selected = opt.state & QStyle::State_Selected;
    const QColor textColor =
        opt.palette.color(QPalette::Normal, selected ? QPalette::HighlightedText : QPalette::Text);
    const QRect area = opt.rect.adjusted(margin, margin / 2, -margin, -margin / 2);

    QFont titleFont = opt.font;
    titleFont.setBold(true);
    const QFontMetrics titleMetrics(titleFont);
    const QDateTime when = QDateTime::fromSecsSinceEpoch(index.data(TimestampRole).toLongLong());
    const QString date = when.toString(QStringLiteral("d MMM yyyy"));
    const int dateWidth = QFontMetrics(opt.font).horizontalAdvance(date);
    painter->setPen(textColor);
    painter->setFont(opt.font);
    painter->drawText(QRect(area.right() - dateWidth, area.top(), dateWidth, titleMetrics.height()),
        Qt::AlignRight | Qt::AlignVCenter,
        date);
    painter->setFont(titleFont);
    painter->drawText(
        QRect(area.left(), area.top(), area.width() - dateWidth - margin, titleMetrics.height()),
        Qt::AlignLeft | Qt::AlignVCenter,
        titleMetrics.elidedText(index.data(Qt::DisplayRole).toString(),
            Qt::ElideRight,
            area.width() - dateWidth - margin));

    // One line of the snippet; what does not fit is cut at the row's edge.
    QTextDocument snippet;
    snippet.setDefaultFont(opt.font);
    snippet.setDocumentMargin(0);
    snippet.setHtml(QStringLiteral("<span style=\"white-space: pre\">")
        + index.data(SenderNameRole).toString().toHtmlEscaped() + QStringLiteral(": ")
        + index.data(TextRole).toString() + QStringLiteral("</span>"));
    const QRect line(area.left(),
        area.top() + titleMetrics.height() + lineGap,
        area.width(),
        QFontMetrics(opt.font).height());
    painter->translate(line.topLeft());
    painter->setClipRect(QRect(QPoint(0, 0), line.size()));
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette.setColor(QPalette::Text, textColor);
    snippet.documentLayout()->draw(painter, context);
    painter->restore();
}

QSize SearchResultDelegate::sizeHint(
    const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    Q_UNUSED(index)
    QFont titleFont = option.font;
    titleFont.setBold(true);
    return QSize(option.rect.width(),
        QFontMetrics(titleFont).height() + QFontMetrics(option.font).height() + lineGap + margin);
}
