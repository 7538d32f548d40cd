#include "listfilter.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>

ListFilter::ListFilter(QTabWidget *sidebar, const QList<QListWidget *> &lists)
    : QObject(sidebar)
    , sidebar(sidebar)
    , lists(lists)
    , edit(new QLineEdit(sidebar))
{
    edit->setObjectName(QStringLiteral("chatFilter"));
    edit->setPlaceholderText(QStringLiteral("Filter by name"));
    edit->setClearButtonEnabled(true);
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
    for (QListWidget *list : lists) {
        connect(list->model(), &QAbstractItemModel::rowsInserted, this, &ListFilter::apply);
        connect(list->model(), &QAbstractItemModel::dataChanged, this, &ListFilter::apply);
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
    const QString text = edit->text().trimmed();
    for (QListWidget *list : lists) {
        for (int row = 0; row < list->count(); ++row) {
            const QString name = list->item(row)->data(Qt::DisplayRole).toString();
            list->setRowHidden(row, !name.contains(text, Qt::CaseInsensitive));
        }
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

bool ListFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == sidebar && event->type() == QEvent::Resize && edit->isVisible())
        place();
    if (watched == edit && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
        close();
        return true;
    }
    return false;
}
