#include "mentioncompleter.h"

#include "model/mentions.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>

namespace
{

// Enough to pick from without covering the conversation.
constexpr int maxVisibleRows = 6;

} // namespace

MentionCompleter::MentionCompleter(QLineEdit *input, QWidget *popupParent)
    : QObject(input)
    , input(input)
    , list(new QListWidget(popupParent))
{
    list->setObjectName(QStringLiteral("mentionList"));
    list->setFocusPolicy(Qt::NoFocus);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->hide();
    input->installEventFilter(this);
    connect(input, &QLineEdit::textEdited, this, &MentionCompleter::update);
    connect(input, &QLineEdit::cursorPositionChanged, this, [this] {
        if (isOpen())
            update();
    });
    connect(list, &QListWidget::itemClicked, this, [this](QListWidgetItem *item) {
        list->setCurrentItem(item);
        insertCurrent();
        this->input->setFocus(Qt::OtherFocusReason);
    });
}

void MentionCompleter::setNames(const QStringList &all)
{
    names = all;
    names.sort(Qt::CaseInsensitive);
    closeList();
}

bool MentionCompleter::isOpen() const
{
    return !list->isHidden();
}

QStringList MentionCompleter::shownNames() const
{
    QStringList shown;
    for (int row = 0; row < list->count(); ++row)
        shown.append(list->item(row)->text());
    return isOpen() ? shown : QStringList();
}

void MentionCompleter::closeList()
{
    list->hide();
    list->clear();
}

void MentionCompleter::update()
{
    const QString prefix = mentionPrefixAt(input->text(), input->cursorPosition());
    const QStringList found = prefix.isNull() ? QStringList() : mentionCandidates(names, prefix);
    if (found.isEmpty()) {
        closeList();
        return;
    }
    if (found == shownNames())
        return;
    list->clear();
    list->addItems(found);
    list->setCurrentRow(0);
    place();
    list->show();
    list->raise();
}

void MentionCompleter::place()
{
    QWidget *parent = list->parentWidget();
    const int rowHeight = list->sizeHintForRow(0);
    const int height = rowHeight * std::min(list->count(), maxVisibleRows) + 2 * list->frameWidth();
    const int width = std::min(240, input->width());
    const QPoint inputTop = input->mapTo(parent, QPoint(0, 0));
    list->setGeometry(inputTop.x(), inputTop.y() - height - 2, width, height);
}

void MentionCompleter::insertCurrent()
{
    const QListWidgetItem *item = list->currentItem();
    const QString text = input->text();
    const int cursor = input->cursorPosition();
    const QString prefix = mentionPrefixAt(text, cursor);
    if (!item || prefix.isNull()) {
        closeList();
        return;
    }
    // The whole word the cursor stands in gives way to the name.
    int end = cursor;
    while (
        end < text.size() && (text.at(end).isLetterOrNumber() || text.at(end) == QLatin1Char('_')))
        ++end;
    const int start = cursor - prefix.size();
    const QString name = item->text() + QLatin1Char(' ');
    input->setText(text.left(start) + name + text.mid(end));
    input->setCursorPosition(start + name.size());
    closeList();
}

bool MentionCompleter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != input || !isOpen())
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::FocusOut) {
        // A click in the list keeps it open long enough to be taken.
        if (!list->underMouse())
            closeList();
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    switch (key->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down: {
        const int step = key->key() == Qt::Key_Up ? -1 : 1;
        list->setCurrentRow((list->currentRow() + step + list->count()) % list->count());
        return true;
    }
    case Qt::Key_Tab:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        insertCurrent();
        return true;
    case Qt::Key_Escape:
        closeList();
        return true;
    default:
        return false;
    }
}
