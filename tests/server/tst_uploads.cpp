#include "protocol.h"
#include "serverfixture.h"
#include "servertestmain.h"
#include "staticfiles.h"
#include "testframes.h"
#include "uploadformat.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QtTest>
#include <functional>
#include <optional>

namespace
{

constexpr qint64 day = 24 * 3600 * 1000;

struct Answer {
    int status = 0;
    QByteArray head;
    // The first MiB of the body; `bodyBytes` counts all of it.
    QByteArray body;
    qint64 bodyBytes = 0;
    QByteArray header(const QByteArray &name) const
    {
        return staticfiles::headerValue(head, name);
    }
    QJsonObject json() const
    {
        return QJsonDocument::fromJson(body).object();
    }
};

// Sends `request`, then `bodyBytes` of `body` repeated (topped up as the socket drains, so that
// the client holds little), and reads until the server closes. `each` runs at every turn.
Answer exchange(quint16 port,
    const QByteArray &request,
    const QByteArray &body = {},
    qint64 bodyBytes = -1,
    const std::function<void(QTcpSocket &)> &each = {})
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    qint64 left = bodyBytes < 0 ? body.size() : bodyBytes;
    QByteArray received;
    Answer answer;
    // A server that never closes shows as an answer without a status.
    [[maybe_unused]] const bool closed = QTest::qWaitFor(
        [&] {
            while (left > 0 && socket.bytesToWrite() < 1024 * 1024) {
                const QByteArray piece = body.left(int(std::min<qint64>(left, body.size())));
                socket.write(piece);
                left -= piece.size();
            }
            if (each)
                each(socket);
            if (socket.isOpen())
                received += socket.readAll();
            const int end = answer.head.isEmpty() ? received.indexOf("\r\n\r\n") : -1;
            if (end >= 0) {
                answer.head = received.left(end);
                received.remove(0, end + 4);
            }
            if (!answer.head.isEmpty()) {
                answer.bodyBytes += received.size();
                answer.body += received.left(1024 * 1024 - answer.body.size());
                received.clear();
            }
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        20000);
    answer.status = answer.head.mid(9, 3).toInt();
    return answer;
}

QByteArray uploadHead(const QString &token, const QByteArray &query, qint64 length)
{
    return "POST /upload?" + query + " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer "
        + token.toLatin1() + "\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

QByteArray query(const QString &chatId, const QString &name)
{
    return "chatId=" + QUrl::toPercentEncoding(chatId) + "&name=" + QUrl::toPercentEncoding(name);
}

QByteArray getHead(const QString &token, const QByteArray &target, const QByteArray &extra = {})
{
    return "GET " + target + " HTTP/1.1\r\nHost: x\r\n"
        + (token.isEmpty() ? QByteArray() : "Authorization: Bearer " + token.toLatin1() + "\r\n")
        + extra + "\r\n";
}

QByteArray pngHead(quint32 width, quint32 height)
{
    QByteArray bytes("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (const quint32 value : { width, height }) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.append(char((value >> shift) & 0xff));
    }
    return bytes + QByteArray(17, '\0');
}

QJsonObject fileMessage(const QString &key, const QString &target, const QJsonValue &file)
{
    QJsonObject request = messageTo(key, target, QStringLiteral("caption"));
    QJsonObject withFile = content(QStringLiteral("caption"));
    withFile.insert(QStringLiteral("file"), file);
    request.insert(QStringLiteral("content"), withFile);
    return request;
}

} // namespace

class TestUploads : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sniffsTypeAndPictureSize_data();
    void sniffsTypeAndPictureSize();
    void uploadAndDownloadNeedAMembersToken_data();
    void uploadAndDownloadNeedAMembersToken();
    void refusesBadUploads_data();
    void refusesBadUploads();
    void servesRangesAndDispositions_data();
    void servesRangesAndDispositions();
    void messagesCarryOnlyTheSendersUploads_data();
    void messagesCarryOnlyTheSendersUploads();
    void filesGoWhenNoMessageCarriesThem_data();
    void filesGoWhenNoMessageCarriesThem();
    void removalSkipsAnUploadAMessageIsTaking();
    void brokenBodiesLeaveNoFile_data();
    void brokenBodiesLeaveNoFile();
    void leftoverFilesAreSwept_data();
    void leftoverFilesAreSwept();
    void quotaCountsUploadsUnderWay_data();
    void quotaCountsUploadsUnderWay();
    void parallelUploadsOfOneUserStayBounded();
    void streamingKeepsMemoryFlat();

private:
    QString httpToken(const QString &username, quint16 port = 0);
    Answer upload(
        const QString &token, const QString &chatId, const QString &name, const QByteArray &body);
    QStringList filesInUploadDir() const;
    // Makes a file in the upload folder where missing, last written `ageMs` before the clock.
    void age(const QString &name, qint64 ageMs);

