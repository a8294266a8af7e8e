#include "deliveryplanner.h"

#include <QtTest>

using pushserver::DeliveryPlanner;
using pushserver::PendingDelivery;
using pushserver::PushAttempt;
using Verdict = DeliveryPlanner::Verdict;
using std::chrono::milliseconds;

Q_DECLARE_METATYPE(DeliveryPlanner::Verdict)

namespace {

constexpr std::int64_t now = 1'700'000'000;
const DeliveryPlanner::Clock::time_point start = DeliveryPlanner::Clock::time_point() + std::chrono::hours(1);

PendingDelivery delivery(std::int64_t push, std::int64_t subscription, bool queued, std::int64_t due = now)
{
    PendingDelivery pending;
    pending.push.id = push;
    pending.push.createdAt = now - 5;
    pending.subscriptionId = subscription;
    pending.queued = queued;
    pending.nextAttemptAt = due;
    pending.firstAttemptAt = now - 5;
    return pending;
}

DeliveryPlanner::Job jobOf(const PendingDelivery &pending)
{
    DeliveryPlanner::Job job{pending.push.id, pending.subscriptionId, pending.attempts, pending.firstAttemptAt,
                             pending.origin.empty() ? "https://push.example" : pending.origin};
    job.account = pending.account;
    job.device = pending.deviceRow;
    return job;
}

// "origin/account/device", and "/r" for a retry: a due delivery of push `push`.
PendingDelivery described(const QString &what, std::int64_t push)
{
    const QStringList parts = what.split(QLatin1Char('/'));
    PendingDelivery pending = delivery(push, 1, false);
    pending.endpoint = "https://" + parts.value(0).toStdString() + ".example/e";
    pending.origin = "https://" + parts.value(0).toStdString() + ".example";
    pending.account = parts.value(1).toLongLong();
    pending.deviceRow = parts.value(2).toLongLong();
    pending.attempts = parts.value(3) == QLatin1String("r") ? 1 : 0;
    return pending;
}

} // namespace

// The delivery's decisions on their own: what an answer means, how a queued push's fan-out is written, and what
// starts while requests are under way.
class TestDeliveryPlanner final : public QObject
{
    Q_OBJECT

private slots:
    void judge_data();
    void judge();
    void certificateFailures();
    void fanoutRecord_data();
    void fanoutRecord();
    void slotsAndQueue();
    void takenAgainWhileUnderWay();
    void fairShare_data();
    void fairShare();
    void waitingPerAccount();
    void slowOrigin();
};

void TestDeliveryPlanner::judge_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("retryAfter"); // -1: none
    QTest::addColumn<int>("attempts");   // made before this one
    QTest::addColumn<int>("age");        // seconds since the first attempt
    QTest::addColumn<bool>("test");
    QTest::addColumn<bool>("notPublic");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<int>("delay"); // for Retry

    QTest::newRow("accepted") << 201 << -1 << 0 << 0 << false << false << Verdict::Delivered << 0;
    QTest::newRow("gone, 404") << 404 << -1 << 0 << 0 << false << false << Verdict::Gone << 0;
    QTest::newRow("gone, 410") << 410 << -1 << 3 << 0 << false << false << Verdict::Gone << 0;
    QTest::newRow("no answer, first") << 0 << -1 << 0 << 0 << false << false << Verdict::Retry << 2;
    QTest::newRow("no answer, fifth") << 0 << -1 << 4 << 100 << false << false << Verdict::Retry << 32;
    QTest::newRow("backoff has a ceiling") << 503 << -1 << 40 << 100 << false << false << Verdict::Retry << 900;
    QTest::newRow("Retry-After taken") << 429 << 120 << 0 << 0 << false << false << Verdict::Retry << 120;
    QTest::newRow("Retry-After 0 waits a second") << 429 << 0 << 0 << 0 << false << false << Verdict::Retry << 1;
    QTest::newRow("Retry-After beyond the ceiling")
        << 503 << 100000 << 0 << 0 << false << false << Verdict::Retry << 900;
    QTest::newRow("failing after a day") << 500 << -1 << 12 << 86000 << false << false << Verdict::Expired << 0;
    QTest::newRow("refused, 400") << 400 << -1 << 0 << 0 << false << false << Verdict::Refused << 0;
    QTest::newRow("refused, 413") << 413 << -1 << 0 << 0 << false << false << Verdict::Refused << 0;
    QTest::newRow("redirect is an answer") << 301 << -1 << 0 << 0 << false << false << Verdict::Refused << 0;
    QTest::newRow("internal address") << 0 << -1 << 0 << 0 << false << true << Verdict::Unsendable << 0;
    QTest::newRow("test message, 500") << 500 << -1 << 0 << 0 << true << false << Verdict::TestFailed << 0;
    QTest::newRow("test message, no answer") << 0 << -1 << 0 << 0 << true << false << Verdict::TestFailed << 0;
    QTest::newRow("test message, gone") << 410 << -1 << 0 << 0 << true << false << Verdict::Gone << 0;
}

