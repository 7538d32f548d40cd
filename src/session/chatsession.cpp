#include "chatsession.h"

#include "model/messagetext.h"
#include "net/serveraddress.h"
#include "net/websocketclient.h"
#include "net/wireformat.h"
#include "session/detachedtimeline.h"
#include "session/fileupload.h"
#include "session/messagesearch.h"
#include "store/chatstore.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonObject>
#include <QMimeDatabase>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QTimer>
#include <QUuid>
#include <algorithm>

namespace
{

// How often unconfirmed sends are checked against their time limit; the limit is minutes, so
// a few seconds late is no matter.
constexpr int outboxCheckMs = 5000;
// Receipts written per event-loop turn: the chat stays usable while thousands go out.
constexpr size_t receiptsPerTurn = 500;
// One "typing" per this while the user writes: the server relays at most one per 2 s, and
// others show it for 6 s.
constexpr qint64 typingEveryMs = 3000;

// Mutes live with the client's other settings, a list of chat ids per account.
QSettings mutesSettings()
{
    return QSettings(QStringLiteral("Ferrow"), QStringLiteral("MessengerClient"));
}

QString mutesKey(const QString &userId)
{
    return QStringLiteral("mutedChats/") + userId;
}

} // namespace

ChatSession::ChatSession(QObject *parent)
    : QObject(parent)
    , connection(new WebSocketClient(this))
    , chats(new ChatStore(this))
    , watchdog(new ConnectionSupervisor(connection, this))
    , outboxTimer(new QTimer(this))
    , stretch(new DetachedTimeline(connection, chats, this))
    , finder(new MessageSearch(connection, *chats, this))
    , typingTimer(new QTimer(this))
{
    // For queued connections and signal spies.
    qRegisterMetaType<ChatSession::EndReason>();
    http = new QNetworkAccessManager(this);
    monotonic.start();
    clock = [this] { return monotonic.elapsed(); };
    typingTimer->setSingleShot(true);
    connect(typingTimer, &QTimer::timeout, this, &ChatSession::expireTyping);
    connect(connection, &WebSocketClient::typingReceived, this, &ChatSession::onTypingReceived);
    outboxTimer->setInterval(outboxCheckMs);
    connect(
        outboxTimer, &QTimer::timeout, this, [this] { fail(outbox.expire(monotonic.elapsed())); });
    outboxTimer->start();
    connect(chats->historyTimeout(), &QTimer::timeout, this, &ChatSession::onResyncPageLost);

    connect(watchdog, &ConnectionSupervisor::stateChanged, this, &ChatSession::stateChanged);
    connect(watchdog, &ConnectionSupervisor::readyForLogin, this, &ChatSession::readyForLogin);
    connect(watchdog, &ConnectionSupervisor::authFailed, this, &ChatSession::onAuthFailed);
    connect(watchdog, &ConnectionSupervisor::loggedIn, this, &ChatSession::onLoggedIn);
    connect(watchdog, &ConnectionSupervisor::connectionLost, this, &ChatSession::onConnectionLost);
    connect(watchdog, &ConnectionSupervisor::serverError, this, &ChatSession::onServerError);
    connect(watchdog, &ConnectionSupervisor::sessionRevoked, this, &ChatSession::onSessionRevoked);
    connect(connection, &WebSocketClient::passwordChanged, this, [this](const QString &token) {
        changingPassword = false;
        watchdog->setToken(token);
        emit passwordChanged();
    });
    connect(connection, &WebSocketClient::passwordChangeFailed, this, [this](const QString &why) {
        changingPassword = false;
        emit passwordChangeFailed(why);
    });

    connect(connection,
        &WebSocketClient::chatHistoryReceived,
        this,
        &ChatSession::onChatHistoryReceived);
    connect(connection, &WebSocketClient::messageReceived, chats, &ChatStore::applyMessage);
    connect(connection, &WebSocketClient::userListUpdated, chats, &ChatStore::applyUsers);
    connect(connection, &WebSocketClient::newChatCreated, this, &ChatSession::onNewChatCreated);
    connect(
        connection, &WebSocketClient::messageSeenUpdate, this, &ChatSession::onMessageSeenUpdate);
    connect(connection, &WebSocketClient::messageUpdated, chats, &ChatStore::applyEdit);
    connect(connection, &WebSocketClient::messageDeleted, chats, &ChatStore::applyDeletion);
    connect(
        connection, &WebSocketClient::certificateRejected, this, &ChatSession::certificateRejected);
    connect(connection, &WebSocketClient::frameTooLarge, this, &ChatSession::onFrameTooLarge);

    connect(chats, &ChatStore::chatMoved, this, &ChatSession::chatMoved);
    connect(
        chats, &ChatStore::usersChanged, this, [this] { emit userListUpdated(chats->users()); });
    connect(chats, &ChatStore::messageArrived, this, &ChatSession::onMessageArrived);
    connect(chats, &ChatStore::pendingMessageAdded, this, &ChatSession::pendingMessageAdded);
    connect(chats, &ChatStore::olderMessagesAdded, this, &ChatSession::olderMessagesAdded);
    connect(chats, &ChatStore::pendingStatusChanged, this, &ChatSession::messageStatusChanged);
    connect(chats, &ChatStore::messageEdited, this, &ChatSession::messageUpdated);
    connect(chats, &ChatStore::messageRemoved, this, &ChatSession::messageDeleted);

    connect(connection, &WebSocketClient::messageUpdated, stretch, &DetachedTimeline::applyEdit);
    connect(
        connection, &WebSocketClient::messageDeleted, stretch, &DetachedTimeline::applyDeletion);
    connect(stretch, &DetachedTimeline::messageEdited, this, &ChatSession::messageUpdated);
    connect(stretch, &DetachedTimeline::messageRemoved, this, &ChatSession::messageDeleted);
    connect(chats, &ChatStore::unreadCountChanged, this, &ChatSession::unreadCountChanged);

    connect(connection, &WebSocketClient::chatUpdated, this, &ChatSession::onChatUpdated);
    connect(connection, &WebSocketClient::chatRemoved, this, &ChatSession::onChatRemoved);
    connect(chats, &ChatStore::chatUpdated, this, &ChatSession::chatUpdated);
    connect(chats, &ChatStore::chatRemoved, this, &ChatSession::chatRemoved);
    connect(connection,
        &WebSocketClient::groupCreated,
        this,
        [this](const QString &requestId, const QString &chatId) {
            if (requestId.isEmpty() || requestId != groupRequestId)
                return;
            groupRequestId.clear();
            // Announced just before; a chat that is not held cannot be opened.
            if (chats->hasChat(chatId))
                emit groupCreated(chatId);
            else
                emit groupCreationFailed(
                    QStringLiteral("The group was created, but the server did not send it."));
        });
    connect(connection,
        &WebSocketClient::requestFailed,
        this,
        [this](const QString &requestId, const QString &message) {
            if (requestId.isEmpty() || requestId != groupRequestId)
                return;
            groupRequestId.clear();
            emit groupCreationFailed(message);
        });
}

