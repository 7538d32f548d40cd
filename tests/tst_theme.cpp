#include "app/settings.h"
#include "app/theme.h"
#include "session.h"
#include "view/messagedelegate.h"

#include <QCheckBox>
#include <QStandardPaths>
#include <QtTest>

namespace
{

const char lightSheet[] =
    "QMainWindow { background-color: #f5f5f5; }"
    "QWidget { color: #000000; }"
    "QLineEdit { padding: 10px; border: 1px solid #e0e0e0; border-radius: 5px; "
    "background-color: #ffffff; color: #000000; }"
    "QPushButton { padding: 8px 15px; border-radius: 5px; background-color: #0088cc; color: "
    "white; border: none; }"
    "QPushButton:hover { background-color: #0077b3; }"
    "QListWidget { background-color: #ffffff; border: none; outline: none; }"
    "QListWidget::item { padding: 10px; border-bottom: 1px solid #e0e0e0; }"
    "QListWidget::item:selected { background-color: #0088cc; color: white; }"
    "QListWidget::item:hover { background-color: #f0f0f0; }"
    "QListWidget::item:selected:hover { background-color: #0088cc; }"
    "QTabWidget::pane { border: none; }"
    "QTabBar::tab { background: #ffffff; color: #000000; padding: 10px; min-width: 80px; }"
    "QTabBar::tab:selected { border-bottom: 2px solid #0088cc; }"
    "#chatHeader { background-color: #ffffff; border-bottom: 1px solid #e0e0e0; }"
    "#inputArea { background-color: #ffffff; border-top: 1px solid #e0e0e0; }"
    "#chatList { background-color: #f5f5f5; border: none; }"
    "QScrollBar:vertical { border: none; background: #ffffff; width: 10px; margin: 0px; }"
    "QScrollBar::handle:vertical { background: #c0c0c0; min-height: 20px; border-radius: "
    "5px; }"
    "QScrollBar::handle:vertical:hover { background: #a0a0a0; }"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; }"
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"
    "QCheckBox { color: #000000; spacing: 5px; }"
    "QCheckBox::indicator { width: 18px; height: 18px; border: 1px solid #e0e0e0; "
    "border-radius: 4px; background: #ffffff; }"
    "QCheckBox::indicator:checked { background-color: #0088cc; border: 1px solid #0088cc; }"
    "QLineEdit:focus { border: 2px solid #1a56db; padding: 9px; }"
    "QPushButton:focus { border: 2px solid #0b2545; padding: 6px 13px; }"
    "QCheckBox:focus { color: #1a56db; }"
    "QCheckBox::indicator:focus { border: 2px solid #1a56db; }"
    "QListWidget::item:focus { border: 2px solid #1a56db; }"
    "QListWidget::item:selected:focus { border: 2px solid #0b2545; }"
    "#chatList:focus { border: 2px solid #1a56db; }"
    "QTabBar::tab:focus { color: #1a56db; text-decoration: underline; }";

const char darkSheet[] =
    "QMainWindow { background-color: #1e1e1e; }"
    "QWidget { color: #ffffff; }"
    "QLineEdit { padding: 10px; border: 1px solid #3d3d3d; border-radius: 5px; "
    "background-color: #3d3d3d; color: #ffffff; }"
    "QPushButton { padding: 8px 15px; border-radius: 5px; background-color: #0088cc; color: "
    "white; border: none; }"
    "QPushButton:hover { background-color: #0077b3; }"
    "QListWidget { background-color: #2d2d2d; border: none; outline: none; }"
    "QListWidget::item { padding: 10px; border-bottom: 1px solid #3d3d3d; }"
    "QListWidget::item:selected { background-color: #0088cc; color: white; }"
    "QListWidget::item:hover { background-color: #3a3a3a; }"
    "QListWidget::item:selected:hover { background-color: #0088cc; }"
    "QTabWidget::pane { border: none; }"
    "QTabBar::tab { background: #2d2d2d; color: #ffffff; padding: 10px; min-width: 80px; }"
    "QTabBar::tab:selected { border-bottom: 2px solid #0088cc; }"
    "#chatHeader { background-color: #2d2d2d; border-bottom: 1px solid #3d3d3d; }"
    "#inputArea { background-color: #2d2d2d; border-top: 1px solid #3d3d3d; }"
    "#chatList { background-color: #1e1e1e; border: none; }"
    "QScrollBar:vertical { border: none; background: #2d2d2d; width: 10px; margin: 0px; }"
    "QScrollBar::handle:vertical { background: #505050; min-height: 20px; border-radius: "
    "5px; }"
    "QScrollBar::handle:vertical:hover { background: #606060; }"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; }"
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"
    "QCheckBox { color: #ffffff; spacing: 5px; }"
    "QCheckBox::indicator { width: 18px; height: 18px; border: 1px solid #3d3d3d; "
    "border-radius: 4px; background: #3d3d3d; }"
    "QCheckBox::indicator:checked { background-color: #0088cc; border: 1px solid #0088cc; }"
    "QLineEdit:focus { border: 2px solid #93c5fd; padding: 9px; }"
    "QPushButton:focus { border: 2px solid #ffffff; padding: 6px 13px; }"
    "QCheckBox:focus { color: #93c5fd; }"
    "QCheckBox::indicator:focus { border: 2px solid #93c5fd; }"
    "QListWidget::item:focus { border: 2px solid #93c5fd; }"
    "QListWidget::item:selected:focus { border: 2px solid #ffffff; }"
    "#chatList:focus { border: 2px solid #93c5fd; }"
    "QTabBar::tab:focus { color: #93c5fd; text-decoration: underline; }";

} // namespace

