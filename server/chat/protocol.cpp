#include "protocol.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>
#include <QVector>
#include <algorithm>

namespace protocol
{

const QString defaultAvatarUrl = QStringLiteral("/static/default.png");
const QString passwordChangedReason = QStringLiteral("Password changed");
const QString accountDisabledReason = QStringLiteral("Account disabled");

namespace
{

    QJsonObject typed(const char *type)
    {
        return QJsonObject { { QStringLiteral("type"), QString::fromLatin1(type) } };
    }

    int codePoints(const QString &text)
    {
        int count = 0;
        for (int i = 0; i < text.size(); ++i) {
            if (text.at(i).isHighSurrogate() && i + 1 < text.size()
                && text.at(i + 1).isLowSurrogate())
                ++i;
            ++count;
        }
        return count;
    }

    // Letters, digits and private-use characters make words, as the index's tokenizer has it.
    bool isWordCharacter(uint codePoint)
    {
        switch (QChar::category(codePoint)) {
        case QChar::Letter_Uppercase:
        case QChar::Letter_Lowercase:
        case QChar::Letter_Titlecase:
        case QChar::Letter_Modifier:
        case QChar::Letter_Other:
        case QChar::Number_DecimalDigit:
        case QChar::Number_Letter:
        case QChar::Number_Other:
        case QChar::Other_PrivateUse:
            return true;
        default:
            return false;
        }
    }

    QStringList wordsOf(const QVector<uint> &codePoints, int from, int to)
    {
        QStringList words;
        QString word;
        for (int i = from; i <= to; ++i) {
            if (i < to && isWordCharacter(codePoints.at(i))) {
                const uint codePoint = codePoints.at(i);
                word.append(QString::fromUcs4(&codePoint, 1));
            } else if (!word.isEmpty()) {
                words.append(word);
                word.clear();
            }
        }
        return words;
    }

    // What is wrong with `text` (`what` names it in the answer) when no database can keep it
    // as it came: a lone surrogate has no UTF-8 form (it would be kept as "?"), and PostgreSQL's
    // text holds no NUL. Empty when nothing is.
    QString unstorable(const QString &text, const QString &what)
    {
        for (int i = 0; i < text.size(); ++i) {
            const QChar c = text.at(i);
            if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
                ++i;
            else if (c.isSurrogate())
                return what + QStringLiteral(" is not valid text");
            else if (c.isNull())
                return what + QStringLiteral(" must not contain NUL characters");
        }
        return QString();
    }

} // namespace

SearchTerms searchTerms(const QString &query, QString *problem)
{
    if (codePoints(query) > maxQueryLength) {
        *problem = QStringLiteral("Search query is longer than %1 characters").arg(maxQueryLength);
        return {};
    }
    const QVector<uint> text = query.toUcs4();
    QVector<int> quotes;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == '"')
            quotes.append(i);
    }
    // An unpaired last quote opens no phrase.
    if (quotes.size() % 2 == 1)
        quotes.removeLast();
    SearchTerms terms;
    int from = 0;
    for (int q = 0; q <= quotes.size(); q += 2) {
        const int open = q < quotes.size() ? quotes.at(q) : text.size();
        for (const QString &word : wordsOf(text, from, open))
            terms.push_back({ word });
        if (q >= quotes.size())
            break;
        const QStringList phrase = wordsOf(text, open + 1, quotes.at(q + 1));
        if (!phrase.isEmpty())
            terms.push_back(phrase);
        from = quotes.at(q + 1) + 1;
    }
    if (terms.empty())
        *problem = QStringLiteral("Search query has no words");
    return terms;
}

