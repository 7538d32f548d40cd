#pragma once

#include "message.h"

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <vector>

// One conversation and the messages the client holds for it.
struct Chat {
    QString id;
    QString name;
    QString type;
    QStringList members;
    QString ownerId;
    std::vector<Message> messages;
    QString avatarUrl;
};

Q_DECLARE_METATYPE(Chat)
Q_DECLARE_METATYPE(std::vector<Chat>)
