// MainWindow's theme: the window-wide style sheet and the dark-mode switch.
#include "theme.h"

#include "app/mainwindow.h"
#include "app/settings.h"
#include "view/messagedelegate.h"
#include "view/palette.h"
#include "view/userlistdelegate.h"

#include <QAbstractItemDelegate>
#include <QLabel>
#include <QListWidget>
#include <QPalette>

namespace
{

// Placeholders, filled from the active palette: %1 window and message list background,
// %2 panels, %3 text, %4 borders, %5 input fields, %6 row under the mouse, %7 and %8 the
// scroll bar handle, plain and under the mouse, %9 the focus ring and %10 the focus ring on the
// accent colour (a selected row, a button), %11 and %12 the accent, plain and under the mouse,
// %13 text that matters less. A focused control trades padding for its thicker border, so it
// keeps its size.
const char styleSheetTemplate[] =
    "QMainWindow, QDialog, #pictureViewer { background-color: %1; }"
    "QWidget { color: %3; }"
    "QLineEdit { padding: 10px; border: 1px solid %4; border-radius: 5px; "
    "background-color: %5; color: %3; }"
    "QPushButton { padding: 8px 15px; border-radius: 5px; background-color: %11; "
    "color: white; border: none; }"
    "QPushButton:hover { background-color: %12; }"
    // The platform's icons on OK and Cancel would be drawn over the padded text.
    "QDialogButtonBox { dialogbuttonbox-buttons-have-icons: 0; }"
    "QListWidget { background-color: %2; border: none; outline: none; }"
    "QListWidget::item { padding: 10px; border-bottom: 1px solid %4; }"
    "QListWidget::item:selected { background-color: %11; color: white; }"
    "QListWidget::item:hover { background-color: %6; }"
    // The selected row keeps its colour under the mouse: its white text is unreadable on the
    // pale hover colour.
    "QListWidget::item:selected:hover { background-color: %11; }"
    "QTabWidget::pane { border: none; }"
    "QTabBar::tab { background: %2; color: %3; padding: 10px; min-width: 80px; }"
    "QTabBar::tab:selected { border-bottom: 2px solid %11; }"
    "#chatHeader { background-color: %2; border-bottom: 1px solid %4; }"
    "#chatHeader QToolButton { padding: 4px 10px; border: 1px solid %4; border-radius: 5px; "
    "background: transparent; color: %3; }"
    "#chatHeader QToolButton:hover { background-color: %6; }"
    "#chatHeader QToolButton:focus { border: 2px solid %9; padding: 3px 9px; }"
    "QMenu { background-color: %2; color: %3; border: 1px solid %4; }"
    "QMenu::item { padding: 6px 24px 6px 8px; }"
    "QMenu::item:selected { background-color: %6; }"
    "QListWidget::indicator { width: 16px; height: 16px; border: 1px solid %4; "
    "border-radius: 4px; background: %5; }"
    "QListWidget::indicator:checked { background-color: %11; border: 1px solid %11; "
    "image: url(:/icons/check.png); }"
    "#inputArea { background-color: %2; border-top: 1px solid %4; }"
    "#chatList { background-color: %1; border: none; }"
    "QScrollBar:vertical { border: none; background: %2; width: 10px; margin: 0px; }"
    "QScrollBar::handle:vertical { background: %7; min-height: 20px; border-radius: 5px; }"
    "QScrollBar::handle:vertical:hover { background: %8; }"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; }"
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"
    "QCheckBox { color: %3; spacing: 5px; }"
    "QCheckBox::indicator { width: 18px; height: 18px; border: 1px solid %4; "
    "border-radius: 4px; background: %5; }"
    "QCheckBox::indicator:checked { background-color: %11; border: 1px solid %11; "
    "image: url(:/icons/check.png); }"
    "QLineEdit:focus { border: 2px solid %9; padding: 9px; }"
    "QPushButton:focus { border: 2px solid %10; padding: 6px 13px; }"
    "QCheckBox:focus { color: %9; }"
    "QCheckBox::indicator:focus { border: 2px solid %9; }"
    "QListWidget::item:focus { border: 2px solid %9; }"
    "QListWidget::item:selected:focus { border: 2px solid %10; }"
    "#chatList:focus { border: 2px solid %9; }"
    "QTabBar::tab:focus { color: %9; text-decoration: underline; }"
    "#replyBar QLabel, #editBar QLabel { color: %13; }"
    "#replyBar QLabel#replyPreview { color: %3; }"
    "#cancelReply, #cancelEdit { border: none; background: transparent; color: %13; "
    "font-size: 16px; font-weight: bold; padding: 0px; }"
    "#cancelReply:focus, #cancelEdit:focus { border: 2px solid %13; border-radius: 4px; }"
    // Plainly out of use, such as the composer while no chat is open.
    "QLineEdit:disabled { background-color: %1; color: %13; }"
    "QPushButton:disabled { background-color: %4; color: %13; }";

} // namespace

QString themeStyleSheet(bool dark)
{
    const ThemePalette &colours = themePalette(dark);
    return QString::fromLatin1(styleSheetTemplate)
        .arg(QLatin1String(colours.window),
            QLatin1String(colours.panel),
            QLatin1String(colours.text),
            QLatin1String(colours.border),
            QLatin1String(colours.input),
            QLatin1String(colours.hover),
            QLatin1String(colours.scrollHandle),
            QLatin1String(colours.scrollHandleHover))
        .arg(QLatin1String(colours.focus),
            QLatin1String(colours.selectedFocus),
            QLatin1String(colours.accent),
            QLatin1String(colours.accentHover),
            QLatin1String(colours.secondaryText));
}

void MainWindow::applyTheme()
{
    setStyleSheet(themeStyleSheet(darkMode));
    // Style sheets leave the hint in empty fields to the palette.
    QPalette hints = palette();
    hints.setColor(
        QPalette::PlaceholderText, QColor(QLatin1String(themePalette(darkMode).placeholderText)));
    setPalette(hints);
    showTextLength();
    if (auto *delegate = dynamic_cast<MessageDelegate *>(messageListWidget->itemDelegate())) {
        delegate->setDarkMode(darkMode);
        messageListWidget->viewport()->update();
    }
    if (auto *delegate = dynamic_cast<UserListDelegate *>(chatListWidget->itemDelegate())) {
        delegate->setDarkMode(darkMode);
        chatListWidget->viewport()->update();
    }
    if (typingLabel)
        typingLabel->setStyleSheet(QStringLiteral("font-size: 12px; margin-left: 10px; color: ")
            + QLatin1String(themePalette(darkMode).secondaryText) + QLatin1Char(';'));
}

void MainWindow::onDarkModeToggled(bool checked)
{
    darkMode = checked;
    AppSettings().setValue(SettingsKey::darkMode, checked);
    applyTheme();
    if (!currentChatId().isEmpty())
        renderMessages(currentChatId());
}