void TestDeliveryPlanner::judge()
{
    QFETCH(int, status);
    QFETCH(int, retryAfter);
    QFETCH(int, attempts);
    QFETCH(int, age);
    QFETCH(bool, test);
    QFETCH(bool, notPublic);
    QFETCH(Verdict, verdict);
    QFETCH(int, delay);

    DeliveryPlanner planner;
    DeliveryPlanner::Job job{7, 3, attempts, now - age, "https://push.example", test};
    PushAttempt attempt;
    attempt.status = status;
    if (retryAfter >= 0)
        attempt.retryAfter = retryAfter;
    attempt.notPublic = notPublic;
    if (status == 0)
        attempt.error = "cannot connect";
    const DeliveryPlanner::Decision decision = planner.judge(job, attempt, now);
    QCOMPARE(decision.verdict, verdict);
    if (verdict == Verdict::Retry) {
        QCOMPARE(decision.retryAt, now + delay);
        QCOMPARE(decision.attempts, attempts + 1);
    }
}

// Three certificate failures in a row cost the subscription; an answer in between starts the count again.
void TestDeliveryPlanner::certificateFailures()
{
    DeliveryPlanner planner;
    const DeliveryPlanner::Job job{7, 3, 0, now, "https://push.example"};
    PushAttempt untrusted;
    untrusted.badCertificate = true;
    PushAttempt busy;
    busy.status = 503;
    QCOMPARE(planner.judge(job, untrusted, now).verdict, Verdict::Retry);
    QCOMPARE(planner.judge(job, untrusted, now).verdict, Verdict::Retry);
    QCOMPARE(planner.judge(job, busy, now).verdict, Verdict::Retry);
    QCOMPARE(planner.judge(job, untrusted, now).verdict, Verdict::Retry);
    QCOMPARE(planner.judge(job, untrusted, now).verdict, Verdict::Retry);
    // Another subscription's failures are its own.
    QCOMPARE(planner.judge({7, 4, 0, now, "https://push.example"}, untrusted, now).verdict, Verdict::Retry);
    QCOMPARE(planner.judge(job, untrusted, now).verdict, Verdict::Unsendable);
}

void TestDeliveryPlanner::fanoutRecord_data()
{
    QTest::addColumn<QString>("outcomes"); // per subscription: A accepted, R to retry, - no answer yet
    QTest::addColumn<int>("elapsedMs");    // since the first outcome
    QTest::addColumn<bool>("everyOutcome");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("waiting");

    QTest::newRow("all accepted") << "AAA" << 0 << false << true << 0 << false;
    QTest::newRow("one owed, early") << "AA-" << 50 << false << false << 0 << true;
    QTest::newRow("one owed, after the delay") << "AA-" << 100 << false << true << 1 << false;
    QTest::newRow("a retry is written at once") << "R--" << 0 << false << true << 3 << false;
    QTest::newRow("stopping writes what has an outcome") << "A--" << 0 << true << true << 2 << false;
    QTest::newRow("no outcome yet") << "---" << 3600000 << false << false << 0 << false;
    QTest::newRow("no outcome yet, stopping") << "---" << 0 << true << false << 0 << false;
}

