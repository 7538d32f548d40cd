#include "ratelimiter.h"

#include <QtTest>

class TestRateLimiter : public QObject
{
    Q_OBJECT

private slots:
    void admitsBurstThenRate_data();
    void admitsBurstThenRate();
    void neverExceedsBurstAfterIdle();
    void clockGoingBackDoesNotRefill();
};

void TestRateLimiter::admitsBurstThenRate_data()
{
    QTest::addColumn<int>("burst");
    QTest::addColumn<int>("perSecond");
    QTest::addColumn<qint64>("spanMs");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("admitted");

    QTest::newRow("burst at one instant") << 50 << 20 << qint64(0) << 80 << 50;
    QTest::newRow("one second after the burst adds twenty")
        << 50 << 20 << qint64(1000) << 200 << 70;
    QTest::newRow("a slow steady sender is never refused")
        << 50 << 20 << qint64(10000) << 100 << 100;
    QTest::newRow("half a second adds ten") << 50 << 20 << qint64(500) << 100 << 60;
}

void TestRateLimiter::admitsBurstThenRate()
{
    QFETCH(int, burst);
    QFETCH(int, perSecond);
    QFETCH(qint64, spanMs);
    QFETCH(int, requests);
    QFETCH(int, admitted);

    RateLimiter limiter(burst, perSecond);
    int count = 0;
    for (int i = 0; i < requests; ++i)
        count += limiter.tryTake(1000 + spanMs * i / requests) ? 1 : 0;
    QVERIFY2(qAbs(count - admitted) <= 1, qPrintable(QString::number(count)));
}

void TestRateLimiter::neverExceedsBurstAfterIdle()
{
    RateLimiter limiter(50, 20);
    QVERIFY(limiter.tryTake(0));
    int count = 0;
    for (int i = 0; i < 100; ++i)
        count += limiter.tryTake(3600 * 1000) ? 1 : 0;
    QCOMPARE(count, 50);
}

void TestRateLimiter::clockGoingBackDoesNotRefill()
{
    RateLimiter limiter(5, 20);
    for (int i = 0; i < 5; ++i)
        QVERIFY(limiter.tryTake(10000));
    QVERIFY(!limiter.tryTake(5000));
    QVERIFY(!limiter.tryTake(10000));
    QVERIFY(limiter.tryTake(10050));
}

QTEST_APPLESS_MAIN(TestRateLimiter)

#include "tst_ratelimiter.moc"
