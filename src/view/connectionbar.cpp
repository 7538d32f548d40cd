#include "connectionbar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

namespace
{

// Long enough to read a short sentence, short enough not to linger.
constexpr int errorShownMs = 5000;
constexpr int connectedShownMs = 2000;

QString connectingText()
{
    return QStringLiteral("Connecting\u2026");
}

QString offlineText(int msUntilRetry)
{
    if (msUntilRetry < 0)
        return QStringLiteral("Offline.");
    // Rounded up, so that it never says 0 s while still waiting.
    return QStringLiteral("Offline. Retrying in %1 s").arg((msUntilRetry + 999) / 1000);
}

QString loginWaitText(int msUntilLogin)
{
    return QStringLiteral("Too many failed logins. Logging in again in %1 s")
        .arg((std::max(msUntilLogin, 0) + 999) / 1000);
}

} // namespace

ConnectionBar::ConnectionBar(QWidget *parent)
    : QWidget(parent)
    , label(new QLabel)
    , retryButton(new QPushButton(QStringLiteral("Retry now")))
{
    setObjectName(QStringLiteral("connectionBar"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 2, 10, 2);
    layout->addWidget(label, 1);
    layout->addWidget(retryButton);
    retryButton->setCursor(Qt::PointingHandCursor);
    retryButton->setFlat(true);
    // The bar is as high with the button as without it, so nothing below it moves.
    QSizePolicy keepRoom = retryButton->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    retryButton->setSizePolicy(keepRoom);
    retryButton->hide();
    connect(retryButton, &QAbstractButton::clicked, this, &ConnectionBar::retryClicked);

    countdown.setInterval(1000);
    connect(&countdown, &QTimer::timeout, this, [this] {
        stateText = countdownText(int(retryAt.remainingTime()));
        refresh();
    });
    errorTimer.setSingleShot(true);
    connect(&errorTimer, &QTimer::timeout, this, [this] {
        errorText.clear();
        refresh();
    });
    connectedTimer.setSingleShot(true);
    connect(&connectedTimer, &QTimer::timeout, this, [this] { showState(QString(), false); });
    hide();
}

QString ConnectionBar::text() const
{
    return isHidden() ? QString() : label->text();
}

bool ConnectionBar::retryOffered() const
{
    return !isHidden() && !retryButton->isHidden();
}

void ConnectionBar::showConnecting()
{
    showState(connectingText(), false);
}

void ConnectionBar::showOffline(int msUntilRetry)
{
    showCountdown(offlineText, msUntilRetry, true);
}

void ConnectionBar::showLoginWait(int msUntilLogin)
{
    showCountdown(loginWaitText, msUntilLogin, false);
}

void ConnectionBar::showCountdown(QString (*text)(int ms), int ms, bool offerRetry)
{
    showState(text(ms), offerRetry);
    if (ms >= 0) {
        countdownText = text;
        retryAt = QDeadlineTimer(ms);
        countdown.start();
    }
}

void ConnectionBar::showConnected()
{
    showState(QStringLiteral("Connected"), false);
    connectedTimer.start(connectedShownMs);
}

void ConnectionBar::showError(const QString &message)
{
    errorText = message;
    errorTimer.start(errorShownMs);
    refresh();
}

void ConnectionBar::clear()
{
    showState(QString(), false);
}

void ConnectionBar::showState(const QString &text, bool offerRetry)
{
    countdown.stop();
    connectedTimer.stop();
    stateText = text;
    stateRetry = offerRetry;
    refresh();
}

void ConnectionBar::refresh()
{
    const bool error = !errorText.isEmpty();
    label->setText(error ? errorText : stateText);
    retryButton->setVisible(!error && stateRetry);
    setVisible(error || !stateText.isEmpty());
}
