#include "searchpanel.h"

#include "model/itemroles.h"
#include "model/searchsnippet.h"
#include "session/messagesearch.h"
#include "view/searchresultdelegate.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QVBoxLayout>

namespace
{

// Rows from the bottom at which the next page is asked for, so that it is there in time.
constexpr int prefetchRows = 5;

} // namespace

SearchPanel::SearchPanel(MessageSearch *search, Names names, QWidget *parent)
    : QWidget(parent)
    , search(search)
    , names(std::move(names))
    , edit(new QLineEdit)
    , inThisChat(new QCheckBox(QStringLiteral("In this chat")))
    , results(new QListWidget)
    , status(new QLabel)
{
    setObjectName(QStringLiteral("searchPanel"));
    edit->setObjectName(QStringLiteral("searchField"));
    edit->setPlaceholderText(QStringLiteral("Search messages"));
    edit->setClearButtonEnabled(true);
    inThisChat->setObjectName(QStringLiteral("inThisChat"));
    inThisChat->setEnabled(false);
    results->setObjectName(QStringLiteral("searchResults"));
    results->setFrameShape(QFrame::NoFrame);
    results->setItemDelegate(new SearchResultDelegate(results));
    results->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    results->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    results->setAccessibleName(QStringLiteral("Search results"));
    status->setObjectName(QStringLiteral("searchStatus"));
    status->setAlignment(Qt::AlignCenter);
    status->setWordWrap(true);
    status->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 0);
    layout->addWidget(edit);
    layout->addWidget(inThisChat);
    layout->addWidget(status);
    layout->addWidget(results, 1);

    edit->installEventFilter(this);
    results->installEventFilter(this);
    connect(edit, &QLineEdit::textChanged, this, &SearchPanel::requery);
    connect(inThisChat, &QCheckBox::toggled, this, &SearchPanel::requery);
    connect(search, &MessageSearch::resultsReset, this, &SearchPanel::rebuild);
    connect(search, &MessageSearch::resultsAppended, this, &SearchPanel::append);
    connect(search, &MessageSearch::stateChanged, this, &SearchPanel::showStatus);
    connect(results, &QListWidget::itemClicked, this, &SearchPanel::choose);
    connect(results, &QListWidget::itemActivated, this, &SearchPanel::choose);
    connect(results->verticalScrollBar(),
        &QAbstractSlider::valueChanged,
        this,
        &SearchPanel::onScrolled);
}

void SearchPanel::open(const QString &chatId)
{
    setOpenChat(chatId);
    show();
    edit->setFocus(Qt::ShortcutFocusReason);
    edit->selectAll();
}

void SearchPanel::setOpenChat(const QString &chatId)
{
    if (chatId == openChatId)
        return;
    openChatId = chatId;
    inThisChat->setEnabled(!chatId.isEmpty());
    if (inThisChat->isChecked())
        requery();
}

QLineEdit *SearchPanel::field() const
{
    return edit;
}

QListWidget *SearchPanel::resultList() const
{
    return results;
}

QLabel *SearchPanel::statusLabel() const
{
    return status;
}

void SearchPanel::requery()
{
    search->setQuery(
        edit->text(), inThisChat->isChecked() && inThisChat->isEnabled() ? openChatId : QString());
}

void SearchPanel::rebuild()
{
    results->clear();
    append(0);
}

void SearchPanel::append(int first)
{
    const QStringList words = searchWords(search->query());
    const auto &found = search->results();
    for (size_t i = static_cast<size_t>(first); i < found.size(); ++i) {
        const Message &message = found[i];
        auto *item = new QListWidgetItem(names.chat(message.chatId));
        item->setData(IdRole, message.chatId);
        item->setData(MessageIdRole, message.id);
        item->setData(SenderNameRole, names.user(message.senderId));
        item->setData(TimestampRole, QVariant::fromValue<qint64>(message.timestamp));
        item->setData(TextRole, searchSnippet(message.content, words));
        item->setToolTip(message.content);
        results->addItem(item);
    }
    showStatus();
}

void SearchPanel::showStatus()
{
    QString text;
    if (!search->error().isEmpty())
        text = search->error();
    else if (!search->isLoading() && results->count() == 0 && !search->query().trimmed().isEmpty())
        text = QStringLiteral("No messages found");
    status->setText(text);
    status->setVisible(!text.isEmpty());
}

void SearchPanel::choose(QListWidgetItem *item)
{
    if (item)
        emit resultChosen(item->data(IdRole).toString(), item->data(MessageIdRole).toString());
}

void SearchPanel::onScrolled(int value)
{
    Q_UNUSED(value)
    const int last = results->count() - 1;
    const QListWidgetItem *bottom = results->itemAt(QPoint(5, results->viewport()->height() - 2));
    if (last >= 0 && (!bottom || results->row(bottom) >= last - prefetchRows))
        search->loadMore();
}

bool SearchPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->key() == Qt::Key_Escape) {
        emit closeRequested();
        return true;
    }
    if (watched == edit && key->key() == Qt::Key_Down && results->count() > 0) {
        results->setFocus(Qt::TabFocusReason);
        results->setCurrentRow(0);
        return true;
    }
    if (watched == edit && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
        search->searchNow();
        return true;
    }
    if (watched == results && key->key() == Qt::Key_Up && results->currentRow() == 0) {
        edit->setFocus(Qt::TabFocusReason);
        return true;
    }
    if (watched == results && key->key() == Qt::Key_Down
        && results->currentRow() >= results->count() - 1 - prefetchRows)
        search->loadMore();
    return QWidget::eventFilter(watched, event);
}
