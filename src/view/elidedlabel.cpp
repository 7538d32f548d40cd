#include "elidedlabel.h"

#include <QPainter>
#include <QStyle>

ElidedLabel::ElidedLabel(const QString &text, QWidget *parent)
    : QLabel(text, parent)
{
    // A chat name is shown as typed, never as markup.
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

QRect ElidedLabel::textArea() const
{
    const int inset = margin();
    return contentsRect().adjusted(inset, inset, -inset, -inset);
}

QString ElidedLabel::shownText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideRight, textArea().width());
}

QSize ElidedLabel::minimumSizeHint() const
{
    // Room for the ellipsis alone: the name never holds the window wider than that.
    const QMargins margins = contentsMargins();
    const int width = fontMetrics().horizontalAdvance(QChar(0x2026)) + margins.left()
        + margins.right() + 2 * margin();
    return QSize(width, QLabel::minimumSizeHint().height());
}

void ElidedLabel::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter,
        textArea(),
        QStyle::visualAlignment(layoutDirection(), alignment()),
        palette(),
        isEnabled(),
        shownText(),
        foregroundRole());
}