    ServerFixture fixture;
    QString alice, bob, dave, team;
    qint64 nowMs = 0;
    std::vector<std::unique_ptr<Peer>> peers;
};

void TestUploads::init()
{
    FERROW_SET_UP(fixture);
    alice = fixture.addUser(QStringLiteral("alice"));
    bob = fixture.addUser(QStringLiteral("bob"));
    fixture.addUser(QStringLiteral("carol"));
    dave = fixture.addUser(QStringLiteral("dave"));
    team =
        fixture.db
            ->createChat({}, QStringLiteral("Team"), QStringLiteral("group"), alice, { alice, bob })
            ->id;
    nowMs = QDateTime::currentMSecsSinceEpoch();
    ChatServer::Options options = fixture.defaultOptions();
    options.clock = [this] { return nowMs; };
    options.maxConnectionsPerAddress = 0;
    options.maxUploadSize = 4 * 1024 * 1024;
    options.uploadQuota = 6 * 1024 * 1024;
    options.uploadStallTimeoutMs = 1000;
    options.uploadSweepIntervalMs = 50;
    QVERIFY(fixture.start(options));
}

void TestUploads::cleanup()
{
    peers.clear();
    fixture.stop();
}

QString TestUploads::httpToken(const QString &username, quint16 port)
{
    peers.push_back(
        Peer::loginTo(port ? port : fixture.port(), username, QStringLiteral("secret")));
    return peers.back()
        ? peers.back()->loginFrames.at(0).value(QLatin1String("httpToken")).toString()
        : QString();
}

Answer TestUploads::upload(
    const QString &token, const QString &chatId, const QString &name, const QByteArray &body)
{
    return exchange(fixture.port(), uploadHead(token, query(chatId, name), body.size()), body);
}

QStringList TestUploads::filesInUploadDir() const
{
    return QDir(fixture.path() + QStringLiteral("/uploads"))
        .entryList(QDir::Files | QDir::Hidden | QDir::System);
}

void TestUploads::age(const QString &name, qint64 ageMs)
{
    QFile file(fixture.path() + QStringLiteral("/uploads/") + name);
    QVERIFY(file.open(QIODevice::Append));
    QVERIFY(file.setFileTime(
        QDateTime::fromMSecsSinceEpoch(nowMs - ageMs), QFileDevice::FileModificationTime));
}

void TestUploads::sniffsTypeAndPictureSize_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QString>("mime");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");

    QTest::newRow("PNG") << pngHead(640, 480) << "image/png" << 640 << 480;
    QTest::newRow("PNG claiming 100000 x 100000")
        << pngHead(100000, 100000) << "image/png" << 100000 << 100000;
    const QByteArray jpeg("\xff\xd8\xff\xe0\0\x10JFIF\0\x01\x01\0\0\x01\0\x01\0\0"
                          "\xff\xc0\0\x11\x08\x01\xe0\x02\x80\x03",
        30);
    QTest::newRow("JPEG after its JFIF segment") << jpeg << "image/jpeg" << 640 << 480;
    QTest::newRow("JPEG cut before its frame header") << jpeg.left(22) << "image/jpeg" << 0 << 0;
    QTest::newRow("GIF") << QByteArray("GIF89a\x07\0\x09\0", 10) << "image/gif" << 7 << 9;
    QTest::newRow("WebP") << QByteArray(
        "RIFF\0\0\0\0WEBPVP8X\x0a\0\0\0\0\0\0\0\x1f\0\0\x0f\0\0", 30)
                          << "image/webp" << 32 << 16;
    QTest::newRow("HTML") << QByteArray("<!DOCTYPE html><script>alert(1)</script>") << "text/html"
                          << 0 << 0;
    QTest::newRow("SVG") << QByteArray("<?xml version=\"1.0\"?><svg/>") << "image/svg+xml" << 0
                         << 0;
    QTest::newRow("PDF") << QByteArray("%PDF-1.7\n") << "application/pdf" << 0 << 0;
    QTest::newRow("text") << QByteArray("plain words\n") << "text/plain" << 0 << 0;
    QTest::newRow("binary") << QByteArray("\x01\x02\x03\0", 4) << "application/octet-stream" << 0
                            << 0;
}