// A queued push's entry goes once every subscription has an outcome, or sooner, with rows for what it still owes,
// once an outcome must be kept or has waited a moment: never while all of its deliveries are still unanswered.
void TestDeliveryPlanner::fanoutRecord()
{
    QFETCH(QString, outcomes);
    QFETCH(int, elapsedMs);
    QFETCH(bool, everyOutcome);
    QFETCH(bool, taken);
    QFETCH(int, rows);
    QFETCH(bool, waiting);

    DeliveryPlanner planner;
    std::vector<PendingDelivery> queued;
    for (int i = 0; i < outcomes.size(); ++i)
        queued.push_back(delivery(9, 100 + i, true));
    planner.fetched({}, queued, 9, now, start);
    for (int i = 0; i < outcomes.size(); ++i) {
        QVERIFY(planner.canStart());
        const PendingDelivery next = planner.next();
        QCOMPARE(next.subscriptionId, std::int64_t(100 + i));
        planner.sending(jobOf(next));
    }
    for (int i = 0; i < outcomes.size(); ++i) {
        const PendingDelivery &sent = queued[static_cast<std::size_t>(i)];
        if (outcomes[i] == QLatin1Char('A'))
            QVERIFY(planner.settle({9, sent.subscriptionId}, std::nullopt, start));
        else if (outcomes[i] == QLatin1Char('R'))
            QVERIFY(planner.settle({9, sent.subscriptionId},
                                   pushserver::DeliveryRow{9, sent.subscriptionId, 1, now + 2, sent.firstAttemptAt},
                                   start));
    }
    bool isWaiting = false;
    const pushserver::DeliveryRecord record = planner.record(start + milliseconds(elapsedMs), everyOutcome, &isWaiting);
    QCOMPARE(!record.taken.empty(), taken);
    QCOMPARE(static_cast<int>(record.rows.size()), rows);
    QCOMPARE(isWaiting, waiting);
    // A delivery still owed is written to be sent as soon as possible, from its push's time.
    for (const pushserver::DeliveryRow &row : record.rows)
        QCOMPARE(row.nextAttemptAt, row.attempts == 0 ? now - 5 : now + 2);
}

// No more requests than the limit start; a row not yet due sets the wake-up and ends the batch; a delivery under
// way is not read again from the queue.
void TestDeliveryPlanner::slotsAndQueue()
{
    DeliveryPlanner::Limits limits;
    limits.maxInFlight = 2;
    DeliveryPlanner planner(limits);
    QVERIFY(planner.wantsQueue());
    const auto fetched = planner.fetched(
        {delivery(1, 1, false), delivery(2, 1, false), delivery(3, 1, false), delivery(4, 1, false, now + 30)}, {}, 0,
        now, start);
    QCOMPARE(fetched.wakeIn, std::optional<std::int64_t>(30));
    QVERIFY(!planner.wantsQueue());
    QVERIFY(!planner.needsCheck(start));
    planner.sending(jobOf(planner.next()));
    planner.sending(jobOf(planner.next()));
    QVERIFY(!planner.canStart());
    planner.finished({1, 1});
    QVERIFY(planner.canStart());
    QCOMPARE(planner.next().push.id, std::int64_t(3));
    QVERIFY(!planner.wantsQueue()); // nothing is stale: the timer reads the queue again
    planner.queueChanged();
    QVERIFY(planner.wantsQueue());
    // Push 2 is still under way: read again, it is left out.
    planner.fetched({delivery(2, 1, false), delivery(5, 1, false)}, {}, 0, now, start);
    QCOMPARE(planner.waiting().size(), std::size_t(1));
    QCOMPARE(planner.waiting().front().push.id, std::int64_t(5));
    // What waited too long is checked against the store before it starts.
    QVERIFY(planner.needsCheck(start + limits.readyCheckAge));
    planner.checked({0}, start + limits.readyCheckAge);
    QVERIFY(!planner.canStart());
}