ChatSession::~ChatSession()
{
    // The children go one by one; none may report to a session half gone.
    watchdog->disconnect(this);
    connection->disconnect(this);
    chats->disconnect(this);
    stretch->disconnect(this);
}

DetachedTimeline *ChatSession::detachedTimeline() const
{
    return stretch;
}

MessageSearch *ChatSession::search() const
{
    return finder;
}

bool ChatSession::openAtMessage(const QString &chatId, const QString &messageId)
{
    if (chatId != openChatId || !chats->hasChat(chatId))
        return false;
    if (chats->message(chatId, messageId))
        return true;
    if (isOnline())
        stretch->openAt(chatId, messageId);
    return false;
}

bool ChatSession::loadNewerMessages()
{
    return isOnline() && stretch->chatId() == openChatId && stretch->loadNewer();
}

void ChatSession::jumpToLatest()
{
    stretch->close();
}

WebSocketClient *ChatSession::client() const
{
    return connection;
}

ConnectionSupervisor *ChatSession::supervisor() const
{
    return watchdog;
}

const ChatStore &ChatSession::store() const
{
    return *chats;
}

void ChatSession::start()
{
    watchdog->start();
}

void ChatSession::logIn(const QString &username, const QString &password)
{
    watchdog->loginWithPassword(username, password);
}

void ChatSession::logOut()
{
    forgetAccount();
    watchdog->logout();
}

void ChatSession::endSession(EndReason reason)
{
    active = false;
    emit sessionEnded(reason);
}