void TestUploads::sniffsTypeAndPictureSize()
{
    QFETCH(QByteArray, head);
    QFETCH(QString, mime);
    QFETCH(int, width);
    QFETCH(int, height);
    const uploadformat::Sniffed sniffed = uploadformat::sniff(head);
    QCOMPARE(sniffed.mime, mime);
    QCOMPARE(sniffed.width, width);
    QCOMPARE(sniffed.height, height);
}

void TestUploads::uploadAndDownloadNeedAMembersToken_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<int>("uploadStatus");
    QTest::addColumn<int>("downloadStatus");

    QTest::newRow("member") << "member" << 201 << 200;
    QTest::newRow("non-member") << "carol" << 403 << 403;
    QTest::newRow("no token") << "none" << 401 << 401;
    QTest::newRow("expired token") << "expired" << 401 << 401;
    QTest::newRow("login token of the WebSocket") << "login" << 401 << 401;
    QTest::newRow("token from another server") << "other server" << 201 << 200;
}

void TestUploads::uploadAndDownloadNeedAMembersToken()
{
    QFETCH(QString, token);
    QFETCH(int, uploadStatus);
    QFETCH(int, downloadStatus);
    const Answer first =
        upload(httpToken(QStringLiteral("alice")), team, QStringLiteral("a.txt"), "hello");
    QCOMPARE(first.status, 201);
    ChatServer other(fixture.location.connector(), fixture.options);
    QVERIFY(other.listen(QHostAddress::LocalHost, 0));
    QString used;
    if (token == QLatin1String("member"))
        used = httpToken(QStringLiteral("bob"));
    else if (token == QLatin1String("carol"))
        used = httpToken(token);
    else if (token == QLatin1String("expired"))
        used = httpToken(QStringLiteral("bob"));
    else if (token == QLatin1String("login"))
        used = (httpToken(QStringLiteral("bob")), peers.back()->loginFrames.at(0))
                   .value(QLatin1String("token"))
                   .toString();
    else if (token == QLatin1String("other server"))
        used = httpToken(QStringLiteral("bob"), other.serverPort());
    if (token == QLatin1String("expired"))
        nowMs += day + 1000;

    QCOMPARE(upload(used, team, QStringLiteral("b.txt"), "x").status, uploadStatus);
    const Answer download = exchange(fixture.port(),
        getHead(used, first.json().value(QLatin1String("url")).toString().toLatin1()));
    QCOMPARE(download.status, downloadStatus);
    QCOMPARE(download.header("X-Content-Type-Options"), QByteArray("nosniff"));
    if (downloadStatus == 200)
        QCOMPARE(download.body, QByteArray("hello"));
}

