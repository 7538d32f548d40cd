#include "metatypes.h"

#include "chat.h"
#include "message.h"
#include "user.h"

#include <QMetaType>

void registerMetaTypes()
{
    qRegisterMetaType<User>("User");
    qRegisterMetaType<Chat>("Chat");
    qRegisterMetaType<Message>("Message");
    qRegisterMetaType<MessageStatus>("MessageStatus");
    qRegisterMetaType<std::vector<User>>("std::vector<User>");
    qRegisterMetaType<std::vector<Chat>>("std::vector<Chat>");
}
