#pragma once

#include <QDeadlineTimer>
#include <QString>
#include <QTimer>
#include <QWidget>

class QLabel;
class QPushButton;

// The slim line that says how the connection is: "Connecting…", "Offline. Retrying in N s"
// with a "Retry now" button, briefly "Connected" once back, and for a few seconds the text of
// an "error" frame. A leaf view: the window tells it what to show.
class ConnectionBar : public QWidget
{
    Q_OBJECT

public:
    explicit ConnectionBar(QWidget *parent = nullptr);

    QString text() const;
    bool retryOffered() const;

public slots:
    void showConnecting();
    // `msUntilRetry` < 0: no retry is scheduled.
    void showOffline(int msUntilRetry);
    // A login was refused for too many failed logins and is tried again in `msUntilLogin`.
    void showLoginWait(int msUntilLogin);
    // Says "Connected" for a moment, then hides.
    void showConnected();
    // Shows `message` for a few seconds over whatever the bar said.
    void showError(const QString &message);
    void clear();

signals:
    void retryClicked();

private:
    void showState(const QString &text, bool offerRetry);
    void showCountdown(QString (*text)(int ms), int ms, bool offerRetry);
    void refresh();

    QLabel *label;
    QPushButton *retryButton;
    // What the connection state says, shown again when an error has had its time.
    QString stateText;
    bool stateRetry = false;
    QString errorText;
    QDeadlineTimer retryAt { QDeadlineTimer::Forever };
    QString (*countdownText)(int ms) = nullptr;
    QTimer countdown;
    QTimer errorTimer;
    QTimer connectedTimer;
};
