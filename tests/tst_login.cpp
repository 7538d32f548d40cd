#include "app/settings.h"
#include "session.h"
#include "view/messagedelegate.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

class TestLogin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void startsConnectingThenConnected();
    void emptyStoreDoesNotLogIn();
    void storedCredentialsLogInAutomatically();
    void oneStoredKeyIsNotEnough_data();
    void oneStoredKeyIsNotEnough();
    void emptiedFieldsStopAutomaticLogin();
    void typedLoginTrimsNameOnTheWireOnly();
    void emptyFieldsSendNothing_data();
    void emptyFieldsSendNothing();
    void returnInLoginFieldsDoesNotLogIn();
    void refusalShowsReasonAndKeepsStore_data();
    void refusalShowsReasonAndKeepsStore();
    void idleLoginPageStaysStill();
    void logoutResetsAndReconnectsWithoutLogin();
    void logoutResetsComposer();
    void focusGoesWhereTheUserTypesNext();
    void closingWithoutTrayClosesWindow();
    void bigLoginPushes_data();
    void bigLoginPushes();
};

void TestLogin::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestLogin::init()
{
    AppSettings().clear();
}

void TestLogin::startsConnectingThenConnected()
{
    TestServer server;
    QVERIFY(server.start());
    MainWindow window;
    WindowProbe probe(window);
    QCOMPARE(probe.statusLabel()->text(), QStringLiteral("Connecting to server..."));
    QCOMPARE(probe.stackedWidget()->currentWidget(), probe.loginPage());
    QTRY_COMPARE(probe.statusLabel()->text(), QStringLiteral("Connected."));
    QVERIFY(probe.loginButton()->isEnabled());
}

void TestLogin::emptyStoreDoesNotLogIn()
{
    Session session;
    QVERIFY(session.connected());
    QCOMPARE(session.probe->statusLabel()->text(), QStringLiteral("Connected."));
    QVERIFY(session.probe->usernameEdit()->text().isEmpty());
    QVERIFY(session.probe->passwordEdit()->text().isEmpty());
    QVERIFY(!session.probe->darkModeCheckBox()->isChecked());
    QVERIFY(session.probe->notificationsCheckBox()->isChecked());

    // The first frame the server sees is the one the user asks for.
    session.probe->usernameEdit()->setText(QStringLiteral("carol"));
    session.probe->passwordEdit()->setText(QStringLiteral("x"));
    QTest::mouseClick(session.probe->loginButton(), Qt::LeftButton);
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.size(), 1);
    QCOMPARE(session.server.frames.first().value(QLatin1String("username")).toString(),
        QStringLiteral("carol"));
}

void TestLogin::storedCredentialsLogInAutomatically()
{
    {
        AppSettings settings;
        settings.setValue(SettingsKey::username, QStringLiteral(" alice "));
        settings.setValue(SettingsKey::password, QStringLiteral(" secret"));
    }
    TestServer server;
    QVERIFY(server.start());
    MainWindow window;
    WindowProbe probe(window);
    QCOMPARE(probe.usernameEdit()->text(), QStringLiteral(" alice "));
    QCOMPARE(probe.passwordEdit()->text(), QStringLiteral(" secret"));

    QVERIFY(server.waitForFrames(1));
    QCOMPARE(server.frames.first(),
        json(R"({"type":"login_with_password","username":"alice","password":" secret"})"));
    QCOMPARE(probe.statusLabel()->text(), QStringLiteral("Logging in..."));
}

void TestLogin::oneStoredKeyIsNotEnough_data()
{
    QTest::addColumn<QString>("storedKey");
    QTest::addColumn<QString>("expectedName");
    QTest::newRow("username only") << QStringLiteral("username") << QStringLiteral("dave");
    QTest::newRow("password only") << QStringLiteral("password") << QString();
}

