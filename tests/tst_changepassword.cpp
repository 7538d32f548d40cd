#include "app/credentialstore.h"
#include "app/settings.h"
#include "session.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

class TestChangePassword : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void dialogSendsAndShowsTheAnswer_data();
    void dialogSendsAndShowsTheAnswer();
    void closeCodesEndTheSession_data();
    void closeCodesEndTheSession();
};

namespace
{

QPushButton *buttonNamed(QWidget *dialog, const QString &text)
{
    for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

} // namespace

void TestChangePassword::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestChangePassword::init()
{
    AppSettings().clear();
}

void TestChangePassword::dialogSendsAndShowsTheAnswer_data()
{
    QTest::addColumn<QString>("again");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("changed");

    QTest::newRow("the new passwords differ")
        << QStringLiteral("new secreT") << QByteArray()
        << QStringLiteral("The new passwords do not match.") << false;
    QTest::newRow("the server refuses")
        << QStringLiteral("new secret")
        << QByteArray(R"({"type":"error","message":"The current password is wrong",)"
                      R"("request":"change_password"})")
        << QStringLiteral("The current password is wrong") << false;
    QTest::newRow("an error about something else")
        << QStringLiteral("new secret")
        << QByteArray(R"({"type":"error","message":"Message text must not be empty"})")
        << QStringLiteral("Changing the password...") << false;
    QTest::newRow("the server changes it")
        << QStringLiteral("new secret")
        << QByteArray(R"({"type":"password_changed","token":"t2","httpToken":"h2"})")
        << QStringLiteral("Your password was changed and saved for your next login. Your other "
                          "devices have been logged out.")
        << true;
}

void TestChangePassword::dialogSendsAndShowsTheAnswer()
{
    QFETCH(QString, again);
    QFETCH(QByteArray, answer);
    QFETCH(QString, shown);
    QFETCH(bool, changed);

    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    QCOMPARE(session.probe->changePasswordButton()->text(), QStringLiteral("Change Password…"));
    QTest::mouseClick(session.probe->changePasswordButton(), Qt::LeftButton);
    ChangePasswordDialog *dialog = session.probe->passwordDialog();
    QVERIFY(dialog && dialog->isVisible());
    QPushButton *change = buttonNamed(dialog, QStringLiteral("Change Password"));
    QVERIFY(change && !change->isEnabled());

    dialog->findChild<QLineEdit *>(QStringLiteral("currentPassword"))
        ->setText(QStringLiteral("pw"));
    dialog->findChild<QLineEdit *>(QStringLiteral("newPassword"))
        ->setText(QStringLiteral("new secret"));
    dialog->findChild<QLineEdit *>(QStringLiteral("newPasswordAgain"))->setText(again);
    QTest::mouseClick(change, Qt::LeftButton);
    auto *message = dialog->findChild<QLabel *>(QStringLiteral("changePasswordMessage"));
    if (answer.isEmpty()) {
        QCOMPARE(message->text(), shown);
        // Nothing goes out: a probe frame of the server's is the first the window answers.
        session.push(R"({"type":"user_list_update","users":[]})");
        QVERIFY(session.server.framesOfType(QStringLiteral("change_password")).isEmpty());
        return;
    }
    QVERIFY(session.server.waitForFrames(1));
    QCOMPARE(session.server.takeFrames().first(),
        json(R"({"type":"change_password","oldPassword":"pw","newPassword":"new secret"})"));
    QSignalSpy stored(session.probe->credentials(), &CredentialStore::passwordStored);
    session.push(json(answer.constData()));
    QCOMPARE(message->text(), shown);
    QCOMPARE(buttonNamed(dialog, QStringLiteral("Close")) != nullptr, changed);
    if (!changed) {
        QCOMPARE(session.probe->passwordEdit()->text(), QStringLiteral("pw"));
        return;
    }
    QVERIFY(stored.count() == 1 || stored.wait());
    CredentialStore reread;
    QSignalSpy loaded(&reread, &CredentialStore::passwordLoaded);
    reread.load();
    QVERIFY(!reread.isLoading() || loaded.count() == 1 || loaded.wait());
    QCOMPARE(reread.password(), QStringLiteral("new secret"));
    QCOMPARE(reread.username(), QStringLiteral("alice"));

    // The session goes on with the new token: a lost connection comes back with it.
    session.server.stop();
    QVERIFY(session.server.start(session.server.port()));
    QVERIFY(session.server.waitForFrames(1, 10000));
    QCOMPARE(session.server.frames.first(), json(R"({"type":"login_with_token","token":"t2"})"));
}

void TestChangePassword::closeCodesEndTheSession_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("status");

    QTest::newRow("4001, password changed")
        << 4001 << QStringLiteral("Your password was changed. Please log in again.");
    QTest::newRow("4003, account disabled")
        << 4003 << QStringLiteral("This account has been disabled.");
    QTest::newRow("1001, going away") << 1001 << QString();
}

void TestChangePassword::closeCodesEndTheSession()
{
    QFETCH(int, code);
    QFETCH(QString, status);

    Session session;
    QVERIFY(session.connected());
    QVERIFY(session.logIn(QStringLiteral("u1"), QStringLiteral("alice")));
    session.server.client()->close(
        QWebSocketProtocol::CloseCode(code), QStringLiteral("Password changed"));
    ConnectionSupervisor *supervisor = session.probe->session().supervisor();
    if (status.isEmpty()) {
        // Any other close is a lost connection: the session resumes with its token.
        QVERIFY(session.server.waitForFrames(1, 10000));
        QCOMPARE(session.server.frames.first(), json(R"({"type":"login_with_token","token":"t"})"));
        QCOMPARE(session.probe->stackedWidget()->currentWidget(), session.probe->chatPage());
        return;
    }
    QTRY_COMPARE(session.probe->statusLabel()->text(), status);
    QCOMPARE(session.probe->stackedWidget()->currentWidget(), session.probe->loginPage());
    QVERIFY(session.probe->passwordEdit()->text().isEmpty());
    QCOMPARE(session.probe->usernameEdit()->text(), QStringLiteral("alice"));
    QVERIFY(session.probe->loginButton()->isEnabled());
    QTRY_COMPARE(supervisor->state(), ConnectionSupervisor::State::Idle);
    QVERIFY(!supervisor->retryScheduled());
    QVERIFY(supervisor->token().isEmpty());

    // The next login connects afresh and is typed by the user.
    session.probe->passwordEdit()->setText(QStringLiteral("new secret"));
    QTest::mouseClick(session.probe->loginButton(), Qt::LeftButton);
    QVERIFY(session.server.waitForFrames(1, 10000));
    QCOMPARE(session.server.frames.first(),
        json(R"({"type":"login_with_password","username":"alice","password":"new secret"})"));
    session.server.takeFrames();
    session.push(R"({"type":"login_success","user":{"userId":"u1","username":"alice"},)"
                 R"("token":"t3","httpToken":"h3"})");
    QCOMPARE(session.probe->stackedWidget()->currentWidget(), session.probe->chatPage());
    // The close of the old connection is no reason to end the new one's session.
    session.server.stop();
    QVERIFY(session.server.start(session.server.port()));
    QVERIFY(session.server.waitForFrames(1, 10000));
    QCOMPARE(session.server.frames.first(), json(R"({"type":"login_with_token","token":"t3"})"));
    QCOMPARE(session.probe->stackedWidget()->currentWidget(), session.probe->chatPage());
}

QTEST_MAIN(TestChangePassword)

#include "tst_changepassword.moc"
