#include "credentials.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

class TestCredentials : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void storesSaltedArgon2idAtOwaspLimits();
    void verifiesOnlyTheRightPassword_data();
    void verifiesOnlyTheRightPassword();
    void matchesPublishedVectors_data();
    void matchesPublishedVectors();
    void cancelledCheckNeverMatches();
    void refusesMalformedStoredHashes_data();
    void refusesMalformedStoredHashes();
    void rehashesOnlyWhatTheLimitsDoNotMake_data();
    void rehashesOnlyWhatTheLimitsDoNotMake();
    void tokensAreRandomHex();

private:
    QString stored;
    QString storedPbkdf2;
};

void TestCredentials::initTestCase()
{
    stored = credentials::hashPassword(QStringLiteral("correct horse"));
    storedPbkdf2 = credentials::hashPasswordPbkdf2(QStringLiteral("correct horse"), 1000);
}

void TestCredentials::storesSaltedArgon2idAtOwaspLimits()
{
    const QRegularExpression format(QStringLiteral(
        "^\\$argon2id\\$v=19\\$m=(\\d+),t=(\\d+),p=1\\$([A-Za-z0-9+/]+)\\$([A-Za-z0-9+/]+)$"));
    const QRegularExpressionMatch match = format.match(stored);
    QVERIFY2(match.hasMatch(), qPrintable(stored));
    // OWASP's minimum for Argon2id: 19 MiB (in KiB here) and 2 passes.
    QVERIFY(match.captured(1).toInt() >= 19 * 1024);
    QVERIFY(match.captured(2).toInt() >= 2);

    const QString again = credentials::hashPassword(QStringLiteral("correct horse"));
    QVERIFY(format.match(again).captured(3) != match.captured(3));
    QVERIFY(format.match(again).captured(4) != match.captured(4));
    QVERIFY(credentials::verifyPassword(QStringLiteral("correct horse"), again));
}

void TestCredentials::verifiesOnlyTheRightPassword_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("matches");

    QTest::newRow("the password") << QStringLiteral("correct horse") << true;
    QTest::newRow("other case") << QStringLiteral("Correct horse") << false;
    QTest::newRow("trailing space") << QStringLiteral("correct horse ") << false;
    QTest::newRow("prefix") << QStringLiteral("correct") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("NUL after the password") << QStringLiteral("correct horse") + QChar(0) << false;
    QTest::newRow("10 000 characters") << QString(10000, QLatin1Char('c')) << false;
}

void TestCredentials::verifiesOnlyTheRightPassword()
{
    QFETCH(QString, password);
    QFETCH(bool, matches);
    const std::atomic_bool notCancelled { false };
    for (const QString &hash : { stored, storedPbkdf2 }) {
        QCOMPARE(credentials::verifyPassword(password, hash), matches);
        QCOMPARE(credentials::verifyPassword(password, hash, &notCancelled), matches);
    }
}

void TestCredentials::matchesPublishedVectors_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("stored");

    // PBKDF2-HMAC-SHA256 vectors of RFC 7914, section 11, cut to the 32 bytes stored here.
    QTest::newRow("one round") << QStringLiteral("passwd")
                               << QStringLiteral("pbkdf2-sha256$1$73616c74$55ac046e56e3089fec1691c2"
                                                 "2544b605f94185216dde0465e68b9d57c20dacbc");
    QTest::newRow("80 000 rounds")
        << QStringLiteral("Password")
        << QStringLiteral("pbkdf2-sha256$80000$4e61436c$4ddcd8f60b98be21830cee5ef22701f9641a4418d0"
                          "4c0414aeff08876b34ab56");
}

void TestCredentials::matchesPublishedVectors()
{
    QFETCH(QString, password);
    QFETCH(QString, stored);
    QVERIFY(credentials::verifyPassword(password, stored));
    const std::atomic_bool notCancelled { false };
    QVERIFY(credentials::verifyPassword(password, stored, &notCancelled));
    QVERIFY(!credentials::verifyPassword(password + QLatin1Char('x'), stored, &notCancelled));
}

void TestCredentials::cancelledCheckNeverMatches()
{
    // Cancelling is looked at every thousand rounds or so.
    const QString slow = credentials::hashPasswordPbkdf2(QStringLiteral("correct horse"), 5000);
    const std::atomic_bool cancelled { true };
    QVERIFY(!credentials::verifyPassword(QStringLiteral("correct horse"), slow, &cancelled));
}

