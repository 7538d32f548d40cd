#include "app/settings.h"
#include "session.h"
#include "view/elidedlabel.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QScrollBar>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <QtTest>

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void startsOnLoginPage();
    void loginPageWidgets();
    void sidebarTabs();
    void chatAreaWidgets();
    void objectNames_data();
    void objectNames();
    void settingsReflectStoredFlags();
    void sidebarKeepsWidthWhenResized();
    void messageRowsAreNotSelectable();
    void longChatNameNeverWidensWindow_data();
    void longChatNameNeverWidensWindow();
    void newestMessageStaysInView_data();
    void newestMessageStaysInView();
    void windowComesBackAsItWasLeft();
};

void TestLayout::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestLayout::init()
{
    AppSettings().clear();
}

void TestLayout::startsOnLoginPage()
{
    Session session;
    QVERIFY(session.connected());
    WindowProbe &probe = *session.probe;
    QCOMPARE(session.window->windowTitle(), QStringLiteral("Ferrow Desktop"));
    QCOMPARE(session.window->size(), QSize(1000, 700));
    QCOMPARE(session.window->centralWidget(), probe.stackedWidget());
    QCOMPARE(probe.stackedWidget()->indexOf(probe.loginPage()), 0);
    QCOMPARE(probe.stackedWidget()->indexOf(probe.chatPage()), 1);
    QCOMPARE(probe.stackedWidget()->currentIndex(), 0);
    QVERIFY(probe.replyBar()->isHidden());
    QVERIFY(probe.editBar()->isHidden());
    QCOMPARE(probe.chatTitleLabel()->text(), QStringLiteral("Select a chat"));
    QCOMPARE(probe.sidebarTabs()->currentWidget(), probe.chatListWidget());
}

