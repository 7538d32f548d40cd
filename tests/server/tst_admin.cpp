#include "admin.h"
#include "credentials.h"
#include "protocol.h"
#include "servertestmain.h"
#include "staticfiles.h"
#include "storelocation.h"
#include "testpostgres.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

class TestAdmin : public QObject
{
    Q_OBJECT

private slots:
    // Every test runs on both backends.
    void initTestCase_data();
    void init();
    void cleanup();

    void addsUserWithHashedPassword();
    void refusesBadUsersWithoutChange_data();
    void refusesBadUsersWithoutChange();
    void setsAvatarToAServedCopy();
    void refusesBadAvatars_data();
    void refusesBadAvatars();
    void createsGroupOwnedByFirstUser();
    void refusesGroupWithUnknownUser();
    void seedsALivingDemo();
    void seedsOnlyOnce();

private:
    QString staticDir() const;

    TestPostgres postgres;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Store> db;
};

void TestAdmin::initTestCase_data()
{
    QTest::addColumn<bool>("postgresql");
    QTest::newRow("sqlite") << false;
    QTest::newRow("postgresql") << true;
}

void TestAdmin::init()
{
    QFETCH_GLOBAL(bool, postgresql);
    dir = std::make_unique<QTemporaryDir>();
    StoreLocation location { dir->path(), std::nullopt };
    if (postgresql) {
        if (!postgres.start())
            QSKIP(qPrintable(postgres.skipReason()));
        location.database = postgres.createDatabase();
        QVERIFY(location.database);
    }
    QString error;
    db = location.open(&error);
    QVERIFY2(db, qPrintable(error));
}

void TestAdmin::cleanup()
{
    db.reset();
    dir.reset();
}

QString TestAdmin::staticDir() const
{
    return dir->filePath(QStringLiteral("static"));
}

void TestAdmin::addsUserWithHashedPassword()
{
    QCOMPARE(admin::addUser(*db, QStringLiteral("Erin [#1a2b3c, \"ops\"]"), QStringLiteral("pw 1")),
        QString());
    const std::optional<UserRecord> user =
        db->userByName(QStringLiteral("Erin [#1a2b3c, \"ops\"]"));
    QVERIFY(user);
    QVERIFY(user->avatarUrl.isEmpty());
    const QString stored = db->passwordHash(user->id);
    QVERIFY(!stored.contains(QLatin1String("pw 1")));
    QVERIFY(credentials::verifyPassword(QStringLiteral("pw 1"), stored));
}

void TestAdmin::refusesBadUsersWithoutChange_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");

    QTest::newRow("empty password") << "erin"
                                    << "";
    QTest::newRow("taken name") << "taken"
                                << "pw";
    QTest::newRow("taken name in other case") << "TAKEN"
                                              << "pw";
    QTest::newRow("empty name") << ""
                                << "pw";
    QTest::newRow("blank name") << "   "
                                << "pw";
    QTest::newRow("leading space") << " erin"
                                   << "pw";
    QTest::newRow("control character") << "er\nin"
                                       << "pw";
    QTest::newRow("too long") << QString(admin::maxUsernameLength + 1, QLatin1Char('e')) << "pw";
}

void TestAdmin::refusesBadUsersWithoutChange()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QVERIFY(db->addUser(QStringLiteral("taken"), QStringLiteral("x")));
    QVERIFY(!admin::addUser(*db, username, password).isEmpty());
    QCOMPARE(int(db->users().size()), 1);
}

void TestAdmin::setsAvatarToAServedCopy()
{
    QVERIFY(db->addUser(QStringLiteral("erin"), QStringLiteral("x")));
    const QString picture = dir->filePath(QStringLiteral("me.PNG"));
    QFile file(picture);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("picture bytes");
    file.close();

    QCOMPARE(admin::setAvatar(*db, staticDir(), QStringLiteral("erin"), picture), QString());
    const QString first = db->userByName(QStringLiteral("erin"))->avatarUrl;
    QVERIFY2(first.startsWith(QLatin1String("/static/avatars/"))
            && first.endsWith(QLatin1String(".png")),
        qPrintable(first));
    const QByteArray response =
        staticfiles::respond("GET " + first.toUtf8() + " HTTP/1.1", staticDir());
    QVERIFY(response.startsWith("HTTP/1.1 200 "));
    QVERIFY(response.contains("Content-Type: image/png"));
    QVERIFY(response.endsWith("picture bytes"));

    // A new picture gets a new address, so that clients do not keep showing the old one.
    QCOMPARE(admin::setAvatar(*db, staticDir(), QStringLiteral("erin"), picture), QString());
    QVERIFY(db->userByName(QStringLiteral("erin"))->avatarUrl != first);
    QCOMPARE(protocol::userJson(*db->userByName(QStringLiteral("erin")))
                 .value(QLatin1String("avatarUrl"))
                 .toString(),
        db->userByName(QStringLiteral("erin"))->avatarUrl);
}

void TestAdmin::refusesBadAvatars_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<qint64>("size");

    QTest::newRow("unknown user") << "nobody"
                                  << "a.png" << qint64(10);
    QTest::newRow("missing file") << "erin"
                                  << "" << qint64(0);
    QTest::newRow("not a picture") << "erin"
                                   << "a.txt" << qint64(10);
    QTest::newRow("too large") << "erin"
                               << "a.jpg" << admin::maxAvatarBytes + 1;
}

