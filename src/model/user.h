#pragma once

#include <QMetaType>
#include <QString>
#include <vector>

// One person known to the server.
struct User {
    QString id;
    QString username;
    QString avatarUrl;
};

Q_DECLARE_METATYPE(User)
Q_DECLARE_METATYPE(std::vector<User>)
