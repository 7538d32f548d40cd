// MainWindow's side of staying connected: the connection bars, the outbox, the merge of the
// server's fresh push after a re-login.
#include "app/mainwindow.h"
#include "model/itemroles.h"
#include "net/connectionsupervisor.h"
#include "net/serveraddress.h"
#include "net/websocketclient.h"
#include "store/chatstore.h"
#include "view/connectionbar.h"

#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QScrollBar>
#include <QSet>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace
{

// How often unconfirmed sends are checked against their time limit; the limit is minutes, so
// a few seconds late is no matter.
constexpr int outboxCheckMs = 5000;

} // namespace

void MainWindow::setupConnection()
{
    monotonic.start();
    supervisor = new ConnectionSupervisor(client, this);

    connectionBar = new ConnectionBar(chatArea);
    // Between the chat's header and its messages.
    if (auto *layout = qobject_cast<QVBoxLayout *>(chatArea->layout()))
        layout->insertWidget(1, connectionBar);
    loginConnectionBar = new ConnectionBar(loginPage);
    // Its room is kept while it is hidden, so that the form never moves when it comes and goes.
    QSizePolicy keepRoom = loginConnectionBar->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    loginConnectionBar->setSizePolicy(keepRoom);
    if (auto *layout = qobject_cast<QVBoxLayout *>(loginPage->layout()))
        layout->insertWidget(layout->indexOf(statusLabel) + 1, loginConnectionBar);
    for (ConnectionBar *bar : { connectionBar, loginConnectionBar })
        connect(bar, &ConnectionBar::retryClicked, supervisor, &ConnectionSupervisor::retryNow);

    outboxTimer = new QTimer(this);
    outboxTimer->setInterval(outboxCheckMs);
    connect(outboxTimer, &QTimer::timeout, this, [this] {
        markFailed(outbox.expire(monotonic.elapsed()));
    });
    outboxTimer->start();
    connect(store->historyTimeout(), &QTimer::timeout, this, &MainWindow::onResyncPageLost);

    connect(supervisor, &ConnectionSupervisor::readyForLogin, this, &MainWindow::onConnected);
    connect(supervisor, &ConnectionSupervisor::authFailed, this, &MainWindow::onAuthFailed);
    connect(supervisor,
        &ConnectionSupervisor::stateChanged,
        this,
        &MainWindow::onConnectionStateChanged);
    connect(supervisor, &ConnectionSupervisor::loggedIn, this, &MainWindow::onSessionStarted);
    connect(supervisor, &ConnectionSupervisor::connectionLost, this, &MainWindow::onConnectionLost);
    connect(supervisor, &ConnectionSupervisor::serverError, this, &MainWindow::onServerError);
}

bool MainWindow::isOnline() const
{
    // While the fresh push is merged, new requests wait behind the queued ones.
    return supervisor->state() == ConnectionSupervisor::State::LoggedIn && !awaitingFreshPush
        && resyncs.empty();
}

void MainWindow::keepBottomInView(bool wasAtBottom)
{
    if (!wasAtBottom || currentChatId.isEmpty())
        return;
    // The bar takes its height from the message list at the next layout pass; a view that was
    // at the bottom must not lose its newest message under it.
    if (QLayout *layout = chatArea->layout())
        layout->activate();
    scrollToBottom();
}