void TestLogin::oneStoredKeyIsNotEnough()
{
    QFETCH(QString, storedKey);
    QFETCH(QString, expectedName);
    AppSettings().setValue(storedKey, QStringLiteral("dave"));

    Session session;
    QVERIFY(session.connected());
    QCOMPARE(session.probe->usernameEdit()->text(), expectedName);
    QVERIFY(session.probe->passwordEdit()->text().isEmpty());
    QCOMPARE(session.probe->statusLabel()->text(), QStringLiteral("Connected."));
    session.push(R"({"type":"user_list_update","users":[]})");
    QVERIFY(session.server.frames.isEmpty());
}

void TestLogin::emptiedFieldsStopAutomaticLogin()
{
    {
        AppSettings settings;
        settings.setValue(SettingsKey::username, QStringLiteral("alice"));
        settings.setValue(SettingsKey::password, QStringLiteral("pw"));
    }
    TestServer server;
    QVERIFY(server.start());
    MainWindow window;
    WindowProbe probe(window);
    probe.usernameEdit()->clear();
    QTRY_COMPARE(probe.statusLabel()->text(), QStringLiteral("Auto-logging in..."));
    QVERIFY(server.waitForClient());
    QVERIFY(server.frames.isEmpty());
}

void TestLogin::typedLoginTrimsNameOnTheWireOnly()
{
    Session session;
    QVERIFY(session.connected());
    WindowProbe &probe = *session.probe;
    QTest::keyClicks(probe.usernameEdit(), QStringLiteral("  bob "));
    QTest::keyClicks(probe.passwordEdit(), QStringLiteral(" pw "));
    QTest::mouseClick(probe.loginButton(), Qt::LeftButton);
    QCOMPARE(probe.statusLabel()->text(), QStringLiteral("Logging in..."));
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.frames.first(),
        json(R"({"type":"login_with_password","username":"bob","password":" pw "})"));

    session.push(R"({"type":"login_success","user":{"userId":"u2","username":"bob"},"token":"t"})");
    QCOMPARE(probe.stackedWidget()->currentWidget(), probe.chatPage());
    AppSettings settings;
    QCOMPARE(settings.value(SettingsKey::username).toString(), QStringLiteral("  bob "));
    // No secret store runs for the tests: the password goes to the file once that is known.
    QTRY_COMPARE(AppSettings().value(SettingsKey::password).toString(), QStringLiteral(" pw "));
    // A successful login asks the server for nothing.
    QCOMPARE(session.server.frames.size(), 1);
}

void TestLogin::emptyFieldsSendNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::newRow("both empty") << QString() << QString();
    QTest::newRow("name of spaces") << QStringLiteral("   ") << QStringLiteral("pw");
    QTest::newRow("password empty") << QStringLiteral("bob") << QString();
}

void TestLogin::emptyFieldsSendNothing()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    Session session;
    QVERIFY(session.connected());
    session.probe->usernameEdit()->setText(name);
    session.probe->passwordEdit()->setText(password);
    QTest::mouseClick(session.probe->loginButton(), Qt::LeftButton);
    QCOMPARE(session.probe->statusLabel()->text(), QStringLiteral("Connected."));
    session.push(R"({"type":"user_list_update","users":[]})");
    QVERIFY(session.server.frames.isEmpty());
}

void TestLogin::returnInLoginFieldsDoesNotLogIn()
{
    Session session;
    QVERIFY(session.connected());
    session.probe->usernameEdit()->setText(QStringLiteral("bob"));
    session.probe->passwordEdit()->setText(QStringLiteral("pw"));
    QTest::keyClick(session.probe->usernameEdit(), Qt::Key_Return);
    QTest::keyClick(session.probe->passwordEdit(), Qt::Key_Return);
    session.push(R"({"type":"user_list_update","users":[]})");
    QVERIFY(session.server.frames.isEmpty());
    QCOMPARE(session.probe->statusLabel()->text(), QStringLiteral("Connected."));
}

