#include "serverfixture.h"
#include "session.h"
#include "testframes.h"
#include "windowprobe.h"

#include <QApplication>
#include <QJsonArray>
#include <QMenu>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>
#include <memory>

namespace
{

QStringList strings(std::initializer_list<const char *> items)
{
    QStringList list;
    for (const char *item : items)
        list.append(QString::fromUtf8(item));
    return list;
}

// What the group menu offers its owner.
QStringList ownerMenu()
{
    return strings({ "Rename\u2026", "Add Members\u2026", "Leave Group" });
}

} // namespace

// The window's groups against the real server: the "New Group…" dialog, and what others' changes
// and its own menu do to the open group.
class TestGroupWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void newGroupDialogCreatesAndOpensTheGroup_data();
    void newGroupDialogCreatesAndOpensTheGroup();
    void changesReachTheOpenGroup_data();
    void changesReachTheOpenGroup();

private:
    // Opens the header's group menu and chooses `choice` in it, if given; the entries offered.
    QStringList groupMenu(const QString &choice = QString()) const;
    QListWidgetItem *rowNamed(const QString &name) const;

    ServerFixture fixture;
    QString alice, bob, carol, team, ops;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<WindowProbe> probe;
};

void TestGroupWindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestGroupWindow::init()
{
    FERROW_SET_UP(fixture);
    alice = fixture.addUser(QStringLiteral("alice"));
    bob = fixture.addUser(QStringLiteral("bob"));
    carol = fixture.addUser(QStringLiteral("carol"));
    const QString groupType = QStringLiteral("group");
    team = fixture.db->createChat({}, QStringLiteral("Team"), groupType, alice, { alice, bob })->id;
    ops = fixture.db->createChat({}, QStringLiteral("Ops"), groupType, bob, { bob, alice, carol })
              ->id;
    ChatServer::Options options = fixture.defaultOptions();
    options.maxGroupMembers = 2;
    QVERIFY(fixture.start(options));
    qputenv("FERROW_SERVER_HOST", "127.0.0.1");
    qputenv("FERROW_SERVER_PORT", QByteArray::number(fixture.port()));
    window = std::make_unique<MainWindow>();
    probe = std::make_unique<WindowProbe>(*window);
    window->show();
    QTRY_VERIFY_WITH_TIMEOUT(probe->loginButton()->isEnabled(), 10000);
    probe->usernameEdit()->setText(QStringLiteral("alice"));
    probe->passwordEdit()->setText(QStringLiteral("secret"));
    QTest::mouseClick(probe->loginButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(probe->chatListWidget()->count(), 2, 10000);
    QTRY_VERIFY(probe->session().isOnline());
}

void TestGroupWindow::cleanup()
{
    probe.reset();
    window.reset();
    fixture.stop();
}

QStringList TestGroupWindow::groupMenu(const QString &choice) const
{
    return chooseInNextMenu(
        choice, [this] { QTest::mouseClick(probe->groupMenuButton(), Qt::LeftButton); }, true);
}

QListWidgetItem *TestGroupWindow::rowNamed(const QString &name) const
{
    const QList<QListWidgetItem *> rows =
        probe->chatListWidget()->findItems(name, Qt::MatchExactly);
    return rows.isEmpty() ? nullptr : rows.first();
}

void TestGroupWindow::newGroupDialogCreatesAndOpensTheGroup_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("ticked");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("refusal");

    QTest::newRow("a name and a contact")
        << " Lunch " << strings({ "bob" }) << "" << strings({ "bob", "carol" }) << "";
    QTest::newRow("a name without contacts")
        << "Lunch" << QStringList() << "" << strings({ "bob", "carol" }) << "";
    QTest::newRow("a contact, a name all white space")
        << "   " << strings({ "carol" }) << "" << strings({ "bob", "carol" }) << "";
    QTest::newRow("filtered: the ticked stay in sight")
        << "Lunch" << strings({ "bob" }) << "CAR" << strings({ "bob", "carol" }) << "";
    QTest::newRow("filtered: the others go")
        << "Lunch" << QStringList() << "car" << strings({ "carol" }) << "";
    QTest::newRow("refused by the server")
        << "Lunch" << strings({ "bob", "carol" }) << "" << strings({ "bob", "carol" })
        << "A group holds at most 2 members";
}