void TestUploads::refusesBadUploads_data()
{
    QTest::addColumn<QString>("chat");
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("status");
    // For those accepted.
    QTest::addColumn<QString>("safeName");

    const QString txt = QStringLiteral("a.txt");
    const QString team = QStringLiteral("team");
    const qint64 mib = 1024 * 1024;
    QTest::newRow("missing chat") << QString() << txt << qint64(1) << 400 << QString();
    QTest::newRow("empty name") << team << QString() << qint64(1) << 400 << QString();
    QTest::newRow("blank name") << team << QStringLiteral(" ") << qint64(1) << 400 << QString();
    QTest::newRow("no length") << team << txt << qint64(-1) << 411 << QString();
    QTest::newRow("over the limit, before the body") << team << txt << 4 * mib + 1 << 413 << txt;
    QTest::newRow("over the quota, before the body") << team << txt << 4 * mib << 413 << txt;
    QTest::newRow("unknown chat") << QStringLiteral("g01234") << txt << qint64(1) << 403 << txt;
    QTest::newRow("private chat of others")
        << QStringLiteral("bob_dave") << txt << qint64(1) << 403 << txt;
    QTest::newRow("private chat with nobody")
        << QStringLiteral("alice_u000") << txt << qint64(1) << 403 << txt;
    QTest::newRow("first file to someone")
        << QStringLiteral("alice_dave") << txt << qint64(1) << 201 << txt;
    QTest::newRow("path as name") << team << QStringLiteral("../../etc/passwd") << qint64(1) << 201
                                  << QStringLiteral(".._.._etc_passwd");
    QTest::newRow("dots alone") << team << QStringLiteral("..") << qint64(1) << 201
                                << QStringLiteral("__");
    QTest::newRow("controls and a direction override")
        << team << QStringLiteral("a\\b\tcod\u202Egpj.exe") << qint64(1) << 201
        << QStringLiteral("a_b_cod_gpj.exe");
    QTest::newRow("name of 10 000 bytes") << team << QString(10000, QLatin1Char('n')) << qint64(1)
                                          << 201 << QString(200, QLatin1Char('n'));
    QTest::newRow("cut on a character")
        << team << QString(150, QChar(0xe9)) << qint64(1) << 201 << QString(100, QChar(0xe9));
}

void TestUploads::refusesBadUploads()
{
    QFETCH(QString, chat);
    QFETCH(QString, name);
    QFETCH(qint64, length);
    QFETCH(int, status);
    QFETCH(QString, safeName);
    const QString token = httpToken(QStringLiteral("alice"));
    // Most of the quota is taken already.
    QCOMPARE(
        upload(token, team, QStringLiteral("big"), QByteArray(3 * 1024 * 1024, 'b')).status, 201);
    chat.replace(QLatin1String("alice"), alice).replace(QLatin1String("bob"), bob);
    chat.replace(QLatin1String("dave"), dave).replace(QLatin1String("team"), team);
    if (chat.contains(QLatin1Char('_')))
        chat = protocol::privateChatId(
            chat.section(QLatin1Char('_'), 0, 0), chat.section(QLatin1Char('_'), 1, 1));
    QByteArray head = uploadHead(token, query(chat, name), length);
    if (length < 0)
        head.replace("Content-Length: -1\r\n", "");
    // The body is never sent: a refusal must come from the head alone.
    const Answer answer = exchange(fixture.port(), head, "x", status == 201 ? 1 : 0);
    QCOMPARE(answer.status, status);
    if (status != 201)
        return;
    const QJsonObject file = answer.json();
    QCOMPARE(file.value(QLatin1String("name")).toString(), safeName);
    const auto named = uploadformat::parseUrl(file.value(QLatin1String("url")).toString().toUtf8());
    QVERIFY(named);
    QCOMPARE(named->second, safeName);
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(named->first).hasMatch());
    QVERIFY(filesInUploadDir().contains(named->first));
}

void TestUploads::servesRangesAndDispositions_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("disposition");

    const QByteArray text = "0123456789";
    const QByteArray none;
    QTest::newRow("whole") << text << "t.txt" << none << 200 << none << text
                           << QByteArray("attachment; filename*=UTF-8''t.txt");
    QTest::newRow("one range") << text << "t.txt" << QByteArray("Range: bytes=2-5\r\n") << 206
                               << QByteArray("bytes 2-5/10") << QByteArray("2345") << none;
    QTest::newRow("suffix range") << text << "t.txt" << QByteArray("Range: bytes=-3\r\n") << 206
                                  << QByteArray("bytes 7-9/10") << QByteArray("789") << none;
    QTest::newRow("several ranges get all")
        << text << "t.txt" << QByteArray("Range: bytes=0-1,4-5\r\n") << 200 << none << text << none;
    QTest::newRow("unsatisfiable range") << text << "t.txt" << QByteArray("Range: bytes=10-\r\n")
                                         << 416 << QByteArray("bytes */10") << none << none;
    QTest::newRow("known ETag") << text << "t.txt" << QByteArray("If-None-Match: {etag}\r\n") << 304
                                << none << QByteArray("") << none;
    QTest::newRow("PNG inline") << pngHead(2, 2) << "p.png" << none << 200 << none << none
                                << QByteArray("inline; filename*=UTF-8''p.png");
    QTest::newRow("HTML named .png is an attachment")
        << QByteArray("<html><script>alert(1)</script>") << "x.png" << none << 200 << none << none
        << QByteArray("attachment; filename*=UTF-8''x.png");
}

