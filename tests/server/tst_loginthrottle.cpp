#include "loginthrottle.h"

#include <QtTest>

using pushserver::LoginThrottle;
using std::chrono::seconds;

// Failed sign-ins slow down their address a lot and their user name a little, so that guessing is slow and the
// real user, from another address, is kept out for a few seconds at most.
class TestLoginThrottle final : public QObject
{
    Q_OBJECT

private slots:
    void wait_data();
    void wait();
    void successForgetsTheName();
};

void TestLoginThrottle::wait_data()
{
    QTest::addColumn<int>("failures");    // from address "a"
    QTest::addColumn<bool>("oneName");    // all for "alice", or each for a name of its own
    QTest::addColumn<QString>("address"); // then an attempt from there
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("later"); // seconds after the last failure
    QTest::addColumn<int>("wait");
    QTest::newRow("a few mistakes cost nothing") << 3 << true << "a"
                                                 << "alice" << 0 << 0;
    QTest::newRow("then the name waits 1 s") << 4 << true << "b"
                                             << "alice" << 0 << 1;
    QTest::newRow("doubling") << 6 << true << "b"
                              << "alice" << 0 << 4;
    QTest::newRow("the name never waits more than 5 s") << 19 << true << "b"
                                                        << "alice" << 0 << 5;
    QTest::newRow("and not after that") << 19 << true << "b"
                                        << "alice" << 5 << 0;
    QTest::newRow("other names and addresses are free") << 19 << true << "b"
                                                        << "bob" << 0 << 0;
    QTest::newRow("the address waits from its 21st failure") << 21 << false << "a"
                                                             << "carol" << 0 << 1;
    QTest::newRow("the address waits at most 30 s") << 60 << false << "a"
                                                    << "carol" << 0 << 30;
    QTest::newRow("the guessing address only") << 60 << false << "b"
                                               << "carol" << 0 << 0;
    QTest::newRow("forgotten after 15 quiet minutes") << 60 << true << "a"
                                                      << "alice" << 15 * 60 << 0;
}

void TestLoginThrottle::wait()
{
    QFETCH(int, failures);
    QFETCH(bool, oneName);
    QFETCH(QString, address);
    QFETCH(QString, user);
    QFETCH(int, later);
    QFETCH(int, wait);
    LoginThrottle throttle;
    auto now = LoginThrottle::Clock::time_point() + std::chrono::hours(1);
    for (int i = 0; i < failures; ++i)
        throttle.failed("a", oneName ? "alice" : "name" + std::to_string(i), now);
    now += seconds(later);
    QCOMPARE(throttle.wait(address.toStdString(), user.toStdString(), now).count(), static_cast<long long>(wait));
    if (later >= 15 * 60) {
        // Forgotten means counted from zero again.
        throttle.failed("a", "alice", now);
        QCOMPARE(throttle.wait("a", "alice", now).count(), 0LL);
    }
}

void TestLoginThrottle::successForgetsTheName()
{
    LoginThrottle throttle;
    const auto now = LoginThrottle::Clock::time_point() + std::chrono::hours(1);
    for (int i = 0; i < 25; ++i)
        throttle.failed("a", "alice", now);
    throttle.succeeded("alice");
    QCOMPARE(throttle.wait("b", "alice", now).count(), 0LL);
    // The guessing address is still slowed down.
    QVERIFY(throttle.wait("a", "bob", now).count() > 0);
}

QTEST_GUILESS_MAIN(TestLoginThrottle)
#include "tst_loginthrottle.moc"
