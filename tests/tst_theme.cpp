#include "app/settings.h"
#include "app/theme.h"
#include "model/itemroles.h"
#include "session.h"
#include "view/messagedelegate.h"
#include "view/pictureviewer.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QStandardPaths>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>
#include <cmath>

namespace
{

const char lightSheet[] =
    "QMainWindow, QDialog, #pictureViewer { background-color: #f5f5f5; }"
    "QWidget { color: #000000; }"
    "QLineEdit { padding: 10px; border: 1px solid #e0e0e0; border-radius: 5px; "
    "background-color: #ffffff; color: #000000; }"
    "QPushButton { padding: 8px 15px; border-radius: 5px; background-color: #0077b3; color: "
    "white; border: none; }"
    "QPushButton:hover { background-color: #005f8f; }"
    "QDialogButtonBox { dialogbuttonbox-buttons-have-icons: 0; }"
    "QListWidget { background-color: #ffffff; border: none; outline: none; }"
    "QListWidget::item { padding: 10px; border-bottom: 1px solid #e0e0e0; }"
    "QListWidget::item:selected { background-color: #0077b3; color: white; }"
    "QListWidget::item:hover { background-color: #f0f0f0; }"
    "QListWidget::item:selected:hover { background-color: #0077b3; }"
    "QTabWidget::pane { border: none; }"
    "QTabBar::tab { background: #ffffff; color: #000000; padding: 10px; min-width: 80px; }"
    "QTabBar::tab:selected { border-bottom: 2px solid #0077b3; }"
    "#chatHeader { background-color: #ffffff; border-bottom: 1px solid #e0e0e0; }"
    "#chatHeader QToolButton { padding: 4px 10px; border: 1px solid #e0e0e0; border-radius: 5px; "
    "background: transparent; color: #000000; }"
    "#chatHeader QToolButton:hover { background-color: #f0f0f0; }"
    "#chatHeader QToolButton:focus { border: 2px solid #1a56db; padding: 3px 9px; }"
    "QMenu { background-color: #ffffff; color: #000000; border: 1px solid #e0e0e0; }"
    "QMenu::item { padding: 6px 24px 6px 8px; }"
    "QMenu::item:selected { background-color: #f0f0f0; }"
    "QListWidget::indicator { width: 16px; height: 16px; border: 1px solid #e0e0e0; "
    "border-radius: 4px; background: #ffffff; }"
    "QListWidget::indicator:checked { background-color: #0077b3; border: 1px solid #0077b3; "
    "image: url(:/icons/check.png); }"
    "#inputArea { background-color: #ffffff; border-top: 1px solid #e0e0e0; }"
    "#chatList { background-color: #f5f5f5; border: none; }"
    "QScrollBar:vertical { border: none; background: #ffffff; width: 10px; margin: 0px; }"
    "QScrollBar::handle:vertical { background: #c0c0c0; min-height: 20px; border-radius: 5px; }"
    "QScrollBar::handle:vertical:hover { background: #a0a0a0; }"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; }"
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"
    "QCheckBox { color: #000000; spacing: 5px; }"
    "QCheckBox::indicator { width: 18px; height: 18px; border: 1px solid #e0e0e0; "
    "border-radius: 4px; background: #ffffff; }"
    "QCheckBox::indicator:checked { background-color: #0077b3; border: 1px solid #0077b3; "
    "image: url(:/icons/check.png); }"
    "QLineEdit:focus { border: 2px solid #1a56db; padding: 9px; }"
    "QPushButton:focus { border: 2px solid #0b2545; padding: 6px 13px; }"
    "QCheckBox:focus { color: #1a56db; }"
    "QCheckBox::indicator:focus { border: 2px solid #1a56db; }"
    "QListWidget::item:focus { border: 2px solid #1a56db; }"
    "QListWidget::item:selected:focus { border: 2px solid #0b2545; }"
    "#chatList:focus { border: 2px solid #1a56db; }"
    "QTabBar::tab:focus { color: #1a56db; text-decoration: underline; }"
    "#replyBar QLabel, #editBar QLabel { color: #666666; }"
    "#replyBar QLabel#replyPreview { color: #000000; }"
    "#cancelReply, #cancelEdit { border: none; background: transparent; color: #666666; "
    "font-size: 16px; font-weight: bold; padding: 0px; }"
    "#cancelReply:focus, #cancelEdit:focus { border: 2px solid #666666; border-radius: 4px; }"
    "QLineEdit:disabled { background-color: #f5f5f5; color: #666666; }"
    "QPushButton:disabled { background-color: #e0e0e0; color: #666666; }";

