#include "epolldispatcher.h"
#include "servertestmain.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>
#include <arpa/inet.h>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// Both ends of a local stream socket pair, closed with the object.
struct SocketPair {
    int fds[2] = { -1, -1 };
    SocketPair()
    {
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds);
    }
    ~SocketPair()
    {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int end)
    {
        if (fds[end] >= 0)
            ::close(fds[end]);
        fds[end] = -1;
    }
};

} // namespace

class TestEpollDispatcher : public QObject
{
    Q_OBJECT

private slots:
    void isTheLoop();
    void timersFireByDeadline();
    void timerStoppedInItsSlotStaysStopped();
    void nestedLoopInTimerSlot();
    void remainingTimeAndRegisteredTimers();
    void socketsExchangeAcrossReusedDescriptors();
    void excludedSocketsWaitForLaterPass();
    void descriptorReusedWithinOnePassGetsNoStaleEvent();
    void hangUpAndErrorWakeEveryKind_data();
    void hangUpAndErrorWakeEveryKind();
    void interruptEndsTheWait();
    void wakesForCallsFromAnotherThread();
    void deleteLaterRuns();
};

void TestEpollDispatcher::isTheLoop()
{
    QVERIFY(qobject_cast<EpollEventDispatcher *>(QAbstractEventDispatcher::instance()));
}

void TestEpollDispatcher::timersFireByDeadline()
{
    QStringList fired;
    for (const int ms : { 40, 0, 15, 15, 1 })
        QTimer::singleShot(ms, this, [&fired, ms] { fired << QString::number(ms); });
    QTRY_COMPARE(fired.size(), 5);
    QCOMPARE(fired.join(QLatin1Char(' ')), QStringLiteral("0 1 15 15 40"));
}

void TestEpollDispatcher::timerStoppedInItsSlotStaysStopped()
{
    QTimer timer;
    timer.setInterval(1);
    int count = 0;
    connect(&timer, &QTimer::timeout, this, [&] {
        if (++count == 5)
            timer.stop();
    });
    timer.start();
    QTRY_COMPARE(count, 5);
    QTest::qWait(30);
    QCOMPARE(count, 5);
}

void TestEpollDispatcher::nestedLoopInTimerSlot()
{
    // A zero timer whose first call runs a nested loop must not be called again inside it, and
    // the nested loop must still see its own timer.
    QTimer zero;
    zero.setInterval(0);
    int calls = 0;
    int callsInsideNested = -1;
    connect(&zero, &QTimer::timeout, this, [&] {
        if (++calls != 1)
            return;
        QEventLoop nested;
        QTimer::singleShot(20, &nested, &QEventLoop::quit);
        nested.exec();
        callsInsideNested = calls;
    });
    zero.start();
    QTRY_VERIFY(callsInsideNested != -1);
    QCOMPARE(callsInsideNested, 1);
    QTRY_VERIFY(calls > 3);
}

void TestEpollDispatcher::remainingTimeAndRegisteredTimers()
{
    QObject owner;
    const int id = owner.startTimer(500);
    auto *dispatcher = QAbstractEventDispatcher::instance();
    const int remaining = dispatcher->remainingTime(id);
    QVERIFY2(remaining > 400 && remaining <= 500, qPrintable(QString::number(remaining)));
    const auto timers = dispatcher->registeredTimers(&owner);
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers.first().timerId, id);
    QCOMPARE(timers.first().interval, 500);
    owner.killTimer(id);
    QCOMPARE(dispatcher->remainingTime(id), -1);
    QVERIFY(dispatcher->registeredTimers(&owner).isEmpty());
}

void TestEpollDispatcher::socketsExchangeAcrossReusedDescriptors()
{
    // Closing every socket and opening new ones reuses descriptor numbers between passes; each
    // round must still reach the right sockets.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    std::vector<std::unique_ptr<QTcpSocket>> accepted;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            accepted.emplace_back(socket);
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->write(socket->readAll().toUpper());
            });
        }
    });
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        QHash<QTcpSocket *, QByteArray> answers;
        for (int i = 0; i < 20; ++i) {
            auto client = std::make_unique<QTcpSocket>();
            QTcpSocket *raw = client.get();
            const QByteArray greeting =
                QStringLiteral("round %1 client %2").arg(round).arg(i).toLatin1();
            connect(raw, &QTcpSocket::connected, this, [raw, greeting] { raw->write(greeting); });
            connect(raw, &QTcpSocket::readyRead, this, [raw, &answers] {
                answers[raw] += raw->readAll();
            });
            raw->connectToHost(QHostAddress::LocalHost, server.serverPort());
            clients.push_back(std::move(client));
        }
        for (int i = 0; i < 20; ++i) {
            const QByteArray expected =
                QStringLiteral("ROUND %1 CLIENT %2").arg(round).arg(i).toLatin1();
            QTRY_COMPARE(answers.value(clients[i].get()), expected);
        }
        clients.clear();
        accepted.clear();
    }
}