void TestUploads::servesRangesAndDispositions()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, name);
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, disposition);
    const QString token = httpToken(QStringLiteral("bob"));
    const QJsonObject file = upload(token, team, name, content).json();
    const QByteArray url = file.value(QLatin1String("url")).toString().toLatin1();
    const QByteArray etag = '"' + uploadformat::parseUrl(url)->first.toLatin1() + '"';
    const Answer answer =
        exchange(fixture.port(), getHead(token, url, request.replace("{etag}", etag)));
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.header("Content-Range"), contentRange);
    if (!body.isNull())
        QCOMPARE(answer.body, body);
    if (!disposition.isNull()) {
        QCOMPARE(answer.header("Content-Disposition"), disposition);
        QCOMPARE(
            answer.header("Content-Type"), file.value(QLatin1String("mime")).toString().toLatin1());
        QCOMPARE(answer.header("ETag"), etag);
    }
    QCOMPARE(answer.header("X-Content-Type-Options"), QByteArray("nosniff"));
}

void TestUploads::messagesCarryOnlyTheSendersUploads_data()
{
    QTest::addColumn<QString>("uploader");
    QTest::addColumn<QString>("uploadChat");
    QTest::addColumn<QString>("sendTo");
    // Empty for the upload's own.
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("accepted");

    const QString alice = QStringLiteral("alice");
    const QString team = QStringLiteral("team");
    const QString dave = QStringLiteral("dave");
    const QString hi = QStringLiteral("hi");
    QTest::newRow("own upload into the chat") << alice << team << team << QString() << hi << true;
    QTest::newRow("empty caption") << alice << team << team << QString() << QString() << true;
    QTest::newRow("first message to someone") << alice << dave << dave << QString() << hi << true;
    QTest::newRow("another user's upload")
        << QStringLiteral("bob") << team << team << QString() << hi << false;
    QTest::newRow("own upload into another chat")
        << alice << dave << team << QString() << hi << false;
    QTest::newRow("outside the uploads")
        << alice << team << team << QStringLiteral("/static/../ferrow.sqlite") << hi << false;
    QTest::newRow("unknown upload")
        << alice << team << team
        << QStringLiteral("/static/upload/0123456789abcdef0123456789abcdef/photo.png") << hi
        << false;
    QTest::newRow("no url") << alice << team << team << QStringLiteral("none") << hi << false;
}

