#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"
#include "view/avatarimage.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QImage>
#include <QStandardPaths>
#include <QtTest>

namespace
{

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray png(const QImage &image)
{
    return encoded(image, "PNG");
}

// A GIF of one black-and-white 2 x 2 frame at the top left of a logical screen of the given
// size: 35 bytes, whatever the screen.
QByteArray gif(int screenWidth, int screenHeight)
{
    QByteArray bytes("GIF89a");
    const auto append16 = [&bytes](int value) {
        bytes.append(char(value & 0xff));
        bytes.append(char(value >> 8));
    };
    append16(screenWidth);
    append16(screenHeight);
    bytes.append("\x80\x00\x00", 3); // a global table of two colours
    bytes.append("\x00\x00\x00\xff\xff\xff", 6);
    bytes.append(',');
    append16(0);
    append16(0);
    append16(2);
    append16(2);
    bytes.append("\x00\x02\x02\x44\x01\x00;", 7); // no local table, the pixels, the end
    return bytes;
}

QByteArray solidPng(int width, int height, const QColor &colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return png(image);
}

QImage imageOf(const QIcon &icon)
{
    return icon.pixmap(42, 42).toImage().convertToFormat(QImage::Format_ARGB32);
}

QString cacheFile(const QString &url)
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
        + QStringLiteral("/avatars/")
        + QString::fromLatin1(
            QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Md5).toHex())
        + QStringLiteral(".png");
}

// The pixels drawn in white: the placeholder's letter.
QVector<QPoint> whitePixels(const QImage &image)
{
    QVector<QPoint> points;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == QColor(Qt::white))
                points << QPoint(x, y);
        }
    }
    return points;
}

} // namespace

class TestAvatars : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void downloadsOnceWithItsHeader();
    void placeholderUrlsNeverRequest_data();
    void placeholderUrlsNeverRequest();
    void normalisesUrls_data();
    void normalisesUrls();
    void updatesEveryRowOfTheUrl();
    void cachesOnDiskForTheNextWindow();
    void cropsTheCentreSquare();
    void refusesOversizedDownloads_data();
    void refusesOversizedDownloads();
    void decodesOnlyBoundedPictures_data();
    void decodesOnlyBoundedPictures();
    void failedDownloadKeepsPlaceholderAndRetries();
    void brokenCacheFileIsReplaced();
    void placeholderShowsInitialInStableColour_data();
    void placeholderShowsInitialInStableColour();

private:
    QString url(Session &session, const char *path)
    {
        return session.server.baseUrl() + QLatin1String(path);
    }
};

void TestAvatars::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestAvatars::init()
{
    AppSettings().clear();
    QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).removeRecursively();
}

void TestAvatars::downloadsOnceWithItsHeader()
{
    Session session;
    QVERIFY(session.connected());
    session.server.routes.insert("/static/b.png", { 200, "image/png", solidPng(10, 10, Qt::blue) });
    WindowProbe &probe = *session.probe;
    const QIcon first = probe.getAvatar(QStringLiteral("bob"), QStringLiteral("/static/b.png"));
    const QIcon second = probe.getAvatar(QStringLiteral("bob"), QStringLiteral("/static/b.png"));
    QVERIFY(!first.isNull());
    QVERIFY(!second.isNull());
    const QString full = url(session, "/static/b.png");
    QVERIFY(probe.pendingAvatarDownloads().contains(full));
    QTRY_VERIFY(probe.avatarCache().contains(full));
    QVERIFY(probe.pendingAvatarDownloads().isEmpty());
    QCOMPARE(session.server.requestCount("/static/b.png"), 1);
    QCOMPARE(session.server.requests.first().method, QByteArray("GET"));
    QCOMPARE(session.server.requests.first().headers.value("user-agent"),
        QByteArray("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 "
                   "(KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36"));

    // Later calls come from memory.
    const QImage cached = imageOf(probe.getAvatar(QStringLiteral("x"), full));
    QCOMPARE(cached.pixelColor(21, 21), QColor(Qt::blue));
    QCOMPARE(session.server.requestCount("/static/b.png"), 1);
}

void TestAvatars::placeholderUrlsNeverRequest_data()
{
    QTest::addColumn<QString>("avatarUrl");
    QTest::newRow("empty") << QString();
    QTest::newRow("bare default") << QStringLiteral("default.png");
    QTest::newRow("root default") << QStringLiteral("/default.png");
    QTest::newRow("server default") << QStringLiteral("/static/default.png");
    QTest::newRow("absolute default") << QStringLiteral("http://127.0.0.1:1/x/default.png");
}