void TestGroupWindow::newGroupDialogCreatesAndOpensTheGroup()
{
    QFETCH(QString, name);
    QFETCH(QStringList, ticked);
    QFETCH(QString, filter);
    QFETCH(QStringList, shown);
    QFETCH(QString, refusal);
    const auto bobPeer = fixture.login(QStringLiteral("bob"));
    QVERIFY(bobPeer);
    QVERIFY(probe->newGroupButton()->isVisible());
    QTest::mouseClick(probe->newGroupButton(), Qt::LeftButton);
    GroupDialog *dialog = probe->groupDialog();
    QVERIFY(dialog);
    dialog->findChild<QLineEdit *>(QStringLiteral("groupName"))->setText(name);
    auto *contacts = dialog->findChild<QListWidget *>(QStringLiteral("groupContacts"));
    for (int row = 0; row < contacts->count(); ++row) {
        if (ticked.contains(contacts->item(row)->text()))
            contacts->item(row)->setCheckState(Qt::Checked);
    }
    dialog->findChild<QLineEdit *>(QStringLiteral("groupFilter"))->setText(filter);
    QStringList visible;
    for (int row = 0; row < contacts->count(); ++row) {
        if (!contacts->item(row)->isHidden())
            visible.append(contacts->item(row)->text());
    }
    QCOMPARE(visible, shown);
    QPushButton *create = nullptr;
    for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
        if (button->text() == QLatin1String("Create"))
            create = button;
    }
    QVERIFY(create);
    const bool enabled = !name.trimmed().isEmpty() && !ticked.isEmpty();
    QCOMPARE(create->isEnabled(), enabled);
    if (!enabled)
        return;
    QTest::mouseClick(create, Qt::LeftButton);

    if (!refusal.isEmpty()) {
        auto *error = dialog->findChild<QLabel *>(QStringLiteral("groupError"));
        QTRY_VERIFY(error->isVisible());
        QCOMPARE(error->text(), refusal);
        QVERIFY(create->isEnabled());
        QCOMPARE(probe->chatListWidget()->count(), 2);
        return;
    }
    // The group opens once the server made it; bob heard of it.
    QTRY_COMPARE(probe->chatTitleLabel()->text(), name.trimmed());
    QTRY_VERIFY(!probe->groupDialog());
    QCOMPARE(probe->chatListWidget()->count(), 3);
    QCOMPARE(probe->chatListWidget()->currentItem()->text(), name.trimmed());
    QVERIFY(bobPeer->waitUntil([&] { return !bobPeer->frames.isEmpty(); }));
    const QJsonObject chat = bobPeer->frames.first().value(QLatin1String("chat")).toObject();
    QCOMPARE(chat.value(QLatin1String("chatName")).toString(), name.trimmed());
    QCOMPARE(chat.value(QLatin1String("members")).toArray(), (QJsonArray { alice, bob }));
    QCOMPARE(probe->membersButton()->text(), QStringLiteral("2 members"));
    // The creator owns it.
    QCOMPARE(groupMenu(), ownerMenu());
}

void TestGroupWindow::changesReachTheOpenGroup_data()
{
    QTest::addColumn<QString>("chat");
    QTest::addColumn<QString>("actor");
    QTest::addColumn<QJsonObject>("change");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("members");
    QTest::addColumn<QStringList>("menu");

    const QStringList owner = ownerMenu();
    const auto frame = [](const char *type, const QJsonObject &fields = {}) {
        QJsonObject object = fields;
        object.insert(QStringLiteral("type"), QLatin1String(type));
        return object;
    };
    QTest::newRow("renamed on the owner's other device")
        << "Team"
        << "alice" << frame("rename_chat", { { QStringLiteral("name"), QStringLiteral("Crew") } })
        << "Crew"
        << "2 members" << owner;
    QTest::newRow("a member leaves") << "Team"
                                     << "bob" << frame("leave_chat") << "Team"
                                     << "1 member" << owner;
    QTest::newRow("the owner leaves: alice owns it now") << "Ops"
                                                         << "bob" << frame("leave_chat") << "Ops"
                                                         << "2 members" << owner;
    QTest::newRow("left on the other device")
        << "Team"
        << "alice" << frame("leave_chat") << QString() << QString() << QStringList();
    QTest::newRow("left through the menu")
        << "Team"
        << "menu" << QJsonObject() << QString() << QString() << QStringList();
}

void TestGroupWindow::changesReachTheOpenGroup()
{
    QFETCH(QString, chat);
    QFETCH(QString, actor);
    QFETCH(QJsonObject, change);
    QFETCH(QString, title);
    QFETCH(QString, members);
    QFETCH(QStringList, menu);
    const QString chatId = chat == QLatin1String("Team") ? team : ops;
    probe->chatListWidget()->setCurrentItem(rowNamed(chat));
    emit probe->chatListWidget()->itemClicked(rowNamed(chat));
    QCOMPARE(probe->chatTitleLabel()->text(), chat);
    QVERIFY(probe->groupMenuButton()->isVisible());
    // Only the owner may rename and extend.
    QCOMPARE(groupMenu(), chat == QLatin1String("Team") ? ownerMenu() : strings({ "Leave Group" }));
    probe->messageInput()->setText(QStringLiteral("draft"));

    if (actor == QLatin1String("menu")) {
        // "Leave Group" asks first.
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&answer] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            answer.stop();
            QCOMPARE(box->text(),
                QStringLiteral("Leave \u201CTeam\u201D? Its messages will no longer reach you."));
            box->button(QMessageBox::Yes)->click();
        });
        answer.start(10);
        groupMenu(QStringLiteral("Leave Group"));
    } else {
        const auto peer = fixture.login(actor);
        QVERIFY(peer);
        change.insert(QStringLiteral("chatId"), chatId);
        peer->send(change);
    }

    if (title.isEmpty()) {
        // Gone: its row, its messages, its header and what was typed for it.
        QTRY_COMPARE(probe->chatTitleLabel()->text(), QStringLiteral("Select a chat"));
        QVERIFY(!rowNamed(chat));
        QCOMPARE(probe->chatListWidget()->count(), 1);
        QCOMPARE(probe->chatListWidget()->selectedItems(), {});
        QCOMPARE(probe->messageListWidget()->count(), 0);
        QCOMPARE(probe->messageInput()->text(), QString());
        QVERIFY(!probe->messageInput()->isEnabled());
        QVERIFY(!window->findChild<QPushButton *>(QStringLiteral("attachButton"))->isEnabled());
        QVERIFY(!probe->sendButton()->isEnabled());
        QVERIFY(!probe->membersButton()->isVisible());
        QVERIFY(!probe->groupMenuButton()->isVisible());
        QVERIFY(probe->session().currentChatId().isEmpty());
        return;
    }
    QTRY_COMPARE(probe->membersButton()->text(), members);
    QTRY_COMPARE(probe->chatTitleLabel()->text(), title);
    QVERIFY(rowNamed(title));
    QCOMPARE(groupMenu(), menu);
    QCOMPARE(probe->messageInput()->text(), QStringLiteral("draft"));
}

QTEST_MAIN(TestGroupWindow)
#include "tst_groupwindow.moc"