void TestUploads::messagesCarryOnlyTheSendersUploads()
{
    QFETCH(QString, uploader);
    QFETCH(QString, uploadChat);
    QFETCH(QString, sendTo);
    QFETCH(QString, url);
    QFETCH(QString, caption);
    QFETCH(bool, accepted);
    const QString aliceToken = httpToken(QStringLiteral("alice"));
    Peer &sender = *peers.back();
    const QString token = uploader == QLatin1String("alice") ? aliceToken : httpToken(uploader);
    const QString chat =
        uploadChat == QLatin1String("team") ? team : protocol::privateChatId(alice, dave);
    const QJsonObject uploaded =
        upload(token, chat, QStringLiteral("photo.png"), pngHead(3, 2)).json();
    QCOMPARE(uploaded.value(QLatin1String("width")).toInt(), 3);
    QJsonObject claimed = uploaded;
    claimed.insert(QStringLiteral("size"), 1);
    claimed.insert(QStringLiteral("mime"), QStringLiteral("text/html"));
    if (url == QLatin1String("none"))
        claimed.remove(QStringLiteral("url"));
    else if (!url.isEmpty())
        claimed.insert(QStringLiteral("url"), url);
    QJsonObject request = sendTo == QLatin1String("team")
        ? fileMessage(QStringLiteral("chatId"), team, claimed)
        : fileMessage(QStringLiteral("recipientId"), dave, claimed);
    QJsonObject withCaption = request.value(QLatin1String("content")).toObject();
    withCaption.insert(QStringLiteral("text"), caption);
    request.insert(QStringLiteral("content"), withCaption);
    sender.send(request);
    QVERIFY(sender.waitUntil([&] {
        return std::any_of(sender.frames.cbegin(), sender.frames.cend(), [](const QJsonObject &f) {
            return typeOf(f) == QLatin1String("message") || typeOf(f) == QLatin1String("error");
        });
    }));
    const QJsonObject answer = sender.frames.constLast();
    QCOMPARE(typeOf(answer), accepted ? QStringLiteral("message") : QStringLiteral("error"));
    QCOMPARE(fixture.db->newestMessages(chat, 10).size(), std::size_t(accepted ? 1 : 0));
    if (!accepted)
        return;
    const QJsonObject content = answer.value(QLatin1String("content")).toObject();
    QCOMPARE(content.value(QLatin1String("file")).toObject(), uploaded);
    QCOMPARE(content.value(QLatin1String("text")).toString(), caption);

    sender.frames.clear();
    sender.send({ { QStringLiteral("type"), QStringLiteral("edit_message") },
        { QStringLiteral("chatId"), chat },
        { QStringLiteral("messageId"), answer.value(QLatin1String("messageId")) },
        { QStringLiteral("newContent"), QStringLiteral("") } });
    QVERIFY(sender.waitForFrames(1));
    const QJsonObject edited =
        sender.frames.constFirst().value(QLatin1String("newContent")).toObject();
    QCOMPARE(edited,
        protocol::contentObject(
            QString(), QString::fromUtf8(QJsonDocument(uploaded).toJson(QJsonDocument::Compact))));
}

void TestUploads::filesGoWhenNoMessageCarriesThem_data()
{
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("deleted");
    QTest::addColumn<bool>("kept");

    QTest::newRow("never sent") << 0 << 0 << false;
    QTest::newRow("sent") << 1 << 0 << true;
    QTest::newRow("sent, then deleted") << 1 << 1 << false;
    QTest::newRow("sent twice, one deleted") << 2 << 1 << true;
}

void TestUploads::filesGoWhenNoMessageCarriesThem()
{
    QFETCH(int, sent);
    QFETCH(int, deleted);
    QFETCH(bool, kept);
    const QString token = httpToken(QStringLiteral("alice"));
    Peer &sender = *peers.back();
    const QJsonObject file = upload(token, team, QStringLiteral("f.txt"), "kept?").json();
    const QString id =
        uploadformat::parseUrl(file.value(QLatin1String("url")).toString().toUtf8())->first;
    // Never sent: its removal a day later shows that a sweep has run.
    const QJsonObject canary = upload(token, team, QStringLiteral("canary"), "x").json();
    const QString canaryId =
        uploadformat::parseUrl(canary.value(QLatin1String("url")).toString().toUtf8())->first;
    QStringList messageIds;
    for (int i = 0; i < sent; ++i) {
        sender.send(fileMessage(QStringLiteral("chatId"), team, file));
        QVERIFY(sender.waitForFrames(i + 1));
        messageIds.append(sender.frames.constLast().value(QLatin1String("messageId")).toString());
    }
    for (int i = 0; i < deleted; ++i) {
        sender.send({ { QStringLiteral("type"), QStringLiteral("delete_message") },
            { QStringLiteral("chatId"), team },
            { QStringLiteral("messageId"), messageIds.at(i) } });
        QVERIFY(sender.waitForFrames(sent + i + 1));
    }
    nowMs += day + 1000;
    QTRY_VERIFY(!filesInUploadDir().contains(canaryId));
    QCOMPARE(filesInUploadDir().contains(id), kept);
    QCOMPARE(bool(fixture.db->upload(id)), kept);
    QCOMPARE(bool(fixture.db->upload(canaryId)), false);
}