bool ChatSession::changePassword(const QString &oldPassword, const QString &newPassword)
{
    if (changingPassword || watchdog->state() != ConnectionSupervisor::State::LoggedIn)
        return false;
    changingPassword = true;
    connection->changePassword(oldPassword, newPassword);
    return true;
}

void ChatSession::onSessionRevoked(int closeCode)
{
    endSession(closeCode == WebSocketClient::accountDisabledCloseCode ? EndReason::AccountDisabled
                                                                      : EndReason::PasswordChanged);
}

bool ChatSession::isOnline() const
{
    // While the fresh push is merged, new requests wait behind the queued ones.
    return watchdog->state() == ConnectionSupervisor::State::LoggedIn && !awaitingFreshPush
        && resyncs.empty();
}

bool ChatSession::isActive() const
{
    return active;
}

const QString &ChatSession::currentUserId() const
{
    return chats->currentUserId();
}

void ChatSession::onLoggedIn()
{
    const User user = connection->currentUser;
    // Someone else logging in after an ended session gets nothing of the last account, least
    // of all its queued messages.
    const QString &heldFor = chats->currentUserId();
    if (!heldFor.isEmpty() && heldFor != user.id)
        forgetAccount();
    chats->setCurrentUserId(user.id);
    chats->forgetExhaustedHistory();
    loadMutes();
    active = true;
    // The server follows the login with its fresh push; with something held or queued, that
    // push is merged first and queued work waits for it.
    awaitingFreshPush = chats->chatCount() > 0 || !outbox.isEmpty() || outbox.hasActions();
    emit loginSuccess(user, watchdog->token());
    finder->loggedIn();
}

void ChatSession::onAuthFailed(const QString &message)
{
    if (!active) {
        emit authFailed(message);
        return;
    }
    // The password no longer holds while resuming: the user has to say who they are. Refused
    // only for what failed logins did, it is tried again once the server's wait is over.
    const int wait = wire::loginRetryAfterSecs(message);
    if (wait >= 0)
        watchdog->logInAgainAfter(wait);
    else
        endSession();
}

void ChatSession::onConnectionLost()
{
    if (!std::exchange(groupRequestId, QString()).isEmpty())
        emit groupCreationFailed(
            QStringLiteral("The connection was lost before the server answered; the group may "
                           "or may not have been created."));
    if (std::exchange(changingPassword, false))
        emit passwordChangeFailed(
            QStringLiteral("The connection was lost before the server answered; the password may "
                           "or may not have been changed."));
    awaitingFreshPush = false;
    resyncs.clear();
    resyncFresh.clear();
    resyncHeldIds.clear();
    resyncPageChatId.clear();
    // A page asked for on the old connection will never be answered.
    if (chats->isLoadingHistory())
        chats->finishHistoryRequest();
    stretch->forgetRequests();
    finder->connectionLost();
    fail(outbox.connectionLost());
}

void ChatSession::onServerError(const QString &message)
{
    // The server answers a connection's requests in order: a refusal of a message is about
    // the oldest one still unconfirmed, which sending again would not help.
    const bool refused = wire::isMessageRefusal(message)
        || (message == QLatin1String("Not a member of this chat") && !chats->isLoadingHistory());
    if (refused) {
        const QString localId = outbox.oldestInFlight();
        if (!localId.isEmpty()) {
            outbox.remove(localId);
            fail({ localId });
        }
    }
    if (!message.isEmpty())
        emit serverError(message);
}

void ChatSession::onFrameTooLarge()
{
    // Reconnecting would only fetch the same frame again.
    watchdog->logout();
    emit frameTooLarge();
}

void ChatSession::forgetAccount()
{
    stretch->close();
    finder->clear();
    chats->clear();
    openChatId.clear();
    active = false;
    replyId.clear();
    editingId.clear();
    editingText.clear();
    draftBeforeEdit.clear();
    drafts.clear();
    outbox.clear();
    stopUploads();
    receiptsHeld = false;
    queuedReceipts = {};
    nextReceipt = 0;
    awaitingFreshPush = false;
    resyncs.clear();
    resyncFresh.clear();
    resyncHeldIds.clear();
    resyncPageChatId.clear();
    pagingDeferred = false;
    typing.clear();
    typingSentChatId.clear();
    muted.clear();
    emit accountForgotten();
}

const QString &ChatSession::currentChatId() const
{
    return openChatId;
}