void TestLogin::refusalShowsReasonAndKeepsStore_data()
{
    QTest::addColumn<QString>("reason");
    QTest::newRow("wrong password") << QStringLiteral("Invalid username or password");
    // Said and left to the user on the login page: nothing logs in again by itself there.
    QTest::newRow("too many failed logins")
        << QStringLiteral("Too many failed logins; try again in 1 s");
}

void TestLogin::refusalShowsReasonAndKeepsStore()
{
    QFETCH(QString, reason);
    {
        AppSettings settings;
        settings.setValue(SettingsKey::username, QStringLiteral("alice"));
        settings.setValue(SettingsKey::password, QStringLiteral("old"));
    }
    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.server.waitForFrames(1));
    session.push(QJsonObject { { QStringLiteral("type"), QStringLiteral("auth_failed") },
        { QStringLiteral("message"), reason } });
    WindowProbe &probe = *session.probe;
    QCOMPARE(probe.statusLabel()->text(), QStringLiteral("Login Failed: ") + reason);
    QCOMPARE(probe.stackedWidget()->currentWidget(), probe.loginPage());
    QVERIFY(probe.loginButton()->isEnabled());
    AppSettings settings;
    QCOMPARE(settings.value(SettingsKey::username).toString(), QStringLiteral("alice"));
    QCOMPARE(settings.value(SettingsKey::password).toString(), QStringLiteral("old"));
    QVERIFY(!session.server.waitForFrames(2, 1500));
    QVERIFY(probe.loginConnectionBar()->text().isEmpty());
}

void TestLogin::idleLoginPageStaysStill()
{
    Session session;
    QVERIFY(session.connected());
    WindowProbe &probe = *session.probe;
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    const auto formAt = [&session, &probe] {
        return probe.usernameEdit()->mapTo(session.window.get(), QPoint());
    };
    const QPoint form = formAt();

    // The server lets go of a connection that does not log in: nothing to see, no reconnect.
    session.server.client()->close();
    QVERIFY(!session.server.waitForClient(500));
    QVERIFY(probe.loginConnectionBar()->text().isEmpty());
    QCOMPARE(probe.statusLabel()->text(), QStringLiteral("Connected."));

    // Logging in connects; with the server down the bar says so, and the form stays put.
    const quint16 port = session.server.port();
    session.server.stop();
    probe.usernameEdit()->setText(QStringLiteral("carol"));
    probe.passwordEdit()->setText(QStringLiteral("x"));
    QTest::mouseClick(probe.loginButton(), Qt::LeftButton);
    QTRY_VERIFY(probe.loginConnectionBar()->text().startsWith(QLatin1String("Offline. Retrying")));
    QCOMPARE(formAt(), form);
    QVERIFY(session.server.start(port));
    QVERIFY(session.server.waitForFrames(1, 10000));
    QCOMPARE(session.server.frames.first().value(QLatin1String("username")).toString(),
        QStringLiteral("carol"));
    QCOMPARE(session.server.connectionCount, 2);
    QCOMPARE(formAt(), form);
}