void TestUploads::removalSkipsAnUploadAMessageIsTaking()
{
    if (!fixture.onPostgres())
        QSKIP("SQLite writes one transaction at a time");
    const QString token = httpToken(QStringLiteral("alice"));
    const QJsonObject file = upload(token, team, QStringLiteral("f.txt"), "x").json();
    const QString id =
        uploadformat::parseUrl(file.value(QLatin1String("url")).toString().toUtf8())->first;
    const std::unique_ptr<Store> sender = fixture.connect();
    const std::unique_ptr<Store> sweeper = fixture.connect();
    // The message is written, not committed yet, when the removal looks at its upload: the
    // removal must neither remove it nor wait for the message.
    Store::Transaction sending(*sender);
    QVERIFY(sender->upload(id));
    QVERIFY(sender->addMessage(
        team, alice, QStringLiteral(""), QString(), nowMs / 1000, id, QStringLiteral("{}")));
    {
        Store::Transaction sweeping(*sweeper);
        QCOMPARE(sweeper->removeUnreferencedUploads({ id }, 0, 1), QStringList());
        QVERIFY(sweeping.commit());
    }
    QVERIFY(sending.commit());
    QVERIFY(fixture.db->upload(id));
}

void TestUploads::brokenBodiesLeaveNoFile_data()
{
    QTest::addColumn<qint64>("length");
    QTest::addColumn<qint64>("sent");
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<int>("status");

    QTest::newRow("longer than its length") << qint64(5) << qint64(10) << false << 201;
    QTest::newRow("shorter, then a stall") << qint64(10) << qint64(5) << false << 0;
    QTest::newRow("disconnect halfway") << qint64(2000000) << qint64(1000000) << true << 0;
}

void TestUploads::brokenBodiesLeaveNoFile()
{
    QFETCH(qint64, length);
    QFETCH(qint64, sent);
    QFETCH(bool, hangUp);
    QFETCH(int, status);
    const QString token = httpToken(QStringLiteral("alice"));
    const Answer answer = exchange(fixture.port(),
        uploadHead(token, query(team, QStringLiteral("f")), length),
        QByteArray(64 * 1024, 'b'),
        sent,
        [&](QTcpSocket &socket) {
            if (hangUp && socket.bytesToWrite() == 0 && !filesInUploadDir().isEmpty())
                socket.abort();
        });
    QCOMPARE(answer.status, status);
    if (status == 201)
        QCOMPARE(answer.json().value(QLatin1String("size")).toInt(), int(length));
    QTRY_COMPARE(filesInUploadDir().size(), status == 201 ? 1 : 0);
}

void TestUploads::leftoverFilesAreSwept_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("ageMs");
    QTest::addColumn<bool>("kept");

    const QString id = QStringLiteral("0123456789abcdef0123456789abcdef");
    const QString part = QStringLiteral(".part-") + id;
    // The stall timeout is a second.
    QTest::newRow("part of a server stopped mid-upload") << part << qint64(3600000) << false;
    QTest::newRow("part idle for two stall timeouts, on a slow shared disk")
        << part << qint64(2000) << true;
    QTest::newRow("file whose record went before it") << id << 2 * day << false;
    QTest::newRow("file just written, its record on the way") << id << qint64(60000) << true;
    QTest::newRow("no upload's file") << QStringLiteral("notes.txt") << 2 * day << true;
}

void TestUploads::leftoverFilesAreSwept()
{
    QFETCH(QString, name);
    QFETCH(qint64, ageMs);
    QFETCH(bool, kept);
    age(name, ageMs);
    // A file made after a sweep began may be missed by it; the second sweep saw it whole.
    for (const QString &canary : { QStringLiteral("c0000000000000000000000000000000"),
             QStringLiteral("c1111111111111111111111111111111") }) {
        age(canary, 2 * day);
        QTRY_VERIFY(!filesInUploadDir().contains(canary));
    }
    QCOMPARE(filesInUploadDir().contains(name), kept);
}

void TestUploads::quotaCountsUploadsUnderWay_data()
{
    QTest::addColumn<bool>("firstCut");
    QTest::addColumn<int>("secondMib");
    QTest::addColumn<int>("secondStatus");
    QTest::addColumn<bool>("heldElsewhere");

    // The quota is 6 MiB; the first upload, of 4 MiB, is under way.
    QTest::newRow("together over the quota") << false << 3 << 413 << false;
    QTest::newRow("together within the quota") << false << 2 << 201 << false;
    QTest::newRow("the first cut off frees its share") << true << 3 << 201 << false;
    QTest::newRow("another server records one of hers") << false << 1 << 503 << true;
}

