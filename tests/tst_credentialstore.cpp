#include "app/credentialstore.h"
#include "app/settings.h"
#include "testserver.h"
#include "windowprobe.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QFileInfo>
#include <QJsonObject>
#include <QLabel>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

// The stored login against the desktops this machine can run; CTest starts this test once per
// FERROW_TEST_SECRET_STORE: "none" (no session bus at all), "keyring" (a private session bus
// with a real gnome-keyring) and "silent" (a private bus where a stand-in owns the Secret
// Service name and swallows every call: a locked or hung store, which cannot be made here).
namespace
{

int fallbackLogLines = 0;
QString fallbackLogLine;
QtMessageHandler previousHandler = nullptr;

void countFallbackLines(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.contains(QLatin1String("the password is kept in the settings file"))) {
        ++fallbackLogLines;
        fallbackLogLine = text;
    } else
        previousHandler(type, context, text);
}

class SilentSecretService : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override
    {
        return QString();
    }
    bool handleMessage(const QDBusMessage &, const QDBusConnection &) override
    {
        return true;
    }
};

QByteArray variant()
{
    return qgetenv("FERROW_TEST_SECRET_STORE");
}

QString settingsPassword()
{
    return AppSettings().value(SettingsKey::password).toString();
}

} // namespace

class TestCredentialStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void withoutStorePasswordStaysInFileLoggedOnce();
    void silentStoreDoesNotHoldUpStartUp();
    void savedPasswordLivesInSecretStoreOnly();
    void passwordInFileMovesIntoSecretStore();
    void forgetRemovesFromBoth();
    void windowLogsInWithPasswordFromSecretStore();
    void windowSaysWhereThePasswordIs();

private:
    std::unique_ptr<CredentialStore> makeStore();
    int run = 0;
};

void TestCredentialStore::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    previousHandler = qInstallMessageHandler(countFallbackLines);
    QVERIFY2(variant() == "keyring" || variant() == "none" || variant() == "silent",
        "run through CTest, which starts the session bus each variant needs");
}

void TestCredentialStore::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void TestCredentialStore::init()
{
    AppSettings().clear();
    ++run;
}

std::unique_ptr<CredentialStore> TestCredentialStore::makeStore()
{
    auto store = std::make_unique<CredentialStore>();
    // Every test function its own entries, so none sees another's leftovers.
    store->setService(QStringLiteral("Ferrow Desktop test %1").arg(run));
    return store;
}

void TestCredentialStore::withoutStorePasswordStaysInFileLoggedOnce()
{
    if (variant() != "none")
        QSKIP("for the desktop without a session bus");
    fallbackLogLines = 0;
    auto store = makeStore();
    QSignalSpy stored(store.get(), &CredentialStore::passwordStored);
    store->save(QStringLiteral("alice"), QStringLiteral("pw 1"));
    QVERIFY(stored.wait(10000));
    QCOMPARE(stored.first().first().toBool(), false);
    QCOMPARE(settingsPassword(), QStringLiteral("pw 1"));
    // Only its owner may read it, then and after every write.
    const auto othersMay = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther
        | QFileDevice::WriteOther;
    QCOMPARE(
        QFileInfo(AppSettings().fileName()).permissions() & othersMay, QFileDevice::Permissions());
    AppSettings().setValue(SettingsKey::darkMode, true);
    QCOMPARE(
        QFileInfo(AppSettings().fileName()).permissions() & othersMay, QFileDevice::Permissions());
    store->save(QStringLiteral("alice"), QStringLiteral("pw 2"));
    QVERIFY(stored.wait(10000));
    QCOMPARE(settingsPassword(), QStringLiteral("pw 2"));
    QCOMPARE(fallbackLogLines, 1);

    // Read back at once from the file, as before the secret store existed.
    auto next = makeStore();
    next->load();
    QVERIFY(!next->isLoading());
    QVERIFY(next->hasLogin());
    QCOMPARE(next->password(), QStringLiteral("pw 2"));

    next->forget();
    QVERIFY(!AppSettings().contains(SettingsKey::username));
    QVERIFY(!AppSettings().contains(SettingsKey::password));
}

void TestCredentialStore::silentStoreDoesNotHoldUpStartUp()
{
    if (variant() != "silent")
        QSKIP("for the desktop whose secret store never answers");
    SilentSecretService silent;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.isConnected());
    QVERIFY(bus.registerVirtualObject(
        QStringLiteral("/org/freedesktop/secrets"), &silent, QDBusConnection::SubPath));
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.secrets")));

    AppSettings().setValue(SettingsKey::username, QStringLiteral("alice"));
    auto store = makeStore();
    store->setAnswerTimeout(300);
    QSignalSpy loaded(store.get(), &CredentialStore::passwordLoaded);
    store->load();
    QVERIFY(store->isLoading());
    QVERIFY(loaded.wait(10000));
    QCOMPARE(loaded.first().first().toString(), QString());
    QVERIFY(!store->isLoading());
    QVERIFY(!store->hasLogin());
    // Given up waiting, not refused.
    QVERIFY2(
        fallbackLogLine.contains(QLatin1String("no answer in time")), qPrintable(fallbackLogLine));

    QSignalSpy stored(store.get(), &CredentialStore::passwordStored);
    store->save(QStringLiteral("alice"), QStringLiteral("pw"));
    QVERIFY(stored.wait(10000));
    QCOMPARE(stored.first().first().toBool(), false);
    QCOMPARE(settingsPassword(), QStringLiteral("pw"));

    bus.unregisterService(QStringLiteral("org.freedesktop.secrets"));
    bus.unregisterObject(
        QStringLiteral("/org/freedesktop/secrets"), QDBusConnection::UnregisterTree);
}

