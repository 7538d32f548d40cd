// MainWindow's view of what is new: unread counts and previews on the chat rows, the total in the
// title, tray and launcher, mutes, desktop notifications, who is typing, and mentions.
#include "app/desktopnotifier.h"
#include "app/mainwindow.h"
#include "app/mentioncompleter.h"
#include "app/settings.h"
#include "model/itemroles.h"
#include "model/mentions.h"
#include "model/messagetext.h"
#include "session/chatsession.h"
#include "store/chatstore.h"
#include "view/nametag.h"
#include "view/userlistdelegate.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>

namespace
{

const QString windowTitleText = QStringLiteral("Ferrow Desktop");

// Balloons of the tray keep their own, shorter limit.
constexpr int balloonDurationMs = 5000;
constexpr int maxBalloonLength = 100;

} // namespace

void MainWindow::setupWhatsNew()
{
    notifier = new DesktopNotifier(this);
    connect(notifier, &DesktopNotifier::activated, this, &MainWindow::onNotificationActivated);
    connect(notifier,
        &DesktopNotifier::failed,
        this,
        [this](const QString &chatId, const QString &summary, const QString &body) {
            // The service refused it: the tray, where there is one, says it instead.
            if (!trayIcon || !trayIcon->isVisible())
                return;
            attentionChatId = chatId;
            trayIcon->showMessage(summary,
                body.size() > maxBalloonLength
                    ? body.left(maxBalloonLength - 3) + QStringLiteral("...")
                    : body,
                QSystemTrayIcon::Information,
                balloonDurationMs);
        });

    mentionCompleter = new MentionCompleter(messageInput, chatArea);
    static_cast<UserListDelegate *>(chatListWidget->itemDelegate())->setShowPreviews(showPreviews);

    const bool sendTyping =
        AppSettings().value(SettingsKey::sendTypingNotifications, true).toBool();
    typingCheckBox->setChecked(sendTyping);
    session->setSendTyping(sendTyping);
    connect(typingCheckBox, &QAbstractButton::toggled, this, &MainWindow::onSendTypingToggled);
    connect(messageInput, &QLineEdit::textEdited, session, &ChatSession::composerChanged);

    connect(chatListWidget,
        &QWidget::customContextMenuRequested,
        this,
        &MainWindow::onChatRowsContextMenu);
    connect(session, &ChatSession::unreadCountChanged, this, &MainWindow::markSummaryStale);
    connect(session, &ChatSession::muteChanged, this, &MainWindow::markSummaryStale);
    connect(session, &ChatSession::messageUpdated, this, [this](const QString &chatId) {
        markSummaryStale(chatId);
    });
    connect(session, &ChatSession::messageDeleted, this, [this](const QString &chatId) {
        markSummaryStale(chatId);
    });
    connect(session, &ChatSession::typingChanged, this, [this](const QString &chatId) {
        if (chatId == currentChatId())
            showTypists();
    });
    connect(session, &ChatSession::accountForgotten, this, [this] {
        staleSummaries.clear();
        showUnreadTotal();
        showTypists();
        mentionCompleter->setNames({});
    });
}

void MainWindow::onPreviewsToggled(bool checked)
{
    showPreviews = checked;
    AppSettings().setValue(SettingsKey::showPreviews, checked);
    static_cast<UserListDelegate *>(chatListWidget->itemDelegate())->setShowPreviews(checked);
    if (checked) {
        for (auto row = chatRows.cbegin(); row != chatRows.cend(); ++row) {
            if (const Chat *chat = store().chat(row.key()))
                fillChatSummary(*row, *chat);
        }
    }
    showUnreadTotal();
    chatListWidget->viewport()->update();
}

void MainWindow::onSendTypingToggled(bool checked)
{
    AppSettings().setValue(SettingsKey::sendTypingNotifications, checked);
    session->setSendTyping(checked);
}

