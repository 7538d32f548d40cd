#include "app/mainwindow.h"

#include <QApplication>
#include <QFont>
#include <QPalette>

int main(int argc, char **argv)
{
    // At 150 % or 200 % the window is laid out at its intended size and drawn in the screen's
    // device pixels: text and painted marks sharp, avatars and icons from pixmaps made at that
    // ratio. A fractional ratio is kept as it is, not rounded to a whole one.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    // Lets the desktop match the window to the installed launcher and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.ferrow.Desktop"));

    QFont font(QStringLiteral("Sans Serif"), 10);
    font.setStyleStrategy(QFont::PreferAntialias);
    QApplication::setFont(font);

    QPalette palette = QGuiApplication::palette();
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(QColor(245, 245, 245)));
    QApplication::setPalette(palette);

    MainWindow window;
    window.show();
    return QApplication::exec();
}
