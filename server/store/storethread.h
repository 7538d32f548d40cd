#pragma once

#include "store.h"

#include <QString>
#include <functional>
#include <memory>

class QThread;

// Starts a thread that opens a store connection of its own through `connector` and runs `body`
// with it; the connection is closed on that thread when `body` returns. Waits until the
// connection is open: null, with the reason in `error`, when it cannot be.
std::unique_ptr<QThread> startStoreThread(
    const StoreConnector &connector, std::function<void(Store &)> body, QString *error);

// Mends a store thread's connection after the database went away: check() after a failure finds
// out whether the connection is gone, and mend() then opens a new one, at once the first time
// and then with a back-off that grows from 100 ms to 5 s, so that a database that is down is
// not hammered.
class StoreReconnection
{
public:
    // After a failed statement: whether the connection still answers.
    void check(Store &store);
    // Opens a new connection when the old one is gone and the back-off allows; true when the
    // connection is (again) usable.
    bool mend(Store &store);
    bool isBroken() const;

private:
    bool broken = false;
    int backoffMs = 0;
    qint64 retryAtMs = 0;
};
