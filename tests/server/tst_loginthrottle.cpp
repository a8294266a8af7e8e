#include "clientaddress.h"
#include "loginthrottle.h"

#include <QtTest>

using pushserver::LoginThrottle;
using Outcome = LoginThrottle::Outcome;
using std::chrono::seconds;

namespace {

const LoginThrottle::Clock::time_point start = LoginThrottle::Clock::time_point() + std::chrono::hours(1);

// A wrong password, admitted and checked; false when the attempt was refused.
bool fail(LoginThrottle &throttle, const std::string &address, const std::string &user,
          LoginThrottle::Clock::time_point now)
{
    if (throttle.admit(address, user, now).count() > 0)
        return false;
    throttle.finished(address, user, Outcome::Failed, now);
    return true;
}

} // namespace

// Sign-ins counted as failed from their admission: guessing is slow for each client and for each name it guesses
// at, while the real user, from a client that has not been guessing, signs in at once.
class TestLoginThrottle final : public QObject
{
    Q_OBJECT

private slots:
    void wait_data();
    void wait();
    void provenAttemptIsTakenBack();
    void bursts_data();
    void bursts();
    void realUserDuringAttack();
    void groups_data();
    void groups();
    void forwardedClient_data();
    void forwardedClient();
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
    QTest::newRow("then the name waits 1 s") << 4 << true << "a"
                                             << "alice" << 0 << 1;
    QTest::newRow("doubling") << 6 << true << "a"
                              << "alice" << 0 << 4;
    QTest::newRow("the name never waits more than 5 s") << 19 << true << "a"
                                                        << "alice" << 0 << 5;
    QTest::newRow("and not after that") << 19 << true << "a"
                                        << "alice" << 5 << 0;
    QTest::newRow("a client that has not failed is not held to the name's wait") << 19 << true << "b"
                                                                                 << "alice" << 0 << 0;
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
    auto now = start;
    // Each one after the delay that the one before it cost, as a patient guesser would.
    for (int i = 0; i < failures; ++i, now += seconds(30))
        QVERIFY(fail(throttle, "a", oneName ? "alice" : "name" + std::to_string(i), now));
    now += seconds(later) - seconds(30);
    QCOMPARE(throttle.admit(address.toStdString(), user.toStdString(), now).count(), static_cast<long long>(wait));
    if (later >= 15 * 60) {
        // Forgotten means counted from zero again.
        throttle.finished(address.toStdString(), user.toStdString(), Outcome::Failed, now);
        QVERIFY(fail(throttle, "a", "alice", now));
        QCOMPARE(throttle.admit("a", "alice", now).count(), 0LL);
    }
}

void TestLoginThrottle::provenAttemptIsTakenBack()
{
    LoginThrottle throttle;
    auto now = start;
    for (int i = 0; i < 25; ++i, now += seconds(30))
        QVERIFY(fail(throttle, "a", "alice", now));
    // The real user's correct password does not count, nor wipe the guesses away.
    for (int i = 0; i < 30; ++i) {
        QCOMPARE(throttle.admit("b", "alice", now).count(), 0LL);
        throttle.finished("b", "alice", Outcome::Proven, now);
    }
    QVERIFY(throttle.admit("a", "alice", now).count() > 0);
    // An attempt that never ran is not counted either; but a client that keeps trying at once while the checks
    // are busy gives way to the others, and one that tries again a second later does not.
    for (int i = 0; i < 30; ++i) {
        QCOMPARE(throttle.admit("c", "alice", now).count(), 0LL);
        throttle.finished("c", "alice", Outcome::NotRun, now);
        QCOMPARE(throttle.admit("d", "alice", now + seconds(i)).count(), 0LL);
        throttle.finished("d", "alice", Outcome::NotRun, now + seconds(i));
    }
    QCOMPARE(throttle.admit("c", "alice", now).count(), 0LL);
    QVERIFY(throttle.givesWay("c", now));
    QVERIFY(!throttle.givesWay("d", now + seconds(30)));
    QVERIFY(!throttle.givesWay("b", now));
}

void TestLoginThrottle::bursts_data()
{
    QTest::addColumn<int>("addresses");     // the burst's attempts come from these in turn
    QTest::addColumn<int>("failedAlready"); // each address's failures before, on names of their own
    QTest::addColumn<QString>("admitted");  // per burst of ten attempts at once, one second apart
    QTest::newRow("one address") << 1 << 0 << "1 1 1 1 1 0 1 0";
    QTest::newRow("ten addresses that have failed") << 10 << 3 << "1 1 1 1 1 0 1 0";
    QTest::newRow("ten new addresses: a few each, then held") << 10 << 0 << "10 10 10 0 0 0 0 1";
}

void TestLoginThrottle::bursts()
{
    QFETCH(int, addresses);
    QFETCH(int, failedAlready);
    QFETCH(QString, admitted);
    LoginThrottle throttle;
    const auto address = [](int i) { return "198.51.100." + std::to_string(i + 1); };
    for (int a = 0; a < addresses; ++a)
        for (int i = 0; i < failedAlready; ++i)
            QVERIFY(fail(throttle, address(a), "other" + std::to_string(a * 100 + i), start - std::chrono::minutes(1)));
    QStringList counts;
    auto now = start;
    for (int burst = 0; burst < admitted.count(' ') + 1; ++burst, now += seconds(1)) {
        std::vector<std::string> running;
        for (int i = 0; i < 10; ++i)
            if (throttle.admit(address(i % addresses), "alice", now).count() == 0)
                running.push_back(address(i % addresses));
        for (const std::string &from : running)
            throttle.finished(from, "alice", Outcome::Failed, now);
        counts << QString::number(running.size());
    }
    QCOMPARE(counts.join(' '), admitted);
}

