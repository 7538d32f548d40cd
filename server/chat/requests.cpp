#include "requests.h"

#include "protocol.h"
#include "uploadformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace requests
{

namespace
{

    // Messages stamped with the very second a "get_history" asks before, sent again in full so
    // that none is skipped; bounded so that one answer stays a few megabytes at most.
    constexpr int historyTieLimit = 500;

    // Messages on each side of the one a "get_history" with "around" asks for: half a page.
    constexpr int aroundCount = 25;

    const QLatin1String chatIdKey("chatId");
    const QLatin1String requestIdKey("requestId");
    const QLatin1String messageIdKey("messageId");

    Outcome refused(const QString &message)
    {
        Outcome outcome;
        outcome.reply(protocol::errorFrame(message));
        return outcome;
    }

    // A refusal that carries the request's "requestId", so that the asker can tell which
    // request it answers.
    Outcome refusedTo(const QJsonValue &requestId, const QString &message)
    {
        Outcome outcome;
        outcome.reply(protocol::errorFrame(message, requestId));
        return outcome;
    }

    // The chat when `userId` is a member of it. What a write (`locking`) tells the members it
    // read keeps its place before or after a change of them on every server.
    std::optional<ChatRecord> memberChat(
        Store &store, const QString &chatId, const QString &userId, bool locking = false)
    {
        if (locking)
            store.lockChat(chatId, false);
        std::optional<ChatRecord> chat = store.chat(chatId);
        // Someone just added on another server is refused only by the database.
        if (chat && !chat->members.contains(userId))
            chat = store.chat(chatId, true);
        if (chat && !chat->members.contains(userId))
            chat.reset();
        return chat;
    }

    QString tooManyMembers(const Asker &asker)
    {
        return QStringLiteral("A group holds at most %1 members").arg(asker.maxGroupMembers);
    }

    std::optional<QString> stringField(const QJsonObject &request, QLatin1String key)
    {
        const QJsonValue value = request.value(key);
        if (!value.isString())
            return std::nullopt;
        return value.toString();
    }

    // The message a request names, when it lies in a chat of the asker's; else the refusal.
    std::optional<MessageRecord> requestedMessage(
        Store &store, const Asker &asker, const QJsonObject &request, Outcome *refusal)
    {
        const std::optional<QString> chatId = stringField(request, chatIdKey);
        const std::optional<QString> messageId = stringField(request, messageIdKey);
        if (!chatId || !messageId) {
            *refusal = refused(invalidField(!chatId ? chatIdKey : messageIdKey));
            return std::nullopt;
        }
        // The same answer whether the message does not exist or lies in a chat the user is not
        // in, so that nothing leaks about other chats.
        std::optional<MessageRecord> message = store.message(*messageId);
        if (!message || message->chatId != *chatId
            || !memberChat(store, *chatId, asker.userId, true)) {
            *refusal = refused(QStringLiteral("Message not found"));
            return std::nullopt;
        }
        return message;
    }

    // A time in seconds: any finite number, far-off values clamped into the range of real
    // timestamps.
    std::optional<qint64> timeField(const QJsonObject &request, QLatin1String key)
    {
        const QJsonValue value = request.value(key);
        const double number = value.toDouble();
        if (!value.isDouble() || !std::isfinite(number))
            return std::nullopt;
        return static_cast<qint64>(std::trunc(std::max(-1e15, std::min(1e15, number))));
    }

    // The users a request's "members" names, the asker and repeats left out, in the order given,
    // at most `room` of them; else nullopt and the reason in `problem`. Every one must exist.
    std::optional<QStringList> requestedMembers(
        Store &store, const Asker &asker, const QJsonObject &request, int room, QString *problem)
    {
        const QLatin1String membersKey("members");
        const QJsonValue value = request.value(membersKey);
        if (!value.isArray()) {
            *problem = invalidField(membersKey);
            return std::nullopt;
        }
        QStringList members;
        QSet<QString> seen { asker.userId };
        const QJsonArray list = value.toArray();
        for (const QJsonValue &member : list) {
            if (!member.isString()) {
                *problem = invalidField(membersKey);
                return std::nullopt;
            }
            if (seen.contains(member.toString()))
                continue;
            // Counted before any is looked up, so that a huge list costs no store reads.
            if (members.size() >= room) {
                *problem = tooManyMembers(asker);
                return std::nullopt;
            }
            seen.insert(member.toString());
            members.append(member.toString());
        }
        for (const QString &member : qAsConst(members)) {
            if (!store.userById(member)) {
                *problem = QStringLiteral("Unknown user");
                return std::nullopt;
            }
        }
        return members;
    }

    // The group a request names, when the asker is in it (and owns it, unless `notOwner` is
    // empty); else nullopt and the refusal in `refusal`.
    std::optional<ChatRecord> requestedGroup(Store &store,
        const Asker &asker,
        const QJsonObject &request,
        const QString &notOwner,
        Outcome *refusal)
    {
        const std::optional<QString> chatId = stringField(request, chatIdKey);
        if (!chatId) {
            *refusal = refused(invalidField(chatIdKey));
            return std::nullopt;
        }
        store.lockChat(*chatId, true);
        std::optional<ChatRecord> chat = memberChat(store, *chatId, asker.userId);
        QString problem;
        // The same answer for a chat that does not exist and one of others.
        if (!chat)
            problem = QStringLiteral("Not a member of this chat");
        else if (chat->type != QLatin1String("group"))
            problem = QStringLiteral("This chat is not a group");
        else if (!notOwner.isEmpty() && chat->ownerId != asker.userId)
            problem = notOwner;
        if (problem.isEmpty())
            return chat;
        *refusal = refused(problem);
        return std::nullopt;
    }

    // A group's name as a request gives it, trimmed; nullopt and the reason in `problem` when it
    // is no string of 1 to maxGroupNameLength characters then.
    std::optional<QString> requestedName(const QJsonObject &request, QString *problem)
    {
        const QJsonValue value = request.value(QLatin1String("name"));
        const QString name = protocol::groupName(value.toString());
        if (value.isString() && !name.isEmpty())
            return name;
        *problem = QStringLiteral("A group name must be 1 to %1 characters")
                       .arg(protocol::maxGroupNameLength);
        return std::nullopt;
    }

    // The group as it is now goes to `users`; false when it cannot be read.
    bool tellChanged(
        Store &store, const QString &chatId, const QStringList &users, Outcome &outcome)
    {
        const std::optional<ChatRecord> chat = store.chat(chatId);
        if (!chat)
            return false;
        if (!users.isEmpty())
            outcome.notify(chat->id, users, protocol::chatUpdatedFrame(*chat));
        return true;
    }

    // The upload a message's "file" names, when `senderId` made it into `chatId`; the message
    // keeps its file object, whatever else the client put in "file".
    std::optional<UploadRecord> attachedUpload(
        Store &store, const QString &url, const QString &senderId, const QString &chatId)
    {
        const auto named = uploadformat::parseUrl(url.toUtf8());
        if (!named)
            return std::nullopt;
        std::optional<UploadRecord> upload = store.upload(named->first);
        if (!upload || upload->name != named->second || upload->userId != senderId
            || upload->chatId != chatId)
            return std::nullopt;
        return upload;
    }

    QStringList membersOf(Store &store, const QString &chatId)
    {
        const std::optional<ChatRecord> chat = store.chat(chatId);
        return chat ? chat->members : QStringList();
    }

} // namespace

QString invalidField(QLatin1String key)
{
    return QStringLiteral("Missing or invalid \"") + key + QLatin1Char('"');
}

Outcome message(Store &store, const Asker &asker, const QJsonObject &request)
{
    const QString &me = asker.userId;
    const QJsonValue content = request.value(QLatin1String("content"));
    const QJsonValue textValue = content.toObject().value(QLatin1String("text"));
    if (!content.isObject() || !textValue.isString())
        return refused(invalidField(QLatin1String("content")));
    const QJsonValue file = content.toObject().value(QLatin1String("file"));
    const bool withFile = !file.isUndefined() && !file.isNull();
    const QJsonValue fileUrl = file.toObject().value(QLatin1String("url"));
    if (withFile && !fileUrl.isString())
        return refused(invalidField(QLatin1String("file")));
    const QString text = textValue.toString();
    const QString problem = protocol::checkText(text, withFile);
    if (!problem.isEmpty())
        return refused(problem);
    const QJsonValue replyValue = request.value(QLatin1String("replyToId"));
    if (!replyValue.isUndefined() && !replyValue.isNull() && !replyValue.isString())
        return refused(invalidField(QLatin1String("replyToId")));
    const bool hasChatId = request.contains(chatIdKey);
    const bool hasRecipient = request.contains(QLatin1String("recipientId"));
    if (hasChatId == hasRecipient)
        return refused(QStringLiteral("Give exactly one of \"chatId\" and \"recipientId\""));

    Outcome outcome;
    std::optional<ChatRecord> chat;
    std::optional<UploadRecord> upload;
    const QString unknownFile = QStringLiteral("Unknown file");
    if (hasRecipient) {
        const std::optional<QString> recipientId =
            stringField(request, QLatin1String("recipientId"));
        if (!recipientId || *recipientId == me || !store.userById(*recipientId))
            return refused(QStringLiteral("Unknown recipient"));
        const QString chatId = protocol::privateChatId(me, *recipientId);
        // Before the chat is made: a refusal must leave nothing written.
        if (withFile) {
            upload = attachedUpload(store, fileUrl.toString(), me, chatId);
            if (!upload)
                return refused(unknownFile);
        }
        chat = store.chat(chatId);
        if (!chat) {
            // The chat and its first message are committed together: a chat that exists has
            // been announced, and a later message can rely on that.
            outcome.wrote = true;
            QStringList members { me, *recipientId };
            members.sort();
            chat = store.createChat(chatId, QString(), QStringLiteral("private"), me, members);
            if (!chat)
                return Outcome::failure();
            outcome.notify(chat->id, chat->members, protocol::newChatFrame(*chat));
        }
    } else {
        const std::optional<QString> chatId = stringField(request, chatIdKey);
        if (!chatId)
            return refused(invalidField(chatIdKey));
        chat = memberChat(store, *chatId, me, true);
        if (!chat)
            return refused(QStringLiteral("Not a member of this chat"));
        if (withFile) {
            upload = attachedUpload(store, fileUrl.toString(), me, chat->id);
            if (!upload)
                return refused(unknownFile);
        }
    }

    // A reply to a message that is gone, or that belongs elsewhere, is stored as no reply.
    QString replyToId = replyValue.toString();
    if (!replyToId.isEmpty()) {
        const std::optional<MessageRecord> original = store.message(replyToId);
        if (!original || original->chatId != chat->id)
            replyToId.clear();
    }
    outcome.wrote = true;
    const QString fileText = upload
        ? QString::fromUtf8(
            QJsonDocument(uploadformat::fileJson(*upload)).toJson(QJsonDocument::Compact))
        : QString();
    const std::optional<MessageRecord> message = store.addMessage(
        chat->id, me, text, replyToId, asker.nowSeconds, upload ? upload->id : QString(), fileText);
    if (!message)
        return Outcome::failure();
    outcome.notify(chat->id, chat->members, protocol::messageFrame(*message));
    return outcome;
}

Outcome messageSeen(Store &store, const Asker &asker, const QJsonObject &request)
{
    Outcome outcome;
    const std::optional<MessageRecord> message = requestedMessage(store, asker, request, &outcome);
    // A sender's own client may report its own messages; that is no receipt.
    if (!message || message->senderId == asker.userId)
        return outcome;
    outcome.wrote = true;
    const bool recorded = store.markSeen(message->seq, asker.userId, asker.nowSeconds);
    if (store.lastStatementFailed())
        return Outcome::failure();
    if (recorded) {
        const QJsonObject update =
            protocol::seenUpdateFrame(message->chatId, message->id, asker.userId);
        // A sender who has left the group hears nothing more of it.
        if (store.isMember(message->chatId, message->senderId))
            outcome.notify(message->chatId, { message->senderId }, update);
        // The reader's other devices lower their unread counts; the one that read knows.
        outcome.notify(message->chatId, { asker.userId }, update);
        outcome.notices.back().exceptConnection = asker.connectionId;
    }
    return outcome;
}

Outcome editMessage(Store &store, const Asker &asker, const QJsonObject &request)
{
    Outcome refusal;
    std::optional<MessageRecord> message = requestedMessage(store, asker, request, &refusal);
    if (!message)
        return refusal;
    // The client sends a plain string; a content object with a "text" is taken too.
    const QJsonValue newContent = request.value(QLatin1String("newContent"));
    const QJsonValue textValue =
        newContent.isObject() ? newContent.toObject().value(QLatin1String("text")) : newContent;
    if (!textValue.isString())
        return refused(invalidField(QLatin1String("newContent")));
    if (message->senderId != asker.userId)
        return refused(QStringLiteral("Only the sender can edit a message"));
    // The caption alone changes; the file stays.
    const QString problem = protocol::checkText(textValue.toString(), !message->file.isEmpty());
    if (!problem.isEmpty())
        return refused(problem);
    message->text = textValue.toString();
    message->editedAt = asker.nowSeconds;
    if (!store.editMessage(message->seq, message->text, message->editedAt))
        return Outcome::failure();
    Outcome outcome;
    outcome.wrote = true;
    outcome.notify(message->chatId,
        membersOf(store, message->chatId),
        protocol::messageUpdatedFrame(*message));
    return outcome;
}

Outcome deleteMessage(Store &store, const Asker &asker, const QJsonObject &request)
{
    Outcome refusal;
    const std::optional<MessageRecord> message = requestedMessage(store, asker, request, &refusal);
    if (!message)
        return refusal;
    if (message->senderId != asker.userId)
        return refused(QStringLiteral("Only the sender can delete a message"));
    if (!store.deleteMessage(message->seq))
        return Outcome::failure();
    Outcome outcome;
    outcome.wrote = true;
    // The file goes with the last message that carries it.
    if (!message->uploadId.isEmpty())
        outcome.removedUploads = store.removeUnreferencedUploads({ message->uploadId }, 0, 1);
    outcome.notify(message->chatId,
        membersOf(store, message->chatId),
        protocol::messageDeletedFrame(message->chatId, message->id));
    return outcome;
}

Outcome createGroup(Store &store, const Asker &asker, const QJsonObject &request)
{
    const QJsonValue requestId = request.value(requestIdKey);
    if (!requestId.isString())
        return refused(invalidField(requestIdKey));
    // Refusals carry the request's id, so that the asker's dialog can show them.
    QString problem;
    const std::optional<QString> name = requestedName(request, &problem);
    std::optional<QStringList> members;
    if (name)
        members = requestedMembers(store, asker, request, asker.maxGroupMembers - 1, &problem);
    if (!members)
        return refusedTo(requestId, problem);
    members->prepend(asker.userId);
    Outcome outcome;
    outcome.wrote = true;
    const std::optional<ChatRecord> chat =
        store.createChat(QString(), *name, QStringLiteral("group"), asker.userId, *members);
    if (!chat)
        return Outcome::failure();
    // The asking connection learns of the chat before it hears that its request made it.
    const QJsonObject announcement = protocol::newChatFrame(*chat);
    outcome.reply(announcement);
    outcome.reply(protocol::groupCreatedFrame(requestId, chat->id));
    outcome.notify(chat->id, chat->members, announcement);
    outcome.notices.back().exceptConnection = asker.connectionId;
    return outcome;
}

Outcome renameChat(Store &store, const Asker &asker, const QJsonObject &request)
{
    Outcome refusal;
    const std::optional<ChatRecord> chat = requestedGroup(
        store, asker, request, QStringLiteral("Only the group's owner can rename it"), &refusal);
    if (!chat)
        return refusal;
    QString problem;
    const std::optional<QString> name = requestedName(request, &problem);
    if (!name)
        return refused(problem);
    Outcome outcome;
    outcome.wrote = true;
    if (!store.renameChat(chat->id, *name) || !tellChanged(store, chat->id, chat->members, outcome))
        return Outcome::failure();
    return outcome;
}

Outcome addMembers(Store &store, const Asker &asker, const QJsonObject &request)
{
    Outcome refusal;
    const std::optional<ChatRecord> chat = requestedGroup(
        store, asker, request, QStringLiteral("Only the group's owner can add members"), &refusal);
    if (!chat)
        return refusal;
    // Those in the group already are no news, and count only once.
    QString problem;
    const std::optional<QStringList> requested = requestedMembers(
        store, asker, request, asker.maxGroupMembers - 1 + int(chat->members.size()), &problem);
    if (!requested)
        return refused(problem);
    QStringList added;
    for (const QString &member : *requested) {
        if (!chat->members.contains(member))
            added.append(member);
    }
    if (chat->members.size() + added.size() > asker.maxGroupMembers)
        return refused(tooManyMembers(asker));
    Outcome outcome;
    if (added.isEmpty())
        return outcome;
    outcome.wrote = true;
    if (!store.addMembers(chat->id, added) || !tellChanged(store, chat->id, chat->members, outcome))
        return Outcome::failure();
    // The newcomers get the chat as a login brings it, with its newest page: history from before
    // they joined included. None of it counts as unread for them.
    const std::optional<ChatRecord> now = store.chat(chat->id);
    if (!now)
        return Outcome::failure();
    outcome.notify(now->id,
        added,
        protocol::newChatFrame(*now, store.newestMessages(now->id, asker.historyPage)));
    return outcome;
}

Outcome leaveChat(Store &store, const Asker &asker, const QJsonObject &request)
{
    Outcome refusal;
    const std::optional<ChatRecord> chat = requestedGroup(store, asker, request, {}, &refusal);
    if (!chat)
        return refusal;
    Outcome outcome;
    outcome.wrote = true;
    if (!store.removeMember(chat->id, asker.userId))
        return Outcome::failure();
    // In the chat's stream, behind every message the leaver was sent: nothing of the chat
    // reaches them after this.
    outcome.notify(chat->id, { asker.userId }, protocol::chatRemovedFrame(chat->id));
    QStringList left = chat->members;
    left.removeAll(asker.userId);
    if (!tellChanged(store, chat->id, left, outcome))
        return Outcome::failure();
    return outcome;
}

Outcome history(Store &store, const Asker &asker, const QJsonObject &request)
{
    // Errors answer with the asker's "requestId", so that it can tell which request failed.
    const QJsonValue requestId = request.value(requestIdKey);
    const auto refuse = [&requestId](
                            const QString &message) { return refusedTo(requestId, message); };
    if (!requestId.isUndefined() && !requestId.isString())
        return refuse(invalidField(requestIdKey));
    const std::optional<QString> chatId = stringField(request, chatIdKey);
    if (!chatId)
        return refuse(invalidField(chatIdKey));
    const QLatin1String beforeKey("before");
    const QLatin1String aroundKey("around");
    const QLatin1String afterKey("after");
    const int given = int(request.contains(beforeKey)) + int(request.contains(aroundKey))
        + int(request.contains(afterKey));
    if (given > 1)
        return refuse(QStringLiteral("Give only one of \"before\", \"around\" and \"after\""));
    const QLatin1String timeKey = request.contains(afterKey) ? afterKey : beforeKey;
    std::optional<qint64> time;
    std::optional<QString> around;
    if (request.contains(aroundKey)) {
        around = stringField(request, aroundKey);
        if (!around)
            return refuse(invalidField(aroundKey));
    } else {
        time = timeField(request, timeKey);
        if (!time)
            return refuse(invalidField(timeKey));
    }
    const std::optional<ChatRecord> chat = memberChat(store, *chatId, asker.userId);
    if (!chat)
        return refuse(QStringLiteral("Not a member of this chat"));
    std::vector<MessageRecord> messages;
    if (around) {
        const std::optional<MessageRecord> message = store.message(*around);
        if (!message || message->chatId != chat->id)
            return refuse(QStringLiteral("Message not found"));
        messages = store.messagesAround(*message, aroundCount);
    } else if (timeKey == afterKey) {
        messages = store.messagesAfter(chat->id, *time, asker.historyPage);
    } else {
        messages = store.messagesBefore(chat->id, *time, asker.historyPage, historyTieLimit);
    }
    QJsonObject frame =
        protocol::chatHistoryFrame(QJsonArray { protocol::chatJson(*chat, messages) });
    if (requestId.isString())
        frame.insert(requestIdKey, requestId);
    Outcome outcome;
    outcome.reply(frame);
    return outcome;
}

Outcome search(Store &store, const Asker &asker, const QJsonObject &request)
{
    const QJsonValue requestId = request.value(requestIdKey);
    const auto refuse = [&requestId](
                            const QString &message) { return refusedTo(requestId, message); };
    if (!requestId.isString())
        return refuse(invalidField(requestIdKey));
    const QJsonValue query = request.value(QLatin1String("query"));
    if (!query.isString())
        return refuse(invalidField(QLatin1String("query")));
    QString problem;
    const SearchTerms terms = protocol::searchTerms(query.toString(), &problem);
    if (terms.empty())
        return refuse(problem);
    const QJsonValue chatValue = request.value(chatIdKey);
    if (!chatValue.isUndefined() && !chatValue.isNull() && !chatValue.isString())
        return refuse(invalidField(chatIdKey));
    const QString chatId = chatValue.toString();
    if (chatValue.isString() && !store.isMember(chatId, asker.userId))
        return refuse(QStringLiteral("Not a member of this chat"));
    std::optional<SearchPosition> before;
    const QJsonValue beforeValue = request.value(QLatin1String("before"));
    if (!beforeValue.isUndefined() && !beforeValue.isNull()) {
        const auto cursor = beforeValue.isString()
            ? protocol::parseSearchCursor(beforeValue.toString())
            : std::nullopt;
        if (!cursor)
            return refuse(invalidField(QLatin1String("before")));
        // A message deleted since it ended a page leaves its second to be searched again in
        // full: repeats, which the asker drops by id, rather than gaps.
        const std::optional<MessageRecord> last = store.message(cursor->second);
        before = SearchPosition { cursor->first,
            last && last->timestamp == cursor->first ? last->seq
                                                     : std::numeric_limits<qint64>::max() };
    }
    std::vector<MessageRecord> results =
        store.searchMessages(asker.userId, chatId, terms, before, protocol::searchPage + 1);
    QString next;
    if (int(results.size()) > protocol::searchPage) {
        results.resize(protocol::searchPage);
        next = protocol::searchCursor(results.back());
    }
    Outcome outcome;
    outcome.reply(protocol::searchResultsFrame(requestId.toString(), results, next));
    return outcome;
}

Outcome typing(Store &store, const Asker &asker, const QJsonObject &request)
{
    const std::optional<QString> chatId = stringField(request, chatIdKey);
    if (!chatId)
        return refused(invalidField(chatIdKey));
    const std::optional<ChatRecord> chat = memberChat(store, *chatId, asker.userId);
    if (!chat)
        return refused(QStringLiteral("Not a member of this chat"));
    QStringList others = chat->members;
    others.removeAll(asker.userId);
    Outcome outcome;
    outcome.notify(chat->id, others, protocol::typingFrame(chat->id, asker.userId));
    return outcome;
}

Outcome loginPush(Store &store, const QString &userId, int historyPage, qint64 maxBytes)
{
    // Full pages for everyone but those in very many busy chats; for them, fewer messages per
    // chat until the frame fits, at least the newest one. The client pages back for the rest.
    // Pages hold whole seconds while they can; only when even that is too large does a chat get
    // just its newest message, and "get_history" then sends the rest of that second again.
    int perChat = historyPage;
    bool wholeSeconds = true;
    QString text;
    for (;;) {
        QJsonArray chats;
        int longest = 0;
        for (const ChatHistory &history : store.chatHistories(userId, perChat, wholeSeconds)) {
            chats.append(protocol::chatJson(history));
            longest = std::max(longest, int(history.messages.size()));
        }
        text = protocol::serialize(protocol::chatHistoryFrame(chats));
        const qint64 bytes = text.toUtf8().size();
        if (bytes <= maxBytes || longest <= 1 || !wholeSeconds)
            break;
        if (perChat <= 1) {
            wholeSeconds = false;
            continue;
        }
        // Aims a little below the bound, so that one more round is rarely needed.
        const int page = std::min(longest, perChat);
        perChat = std::clamp(int(page * 0.9 * double(maxBytes) / double(bytes)), 1, page - 1);
    }
    Outcome outcome;
    outcome.replies.push_back({ QStringLiteral("chat_history"), text });
    outcome.reply(protocol::userListFrame(store.users()));
    return outcome;
}

} // namespace requests