const char darkSheet[] =
    "QMainWindow, QDialog, #pictureViewer { background-color: #1e1e1e; }"
    "QWidget { color: #ffffff; }"
    "QLineEdit { padding: 10px; border: 1px solid #3d3d3d; border-radius: 5px; "
    "background-color: #3d3d3d; color: #ffffff; }"
    "QPushButton { padding: 8px 15px; border-radius: 5px; background-color: #0077b3; color: "
    "white; border: none; }"
    "QPushButton:hover { background-color: #005f8f; }"
    "QDialogButtonBox { dialogbuttonbox-buttons-have-icons: 0; }"
    "QListWidget { background-color: #2d2d2d; border: none; outline: none; }"
    "QListWidget::item { padding: 10px; border-bottom: 1px solid #3d3d3d; }"
    "QListWidget::item:selected { background-color: #0077b3; color: white; }"
    "QListWidget::item:hover { background-color: #3a3a3a; }"
    "QListWidget::item:selected:hover { background-color: #0077b3; }"
    "QTabWidget::pane { border: none; }"
    "QTabBar::tab { background: #2d2d2d; color: #ffffff; padding: 10px; min-width: 80px; }"
    "QTabBar::tab:selected { border-bottom: 2px solid #0077b3; }"
    "#chatHeader { background-color: #2d2d2d; border-bottom: 1px solid #3d3d3d; }"
    "#chatHeader QToolButton { padding: 4px 10px; border: 1px solid #3d3d3d; border-radius: 5px; "
    "background: transparent; color: #ffffff; }"
    "#chatHeader QToolButton:hover { background-color: #3a3a3a; }"
    "#chatHeader QToolButton:focus { border: 2px solid #93c5fd; padding: 3px 9px; }"
    "QMenu { background-color: #2d2d2d; color: #ffffff; border: 1px solid #3d3d3d; }"
    "QMenu::item { padding: 6px 24px 6px 8px; }"
    "QMenu::item:selected { background-color: #3a3a3a; }"
    "QListWidget::indicator { width: 16px; height: 16px; border: 1px solid #3d3d3d; "
    "border-radius: 4px; background: #3d3d3d; }"
    "QListWidget::indicator:checked { background-color: #0077b3; border: 1px solid #0077b3; "
    "image: url(:/icons/check.png); }"
    "#inputArea { background-color: #2d2d2d; border-top: 1px solid #3d3d3d; }"
    "#chatList { background-color: #1e1e1e; border: none; }"
    "QScrollBar:vertical { border: none; background: #2d2d2d; width: 10px; margin: 0px; }"
    "QScrollBar::handle:vertical { background: #505050; min-height: 20px; border-radius: 5px; }"
    "QScrollBar::handle:vertical:hover { background: #606060; }"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; }"
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"
    "QCheckBox { color: #ffffff; spacing: 5px; }"
    "QCheckBox::indicator { width: 18px; height: 18px; border: 1px solid #3d3d3d; "
    "border-radius: 4px; background: #3d3d3d; }"
    "QCheckBox::indicator:checked { background-color: #0077b3; border: 1px solid #0077b3; "
    "image: url(:/icons/check.png); }"
    "QLineEdit:focus { border: 2px solid #93c5fd; padding: 9px; }"
    "QPushButton:focus { border: 2px solid #ffffff; padding: 6px 13px; }"
    "QCheckBox:focus { color: #93c5fd; }"
    "QCheckBox::indicator:focus { border: 2px solid #93c5fd; }"
    "QListWidget::item:focus { border: 2px solid #93c5fd; }"
    "QListWidget::item:selected:focus { border: 2px solid #ffffff; }"
    "#chatList:focus { border: 2px solid #93c5fd; }"
    "QTabBar::tab:focus { color: #93c5fd; text-decoration: underline; }"
    "#replyBar QLabel, #editBar QLabel { color: #a0a0a0; }"
    "#replyBar QLabel#replyPreview { color: #ffffff; }"
    "#cancelReply, #cancelEdit { border: none; background: transparent; color: #a0a0a0; "
    "font-size: 16px; font-weight: bold; padding: 0px; }"
    "#cancelReply:focus, #cancelEdit:focus { border: 2px solid #a0a0a0; border-radius: 4px; }"
    "QLineEdit:disabled { background-color: #1e1e1e; color: #a0a0a0; }"
    "QPushButton:disabled { background-color: #3d3d3d; color: #a0a0a0; }";

