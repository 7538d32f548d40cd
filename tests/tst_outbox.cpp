#include "session/outbox.h"

#include <QtTest>

namespace
{

const QString a = QStringLiteral("temp_a");
const QString b = QStringLiteral("temp_b");

// "message:<id>" or "<kind>:<message id>" for each step.
QStringList describe(const std::vector<Outbox::Step> &steps)
{
    QStringList out;
    for (const Outbox::Step &step : steps) {
        if (const auto *localId = std::get_if<QString>(&step)) {
            out << QStringLiteral("message:") + *localId;
            continue;
        }
        const Outbox::Action &action = std::get<Outbox::Action>(step);
        const char *kind = action.kind == Outbox::ActionKind::Edit ? "edit:"
            : action.kind == Outbox::ActionKind::Delete            ? "delete:"
                                                                   : "seen:";
        out << QLatin1String(kind) + action.messageId;
    }
    return out;
}

} // namespace

class TestOutbox : public QObject
{
    Q_OBJECT

private slots:
    void dueKeepsTypedOrderAndSkipsInFlight();
    void thirdLostAttemptFails();
    void unconfirmedForTwoMinutesFails();
    void refusalIsAboutTheOldestInFlight();
    void actionsReplayInOrderOnce();
    void dueInterleavesMessagesAndRequestsAsMade();
};

void TestOutbox::dueKeepsTypedOrderAndSkipsInFlight()
{
    Outbox outbox;
    outbox.add(QStringLiteral("temp_3"));
    outbox.add(QStringLiteral("temp_1"));
    outbox.add(QStringLiteral("temp_2"));
    QCOMPARE(describe(outbox.takeDue()),
        (QStringList { QStringLiteral("message:temp_3"),
            QStringLiteral("message:temp_1"),
            QStringLiteral("message:temp_2") }));
    outbox.markSent(QStringLiteral("temp_1"), 0);
    QCOMPARE(describe(outbox.takeDue()),
        (QStringList { QStringLiteral("message:temp_3"), QStringLiteral("message:temp_2") }));
    // Lost with the connection: due again after the next login.
    QVERIFY(outbox.connectionLost().isEmpty());
    QCOMPARE(outbox.takeDue().size(), size_t(3));
}

void TestOutbox::thirdLostAttemptFails()
{
    Outbox outbox;
    outbox.add(a);
    for (int attempt = 1; attempt <= Outbox::maxAttempts; ++attempt) {
        QCOMPARE(outbox.takeDue().size(), size_t(1));
        outbox.markSent(a, attempt);
        const QStringList failed = outbox.connectionLost();
        QCOMPARE(failed.isEmpty(), attempt < Outbox::maxAttempts);
    }
    // Failed, it leaves: only a retry brings it back, with fresh attempts.
    QVERIFY(!outbox.contains(a));
    QVERIFY(outbox.takeDue().empty());
    outbox.add(a);
    QCOMPARE(outbox.entry(a)->attempts, 0);
}

void TestOutbox::unconfirmedForTwoMinutesFails()
{
    Outbox outbox;
    outbox.add(a);
    outbox.add(b);
    outbox.markSent(a, 1000);
    // Waiting for a connection does not count: only temp_a was sent.
    QVERIFY(outbox.expire(1000 + Outbox::confirmTimeoutMs - 1).isEmpty());
    QCOMPARE(outbox.expire(1000 + Outbox::confirmTimeoutMs), QStringList { a });
    QVERIFY(!outbox.contains(a));
    QVERIFY(outbox.contains(b));
}

void TestOutbox::refusalIsAboutTheOldestInFlight()
{
    Outbox outbox;
    QVERIFY(outbox.oldestInFlight().isEmpty());
    outbox.add(a);
    outbox.add(b);
    outbox.add(QStringLiteral("temp_c"));
    outbox.markSent(b, 10);
    outbox.markSent(QStringLiteral("temp_c"), 20);
    // temp_a waits for a connection: the server has not seen it.
    QCOMPARE(outbox.oldestInFlight(), b);
    outbox.remove(b);
    QCOMPARE(outbox.oldestInFlight(), QStringLiteral("temp_c"));
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
    QCOMPARE(describe(outbox.takeDue()),
        (QStringList {
            QStringLiteral("edit:m1"), QStringLiteral("seen:m2"), QStringLiteral("delete:m1") }));
    QVERIFY(outbox.takeDue().empty());
}

void TestOutbox::dueInterleavesMessagesAndRequestsAsMade()
{
    Outbox outbox;
    outbox.add(QStringLiteral("temp_f"));
    outbox.markSent(QStringLiteral("temp_f"), 0);
    outbox.expire(Outbox::confirmTimeoutMs);
    outbox.add(a);
    outbox.queue({ Outbox::ActionKind::Edit,
        QStringLiteral("c1"),
        QStringLiteral("x"),
        QStringLiteral("new") });
    outbox.add(b);
    outbox.queue({ Outbox::ActionKind::Delete, QStringLiteral("c1"), QStringLiteral("y"), {} });
    // Retried last: it goes out after everything made before the retry.
    outbox.add(QStringLiteral("temp_f"));
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
