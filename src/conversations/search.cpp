// MainWindow's message search, and the timeline of a chat opened away from its newest messages.
#include "app/mainwindow.h"
#include "app/searchpanel.h"
#include "model/itemroles.h"
#include "session/chatsession.h"
#include "session/detachedtimeline.h"
#include "session/messagesearch.h"
#include "store/chatstore.h"
#include "view/accessibleitem.h"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTimer>

namespace
{

// How long a notice over the timeline stays: long enough to read a short sentence.
constexpr int noticeMs = 4000;
// Room between the "Jump to latest" button and the edges of the message list.
constexpr int jumpButtonMargin = 16;

} // namespace

void MainWindow::setupSearch()
{
    SearchPanel::Names names;
    names.chat = [this](const QString &chatId) {
        const Chat *chat = store().chat(chatId);
        return chat ? resolveChatName(*chat) : QString();
    };
    names.user = [this](const QString &userId) {
        const User *user = store().user(userId);
        return user ? user->username : QStringLiteral("Unknown");
    };
    searchPanel = new SearchPanel(session->search(), names);
    searchPanel->hide();
    static_cast<QBoxLayout *>(sidebarTabs->parentWidget()->layout())->addWidget(searchPanel);
    connect(searchButton, &QPushButton::clicked, this, &MainWindow::openSearch);
    auto *shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F), chatPage);
    connect(shortcut, &QShortcut::activated, this, &MainWindow::openSearch);
    connect(searchPanel, &SearchPanel::closeRequested, this, &MainWindow::closeSearch);
    connect(searchPanel, &SearchPanel::resultChosen, this, &MainWindow::openSearchResult);
    connect(jumpToLatestButton, &QPushButton::clicked, this, &MainWindow::jumpToLatest);

    DetachedTimeline *stretch = session->detachedTimeline();
    connect(stretch, &DetachedTimeline::ready, this, &MainWindow::onDetachedReady);
    connect(stretch, &DetachedTimeline::unavailable, this, &MainWindow::onDetachedUnavailable);
    connect(stretch, &DetachedTimeline::olderAdded, this, &MainWindow::onDetachedOlderAdded);
    connect(stretch, &DetachedTimeline::newerAdded, this, &MainWindow::onDetachedNewerAdded);
    connect(stretch, &DetachedTimeline::joined, this, &MainWindow::onDetachedJoined);
}

void MainWindow::openSearch()
{
    if (stackedWidget->currentWidget() != chatPage)
        return;
    sidebarTabs->hide();
    searchButton->hide();
    showNewGroupButton();
    searchPanel->open(currentChatId());
}

void MainWindow::closeSearch()
{
    searchPanel->hide();
    session->search()->clear();
    searchPanel->field()->clear();
    searchButton->show();
    sidebarTabs->show();
    showNewGroupButton();
    if (sidebarTabs->currentWidget())
        sidebarTabs->currentWidget()->setFocus(Qt::OtherFocusReason);
}

void MainWindow::openSearchResult(const QString &chatId, const QString &messageId)
{
    if (!store().hasChat(chatId))
        return;
    // The results keep the keyboard, so that the next one is a key away.
    QWidget *focused = focusWidget();
    if (chatId != currentChatId())
        openChat(chatId);
    searchPanel->setOpenChat(chatId);
    DetachedTimeline *stretch = session->detachedTimeline();
    if (showsDetachedTimeline() && stretch->message(messageId)) {
        focusOnMessage(messageId);
    } else if (session->openAtMessage(chatId, messageId)) {
        if (showsDetachedTimeline()) {
            session->jumpToLatest();
            renderMessages(chatId);
        }
        focusOnMessage(messageId);
    }
    if (focused && searchPanel->isAncestorOf(focused))
        focused->setFocus(Qt::OtherFocusReason);
}

bool MainWindow::showsDetachedTimeline() const
{
    const DetachedTimeline *stretch = session->detachedTimeline();
    return stretch->isActive() && stretch->chatId() == currentChatId();
}

void MainWindow::onDetachedReady(const QString &chatId, const QString &messageId)
{
    if (chatId != currentChatId())
        return;
    renderMessages(chatId);
    focusOnMessage(messageId);
    updateJumpButton();
}

void MainWindow::onDetachedUnavailable(const QString &chatId, const QString &messageId)
{
    Q_UNUSED(messageId)
    if (chatId == currentChatId())
        showTimelineNotice(QStringLiteral("This message is no longer available"));
}

void MainWindow::onDetachedOlderAdded(int count)
{
    if (!showsDetachedTimeline())
        return;
    const auto &messages = session->detachedTimeline()->messages();
    QScrollBar *bar = messageListWidget->verticalScrollBar();
    const int oldMaximum = bar->maximum();
    const int oldValue = bar->value();
    for (int i = count - 1; i >= 0; --i)
        prependMessageBubble(messages[static_cast<size_t>(i)]);
    messageListWidget->doItemsLayout();
    // The rows in view stay where they were.
    bar->setValue(oldValue + bar->maximum() - oldMaximum);
}

void MainWindow::onDetachedNewerAdded(int count)
{
    if (!showsDetachedTimeline())
        return;
    const auto &messages = session->detachedTimeline()->messages();
    for (size_t i = messages.size() - static_cast<size_t>(count); i < messages.size(); ++i)
        addMessageBubble(messages[i]);
}

void MainWindow::onDetachedJoined(const QString &chatId)
{
    if (chatId != currentChatId())
        return;
    renderKeepingTopRow(chatId);
    updateJumpButton();
}

void MainWindow::renderKeepingTopRow(const QString &chatId)
{
    QString anchorId;
    if (const QListWidgetItem *top = messageListWidget->itemAt(QPoint(10, 10)))
        anchorId = rowMessageIds.value(top);
    renderMessages(chatId);
    if (!findMessageRow(anchorId))
        extendWindowUpTo(store().messagePosition(chatId, anchorId));
    if (QListWidgetItem *anchor = findMessageRow(anchorId))
        messageListWidget->scrollToItem(anchor, QAbstractItemView::PositionAtTop);
}

void MainWindow::jumpToLatest()
{
    if (showsDetachedTimeline() || heldSlice) {
        session->jumpToLatest();
        heldSlice = false;
        renderMessages(currentChatId());
    }
    scrollToBottom();
    viewAtBottom = true;
    updateJumpButton();
}

void MainWindow::updateJumpButton()
{
    if (!jumpToLatestButton)
        return;
    const bool show = !currentChatId().isEmpty() && messageListWidget->count() > 0
        && (showsDetachedTimeline() || heldSlice || !isScrolledToBottom());
    if (show) {
        jumpToLatestButton->adjustSize();
        const QSize size = jumpToLatestButton->size();
        const QRect area = messageListWidget->viewport()->geometry();
        jumpToLatestButton->move(area.right() - size.width() - jumpButtonMargin,
            area.bottom() - size.height() - jumpButtonMargin);
        jumpToLatestButton->raise();
    }
    jumpToLatestButton->setVisible(show);
}

void MainWindow::showTimelineNotice(const QString &text)
{
    timelineNotice->setText(text);
    timelineNotice->adjustSize();
    timelineNotice->move(
        (messageListWidget->width() - timelineNotice->width()) / 2, jumpButtonMargin);
    timelineNotice->show();
    timelineNotice->raise();
    QTimer::singleShot(noticeMs, timelineNotice, [this, text] {
        if (timelineNotice->text() == text)
            timelineNotice->hide();
    });
}