void TestLayout::loginPageWidgets()
{
    Session session;
    QVERIFY(session.connected());
    WindowProbe &probe = *session.probe;
    QCOMPARE(probe.usernameEdit()->placeholderText(), QStringLiteral("Username"));
    QCOMPARE(probe.passwordEdit()->placeholderText(), QStringLiteral("Password"));
    QCOMPARE(probe.passwordEdit()->echoMode(), QLineEdit::Password);
    QCOMPARE(probe.loginButton()->text(), QStringLiteral("Log In"));
    QCOMPARE(probe.loginButton()->minimumHeight(), 40);
    QCOMPARE(probe.loginButton()->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(probe.statusLabel()->alignment(), Qt::AlignCenter);

    auto *layout = qobject_cast<QVBoxLayout *>(probe.loginPage()->layout());
    QVERIFY(layout);
    QCOMPARE(layout->contentsMargins(), QMargins(300, 50, 300, 50));
    QCOMPARE(layout->count(), 8);
    QVERIFY(layout->itemAt(0)->spacerItem());
    auto *title = qobject_cast<QLabel *>(layout->itemAt(1)->widget());
    QVERIFY(title);
    QCOMPARE(title->text(), QStringLiteral("Ferrow"));
    QCOMPARE(title->styleSheet(),
        QStringLiteral("font-size: 32px; font-weight: bold; margin-bottom: 20px;"));
    QCOMPARE(layout->itemAt(2)->widget(), probe.usernameEdit());
    QCOMPARE(layout->itemAt(3)->widget(), probe.passwordEdit());
    QCOMPARE(layout->itemAt(4)->widget(), probe.loginButton());
    QCOMPARE(layout->itemAt(5)->widget(), probe.statusLabel());
    QCOMPARE(layout->itemAt(6)->widget(), probe.loginConnectionBar());
    QVERIFY(layout->itemAt(7)->spacerItem());
}

void TestLayout::sidebarTabs()
{
    Session session;
    QVERIFY(session.connected());
    WindowProbe &probe = *session.probe;
    QTabWidget *tabs = probe.sidebarTabs();
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Chats"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Contacts"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("Settings"));
    QCOMPARE(tabs->widget(0), probe.chatListWidget());
    QCOMPARE(tabs->widget(1), probe.contactListWidget());
    QCOMPARE(tabs->widget(2), probe.settingsPage());
    QCOMPARE(tabs->tabPosition(), QTabWidget::South);
    QCOMPARE(tabs->minimumWidth(), 300);
    QCOMPARE(tabs->maximumWidth(), 300);
    for (QListWidget *list : { probe.chatListWidget(), probe.contactListWidget() }) {
        QCOMPARE(list->iconSize(), QSize(42, 42));
        QCOMPARE(list->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(list->objectName().isEmpty());
        QCOMPARE(list->itemDelegate()->metaObject()->className(), "UserListDelegate");
        QCOMPARE(list->itemDelegate()->parent(), session.window.get());
    }
    QVERIFY(probe.chatListWidget()->itemDelegate() != probe.contactListWidget()->itemDelegate());

    auto *settings = qobject_cast<QVBoxLayout *>(probe.settingsPage()->layout());
    QCOMPARE(settings->count(), 11);
    QCOMPARE(
        qobject_cast<QLabel *>(settings->itemAt(0)->widget())->text(), QStringLiteral("Settings"));
    QCOMPARE(settings->itemAt(1)->widget(), probe.darkModeCheckBox());
    QCOMPARE(settings->itemAt(2)->widget(), probe.notificationsCheckBox());
    QCOMPARE(probe.notificationsCheckBox()->text(), QStringLiteral("Notifications"));
    // Previews are off and typing is told by default.
    QCOMPARE(settings->itemAt(3)->widget(), probe.previewsCheckBox());
    QCOMPARE(probe.previewsCheckBox()->text(), QStringLiteral("Show previews and unread counts"));
    QVERIFY(!probe.previewsCheckBox()->isChecked());
    QCOMPARE(settings->itemAt(4)->widget(), probe.typingCheckBox());
    QCOMPARE(probe.typingCheckBox()->text(), QStringLiteral("Send typing notifications"));
    QVERIFY(probe.typingCheckBox()->isChecked());
    // Pictures show as their markers by default.
    auto *pictures = qobject_cast<QCheckBox *>(settings->itemAt(5)->widget());
    QCOMPARE(pictures->text(), QStringLiteral("Show pictures in messages"));
    QVERIFY(!pictures->isChecked());
    // Where the password is kept, said only when it is in the settings file.
    QVERIFY(settings->itemAt(6)->widget()->isHidden());
    QVERIFY(settings->itemAt(7)->spacerItem());
    QCOMPARE(settings->itemAt(8)->widget(), probe.changePasswordButton());
    QCOMPARE(settings->itemAt(9)->widget(), probe.logoutButton());
    QCOMPARE(settings->itemAt(10)->spacerItem()->sizeHint().height(), 20);
}

void TestLayout::chatAreaWidgets()
{
    Session session;
    QVERIFY(session.connected());
    WindowProbe &probe = *session.probe;
    auto *area = qobject_cast<QVBoxLayout *>(probe.chatArea()->layout());
    QCOMPARE(area->contentsMargins(), QMargins());
    QCOMPARE(area->spacing(), 0);
    QCOMPARE(area->count(), 8);
    QCOMPARE(area->itemAt(0)->widget()->objectName(), QStringLiteral("chatHeader"));
    QCOMPARE(area->itemAt(0)->widget()->height(), 60);
    // The connection bar, hidden while all is well.
    QCOMPARE(area->itemAt(1)->widget(), probe.connectionBar());
    QVERIFY(probe.connectionBar()->isHidden());
    QCOMPARE(area->itemAt(2)->widget(), probe.messageListWidget());
    QCOMPARE(area->itemAt(3)->widget(), probe.replyBar());
    QCOMPARE(area->itemAt(4)->widget(), probe.editBar());
    // Downloads (empty while there are none) and the files chosen for the next message.
    QCOMPARE(area->itemAt(5)->widget()->objectName(), QStringLiteral("downloadArea"));
    QCOMPARE(area->itemAt(6)->widget(), probe.attachmentStrip());
    QVERIFY(probe.attachmentStrip()->isHidden());
    QCOMPARE(area->itemAt(7)->widget()->objectName(), QStringLiteral("inputArea"));
    QCOMPARE(probe.chatTitleLabel()->styleSheet(),
        QStringLiteral("font-size: 16px; font-weight: bold; margin-left: 10px;"));

    QListWidget *messages = probe.messageListWidget();
    QCOMPARE(messages->frameShape(), QFrame::NoFrame);
    QCOMPARE(messages->verticalScrollMode(), QAbstractItemView::ScrollPerPixel);
    QVERIFY(!messages->uniformItemSizes());
    QCOMPARE(messages->resizeMode(), QListView::Adjust);
    QCOMPARE(messages->selectionMode(), QAbstractItemView::NoSelection);
    QCOMPARE(messages->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(messages->contextMenuPolicy(), Qt::CustomContextMenu);

    QCOMPARE(probe.replyBar()->maximumHeight(), 40);
    QCOMPARE(probe.replyPreviewLabel()->text(), QString());
    QCOMPARE(probe.editBar()->maximumHeight(), 35);
    QCOMPARE(probe.editLabel()->text(), QStringLiteral("Editing: "));
    for (QPushButton *cancel : { probe.cancelReplyButton(), probe.cancelEditButton() }) {
        QCOMPARE(cancel->text(), QStringLiteral("X"));
        QCOMPARE(cancel->size(), QSize(25, 25));
    }
    QCOMPARE(probe.messageInput()->placeholderText(), QStringLiteral("Write a message..."));
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Send"));
}

void TestLayout::objectNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("count");
    QTest::newRow("chat header") << QStringLiteral("chatHeader") << 1;
    QTest::newRow("input area") << QStringLiteral("inputArea") << 1;
    QTest::newRow("message list") << QStringLiteral("chatList") << 1;
    QTest::newRow("reply bar") << QStringLiteral("replyBar") << 1;
    QTest::newRow("edit bar") << QStringLiteral("editBar") << 1;
}

void TestLayout::objectNames()
{
    QFETCH(QString, name);
    QFETCH(int, count);
    Session session;
    QVERIFY(session.connected());
    QCOMPARE(session.window->findChildren<QWidget *>(name).size(), count);
    if (name == QLatin1String("chatList"))
        QCOMPARE(session.window->findChild<QWidget *>(name), session.probe->messageListWidget());
}

void TestLayout::settingsReflectStoredFlags()
{
    {
        AppSettings settings;
        settings.setValue(SettingsKey::darkMode, true);
        settings.setValue(SettingsKey::notificationsEnabled, false);
    }
    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.probe->darkModeCheckBox()->isChecked());
    QVERIFY(!session.probe->notificationsCheckBox()->isChecked());

    session.probe->notificationsCheckBox()->setChecked(true);
    QCOMPARE(AppSettings().value(SettingsKey::notificationsEnabled), QVariant(true));
}