QString searchCursor(const MessageRecord &message)
{
    // The message id rather than its place in the store, which would tell how many messages
    // the server holds.
    QByteArray cursor = QByteArray::number(message.timestamp);
    cursor += ' ';
    cursor += message.id.toUtf8();
    return QString::fromLatin1(
        cursor.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

std::optional<std::pair<qint64, QString>> parseSearchCursor(const QString &cursor)
{
    // Ids are short; anything longer was not made here.
    if (cursor.size() > 200)
        return std::nullopt;
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        cursor.toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    const int space = decoded.decoded.indexOf(' ');
    bool ok = false;
    const qint64 timestamp = decoded.decoded.left(space).toLongLong(&ok);
    const QString id = QString::fromUtf8(decoded.decoded.mid(space + 1));
    if (space < 0 || !ok || id.isEmpty())
        return std::nullopt;
    return std::make_pair(timestamp, id);
}

QString privateChatId(const QString &userA, const QString &userB)
{
    // QString's operator< compares UTF-16 code units: case-sensitive, as the client composes it.
    return userA < userB ? userA + QLatin1Char('_') + userB : userB + QLatin1Char('_') + userA;
}

QString checkText(const QString &text, bool withFile)
{
    if (!withFile && text.trimmed().isEmpty())
        return QStringLiteral("Message text must not be empty");
    const QString problem = unstorable(text, QStringLiteral("Message text"));
    if (!problem.isEmpty())
        return problem;
    if (codePoints(text) > maxTextLength)
        return QStringLiteral("Message text is longer than %1 characters").arg(maxTextLength);
    return QString();
}

QString groupName(const QString &name)
{
    const QString trimmed = name.trimmed();
    // What no store keeps as given is no name either.
    if (codePoints(trimmed) > maxGroupNameLength || !unstorable(trimmed, QString()).isEmpty())
        return QString();
    return trimmed;
}

QString checkNewPassword(const QString &password, const QString &username)
{
    const QString problem = unstorable(password, QStringLiteral("The new password"));
    if (!problem.isEmpty())
        return problem;
    const int length = codePoints(password);
    if (length < minPasswordLength)
        return QStringLiteral("The new password must have at least %1 characters")
            .arg(minPasswordLength);
    if (length > maxPasswordLength)
        return QStringLiteral("The new password must have at most %1 characters")
            .arg(maxPasswordLength);
    if (password.toCaseFolded() == username.toCaseFolded())
        return QStringLiteral("The new password must not be your user name");
    return QString();
}

QJsonObject contentObject(const QString &text, const QString &file)
{
    const QJsonValue fileValue = file.isEmpty()
        ? QJsonValue(QJsonValue::Null)
        : QJsonValue(QJsonDocument::fromJson(file.toUtf8()).object());
    return QJsonObject { { QStringLiteral("text"), text },
        { QStringLiteral("file"), fileValue },
        { QStringLiteral("theme"), QJsonValue::Null } };
}

QJsonObject userJson(const UserRecord &user)
{
    return QJsonObject { { QStringLiteral("userId"), user.id },
        { QStringLiteral("username"), user.username },
        { QStringLiteral("avatarUrl"),
            user.avatarUrl.isEmpty() ? defaultAvatarUrl : user.avatarUrl } };
}

QJsonObject messageJson(const MessageRecord &message)
{
    return QJsonObject { { QStringLiteral("messageId"), message.id },
        { QStringLiteral("chatId"), message.chatId },
        { QStringLiteral("senderId"), message.senderId },
        { QStringLiteral("timestamp"), message.timestamp },
        { QStringLiteral("content"), contentObject(message.text, message.file) },
        { QStringLiteral("replyToId"),
            message.replyToId.isEmpty() ? QJsonValue(QJsonValue::Null)
                                        : QJsonValue(message.replyToId) },
        { QStringLiteral("seenBy"), QJsonArray::fromStringList(message.seenBy) },
        { QStringLiteral("editedAt"), message.editedAt } };
}

QJsonObject chatJson(const ChatRecord &chat)
{
    return QJsonObject { { QStringLiteral("chatId"), chat.id },
        { QStringLiteral("chatName"), chat.name },
        { QStringLiteral("chatType"), chat.type },
        { QStringLiteral("ownerId"), chat.ownerId },
        { QStringLiteral("avatarUrl"), chat.avatarUrl },
        { QStringLiteral("members"), QJsonArray::fromStringList(chat.members) } };
}

QJsonObject chatJson(const ChatRecord &chat, const std::vector<MessageRecord> &messages)
{
    QJsonArray list;
    for (const MessageRecord &message : messages)
        list.append(messageJson(message));
    QJsonObject object = chatJson(chat);
    object.insert(QStringLiteral("messages"), list);
    return object;
}

QJsonObject chatJson(const ChatHistory &history)
{
    QJsonObject object = chatJson(history.chat, history.messages);
    object.insert(QStringLiteral("unreadCount"), history.unreadCount);
    return object;
}

QJsonObject loginSuccessFrame(
    const UserRecord &user, const QString &token, const QString &httpToken, qint64 maxUploadSize)
{
    QJsonObject frame = typed("login_success");
    frame.insert(QStringLiteral("user"), userJson(user));
    frame.insert(QStringLiteral("token"), token);
    frame.insert(QStringLiteral("httpToken"), httpToken);
    // So that the client refuses a file over the limit before sending it.
    frame.insert(QStringLiteral("maxUploadSize"), maxUploadSize);
    return frame;
}

QJsonObject passwordChangedFrame(const QString &token, const QString &httpToken)
{
    QJsonObject frame = typed("password_changed");
    frame.insert(QStringLiteral("token"), token);
    frame.insert(QStringLiteral("httpToken"), httpToken);
    return frame;
}

QJsonObject passwordChangeErrorFrame(const QString &message)
{
    QJsonObject frame = errorFrame(message);
    frame.insert(QStringLiteral("request"), QStringLiteral("change_password"));
    return frame;
}

QJsonObject authFailedFrame()
{
    QJsonObject frame = typed("auth_failed");
    frame.insert(QStringLiteral("message"), QStringLiteral("Invalid username or password"));
    return frame;
}

QString throttledText(qint64 waitMs)
{
    const qint64 seconds = std::max<qint64>(1, (waitMs + 999) / 1000);
    return QStringLiteral("Too many failed logins; try again in %1 s").arg(seconds);
}

QJsonObject throttledLoginFrame(qint64 waitMs)
{
    QJsonObject frame = typed("auth_failed");
    frame.insert(QStringLiteral("message"), throttledText(waitMs));
    return frame;
}

QJsonObject chatHistoryFrame(const QJsonArray &chats)
{
    QJsonObject frame = typed("chat_history");
    frame.insert(QStringLiteral("chats"), chats);
    return frame;
}

QJsonObject userListFrame(const std::vector<UserRecord> &users)
{
    QJsonArray list;
    for (const UserRecord &user : users)
        list.append(userJson(user));
    QJsonObject frame = typed("user_list_update");
    frame.insert(QStringLiteral("users"), list);
    return frame;
}

QJsonObject messageFrame(const MessageRecord &message)
{
    QJsonObject frame = messageJson(message);
    frame.insert(QStringLiteral("type"), QStringLiteral("message"));
    return frame;
}

QJsonObject newChatFrame(const ChatRecord &chat)
{
    QJsonObject frame = typed("new_chat_info");
    frame.insert(QStringLiteral("chat"), chatJson(chat));
    return frame;
}

QJsonObject groupCreatedFrame(const QJsonValue &requestId, const QString &chatId)
{
    QJsonObject frame = typed("group_created");
    frame.insert(QStringLiteral("requestId"), requestId);
    frame.insert(QStringLiteral("chatId"), chatId);
    return frame;
}

QJsonObject chatUpdatedFrame(const ChatRecord &chat)
{
    QJsonObject frame = typed("chat_updated");
    frame.insert(QStringLiteral("chat"), chatJson(chat));
    return frame;
}

QJsonObject chatRemovedFrame(const QString &chatId)
{
    QJsonObject frame = typed("chat_removed");
    frame.insert(QStringLiteral("chatId"), chatId);
    return frame;
}

QJsonObject newChatFrame(const ChatRecord &chat, const std::vector<MessageRecord> &messages)
{
    QJsonObject frame = typed("new_chat_info");
    frame.insert(QStringLiteral("chat"), chatJson(chat, messages));
    return frame;
}

QJsonObject seenUpdateFrame(const QString &chatId, const QString &messageId, const QString &userId)
{
    QJsonObject frame = typed("message_seen_update");
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("messageId"), messageId);
    frame.insert(QStringLiteral("userId"), userId);
    return frame;
}

QJsonObject messageUpdatedFrame(const MessageRecord &message)
{
    QJsonObject frame = typed("message_updated");
    frame.insert(QStringLiteral("chatId"), message.chatId);
    frame.insert(QStringLiteral("messageId"), message.id);
    frame.insert(QStringLiteral("newContent"), contentObject(message.text, message.file));
    frame.insert(QStringLiteral("editedAt"), message.editedAt);
    return frame;
}

QJsonObject messageDeletedFrame(const QString &chatId, const QString &messageId)
{
    QJsonObject frame = typed("message_deleted");
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("messageId"), messageId);
    return frame;
}

QJsonObject errorFrame(const QString &message)
{
    QJsonObject frame = typed("error");
    frame.insert(QStringLiteral("message"), message);
    return frame;
}

QJsonObject errorFrame(const QString &message, const QJsonValue &requestId)
{
    QJsonObject frame = errorFrame(message);
    if (requestId.isString())
        frame.insert(QStringLiteral("requestId"), requestId);
    return frame;
}

QJsonObject searchResultsFrame(
    const QString &requestId, const std::vector<MessageRecord> &results, const QString &next)
{
    QJsonArray list;
    for (const MessageRecord &message : results)
        list.append(messageJson(message));
    QJsonObject frame = typed("search_results");
    frame.insert(QStringLiteral("requestId"), requestId);
    frame.insert(QStringLiteral("results"), list);
    frame.insert(
        QStringLiteral("next"), next.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(next));
    return frame;
}

QJsonObject typingFrame(const QString &chatId, const QString &userId)
{
    QJsonObject frame = typed("typing");
    frame.insert(QStringLiteral("chatId"), chatId);
    frame.insert(QStringLiteral("userId"), userId);
    return frame;
}

QString serialize(const QJsonObject &frame)
{
    return QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact));
}

} // namespace protocol