// When recording fails, the queue is read again from its start: a queued push still under way is not fanned out a
// second time, so that no subscription gets it twice from the one taking.
void TestDeliveryPlanner::takenAgainWhileUnderWay()
{
    DeliveryPlanner planner;
    planner.fetched({}, {delivery(9, 100, true), delivery(9, 101, true)}, 9, now, start);
    planner.sending(jobOf(planner.next()));
    planner.sending(jobOf(planner.next()));
    QVERIFY(planner.settle({9, 100}, std::nullopt, start));
    planner.recordFailed();
    QCOMPARE(planner.lastTaken(), std::int64_t(0));
    planner.fetched({}, {delivery(9, 100, true), delivery(9, 101, true)}, 9, now, start);
    QVERIFY(!planner.canStart());
    QVERIFY(planner.settle({9, 101}, std::nullopt, start));
    bool waiting = false;
    const pushserver::DeliveryRecord record = planner.record(start, false, &waiting);
    QCOMPARE(record.taken, std::vector<std::int64_t>{9});
    QVERIFY(record.rows.empty());
}

void TestDeliveryPlanner::fairShare_data()
{
    QTest::addColumn<QStringList>("underWay");
    QTest::addColumn<QStringList>("waiting"); // oldest first
    QTest::addColumn<int>("starts");          // which of them starts next; -1: none

    const auto many = [](int n, const std::function<QString(int)> &each) {
        QStringList list;
        for (int i = 0; i < n; ++i)
            list << each(i);
        return list;
    };
    const auto apart = [](int i) { return QStringLiteral("o%1/%1/%1").arg(i + 100); };
    QTest::newRow("free: the oldest first") << QStringList{} << QStringList{"a/1/1", "b/2/2"} << 0;
    QTest::newRow("12 to one push service: the next waits, another's passes")
        << many(12, [](int i) { return QStringLiteral("a/%1/%1").arg(i + 100); }) << QStringList{"a/1/1", "b/2/2"} << 1;
    QTest::newRow("11 to one push service: one more starts")
        << many(11, [](int i) { return QStringLiteral("a/%1/%1").arg(i + 100); }) << QStringList{"a/1/1"} << 0;
    QTest::newRow("8 for one account: its next waits, another's passes")
        << many(8, [](int i) { return QStringLiteral("o%1/1/%1").arg(i + 100); }) << QStringList{"x/1/1", "y/2/2"} << 1;
    QTest::newRow("4 for one device: its next waits, the account's other device passes")
        << many(4, [](int i) { return QStringLiteral("o%1/1/5").arg(i); }) << QStringList{"x/1/5", "y/1/6"} << 1;
    QTest::newRow("12 under way: a retry waits, a new push passes")
        << many(12, apart) << QStringList{"x/1/1/r", "y/2/2"} << 1;
    QTest::newRow("11 under way: a retry starts") << many(11, apart) << QStringList{"x/1/1/r", "y/2/2"} << 0;
    QTest::newRow("12 under way: retries only, none starts") << many(12, apart) << QStringList{"x/1/1/r"} << -1;
    QTest::newRow("16 under way: none starts") << many(16, apart) << QStringList{"y/2/2"} << -1;
    QTest::newRow("every waiting one blocked")
        << many(4, [](int i) { return QStringLiteral("o%1/1/5").arg(i); }) << QStringList{"x/1/5", "z/1/5"} << -1;
}

// Of the requests under way, one push service, one account and one device each get a share only, and the last
// free ones are kept for new pushes; a delivery that has room starts before older ones that wait for theirs.
void TestDeliveryPlanner::fairShare()
{
    QFETCH(QStringList, underWay);
    QFETCH(QStringList, waiting);
    QFETCH(int, starts);

    DeliveryPlanner planner;
    std::int64_t push = 1000;
    for (const QString &what : underWay)
        planner.sending(jobOf(described(what, ++push)));
    std::vector<PendingDelivery> rows;
    for (int i = 0; i < waiting.size(); ++i)
        rows.push_back(described(waiting[i], i + 1));
    planner.fetched(rows, {}, 0, now, start);
    QCOMPARE(planner.canStart(), starts >= 0);
    if (starts < 0)
        return;
    QVERIFY(!planner.needsCheck(start));
    const PendingDelivery next = planner.next();
    QCOMPARE(next.push.id, std::int64_t(starts + 1));
    QCOMPARE(planner.waiting().size(), std::size_t(waiting.size() - 1));
    // The one it passed starts once the requests that held its push service, account or device end.
    planner.sending(jobOf(next));
    if (starts > 0) {
        for (int i = 1; i <= underWay.size(); ++i)
            planner.finished({1000 + i, 1});
        QVERIFY(planner.canStart());
        QCOMPARE(planner.next().push.id, std::int64_t(1));
    }
}