double luminance(QColor colour)
{
    const auto linear = [](double c) {
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF())
        + 0.0722 * linear(colour.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The contrast of the text painted in `area`: the colour most of the area has is what the text
// stands on, and the pixel farthest from it is the text's own colour (its glyphs' cores).
double textContrast(const QImage &image, const QRect &area)
{
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y)];
    }
    QRgb background = 0;
    int most = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            background = it.key();
        }
    }
    double best = 1.0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        best = std::max(best, contrast(QColor(it.key()), QColor(background)));
    return best;
}

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
    void everyTextStandsOut_data();
    void everyTextStandsOut();
    void checkedBoxShowsATick_data();
    void checkedBoxShowsATick();
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

void TestTheme::everyTextStandsOut_data()
{
    QTest::addColumn<bool>("dark");

    QTest::newRow("light") << false;
    QTest::newRow("dark") << true;
}

void TestTheme::everyTextStandsOut()
{
    QFETCH(bool, dark);
    AppSettings().setValue(SettingsKey::darkMode, dark);
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.push(R"({"type":"user_list_update","users":[{"userId":"u1","username":"alice"},
        {"userId":"u2","username":"bob"}]})");
    session.push(R"({"type":"chat_history","chats":[
        {"chatId":"g2","chatName":"Other","chatType":"group","members":["u1","u2"],"messages":[]},
        {"chatId":"g1","chatName":"Team","chatType":"group","members":["u1","u2"],"messages":[
         {"messageId":"m1","chatId":"g1","senderId":"u2","timestamp":100,
          "content":{"text":"Lunch at ten? Yes, quite."},"seenBy":["u1"]},
         {"messageId":"m2","chatId":"g1","senderId":"u1","timestamp":160,"editedAt":170,
          "content":{"text":"Sure, happy to join"},"replyToId":"m1","seenBy":["u2"]},
         {"messageId":"m3","chatId":"g1","senderId":"u2","timestamp":200,
          "content":{"text":"Good"},"replyToId":"m2","seenBy":["u1"]}]}]})");
    WindowProbe &probe = *session.probe;
    session.window->resize(1000, 700);
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    emit probe.chatListWidget()->itemClicked(probe.chatListWidget()->item(0));
    QListWidget *list = probe.messageListWidget();
    probe.messageInput()->setText(QStringLiteral("still sending"));
    QTest::mouseClick(probe.sendButton(), Qt::LeftButton);
    chooseInMenu(list, 1, QStringLiteral("Edit"));
    chooseInMenu(list, 0, QStringLiteral("Reply"));
    probe.messageInput()->setText(QString(3900, QLatin1Char('a')));
    session.push(R"({"type":"error","message":"Message not found"})");
    list->clearFocus();
    QTRY_VERIFY(probe.replyBar()->isVisible() && probe.editBar()->isVisible());
    // The quote has the room its line needs: no descender cut off.
    QVERIFY(probe.replyPreviewLabel()->height() >= probe.replyPreviewLabel()->sizeHint().height());

    QMap<QString, QRect> areas;
    const auto add = [&](const QString &name, QWidget *widget, const QRect &rect) {
        areas.insert(name, QRect(widget->mapTo(session.window.get(), rect.topLeft()), rect.size()));
    };
    const auto addWidget = [&](const QString &name, QWidget *widget) {
        add(name, widget, widget->rect().adjusted(2, 2, -2, -2));
    };
    addWidget(QStringLiteral("Send"), probe.sendButton());
    addWidget(QStringLiteral("chat title"), probe.chatTitleLabel());
    addWidget(QStringLiteral("connection bar"), probe.connectionBar());
    addWidget(QStringLiteral("reply bar"), probe.replyBar()->findChildren<QLabel *>().value(0));
    addWidget(QStringLiteral("reply preview"), probe.replyPreviewLabel());
    addWidget(QStringLiteral("edit bar"), probe.editLabel());
    addWidget(QStringLiteral("cancel reply"), probe.cancelReplyButton());
    addWidget(QStringLiteral("length counter"),
        session.window->findChild<QLabel *>(QStringLiteral("lengthCounter")));
    QListWidget *chats = probe.chatListWidget();
    for (int row = 0; row < 2; ++row) {
        const QRect rect = chats->visualItemRect(chats->item(row)).adjusted(60, 4, -2, -4);
        add(row == 0 ? QStringLiteral("selected chat row") : QStringLiteral("chat row"),
            chats->viewport(),
            rect);
    }
    QTabBar *tabs = probe.sidebarTabs()->findChild<QTabBar *>();
    add(QStringLiteral("tab"), tabs, tabs->tabRect(1).adjusted(4, 4, -4, -4));
    auto *delegate = static_cast<MessageDelegate *>(list->itemDelegate());
    for (int row = 0; row < list->count(); ++row) {
        const QRect rowRect = list->visualItemRect(list->item(row));
        const QModelIndex index = list->model()->index(row, 0);
        QRect bubble, text, sender, avatar, reply;
        int height = 0;
        delegate->getBubbleLayout(index.data(TextRole).toString(),
            index.data(SenderNameRole).toString(),
            index.data(IsOwnRole).toBool(),
            rowRect.width(),
            bubble,
            text,
            sender,
            avatar,
            height,
            !index.data(ReplyToIdRole).toString().isEmpty(),
            index.data(ReplyPreviewRole).toString(),
            reply);
        const QPoint top(0, rowRect.top());
        const QString name = QStringLiteral("message %1: ").arg(row);
        add(name + QStringLiteral("text"), list->viewport(), text.translated(top));
        // The time, and for own messages the mark before it.
        add(name + QStringLiteral("time"),
            list->viewport(),
            QRect(QPoint(bubble.right() - 90, bubble.bottom() - 18), bubble.bottomRight())
                .adjusted(0, 0, -3, -3)
                .translated(top));
        if (!sender.isNull())
            add(name + QStringLiteral("sender"), list->viewport(), sender.translated(top));
        if (!reply.isNull())
            add(name + QStringLiteral("quote"),
                list->viewport(),
                reply.adjusted(2, 0, 0, 0).translated(top));
        if (index.data(EditedAtRole).toLongLong() > 0)
            add(name + QStringLiteral("edited"),
                list->viewport(),
                QRect(QPoint(bubble.right() - 40, bubble.bottom() - 30),
                    QPoint(bubble.right() - 3, bubble.bottom() - 19))
                    .translated(top));
    }

    QStringList faint;
    const QImage shot = session.window->grab().toImage();
    for (auto it = areas.cbegin(); it != areas.cend(); ++it) {
        const double ratio = textContrast(shot, it.value());
        if (ratio < 4.5)
            faint << it.key() + QStringLiteral(" %1:1").arg(ratio, 0, 'f', 2);
    }
    // The hint in an empty field.
    probe.messageInput()->clear();
    list->setFocus();
    const QImage empty = session.window->grab().toImage();
    const QRect input = probe.messageInput()->rect().adjusted(8, 8, -8, -8);
    const double hint = textContrast(empty,
        QRect(probe.messageInput()->mapTo(session.window.get(), input.topLeft()), input.size()));
    if (hint < 4.5)
        faint << QStringLiteral("placeholder %1:1").arg(hint, 0, 'f', 2);
    // A picture viewer is a window of its own, saying why it shows no picture.
    PictureViewer viewer(QStringLiteral("photo.png"), session.window.get());
    viewer.setBody("not a picture");
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    const auto *notice = viewer.findChild<QLabel *>(QStringLiteral("pictureNotice"));
    const double notes = textContrast(viewer.grab().toImage(), notice->geometry());
    if (notes < 4.5)
        faint << QStringLiteral("picture viewer %1:1").arg(notes, 0, 'f', 2);
    QVERIFY2(faint.isEmpty(), qPrintable(faint.join(QStringLiteral(", "))));
}

