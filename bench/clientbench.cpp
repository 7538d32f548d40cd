#include "clientbench.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTextStream>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <random>
#include <unistd.h>

namespace
{

// Geometry of the client window (it does not change with the data): the chat list fills the
// top left of the window from y = 0, one row per 60 px; the message list is right of the
// 300 px sidebar, below the 60 px header.
constexpr int chatRowHeight = 60;
constexpr int chatListX = 150;
// The chat list starts below the sidebar's "Search messages" and "New Group…" buttons.
constexpr int chatListTop = 62;
constexpr int messageListX = 650;
constexpr int messageListY = 300;

// Bounds that only a stuck client reaches; the figures themselves are far below them.
constexpr int startTimeoutMs = 30000;
constexpr int stepTimeoutMs = 600000;
// A click that lands before the chat list is filled does nothing; it is tried again.
constexpr int probeAttempts = 20;
constexpr int probeWaitMs = 1500;
// Quiet time after opening the first chat, so that the timed step starts on an idle client.
constexpr int settleMs = 500;
constexpr int idleWindowMs = 5000;

const qint64 baseTime = 1700000000;
constexpr int otherUsers = 20;

// What the scenarios ask for.
constexpr int bigAccountChats = 1000;
constexpr int bigAccountMessages = 50;
constexpr int burstChats = 200;
constexpr int burstFrames = 20000;
constexpr int pagedMessages = 10000;
constexpr int heldBeforePaging = 60;

QString otherUserId(int index)
{
    return QStringLiteral("u-%1").arg(index % otherUsers + 1, 2, 10, QLatin1Char('0'));
}

QString chatId(int chat)
{
    return QStringLiteral("c-%1").arg(chat, 5, 10, QLatin1Char('0'));
}

// Ids shaped like the server's UUIDs, so that hashing and comparing them costs what it would.
QString messageId(int chat, int index)
{
    return QStringLiteral("%1-0000-4000-8000-%2")
        .arg(chat, 8, 10, QLatin1Char('0'))
        .arg(index, 12, 10, QLatin1Char('0'));
}

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Plain words of varied length, the same for the same seed.
QString sampleText(std::mt19937 &random)
{
    static const QStringList words = { QStringLiteral("the"),
        QStringLiteral("meeting"),
        QStringLiteral("moved"),
        QStringLiteral("to"),
        QStringLiteral("Thursday"),
        QStringLiteral("afternoon"),
        QStringLiteral("please"),
        QStringLiteral("bring"),
        QStringLiteral("numbers"),
        QStringLiteral("for"),
        QStringLiteral("quarter"),
        QStringLiteral("and"),
        QStringLiteral("a"),
        QStringLiteral("draft"),
        QStringLiteral("of"),
        QStringLiteral("report"),
        QStringLiteral("sounds"),
        QStringLiteral("good"),
        QStringLiteral("will"),
        QStringLiteral("do") };
    const int count = 4 + static_cast<int>(random() % 16);
    QString text;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            text += QLatin1Char(' ');
        text += words.at(static_cast<int>(random() % words.size()));
    }
    return text;
}

QJsonObject messageObject(const QString &chat,
    const QString &id,
    const QString &sender,
    qint64 timestamp,
    const QString &text,
    const QString &replyToId)
{
    QJsonArray seenBy;
    if (sender == FakeChatServer::benchUserId())
        seenBy.append(otherUserId(0));
    return QJsonObject { { QStringLiteral("messageId"), id },
        { QStringLiteral("chatId"), chat },
        { QStringLiteral("senderId"), sender },
        { QStringLiteral("timestamp"), timestamp },
        { QStringLiteral("content"),
            QJsonObject { { QStringLiteral("text"), text },
                { QStringLiteral("file"), QJsonValue::Null },
                { QStringLiteral("theme"), QJsonValue::Null } } },
        { QStringLiteral("replyToId"),
            replyToId.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(replyToId) },
        { QStringLiteral("seenBy"), seenBy },
        { QStringLiteral("editedAt"), 0 } };
}