// Beyond its share of deliveries waiting, an account's rows stay in the store and its queued pushes go back to it
// as rows of their own, due at once; another account's still wait to start.
void TestDeliveryPlanner::waitingPerAccount()
{
    DeliveryPlanner::Limits limits;
    limits.waitingPerAccount = 2;
    DeliveryPlanner planner(limits);
    std::vector<PendingDelivery> rows{described("a/1/1", 1), described("a/1/1", 2), described("a/1/1", 3),
                                      described("b/2/2", 4)};
    PendingDelivery queued = described("a/1/1", 20);
    queued.queued = true;
    PendingDelivery other = described("b/2/2", 21);
    other.queued = true;
    const auto fetched = planner.fetched(rows, {queued, other}, 21, now, start);
    QVERIFY(fetched.record);
    std::vector<std::int64_t> ids;
    for (const PendingDelivery &waiting : planner.waiting())
        ids.push_back(waiting.push.id);
    QCOMPARE(ids, (std::vector<std::int64_t>{1, 2, 4, 21}));
    bool isWaiting = false;
    const pushserver::DeliveryRecord record = planner.record(start, false, &isWaiting);
    QCOMPARE(record.taken, std::vector<std::int64_t>{20});
    QCOMPARE(record.rows.size(), std::size_t(1));
    QCOMPARE(record.rows.front().pushId, std::int64_t(20));
    QCOMPARE(record.rows.front().nextAttemptAt, now - 5);
    // Read again, the rows already waiting are not taken twice.
    planner.fetched(rows, {}, 21, now, start);
    QCOMPARE(planner.waiting().size(), std::size_t(4));
    QVERIFY(!planner.wantsQueue());
    // Once they start, the row left in the store is read again.
    while (planner.canStart())
        planner.sending(jobOf(planner.next()));
    QVERIFY(planner.wantsQueue());
    planner.fetched({rows[2]}, {}, 21, now, start);
    QCOMPARE(planner.waiting().size(), std::size_t(1));
    QCOMPARE(planner.waiting().front().push.id, std::int64_t(3));
}

// A push service that let a request time out gets the short deadline until it answers again; a refused
// connection is no time-out.
void TestDeliveryPlanner::slowOrigin()
{
    DeliveryPlanner planner;
    DeliveryPlanner::Job hanging{7, 3, 0, now, "https://slow.example"};
    DeliveryPlanner::Job other{8, 4, 0, now, "https://fast.example"};
    QCOMPARE(planner.exchangeTime(hanging.origin), std::chrono::seconds(15));
    PushAttempt timedOut;
    timedOut.error = "timed out";
    timedOut.timedOut = true;
    QCOMPARE(planner.judge(hanging, timedOut, now).verdict, Verdict::Retry);
    QCOMPARE(planner.exchangeTime(hanging.origin), std::chrono::seconds(3));
    QCOMPARE(planner.exchangeTime(other.origin), std::chrono::seconds(15));
    PushAttempt refused;
    refused.error = "cannot connect";
    planner.judge(other, refused, now);
    QCOMPARE(planner.exchangeTime(other.origin), std::chrono::seconds(15));
    planner.judge(hanging, timedOut, now);
    QCOMPARE(planner.exchangeTime(hanging.origin), std::chrono::seconds(3));
    PushAttempt busy;
    busy.status = 503;
    planner.judge(hanging, busy, now);
    QCOMPARE(planner.exchangeTime(hanging.origin), std::chrono::seconds(15));
}

QTEST_GUILESS_MAIN(TestDeliveryPlanner)
#include "tst_deliveryplanner.moc"
