#include "listfilter.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>
#include <algorithm>

ListFilter::ListFilter(QTabWidget *sidebar, const QList<QListWidget *> &lists)
    : QObject(sidebar)
    , sidebar(sidebar)
    , lists(lists)
    , edit(new QLineEdit(sidebar))
{
    edit->setObjectName(QStringLiteral("chatFilter"));
    edit->setPlaceholderText(QStringLiteral("Filter by name"));
    edit->hide();
    edit->installEventFilter(this);
    sidebar->installEventFilter(this);
    connect(edit, &QLineEdit::textChanged, this, &ListFilter::apply);

    auto *shortcut = new QShortcut(QKeySequence::Find, sidebar->window());
    connect(shortcut, &QShortcut::activated, this, &ListFilter::open);
    connect(sidebar, &QTabWidget::currentChanged, this, [this] {
        if (edit->isVisible()
            && !this->lists.contains(qobject_cast<QListWidget *>(this->sidebar->currentWidget())))
            close();
    });
    // Only the rows that came in or changed are looked at: a burst of messages touches a chat
    // row per message, and narrowing every row each time would cost a pass over the whole list.
    for (QListWidget *list : lists) {
        connect(list->model(),
            &QAbstractItemModel::rowsInserted,
            this,
            [this, list](const QModelIndex &, int first, int last) { applyTo(list, first, last); });
        connect(list->model(),
            &QAbstractItemModel::dataChanged,
            this,
            [this, list](const QModelIndex &topLeft, const QModelIndex &bottomRight) {
                applyTo(list, topLeft.row(), bottomRight.row());
            });
    }
}

QLineEdit *ListFilter::field() const
{
    return edit;
}

void ListFilter::open()
{
    // Shown on the chat or contact list, whichever is open; from elsewhere it opens the chats.
    if (!lists.contains(qobject_cast<QListWidget *>(sidebar->currentWidget())) && !lists.isEmpty())
        sidebar->setCurrentWidget(lists.first());
    place();
    edit->show();
    edit->raise();
    edit->setFocus(Qt::ShortcutFocusReason);
    edit->selectAll();
}

void ListFilter::close()
{
    edit->clear();
    edit->hide();
    if (QWidget *list = sidebar->currentWidget())
        list->setFocus(Qt::OtherFocusReason);
}

void ListFilter::apply()
{
    for (QListWidget *list : lists)
        narrow(list, edit->text().trimmed(), 0, list->count() - 1);
}

void ListFilter::applyTo(QListWidget *list, int first, int last)
{
    // Without a filter every row is shown already, and new rows come in shown.
    const QString text = edit->text().trimmed();
    if (!text.isEmpty())
        narrow(list, text, first, last);
}

void ListFilter::narrow(QListWidget *list, const QString &text, int first, int last)
{
    for (int row = std::max(first, 0); row <= last && row < list->count(); ++row) {
        const QString name = list->item(row)->data(Qt::DisplayRole).toString();
        list->setRowHidden(row, !name.contains(text, Qt::CaseInsensitive));
    }
}

// Over the foot of the list, just above the tabs, so that the first matches stay in sight.
void ListFilter::place()
{
    const int height = edit->sizeHint().height();
    const int bottom =
        sidebar->tabBar()->isVisible() ? sidebar->tabBar()->geometry().top() : sidebar->height();
    edit->setGeometry(4, bottom - height - 4, sidebar->width() - 8, height);
}

QListWidgetItem *ListFilter::firstMatch(QListWidget *list) const
{
    for (int row = 0; list && row < list->count(); ++row) {
        if (!list->isRowHidden(row))
            return list->item(row);
    }
    return nullptr;
}

bool ListFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == sidebar && event->type() == QEvent::Resize && edit->isVisible())
        place();
    if (watched != edit || event->type() != QEvent::KeyPress)
        return false;
    auto *list = qobject_cast<QListWidget *>(sidebar->currentWidget());
    switch (static_cast<QKeyEvent *>(event)->key()) {
    case Qt::Key_Escape:
        close();
        return true;
    case Qt::Key_Down:
        if (QListWidgetItem *first = firstMatch(list)) {
            list->setCurrentItem(first);
            list->setFocus(Qt::TabFocusReason);
        }
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (QListWidgetItem *first = firstMatch(list))
            emit rowChosen(list, first);
        return true;
    default:
        return false;
    }
}
