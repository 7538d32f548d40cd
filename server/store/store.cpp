#include "store.h"

#include "chatcache.h"

const QString Store::feedDirectory = QStringLiteral("~directory");

bool ChangeNotice::changesChat() const
{
    return type == QLatin1String("chat_updated") || type == QLatin1String("chat_removed");
}

Store::Store()
    : chats(std::make_shared<ChatCache>())
{
}

Store::~Store() = default;

Store::Announcement Store::announce(std::vector<ChangeNotice *> &)
{
    return Announcement::Kept;
}

void Store::expectRequests(std::size_t)
{
}

bool Store::indexNewMessages(int, bool *more)
{
    *more = false;
    return true;
}

bool Store::broadcast(const ChangeNotice &)
{
    return false;
}

bool Store::listen(std::function<void(const QString &)>)
{
    return false;
}

void Store::setOrigin(const QString &origin)
{
    originName = origin;
}

QString Store::origin() const
{
    return originName;
}

void Store::shareChats(std::shared_ptr<ChatCache> cache)
{
    chats = std::move(cache);
}

void Store::forgetChat(const QString &chatId)
{
    if (chatId.isEmpty())
        chats->clear();
    else
        chats->forget(chatId);
}

ChatCache &Store::chatCache()
{
    return *chats;
}

bool Store::reconnect()
{
    return ping();
}

Store::Transaction::Transaction(Store &store)
    : store(store)
    , active(store.beginTransaction())
{
}

Store::Transaction::~Transaction()
{
    rollback();
}

bool Store::Transaction::isActive() const
{
    return active;
}

bool Store::Transaction::commit()
{
    if (!active)
        return false;
    active = false;
    return store.commitTransaction();
}

void Store::Transaction::rollback()
{
    if (!active)
        return;
    active = false;
    store.rollbackTransaction();
}