void TestLayout::sidebarKeepsWidthWhenResized()
{
    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1")));
    WindowProbe &probe = *session.probe;
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    for (const QSize &size : { QSize(1400, 800), QSize(900, 600), QSize(1000, 700) }) {
        session.window->resize(size);
        QTRY_COMPARE(session.window->size(), size);
        QTRY_COMPARE(probe.sidebarTabs()->width(), 300);
        QCOMPARE(probe.chatArea()->width(), probe.chatPage()->width() - 300);
    }
}

void TestLayout::messageRowsAreNotSelectable()
{
    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1")));
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QListWidget *messages = session.probe->messageListWidget();
    messages->addItem(QStringLiteral("row"));
    QTest::mouseClick(messages->viewport(),
        Qt::LeftButton,
        {},
        messages->visualItemRect(messages->item(0)).center());
    QVERIFY(messages->selectedItems().isEmpty());

    QListWidget *chatList = session.probe->chatListWidget();
    chatList->addItem(QStringLiteral("chat"));
    QTest::mouseClick(chatList->viewport(),
        Qt::LeftButton,
        {},
        chatList->visualItemRect(chatList->item(0)).center());
    QCOMPARE(chatList->selectedItems().size(), 1);
}

void TestLayout::longChatNameNeverWidensWindow_data()
{
    QTest::addColumn<bool>("fromContacts");

    QTest::newRow("a chat from the chat list") << false;
    QTest::newRow("a contact without a chat") << true;
}

