#pragma once

#include "commitclock.h"
#include "store.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QThread;

// The change feed's reader: on a thread and store connection of its own, it waits for the
// store's notifications (PostgreSQL's LISTEN) or polls (SQLite, where only administration
// commands write to the feed), reads what other processes committed since it last looked, and
// hands it to the fan-out on the thread that created it, numbered on the commit clock like the
// writer's transactions so that reads take their place around it. A catch-up every second finds
// what a lost notification would have announced; when the database goes away it reconnects with
// a back-off, listens again, and reads everything it missed.
class FeedRelay : public QObject
{
    Q_OBJECT

public:
    // Called on the creating thread with notices from elsewhere, in order within each stream,
    // and their number on the commit clock.
    using Receive = std::function<void(std::vector<ChangeNotice> &&notices, quint64 transaction)>;

    FeedRelay(StoreConnector connector, CommitClock &clock, QObject *parent = nullptr);
    ~FeedRelay() override;

    // Connects, reads where the feed ends (`start`) and begins listening; false with the reason.
    bool start(Receive receive, FeedPosition *start, QString *error);
    // Sends `notice` to the other servers now, without keeping it.
    void broadcast(const ChangeNotice &notice);
    // Asks for the stream to be read now: a notice numbered past what was delivered came first.
    void readSoon(const QString &stream);
    // False while the connection is gone: the server is then cut off from the others.
    bool isConnected() const;

private:
    class Worker;

    StoreConnector connector;
    CommitClock &clock;
    std::unique_ptr<QThread> thread;
    Worker *worker = nullptr;
    std::shared_ptr<std::atomic<bool>> connected;
};
