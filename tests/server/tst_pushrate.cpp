#include "pushrate.h"

#include <QtTest>

using pushserver::PushRate;
using std::chrono::milliseconds;
using std::chrono::seconds;

// A key may push a burst at once, then at its rate; a refused push costs nothing, and the table of keys stays
// bounded without letting a busy key off.
class TestPushRate final : public QObject
{
    Q_OBJECT

private slots:
    void take_data();
    void take();
    void boundedKeys();
};

void TestPushRate::take_data()
{
    QTest::addColumn<double>("perSecond");
    QTest::addColumn<int>("burst");
    QTest::addColumn<int>("pushes");   // at once, at the start
    QTest::addColumn<int>("laterMs");  // then one more this long after the start
    QTest::addColumn<int>("accepted"); // of the pushes at once
    QTest::addColumn<int>("wait");     // answered to the one later
    QTest::newRow("the burst passes") << 5.0 << 60 << 60 << 0 << 60 << 1;
    QTest::newRow("beyond it, refused") << 5.0 << 60 << 100 << 0 << 60 << 1;
    QTest::newRow("a token back after 200 ms") << 5.0 << 60 << 100 << 200 << 60 << 0;
    QTest::newRow("not before") << 5.0 << 60 << 100 << 199 << 60 << 1;
    QTest::newRow("refusals do not delay the next token") << 5.0 << 60 << 1000 << 200 << 60 << 0;
    QTest::newRow("slow rate: the wait in whole seconds") << 0.1 << 2 << 5 << 0 << 2 << 10;
    QTest::newRow("slow rate, part of the wait gone") << 0.1 << 2 << 5 << 2500 << 2 << 8;
    QTest::newRow("a burst of one") << 1.0 << 1 << 3 << 999 << 1 << 1;
    QTest::newRow("refilled up to the burst, no further") << 100.0 << 3 << 3 << 3600 * 1000 << 3 << 0;
}

void TestPushRate::take()
{
    QFETCH(double, perSecond);
    QFETCH(int, burst);
    QFETCH(int, pushes);
    QFETCH(int, laterMs);
    QFETCH(int, accepted);
    QFETCH(int, wait);
    PushRate rate(PushRate::Limits{perSecond, burst, 100});
    const PushRate::Clock::time_point start{};
    int passed = 0;
    for (int i = 0; i < pushes; ++i)
        passed += rate.take("key", start) == seconds(0);
    QCOMPARE(passed, accepted);
    // Another key has a bucket of its own.
    QCOMPARE(rate.take("other", start).count(), 0);
    QCOMPARE(rate.take("key", start + milliseconds(laterMs)).count(), wait);
    if (laterMs == 3600 * 1000) {
        // Long quiet fills the bucket once, not once per hour gone.
        int again = 1;
        while (rate.take("key", start + milliseconds(laterMs)) == seconds(0) && again < 10)
            ++again;
        QCOMPARE(again, burst);
    }
}

void TestPushRate::boundedKeys()
{
    PushRate rate(PushRate::Limits{1, 2, 3});
    const PushRate::Clock::time_point start{};
    // "busy" spends its bucket, then three other keys come: the table keeps three, the quietest goes.
    QCOMPARE(rate.take("busy", start).count(), 0);
    QCOMPARE(rate.take("busy", start).count(), 0);
    QCOMPARE(rate.take("quiet", start + milliseconds(10)).count(), 0);
    QCOMPARE(rate.take("busy", start + milliseconds(20)).count(), 1);
    QCOMPARE(rate.take("new", start + milliseconds(30)).count(), 0);
    QCOMPARE(rate.keysHeld(), std::size_t(3));
    QCOMPARE(rate.take("newer", start + milliseconds(40)).count(), 0);
    QCOMPARE(rate.keysHeld(), std::size_t(3));
    // "quiet" was dropped, not "busy", which still waits.
    QCOMPARE(rate.take("busy", start + milliseconds(50)).count(), 1);
}

QTEST_GUILESS_MAIN(TestPushRate)
#include "tst_pushrate.moc"