void TestLayout::longChatNameNeverWidensWindow()
{
    QFETCH(bool, fromContacts);
    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1")));
    WindowProbe &probe = *session.probe;
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    const int minimumWidth = session.window->minimumSizeHint().width();

    const QString name =
        QStringLiteral("The quarterly planning group for everyone in the building");
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("user_list_update") },
        { QStringLiteral("users"),
            QJsonArray { QJsonObject { { QStringLiteral("userId"), QStringLiteral("u2") },
                { QStringLiteral("username"), name } } } } });
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("chats"),
            QJsonArray { QJsonObject { { QStringLiteral("chatId"), QStringLiteral("g1") },
                { QStringLiteral("chatName"), name },
                { QStringLiteral("chatType"), QStringLiteral("group") } } } } });
    QListWidget *list = fromContacts ? probe.contactListWidget() : probe.chatListWidget();
    emit list->itemClicked(list->item(0));

    auto *title = qobject_cast<ElidedLabel *>(probe.chatTitleLabel());
    QVERIFY(title);
    QCOMPARE(title->text(), name);
    QCOMPARE(title->toolTip(), name);
    QCOMPARE(session.window->minimumSizeHint().width(), minimumWidth);

    session.window->resize(minimumWidth, 600);
    QTRY_COMPARE(session.window->width(), minimumWidth);
    QTRY_VERIFY(title->shownText().endsWith(QChar(0x2026)));
    QVERIFY(title->shownText().size() < name.size());
    QVERIFY(title->fontMetrics().horizontalAdvance(title->shownText())
        <= title->contentsRect().width());
    QVERIFY(title->mapTo(session.window.get(), QPoint(title->width(), 0)).x()
        <= session.window->width());

    // Wide enough again, the whole name shows.
    session.window->resize(1400, 600);
    QTRY_COMPARE(title->shownText(), name);
}

void TestLayout::newestMessageStaysInView_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("scrolledUp");

    QTest::newRow("the reply bar shows") << QStringLiteral("reply") << false;
    QTest::newRow("the edit bar shows") << QStringLiteral("edit") << false;
    QTest::newRow("the window gets smaller") << QStringLiteral("resize") << false;
    QTest::newRow("scrolled up, the view stays where it was") << QStringLiteral("reply") << true;
}

void TestLayout::newestMessageStaysInView()
{
    QFETCH(QString, change);
    QFETCH(bool, scrolledUp);
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    QJsonArray messages;
    for (int n = 1; n <= 30; ++n)
        messages.append(QJsonObject { { QStringLiteral("messageId"), QStringLiteral("m%1").arg(n) },
            { QStringLiteral("senderId"), QStringLiteral("u2") },
            { QStringLiteral("timestamp"), n },
            { QStringLiteral("content"),
                QJsonObject { { QStringLiteral("text"), QStringLiteral("line %1").arg(n) } } } });
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("chat_history") },
        { QStringLiteral("chats"),
            QJsonArray { QJsonObject { { QStringLiteral("chatId"), QStringLiteral("g1") },
                { QStringLiteral("messages"), messages } } } } });
    WindowProbe &probe = *session.probe;
    emit probe.chatListWidget()->itemClicked(probe.chatListWidget()->item(0));
    session.window->resize(900, 600);
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QListWidget *list = probe.messageListWidget();
    QScrollBar *bar = list->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QTRY_COMPARE(bar->value(), bar->maximum());
    if (scrolledUp)
        bar->setValue(bar->maximum() / 2);
    const int value = bar->value();

    if (change == QLatin1String("resize"))
        session.window->resize(900, 400);
    else
        (change == QLatin1String("reply") ? probe.replyBar() : probe.editBar())->show();
    const auto lastRowShown = [list] {
        return list->viewport()->rect().contains(
            list->visualItemRect(list->item(list->count() - 1)));
    };
    if (scrolledUp) {
        QTRY_VERIFY(list->height() < 600 - 60 - 60 - 30);
        QCOMPARE(bar->value(), value);
        QVERIFY(!lastRowShown());
    } else {
        QTRY_VERIFY(lastRowShown());
        QCOMPARE(bar->value(), bar->maximum());
    }
}

void TestLayout::windowComesBackAsItWasLeft()
{
    QRect left;
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(1000, 700));
        window.setGeometry(120, 80, 820, 560);
        QTRY_COMPARE(window.geometry(), QRect(120, 80, 820, 560));
        left = window.geometry();
        window.close();
    }
    MainWindow again;
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QCOMPARE(again.geometry(), left);
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
