#include "model/mentions.h"
#include "session/typingtracker.h"

#include <QtTest>

class TestMentions : public QObject
{
    Q_OBJECT

private slots:
    void matchesWholeNamesOnly_data();
    void matchesWholeNamesOnly();
    void saysWhoIsTyping_data();
    void saysWhoIsTyping();
    void typistsComeAndGoAtMostOncePerSecond();
};

void TestMentions::matchesWholeNamesOnly_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("mentions");

    QTest::newRow("alone") << QStringLiteral("@bob") << true;
    QTest::newRow("in a sentence") << QStringLiteral("ask @bob, he knows") << true;
    QTest::newRow("other case") << QStringLiteral("hi @BoB!") << true;
    QTest::newRow("at the end after a period") << QStringLiteral("thanks @bob.") << true;
    QTest::newRow("longer name") << QStringLiteral("@bobby") << false;
    QTest::newRow("name with underscore after") << QStringLiteral("@bob_2") << false;
    QTest::newRow("e-mail address") << QStringLiteral("mail bob@bob.org") << false;
    QTest::newRow("without the at sign") << QStringLiteral("bob") << false;
    QTest::newRow("a second at sign matches") << QStringLiteral("@bobby and @bob") << true;
    QTest::newRow("at signs only") << QStringLiteral("@@@@") << false;
    QTest::newRow("cut short") << QStringLiteral("@bo") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestMentions::matchesWholeNamesOnly()
{
    QFETCH(QString, text);
    QFETCH(bool, mentions);
    QCOMPARE(mentionsUser(text, QStringLiteral("bob")), mentions);
    QVERIFY(!mentionsUser(text, QString()));
}

void TestMentions::saysWhoIsTyping_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("text");

    QTest::newRow("nobody") << QStringList() << QString();
    QTest::newRow("one") << QStringList { QStringLiteral("bob") }
                         << QStringLiteral("bob is typing\u2026");
    QTest::newRow("two") << QStringList { QStringLiteral("bob"), QStringLiteral("carol") }
                         << QStringLiteral("bob and carol are typing\u2026");
    QTest::newRow("three") << QStringList {
        QStringLiteral("bob"), QStringLiteral("carol"), QStringLiteral("dave")
    } << QStringLiteral("Several people are typing\u2026");
}

void TestMentions::saysWhoIsTyping()
{
    QFETCH(QStringList, names);
    QFETCH(QString, text);
    QCOMPARE(typingText(names), text);
}

void TestMentions::typistsComeAndGoAtMostOncePerSecond()
{
    TypingTracker tracker;
    const QString chat = QStringLiteral("c");
    const QString bob = QStringLiteral("bob");
    const QString carol = QStringLiteral("carol");
    QVERIFY(tracker.add(chat, bob, 0));
    // Again and again: the header does not change, the entry lasts longer.
    QVERIFY(!tracker.add(chat, bob, 100));
    QVERIFY(!tracker.add(chat, bob, 4000));
    QVERIFY(tracker.add(chat, carol, 4000));
    QCOMPARE(tracker.typists(chat), (QStringList { bob, carol }));
    QCOMPARE(tracker.nextExpiry(), qint64(10000));

    // Bob's message ends his entry; a frame right after it changes nothing for a second.
    QVERIFY(tracker.remove(chat, bob, 5000));
    QVERIFY(!tracker.remove(chat, bob, 5000));
    QVERIFY(!tracker.add(chat, bob, 5500));
    QCOMPARE(tracker.typists(chat), QStringList { carol });
    QVERIFY(tracker.add(chat, bob, 6000));

    QCOMPARE(tracker.expire(9999), QStringList());
    QCOMPARE(tracker.expire(10000), QStringList { chat });
    QCOMPARE(tracker.typists(chat), QStringList { bob });
    QCOMPARE(tracker.expire(12000), QStringList { chat });
    QCOMPARE(tracker.typists(chat), QStringList());
    QCOMPARE(tracker.nextExpiry(), qint64(-1));
}

QTEST_APPLESS_MAIN(TestMentions)
#include "tst_mentions.moc"