void TestEpollDispatcher::excludedSocketsWaitForLaterPass()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(5000));
    QTRY_VERIFY(server.hasPendingConnections());
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    QSignalSpy readable(peer.get(), &QTcpSocket::readyRead);
    client.write("hello");
    client.flush();
    // On loopback the bytes are there at once; give them a moment without running the loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::ExcludeSocketNotifiers, 10);
    QCOMPARE(readable.count(), 0);
    QTRY_VERIFY(readable.count() > 0);
}

void TestEpollDispatcher::descriptorReusedWithinOnePassGetsNoStaleEvent()
{
    // Both are readable before the pass, so one wait reports both. Whichever comes first closes
    // the other and opens a socket that takes its descriptor number: the event already read for
    // the old socket must reach neither the old notifier nor the new one.
    SocketPair first;
    SocketPair second;
    QVERIFY(first.fds[0] >= 0 && second.fds[0] >= 0);
    QVERIFY(::write(first.fds[1], "x", 1) == 1 && ::write(second.fds[1], "x", 1) == 1);
    auto firstNotifier = std::make_unique<QSocketNotifier>(first.fds[0], QSocketNotifier::Read);
    auto secondNotifier = std::make_unique<QSocketNotifier>(second.fds[0], QSocketNotifier::Read);
    std::unique_ptr<SocketPair> reusing;
    std::unique_ptr<QSocketNotifier> reusingNotifier;
    int reusingActivations = 0;
    int activations = 0;
    const auto takeOver = [&](SocketPair &own,
                              SocketPair &other,
                              std::unique_ptr<QSocketNotifier> &notifier) {
        ++activations;
        char byte = 0;
        QCOMPARE(::read(own.fds[0], &byte, 1), ssize_t(1));
        if (reusing)
            return;
        const int number = other.fds[0];
        notifier.reset();
        other.closeEnd(0);
        reusing = std::make_unique<SocketPair>();
        QCOMPARE(reusing->fds[0], number);
        reusingNotifier = std::make_unique<QSocketNotifier>(reusing->fds[0], QSocketNotifier::Read);
        connect(reusingNotifier.get(), &QSocketNotifier::activated, this, [&] {
            ++reusingActivations;
        });
    };
    connect(firstNotifier.get(), &QSocketNotifier::activated, this, [&] {
        takeOver(first, second, secondNotifier);
    });
    connect(secondNotifier.get(), &QSocketNotifier::activated, this, [&] {
        takeOver(second, first, firstNotifier);
    });
    // Registered notifiers reach epoll as the loop waits; the first pass sees both ready.
    QCoreApplication::processEvents();
    QTRY_VERIFY(reusing);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    QCOMPARE(activations, 1);
    QCOMPARE(reusingActivations, 0);
    // The new socket is watched for real.
    QVERIFY(::write(reusing->fds[1], "y", 1) == 1);
    QTRY_VERIFY(reusingActivations > 0);
}

void TestEpollDispatcher::hangUpAndErrorWakeEveryKind_data()
{
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("type");

    QTest::newRow("hang-up, read") << false << int(QSocketNotifier::Read);
    QTest::newRow("hang-up, exception") << false << int(QSocketNotifier::Exception);
    QTest::newRow("refused connection, read") << true << int(QSocketNotifier::Read);
    QTest::newRow("refused connection, exception") << true << int(QSocketNotifier::Exception);
}

void TestEpollDispatcher::hangUpAndErrorWakeEveryKind()
{
    QFETCH(bool, refused);
    QFETCH(int, type);
    SocketPair pair;
    int fd = pair.fds[0];
    if (refused) {
        // A port nobody listens on: the connection fails with an error on the socket.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    QSocketNotifier notifier(fd, QSocketNotifier::Type(type));
    QSignalSpy woken(&notifier, &QSocketNotifier::activated);
    if (!refused) {
        QCoreApplication::processEvents();
        QCOMPARE(woken.count(), 0);
        pair.closeEnd(1);
    }
    QTRY_VERIFY(woken.count() > 0);
    notifier.setEnabled(false);
    if (refused)
        ::close(fd);
}

void TestEpollDispatcher::interruptEndsTheWait()
{
    // No timer and no socket: only the interrupt can end the wait.
    auto *dispatcher = QAbstractEventDispatcher::instance();
    std::thread interrupter([dispatcher] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        dispatcher->interrupt();
    });
    const bool handled = dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
    interrupter.join();
    QVERIFY(!handled);
}

void TestEpollDispatcher::wakesForCallsFromAnotherThread()
{
    // No timer is due, so only the wake-up can end the wait.
    QEventLoop loop;
    bool called = false;
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        QMetaObject::invokeMethod(
            &loop,
            [&] {
                called = true;
                loop.quit();
            },
            Qt::QueuedConnection);
    });
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer failsafe;
    failsafe.setSingleShot(true);
    connect(&failsafe, &QTimer::timeout, &loop, &QEventLoop::quit);
    failsafe.start(10000);
    loop.exec();
    poster.join();
    QVERIFY(called);
    QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
}

void TestEpollDispatcher::deleteLaterRuns()
{
    QPointer<QObject> object = new QObject;
    object->deleteLater();
    QTRY_VERIFY(object.isNull());
}

FERROW_SERVER_TEST_MAIN(TestEpollDispatcher)

#include "tst_epolldispatcher.moc"
