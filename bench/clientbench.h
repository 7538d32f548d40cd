#pragma once

#include "fakechatserver.h"

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <vector>

class QProcess;

// Drives the real ferrow-desktop binary on a virtual X display against an in-process
// FakeChatServer and times what a user would wait for: every figure runs from an outside
// event (a click, a push) to a frame the client writes back ("message_seen" or "get_history").
class ClientBench : public QObject
{
    Q_OBJECT

public:
    struct Options {
        QString clientBinary;
        // An X display to use; empty to start an Xvfb of the bench's own.
        QString display;
        int runs = 5;
        // Scenario numbers to run; empty for all.
        QSet<int> scenarios;
        // The chat list shows previews and unread counts.
        bool previews = false;
    };

    explicit ClientBench(const Options &options, QObject *parent = nullptr);
    ~ClientBench() override;

    // Runs the chosen scenarios and prints their figures; the process exit code.
    int run();

private:
    struct Figure {
        Figure(const QString &label, const QString &unit)
            : label(label)
            , unit(unit)
        {
        }

        QString label;
        QString unit;
        std::vector<double> values;
        // CPU time the client spent over the same span, in ms: on a busy machine it says
        // more than the wall time does.
        std::vector<double> clientCpu;
    };

    bool wanted(int scenario) const;
    bool startDisplay();
    QProcessEnvironment displayEnvironment() const;
    bool startClient(const QStringList &loginPush);
    void stopClient();
    bool waitFor(const std::function<bool()> &done, int timeoutMs);
    void pause(int ms);
    bool xdotool(const QStringList &args, QString *output = nullptr, qint64 *finishedAt = nullptr);
    std::unique_ptr<QProcess> startClicker(const QStringList &args);
    void stopClicker(std::unique_ptr<QProcess> &clicker);
    bool findWindow();
    bool moveTo(int x, int y);
    bool openChatRow(int row, const QString &awaitedReceipt);
    void fail(const QString &what);
    double clientCpuMs() const;

    // With `pictures`, every message of the opened chat carries a picture.
    void openChatScenario(
        int messages, Figure &open, Figure &ahead, Figure &receipts, bool pictures = false);
    void bigLoginScenario(Figure &usable, Figure &memory, Figure &idle);
    void burstScenario(Figure &rate);
    void pagingScenario(bool replies, Figure &responsive);

    void print(const Figure &figure) const;

    Options options;
    QElapsedTimer clock;
    std::unique_ptr<QProcess> xvfb;
    QString display;
    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<QProcess> client;
    std::unique_ptr<FakeChatServer> server;
    QString windowId;
    int failures = 0;
    // The client starts with "Show pictures in messages" on.
    bool showPictures = false;
    // After an open with pictures: how many the client asked for.
    Figure *picturesAsked = nullptr;
};