void TestAvatars::placeholderUrlsNeverRequest()
{
    QFETCH(QString, avatarUrl);
    Session session;
    QVERIFY(session.connected());
    const QImage image = imageOf(session.probe->getAvatar(QStringLiteral("bob"), avatarUrl));
    QCOMPARE(image.pixelColor(6, 21), session.probe->getColorForName(QStringLiteral("bob")));
    QVERIFY(session.probe->pendingAvatarDownloads().isEmpty());
    session.push(R"({"type":"user_list_update","users":[]})");
    QVERIFY(session.server.requests.isEmpty());
}

void TestAvatars::normalisesUrls_data()
{
    QTest::addColumn<QString>("avatarUrl");
    QTest::addColumn<QString>("requested");
    QTest::newRow("server path") << QStringLiteral("/static/a.png")
                                 << QStringLiteral("/static/a.png");
    QTest::newRow("bare file name") << QStringLiteral("a.png") << QStringLiteral("/a.png");
    QTest::newRow("absolute URL unchanged")
        << QStringLiteral("SELF/static/q.png") << QStringLiteral("/static/q.png");
}

void TestAvatars::normalisesUrls()
{
    QFETCH(QString, avatarUrl);
    QFETCH(QString, requested);
    Session session;
    QVERIFY(session.connected());
    avatarUrl.replace(QLatin1String("SELF"), session.server.baseUrl());
    session.probe->getAvatar(QStringLiteral("a"), avatarUrl);
    QTRY_COMPARE(session.server.requests.size(), 1);
    QCOMPARE(QString::fromLatin1(session.server.requests.first().path), requested);
}

void TestAvatars::updatesEveryRowOfTheUrl()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.server.routes.insert(
        "/static/s.png", { 200, "image/png", solidPng(8, 8, QColor(0, 200, 0)) });
    session.push(
        R"({"type":"user_list_update","users":[
            {"userId":"u2","username":"bob","avatarUrl":"/static/s.png"},
            {"userId":"u3","username":"carl","avatarUrl":"/static/s.png"}]})");
    WindowProbe &probe = *session.probe;
    QTRY_VERIFY(probe.avatarCache().contains(url(session, "/static/s.png")));
    QCOMPARE(session.server.requestCount("/static/s.png"), 1);
    for (int row = 0; row < 2; ++row) {
        const QImage image = imageOf(
            qvariant_cast<QIcon>(probe.contactListWidget()->item(row)->data(Qt::DecorationRole)));
        QCOMPARE(image.pixelColor(21, 21), QColor(0, 200, 0));
    }
}

void TestAvatars::cachesOnDiskForTheNextWindow()
{
    QString full;
    {
        Session session;
        QVERIFY(session.connected());
        session.server.routes.insert(
            "/static/d.png", { 200, "image/png", solidPng(64, 64, Qt::red) });
        full = url(session, "/static/d.png");
        session.probe->getAvatar(QStringLiteral("d"), QStringLiteral("/static/d.png"));
        QTRY_VERIFY(session.probe->avatarCache().contains(full));
        QVERIFY(QFile::exists(cacheFile(full)));
        const QImage onDisk(cacheFile(full));
        QCOMPARE(onDisk.size(), QSize(42, 42));
        QCOMPARE(onDisk.pixelColor(21, 21), QColor(Qt::red));
        QCOMPARE(onDisk.pixelColor(0, 0).alpha(), 0);
        // Nothing but the finished file is left in the cache folder.
        QCOMPARE(QDir(QFileInfo(cacheFile(full)).path()).entryList(QDir::Files).size(), 1);
    }

    // A new window on the same server loads it from disk without a request.
    TestServer server;
    QVERIFY(server.start());
    qputenv("FERROW_SERVER_PORT", QByteArray::number(QUrl(full).port()));
    MainWindow window;
    WindowProbe probe(window);
    const QImage image = imageOf(probe.getAvatar(QStringLiteral("d"), full));
    QCOMPARE(image.pixelColor(21, 21), QColor(Qt::red));
    QVERIFY(probe.avatarCache().contains(full));
    QVERIFY(probe.pendingAvatarDownloads().isEmpty());
    QVERIFY(server.requests.isEmpty());
}

