#include "model/metatypes.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "session/chatsession.h"
#include "store/chatstore.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

// The client's uploads against the real server: a file's way from the composer to one stored
// message, or to a failure the user can read.
class TestUploadSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void fileEndsInOneMessageOrNone_data();
    void fileEndsInOneMessageOrNone();
    void refusedFileShowsWhy_data();
    void refusedFileShowsWhy();

private:
    bool startServer(const ChatServer::Options &options);
    QString writeFile(qint64 size);
    // Starts `count` uploads of alice's that send their head and wait, holding their places.
    bool holdUploads(int count);
    // Messages stored in the chat.
    std::vector<MessageRecord> stored(const QString &chatId) const;

    ServerFixture fixture;
    QTemporaryDir files;
    QString alice, team, others;
    std::unique_ptr<ChatSession> session;
    std::vector<std::unique_ptr<QTcpSocket>> held;
};

void TestUploadSession::initTestCase()
{
    registerMetaTypes();
}

void TestUploadSession::cleanup()
{
    held.clear();
    session.reset();
    setImmutable(fixture.path() + QStringLiteral("/uploads"), false);
    fixture.stop();
}

bool TestUploadSession::startServer(const ChatServer::Options &options)
{
    alice = fixture.addUser(QStringLiteral("alice"));
    const QString bob = fixture.addUser(QStringLiteral("bob"));
    const QString carol = fixture.addUser(QStringLiteral("carol"));
    const auto group = [this](const QString &name, const QStringList &members) {
        return fixture.db
            ->createChat(QString(), name, QStringLiteral("group"), members.first(), members)
            ->id;
    };
    team = group(QStringLiteral("Team"), { alice, bob });
    others = group(QStringLiteral("Others"), { bob, carol });
    if (!fixture.start(options))
        return false;
    qputenv("FERROW_SERVER_HOST", "127.0.0.1");
    qputenv("FERROW_SERVER_PORT", QByteArray::number(fixture.port()));
    session = std::make_unique<ChatSession>();
    QSignalSpy ready(session.get(), &ChatSession::readyForLogin);
    session->start();
    if (!ready.wait(5000))
        return false;
    QSignalSpy history(session.get(), &ChatSession::chatHistoryReceived);
    session->logIn(QStringLiteral("alice"), QStringLiteral("secret"));
    return history.wait(10000) && QTest::qWaitFor([this] { return session->isOnline(); }, 5000);
}

QString TestUploadSession::writeFile(qint64 size)
{
    const QString path = files.filePath(QStringLiteral("report & notes.pdf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    const QByteArray block = QByteArray("%PDF-1.4\n").leftJustified(64 * 1024, 'x');
    for (qint64 left = size; left > 0; left -= block.size())
        file.write(block.left(int(std::min<qint64>(left, block.size()))));
    return path;
}

bool TestUploadSession::holdUploads(int count)
{
    for (int i = 0; i < count; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, fixture.port());
        socket->write("POST /upload?chatId=" + team.toLatin1()
            + "&name=held HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer "
            + session->httpToken().toLatin1()
            + "\r\nContent-Length: 1000\r\nExpect: 100-continue\r\n\r\n");
        // The server answers "100 Continue" once it counts the upload as under way.
        QTcpSocket *waiting = socket.get();
        if (!QTest::qWaitFor([waiting] { return waiting->peek(12) == "HTTP/1.1 100"; }, 5000))
            return false;
        held.push_back(std::move(socket));
    }
    return true;
}

std::vector<MessageRecord> TestUploadSession::stored(const QString &chatId) const
{
    return fixture.db->newestMessages(chatId, 10);
}

void TestUploadSession::fileEndsInOneMessageOrNone_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("busy");
    QTest::addColumn<bool>("diskRefuses");
    QTest::addColumn<bool>("cancel");

    QTest::newRow("taken at once") << qint64(300000) << 0 << false << false;
    QTest::newRow("after the user's other uploads made room")
        << qint64(300000) << 8 << false << false;
    QTest::newRow("refused by the server's disk, retried") << qint64(300000) << 0 << true << false;
    QTest::newRow("cancelled while uploading") << qint64(16 << 20) << 0 << false << true;
    QTest::newRow("cancelled while waiting for room") << qint64(300000) << 8 << false << true;
}