QString ChatSession::openChat(const QString &chatId, const QString &typed)
{
    QString text = typed;
    if (chatId != openChatId) {
        // An edit is not a draft: the text typed before it is.
        if (!openChatId.isEmpty())
            drafts.keep(openChatId, { editingId.isEmpty() ? typed : draftBeforeEdit, replyId });
        editingId.clear();
        editingText.clear();
        draftBeforeEdit.clear();
        const Drafts::Draft draft = drafts.take(chatId);
        text = draft.text;
        replyId = draft.replyToId;
        // What the chat left holds unseen is acknowledged when it is opened again.
        receiptsHeld = false;
        openChatId = chatId;
        stretch->close();
    }
    acknowledgeOpenChat();
    return text;
}

void ChatSession::setInBackground(bool inBackground)
{
    background = inBackground;
    if (background || !receiptsHeld)
        return;
    receiptsHeld = false;
    acknowledgeOpenChat();
}

const QString &ChatSession::replyToMessageId() const
{
    return replyId;
}

bool ChatSession::replyTo(const QString &messageId)
{
    // A message still being sent is no stored message yet; it cannot be quoted.
    if (!chats->message(openChatId, messageId))
        return false;
    replyId = messageId;
    return true;
}

void ChatSession::cancelReply()
{
    replyId.clear();
}

const QString &ChatSession::editingMessageId() const
{
    return editingId;
}

const QString &ChatSession::editingOldText() const
{
    return editingText;
}

void ChatSession::startEditing(
    const QString &messageId, const QString &oldText, const QString &typed)
{
    if (editingId.isEmpty())
        draftBeforeEdit = typed;
    editingId = messageId;
    editingText = oldText;
}

QString ChatSession::stopEditing()
{
    editingId.clear();
    editingText.clear();
    return std::exchange(draftBeforeEdit, QString());
}

const Message *ChatSession::lastOwnMessage() const
{
    const Chat *chat = chats->chat(openChatId);
    if (!chat)
        return nullptr;
    const QString &me = currentUserId();
    const auto last = std::find_if(chat->messages.crbegin(),
        chat->messages.crend(),
        [&me](const Message &m) { return m.senderId == me; });
    return last == chat->messages.crend() ? nullptr : &*last;
}

ChatSession::SendResult ChatSession::send(const QString &typed)
{
    const QString text = typed.trimmed();
    if (text.isEmpty() || openChatId.isEmpty())
        return SendResult::Nothing;
    if (characterCount(text) > maxTextLength)
        return SendResult::TooLong;

    if (!editingId.isEmpty()) {
        // Nothing changes locally until the server confirms the edit.
        if (text != editingText)
            request({ Outbox::ActionKind::Edit, openChatId, editingId, text });
        return SendResult::EditSaved;
    }

    Message local;
    local.id = QStringLiteral("temp_") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    local.chatId = openChatId;
    local.senderId = currentUserId();
    local.content = text;
    local.timestamp = QDateTime::currentSecsSinceEpoch();
    local.status = Sending;
    local.replyToId = replyId;
    replyId.clear();
    // Shown at once either way; sent now, or after the next login when the connection is down.
    chats->addPendingMessage(local);
    outbox.add(local.id);
    sendLocalCopy(local.id);
    return SendResult::Sent;
}

ChatSession::SendResult ChatSession::sendFiles(const QStringList &paths, const QString &typed)
{
    const QString caption = typed.trimmed();
    if (paths.isEmpty() || openChatId.isEmpty() || !editingId.isEmpty())
        return SendResult::Nothing;
    if (characterCount(caption) > maxTextLength)
        return SendResult::TooLong;
    const qint64 limit = maxUploadSize();
    for (const QString &path : paths) {
        if (limit > 0 && QFileInfo(path).size() > limit)
            return SendResult::FileTooLarge;
    }
    const QMimeDatabase types;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        Message local;
        local.id = QStringLiteral("temp_") + QUuid::createUuid().toString(QUuid::WithoutBraces);
        local.chatId = openChatId;
        local.senderId = currentUserId();
        local.timestamp = QDateTime::currentSecsSinceEpoch();
        local.status = Sending;
        local.hasFile = true;
        local.file.name = info.fileName();
        local.file.size = info.size();
        local.file.mime = types.mimeTypeForFile(path, QMimeDatabase::MatchContent).name();
        if (path == paths.constFirst()) {
            local.caption = caption;
            local.replyToId = std::exchange(replyId, QString());
        }
        local.content = wire::fileMessageText(local.caption, local.file);
        uploads.insert(local.id, Upload { path, nullptr, {} });
        chats->addPendingMessage(local);
        startUpload(local.id);
    }
    return SendResult::Sent;
}

