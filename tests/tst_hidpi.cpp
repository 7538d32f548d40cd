#include "app/settings.h"
#include "model/itemroles.h"
#include "session.h"
#include "view/avatarimage.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtTest>

namespace
{

QByteArray wideBluePng()
{
    // 200 x 100: red on the left quarter, blue in the middle, red on the right quarter.
    QImage image(200, 100, QImage::Format_ARGB32);
    image.fill(Qt::red);
    for (int y = 0; y < 100; ++y) {
        for (int x = 50; x < 150; ++x)
            image.setPixelColor(x, y, Qt::blue);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

// Runs on a screen at 200 %: the window's avatars are made in device pixels.
class TestHiDpi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void circularAvatarInDevicePixels_data();
    void circularAvatarInDevicePixels();
    void placeholderIsMadeForTheScreen();
    void downloadedAvatarIsMadeForTheScreen();
};

void TestHiDpi::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCOMPARE(qApp->devicePixelRatio(), 2.0);
}

void TestHiDpi::init()
{
    AppSettings().clear();
    QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).removeRecursively();
}

void TestHiDpi::circularAvatarInDevicePixels_data()
{
    QTest::addColumn<qreal>("ratio");
    QTest::addColumn<int>("pixels");

    QTest::newRow("100 %") << 1.0 << 42;
    QTest::newRow("150 %") << 1.5 << 63;
    QTest::newRow("200 %") << 2.0 << 84;
}

void TestHiDpi::circularAvatarInDevicePixels()
{
    QFETCH(qreal, ratio);
    QFETCH(int, pixels);
    QImage picture;
    QVERIFY(picture.loadFromData(wideBluePng()));
    const QPixmap avatar = avatar::circularAvatar(picture, ratio);
    QCOMPARE(avatar.size(), QSize(pixels, pixels));
    QCOMPARE(avatar.devicePixelRatio(), ratio);
    // Still 42 pixels of layout, whatever the ratio.
    QCOMPARE(avatar.size() / avatar.devicePixelRatio(), QSize(42, 42));
    const QImage image = avatar.toImage();
    QCOMPARE(image.pixelColor(pixels / 2, pixels / 2), QColor(Qt::blue));
    // The centred square only: no red of the sides, clipped to a circle.
    QCOMPARE(image.pixelColor(pixels / 2, 1), QColor(Qt::blue));
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
}

void TestHiDpi::placeholderIsMadeForTheScreen()
{
    Session session;
    QVERIFY(session.connected());
    const QIcon icon = session.probe->getAvatar(QStringLiteral("bob"), QString());
    const QPixmap pixmap = icon.pixmap(QSize(42, 42));
    QCOMPARE(pixmap.devicePixelRatio(), 2.0);
    QCOMPARE(pixmap.size(), QSize(84, 84));
    // A full disc to the edge of its device pixels, not a 42-pixel one stretched.
    const QImage image = pixmap.toImage();
    QCOMPARE(image.pixelColor(42, 1).alpha(), 255);
    QCOMPARE(image.pixelColor(1, 1).alpha(), 0);
}

void TestHiDpi::downloadedAvatarIsMadeForTheScreen()
{
    Session session;
    QVERIFY(session.connected());
    session.server.routes.insert("/static/w.png", { 200, "image/png", wideBluePng() });
    WindowProbe &probe = *session.probe;
    probe.getAvatar(QStringLiteral("bob"), QStringLiteral("/static/w.png"));
    const QString url = session.server.baseUrl() + QStringLiteral("/static/w.png");
    QTRY_VERIFY(probe.avatarCache().contains(url));
    const QPixmap cached = probe.avatarCache().value(url);
    QCOMPARE(cached.devicePixelRatio(), 2.0);
    QCOMPARE(cached.size(), QSize(84, 84));

    // Kept on disk for this ratio, apart from the 100 % picture; a restart reads it back sharp.
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
        + QStringLiteral("/avatars/");
    QVERIFY(QFile::exists(directory + avatar::cacheFileName(url, 2.0)));
    QVERIFY(!QFile::exists(directory + avatar::cacheFileName(url)));
    QVERIFY(avatar::cacheFileName(url, 2.0).endsWith(QLatin1String("@2x.png")));
    probe.avatarCache().clear();
    const QPixmap fromDisk = probe.getAvatar(QStringLiteral("bob"), QStringLiteral("/static/w.png"))
                                 .pixmap(QSize(42, 42));
    QCOMPARE(fromDisk.size(), QSize(84, 84));
    QCOMPARE(fromDisk.devicePixelRatio(), 2.0);
    QCOMPARE(session.server.requestCount("/static/w.png"), 1);
}

int main(int argc, char *argv[])
{
    qputenv("QT_SCALE_FACTOR", "2");
    // As the client's main sets it: icons pick the pixmap made for the screen's ratio.
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    TestHiDpi test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hidpi.moc"
