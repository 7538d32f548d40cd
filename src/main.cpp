#include "app/mainwindow.h"

#include <QApplication>
#include <QFont>
#include <QPalette>

int main(int argc, char **argv)
{
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