qint64 ChatSession::maxUploadSize() const
{
    return connection->maxUploadSize();
}

std::optional<ChatSession::UploadProgress> ChatSession::uploadProgress(const QString &localId) const
{
    const auto found = uploads.constFind(localId);
    if (found == uploads.constEnd() || !found->job)
        return std::nullopt;
    return found->progress;
}

void ChatSession::cancelUpload(const QString &localId)
{
    const auto found = uploads.find(localId);
    if (found == uploads.end() || !found->job)
        return;
    delete found->job;
    uploads.erase(found);
    chats->removePendingMessage(localId);
}

QNetworkAccessManager *ChatSession::network() const
{
    return http;
}

QString ChatSession::httpToken() const
{
    return connection->httpToken();
}

void ChatSession::startUpload(const QString &localId)
{
    const Message *local = chats->pendingMessage(localId);
    const auto found = uploads.find(localId);
    if (!local || found == uploads.end())
        return;
    auto *job = new FileUpload(http, this);
    found->job = job;
    found->progress = { 0, local->file.size, false };
    connect(job, &FileUpload::progress, this, [this, localId](qint64 sent, qint64 total) {
        const auto upload = uploads.find(localId);
        const Message *copy = chats->pendingMessage(localId);
        if (upload == uploads.end() || !copy)
            return;
        // Qt reports a total of -1 until it knows one, and (0, 0) as it finishes: neither says
        // how far the file has come.
        if (total <= 0)
            return;
        upload->progress = { sent, total, false };
        emit uploadProgressChanged(copy->chatId, localId);
    });
    connect(job, &FileUpload::waiting, this, [this, localId] {
        const auto upload = uploads.find(localId);
        const Message *copy = chats->pendingMessage(localId);
        if (upload == uploads.end() || !copy)
            return;
        upload->progress = { 0, upload->progress.total, true };
        emit uploadProgressChanged(copy->chatId, localId);
    });
    connect(job, &FileUpload::finished, this, [this, localId](const Attachment &file) {
        onUploaded(localId, file);
    });
    connect(job, &FileUpload::failed, this, [this, localId](const QString &reason) {
        onUploadFailed(localId, reason);
    });
    if (!job->start(ServerAddress::fromEnvironment().httpBaseUrl(),
            connection->httpToken(),
            local->chatId,
            found->path,
            local->file.name)) {
        onUploadFailed(localId, QStringLiteral("The file could not be read."));
    }
}

void ChatSession::onUploaded(const QString &localId, const Attachment &file)
{
    const Upload upload = uploads.take(localId);
    if (upload.job)
        upload.job->deleteLater();
    const Message *local = chats->pendingMessage(localId);
    if (!local)
        return;
    // The echo shows the server's name for the file; the copy is matched to it by that text.
    chats->setPendingFile(localId, file, wire::fileMessageText(local->caption, file));
    emit uploadProgressChanged(local->chatId, localId);
    // From here on a file message goes as a text does: now, or after the next login.
    outbox.add(localId);
    sendLocalCopy(localId);
}

void ChatSession::onUploadFailed(const QString &localId, const QString &reason)
{
    const auto found = uploads.find(localId);
    if (found == uploads.end())
        return;
    if (found->job)
        found->job->deleteLater();
    found->job = nullptr;
    const Message *local = chats->pendingMessage(localId);
    if (!local)
        return;
    chats->setPendingStatus(localId, Failed);
    emit uploadFailed(local->chatId, localId, reason);
}

void ChatSession::stopUploads()
{
    for (Upload &upload : uploads)
        delete upload.job;
    uploads.clear();
}

void ChatSession::deleteMessage(const QString &messageId)
{
    if (chats->pendingMessage(messageId)) {
        discard(messageId);
        return;
    }
    if (!openChatId.isEmpty())
        request({ Outbox::ActionKind::Delete, openChatId, messageId, QString() });
}

