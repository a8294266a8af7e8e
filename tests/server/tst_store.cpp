#include "retention.h"
#include "secrets.h"
#include "servertest.h"
#include "store_postgres.h"
#include "store_sqlite.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#include <atomic>
#include <memory>

using namespace pushserver;

namespace {

constexpr std::int64_t day = 24 * 3600;
constexpr std::int64_t start = 1'800'000'000; // the tests' own calendar

// The database as tapvela-server 1.0 made it, before api keys had a time of last use.
const char *const firstSchema = R"sql(
CREATE TABLE accounts (id INTEGER PRIMARY KEY, username TEXT NOT NULL UNIQUE, password_hash TEXT NOT NULL,
    created_at INTEGER NOT NULL);
CREATE TABLE api_keys (id INTEGER PRIMARY KEY,
    account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE, key_hash BLOB NOT NULL UNIQUE,
    created_at INTEGER NOT NULL);
CREATE INDEX api_keys_by_account ON api_keys(account_id, id);
CREATE TABLE devices (id INTEGER PRIMARY KEY, account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    public_id TEXT NOT NULL UNIQUE, name TEXT NOT NULL, page_token TEXT NOT NULL UNIQUE, created_at INTEGER NOT NULL);
CREATE INDEX devices_by_account ON devices(account_id, id);
CREATE TABLE pushes (id INTEGER PRIMARY KEY, device_id INTEGER NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    msg TEXT NOT NULL, icon TEXT NOT NULL, sound TEXT NOT NULL, extra TEXT NOT NULL, created_at INTEGER NOT NULL);
CREATE INDEX pushes_by_device ON pushes(device_id, id);
INSERT INTO accounts VALUES (1, 'old', 'hash', 1800000000);
INSERT INTO api_keys VALUES (1, 1, X'6F6C64206B6579', 1800000000); -- "old key"
INSERT INTO devices VALUES (1, 1, 'd1', 'old phone', 'tttttttttttttttttttttttttttttttt', 1800000000);
INSERT INTO pushes VALUES (1, 1, 'old push', '115', '01', 'tel:1', 1800000000);
PRAGMA user_version=1;
)sql";

// The pushes still queued for Web Push. Counted from the raw rows, so that a delivery left without its push or
// subscription (which the store's joins hide) shows.
const char *const queuedPushes = "SELECT count(*) FROM pushes WHERE deliver_to IS NOT NULL";

std::vector<std::int64_t> ids(const std::vector<Push> &pushes)
{
    std::vector<std::int64_t> list;
    for (const Push &push : pushes)
        list.push_back(push.id);
    return list;
}

} // namespace

class TestStore final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void prunesPushes_data();
    void prunesPushes();
    void prunesUnusedKeys_data();
    void prunesUnusedKeys();
    void upgradesFirstSchema();
    void upgradesQueueTable();
    void deliveriesGoWithTheirRows();
    void pruningThreadStartsAndStops();
    void copiesTheLogBack();
    void instancesShareTheQueue();
    void oneInstancePrunes();

private:
    std::unique_ptr<Store> open();

    QTemporaryDir m_dir;
    QString m_path;     // the SQLite file, or the name it would have
    QString m_database; // m_path, or the URL of a PostgreSQL database of the test's own
    std::atomic<std::int64_t> m_now{start};
};

void TestStore::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(initSecrets());
}

void TestStore::init()
{
    static int round = 0;
    m_path = m_dir.filePath(QStringLiteral("store%1.db").arg(++round));
    m_database = servertest::newDatabase(m_path);
    m_now = start;
}

std::unique_ptr<Store> TestStore::open()
{
    const Clock clock = [this] { return m_now.load(); };
    if (servertest::isPostgres(m_database))
        return std::make_unique<PostgresStore>(m_database.toStdString(), clock);
    return std::make_unique<SqliteStore>(m_path.toStdString(), clock);
}

