#include "app/appicon.h"
#include "app/settings.h"
#include "windowprobe.h"

#include <QStandardPaths>
#include <QtTest>

class TestAppIcon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void iconHasEveryInstalledSize();
    void windowShowsTheApplicationIcon();
};

void TestAppIcon::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    AppSettings().clear();
}

void TestAppIcon::iconHasEveryInstalledSize()
{
    const QIcon icon = appIcon();
    for (const int size : { 16, 22, 24, 32, 48, 64, 128, 256 }) {
        QVERIFY2(
            icon.availableSizes().contains(QSize(size, size)), qPrintable(QString::number(size)));
        QCOMPARE(icon.pixmap(QSize(size, size)).size(), QSize(size, size));
    }
}

void TestAppIcon::windowShowsTheApplicationIcon()
{
    MainWindow window;
    const QImage shown = window.windowIcon().pixmap(32, 32).toImage();
    QCOMPARE(shown, appIcon().pixmap(32, 32).toImage());
    // Not the red square the tray fell back to without an icon of its own.
    QVERIFY(shown.pixelColor(4, 16) != QColor(Qt::red));
}

QTEST_MAIN(TestAppIcon)
#include "tst_appicon.moc"
