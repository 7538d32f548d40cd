#include "session/outbox.h"

#include <QtTest>

namespace
{

Message local(const QString &id, const QString &chatId, const QString &text, qint64 typedAt)
{
    Message m;
    m.id = id;
    m.chatId = chatId;
    m.senderId = QStringLiteral("me");
    m.content = text;
    m.timestamp = typedAt;
    m.status = Sending;
    return m;
}

Message echo(const QString &chatId, const QString &text, qint64 at)
{
    Message m;
    m.id = QStringLiteral("m1");
    m.chatId = chatId;
    m.senderId = QStringLiteral("me");
    m.content = text;
    m.timestamp = at;
    return m;
}

QStringList idsOf(const std::vector<Message> &messages)
{
    QStringList ids;
    for (const Message &m : messages)
        ids.append(m.id);
    return ids;
}

} // namespace

class TestOutbox : public QObject
{
    Q_OBJECT

private slots:
    void echoMatchesItsLocalCopy_data();
    void echoMatchesItsLocalCopy();
    void equalTextsAreConfirmedInTypedOrder();
    void dueKeepsTypedOrderAndSkipsInFlight();
    void thirdLostAttemptFails();
    void unconfirmedForTwoMinutesFails();
    void retryRequeuesAFailedMessage();
    void actionsReplayInOrderOnce();
    void dueInterleavesMessagesAndRequestsAsMade();
};

void TestOutbox::echoMatchesItsLocalCopy_data()
{
    QTest::addColumn<QString>("chatId");
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("stampedAt");
    QTest::addColumn<bool>("matches");

    const qint64 typed = 1000000;
    QTest::newRow("same chat and text, stamped later") << "c1"
                                                       << "hi" << typed + 5 << true;
    QTest::newRow("server clock a little behind") << "c1"
                                                  << "hi" << typed - 30 << true;
    QTest::newRow("stamped long before it was typed") << "c1"
                                                      << "hi" << typed - 600 << false;
    QTest::newRow("other chat") << "c2"
                                << "hi" << typed << false;
    QTest::newRow("other text") << "c1"
                                << "hi!" << typed << false;
}

void TestOutbox::echoMatchesItsLocalCopy()
{
    QFETCH(QString, chatId);
    QFETCH(QString, text);
    QFETCH(qint64, stampedAt);
    QFETCH(bool, matches);
    Outbox outbox;
    outbox.add(
        local(QStringLiteral("temp_a"), QStringLiteral("c1"), QStringLiteral("hi"), 1000000));
    QCOMPARE(outbox.takeEcho(echo(chatId, text, stampedAt)),
        matches ? QStringLiteral("temp_a") : QString());
    QCOMPARE(outbox.contains(QStringLiteral("temp_a")), !matches);
}

void TestOutbox::equalTextsAreConfirmedInTypedOrder()
{
    Outbox outbox;
    // Ids that sort the other way round than typed: the order typed counts.
    outbox.add(local(QStringLiteral("temp_z"), QStringLiteral("c1"), QStringLiteral("ok"), 100));
    outbox.add(local(QStringLiteral("temp_a"), QStringLiteral("c1"), QStringLiteral("ok"), 110));
    QCOMPARE(outbox.takeEcho(echo(QStringLiteral("c1"), QStringLiteral("ok"), 101)),
        QStringLiteral("temp_z"));
    QCOMPARE(outbox.takeEcho(echo(QStringLiteral("c1"), QStringLiteral("ok"), 111)),
        QStringLiteral("temp_a"));
    QCOMPARE(outbox.takeEcho(echo(QStringLiteral("c1"), QStringLiteral("ok"), 112)), QString());
}

void TestOutbox::dueKeepsTypedOrderAndSkipsInFlight()
{
    Outbox outbox;
    outbox.add(local(QStringLiteral("temp_3"), QStringLiteral("c1"), QStringLiteral("one"), 1));
    outbox.add(local(QStringLiteral("temp_1"), QStringLiteral("c2"), QStringLiteral("two"), 2));
    outbox.add(local(QStringLiteral("temp_2"), QStringLiteral("c1"), QStringLiteral("three"), 3));
    QCOMPARE(idsOf(outbox.due()),
        QStringList(
            { QStringLiteral("temp_3"), QStringLiteral("temp_1"), QStringLiteral("temp_2") }));
    outbox.markSent(QStringLiteral("temp_1"), 0);
    QCOMPARE(
        idsOf(outbox.due()), QStringList({ QStringLiteral("temp_3"), QStringLiteral("temp_2") }));
    // Lost with the connection: due again after the next login.
    QVERIFY(outbox.connectionLost().isEmpty());
    QCOMPARE(outbox.due().size(), size_t(3));
}

void TestOutbox::thirdLostAttemptFails()
{
    Outbox outbox;
    outbox.add(local(QStringLiteral("temp_a"), QStringLiteral("c1"), QStringLiteral("hi"), 1));
    for (int attempt = 1; attempt <= Outbox::maxAttempts; ++attempt) {
        QCOMPARE(outbox.due().size(), size_t(1));
        outbox.markSent(QStringLiteral("temp_a"), attempt);
        const QStringList failed = outbox.connectionLost();
        QCOMPARE(failed.isEmpty(), attempt < Outbox::maxAttempts);
    }
    QVERIFY(outbox.entry(QStringLiteral("temp_a"))->failed);
    QVERIFY(outbox.due().empty());
    // A late echo still replaces the failed copy.
    QCOMPARE(outbox.takeEcho(echo(QStringLiteral("c1"), QStringLiteral("hi"), 2)),
        QStringLiteral("temp_a"));
}