void TestStore::prunesPushes_data()
{
    QTest::addColumn<QList<int>>("ages"); // in days, as they arrived; each on device 0, 1, 0, 1... by `on`
    QTest::addColumn<QList<int>>("on");   // the device of each push
    QTest::addColumn<int>("keepDays");
    QTest::addColumn<int>("keepPushes");
    QTest::addColumn<QList<int>>("kept"); // how many of its newest each device keeps
    QTest::newRow("older than the limit")
        << QList<int>{40, 35, 31, 29, 2, 1} << QList<int>{0, 1, 0, 0, 1, 0} << 30 << 1000 << QList<int>{2, 1};
    QTest::newRow("beyond the count, per device")
        << QList<int>{7, 6, 5, 4, 3, 2, 1} << QList<int>{0, 0, 1, 0, 0, 0, 1} << 30 << 3 << QList<int>{3, 2};
    QTest::newRow("both") << QList<int>{50, 9, 8, 7, 6} << QList<int>{0, 0, 0, 0, 0} << 30 << 2 << QList<int>{2, 0};
    // A new push is numbered after the highest left: the newest of all stays, so a number is never given twice.
    QTest::newRow("all too old") << QList<int>{60, 50, 40} << QList<int>{1, 0, 0} << 30 << 1000 << QList<int>{1, 0};
}

void TestStore::prunesPushes()
{
    QFETCH(QList<int>, ages);
    QFETCH(QList<int>, on);
    QFETCH(int, keepDays);
    QFETCH(int, keepPushes);
    QFETCH(QList<int>, kept);
    const auto store = open();
    const auto account = store->addAccount("a", "hash");
    QVERIFY(account);
    const std::vector<Device> devices = {store->addDevice(*account, "one"), store->addDevice(*account, "two")};
    std::vector<std::vector<std::int64_t>> stored(devices.size());
    for (int i = 0; i < ages.size(); ++i) {
        m_now = start - ages[i] * day;
        const auto push = store->addPush(*account, devices[on[i]].id, PushFields{"m", "", "", ""});
        QVERIFY(push);
        stored[on[i]].insert(stored[on[i]].begin(), push->first);
    }
    m_now = start;
    // Batches of two, so that every loop goes round more than once.
    prune(*store, RetentionPolicy{keepDays, keepPushes, 180}, {}, 2);
    for (std::size_t d = 0; d < devices.size(); ++d) {
        stored[d].resize(kept[d]);
        QCOMPARE(ids(store->latestPushes(devices[d].row, 100)), stored[d]);
    }
    const std::int64_t highest = std::max(store->latestPushId(devices[0].row), store->latestPushId(devices[1].row));
    QVERIFY(store->addPush(*account, devices[1].id, PushFields{"new", "", "", ""})->first > highest);
}

void TestStore::prunesUnusedKeys_data()
{
    QTest::addColumn<QList<int>>("usedOn"); // days after its sign-in
    QTest::addColumn<int>("prunedOn");
    QTest::addColumn<bool>("kept");
    QTest::newRow("never used, within the limit") << QList<int>{} << 179 << true;
    QTest::newRow("never used, past the limit") << QList<int>{} << 181 << false;
    QTest::newRow("used since") << QList<int>{1, 100} << 200 << true;
    QTest::newRow("used, then not for too long") << QList<int>{1, 10} << 191 << false;
}

void TestStore::prunesUnusedKeys()
{
    QFETCH(QList<int>, usedOn);
    QFETCH(int, prunedOn);
    QFETCH(bool, kept);
    const auto store = open();
    const auto account = store->addAccount("a", "hash");
    QVERIFY(account);
    store->addApiKey(*account, sha256("key"), 32);
    store->addApiKey(*account, sha256("busy key"), 32);
    for (const int used : usedOn) {
        m_now = start + used * day;
        QCOMPARE(store->accountOfKey(sha256("key")), account);
    }
    m_now = start + prunedOn * day;
    QCOMPARE(store->accountOfKey(sha256("busy key")), account);
    prune(*store, RetentionPolicy{30, 1000, 180}, {}, 2);
    QCOMPARE(store->accountOfKey(sha256("key")).has_value(), kept);
    QCOMPARE(store->accountOfKey(sha256("busy key")), account);
}