void TestCredentials::refusesMalformedStoredHashes_data()
{
    QTest::addColumn<QString>("mutated");

    // Argon2id strings that libsodium must never be handed: garbage, or costs that would let a
    // bad row take a core for minutes or gigabytes of memory.
    const QString salt = stored.section(QLatin1Char('$'), -2, -2);
    const QString hash = stored.section(QLatin1Char('$'), -1);
    const auto argon = [&](const QString &params, const QString &s, const QString &h) -> QString {
        return QStringLiteral("$argon2id$v=19$") + params + QLatin1Char('$') + s + QLatin1Char('$')
            + h;
    };
    QTest::newRow("argon2id: 4 GiB of memory")
        << argon(QStringLiteral("m=4194304,t=2,p=1"), salt, hash);
    QTest::newRow("argon2id: a million passes")
        << argon(QStringLiteral("m=19456,t=1000000,p=1"), salt, hash);
    QTest::newRow("argon2id: 255 lanes") << argon(QStringLiteral("m=19456,t=2,p=255"), salt, hash);
    QTest::newRow("argon2id: zero memory") << argon(QStringLiteral("m=0,t=2,p=1"), salt, hash);
    QTest::newRow("argon2id: other version")
        << QString(stored).replace(QStringLiteral("v=19"), QStringLiteral("v=16"));
    QTest::newRow("argon2id: no hash") << stored.section(QLatin1Char('$'), 0, -2);
    QTest::newRow("argon2id: hash cut short") << stored.left(stored.size() - 10);
    QTest::newRow("argon2id: hash not base64") << argon(QStringLiteral("m=19456,t=2,p=1"),
        salt,
        QString(hash).replace(0, 3, QStringLiteral("!!!")));
    QTest::newRow("argon2id: NUL inside")
        << QString(stored).replace(stored.size() - 5, 1, QChar(0));
    QTest::newRow("argon2id: 200 characters")
        << stored + QString(200 - stored.size(), QLatin1Char('A'));
    QTest::newRow("argon2i, not argon2id")
        << QString(stored).replace(QStringLiteral("argon2id"), QStringLiteral("argon2i"));
    QTest::newRow("argon2id: one hash character changed") << argon(
        QStringLiteral("m=19456,t=2,p=1"),
        salt,
        (hash.at(0) == QLatin1Char('A') ? QStringLiteral("B") : QStringLiteral("A")) + hash.mid(1));

    const QStringList parts = storedPbkdf2.split(QLatin1Char('$'));
    const auto join = [](QStringList list) { return list.join(QLatin1Char('$')); };
    QStringList p = parts;
    QTest::newRow("empty") << QString();
    QTest::newRow("plain text") << QStringLiteral("correct horse");
    p[0] = QStringLiteral("md5");
    QTest::newRow("other scheme") << join(p);
    p = parts;
    p[1] = QStringLiteral("0");
    QTest::newRow("zero rounds") << join(p);
    p[1] = QStringLiteral("999999999999");
    QTest::newRow("absurd rounds") << join(p);
    p = parts;
    p[3].chop(2);
    QTest::newRow("short hash") << join(p);
    p = parts;
    p[2].clear();
    QTest::newRow("no salt") << join(p);
    p = parts;
    p.removeLast();
    QTest::newRow("missing field") << join(p);
    p = parts;
    p[3][0] = p[3][0] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    QTest::newRow("one hash digit changed") << join(p);
}

void TestCredentials::refusesMalformedStoredHashes()
{
    QFETCH(QString, mutated);
    QVERIFY(!credentials::verifyPassword(QStringLiteral("correct horse"), mutated));
}

void TestCredentials::rehashesOnlyWhatTheLimitsDoNotMake_data()
{
    QTest::addColumn<QString>("hash");
    QTest::addColumn<bool>("rehash");

    QTest::newRow("argon2id at today's limits") << stored << false;
    QTest::newRow("PBKDF2") << storedPbkdf2 << true;
    QTest::newRow("argon2id at other limits")
        << credentials::hashPassword(QStringLiteral("x"), credentials::cheapestLimits) << true;
    QTest::newRow("garbage") << QStringLiteral("$argon2id$garbage") << true;
}

void TestCredentials::rehashesOnlyWhatTheLimitsDoNotMake()
{
    QFETCH(QString, hash);
    QFETCH(bool, rehash);
    QCOMPARE(credentials::needsRehash(hash), rehash);
}

void TestCredentials::tokensAreRandomHex()
{
    QSet<QString> seen;
    for (int i = 0; i < 100; ++i) {
        const QString token = credentials::newToken();
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(token).hasMatch());
        seen.insert(token);
    }
    QCOMPARE(seen.size(), 100);
}

QTEST_APPLESS_MAIN(TestCredentials)

#include "tst_credentials.moc"