class TestTheme : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void styleSheetForPalette_data();
    void styleSheetForPalette();
    void startsLightWithEmptyStore();
    void toggleRestylesAndPersists();
    void focusRingShows_data();
    void focusRingShows();
    void savedDarkModeHoldsFromTheStart();
};

void TestTheme::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestTheme::init()
{
    AppSettings().clear();
}

void TestTheme::styleSheetForPalette_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("expected");
    QTest::newRow("light") << false << QString::fromLatin1(lightSheet);
    QTest::newRow("dark") << true << QString::fromLatin1(darkSheet);
}

void TestTheme::styleSheetForPalette()
{
    QFETCH(bool, dark);
    QFETCH(QString, expected);
    QCOMPARE(themeStyleSheet(dark), expected);
}

void TestTheme::startsLightWithEmptyStore()
{
    Session session;
    QVERIFY(session.connected());
    QCOMPARE(session.window->styleSheet(), QString::fromLatin1(lightSheet));
    QVERIFY(!session.probe->darkModeCheckBox()->isChecked());
    auto *delegate =
        dynamic_cast<MessageDelegate *>(session.probe->messageListWidget()->itemDelegate());
    QVERIFY(delegate);
    QVERIFY(!delegate->isDarkMode());
}

void TestTheme::toggleRestylesAndPersists()
{
    Session session;
    QVERIFY(session.connected());
    QCheckBox *box = session.probe->darkModeCheckBox();
    box->setChecked(true);
    QCOMPARE(session.window->styleSheet(), QString::fromLatin1(darkSheet));
    QVERIFY(AppSettings().value(SettingsKey::darkMode).toBool());
    auto *delegate =
        dynamic_cast<MessageDelegate *>(session.probe->messageListWidget()->itemDelegate());
    QVERIFY(delegate->isDarkMode());

    box->setChecked(false);
    QCOMPARE(session.window->styleSheet(), QString::fromLatin1(lightSheet));
    QVERIFY(!delegate->isDarkMode());
    QCOMPARE(AppSettings().value(SettingsKey::darkMode), QVariant(false));
}

void TestTheme::savedDarkModeHoldsFromTheStart()
{
    AppSettings().setValue(SettingsKey::darkMode, true);
    TestServer server;
    QVERIFY(server.start());
    MainWindow window;
    WindowProbe probe(window);
    QCOMPARE(window.styleSheet(), QString::fromLatin1(darkSheet));
    QVERIFY(probe.darkModeCheckBox()->isChecked());
    QVERIFY(
        dynamic_cast<MessageDelegate *>(probe.messageListWidget()->itemDelegate())->isDarkMode());
    // Logging out keeps the theme.
    QTest::mouseClick(probe.logoutButton(), Qt::LeftButton);
    QCOMPARE(window.styleSheet(), QString::fromLatin1(darkSheet));
}

void TestTheme::focusRingShows_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("button");
    QTest::addColumn<QColor>("ring");

    QTest::newRow("light, input line") << false << false << QColor(0x1a, 0x56, 0xdb);
    QTest::newRow("light, button") << false << true << QColor(0x0b, 0x25, 0x45);
    QTest::newRow("dark, input line") << true << false << QColor(0x93, 0xc5, 0xfd);
    QTest::newRow("dark, button") << true << true << QColor(Qt::white);
}

void TestTheme::focusRingShows()
{
    QFETCH(bool, dark);
    QFETCH(bool, button);
    QFETCH(QColor, ring);
    AppSettings().setValue(SettingsKey::darkMode, dark);
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.push(R"({"type":"chat_history","chats":[{"chatId":"g1","messages":[]}]})");
    emit session.probe->chatListWidget()->itemClicked(session.probe->chatListWidget()->item(0));
    session.window->show();
    session.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(session.window.get()));
    QWidget *control = button ? static_cast<QWidget *>(session.probe->sendButton())
                              : session.probe->messageInput();
    session.probe->chatListWidget()->setFocus();
    QTRY_VERIFY(!control->hasFocus());
    const QImage unfocused = control->grab().toImage();

    control->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(control->hasFocus());
    const QImage focused = control->grab().toImage();
    // The middle of the left edge, inside the border: the ring's colour only with focus.
    const QPoint edge(1, focused.height() / 2);
    QCOMPARE(focused.pixelColor(edge), ring);
    QVERIFY(unfocused.pixelColor(edge) != ring);
    QCOMPARE(focused.size(), unfocused.size());
}

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