// 49 addresses guess at the name each second for a minute; the real user signs in each second meanwhile.
void TestLoginThrottle::realUserDuringAttack()
{
    LoginThrottle throttle;
    int guesses = 0, signIns = 0;
    auto now = start;
    for (int tick = 0; tick < 60; ++tick, now += seconds(1)) {
        std::vector<std::string> running;
        for (int i = 0; i < 49; ++i)
            if (throttle.admit("198.51.100." + std::to_string(i + 1), "alice", now).count() == 0)
                running.push_back("198.51.100." + std::to_string(i + 1));
        // When the checks are busy, the guessers give way to the real user.
        QCOMPARE(throttle.givesWay("192.0.2.7", now), false);
        QVERIFY(throttle.givesWay("198.51.100.1", now));
        if (throttle.admit("192.0.2.7", "alice", now).count() == 0) {
            ++signIns;
            throttle.finished("192.0.2.7", "alice", Outcome::Proven, now);
        }
        for (const std::string &from : running)
            throttle.finished(from, "alice", Outcome::Failed, now);
        guesses += static_cast<int>(running.size());
    }
    QCOMPARE(signIns, 60);
    // Three each before they are held, then one per name delay (its ceiling, 5 s) at most.
    QVERIFY2(guesses <= 49 * 3 + 60 / 5 + 1, qPrintable(QString::number(guesses)));
}

void TestLoginThrottle::groups_data()
{
    QTest::addColumn<QString>("failing"); // 21 failures from these addresses, %1 numbering them
    QTest::addColumn<QString>("probe");
    QTest::addColumn<int>("wait");
    QTest::newRow("IPv6 by its /64") << "2001:db8:5:6::%1"
                                     << "2001:db8:5:6:ffff:1:2:3" << 1;
    QTest::newRow("the next /64 is another client") << "2001:db8:5:6::%1"
                                                    << "2001:db8:5:7::1" << 0;
    QTest::newRow("IPv4 by address") << "192.0.2.1"
                                     << "192.0.2.1" << 1;
    QTest::newRow("the next IPv4 address is another client") << "192.0.2.%1"
                                                             << "192.0.2.99" << 0;
    QTest::newRow("IPv4 on a dual-stack socket is the IPv4 address") << "::ffff:192.0.2.1"
                                                                     << "192.0.2.1" << 1;
}

void TestLoginThrottle::groups()
{
    QFETCH(QString, failing);
    QFETCH(QString, probe);
    QFETCH(int, wait);
    LoginThrottle throttle;
    for (int i = 0; i < 21; ++i)
        QVERIFY(fail(throttle, (failing.contains("%1") ? failing.arg(i + 1) : failing).toStdString(),
                     "name" + std::to_string(i), start));
    QCOMPARE(throttle.admit(probe.toStdString(), "carol", start).count(), static_cast<long long>(wait));
}

void TestLoginThrottle::forwardedClient_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QStringList>("header"); // the X-Forwarded-For lines
    QTest::addColumn<QStringList>("trusted");
    QTest::addColumn<QString>("client");
    const QStringList proxy{"10.0.0.1"};
    QTest::newRow("no trusted proxy") << "198.51.100.7" << QStringList{"203.0.113.5"} << QStringList()
                                      << "198.51.100.7";
    QTest::newRow("not from the proxy") << "198.51.100.7" << QStringList{"203.0.113.5"} << proxy << "198.51.100.7";
    QTest::newRow("from the proxy") << "10.0.0.1" << QStringList{"203.0.113.5"} << proxy << "203.0.113.5";
    QTest::newRow("what the client wrote is not read")
        << "10.0.0.1" << QStringList{"192.0.2.66, 203.0.113.5"} << proxy << "203.0.113.5";
    QTest::newRow("several lines") << "10.0.0.1" << QStringList{"192.0.2.66", " 203.0.113.5 "} << proxy
                                   << "203.0.113.5";
    QTest::newRow("through two proxies") << "10.0.0.1" << QStringList{"192.0.2.66,203.0.113.5,10.0.0.2"}
                                         << QStringList{"10.0.0.1", "10.0.0.2"} << "203.0.113.5";
    QTest::newRow("IPv6 client") << "10.0.0.1" << QStringList{"2001:DB8::5"} << proxy << "2001:db8::5";
    QTest::newRow("the proxy on a dual-stack socket")
        << "::ffff:10.0.0.1" << QStringList{"203.0.113.5"} << proxy << "203.0.113.5";
    QTest::newRow("no header") << "10.0.0.1" << QStringList() << proxy << "10.0.0.1";
    QTest::newRow("no address") << "10.0.0.1" << QStringList{"203.0.113.5, unknown"} << proxy << "10.0.0.1";
}

void TestLoginThrottle::forwardedClient()
{
    QFETCH(QString, peer);
    QFETCH(QStringList, header);
    QFETCH(QStringList, trusted);
    QFETCH(QString, client);
    std::vector<std::string> lines, proxies;
    for (const QString &line : header)
        lines.push_back(line.toStdString());
    for (const QString &address : trusted)
        proxies.push_back(address.toStdString());
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    QCOMPARE(QString::fromStdString(pushserver::forwardedClient(peer.toStdString(), views, proxies)), client);
}

QTEST_GUILESS_MAIN(TestLoginThrottle)
#include "tst_loginthrottle.moc"
