#include "session/chatresync.h"

#include <QtTest>

namespace
{

Message msg(const QString &id, qint64 at, const QString &text = QString())
{
    Message m;
    m.id = id;
    m.chatId = QStringLiteral("c1");
    m.senderId = QStringLiteral("u1");
    m.content = text.isEmpty() ? id : text;
    m.timestamp = at;
    return m;
}

// "a@10 b@20" -> messages; an id ending in "*" carries edited text.
std::vector<Message> parse(const QString &list)
{
    std::vector<Message> messages;
    for (const QString &item : list.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = item.split(QLatin1Char('@'));
        QString id = parts.at(0);
        QString text = id;
        if (id.endsWith(QLatin1Char('*'))) {
            id.chop(1);
            text = id + QStringLiteral(" (edited)");
        }
        Message m = msg(id, parts.at(1).toLongLong(), text);
        if (text != id)
            m.editedAt = m.timestamp + 1;
        messages.push_back(m);
    }
    return messages;
}

QString ids(const std::vector<Message> &messages)
{
    QStringList list;
    for (const Message &m : messages)
        list.append(m.id);
    return list.join(QLatin1Char(' '));
}

} // namespace

class TestChatResync : public QObject
{
    Q_OBJECT

private slots:
    void mergesFreshPage_data();
    void mergesFreshPage();
    void gapIsFilledPageByPage_data();
    void gapIsFilledPageByPage();
    void gapBeyondTenPagesDropsHeldMessages();
};

void TestChatResync::mergesFreshPage_data()
{
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("fresh");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("removed");
    QTest::addColumn<QString>("changed");

    QTest::newRow("new messages appended") << "a@10 b@20"
                                           << "a@10 b@20 c@30"
                                           << "a b c"
                                           << ""
                                           << "";
    QTest::newRow("deleted inside the fresh span") << "a@10 b@20 c@30"
                                                   << "a@10 c@30"
                                                   << "a c"
                                                   << "b"
                                                   << "";
    QTest::newRow("older than the span are kept") << "a@10 b@20 c@30"
                                                  << "b@20 c@30 d@40"
                                                  << "a b c d"
                                                  << ""
                                                  << "";
    QTest::newRow("edit while offline") << "a@10 b@20"
                                        << "a@10 b*@20"
                                        << "a b"
                                        << ""
                                        << "b";
    QTest::newRow("tie at the span's first second is kept") << "x@20 a@20 b@30"
                                                            << "a@20 b@30"
                                                            << "x a b"
                                                            << ""
                                                            << "";
    QTest::newRow("every message deleted") << "a@10 b@20"
                                           << ""
                                           << ""
                                           << "a b"
                                           << "";
    QTest::newRow("nothing held") << ""
                                  << "a@10"
                                  << "a"
                                  << ""
                                  << "";
    QTest::newRow("newest held deleted, rest overlaps") << "a@10 b@20 c@30"
                                                        << "a@10 b@20 d@40"
                                                        << "a b d"
                                                        << "c"
                                                        << "";
}

void TestChatResync::mergesFreshPage()
{
    QFETCH(QString, held);
    QFETCH(QString, fresh);
    QFETCH(QString, result);
    QFETCH(QString, removed);
    QFETCH(QString, changed);
    ChatResync resync(QStringLiteral("c1"), parse(held), parse(fresh));
    QVERIFY(!resync.needsPage());
    QCOMPARE(ids(resync.result()), result);
    QCOMPARE(resync.removedIds().join(QLatin1Char(' ')), removed);
    QCOMPARE(resync.changedIds().join(QLatin1Char(' ')), changed);
    for (const Message &m : resync.result()) {
        if (resync.changedIds().contains(m.id))
            QCOMPARE(m.content, m.id + QStringLiteral(" (edited)"));
    }
}

void TestChatResync::gapIsFilledPageByPage_data()
{
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("fresh");
    // Pages the server answers with, one after the other, separated by "|".
    QTest::addColumn<QString>("pageList");
    QTest::addColumn<QList<qint64>>("befores");
    QTest::addColumn<QString>("result");

    QTest::newRow("one page bridges") << "a@10 b@20"
                                      << "e@50 f@60"
                                      << "b@20 c@30 d@40" << QList<qint64> { 50 } << "a b c d e f";
    QTest::newRow("two pages bridge")
        << "a@10"
        << "e@50"
        << "c@30 d@40|a@10 b@20" << QList<qint64> { 50, 30 } << "a b c d e";
    QTest::newRow("held deleted inside a fetched page")
        << "a@10 b@20 c@25"
        << "e@50"
        << "b@20 d@40" << QList<qint64> { 50 } << "a b d e";
    QTest::newRow("nothing older on the server") << "a@10 b@20"
                                                 << "e@50"
                                                 << "" << QList<qint64> { 50 } << "e";
}

void TestChatResync::gapIsFilledPageByPage()
{
    QFETCH(QString, held);
    QFETCH(QString, fresh);
    QFETCH(QString, pageList);
    const QStringList pages = pageList.split(QLatin1Char('|'));
    QFETCH(QList<qint64>, befores);
    QFETCH(QString, result);
    ChatResync resync(QStringLiteral("c1"), parse(held), parse(fresh));
    for (int i = 0; i < pages.size(); ++i) {
        QVERIFY(resync.needsPage());
        QCOMPARE(resync.nextBefore(), befores.at(i));
        resync.addPage(parse(pages.at(i)));
    }
    QVERIFY(!resync.needsPage());
    QCOMPARE(ids(resync.result()), result);
}

void TestChatResync::gapBeyondTenPagesDropsHeldMessages()
{
    ChatResync resync(
        QStringLiteral("c1"), parse(QStringLiteral("a@1 b@2")), parse(QStringLiteral("z@1000")));
    int requests = 0;
    qint64 before = 1000;
    while (resync.needsPage()) {
        ++requests;
        QCOMPARE(resync.nextBefore(), before);
        before -= 10;
        resync.addPage({ msg(QStringLiteral("p%1").arg(requests), before) });
    }
    QCOMPARE(requests, ChatResync::maxPages);
    const std::vector<Message> merged = resync.result();
    QCOMPARE(merged.size(), size_t(ChatResync::maxPages + 1));
    QCOMPARE(merged.front().id, QStringLiteral("p10"));
    QCOMPARE(resync.removedIds(), QStringList({ QStringLiteral("a"), QStringLiteral("b") }));
}

QTEST_APPLESS_MAIN(TestChatResync)
#include "tst_chatresync.moc"
