#include "admin.h"

#include "credentials.h"
#include "outcome.h"
#include "protocol.h"
#include "store.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <optional>

namespace admin
{

namespace
{

    const QStringList avatarSuffixes = { QStringLiteral("png"),
        QStringLiteral("jpg"),
        QStringLiteral("jpeg"),
        QStringLiteral("gif"),
        QStringLiteral("webp"),
        QStringLiteral("bmp") };

    struct DemoLine {
        // Index into the demo users: 0 alice, 1 bob, 2 carol.
        int sender;
        // Minutes before now.
        int minutesAgo;
        const char *text;
        // Index of the message in the same chat that this one answers, or -1.
        int replyTo = -1;
    };

    const DemoLine teamLines[] = {
        { 0, 182, "Morning everyone! Stand-up in ten minutes." },
        { 1, 181, "Morning! I'll be there." },
        { 2, 180, "Same here. Coffee first though." },
        { 0, 171, "Quick agenda: release checklist, the login bug, and the new avatars." },
        { 1, 170, "The login bug is fixed on my branch, just waiting for review." },
        { 2, 168, "I can review it after lunch." },
        { 0, 160, "Great. Carol, how are the avatars coming along?" },
        { 2, 158, "Almost done. The round crop looks much better now." },
        { 1, 150, "Can we also try a darker theme for the chat list?" },
        { 0, 149, "Good idea, let's put it on the board." },
        { 2, 131, "Pushed the avatar changes." },
        { 1, 130, "Nice, they look sharp." },
        { 0, 121, "Reminder: we freeze the release branch on Friday." },
        { 1, 95, "Review is done, merging now." },
        { 2, 94, "Thanks Bob!", 13 },
        { 0, 80, "Anyone up for lunch at the new place around the corner?" },
        { 1, 79, "Count me in.", 15 },
        { 2, 78, "Me too, 12:30?" },
        { 0, 77, "12:30 it is." },
        { 1, 40, "Back from lunch. That was good." },
        { 2, 38, "Agreed. Back to the release notes." },
        { 0, 12, "Release notes draft is in the shared folder, please have a look." },
        { 2, 6, "Read it, two small suggestions in the comments." },
    };

    const DemoLine privateLines[] = {
        { 1, 175, "Hey Alice, do you have a minute later today?" },
        { 0, 174, "Sure, what's up?" },
        { 1, 173, "I'd like your opinion on the retry logic before I open the pull request." },
        { 0, 172, "Send it over, I'll read it this afternoon." },
        { 1, 90, "Here's the branch: feature/retry. No rush." },
        { 0, 60, "Read it. Looks solid, one question about the timeout." },
        { 1, 58, "Go ahead." },
        { 0, 57, "Why 30 seconds? Feels long for a chat message." },
        { 1, 55, "Fair point, I'll make it 10." },
        { 0, 20, "Thanks! Ship it." },
    };

    // Every connected user of every server gets the new list of users.
    ChangeNotice userListNotice(Store &db)
    {
        ChangeNotice notice;
        notice.chatId = Store::feedDirectory;
        notice.everyone = true;
        const QJsonObject frame = protocol::userListFrame(db.users());
        notice.type = frame.value(QLatin1String("type")).toString();
        notice.text = protocol::serialize(frame);
        return notice;
    }

    // The chat's online members get it as they would a new private chat.
    ChangeNotice newChatNotice(const ChatRecord &chat)
    {
        ChangeNotice notice;
        notice.chatId = chat.id;
        notice.users = chat.members;
        const QJsonObject frame = protocol::newChatFrame(chat);
        notice.type = frame.value(QLatin1String("type")).toString();
        notice.text = protocol::serialize(frame);
        return notice;
    }

    std::optional<UserRecord> findUser(Store &db, const QString &username, QString *error)
    {
        std::optional<UserRecord> user = db.userByName(username);
        if (!user)
            *error = QStringLiteral("no user named \"%1\"").arg(username);
        return user;
    }

} // namespace

QString checkUsername(const QString &username)
{
    if (username.trimmed().isEmpty())
        return QStringLiteral("the user name must not be empty");
    if (username != username.trimmed())
        return QStringLiteral("the user name must not begin or end with white space");
    if (username.size() > maxUsernameLength)
        return QStringLiteral("the user name is longer than %1 characters").arg(maxUsernameLength);
    for (const QChar c : username) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("the user name must not contain control characters");
    }
    return QString();
}

QString addUser(Store &db, const QString &username, const QString &password)
{
    const QString problem = checkUsername(username);
    if (!problem.isEmpty())
        return problem;
    if (password.isEmpty())
        return QStringLiteral("the password must not be empty");
    if (db.userByName(username))
        return QStringLiteral("the user name \"%1\" is taken").arg(username);
    Store::Transaction transaction(db);
    if (!transaction.isActive() || !db.addUser(username, credentials::hashPassword(password))
        || !db.publish({ userListNotice(db) }) || !transaction.commit())
        return QStringLiteral("the user could not be added: ") + db.lastError();
    return QString();
}

