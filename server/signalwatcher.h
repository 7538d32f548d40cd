#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal on the event loop. The handler only writes to a
// socket pair, the one thing that is safe inside a signal handler. One instance per process.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    bool isValid() const;

signals:
    void signalled(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *notifier = nullptr;
};