void TestTheme::checkedBoxShowsATick_data()
{
    QTest::addColumn<bool>("dark");

    QTest::newRow("light") << false;
    QTest::newRow("dark") << true;
}

void TestTheme::checkedBoxShowsATick()
{
    QFETCH(bool, dark);
    AppSettings().setValue(SettingsKey::darkMode, dark);
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    session.probe->sidebarTabs()->setCurrentWidget(session.probe->settingsPage());
    QCheckBox *box = session.probe->notificationsCheckBox();
    QVERIFY(box->isChecked());
    const QColor accent(0x00, 0x77, 0xb3);
    const auto indicatorOf = [&accent](const QImage &image) {
        QRect square;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < std::min(image.width(), 24); ++x) {
                if (image.pixelColor(x, y) == accent)
                    square |= QRect(x, y, 1, 1);
            }
        }
        return square;
    };
    const QImage image = box->grab().toImage();
    // The indicator is a square of the accent colour with a white tick in it.
    const QRect square = indicatorOf(image);
    QVERIFY(square.width() >= 14 && square.height() >= 14);
    int white = 0;
    for (int y = square.top(); y <= square.bottom(); ++y) {
        for (int x = square.left(); x <= square.right(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            white += colour.lightness() > 240 && colour.saturation() < 20 ? 1 : 0;
        }
    }
    QVERIFY2(white >= 10, qPrintable(QString::number(white)));
    box->setChecked(false);
    QVERIFY(indicatorOf(box->grab().toImage()).isNull());
}

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
