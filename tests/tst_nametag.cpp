#include "view/nametag.h"

#include <QtTest>

class TestNameTag : public QObject
{
    Q_OBJECT

private slots:
    void parses_data();
    void parses();
};

void TestNameTag::parses_data()
{
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<QString>("label");

    QTest::newRow("well-formed tag")
        << QStringLiteral(R"(Alice [#1e88e5, "Admin"])") << QStringLiteral("Alice")
        << QStringLiteral("#1e88e5") << QStringLiteral("Admin");
    QTest::newRow("no blank after the comma")
        << QStringLiteral(R"(Bob [#ABCDEF,"Ops"])") << QStringLiteral("Bob")
        << QStringLiteral("#ABCDEF") << QStringLiteral("Ops");
    QTest::newRow("name trimmed") << QStringLiteral(R"(  Carol   [#000000, "x"])")
                                  << QStringLiteral("Carol") << QStringLiteral("#000000")
                                  << QStringLiteral("x");
    QTest::newRow("empty label") << QStringLiteral(R"(Dan [#123456, ""])") << QStringLiteral("Dan")
                                 << QStringLiteral("#123456") << QString();
    QTest::newRow("five hex digits")
        << QStringLiteral(R"(Eve [#12345, "x"])") << QStringLiteral(R"(Eve [#12345, "x"])")
        << QString() << QString();
    QTest::newRow("missing quotes")
        << QStringLiteral(R"(Eve [#123456, x])") << QStringLiteral(R"(Eve [#123456, x])")
        << QString() << QString();
    QTest::newRow("text after the bracket")
        << QStringLiteral(R"(Eve [#123456, "x"] !)") << QStringLiteral(R"(Eve [#123456, "x"] !)")
        << QString() << QString();
    QTest::newRow("no blank before the bracket")
        << QStringLiteral(R"(Eve[#123456, "x"])") << QStringLiteral(R"(Eve[#123456, "x"])")
        << QString() << QString();
    QTest::newRow("plain name") << QStringLiteral("Frank") << QStringLiteral("Frank") << QString()
                                << QString();
}

void TestNameTag::parses()
{
    QFETCH(QString, displayName);
    const NameTag tag = parseNameTag(displayName);
    QTEST(tag.name, "name");
    QTEST(tag.colour, "colour");
    QTEST(tag.label, "label");
    QCOMPARE(tag.hasTag(), !tag.colour.isEmpty());
}

QTEST_APPLESS_MAIN(TestNameTag)
#include "tst_nametag.moc"