enum class Replies { None, Tenth, All };

// Messages `first` .. `first + count - 1` of a chat, one second apart from `firstTime`. Every
// tenth is the bench user's own (seen by another member); the others are unseen by the bench
// user. With Replies::Tenth every tenth answers a recent earlier one; with Replies::All every
// one answers an earlier one of the batch, the first one the message just after the batch.
QJsonArray makeMessages(int chat, int first, int count, qint64 firstTime, Replies replies)
{
    std::mt19937 random(static_cast<unsigned>(chat * 7919 + first));
    const QString id = chatId(chat);
    QJsonArray messages;
    for (int index = first; index < first + count; ++index) {
        const QString sender =
            index % 10 == 0 ? FakeChatServer::benchUserId() : otherUserId(index + chat);
        QString replyTo;
        const int earlier = index - first;
        if (replies == Replies::All)
            replyTo = messageId(chat,
                earlier == 0 ? first + count
                             : index - 1 - static_cast<int>(random() % std::min(earlier, 500)));
        else if (replies == Replies::Tenth && index % 10 == 5 && earlier > 0)
            replyTo =
                messageId(chat, index - 1 - static_cast<int>(random() % std::min(earlier, 200)));
        messages.append(messageObject(id,
            messageId(chat, index),
            sender,
            firstTime + (index - first),
            sampleText(random),
            replyTo));
    }
    return messages;
}

// The same messages, each carrying a picture of 1024 x 768; one in five has a caption.
QJsonArray withPictures(QJsonArray messages)
{
    for (int i = 0; i < messages.size(); ++i) {
        QJsonObject message = messages.at(i).toObject();
        QJsonObject content = message.value(QLatin1String("content")).toObject();
        const QString name = QStringLiteral("photo-%1.png").arg(i);
        content.insert(QStringLiteral("file"),
            QJsonObject { { QStringLiteral("url"),
                              QStringLiteral("/static/upload/%1/%2")
                                  .arg(i, 32, 16, QLatin1Char('0'))
                                  .arg(name) },
                { QStringLiteral("name"), name },
                { QStringLiteral("size"), 250000 },
                { QStringLiteral("mime"), QStringLiteral("image/png") },
                { QStringLiteral("width"), 1024 },
                { QStringLiteral("height"), 768 } });
        if (i % 5 != 0)
            content.insert(QStringLiteral("text"), QString());
        message.insert(QStringLiteral("content"), content);
        messages[i] = message;
    }
    return messages;
}

// A picture with some detail in it, so that decoding it costs what a screenshot's would.
QByteArray benchPicture()
{
    QImage image(1024, 768, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgb(x / 4, y / 3, (x * y) % 256);
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

int unseenAmong(int first, int count)
{
    int unseen = 0;
    for (int index = first; index < first + count; ++index)
        unseen += index % 10 == 0 ? 0 : 1;
    return unseen;
}

QJsonObject chatObject(int chat, const QJsonArray &messages)
{
    QJsonArray members { FakeChatServer::benchUserId() };
    for (int i = 0; i < 4; ++i)
        members.append(otherUserId(chat + i));
    return QJsonObject { { QStringLiteral("chatId"), chatId(chat) },
        { QStringLiteral("chatName"), QStringLiteral("Chat %1").arg(chat) },
        { QStringLiteral("chatType"), QStringLiteral("group") },
        { QStringLiteral("ownerId"), FakeChatServer::benchUserId() },
        { QStringLiteral("avatarUrl"), QStringLiteral("/default.png") },
        { QStringLiteral("members"), members },
        { QStringLiteral("messages"), messages } };
}

QString historyFrame(const QJsonArray &chats)
{
    return compact(QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("chats"), chats } });
}