void TestUploads::quotaCountsUploadsUnderWay()
{
    QFETCH(bool, firstCut);
    QFETCH(int, secondMib);
    QFETCH(int, secondStatus);
    QFETCH(bool, heldElsewhere);
    if (heldElsewhere && !fixture.onPostgres())
        QSKIP("SQLite writes one transaction at a time");
    const int mib = 1024 * 1024;
    const QString token = httpToken(QStringLiteral("alice"));
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, fixture.port());
    first.write(
        uploadHead(token, query(team, QStringLiteral("first")), 4 * mib) + QByteArray(mib, 'f'));
    const auto underWay = [this] {
        return !filesInUploadDir().filter(QStringLiteral(".part-")).isEmpty();
    };
    QTRY_VERIFY(underWay());
    if (firstCut) {
        first.abort();
        QTRY_VERIFY(!underWay());
    }
    const std::unique_ptr<Store> other = heldElsewhere ? fixture.connect() : nullptr;
    std::optional<Store::Transaction> recording;
    if (other) {
        recording.emplace(*other);
        QVERIFY(other->holdUploadQuota(alice));
    }
    const Answer second =
        upload(token, team, QStringLiteral("second"), QByteArray(secondMib * mib, 's'));
    QCOMPARE(second.status, secondStatus);
    QCOMPARE(second.header("Retry-After"), heldElsewhere ? QByteArray("1") : QByteArray());
}

void TestUploads::parallelUploadsOfOneUserStayBounded()
{
    const QString token = httpToken(QStringLiteral("alice"));
    const QByteArray body(32 * 1024, 'p');
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 100; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, fixture.port());
        sockets.back()->write(
            uploadHead(token, query(team, QStringLiteral("p")), body.size()) + body);
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            return std::all_of(sockets.cbegin(), sockets.cend(), [](const auto &socket) {
                return socket->state() == QAbstractSocket::UnconnectedState;
            });
        },
        30000));
    int created = 0;
    for (const auto &socket : sockets) {
        const QByteArray answer = socket->readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 201 ") || answer.startsWith("HTTP/1.1 429 "),
            answer.constData());
        created += answer.startsWith("HTTP/1.1 201 ") ? 1 : 0;
    }
    QVERIFY(created > 0);
    QCOMPARE(filesInUploadDir().size(), created);
    QCOMPARE(fixture.db->uploadedBytes(alice), qint64(created) * body.size());
}

void TestUploads::streamingKeepsMemoryFlat()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer holds freed memory in quarantine");
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    QSKIP("AddressSanitizer holds freed memory in quarantine");
#endif
#endif
    fixture.server.reset();
    ChatServer::Options options = fixture.options;
    options.maxUploadSize = options.uploadQuota = 64 * 1024 * 1024;
    QVERIFY(fixture.start(options));
    const auto residentBytes = [] {
        QFile statm(QStringLiteral("/proc/self/statm"));
        statm.open(QIODevice::ReadOnly);
        return statm.readAll().split(' ').value(1).toLongLong() * 4096;
    };
    const QString token = httpToken(QStringLiteral("alice"));
    const qint64 before = residentBytes();
    qint64 peak = before;
    const auto sample = [&](QTcpSocket &) { peak = std::max(peak, residentBytes()); };
    const qint64 size = 48 * 1024 * 1024;
    const Answer uploaded = exchange(fixture.port(),
        uploadHead(token, query(team, QStringLiteral("big.bin")), size),
        QByteArray(256 * 1024, 'm'),
        size,
        sample);
    QCOMPARE(uploaded.status, 201);
    const Answer downloaded = exchange(fixture.port(),
        getHead(token, uploaded.json().value(QLatin1String("url")).toString().toLatin1()),
        {},
        -1,
        sample);
    QCOMPARE(downloaded.bodyBytes, size);
    QVERIFY2(peak - before < 16 * 1024 * 1024, qPrintable(QString::number(peak - before)));
}

FERROW_SERVER_TEST_MAIN(TestUploads)
#include "tst_uploads.moc"