void TestStore::upgradesFirstSchema()
{
    if (servertest::isPostgres(m_database))
        QSKIP("the files of SQLite's earlier schemas; a PostgreSQL database starts at its first");
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(m_path.toUtf8().constData(), &db), SQLITE_OK);
    QCOMPARE(sqlite3_exec(db, firstSchema, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    // Opened twice: the upgrade is done once and the upgraded file opens as it is.
    m_now = start + 10 * day;
    for (int opening = 0; opening < 2; ++opening) {
        const auto store = open();
        // Its keys count as used when they were made, not in 1970: pruning keeps them.
        prune(*store, RetentionPolicy{});
        QCOMPARE(store->accountOfKey("old key"), std::optional<std::int64_t>(1));
        QCOMPARE(store->latestPushes(1, 10).size(), std::size_t(opening + 1));
        // The tables of Web Push are there.
        store->addSubscription(1, "https://push.example/1", "k", "a", 10);
        bool queued = false;
        QVERIFY(store->addPush(1, "d1", PushFields{"new", "", "", ""}, &queued));
        QCOMPARE(store->queuedPushes(0, 10).size(), std::size_t(opening + 1));
    }
}

// Pushes queued by the schema before, in a table of their own, are still delivered after the upgrade, to the
// subscriptions that their rows named.
void TestStore::upgradesQueueTable()
{
    if (servertest::isPostgres(m_database))
        QSKIP("the queue table of SQLite's earlier schema; a PostgreSQL database never had it");
    std::int64_t pushId = 0, first = 0;
    {
        const auto store = open();
        const auto account = store->addAccount("a", "hash");
        QVERIFY(account);
        const Device phone = store->addDevice(*account, "phone");
        store->addSubscription(phone.row, "https://push.example/1", "k", "a", 10);
        first = store->subscriptions(phone.row).front().id;
        pushId = store->addPush(*account, phone.id, PushFields{"queued", "", "", ""})->first;
        store->addSubscription(phone.row, "https://push.example/2", "k", "a", 10);
    }
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(m_path.toUtf8().constData(), &db), SQLITE_OK);
    const std::string before = "ALTER TABLE pushes DROP COLUMN deliver_to; "
                               "CREATE TABLE push_queue (push_id INTEGER PRIMARY KEY REFERENCES pushes(id) "
                               "ON DELETE CASCADE, last_subscription INTEGER NOT NULL); "
                               "INSERT INTO push_queue VALUES (" +
                               std::to_string(pushId) + ", " + std::to_string(first) + "); PRAGMA user_version = 4;";
    QCOMPARE(sqlite3_exec(db, before.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    const auto store = open();
    const auto queue = store->queuedPushes(0, 10);
    QCOMPARE(queue.size(), std::size_t(1));
    QCOMPARE(queue.front().push.id, pushId);
    QCOMPARE(queue.front().subscriptionId, first);
    QCOMPARE(servertest::countRows(m_path, "SELECT count(*) FROM sqlite_master WHERE name = 'push_queue'"), 0);
}

// A push is queued once when stored, for the subscriptions its device has then; nothing queued outlives its
// push, its subscription or its device, and rows written for what is still owed go with them too; a device
// keeps its newest subscriptions.
void TestStore::deliveriesGoWithTheirRows()
{
    const auto store = open();
    const auto account = store->addAccount("a", "hash");
    QVERIFY(account);
    const Device phone = store->addDevice(*account, "phone");
    const Device other = store->addDevice(*account, "other");
    for (int i = 0; i < 12; ++i)
        store->addSubscription(phone.row, "https://push.example/" + std::to_string(i), "key", "auth", 10);
    store->addSubscription(phone.row, "https://push.example/11", "new key", "new auth", 10);
    const auto kept = store->subscriptions(phone.row);
    QCOMPARE(kept.size(), std::size_t(10));
    QCOMPARE(kept.front().endpoint, std::string("https://push.example/2"));
    QCOMPARE(kept.back().p256dh, std::string("new key"));
    store->addSubscription(other.row, "https://push.example/other", "key", "auth", 10);

    bool queued = false;
    m_now = start - 40 * day;
    QVERIFY(store->addPush(*account, phone.id, PushFields{"old", "", "", ""}, &queued));
    m_now = start;
    QVERIFY(store->addPush(*account, phone.id, PushFields{"not queued", "", "", ""}));
    queued = false;
    const auto pushed = store->addPush(*account, phone.id, PushFields{"new", "", "", "tel:1"}, &queued);
    QVERIFY(pushed);
    QVERIFY(queued);
    // No subscriptions, nothing to queue, and the delivery thread is not woken for it.
    const Device bare = store->addDevice(*account, "bare");
    QVERIFY(store->addPush(*account, bare.id, PushFields{"to no one", "", "", ""}, &queued));
    QVERIFY(!queued);
    QCOMPARE(servertest::countRows(m_database, queuedPushes), 2);
    const auto queue = store->queuedPushes(0, 100);
    QCOMPARE(queue.size(), std::size_t(20));
    // Read a push at a time: each read says how far it looked, past the pushes that were not queued.
    std::int64_t readTo = 0;
    QCOMPARE(store->queuedPushes(readTo, 1, &readTo).front().push.msg, std::string("old"));
    QCOMPARE(store->queuedPushes(readTo, 1, &readTo).front().push.msg, std::string("new"));
    QCOMPARE(readTo, pushed->first);
    QVERIFY(store->queuedPushes(readTo, 1, &readTo).empty());
    QCOMPARE(readTo, store->latestPushId(bare.row));
    QCOMPARE(queue.front().deviceName, std::string("phone"));
    QCOMPARE(store->queuedPushes(queue.front().push.id, 100).size(), std::size_t(10));

    prune(*store, RetentionPolicy{30, 1000, 180}, {}, 2);
    QCOMPARE(servertest::countRows(m_database, queuedPushes), 1);
    store->removeSubscription(phone.row, "https://push.example/11");
    QCOMPARE(store->queuedPushes(0, 100).size(), std::size_t(9));
    store->deleteSubscription(kept.front().id);
    // A subscription made after the push does not get it.
    store->addSubscription(phone.row, "https://push.example/later", "key", "auth", 10);
    QCOMPARE(store->queuedPushes(0, 100).size(), std::size_t(8));

    // Taken: a retry row for one subscription, and none for one that went meanwhile.
    store->deleteSubscription(kept[1].id);
    store->recordDeliveries(DeliveryRecord{
        {},
        {pushed->first},
        {{pushed->first, kept[2].id, 1, start + 2, start}, {pushed->first, kept[1].id, 0, start, start}}});
    QCOMPARE(servertest::countRows(m_database, queuedPushes), 0);
    QCOMPARE(store->deliveryQueue(10).size(), std::size_t(1));
    QVERIFY(store->deliveryPending(store->deliveryQueue(10).front()));
    QVERIFY(store->addPush(*account, other.id, PushFields{"other", "", "", ""}, &queued));
    // As an operator would remove a device, with the cascade the schema declares (which SQLite follows only on a
    // connection that asks for it, PostgreSQL always).
    const QByteArray removal = "DELETE FROM devices WHERE public_id = '" + QByteArray::fromStdString(phone.id) + "'";
    QCOMPARE(servertest::execute(m_database,
                                 servertest::isPostgres(m_database) ? removal : "PRAGMA foreign_keys=ON; " + removal),
             1);
    QCOMPARE(servertest::countRows(m_database, "SELECT count(*) FROM deliveries"), 0);
    QCOMPARE(servertest::countRows(m_database, queuedPushes), 1);
    QCOMPARE(servertest::countRows(m_database, "SELECT count(*) FROM subscriptions"), 1);
}

// The service prunes at start, and its stop does not wait for the next round an hour later.
void TestStore::pruningThreadStartsAndStops()
{
    const auto store = open();
    const auto account = store->addAccount("a", "hash");
    QVERIFY(account);
    const Device device = store->addDevice(*account, "one");
    for (int age : {40, 39, 1}) {
        m_now = start - age * day;
        QVERIFY(store->addPush(*account, device.id, PushFields{"m", "", "", ""}));
    }
    m_now = start;
    Retention retention(*store, RetentionPolicy{});
    retention.start();
    QTRY_COMPARE_WITH_TIMEOUT(store->latestPushes(device.row, 10).size(), std::size_t(1), 10000);
    retention.stop();
}

// The store's own thread copies the write-ahead log back into the database, once it holds 1000 pages: a copy
// that never happened would leave every push in a log that only grows.
void TestStore::copiesTheLogBack()
{
    if (servertest::isPostgres(m_database))
        QSKIP("SQLite's write-ahead log; PostgreSQL looks after its own");
    const auto store = open();
    const auto account = store->addAccount("a", "hash");
    QVERIFY(account);
    const Device device = store->addDevice(*account, "phone");
    const qint64 before = QFileInfo(m_path).size();
    const std::string message(2000, 'm');
    // 2 MB of pushes, in 3000 pages of log or so: past the 1000, short of where each commit would copy the log.
    for (int i = 0; i < 1000; ++i)
        QVERIFY(store->addPush(*account, device.id, PushFields{message, "", "", ""}));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(m_path).size() > before + 1'500'000, 30000);
}

// Two instances on one database each send the queued pushes that they claimed, never the other's; the claims of
// one that stops answering pass to the other once its lease is over, and are not taken back when it returns.
void TestStore::instancesShareTheQueue()
{
    if (!servertest::isPostgres(m_database))
        QSKIP("one process keeps a SQLite file to itself");
    const auto first = open();
    const auto second = open();
    const auto account = first->addAccount("a", "hash");
    QVERIFY(account);
    const Device phone = first->addDevice(*account, "phone");
    first->addSubscription(phone.row, "https://push.example/1", "key", "auth", 10);
    std::vector<std::int64_t> pushes;
    for (int i = 0; i < 3; ++i) {
        bool queued = false;
        pushes.push_back(first->addPush(*account, phone.id, PushFields{"m", "", "", ""}, &queued)->first);
        QVERIFY(queued);
    }
    const auto claimed = [](Store &store) {
        std::vector<std::int64_t> list;
        for (const PendingDelivery &delivery : store.queuedPushes(0, 10))
            list.push_back(delivery.push.id);
        return list;
    };

    QCOMPARE(first->queuedPushes(0, 1).front().push.id, pushes[0]);
    QCOMPARE(claimed(*second), (std::vector<std::int64_t>{pushes[1], pushes[2]}));
    // An instance reads its own claims again, as SQLite's queue is read again after a restart of the thread.
    QCOMPARE(claimed(*first), std::vector<std::int64_t>{pushes[0]});

    // The first instance says nothing for longer than its lease: the second takes its push.
    m_now = start + PostgresStore::claimLease + 1;
    QCOMPARE(claimed(*second), pushes);
    QCOMPARE(claimed(*first), std::vector<std::int64_t>{});
    QCOMPARE(servertest::countRows(m_database, "SELECT count(DISTINCT claimed_by) FROM pushes"), 1);
}

// Retention runs in one instance at a time: while one prunes, another's round is skipped, not run beside it;
// once the first is done, the next may run.
void TestStore::oneInstancePrunes()
{
    const auto first = open();
    const auto second = open();
    bool inside = false, nested = true;
    QVERIFY(first->alone("retention", [&] {
        inside = true;
        nested = second->alone("retention", [] {});
    }));
    QVERIFY(inside);
    QCOMPARE(nested, !servertest::isPostgres(m_database));
    QVERIFY(second->alone("retention", [] {}));
}

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
