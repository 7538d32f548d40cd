#pragma once

#include <QLabel>

// A one-line label that never asks for the width of its whole text: what does not fit is
// elided at the right with "…", anew at every width. text() stays the whole text.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(const QString &text, QWidget *parent = nullptr);

    // The text as painted at the label's present width.
    QString shownText() const;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRect textArea() const;
};