QString setPassword(Store &db, const QString &username, const QString &password)
{
    QString error;
    const std::optional<UserRecord> user = findUser(db, username, &error);
    if (!user)
        return error;
    if (password.isEmpty())
        return QStringLiteral("the password must not be empty");
    QString problem = protocol::checkNewPassword(password, user->username);
    if (!problem.isEmpty()) {
        problem[0] = problem.at(0).toLower();
        return problem;
    }
    const QString hash = credentials::hashPassword(password);
    if (hash.isEmpty())
        return QStringLiteral("not enough memory to hash the password");
    Outcome closes;
    closes.closeConnections(
        { user->id }, protocol::passwordChangedCloseCode, protocol::passwordChangedReason);
    Store::Transaction transaction(db);
    if (!transaction.isActive() || !db.setPasswordHash(user->id, hash) || !db.revokeTokens(user->id)
        || !db.publish(std::move(closes.notices)) || !transaction.commit())
        return QStringLiteral("the password could not be changed: ") + db.lastError();
    return QString();
}

QString setDisabled(Store &db, const QString &username, bool disabled)
{
    QString error;
    const std::optional<UserRecord> user = findUser(db, username, &error);
    if (!user)
        return error;
    Outcome closes;
    closes.closeConnections(
        { user->id }, protocol::accountDisabledCloseCode, protocol::accountDisabledReason);
    Store::Transaction transaction(db);
    bool ok = transaction.isActive() && db.setUserDisabled(user->id, disabled);
    if (disabled)
        ok = ok && db.revokeTokens(user->id) && db.publish(std::move(closes.notices));
    if (!ok || !transaction.commit())
        return QStringLiteral("the account could not be changed: ") + db.lastError();
    return QString();
}