void TestAvatars::cropsTheCentreSquare()
{
    QImage wide(200, 100, QImage::Format_RGB32);
    for (int x = 0; x < 200; ++x) {
        const QColor colour = x < 50 ? Qt::red : (x < 150 ? QColor(Qt::green) : Qt::blue);
        for (int y = 0; y < 100; ++y)
            wide.setPixelColor(x, y, colour);
    }
    Session session;
    QVERIFY(session.connected());
    session.server.routes.insert("/static/w.png", { 200, "image/png", png(wide) });
    session.probe->getAvatar(QStringLiteral("w"), QStringLiteral("/static/w.png"));
    const QString full = url(session, "/static/w.png");
    QTRY_VERIFY(session.probe->avatarCache().contains(full));
    const QImage avatar = session.probe->avatarCache().value(full).toImage();
    QCOMPARE(avatar.size(), QSize(42, 42));
    // Only the middle (green) part remains, edge to edge, inside a circle.
    for (const QPoint point : { QPoint(2, 21), QPoint(21, 21), QPoint(39, 21), QPoint(21, 2) })
        QCOMPARE(avatar.pixelColor(point), QColor(Qt::green));
    QCOMPARE(avatar.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(avatar.pixelColor(41, 41).alpha(), 0);
}

void TestAvatars::refusesOversizedDownloads_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("announceLength");
    QTest::addColumn<qint64>("claimedLength");

    QByteArray large = solidPng(4, 4, Qt::red);
    large.append(QByteArray(6 * 1024 * 1024, 'x'));
    QTest::newRow("body over 5 MiB, announced") << large << true << qint64(0);
    QTest::newRow("body over 5 MiB, not announced") << large << false << qint64(0);
    QTest::newRow("small body announcing 6 MiB")
        << solidPng(4, 4, Qt::red) << true << qint64(6 * 1024 * 1024);
    QTest::newRow("picture wider than 4096") << solidPng(5000, 4, Qt::red) << true << qint64(0);
    QTest::newRow("picture taller than 4096") << solidPng(4, 4097, Qt::red) << true << qint64(0);
    QTest::newRow("not a picture") << QByteArray("<html>no</html>") << true << qint64(0);
    QTest::newRow("GIF screen of 65535 x 4096") << gif(65535, 4096) << true << qint64(0);
}

void TestAvatars::refusesOversizedDownloads()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, announceLength);
    QFETCH(qint64, claimedLength);
    Session session;
    QVERIFY(session.connected());
    session.server.routes.insert(
        "/static/big.png", { 200, "image/png", body, announceLength, claimedLength });
    WindowProbe &probe = *session.probe;
    probe.getAvatar(QStringLiteral("big"), QStringLiteral("/static/big.png"));
    QTRY_VERIFY_WITH_TIMEOUT(probe.pendingAvatarDownloads().isEmpty(), 20000);
    QVERIFY(probe.avatarCache().isEmpty());
    QVERIFY(!QFile::exists(cacheFile(url(session, "/static/big.png"))));
}

void TestAvatars::decodesOnlyBoundedPictures_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QSize>("size");

    QImage photo(40, 30, QImage::Format_RGB32);
    photo.fill(Qt::darkCyan);
    const QSize refused;
    QTest::newRow("PNG") << encoded(photo, "PNG") << QSize(40, 30);
    QTest::newRow("JPEG") << encoded(photo, "JPEG") << QSize(40, 30);
    QTest::newRow("GIF filling its screen") << gif(2, 2) << QSize(2, 2);
    QTest::newRow("GIF frame on a larger screen") << gif(64, 48) << QSize(64, 48);
    // The frame's 2 x 2 passes any check of the first frame; the screen is what gets allocated.
    QTest::newRow("GIF screen of 65535 x 4096") << gif(65535, 4096) << refused;
    QTest::newRow("GIF screen of 65026 x 2") << gif(65026, 2) << refused;
    QTest::newRow("GIF screen of 4096 x 4096") << gif(4096, 4096) << refused;
    QTest::newRow("GIF screen sized by its frames") << gif(0, 0) << refused;
    QTest::newRow("PNG cut after its header") << encoded(photo, "PNG").left(33) << refused;
    QTest::newRow("JPEG without a frame header") << QByteArray("\xff\xd8\xff\xd9", 4) << refused;
    QTest::newRow("BMP") << encoded(photo, "BMP") << refused;
    QTest::newRow("ICO") << encoded(photo, "ICO") << refused;
    QTest::newRow("SVG") << QByteArray(R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" )"
                                       R"(height="30"><rect width="40" height="30"/></svg>)")
                         << refused;
}