void TestAdmin::refusesBadAvatars()
{
    QFETCH(QString, username);
    QFETCH(QString, fileName);
    QFETCH(qint64, size);
    QVERIFY(db->addUser(QStringLiteral("erin"), QStringLiteral("x")));
    QString path = dir->filePath(QStringLiteral("missing.png"));
    if (!fileName.isEmpty()) {
        path = dir->filePath(fileName);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
    }
    QVERIFY(!admin::setAvatar(*db, staticDir(), username, path).isEmpty());
    QVERIFY(db->userByName(QStringLiteral("erin"))->avatarUrl.isEmpty());
    QVERIFY(!QDir(staticDir() + QStringLiteral("/avatars")).exists()
        || QDir(staticDir() + QStringLiteral("/avatars")).isEmpty());
}

void TestAdmin::createsGroupOwnedByFirstUser()
{
    const QString a = db->addUser(QStringLiteral("a"), QStringLiteral("x"))->id;
    const QString b = db->addUser(QStringLiteral("b"), QStringLiteral("x"))->id;
    QCOMPARE(admin::createGroup(*db,
                 QStringLiteral("Ops"),
                 { QStringLiteral("b"), QStringLiteral("a"), QStringLiteral("B") }),
        QString());
    const std::vector<ChatRecord> chats = db->chatsOfUser(a);
    QCOMPARE(int(chats.size()), 1);
    QCOMPARE(chats.front().name, QStringLiteral("Ops"));
    QCOMPARE(chats.front().type, QStringLiteral("group"));
    QCOMPARE(chats.front().ownerId, b);
    QCOMPARE(chats.front().members, (QStringList { b, a }));
    QVERIFY(!chats.front().id.contains(QLatin1Char('_')));
}

void TestAdmin::refusesGroupWithUnknownUser()
{
    const QString a = db->addUser(QStringLiteral("a"), QStringLiteral("x"))->id;
    QVERIFY(!admin::createGroup(
        *db, QStringLiteral("Ops"), { QStringLiteral("a"), QStringLiteral("zed") })
                 .isEmpty());
    QVERIFY(!admin::createGroup(*db, QStringLiteral(" "), { QStringLiteral("a") }).isEmpty());
    QVERIFY(!admin::createGroup(*db, QStringLiteral("Ops"), {}).isEmpty());
    QCOMPARE(int(db->chatsOfUser(a).size()), 0);
}

void TestAdmin::seedsALivingDemo()
{
    QCOMPARE(admin::seedDemo(*db), QString());
    const std::optional<UserRecord> alice = db->userByName(QStringLiteral("alice"));
    const std::optional<UserRecord> bob = db->userByName(QStringLiteral("bob"));
    const std::optional<UserRecord> carol = db->userByName(QStringLiteral("carol"));
    QVERIFY(alice && bob && carol);
    // Each with a hash and salt of its own.
    QSet<QString> salts;
    for (const UserRecord &user : { *alice, *bob, *carol }) {
        const QString hash = db->passwordHash(user.id);
        QVERIFY(credentials::verifyPassword(QStringLiteral("demo"), hash));
        salts.insert(hash.section(QLatin1Char('$'), -2, -2));
    }
    QCOMPARE(salts.size(), 3);

    const std::vector<ChatRecord> chats = db->chatsOfUser(alice->id);
    QCOMPARE(int(chats.size()), 2);
    QCOMPARE(chats.at(0).name, QStringLiteral("Team"));
    QCOMPARE(chats.at(0).type, QStringLiteral("group"));
    QCOMPARE(chats.at(0).ownerId, alice->id);
    QCOMPARE(chats.at(0).members, (QStringList { alice->id, bob->id, carol->id }));
    QCOMPARE(chats.at(1).id, protocol::privateChatId(alice->id, bob->id));
    QCOMPARE(chats.at(1).type, QStringLiteral("private"));
    QCOMPARE(int(db->chatsOfUser(carol->id).size()), 1);

    int total = 0;
    int replies = 0;
    int edited = 0;
    for (const ChatRecord &chat : chats) {
        const std::vector<MessageRecord> messages = db->newestMessages(chat.id, 1000);
        total += int(messages.size());
        for (const MessageRecord &message : messages) {
            replies += message.replyToId.isEmpty() ? 0 : 1;
            edited += message.editedAt > 0 ? 1 : 0;
            QVERIFY(message.timestamp <= QDateTime::currentSecsSinceEpoch());
            if (!message.replyToId.isEmpty())
                QCOMPARE(db->message(message.replyToId)->chatId, chat.id);
        }
        QVERIFY(!messages.empty());
        QVERIFY(!messages.front().seenBy.isEmpty());
    }
    QVERIFY(total >= 24);
    QVERIFY(replies >= 1);
    QVERIFY(edited >= 1);
}

void TestAdmin::seedsOnlyOnce()
{
    QVERIFY(db->addUser(QStringLiteral("Carol"), QStringLiteral("x")));
    QVERIFY(!admin::seedDemo(*db).isEmpty());
    QCOMPARE(int(db->users().size()), 1);
    QVERIFY(!db->userByName(QStringLiteral("alice")));
}

FERROW_SERVER_TEST_MAIN(TestAdmin)

#include "tst_admin.moc"