void ChatSession::retry(const QString &localId)
{
    const Message *local = chats->pendingMessage(localId);
    if (!local || local->status != Failed)
        return;
    chats->setPendingStatus(localId, Sending);
    // A file the server does not have yet goes up again first; its message follows once.
    if (uploads.contains(localId)) {
        startUpload(localId);
        return;
    }
    // Sent again from now on: after what was queued before the retry.
    outbox.add(localId);
    sendLocalCopy(localId);
}

void ChatSession::discard(const QString &localId)
{
    if (const auto found = uploads.find(localId); found != uploads.end()) {
        delete found->job;
        uploads.erase(found);
    }
    outbox.remove(localId);
    chats->removePendingMessage(localId);
}

bool ChatSession::loadOlderMessages()
{
    if (openChatId.isEmpty())
        return false;
    if (stretch->isActive() && stretch->chatId() == openChatId)
        return isOnline() && stretch->loadOlder();
    // Answers carry no request id: while a re-login brings the held chats up to date, its own
    // pages must be the only ones asked for. Paging goes on once that is done.
    if (!isOnline()) {
        pagingDeferred = true;
        return false;
    }
    const qint64 before = chats->beginHistoryRequest(openChatId);
    if (before < 0)
        return false;
    connection->fetchHistory(openChatId, before);
    return true;
}

void ChatSession::request(const Outbox::Action &action)
{
    if (!isOnline()) {
        outbox.queue(action);
        return;
    }
    switch (action.kind) {
    case Outbox::ActionKind::Edit:
        connection->editMessage(action.chatId, action.messageId, action.text);
        break;
    case Outbox::ActionKind::Delete:
        connection->deleteMessage(action.chatId, action.messageId);
        break;
    case Outbox::ActionKind::Seen:
        connection->sendMessageSeen(action.chatId, action.messageId);
        break;
    }
}

void ChatSession::sendLocalCopy(const QString &localId)
{
    const Message *local = chats->pendingMessage(localId);
    if (!local || !isOnline())
        return;
    if (local->hasFile) {
        connection->sendMessage(local->chatId, local->caption, local->replyToId, local->file);
    } else {
        connection->sendMessage(local->chatId, local->content, local->replyToId);
    }
    outbox.markSent(localId, monotonic.elapsed());
    chats->markPendingSent(localId);
}

void ChatSession::fail(const QStringList &localIds)
{
    for (const QString &localId : localIds)
        chats->setPendingStatus(localId, Failed);
}

void ChatSession::onChatHistoryReceived(const std::vector<Chat> &batch)
{
    // The push that follows a re-login, and the older pages that fill a gap behind it.
    if (!resyncs.empty()) {
        continueResync(batch);
        return;
    }
    if (awaitingFreshPush) {
        resyncHeldChats(batch);
        return;
    }
    chats->applyChatHistory(batch);
    emit chatHistoryReceived(batch);
}

void ChatSession::onNewChatCreated(const Chat &chat)
{
    if (chats->hasChat(chat.id))
        return;
    chats->applyNewChat(chat);
    emit newChatCreated(chat);
}

bool ChatSession::createGroup(const QString &name, const QStringList &memberIds)
{
    if (!isOnline() || !groupRequestId.isEmpty())
        return false;
    groupRequestId = QStringLiteral("g") + QString::number(++nextGroupRequest);
    connection->createGroup(groupRequestId, name.trimmed(), memberIds);
    return true;
}

bool ChatSession::isCreatingGroup() const
{
    return !groupRequestId.isEmpty();
}

bool ChatSession::renameChat(const QString &chatId, const QString &name)
{
    if (!isOnline() || !chats->hasChat(chatId))
        return false;
    connection->renameChat(chatId, name.trimmed());
    return true;
}

bool ChatSession::addMembers(const QString &chatId, const QStringList &memberIds)
{
    if (!isOnline() || !chats->hasChat(chatId) || memberIds.isEmpty())
        return false;
    connection->addMembers(chatId, memberIds);
    return true;
}

bool ChatSession::leaveChat(const QString &chatId)
{
    if (!isOnline() || !chats->hasChat(chatId))
        return false;
    connection->leaveChat(chatId);
    return true;
}

void ChatSession::onChatUpdated(const Chat &chat)
{
    // A chat the user is no longer in is one they have left, on this device or another.
    if (!chat.members.contains(currentUserId()))
        onChatRemoved(chat.id);
    else
        chats->applyChatUpdate(chat);
}