void TestLogin::logoutResetsAndReconnectsWithoutLogin()
{
    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    WindowProbe &probe = *session.probe;
    probe.contactListWidget()->addItem(QStringLiteral("contact"));
    session.push(R"({"type":"chat_history","chats":[{"chatId":"c","chatName":"Team",
        "messages":[{"messageId":"m","chatId":"c","senderId":"u2","timestamp":5}]}]})");
    emit probe.chatListWidget()->itemClicked(probe.chatListWidget()->item(0));
    QCOMPARE(probe.chatTitleLabel()->text(), QStringLiteral("Team"));
    QVERIFY(probe.session().loadOlderMessages());
    // The receipt of the message shown and the page asked for.
    QVERIFY(session.server.waitForFrames(2));
    session.server.takeFrames();
    probe.avatarCache().insert(QStringLiteral("http://x/a.png"), QPixmap(1, 1));
    probe.pendingAvatarDownloads().insert(QStringLiteral("http://x/b.png"));
    AppSettings().setValue(SettingsKey::darkMode, true);

    QSignalSpy closed(&session.server, &TestServer::clientDisconnected);
    QSignalSpy reconnected(&session.server, &TestServer::clientConnected);
    QElapsedTimer clock;
    clock.start();
    probe.sidebarTabs()->setCurrentWidget(probe.settingsPage());
    QTest::mouseClick(probe.logoutButton(), Qt::LeftButton);

    AppSettings settings;
    QVERIFY(!settings.contains(SettingsKey::username));
    QVERIFY(!settings.contains(SettingsKey::password));
    QVERIFY(settings.value(SettingsKey::darkMode).toBool());
    QVERIFY(probe.usernameEdit()->text().isEmpty());
    QVERIFY(probe.passwordEdit()->text().isEmpty());
    QCOMPARE(probe.chatListWidget()->count(), 0);
    QCOMPARE(probe.contactListWidget()->count(), 0);
    QCOMPARE(probe.messageListWidget()->count(), 0);
    QCOMPARE(probe.chatTitleLabel()->text(), QStringLiteral("Select a chat"));
    QCOMPARE(probe.store().chatCount(), 0);
    QVERIFY(probe.store().users().empty());
    QVERIFY(probe.currentChatId().isEmpty());
    QVERIFY(!probe.store().isLoadingHistory());
    QVERIFY(probe.avatarCache().isEmpty());
    QVERIFY(probe.pendingAvatarDownloads().isEmpty());
    QVERIFY(!probe.loginButton()->isEnabled());
    QCOMPARE(probe.statusLabel()->text(), QStringLiteral("Resetting connection..."));
    QCOMPARE(probe.stackedWidget()->currentWidget(), probe.loginPage());
    QVERIFY(probe.client()->currentUser.id.isEmpty());

    QVERIFY(closed.wait());
    QCOMPARE(session.server.lastCloseCode, int(QWebSocketProtocol::CloseCodeNormal));
    QVERIFY(reconnected.wait(3000));
    QVERIFY2(clock.elapsed() >= 450, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(probe.statusLabel()->text(), QStringLiteral("Connected."));
    QVERIFY(probe.loginButton()->isEnabled());
    session.push(R"({"type":"user_list_update","users":[]})");
    QVERIFY(session.server.frames.isEmpty());
    QCOMPARE(session.server.connectionCount, 2);
}

void TestLogin::logoutResetsComposer()
{
    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1")));
    WindowProbe &probe = *session.probe;
    session.push(R"({"type":"chat_history","chats":[{"chatId":"c","messages":[
        {"messageId":"m1","chatId":"c","senderId":"u2","timestamp":1},
        {"messageId":"m2","chatId":"c","senderId":"u1","timestamp":2}]}]})");
    emit probe.chatListWidget()->itemClicked(probe.chatListWidget()->item(0));
    QVERIFY(probe.session().replyTo(QStringLiteral("m1")));
    probe.replyBar()->show();
    QCOMPARE(probe.session().send(QStringLiteral("pending")), ChatSession::SendResult::Sent);
    probe.session().startEditing(QStringLiteral("m2"), QStringLiteral("old"), QString());
    probe.editBar()->show();
    probe.sendButton()->setText(QStringLiteral("Save"));
    probe.messageInput()->setText(QStringLiteral("draft"));
    auto *delegate = dynamic_cast<MessageDelegate *>(probe.messageListWidget()->itemDelegate());
    QVERIFY(delegate);
    delegate->setHighlightedMessageId(QStringLiteral("m3"));

    QTest::mouseClick(probe.logoutButton(), Qt::LeftButton);

    QVERIFY(probe.session().replyToMessageId().isEmpty());
    QVERIFY(probe.replyBar()->isHidden());
    QVERIFY(probe.session().editingMessageId().isEmpty());
    QVERIFY(probe.session().editingOldText().isEmpty());
    QVERIFY(probe.editBar()->isHidden());
    QCOMPARE(probe.sendButton()->text(), QStringLiteral("Send"));
    QVERIFY(probe.messageInput()->text().isEmpty());
    QVERIFY(probe.store().pendingMessages().empty());
    QVERIFY(delegate->highlightedMessageId().isEmpty());
}