void MainWindow::onConnectionStateChanged()
{
    using State = ConnectionSupervisor::State;
    const State state = supervisor->state();
    const bool wasAtBottom = isScrolledToBottom();
    switch (state) {
    case State::Offline: {
        // A logout says what it does on the login page itself.
        if (supervisor->stoppedByUser()) {
            loginConnectionBar->clear();
            connectionBar->clear();
            break;
        }
        const int wait = supervisor->msUntilRetry();
        if (supervisor->waitingToLogInAgain()) {
            connectionBar->showLoginWait(wait);
            break;
        }
        loginConnectionBar->showOffline(wait);
        if (hadSession)
            connectionBar->showOffline(wait);
        // A refused certificate says more than that the server cannot be reached.
        if (!everConnected && stackedWidget->currentWidget() == loginPage
            && !statusLabel->text().startsWith(QLatin1String("Cannot connect securely"))) {
            const ServerAddress address = ServerAddress::fromEnvironment();
            statusLabel->setText(QStringLiteral("Cannot reach the server at ") + address.host
                + QLatin1Char(':') + QString::number(address.port));
        }
        break;
    }
    case State::Connecting:
        if (!loginConnectionBar->text().isEmpty())
            loginConnectionBar->showConnecting();
        if (hadSession)
            connectionBar->showConnecting();
        break;
    case State::Resuming:
    case State::Connected:
        everConnected = true;
        loginConnectionBar->clear();
        if (hadSession)
            connectionBar->showConnecting();
        break;
    case State::Idle:
        // The server let go of a connection that waited for a login: nothing to worry about on
        // the login page, and the next login connects again.
        loginConnectionBar->clear();
        if (hadSession)
            connectionBar->showOffline(-1);
        break;
    case State::LoggedIn:
        everConnected = true;
        loginConnectionBar->clear();
        if (!connectionBar->text().isEmpty())
            connectionBar->showConnected();
        break;
    }
    keepBottomInView(wasAtBottom);
}

void MainWindow::onSessionStarted()
{
    // Someone else logging in after an ended session gets nothing of the last account, least
    // of all its queued messages.
    const QString &heldFor = store->currentUserId();
    if (!heldFor.isEmpty() && heldFor != client->currentUser.id)
        forgetAccount();
    store->setCurrentUserId(client->currentUser.id);
    hadSession = true;
    // The server follows the login with its fresh push; with something held or queued, that
    // push is merged first and queued work waits for it.
    awaitingFreshPush = store->chatCount() > 0 || !outbox.isEmpty() || outbox.hasActions();
}

void MainWindow::onConnectionLost()
{
    awaitingFreshPush = false;
    resyncs.clear();
    resyncFresh.clear();
    resyncHeldIds.clear();
    resyncPageChatId.clear();
    // A page asked for on the old connection will never be answered.
    if (store->isLoadingHistory())
        finishHistoryRequest();
    markFailed(outbox.connectionLost());
}

void MainWindow::onServerError(const QString &message)
{
    if (message.isEmpty())
        return;
    const bool wasAtBottom = isScrolledToBottom();
    (stackedWidget->currentWidget() == chatPage ? connectionBar : loginConnectionBar)
        ->showError(message);
    keepBottomInView(wasAtBottom);
}

void MainWindow::request(const Outbox::Action &action)
{
    if (!isOnline()) {
        outbox.queue(action);
        return;
    }
    switch (action.kind) {
    case Outbox::ActionKind::Edit:
        client->editMessage(action.chatId, action.messageId, action.text);
        break;
    case Outbox::ActionKind::Delete:
        client->deleteMessage(action.chatId, action.messageId);
        break;
    case Outbox::ActionKind::Seen:
        client->sendMessageSeen(action.chatId, action.messageId);
        break;
    }
}

void MainWindow::sendLocalCopy(const Message &local)
{
    if (!isOnline())
        return;
    client->sendMessage(local.chatId, local.content, local.replyToId);
    outbox.markSent(local.id, monotonic.elapsed());
}

void MainWindow::markFailed(const QStringList &localIds)
{
    for (const QString &localId : localIds) {
        store->setPendingStatus(localId, Failed);
        if (QListWidgetItem *row = findMessageRow(localId)) {
            row->setData(StatusRole, static_cast<int>(Failed));
            messageListWidget->viewport()->update(messageListWidget->visualItemRect(row));
        }
    }
}

void MainWindow::showOutboxRows(const QString &chatId)
{
    for (Message local : outbox.messages()) {
        if (local.chatId != chatId)
            continue;
        local.status = outbox.entry(local.id)->failed ? Failed : Sending;
        addMessageBubble(local);
    }
}

void MainWindow::resyncHeldChats(const std::vector<Chat> &fresh)
{
    resyncs.clear();
    resyncFresh = fresh;
    // Messages held before the outage cannot be the lost echo of one typed during it.
    resyncHeldIds.clear();
    const QStringList heldChats = store->chatIdsByActivity();
    for (const QString &chatId : heldChats) {
        for (const Message &message : store->chat(chatId)->messages)
            resyncHeldIds.insert(message.id);
    }
    std::vector<Chat> unheld;
    for (const Chat &chat : fresh) {
        const Chat *held = store->chat(chat.id);
        if (!held) {
            unheld.push_back(chat);
            continue;
        }
        if (!held->messages.empty())
            resyncs.emplace_back(chat.id, held->messages, chat.messages);
        else
            store->replaceMessages(chat.id, chat.messages);
    }
    // Chats first seen now take the ordinary way in.
    if (!unheld.empty())
        store->applyChatHistory(std::move(unheld));
    continueResync({});
}