void MainWindow::fillChatSummary(QListWidgetItem *item, const Chat &chat)
{
    if (!showPreviews)
        return;
    QString preview;
    qint64 last = 0;
    if (!chat.messages.empty()) {
        const Message &message = chat.messages.back();
        last = message.timestamp;
        QString sender = QStringLiteral("You");
        if (message.senderId != session->currentUserId()) {
            const User *user = store().user(message.senderId);
            sender = user ? parseNameTag(user->username).name : QStringLiteral("Unknown");
        }
        preview = sender + QStringLiteral(": ") + displayTextForContent(message.content);
    }
    item->setData(PreviewRole, preview);
    item->setData(LastActivityRole, QVariant::fromValue<qint64>(last));
    item->setData(UnreadCountRole, chat.unreadCount);
    item->setData(MutedRole, session->isMuted(chat.id));
}

void MainWindow::markSummaryStale(const QString &chatId)
{
    // No chat: only the total is due, after rows came with counts of their own.
    if (!chatId.isEmpty())
        staleSummaries.insert(chatId);
    if (summariesQueued)
        return;
    summariesQueued = true;
    QMetaObject::invokeMethod(this, &MainWindow::refreshStaleSummaries, Qt::QueuedConnection);
}

void MainWindow::refreshStaleSummaries()
{
    summariesQueued = false;
    if (showPreviews) {
        for (const QString &chatId : qAsConst(staleSummaries)) {
            QListWidgetItem *item = chatRows.value(chatId);
            const Chat *chat = store().chat(chatId);
            if (item && chat)
                fillChatSummary(item, *chat);
        }
    }
    staleSummaries.clear();
    showUnreadTotal();
}

void MainWindow::showUnreadTotal()
{
    const int total = showPreviews ? store().unreadTotal(session->mutedChats()) : 0;
    if (total == shownUnreadTotal)
        return;
    shownUnreadTotal = total;
    setWindowTitle(
        total > 0 ? QStringLiteral("(%1) ").arg(total) + windowTitleText : windowTitleText);
    if (trayIcon)
        trayIcon->setToolTip(total > 0 ? windowTitleText + QStringLiteral(" (%1 unread)").arg(total)
                                       : windowTitleText);
    notifier->setLauncherCount(total);
}

void MainWindow::showTypists()
{
    QStringList names;
    for (const QString &userId : session->typists(currentChatId())) {
        if (const User *user = store().user(userId))
            names.append(parseNameTag(user->username).name);
    }
    const QString text = typingText(names);
    typingLabel->setText(text);
    typingLabel->setVisible(!text.isEmpty());
}

void MainWindow::onChatRowsContextMenu(const QPoint &pos)
{
    const QString chatId = rowChatIds.value(chatListWidget->itemAt(pos));
    if (chatId.isEmpty())
        return;
    QMenu menu(this);
    const bool muted = session->isMuted(chatId);
    menu.addAction(
        muted ? QStringLiteral("Unmute notifications") : QStringLiteral("Mute notifications"),
        this,
        [this, chatId, muted] { session->setMuted(chatId, !muted); });
    menu.exec(chatListWidget->viewport()->mapToGlobal(pos));
    // The right click selected the row; the selected row stays the open chat's.
    selectOpenChatRow();
}

void MainWindow::onNotificationActivated(const QString &chatId)
{
    attentionChatId = chatId;
    onTrayMessageClicked();
}

void MainWindow::updateMentionNames()
{
    QStringList names;
    if (const Chat *chat = store().chat(currentChatId())) {
        for (const QString &member : chat->members) {
            const User *user = store().user(member);
            if (user && member != session->currentUserId())
                names.append(parseNameTag(user->username).name);
        }
    }
    mentionCompleter->setNames(names);
}

bool MainWindow::mentionsMe(const Message &msg) const
{
    if (msg.senderId == session->currentUserId())
        return false;
    // A name tag is no part of the name one types.
    const User *me = store().user(session->currentUserId());
    return me && mentionsUser(msg.content, parseNameTag(me->username).name);
}

void MainWindow::notifyDesktop(const Message &msg, const QString &title, const QString &text)
{
    if (notifier->isAvailable()) {
        const User *sender = store().user(msg.senderId);
        notifier->notify(msg.chatId,
            sender ? parseNameTag(sender->username).name : title,
            msg.content.trimmed().isEmpty() ? text : msg.content.trimmed());
        return;
    }
    if (trayIcon && trayIcon->isVisible())
        trayIcon->showMessage(title, text, QSystemTrayIcon::Information, balloonDurationMs);
}
