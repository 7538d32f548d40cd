#include "credentials.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

class TestCredentials : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void storesSaltedPbkdf2();
    void verifiesOnlyTheRightPassword_data();
    void verifiesOnlyTheRightPassword();
    void matchesPublishedVectors_data();
    void matchesPublishedVectors();
    void cancelledCheckNeverMatches();
    void refusesMalformedStoredHashes_data();
    void refusesMalformedStoredHashes();
    void tokensAreRandomHex();

private:
    QString stored;
};

void TestCredentials::initTestCase()
{
    stored = credentials::hashPassword(QStringLiteral("correct horse"));
}

void TestCredentials::storesSaltedPbkdf2()
{
    const QRegularExpression format(
        QStringLiteral("^pbkdf2-sha256\\$(\\d+)\\$([0-9a-f]{32})\\$([0-9a-f]{64})$"));
    const QRegularExpressionMatch match = format.match(stored);
    QVERIFY2(match.hasMatch(), qPrintable(stored));
    QVERIFY(match.captured(1).toInt() >= 100000);
    QVERIFY(!stored.contains(QLatin1String("correct horse")));

    const QString again = credentials::hashPassword(QStringLiteral("correct horse"));
    QVERIFY(format.match(again).captured(2) != match.captured(2));
    QVERIFY(format.match(again).captured(3) != match.captured(3));
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
}

void TestCredentials::verifiesOnlyTheRightPassword()
{
    QFETCH(QString, password);
    QFETCH(bool, matches);
    QCOMPARE(credentials::verifyPassword(password, stored), matches);
    const std::atomic_bool notCancelled { false };
    QCOMPARE(credentials::verifyPassword(password, stored, &notCancelled), matches);
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
    const std::atomic_bool cancelled { true };
    QVERIFY(!credentials::verifyPassword(QStringLiteral("correct horse"), stored, &cancelled));
}

void TestCredentials::refusesMalformedStoredHashes_data()
{
    QTest::addColumn<QString>("mutated");

    const QStringList parts = stored.split(QLatin1Char('$'));
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
