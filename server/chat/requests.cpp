#include "requests.h"

#include "protocol.h"

#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <optional>

namespace requests
{

namespace
{

    // Messages stamped with the very second a "get_history" asks before, sent again in full so
    // that none is skipped; bounded so that one answer stays a few megabytes at most.
    constexpr int historyTieLimit = 500;

    const QLatin1String chatIdKey("chatId");
    const QLatin1String messageIdKey("messageId");

    Outcome refused(const QString &message)
    {
        Outcome outcome;
        outcome.reply(protocol::errorFrame(message));
        return outcome;
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
        if (!message || message->chatId != *chatId || !store.isMember(*chatId, asker.userId)) {
            *refusal = refused(QStringLiteral("Message not found"));
            return std::nullopt;
        }
        return message;
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
    if (!file.isUndefined() && !file.isNull())
        return refused(QStringLiteral("Attachments are not supported"));
    const QString text = textValue.toString();
    const QString problem = protocol::checkText(text);
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
    if (hasRecipient) {
        const std::optional<QString> recipientId =
            stringField(request, QLatin1String("recipientId"));
        if (!recipientId || *recipientId == me || !store.userById(*recipientId))
            return refused(QStringLiteral("Unknown recipient"));
        const QString chatId = protocol::privateChatId(me, *recipientId);
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
        if (store.isMember(*chatId, me))
            chat = store.chat(*chatId);
        if (!chat)
            return refused(QStringLiteral("Not a member of this chat"));
    }

    // A reply to a message that is gone, or that belongs elsewhere, is stored as no reply.
    QString replyToId = replyValue.toString();
    if (!replyToId.isEmpty()) {
        const std::optional<MessageRecord> original = store.message(replyToId);
        if (!original || original->chatId != chat->id)
            replyToId.clear();
    }
    outcome.wrote = true;
    const std::optional<MessageRecord> message =
        store.addMessage(chat->id, me, text, replyToId, asker.nowSeconds);
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
    const QString problem = protocol::checkText(textValue.toString());
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
    outcome.notify(message->chatId,
        membersOf(store, message->chatId),
        protocol::messageDeletedFrame(message->chatId, message->id));
    return outcome;
}

Outcome history(Store &store, const Asker &asker, const QJsonObject &request)
{
    const std::optional<QString> chatId = stringField(request, chatIdKey);
    const QJsonValue beforeValue = request.value(QLatin1String("before"));
    if (!chatId)
        return refused(invalidField(chatIdKey));
    // Any finite number works; far-off values are clamped into the range of real timestamps.
    const double beforeNumber = beforeValue.toDouble();
    if (!beforeValue.isDouble() || !std::isfinite(beforeNumber))
        return refused(invalidField(QLatin1String("before")));
    const qint64 before =
        static_cast<qint64>(std::trunc(std::max(-1e15, std::min(1e15, beforeNumber))));
    std::optional<ChatRecord> chat;
    if (store.isMember(*chatId, asker.userId))
        chat = store.chat(*chatId);
    if (!chat)
        return refused(QStringLiteral("Not a member of this chat"));
    const std::vector<MessageRecord> messages =
        store.messagesBefore(chat->id, before, asker.historyPage, historyTieLimit);
    Outcome outcome;
    outcome.reply(protocol::chatHistoryFrame(QJsonArray { protocol::chatJson(*chat, messages) }));
    return outcome;
}

Outcome typing(Store &store, const Asker &asker, const QJsonObject &request)
{
    const std::optional<QString> chatId = stringField(request, chatIdKey);
    if (!chatId)
        return refused(invalidField(chatIdKey));
    std::optional<ChatRecord> chat;
    if (store.isMember(*chatId, asker.userId))
        chat = store.chat(*chatId);
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
