#pragma once

#include "message.h"

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <vector>

// One conversation and the messages the client holds for it.
struct Chat {
    // Unread counts are capped here: far beyond what anyone reads, and safe to add to.
    static constexpr int maxUnreadCount = 1000000;

    QString id;
    QString name;
    QString type;
    QStringList members;
    QString ownerId;
    std::vector<Message> messages;
    QString avatarUrl;
    // Messages of others the user has not seen, as the login's push counts them; 0 elsewhere.
    int unreadCount = 0;
};

Q_DECLARE_METATYPE(Chat)
Q_DECLARE_METATYPE(std::vector<Chat>)