void TestUploadSession::fileEndsInOneMessageOrNone()
{
    QFETCH(qint64, size);
    QFETCH(int, busy);
    QFETCH(bool, diskRefuses);
    QFETCH(bool, cancel);
    FERROW_SET_UP(fixture);
    QVERIFY(startServer(fixture.defaultOptions()));
    const QString uploads = fixture.path() + QStringLiteral("/uploads");
    if (diskRefuses && !setImmutable(uploads, true))
        QSKIP("the upload folder cannot be made read-only here");
    QVERIFY(holdUploads(busy));
    session->openChat(team, QString());
    const QString path = writeFile(size);
    QSignalSpy failed(session.get(), &ChatSession::uploadFailed);
    std::vector<qint64> sent;
    connect(session.get(),
        &ChatSession::uploadProgressChanged,
        this,
        [&](const QString &, const QString &localId) {
            const auto progress = session->uploadProgress(localId);
            if (!progress)
                return;
            // Each try starts from nothing.
            if (progress->waiting || progress->sent == 0)
                sent.clear();
            // The user's click comes from the event loop, while the body is still going out.
            if (cancel && busy == 0 && sent.empty() && progress->sent > 0)
                QMetaObject::invokeMethod(
                    this, [&, localId] { session->cancelUpload(localId); }, Qt::QueuedConnection);
            sent.push_back(progress->sent);
        });

    QCOMPARE(
        session->sendFiles({ path }, QStringLiteral("the report")), ChatSession::SendResult::Sent);
    const QString localId = session->store().pendingMessages().front().id;
    if (busy > 0) {
        // Told to wait, the copy waits without a word to the user.
        QTRY_VERIFY(session->uploadProgress(localId) && session->uploadProgress(localId)->waiting);
        QCOMPARE(session->store().pendingMessage(localId)->status, Sending);
    }
    if (cancel) {
        if (busy > 0)
            session->cancelUpload(localId);
        held.clear();
        QTRY_VERIFY(session->store().pendingMessages().empty());
        QVERIFY(sent.empty() || sent.back() < size);
        // Nothing arrives later: no upload kept, no message.
        QVERIFY(!QTest::qWaitFor(
            [&] { return !QDir(uploads).entryList(QDir::Files).isEmpty(); }, 1500));
        QVERIFY(stored(team).empty());
        return;
    }
    held.clear();
    if (diskRefuses) {
        QTRY_COMPARE(session->store().pendingMessage(localId)->status, Failed);
        QCOMPARE(failed.first().at(2).toString(),
            QStringLiteral("The server refused the file (HTTP 500)."));
        QVERIFY(setImmutable(uploads, false));
        sent.clear();
        session->retry(localId);
    }
    QTRY_VERIFY_WITH_TIMEOUT(session->store().pendingMessages().empty(), 10000);
    QCOMPARE(failed.size(), diskRefuses ? 1 : 0);
    QVERIFY(!sent.empty());
    QCOMPARE(sent.back(), size);
    QVERIFY(std::is_sorted(sent.begin(), sent.end()));
    const std::vector<MessageRecord> messages = stored(team);
    QCOMPARE(int(messages.size()), 1);
    QCOMPARE(messages.front().text, QStringLiteral("the report"));
    QFile kept(uploads + QLatin1Char('/') + messages.front().uploadId);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QFile original(path);
    QVERIFY(original.open(QIODevice::ReadOnly));
    QVERIFY(kept.readAll() == original.readAll());
    QCOMPARE(session->store().chat(team)->messages.back().file.name,
        QStringLiteral("report & notes.pdf"));
}

void TestUploadSession::refusedFileShowsWhy_data()
{
    QTest::addColumn<bool>("member");
    QTest::addColumn<qint64>("quota");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<QString>("reason");

    QTest::newRow("not a member of the chat")
        << false << qint64(0) << qint64(0)
        << QStringLiteral("The server does not take files for this chat.");
    QTest::newRow("over the user's quota")
        << true << qint64(200000) << qint64(0)
        << QStringLiteral("The file is over the server's size limit or your upload quota.");
    // Refused before a byte goes out.
    QTest::newRow("over the server's limit") << true << qint64(0) << qint64(299999) << QString();
}

void TestUploadSession::refusedFileShowsWhy()
{
    QFETCH(bool, member);
    QFETCH(qint64, quota);
    QFETCH(qint64, limit);
    QFETCH(QString, reason);
    FERROW_SET_UP(fixture);
    ChatServer::Options options = fixture.defaultOptions();
    options.uploadQuota = quota;
    if (limit > 0)
        options.maxUploadSize = limit;
    QVERIFY(startServer(options));
    QCOMPARE(session->maxUploadSize(), options.maxUploadSize);
    const QString chatId = member ? team : others;
    session->openChat(chatId, QString());
    QSignalSpy failed(session.get(), &ChatSession::uploadFailed);

    const ChatSession::SendResult result = session->sendFiles({ writeFile(300000) }, QString());
    if (reason.isEmpty()) {
        QCOMPARE(result, ChatSession::SendResult::FileTooLarge);
        QVERIFY(session->store().pendingMessages().empty());
        return;
    }
    QCOMPARE(result, ChatSession::SendResult::Sent);
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().at(2).toString(), reason);
    const QString localId = session->store().pendingMessages().front().id;
    QCOMPARE(session->store().pendingMessage(localId)->status, Failed);
    // A refusal stands until the user retries; a retry asks the server again.
    session->retry(localId);
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.size(), 2);
    QVERIFY(stored(chatId).empty());
}

FERROW_SERVER_TEST_MAIN(TestUploadSession)
#include "tst_uploadsession.moc"
