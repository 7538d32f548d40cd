#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QWebSocketServer>

class QTcpSocket;
class QWebSocket;

// A chat server just big enough to drive one ferrow-desktop: it accepts one WebSocket on
// loopback, answers any password login with the bench user, pushes what the bench prepared,
// and notes when each "message_seen" and "get_history" arrives. On the same port it serves one
// picture for every "GET /static/upload/..." and counts them. Times are nanoseconds on the
// clock handed in, so that they compare with the bench's own.
class FakeChatServer : public QObject
{
    Q_OBJECT

public:
    FakeChatServer(const QElapsedTimer &clock, QObject *parent = nullptr);

    bool listen();
    quint16 port() const;

    // Frames sent right after "login_success", in order; empty to push nothing by itself.
    void setLoginPush(const QStringList &frames);
    // The body of every upload asked for.
    void setPicture(const QByteArray &png);
    int pictureRequests() const;

    bool isLoggedIn() const;
    bool isConnected() const;
    // Queues one text frame on the client's socket; false without a client.
    bool send(const QString &frame);

    // Forgets every receipt and history request seen so far.
    void resetObservations();
    // When the receipt for `messageId` arrived, or -1.
    qint64 receiptTime(const QString &messageId) const;
    int receiptCount(const QString &chatId) const;
    // How many receipts of the same chat came before the one for `messageId`, or -1.
    int receiptsBefore(const QString &messageId) const;
    // When the latest receipt for `chatId` arrived, or -1.
    qint64 lastReceiptTime(const QString &chatId) const;
    int historyRequests() const;
    qint64 lastHistoryRequestTime() const;
    QString lastHistoryChatId() const;

    static QString benchUserId();

signals:
    // Anything arrived that a waiting bench may be looking for.
    void observed();

private:
    void onTcpConnection();
    void onHttpHead(QTcpSocket *tcp);
    void onNewConnection();
    void onTextMessage(const QString &text);

    const QElapsedTimer &clock;
    QTcpServer front;
    QWebSocketServer server;
    QByteArray picture;
    int pictureCount = 0;
    QPointer<QWebSocket> socket;
    QStringList loginPush;
    bool loggedIn = false;
    QHash<QString, qint64> receipts;
    QHash<QString, int> receiptsPerChat;
    QHash<QString, int> receiptsAhead;
    QHash<QString, qint64> lastReceiptPerChat;
    int historyRequestCount = 0;
    qint64 historyRequestAt = -1;
    QString historyChatId;
};