void ChatSession::onChatRemoved(const QString &chatId)
{
    if (!chats->hasChat(chatId))
        return;
    // Nothing of a chat left stays behind: not its draft, nor what was being sent to it.
    drafts.take(chatId);
    if (chatId == openChatId) {
        openChatId.clear();
        replyId.clear();
        editingId.clear();
        editingText.clear();
        draftBeforeEdit.clear();
        stretch->close();
    }
    for (const Message &local : chats->pendingMessagesOf(chatId))
        outbox.remove(local.id);
    chats->removeChat(chatId);
}

void ChatSession::onMessageSeenUpdate(
    const QString &chatId, const QString &messageId, const QString &userId)
{
    chats->applySeen(chatId, messageId, userId);
    emit messageSeenUpdate(chatId, messageId, userId);
}

void ChatSession::onMessageArrived(const Message &msg, const QString &replacedLocalId)
{
    if (!replacedLocalId.isEmpty()) {
        outbox.remove(replacedLocalId);
        emit messageDeleted(msg.chatId, replacedLocalId);
    }
    if (typing.remove(msg.chatId, msg.senderId, clock()))
        emit typingChanged(msg.chatId);
    if (msg.chatId == openChatId && msg.senderId != currentUserId()) {
        if (background) {
            // Nobody can see it now; it is acknowledged when the window comes back.
            receiptsHeld = true;
        } else {
            chats->markSeenByMe(msg.chatId, msg.id);
            request({ Outbox::ActionKind::Seen, msg.chatId, msg.id, QString() });
        }
    }
    emit messageReceived(msg);
}

void ChatSession::composerChanged(const QString &text)
{
    if (!sendTyping || !editingId.isEmpty() || text.trimmed().isEmpty()
        || !chats->hasChat(openChatId) || !isOnline())
        return;
    const qint64 now = clock();
    if (typingSentChatId == openChatId && now - typingSentAt < typingEveryMs)
        return;
    typingSentChatId = openChatId;
    typingSentAt = now;
    connection->sendTyping(openChatId);
}

void ChatSession::setSendTyping(bool send)
{
    sendTyping = send;
}

QStringList ChatSession::typists(const QString &chatId) const
{
    return typing.typists(chatId);
}

void ChatSession::onTypingReceived(const QString &chatId, const QString &userId)
{
    const Chat *chat = chats->chat(chatId);
    if (!chat || userId == currentUserId() || !chats->user(userId)
        || !chat->members.contains(userId))
        return;
    if (typing.add(chatId, userId, clock()))
        emit typingChanged(chatId);
    scheduleTypingExpiry();
}

void ChatSession::expireTyping()
{
    for (const QString &chatId : typing.expire(clock()))
        emit typingChanged(chatId);
    scheduleTypingExpiry();
}

void ChatSession::scheduleTypingExpiry()
{
    const qint64 next = typing.nextExpiry();
    if (next < 0) {
        typingTimer->stop();
        return;
    }
    typingTimer->start(int(std::max<qint64>(0, next - clock())));
}

bool ChatSession::isMuted(const QString &chatId) const
{
    return muted.contains(chatId);
}

void ChatSession::setMuted(const QString &chatId, bool mute)
{
    if (currentUserId().isEmpty() || mute == muted.contains(chatId))
        return;
    if (mute)
        muted.insert(chatId);
    else
        muted.remove(chatId);
    QStringList ids = muted.values();
    ids.sort();
    QSettings settings = mutesSettings();
    if (ids.isEmpty())
        settings.remove(mutesKey(currentUserId()));
    else
        settings.setValue(mutesKey(currentUserId()), ids);
    emit muteChanged(chatId);
}

const QSet<QString> &ChatSession::mutedChats() const
{
    return muted;
}

void ChatSession::loadMutes()
{
    const QStringList ids = mutesSettings().value(mutesKey(currentUserId())).toStringList();
    muted = QSet<QString>(ids.cbegin(), ids.cend());
}

void ChatSession::setClock(std::function<qint64()> testClock)
{
    clock = std::move(testClock);
}

void ChatSession::acknowledgeOpenChat()
{
    if (!chats->hasChat(openChatId))
        return;
    if (background)
        receiptsHeld = true;
    else
        queueReceipts(openChatId, chats->takeUnseenMessages(openChatId));
}