QString userListFrame()
{
    QJsonArray users { QJsonObject { { QStringLiteral("userId"), FakeChatServer::benchUserId() },
        { QStringLiteral("username"), QStringLiteral("bench") },
        { QStringLiteral("avatarUrl"), QStringLiteral("/default.png") } } };
    for (int i = 0; i < otherUsers; ++i) {
        users.append(QJsonObject { { QStringLiteral("userId"), otherUserId(i) },
            { QStringLiteral("username"), QStringLiteral("Bench User %1").arg(i + 1) },
            { QStringLiteral("avatarUrl"), QStringLiteral("/default.png") } });
    }
    return compact(QJsonObject { { QStringLiteral("type"), QStringLiteral("user_list_update") },
        { QStringLiteral("users"), users } });
}

// A "message" frame from another member; its id is unlike any in a history.
QString pushedMessage(int chat, int serial, qint64 timestamp)
{
    const QString id = QStringLiteral("pushed-%1-%2").arg(chat).arg(serial);
    QJsonObject frame = messageObject(chatId(chat),
        id,
        otherUserId(serial),
        timestamp,
        QStringLiteral("pushed message %1").arg(serial),
        QString());
    frame.insert(QStringLiteral("type"), QStringLiteral("message"));
    return compact(frame);
}

QString pushedMessageId(int chat, int serial)
{
    return QStringLiteral("pushed-%1-%2").arg(chat).arg(serial);
}

double toMs(qint64 ns)
{
    return ns / 1e6;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

// Resident memory of a process in MiB, or -1.
double residentMiB(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QString status = QString::fromLatin1(file.readAll());
    for (const QString &line : status.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("VmRSS:")))
            return line.section(QLatin1Char(':'), 1)
                       .trimmed()
                       .section(QLatin1Char(' '), 0, 0)
                       .toDouble()
                / 1024.0;
    }
    return -1;
}

// User plus system CPU time of a process in milliseconds, or -1.
double cpuMs(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    // The command name may hold spaces; the fields counted here follow its closing bracket.
    const QString stat = QString::fromLatin1(file.readAll());
    const QStringList fields =
        stat.mid(stat.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
    if (fields.size() < 13)
        return -1;
    const double ticks = fields.at(11).toDouble() + fields.at(12).toDouble();
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

ClientBench::ClientBench(const Options &options, QObject *parent)
    : QObject(parent)
    , options(options)
{
    clock.start();
}

ClientBench::~ClientBench()
{
    stopClient();
    if (xvfb) {
        xvfb->terminate();
        xvfb->waitForFinished(5000);
    }
}

bool ClientBench::wanted(int scenario) const
{
    return options.scenarios.isEmpty() || options.scenarios.contains(scenario);
}

void ClientBench::fail(const QString &what)
{
    ++failures;
    std::fprintf(stderr, "  run failed: %s\n", qPrintable(what));
    if (home) {
        QFile log(home->filePath(QStringLiteral("client.log")));
        if (log.open(QIODevice::ReadOnly)) {
            const QByteArray tail = log.readAll().right(2000);
            if (!tail.isEmpty())
                std::fprintf(stderr, "  client output (end):\n%s\n", tail.constData());
        }
    }
}

bool ClientBench::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // Wake on anything the server sees, and now and then for the rest (processes ending).
        QEventLoop loop;
        QTimer tick;
        tick.setSingleShot(true);
        connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
        if (server)
            connect(server.get(), &FakeChatServer::observed, &loop, &QEventLoop::quit);
        tick.start(static_cast<int>(std::min<qint64>(20, deadline.remainingTime())));
        loop.exec();
    }
    return true;
}

void ClientBench::pause(int ms)
{
    waitFor([] { return false; }, ms);
}

bool ClientBench::startDisplay()
{
    if (!options.display.isEmpty()) {
        display = options.display;
        return true;
    }
    xvfb = std::make_unique<QProcess>();
    xvfb->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Xvfb picks a free display itself and writes its number to the given descriptor.
    xvfb->start(QStringLiteral("Xvfb"),
        { QStringLiteral("-displayfd"),
            QStringLiteral("1"),
            QStringLiteral("-screen"),
            QStringLiteral("0"),
            QStringLiteral("1280x800x24"),
            QStringLiteral("-nolisten"),
            QStringLiteral("tcp") });
    if (!xvfb->waitForStarted(startTimeoutMs)) {
        std::fprintf(stderr, "cannot start Xvfb: %s\n", qPrintable(xvfb->errorString()));
        return false;
    }
    QByteArray number;
    waitFor(
        [this, &number] {
            number += xvfb->readAllStandardOutput();
            return number.contains('\n') || xvfb->state() != QProcess::Running;
        },
        startTimeoutMs);
    if (!number.contains('\n')) {
        std::fprintf(stderr, "Xvfb did not report its display\n");
        return false;
    }
    display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    return true;
}

