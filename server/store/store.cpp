#include "store.h"

const QString Store::feedDirectory = QStringLiteral("~directory");

Store::~Store() = default;

bool Store::announce(std::vector<ChangeNotice *> &)
{
    return true;
}

bool Store::lockChat(const QString &, bool)
{
    return true;
}

void Store::expectRequests(std::size_t)
{
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