void ChatSession::queueReceipts(const QString &chatId, const QStringList &messageIds)
{
    if (messageIds.isEmpty())
        return;
    const bool idle = queuedReceipts.empty();
    queuedReceipts.reserve(queuedReceipts.size() + static_cast<size_t>(messageIds.size()));
    for (const QString &id : messageIds)
        queuedReceipts.emplace_back(chatId, id);
    if (idle)
        sendQueuedReceipts();
}

void ChatSession::sendQueuedReceipts()
{
    const size_t end = std::min(queuedReceipts.size(), nextReceipt + receiptsPerTurn);
    for (; nextReceipt < end; ++nextReceipt) {
        const auto &receipt = queuedReceipts[nextReceipt];
        request({ Outbox::ActionKind::Seen, receipt.first, receipt.second, QString() });
    }
    if (nextReceipt < queuedReceipts.size()) {
        QMetaObject::invokeMethod(this, &ChatSession::sendQueuedReceipts, Qt::QueuedConnection);
        return;
    }
    queuedReceipts = {};
    nextReceipt = 0;
}

void ChatSession::resyncHeldChats(const std::vector<Chat> &fresh)
{
    resyncs.clear();
    resyncFresh = fresh;
    // Messages held before the outage cannot be the lost echo of one typed during it.
    resyncHeldIds.clear();
    const QStringList heldChats = chats->chatIdsByActivity();
    for (const QString &chatId : heldChats) {
        for (const Message &message : chats->chat(chatId)->messages)
            resyncHeldIds.insert(message.id);
    }
    std::vector<Chat> unheld;
    for (const Chat &chat : fresh) {
        const Chat *held = chats->chat(chat.id);
        if (!held)
            unheld.push_back(chat);
        else
            resyncs.emplace_back(chat.id, held->messages, chat.messages);
    }
    // Chats first seen now take the ordinary way in.
    if (!unheld.empty()) {
        chats->applyChatHistory(unheld);
        emit chatHistoryReceived(unheld);
    }
    continueResync({});
}

void ChatSession::continueResync(const std::vector<Chat> &page)
{
    // While the resync runs it alone asks for pages (paging waits), and the server answers in
    // order: what arrives is the answer to its last request.
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
        chats->finishHistoryRequest();
    }
    for (ChatResync &resync : resyncs) {
        if (resync.needsPage()) {
            // One page at a time, so that a slow link is not flooded.
            resyncPageChatId = resync.chatId();
            chats->beginHistoryRequestFor(resync.chatId());
            connection->fetchHistory(resync.chatId(), resync.nextBefore());
            return;
        }
    }
    finishResync();
}

void ChatSession::onResyncPageLost()
{
    // No answer: what is held beyond the covered span is dropped, and paging reloads it.
    for (ChatResync &resync : resyncs)
        resync.giveUp();
    if (!resyncs.empty())
        finishResync();
}

void ChatSession::finishResync()
{
    resyncPageChatId.clear();
    awaitingFreshPush = false;
    std::vector<Chat> fresh;
    fresh.swap(resyncFresh);
    std::vector<ChatResync> done;
    done.swap(resyncs);
    QSet<QString> heldIds;
    heldIds.swap(resyncHeldIds);

    for (const ChatResync &resync : done)
        chats->replaceMessages(resync.chatId(), resync.result());
    // The server's counts as of the fresh push; the open chat's goes to 0 below.
    for (const Chat &chat : fresh)
        chats->setUnreadCount(chat.id, chat.unreadCount);
    // Own messages the server stored while their echo was lost: the local copy gives way to
    // the stored one, and nothing is sent twice.
    for (const Chat &chat : fresh) {
        for (const Message &message : chat.messages) {
            if (message.senderId != currentUserId() || heldIds.contains(message.id))
                continue;
            const QString localId = chats->takeConfirmedLocalCopy(message);
            if (localId.isEmpty())
                continue;
            outbox.remove(localId);
            emit messageDeleted(message.chatId, localId);
        }
    }
    for (const ChatResync &resync : done)
        emit chatReloaded(resync.chatId());
    acknowledgeOpenChat();

    // One queue, so that an edit made between two messages goes out between them.
    for (const Outbox::Step &step : outbox.takeDue()) {
        if (const auto *localId = std::get_if<QString>(&step))
            sendLocalCopy(*localId);
        else
            request(std::get<Outbox::Action>(step));
    }

    if (std::exchange(pagingDeferred, false))
        loadOlderMessages();
}