QStringList listUsers(Store &db, bool json)
{
    const std::vector<AccountRecord> accounts = db.accounts();
    QStringList lines;
    if (json) {
        for (const AccountRecord &account : accounts) {
            const QJsonObject object { { QStringLiteral("name"), account.username },
                { QStringLiteral("id"), account.id },
                { QStringLiteral("disabled"), account.disabled },
                { QStringLiteral("lastLogin"),
                    account.lastLogin > 0 ? QJsonValue(account.lastLogin)
                                          : QJsonValue(QJsonValue::Null) } };
            lines.append(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
        }
        return lines;
    }
    std::vector<QStringList> rows;
    rows.push_back({ QStringLiteral("NAME"),
        QStringLiteral("ID"),
        QStringLiteral("DISABLED"),
        QStringLiteral("LAST LOGIN") });
    for (const AccountRecord &account : accounts) {
        rows.push_back({ account.username,
            account.id,
            account.disabled ? QStringLiteral("yes") : QStringLiteral("no"),
            account.lastLogin > 0 ? QDateTime::fromSecsSinceEpoch(account.lastLogin, Qt::UTC)
                                        .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                    + QStringLiteral(" UTC")
                                  : QStringLiteral("never") });
    }
    std::vector<int> widths(rows.front().size(), 0);
    for (const QStringList &row : rows) {
        for (int column = 0; column < row.size(); ++column)
            widths[size_t(column)] = std::max(widths[size_t(column)], int(row.at(column).size()));
    }
    for (const QStringList &row : rows) {
        QString line;
        for (int column = 0; column < row.size(); ++column) {
            const bool last = column + 1 == row.size();
            line += last
                ? row.at(column)
                : row.at(column).leftJustified(widths[size_t(column)]) + QStringLiteral("  ");
        }
        lines.append(line);
    }
    return lines;
}

QString setAvatar(Store &db, const QString &staticDir, const QString &username, const QString &file)
{
    QString error;
    const std::optional<UserRecord> user = findUser(db, username, &error);
    if (!user)
        return error;
    const QFileInfo source(file);
    if (!source.isFile() || !source.isReadable())
        return QStringLiteral("cannot read %1").arg(file);
    const QString suffix = source.suffix().toLower();
    if (!avatarSuffixes.contains(suffix))
        return QStringLiteral("the picture must be one of: ")
            + avatarSuffixes.join(QLatin1String(", "));
    if (source.size() > maxAvatarBytes)
        return QStringLiteral("the picture is larger than %1 bytes").arg(maxAvatarBytes);

    const QString relative = QStringLiteral("avatars/") + user->id + QLatin1Char('-')
        + credentials::randomHex(4) + QLatin1Char('.') + suffix;
    const QString target = QDir(staticDir).filePath(relative);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(file, target))
        return QStringLiteral("cannot copy the picture to %1").arg(target);
    QFile::setPermissions(
        target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    Store::Transaction transaction(db);
    if (!transaction.isActive()
        || !db.setUserAvatar(user->id, QStringLiteral("/static/") + relative)
        || !db.publish({ userListNotice(db) }) || !transaction.commit()) {
        QFile::remove(target);
        return QStringLiteral("the avatar could not be stored: ") + db.lastError();
    }
    return QString();
}

QString createGroup(Store &db, const QString &name, const QStringList &usernames)
{
    if (name.trimmed().isEmpty())
        return QStringLiteral("the group name must not be empty");
    if (usernames.isEmpty())
        return QStringLiteral("a group needs at least one member");
    QStringList members;
    for (const QString &username : usernames) {
        QString error;
        const std::optional<UserRecord> user = findUser(db, username, &error);
        if (!user)
            return error;
        if (!members.contains(user->id))
            members.append(user->id);
    }
    Store::Transaction transaction(db);
    const std::optional<ChatRecord> chat = transaction.isActive()
        ? db.createChat(
            QString(), name.trimmed(), QStringLiteral("group"), members.first(), members)
        : std::nullopt;
    if (!chat || !db.publish({ newChatNotice(*chat) }) || !transaction.commit())
        return QStringLiteral("the group could not be created: ") + db.lastError();
    return QString();
}

QString seedDemo(Store &db)
{
    const QStringList names = {
        QStringLiteral("alice"), QStringLiteral("bob"), QStringLiteral("carol")
    };
    for (const QString &name : names) {
        if (db.userByName(name))
            return QStringLiteral("the user name \"%1\" is taken; the demo is seeded already")
                .arg(name);
    }
    Store::Transaction transaction(db);
    if (!transaction.isActive())
        return QStringLiteral("cannot write the database: ") + db.lastError();
    // Returning rolls back everything seeded so far.
    const auto fail = [&db](const QString &what) -> QString {
        // Through arg(): GCC's Release build misreads the string builder's copy out of a
        // literal here as an overflow.
        return QStringLiteral("%1: %2").arg(what, db.lastError());
    };
    QStringList ids;
    for (const QString &name : names) {
        // A hash each, with a salt of its own: equal passwords must not look equal.
        const std::optional<UserRecord> user =
            db.addUser(name, credentials::hashPassword(QStringLiteral("demo")));
        if (!user)
            return fail(QStringLiteral("adding the demo users failed"));
        ids.append(user->id);
    }
    const std::optional<ChatRecord> team =
        db.createChat(QString(), QStringLiteral("Team"), QStringLiteral("group"), ids.at(0), ids);
    QStringList pair { ids.at(0), ids.at(1) };
    pair.sort();
    const std::optional<ChatRecord> direct =
        db.createChat(protocol::privateChatId(ids.at(0), ids.at(1)),
            QString(),
            QStringLiteral("private"),
            ids.at(0),
            pair);
    if (!team || !direct)
        return fail(QStringLiteral("creating the demo chats failed"));

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const auto post = [&](const ChatRecord &chat, const DemoLine &line, const QString &replyTo) {
        return db.addMessage(chat.id,
            ids.at(line.sender),
            QString::fromUtf8(line.text),
            replyTo,
            now - line.minutesAgo * 60);
    };
    std::vector<MessageRecord> teamMessages;
    for (const DemoLine &line : teamLines) {
        const QString replyTo = line.replyTo >= 0 ? teamMessages.at(line.replyTo).id : QString();
        const std::optional<MessageRecord> message = post(*team, line, replyTo);
        if (!message)
            return fail(QStringLiteral("adding the demo messages failed"));
        teamMessages.push_back(*message);
    }
    std::vector<MessageRecord> directMessages;
    for (const DemoLine &line : privateLines) {
        const std::optional<MessageRecord> message = post(*direct, line, QString());
        if (!message)
            return fail(QStringLiteral("adding the demo messages failed"));
        directMessages.push_back(*message);
    }
    // Bob's timeout promise was edited a minute after sending.
    const MessageRecord &edited = directMessages.at(8);
    bool ok = db.editMessage(
        edited.seq, QStringLiteral("Fair point, I'll make it 10 seconds."), edited.timestamp + 60);
    // Everyone has read the team chat; bob has not read alice's last message yet.
    for (const MessageRecord &message : teamMessages) {
        for (const QString &reader : ids) {
            if (ok && reader != message.senderId)
                ok = db.markSeen(message.seq, reader, message.timestamp + 30);
        }
    }
    for (std::size_t i = 0; ok && i + 1 < directMessages.size(); ++i) {
        const MessageRecord &message = directMessages.at(i);
        ok = db.markSeen(message.seq,
            message.senderId == ids.at(0) ? ids.at(1) : ids.at(0),
            message.timestamp + 30);
    }
    if (!ok)
        return fail(QStringLiteral("adding the demo receipts failed"));
    if (!db.publish({ userListNotice(db), newChatNotice(*team), newChatNotice(*direct) }))
        return fail(QStringLiteral("telling the servers failed"));
    if (!transaction.commit())
        return QStringLiteral("cannot write the database: ") + db.lastError();
    return QString();
}

} // namespace admin