void TestCredentialStore::savedPasswordLivesInSecretStoreOnly()
{
    if (variant() != "keyring")
        QSKIP("for the desktop with a running secret store");
    auto store = makeStore();
    QSignalSpy stored(store.get(), &CredentialStore::passwordStored);
    store->save(QStringLiteral(" alice "), QStringLiteral("s3cret pw"));
    QVERIFY(stored.wait(10000));
    QCOMPARE(stored.first().first().toBool(), true);
    QCOMPARE(AppSettings().value(SettingsKey::username).toString(), QStringLiteral(" alice "));
    QVERIFY(!AppSettings().contains(SettingsKey::password));

    auto next = makeStore();
    QSignalSpy loaded(next.get(), &CredentialStore::passwordLoaded);
    next->load();
    QVERIFY(next->isLoading());
    QVERIFY(!next->hasLogin());
    QVERIFY(loaded.wait(10000));
    QCOMPARE(loaded.first().first().toString(), QStringLiteral("s3cret pw"));
    QVERIFY(next->hasLogin());
}

void TestCredentialStore::passwordInFileMovesIntoSecretStore()
{
    if (variant() != "keyring")
        QSKIP("for the desktop with a running secret store");
    {
        AppSettings settings;
        settings.setValue(SettingsKey::username, QStringLiteral("bob"));
        settings.setValue(SettingsKey::password, QStringLiteral("old pw"));
    }
    auto store = makeStore();
    QSignalSpy stored(store.get(), &CredentialStore::passwordStored);
    store->load();
    // Usable at once, while it moves.
    QVERIFY(store->hasLogin());
    QCOMPARE(store->password(), QStringLiteral("old pw"));
    QVERIFY(stored.wait(10000));
    QCOMPARE(stored.first().first().toBool(), true);
    QVERIFY(!AppSettings().contains(SettingsKey::password));

    auto next = makeStore();
    QSignalSpy loaded(next.get(), &CredentialStore::passwordLoaded);
    next->load();
    QVERIFY(loaded.wait(10000));
    QCOMPARE(loaded.first().first().toString(), QStringLiteral("old pw"));
}

void TestCredentialStore::forgetRemovesFromBoth()
{
    if (variant() != "keyring")
        QSKIP("for the desktop with a running secret store");
    auto store = makeStore();
    QSignalSpy stored(store.get(), &CredentialStore::passwordStored);
    store->save(QStringLiteral("carol"), QStringLiteral("pw"));
    QVERIFY(stored.wait(10000));
    store->forget();
    QVERIFY(!AppSettings().contains(SettingsKey::username));
    QVERIFY(!store->hasLogin());

    // Same name again: the secret store no longer has a password for it.
    AppSettings().setValue(SettingsKey::username, QStringLiteral("carol"));
    auto next = makeStore();
    QSignalSpy loaded(next.get(), &CredentialStore::passwordLoaded);
    next->load();
    QVERIFY(loaded.wait(10000));
    QCOMPARE(loaded.first().first().toString(), QString());
    QVERIFY(!next->hasLogin());
}

void TestCredentialStore::windowLogsInWithPasswordFromSecretStore()
{
    if (variant() != "keyring")
        QSKIP("for the desktop with a running secret store");
    {
        // The program's own entries, as a previous run left them.
        CredentialStore previous;
        QSignalSpy stored(&previous, &CredentialStore::passwordStored);
        previous.save(QStringLiteral("dave"), QStringLiteral("from the keyring"));
        QVERIFY(stored.wait(10000));
        QCOMPARE(stored.first().first().toBool(), true);
    }
    TestServer server;
    QVERIFY(server.start());
    MainWindow window;
    WindowProbe probe(window);
    QCOMPARE(probe.usernameEdit()->text(), QStringLiteral("dave"));
    QVERIFY(server.waitForFrames(1, 10000));
    QCOMPARE(server.frames.first().value(QLatin1String("password")).toString(),
        QStringLiteral("from the keyring"));
    QCOMPARE(probe.passwordEdit()->text(), QStringLiteral("from the keyring"));
    QVERIFY(!AppSettings().contains(SettingsKey::password));
}

void TestCredentialStore::windowSaysWhereThePasswordIs()
{
    TestServer server;
    QVERIFY(server.start());
    MainWindow window;
    WindowProbe probe(window);
    auto *notice = window.findChild<QLabel *>(QStringLiteral("passwordNotice"));
    QVERIFY(notice);
    QVERIFY(server.waitForClient());
    QTRY_VERIFY(probe.loginButton()->isEnabled());
    probe.usernameEdit()->setText(QStringLiteral("erin"));
    probe.passwordEdit()->setText(QStringLiteral("pw"));
    QTest::mouseClick(probe.loginButton(), Qt::LeftButton);
    QVERIFY(server.waitForFrames(1));
    server.send(QJsonObject { { QStringLiteral("type"), QStringLiteral("login_success") },
        { QStringLiteral("user"),
            QJsonObject { { QStringLiteral("userId"), QStringLiteral("u5") } } },
        { QStringLiteral("token"), QStringLiteral("t") } });
    QTRY_VERIFY_WITH_TIMEOUT(AppSettings().contains(SettingsKey::username), 10000);
    const bool inFile = variant() != "keyring";
    QTRY_COMPARE_WITH_TIMEOUT(!notice->isHidden(), inFile, 10000);
    QCOMPARE(AppSettings().contains(SettingsKey::password), inFile);
    QTest::mouseClick(probe.logoutButton(), Qt::LeftButton);
    QVERIFY(notice->isHidden());
}

QTEST_MAIN(TestCredentialStore)
#include "tst_credentialstore.moc"