void TestLogin::focusGoesWhereTheUserTypesNext()
{
    Session session;
    QVERIFY(session.connected());
    WindowProbe &probe = *session.probe;
    session.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(session.window.get()));
    QCOMPARE(session.window->focusWidget(), probe.usernameEdit());
    // Nothing to write into before a chat is open.
    QVERIFY(!probe.messageInput()->isEnabled());
    QVERIFY(!probe.sendButton()->isEnabled());

    for (int round = 0; round < 2; ++round) {
        QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
        // On the chats, never on a button that one Space would press.
        QCOMPARE(probe.sidebarTabs()->currentWidget(), probe.chatListWidget());
        QCOMPARE(session.window->focusWidget(), probe.chatListWidget());
        session.push(R"({"type":"chat_history","chats":[
            {"chatId":"g1","chatName":"One","messages":[]},
            {"chatId":"g2","chatName":"Two","messages":[]}]})");
        QListWidget *chats = probe.chatListWidget();
        QTest::mouseClick(chats->viewport(),
            Qt::LeftButton,
            Qt::NoModifier,
            chats->visualItemRect(chats->item(0)).center());
        QCOMPARE(session.window->focusWidget(), probe.messageInput());
        QTest::keyClicks(session.window->focusWidget(), QStringLiteral("a b"));
        QCOMPARE(probe.messageInput()->text(), QStringLiteral("a b"));
        QCOMPARE(probe.currentChatId(), QStringLiteral("g1"));

        probe.sidebarTabs()->setCurrentWidget(probe.settingsPage());
        probe.logoutButton()->setFocus();
        QTest::mouseClick(probe.logoutButton(), Qt::LeftButton);
        QCOMPARE(session.window->focusWidget(), probe.usernameEdit());
        QVERIFY(!probe.messageInput()->isEnabled());
        QTRY_VERIFY(probe.loginButton()->isEnabled());
    }
}

void TestLogin::closingWithoutTrayClosesWindow()
{
    Session session;
    QVERIFY(session.connected());
    QVERIFY(!session.probe->trayIcon());
    session.window->show();
    QVERIFY(session.window->close());
    QVERIFY(!session.window->isVisible());
}

void TestLogin::bigLoginPushes_data()
{
    QTest::addColumn<int>("textBytes");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("a push over 16 MiB is taken") << 20 * 1024 * 1024 << true;
    QTest::newRow("a push over 64 MiB is refused with a word")
        << int(WebSocketClient::maxIncomingMessageSize) + 1024 << false;
}

void TestLogin::bigLoginPushes()
{
    QFETCH(int, textBytes);
    QFETCH(bool, accepted);
    Session session;
    QVERIFY(session.logIn(QStringLiteral("u1")));
    QString frame = QStringLiteral(
        R"({"type":"chat_history","chats":[{"chatId":"c1","chatName":"Big","members":["u1"],)"
        R"("messages":[{"messageId":"m1","senderId":"u2","timestamp":1,"content":{"text":")");
    frame += QString(textBytes, QLatin1Char('x'));
    frame += QStringLiteral(R"("}}]}]})");
    session.server.sendText(frame);
    frame.clear();
    WindowProbe &probe = *session.probe;
    if (accepted) {
        QTRY_COMPARE_WITH_TIMEOUT(probe.chatListWidget()->count(), 1, 30000);
        QCOMPARE(probe.chatListWidget()->item(0)->text(), QStringLiteral("Big"));
        QCOMPARE(probe.stackedWidget()->currentWidget(), probe.chatPage());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(probe.stackedWidget()->currentWidget(), probe.loginPage(), 30000);
    QVERIFY2(probe.statusLabel()->text().contains(QLatin1String("64 MiB")),
        qPrintable(probe.statusLabel()->text()));
    QCOMPARE(probe.chatListWidget()->count(), 0);
}

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