void TestOutbox::unconfirmedForTwoMinutesFails()
{
    Outbox outbox;
    outbox.add(local(QStringLiteral("temp_a"), QStringLiteral("c1"), QStringLiteral("a"), 1));
    outbox.add(local(QStringLiteral("temp_b"), QStringLiteral("c1"), QStringLiteral("b"), 1));
    outbox.markSent(QStringLiteral("temp_a"), 1000);
    // Waiting for a connection does not count: only temp_a was sent.
    QVERIFY(outbox.expire(1000 + Outbox::confirmTimeoutMs - 1).isEmpty());
    QCOMPARE(
        outbox.expire(1000 + Outbox::confirmTimeoutMs), QStringList { QStringLiteral("temp_a") });
    QVERIFY(!outbox.entry(QStringLiteral("temp_b"))->failed);
}

void TestOutbox::retryRequeuesAFailedMessage()
{
    Outbox outbox;
    outbox.add(local(QStringLiteral("temp_a"), QStringLiteral("c1"), QStringLiteral("a"), 1));
    QVERIFY(!outbox.retry(QStringLiteral("temp_a")));
    outbox.markSent(QStringLiteral("temp_a"), 0);
    outbox.expire(Outbox::confirmTimeoutMs);
    QVERIFY(outbox.due().empty());
    QVERIFY(outbox.retry(QStringLiteral("temp_a")));
    QCOMPARE(idsOf(outbox.due()), QStringList { QStringLiteral("temp_a") });
    outbox.remove(QStringLiteral("temp_a"));
    QVERIFY(outbox.isEmpty());
}

void TestOutbox::actionsReplayInOrderOnce()
{
    Outbox outbox;
    const Outbox::Action edit {
        Outbox::ActionKind::Edit, QStringLiteral("c1"), QStringLiteral("m1"), QStringLiteral("new")
    };
    const Outbox::Action seen {
        Outbox::ActionKind::Seen, QStringLiteral("c1"), QStringLiteral("m2"), QString()
    };
    const Outbox::Action removal {
        Outbox::ActionKind::Delete, QStringLiteral("c1"), QStringLiteral("m1"), QString()
    };
    outbox.queue(edit);
    outbox.queue(seen);
    outbox.queue(seen);
    outbox.queue(removal);
    const std::vector<Outbox::Action> expected { edit, seen, removal };
    QVERIFY(outbox.takeActions() == expected);
    QVERIFY(outbox.takeActions().empty());
}

namespace
{

// "message:<id>" or "<kind>:<message id>" for each step.
QStringList describe(const std::vector<Outbox::Step> &steps)
{
    QStringList out;
    for (const Outbox::Step &step : steps) {
        if (const auto *m = std::get_if<Message>(&step)) {
            out << QStringLiteral("message:") + m->id;
            continue;
        }
        const Outbox::Action &a = std::get<Outbox::Action>(step);
        const char *kind = a.kind == Outbox::ActionKind::Edit ? "edit:"
            : a.kind == Outbox::ActionKind::Delete            ? "delete:"
                                                              : "seen:";
        out << QLatin1String(kind) + a.messageId;
    }
    return out;
}

} // namespace

void TestOutbox::dueInterleavesMessagesAndRequestsAsMade()
{
    Outbox outbox;
    outbox.add(local(QStringLiteral("temp_f"), QStringLiteral("c1"), QStringLiteral("f"), 1));
    outbox.markSent(QStringLiteral("temp_f"), 0);
    outbox.expire(Outbox::confirmTimeoutMs);
    outbox.add(local(QStringLiteral("temp_a"), QStringLiteral("c1"), QStringLiteral("A"), 2));
    outbox.queue({ Outbox::ActionKind::Edit,
        QStringLiteral("c1"),
        QStringLiteral("x"),
        QStringLiteral("new") });
    outbox.add(local(QStringLiteral("temp_b"), QStringLiteral("c1"), QStringLiteral("B"), 3));
    outbox.queue({ Outbox::ActionKind::Delete, QStringLiteral("c1"), QStringLiteral("y"), {} });
    // Retried last: it goes out after everything made before the retry.
    QVERIFY(outbox.retry(QStringLiteral("temp_f")));
    outbox.queue({ Outbox::ActionKind::Seen, QStringLiteral("c1"), QStringLiteral("z"), {} });

    QCOMPARE(describe(outbox.takeDue()),
        (QStringList { QStringLiteral("message:temp_a"),
            QStringLiteral("edit:x"),
            QStringLiteral("message:temp_b"),
            QStringLiteral("delete:y"),
            QStringLiteral("message:temp_f"),
            QStringLiteral("seen:z") }));
    // Requests leave with the first replay; messages stay until their echo, due again after
    // the next lost connection.
    QVERIFY(!outbox.hasActions());
    QCOMPARE(describe(outbox.takeDue()),
        (QStringList { QStringLiteral("message:temp_a"),
            QStringLiteral("message:temp_b"),
            QStringLiteral("message:temp_f") }));
}

QTEST_APPLESS_MAIN(TestOutbox)
#include "tst_outbox.moc"