void MainWindow::continueResync(const std::vector<Chat> &page)
{
    // While the resync runs it alone asks for pages (scrolling waits), and the server answers
    // in order: what arrives is the answer to its last request.
    if (!resyncPageChatId.isEmpty()) {
        for (ChatResync &resync : resyncs) {
            if (resync.chatId() != resyncPageChatId)
                continue;
            const auto answer = std::find_if(page.cbegin(), page.cend(), [&resync](const Chat &c) {
                return c.id == resync.chatId();
            });
            // An answer about other chats bridges nothing; asking again would only repeat it.
            if (answer == page.cend())
                resync.giveUp();
            else
                resync.addPage(answer->messages);
        }
        resyncPageChatId.clear();
        finishHistoryRequest();
    }
    for (ChatResync &resync : resyncs) {
        if (resync.needsPage()) {
            // One page at a time, so that a slow link is not flooded.
            resyncPageChatId = resync.chatId();
            store->beginHistoryRequestFor(resync.chatId());
            client->fetchHistory(resync.chatId(), resync.nextBefore());
            return;
        }
    }
    finishResync();
}

void MainWindow::onResyncPageLost()
{
    // No answer: what is held beyond the covered span is dropped, and paging reloads it.
    for (ChatResync &resync : resyncs)
        resync.giveUp();
    if (!resyncs.empty())
        finishResync();
}

void MainWindow::finishResync()
{
    resyncPageChatId.clear();
    std::vector<Chat> fresh;
    fresh.swap(resyncFresh);
    std::vector<ChatResync> done;
    done.swap(resyncs);

    QSet<QString> heldIds;
    heldIds.swap(resyncHeldIds);
    for (const ChatResync &resync : done)
        applyResync(resync);
    resumeAfterLogin(fresh, heldIds);
}

void MainWindow::applyResync(const ChatResync &resync)
{
    store->replaceMessages(resync.chatId(), resync.result());
}

void MainWindow::resumeAfterLogin(const std::vector<Chat> &fresh, const QSet<QString> &heldIds)
{
    awaitingFreshPush = false;
    // Own messages the server stored while their echo was lost: the local copy gives way to
    // the stored one, and nothing is sent twice.
    for (const Chat &chat : fresh) {
        for (const Message &message : chat.messages) {
            if (message.senderId != client->currentUser.id || heldIds.contains(message.id))
                continue;
            const QString localId = outbox.takeEcho(message);
            if (!localId.isEmpty())
                store->removePendingMessage(localId);
        }
    }

    if (!currentChatId.isEmpty()) {
        // Rebuilt in place: the same chat stays open, at the bottom when it was there, else
        // with the same message at the top of the view.
        const bool atBottom = isScrolledToBottom();
        QString anchorId;
        if (QListWidgetItem *top = messageListWidget->itemAt(QPoint(10, 10)))
            anchorId = top->data(MessageIdRole).toString();
        renderMessages(currentChatId);
        if (!atBottom) {
            // The rebuilt window holds the newest rows; it reaches up to the anchor again.
            if (!findMessageRow(anchorId))
                extendWindowUpTo(store->messagePosition(currentChatId, anchorId));
            if (QListWidgetItem *anchor = findMessageRow(anchorId))
                messageListWidget->scrollToItem(anchor, QAbstractItemView::PositionAtTop);
        }
    }

    // One queue, so that an edit made between two messages goes out between them.
    for (const Outbox::Step &step : outbox.takeDue()) {
        if (const auto *local = std::get_if<Message>(&step))
            sendLocalCopy(*local);
        else
            request(std::get<Outbox::Action>(step));
    }

    if (pagingDeferred) {
        pagingDeferred = false;
        if (messageListWidget->verticalScrollBar()->value() == 0)
            onScrollValueChanged(0);
    }
}
