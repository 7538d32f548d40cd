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
