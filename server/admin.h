#pragma once

#include <QString>
#include <QStringList>

class Store;

// The administration commands of ferrow-server. Each returns an empty string on success, else
// a message for the operator; nothing is changed when it fails.
namespace admin
{

// Longest user name accepted, in UTF-16 code units; room for a name with a coloured tag.
constexpr int maxUsernameLength = 100;
// Largest avatar picture accepted.
constexpr qint64 maxAvatarBytes = 5 * 1024 * 1024;

// An empty string when `username` may name a new user, else why not.
QString checkUsername(const QString &username);

QString addUser(Store &db, const QString &username, const QString &password);
// Gives the user a new password (the rules of "change_password" hold), revokes every token of
// theirs, and has running servers close their connections (4001, "Password changed").
QString setPassword(Store &db, const QString &username, const QString &password);
// Refuses or allows the user's logins. Disabling revokes every token of theirs and has running
// servers close their connections (4003, "Account disabled").
QString setDisabled(Store &db, const QString &username, bool disabled);
// Every user: name, id, disabled or not, last login. Aligned columns under a heading, or one JSON
// object per line {"name","id","disabled","lastLogin"} (seconds since the epoch, or null).
QStringList listUsers(Store &db, bool json);
// Copies `file` into the static folder under a new name (clients cache pictures by URL, so a
// new picture needs a new URL) and points the user's avatar URL at it.
QString setAvatar(
    Store &db, const QString &staticDir, const QString &username, const QString &file);
QString createGroup(Store &db, const QString &name, const QStringList &usernames);
// Users alice, bob and carol (password "demo"), the group "Team" with all three, a private chat
// of alice and bob, and a few dozen messages over the past hours.
QString seedDemo(Store &db);

} // namespace admin
