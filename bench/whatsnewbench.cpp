// Figures of the chat list with previews and unread counts, in one process on the offscreen
// platform: the login push of a big account until every row is filled, the list's repaint while
// messages pour in for chats that are not open, and opening a chat full of mentions.
#include "app/mainwindow.h"
#include "fakechatserver.h"
#include "windowprobe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace
{

constexpr int bigChats = 1000;
constexpr int bigMessages = 50;
constexpr int mentionMessages = 10000;
constexpr int burstPerSecond = 1000;
constexpr int burstMs = 3000;
constexpr int runs = 5;
const qint64 baseTime = 1700000000;

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString chatId(int chat)
{
    return QStringLiteral("c-%1").arg(chat, 5, 10, QLatin1Char('0'));
}

QJsonObject message(const QString &chat, int index, const QString &sender, const QString &text)
{
    return { { QStringLiteral("messageId"), QString(chat + QStringLiteral("-m%1").arg(index)) },
        { QStringLiteral("chatId"), chat },
        { QStringLiteral("senderId"), sender },
        { QStringLiteral("timestamp"), baseTime + index },
        { QStringLiteral("content"), QJsonObject { { QStringLiteral("text"), text } } } };
}

QJsonObject chat(int number, int messages, const QString &text, int unread)
{
    const QString id = chatId(number);
    QJsonArray list;
    for (int i = 0; i < messages; ++i)
        list.append(message(id, i, QStringLiteral("u-other"), text.arg(i)));
    return { { QStringLiteral("chatId"), id },
        { QStringLiteral("chatName"), QStringLiteral("Chat %1").arg(number) },
        { QStringLiteral("chatType"), QStringLiteral("group") },
        { QStringLiteral("members"),
            QJsonArray { FakeChatServer::benchUserId(), QStringLiteral("u-other") } },
        { QStringLiteral("unreadCount"), unread },
        { QStringLiteral("messages"), list } };
}

QString frame(const char *type, const char *key, const QJsonArray &list)
{
    return compact(
        { { QStringLiteral("type"), QLatin1String(type) }, { QLatin1String(key), list } });
}

QString users()
{
    return frame("user_list_update",
        "users",
        { QJsonObject { { QStringLiteral("userId"), FakeChatServer::benchUserId() },
              { QStringLiteral("username"), QStringLiteral("bench") } },
            QJsonObject { { QStringLiteral("userId"), QStringLiteral("u-other") },
                { QStringLiteral("username"), QStringLiteral("other") } } });
}

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::size_t(double(values.size() - 1) * share)];
}

double median(const std::vector<double> &values)
{
    return percentile(values, 0.5);
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly)
        ? QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2)
        : QStringLiteral("?");
}

bool waitFor(const std::function<bool()> &done, int timeoutMs = 60000)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

struct Client {
    std::unique_ptr<FakeChatServer> server;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<WindowProbe> probe;
};

