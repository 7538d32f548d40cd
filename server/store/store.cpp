#include "store.h"

Store::~Store() = default;

void Store::announce(const std::vector<ChangeNotice> &)
{
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