QProcessEnvironment ClientBench::displayEnvironment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return environment;
}

bool ClientBench::xdotool(const QStringList &args, QString *output, qint64 *finishedAt)
{
    QProcess process;
    process.setProcessEnvironment(displayEnvironment());
    bool finished = false;
    connect(&process,
        qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
        this,
        [this, &finished, finishedAt] {
            if (finishedAt)
                *finishedAt = clock.nsecsElapsed();
            finished = true;
        });
    process.start(QStringLiteral("xdotool"), args);
    if (!waitFor([&finished] { return finished; }, startTimeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return false;
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

std::unique_ptr<QProcess> ClientBench::startClicker(const QStringList &args)
{
    auto clicker = std::make_unique<QProcess>();
    clicker->setProcessEnvironment(displayEnvironment());
    clicker->start(QStringLiteral("xdotool"), args);
    return clicker;
}

void ClientBench::stopClicker(std::unique_ptr<QProcess> &clicker)
{
    if (!clicker)
        return;
    clicker->kill();
    clicker->waitForFinished(5000);
    clicker.reset();
}

bool ClientBench::startClient(const QStringList &loginPush)
{
    stopClient();
    home = std::make_unique<QTemporaryDir>();
    if (!home->isValid())
        return false;
    const QDir root(home->path());
    for (const char *sub : { "config/Ferrow", "cache", "data", "runtime" })
        root.mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(root.filePath(QStringLiteral("runtime")),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // Stored credentials make the client log in as soon as it is connected.
    QFile settings(root.filePath(QStringLiteral("config/Ferrow/MessengerClient.conf")));
    if (!settings.open(QIODevice::WriteOnly))
        return false;
    settings.write("[General]\nusername=bench\npassword=bench\n");
    if (options.previews)
        settings.write("showPreviews=true\n");
    if (showPictures)
        settings.write("showPicturesInMessages=true\n");
    settings.close();

    server = std::make_unique<FakeChatServer>(clock);
    if (!server->listen())
        return false;
    server->setLoginPush(loginPush);

    QProcessEnvironment environment = displayEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("HOME"), home->path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), root.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("FERROW_SERVER_HOST"), QStringLiteral("127.0.0.1"));
    environment.insert(QStringLiteral("FERROW_SERVER_PORT"), QString::number(server->port()));
    environment.remove(QStringLiteral("SESSION_MANAGER"));
    // No secret store: the password stays in the bench's settings file instead of moving into
    // the desktop's keychain of whoever runs the bench.
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
        QStringLiteral("unix:path=") + root.filePath(QStringLiteral("no-bus")));
    environment.remove(QStringLiteral("FERROW_SERVER_TLS"));
    environment.remove(QStringLiteral("FERROW_SERVER_CA"));

    client = std::make_unique<QProcess>();
    client->setProcessEnvironment(environment);
    client->setProcessChannelMode(QProcess::MergedChannels);
    client->setStandardOutputFile(root.filePath(QStringLiteral("client.log")));
    client->start(options.clientBinary, QStringList());
    if (!client->waitForStarted(startTimeoutMs)) {
        fail(
            QStringLiteral("cannot start %1: %2").arg(options.clientBinary, client->errorString()));
        return false;
    }
    if (!waitFor([this] { return server->isLoggedIn(); }, startTimeoutMs)) {
        fail(QStringLiteral("the client did not log in"));
        return false;
    }
    if (!findWindow()) {
        fail(QStringLiteral("the client window did not show"));
        return false;
    }
    return true;
}

void ClientBench::stopClient()
{
    if (client) {
        client->terminate();
        if (!client->waitForFinished(5000)) {
            client->kill();
            client->waitForFinished(5000);
        }
        client.reset();
    }
    server.reset();
    windowId.clear();
}

bool ClientBench::findWindow()
{
    QString output;
    if (!xdotool({ QStringLiteral("search"),
                     QStringLiteral("--sync"),
                     QStringLiteral("--onlyvisible"),
                     QStringLiteral("--pid"),
                     QString::number(client->processId()),
                     QStringLiteral("--name"),
                     QStringLiteral("^Ferrow Desktop$") },
            &output))
        return false;
    windowId = output.section(QLatin1Char('\n'), 0, 0).trimmed();
    return !windowId.isEmpty();
}

bool ClientBench::moveTo(int x, int y)
{
    return xdotool({ QStringLiteral("mousemove"),
        QStringLiteral("--sync"),
        QStringLiteral("--window"),
        windowId,
        QString::number(x),
        QString::number(y) });
}

// Clicks a chat row until its chat opens, seen from the receipt for `awaitedReceipt`.
bool ClientBench::openChatRow(int row, const QString &awaitedReceipt)
{
    if (!moveTo(chatListX, chatListTop + row * chatRowHeight + chatRowHeight / 2))
        return false;
    for (int attempt = 0; attempt < probeAttempts; ++attempt) {
        if (!xdotool({ QStringLiteral("click"), QStringLiteral("1") }))
            return false;
        if (waitFor([this, &awaitedReceipt] { return server->receiptTime(awaitedReceipt) >= 0; },
                probeWaitMs))
            return true;
    }
    return false;
}

double ClientBench::clientCpuMs() const
{
    return client ? cpuMs(client->processId()) : -1;
}

void ClientBench::print(const Figure &figure) const
{
    const auto line = [](const QString &label, std::vector<double> values, const QString &unit) {
        if (values.empty()) {
            std::printf("  %-58s no successful run\n", qPrintable(label));
            return;
        }
        std::sort(values.begin(), values.end());
        const double median = values.size() % 2 == 1
            ? values[values.size() / 2]
            : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
        std::printf("  %-58s median %9.1f %-8s (min %.1f, max %.1f, %zu runs)\n",
            qPrintable(label),
            median,
            qPrintable(unit),
            values.front(),
            values.back(),
            values.size());
    };
    line(figure.label, figure.values, figure.unit);
    if (!figure.clientCpu.empty())
        line(QStringLiteral("   client CPU time in it"), figure.clientCpu, QStringLiteral("ms"));
    std::fflush(stdout);
}

// A chat of `messages` held since the login push is opened by a click; a message pushed into
// it right after the click is answered once the chat is open and the client free again.
void ClientBench::openChatScenario(
    int messages, Figure &open, Figure &ahead, Figure &receipts, bool pictures)
{
    // Row 0: a chat of one unseen message, opened first to know the push is applied. Row 1:
    // the measured chat. Below: twenty ordinary chats.
    const int probeChat = 0;
    const int targetChat = 1;
    QJsonArray chats;
    chats.append(
        chatObject(probeChat, makeMessages(probeChat, 1, 1, baseTime + 2000000, Replies::None)));
    const QJsonArray target =
        makeMessages(targetChat, 0, messages, baseTime + 1000000 - messages, Replies::Tenth);
    chats.append(chatObject(targetChat, pictures ? withPictures(target) : target));
    for (int chat = 2; chat < 22; ++chat)
        chats.append(
            chatObject(chat, makeMessages(chat, 0, 20, baseTime - chat * 100, Replies::Tenth)));
    const QStringList push { historyFrame(chats), userListFrame() };
    const int expectedReceipts = unseenAmong(0, messages) + 1;
    const QString pushed = pushedMessage(targetChat, 1, baseTime + 1500000);
    const QString pushedId = pushedMessageId(targetChat, 1);

    for (int run = 0; run < options.runs; ++run) {
        if (!startClient(push))
            continue;
        if (pictures)
            server->setPicture(benchPicture());
        if (!openChatRow(0, messageId(probeChat, 1))) {
            fail(QStringLiteral("the first chat did not open"));
            continue;
        }
        pause(settleMs);
        if (!moveTo(chatListX, chatListTop + 1 * chatRowHeight + chatRowHeight / 2)) {
            fail(QStringLiteral("cannot move the pointer"));
            continue;
        }
        server->resetObservations();
        const double cpuBefore = clientCpuMs();
        qint64 clicked = -1;
        if (!xdotool({ QStringLiteral("click"), QStringLiteral("1") }, nullptr, &clicked)) {
            fail(QStringLiteral("cannot click"));
            continue;
        }
        server->send(pushed);
        if (!waitFor(
                [this, &pushedId] { return server->receiptTime(pushedId) >= 0; }, stepTimeoutMs)) {
            fail(QStringLiteral("the pushed message was not acknowledged"));
            continue;
        }
        open.values.push_back(toMs(server->receiptTime(pushedId) - clicked));
        ahead.values.push_back(server->receiptsBefore(pushedId));
        if (!waitFor([&] { return server->receiptCount(chatId(targetChat)) >= expectedReceipts; },
                stepTimeoutMs)) {
            fail(QStringLiteral("%1 of %2 receipts arrived")
                     .arg(server->receiptCount(chatId(targetChat)))
                     .arg(expectedReceipts));
            continue;
        }
        receipts.values.push_back(toMs(server->lastReceiptTime(chatId(targetChat)) - clicked));
        receipts.clientCpu.push_back(clientCpuMs() - cpuBefore);
        if (picturesAsked) {
            pause(settleMs);
            picturesAsked->values.push_back(server->pictureRequests());
        }
    }
    stopClient();
}

// The whole account arrives at once after login; the newest chat is clicked over and over until
// it opens and answers a message pushed behind the history.
void ClientBench::bigLoginScenario(Figure &usable, Figure &memory, Figure &idle)
{
    QJsonArray chats;
    for (int chat = 0; chat < bigAccountChats; ++chat) {
        chats.append(chatObject(chat,
            makeMessages(chat, 0, bigAccountMessages, baseTime - chat * 100, Replies::Tenth)));
    }
    const QString history = historyFrame(chats);
    chats = QJsonArray();
    std::printf("  (login push: %d chats x %d messages, %.1f MiB)\n",
        bigAccountChats,
        bigAccountMessages,
        history.toUtf8().size() / 1048576.0);
    const QString users = userListFrame();
    const QString pushed = pushedMessage(0, 1, baseTime + 1000);
    const QString pushedId = pushedMessageId(0, 1);

    for (int run = 0; run < options.runs; ++run) {
        if (!startClient({}))
            continue;
        if (!moveTo(chatListX, chatListTop + chatRowHeight / 2)) {
            fail(QStringLiteral("cannot move the pointer"));
            continue;
        }
        pause(settleMs);
        const double cpuBefore = clientCpuMs();
        server->send(history);
        server->send(users);
        server->send(pushed);
        const qint64 pushedAt = clock.nsecsElapsed();
        // Clicks before the rows exist land on nothing; one every 10 ms bounds the error.
        std::unique_ptr<QProcess> clicker = startClicker({ QStringLiteral("click"),
            QStringLiteral("--repeat"),
            QStringLiteral("100000"),
            QStringLiteral("--delay"),
            QStringLiteral("10"),
            QStringLiteral("1") });
        const bool answered = waitFor(
            [this, &pushedId] { return server->receiptTime(pushedId) >= 0; }, stepTimeoutMs);
        stopClicker(clicker);
        if (!answered) {
            fail(QStringLiteral("the first chat did not open"));
            continue;
        }
        usable.values.push_back(toMs(server->receiptTime(pushedId) - pushedAt));
        usable.clientCpu.push_back(clientCpuMs() - cpuBefore);
        memory.values.push_back(residentMiB(client->processId()));

        pause(1000);
        const double before = cpuMs(client->processId());
        pause(idleWindowMs);
        const double after = cpuMs(client->processId());
        if (before >= 0 && after >= 0)
            idle.values.push_back(after - before);
    }
    stopClient();
}

// A chat is open; a burst of messages for other chats arrives, then one for the open chat.
void ClientBench::burstScenario(Figure &rate)
{
    QJsonArray chats;
    for (int chat = 0; chat < burstChats; ++chat)
        chats.append(
            chatObject(chat, makeMessages(chat, 0, 10, baseTime - chat * 100, Replies::Tenth)));
    const QStringList push { historyFrame(chats), userListFrame() };
    QStringList burst;
    burst.reserve(burstFrames + 1);
    for (int serial = 0; serial < burstFrames; ++serial)
        burst.append(
            pushedMessage(1 + serial % (burstChats - 1), serial, baseTime + 1000 + serial));
    burst.append(pushedMessage(0, burstFrames, baseTime + 1000 + burstFrames));
    const QString lastId = pushedMessageId(0, burstFrames);

    for (int run = 0; run < options.runs; ++run) {
        if (!startClient(push))
            continue;
        if (!openChatRow(0, messageId(0, 9))) {
            fail(QStringLiteral("the first chat did not open"));
            continue;
        }
        pause(settleMs);
        const double cpuBefore = clientCpuMs();
        // Queued first, written as fast as the client reads.
        for (const QString &frame : qAsConst(burst))
            server->send(frame);
        const qint64 sentAt = clock.nsecsElapsed();
        if (!waitFor([this, &lastId] { return server->receiptTime(lastId) >= 0; }, stepTimeoutMs)) {
            fail(QStringLiteral("the last message of the burst was not acknowledged"));
            continue;
        }
        const qint64 elapsed = server->receiptTime(lastId) - sentAt;
        rate.values.push_back(burst.size() / (elapsed / 1e9));
        rate.clientCpu.push_back(clientCpuMs() - cpuBefore);
    }
    stopClient();
}

// The open chat is scrolled to its top; the client asks for older messages and gets a page of
// 10 000, which it prepends. A message pushed right behind the page is answered once that is
// done.
void ClientBench::pagingScenario(bool replies, Figure &responsive)
{
    const int first = pagedMessages;
    const QStringList push {
        historyFrame({ chatObject(0,
            makeMessages(
                0, first, heldBeforePaging, baseTime - heldBeforePaging, Replies::Tenth)) }),
        userListFrame()
    };
    const QString page = historyFrame({ chatObject(0,
        makeMessages(0,
            0,
            pagedMessages,
            baseTime - heldBeforePaging - pagedMessages,
            replies ? Replies::All : Replies::None)) });
    const QString pushed = pushedMessage(0, 1, baseTime + 1000);
    const QString pushedId = pushedMessageId(0, 1);

    for (int run = 0; run < options.runs; ++run) {
        if (!startClient(push))
            continue;
        const int newest = first + heldBeforePaging - 1;
        if (!openChatRow(0, messageId(0, newest % 10 == 0 ? newest - 1 : newest))) {
            fail(QStringLiteral("the chat did not open"));
            continue;
        }
        pause(settleMs);
        if (!moveTo(messageListX, messageListY)) {
            fail(QStringLiteral("cannot move the pointer"));
            continue;
        }
        // Wheel up until the client asks for what is older than it holds.
        std::unique_ptr<QProcess> wheel = startClicker({ QStringLiteral("click"),
            QStringLiteral("--repeat"),
            QStringLiteral("500"),
            QStringLiteral("--delay"),
            QStringLiteral("30"),
            QStringLiteral("4") });
        const bool asked = waitFor([this] { return server->historyRequests() > 0; }, stepTimeoutMs);
        stopClicker(wheel);
        if (!asked) {
            fail(QStringLiteral("the client did not ask for older messages"));
            continue;
        }
        pause(settleMs);
        const double cpuBefore = clientCpuMs();
        server->send(page);
        server->send(pushed);
        const qint64 sentAt = clock.nsecsElapsed();
        if (!waitFor(
                [this, &pushedId] { return server->receiptTime(pushedId) >= 0; }, stepTimeoutMs)) {
            fail(QStringLiteral("the message after the page was not acknowledged"));
            continue;
        }
        responsive.values.push_back(toMs(server->receiptTime(pushedId) - sentAt));
        responsive.clientCpu.push_back(clientCpuMs() - cpuBefore);
    }
    stopClient();
}

int ClientBench::run()
{
    if (!startDisplay())
        return 1;
    std::printf("ferrow-clientbench: %s on display %s, %d runs per scenario\n",
        qPrintable(options.clientBinary),
        qPrintable(display),
        options.runs);
    const auto heading = [](const char *title) {
        std::printf("%s (load average %s)\n", title, qPrintable(loadAverage()));
        std::fflush(stdout);
    };

    if (wanted(1) || wanted(2)) {
        heading("1, 2. Open a chat held since login: click -> answer to a message pushed after it");
        for (const int messages : { 100, 1000, 10000 }) {
            Figure open(
                QStringLiteral("1. open chat of %1 messages").arg(messages), QStringLiteral("ms"));
            // Tells a client that shows the chat first from one that writes every receipt first.
            Figure ahead(QStringLiteral("1. receipts written before that answer"), QString());
            Figure receipts(QStringLiteral("2. last receipt of %1 messages").arg(messages),
                QStringLiteral("ms"));
            openChatScenario(messages, open, ahead, receipts);
            print(open);
            print(ahead);
            print(receipts);
        }
    }
    if (wanted(7)) {
        heading(
            "7. Open a chat of 1000 picture messages: click -> answer to a message pushed after "
            "it");
        for (const bool shown : { false, true }) {
            const QString how = shown ? QStringLiteral("shown") : QStringLiteral("not shown");
            Figure open(
                QStringLiteral("7. open chat of 1000 pictures, %1").arg(how), QStringLiteral("ms"));
            Figure ahead(QStringLiteral("7. receipts written before that answer"), QString());
            Figure receipts(
                QStringLiteral("7. last receipt of 1000 pictures"), QStringLiteral("ms"));
            Figure asked(QStringLiteral("7. pictures asked for, %1").arg(how), QString());
            showPictures = shown;
            picturesAsked = &asked;
            openChatScenario(1000, open, ahead, receipts, true);
            showPictures = false;
            picturesAsked = nullptr;
            print(open);
            print(receipts);
            print(asked);
        }
    }
    if (wanted(3) || wanted(6)) {
        heading("3, 6. Login push of a big account, then idle");
        Figure usable(
            QStringLiteral("3. push -> first chat open and answering"), QStringLiteral("ms"));
        Figure memory(QStringLiteral("3. resident memory after it"), QStringLiteral("MiB"));
        Figure idle(QStringLiteral("6. CPU time while idle for %1 s").arg(idleWindowMs / 1000),
            QStringLiteral("ms"));
        bigLoginScenario(usable, memory, idle);
        print(usable);
        print(memory);
        print(idle);
    }
    if (wanted(4)) {
        heading("4. Burst of messages for chats that are not open");
        Figure rate(QStringLiteral("4. %1 frames + 1 for the open chat").arg(burstFrames),
            QStringLiteral("frames/s"));
        burstScenario(rate);
        print(rate);
    }
    if (wanted(5)) {
        heading("5. A page of older messages prepended to the open chat");
        for (const bool replies : { true, false }) {
            Figure responsive(
                QStringLiteral("5. page of %1, %2 -> answering again")
                    .arg(pagedMessages)
                    .arg(replies ? QStringLiteral("all replies") : QStringLiteral("no replies")),
                QStringLiteral("ms"));
            pagingScenario(replies, responsive);
            print(responsive);
        }
    }
    std::printf("done (load average %s)\n", qPrintable(loadAverage()));
    return failures == 0 ? 0 : 1;
}