// A window logged in to a fresh fake server, shown, with nothing pushed yet.
bool startClient(Client &client, const QElapsedTimer &clock, bool previews)
{
    client.server = std::make_unique<FakeChatServer>(clock);
    if (!client.server->listen())
        return false;
    qputenv("FERROW_SERVER_PORT", QByteArray::number(client.server->port()));
    {
        QSettings settings(QStringLiteral("Ferrow"), QStringLiteral("MessengerClient"));
        settings.clear();
        settings.setValue(QStringLiteral("username"), QStringLiteral("bench"));
        settings.setValue(QStringLiteral("password"), QStringLiteral("bench"));
        settings.setValue(QStringLiteral("showPreviews"), previews);
    }
    client.window = std::make_unique<MainWindow>();
    client.probe = std::make_unique<WindowProbe>(*client.window);
    client.window->show();
    return waitFor([&client] { return client.server->isLoggedIn(); });
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_CACHE_HOME", home.filePath(QStringLiteral("cache")).toUtf8());
    // No secret store: the login stays in the settings file, as the bench wrote it.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    qputenv("FERROW_SERVER_HOST", "127.0.0.1");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QElapsedTimer clock;
    clock.start();

    QJsonArray big;
    for (int i = 0; i < bigChats; ++i)
        big.append(chat(i, bigMessages, QStringLiteral("the meeting moved to Thursday %1"), i % 7));
    const QString bigPush = frame("chat_history", "chats", big);
    std::printf("ferrow-whatsnewbench: offscreen, %d runs, load average %s\n",
        runs,
        qPrintable(loadAverage()));
    std::printf("  (login push: %d chats x %d messages, %.1f MiB)\n",
        bigChats,
        bigMessages,
        bigPush.toUtf8().size() / 1048576.0);

    // Off and on take turns, so that the machine's moods fall on both alike.
    std::vector<double> ready[2], repaint[2], repaintSlow[2], repaintMax[2];
    for (int run = 0; run < runs; ++run) {
        for (const bool previews : { false, true }) {
            Client client;
            if (!startClient(client, clock, previews))
                return 1;
            client.server->send(users());
            QListWidget *list = client.probe->chatListWidget();
            QElapsedTimer timer;
            timer.start();
            client.server->send(bigPush);
            // Ready: every row there, and the turn that fills the totals done.
            if (!waitFor([list] { return list->count() == bigChats; }))
                return 1;
            QCoreApplication::processEvents();
            ready[previews].push_back(timer.nsecsElapsed() / 1e6);

            // Messages for chats that are not open, at the rate asked for, while the list is
            // repainted as the screen would: every 16 ms.
            std::vector<double> paints;
            int sent = 0;
            QTimer feeder;
            feeder.setInterval(10);
            QObject::connect(&feeder, &QTimer::timeout, &feeder, [&] {
                for (int i = 0; i < burstPerSecond / 100; ++i, ++sent) {
                    QJsonObject m = message(chatId(1 + sent % (bigChats - 1)),
                        1000 + sent,
                        QStringLiteral("u-other"),
                        QStringLiteral("pushed %1").arg(sent));
                    m.insert(QStringLiteral("type"), QStringLiteral("message"));
                    client.server->send(compact(m));
                }
            });
            QTimer painter;
            painter.setInterval(16);
            QObject::connect(&painter, &QTimer::timeout, &painter, [&] {
                QElapsedTimer paint;
                paint.start();
                list->viewport()->repaint();
                paints.push_back(paint.nsecsElapsed() / 1e6);
            });
            feeder.start();
            painter.start();
            QElapsedTimer burst;
            burst.start();
            waitFor([&burst] { return burst.elapsed() >= burstMs; });
            feeder.stop();
            painter.stop();
            repaint[previews].push_back(median(paints));
            repaintSlow[previews].push_back(percentile(paints, 0.95));
            repaintMax[previews].push_back(*std::max_element(paints.begin(), paints.end()));
        }
    }
    for (const bool previews : { false, true }) {
        std::printf("previews %s:\n", previews ? "on" : "off");
        std::printf(
            "  login push -> every row filled       median %7.1f ms\n", median(ready[previews]));
        std::printf("  list repaint under %d frames/s      median %7.2f ms, 95th percentile %.2f ms"
                    " (worst run's max %.2f)\n",
            burstPerSecond,
            median(repaint[previews]),
            median(repaintSlow[previews]),
            *std::max_element(repaintMax[previews].begin(), repaintMax[previews].end()));
    }

    // Opening a chat of 10 000 messages that all mention the user, beside one that mentions
    // nobody: matching costs what the text costs.
    for (const bool mentions : { false, true }) {
        Client client;
        if (!startClient(client, clock, true))
            return 1;
        client.server->send(users());
        const QString text =
            mentions ? QStringLiteral("@bench @bench look %1 @bench") : QStringLiteral("look %1");
        client.server->send(frame("chat_history",
            "chats",
            { chat(0, mentionMessages, text, 0), chat(1, 1, QStringLiteral("x %1"), 0) }));
        QListWidget *list = client.probe->chatListWidget();
        if (!waitFor([list] { return list->count() == 2; }))
            return 1;
        std::vector<double> opens;
        for (int run = 0; run < runs; ++run) {
            for (int row = 0; row < 2; ++row) {
                QListWidgetItem *item = list->item(row);
                const bool big = item->data(Qt::UserRole).toString() == chatId(0);
                QElapsedTimer timer;
                timer.start();
                emit list->itemClicked(item);
                QCoreApplication::processEvents();
                if (big)
                    opens.push_back(timer.nsecsElapsed() / 1e6);
            }
        }
        std::printf("open a chat of %d messages, %s   median %7.1f ms\n",
            mentionMessages,
            mentions ? "all mentioning me" : "no mentions      ",
            median(opens));
    }
    return 0;
}