void TestAvatars::decodesOnlyBoundedPictures()
{
    QFETCH(QByteArray, body);
    QFETCH(QSize, size);

    const std::optional<QImage> picture = avatar::decodePicture(body);
    QCOMPARE(picture.has_value(), size.isValid());
    if (picture)
        QCOMPARE(picture->size(), size);
}

void TestAvatars::failedDownloadKeepsPlaceholderAndRetries()
{
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    // A contact without an avatar asks for the base URL itself, which is no picture.
    session.push(R"({"type":"user_list_update","users":[{"userId":"u2","username":"bob"}]})");
    WindowProbe &probe = *session.probe;
    QTRY_COMPARE(session.server.requestCount("/"), 1);
    QTRY_VERIFY(probe.pendingAvatarDownloads().isEmpty());
    QVERIFY(probe.avatarCache().isEmpty());
    const QImage shown =
        imageOf(qvariant_cast<QIcon>(probe.contactListWidget()->item(0)->data(Qt::DecorationRole)));
    QCOMPARE(shown.pixelColor(6, 21), probe.getColorForName(QStringLiteral("bob")));

    probe.getAvatar(QStringLiteral("bob"), session.server.baseUrl());
    QTRY_COMPARE(session.server.requestCount("/"), 2);
}

void TestAvatars::brokenCacheFileIsReplaced()
{
    Session session;
    QVERIFY(session.connected());
    const QString full = url(session, "/static/r.png");
    QDir().mkpath(QFileInfo(cacheFile(full)).path());
    QFile broken(cacheFile(full));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("not a png");
    broken.close();
    session.server.routes.insert("/static/r.png", { 200, "image/png", solidPng(9, 9, Qt::red) });
    session.probe->getAvatar(QStringLiteral("r"), full);
    QTRY_VERIFY(session.probe->avatarCache().contains(full));
    QCOMPARE(session.server.requestCount("/static/r.png"), 1);
    QCOMPARE(QImage(cacheFile(full)).size(), QSize(42, 42));
}

void TestAvatars::placeholderShowsInitialInStableColour_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("sameInitial");
    QTest::addColumn<QString>("otherInitial");
    QTest::addColumn<QString>("colour");
    QTest::newRow("lower-case name") << QStringLiteral("alice") << QStringLiteral("Alfred")
                                     << QStringLiteral("bob") << QStringLiteral("#e57373");
    QTest::newRow("empty name shows a question mark")
        << QString() << QStringLiteral("?x") << QStringLiteral("x") << QStringLiteral("#e57373");
    QTest::newRow("bob") << QStringLiteral("bob") << QStringLiteral("Bert")
                         << QStringLiteral("alice") << QStringLiteral("#64b5f6");
    QTest::newRow("bytes above 127") << QStringLiteral("Ωmega") << QStringLiteral("ωx")
                                     << QStringLiteral("o") << QStringLiteral("#ffd54f");
    QTest::newRow("diaeresis") << QStringLiteral("Zoë") << QStringLiteral("zed")
                               << QStringLiteral("y") << QStringLiteral("#ffd54f");
}

void TestAvatars::placeholderShowsInitialInStableColour()
{
    QFETCH(QString, name);
    QFETCH(QString, sameInitial);
    QFETCH(QString, otherInitial);
    QFETCH(QString, colour);
    Session session;
    WindowProbe &probe = *session.probe;
    QCOMPARE(probe.getColorForName(name).name(), colour);
    const QImage image = imageOf(probe.generateGenericAvatar(name));
    QCOMPARE(image.size(), QSize(42, 42));
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(image.pixelColor(3, 21), QColor(colour));
    const QVector<QPoint> letter = whitePixels(image);
    QVERIFY(!letter.isEmpty());
    QCOMPARE(whitePixels(imageOf(probe.generateGenericAvatar(sameInitial))), letter);
    QVERIFY(whitePixels(imageOf(probe.generateGenericAvatar(otherInitial))) != letter);
}

QTEST_MAIN(TestAvatars)
#include "tst_avatars.moc"
