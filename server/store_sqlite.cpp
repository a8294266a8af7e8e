#include "store_sqlite.h"

#include "secrets.h"

#include <pthread.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>
#include <type_traits>

namespace pushserver {

namespace {

// 2: api_keys.last_used_at, for deleting keys left unused.
// 3: Web Push: the VAPID key, the phones' subscriptions and the deliveries still to make (new tables only).
// 4: one queue row per push, fanned out to the subscriptions by the delivery thread (a new table only: the
//    per-subscription rows that a database of 3 still holds are delivered as they are).
// 5: the queue is a mark in the push's own row (pushes.deliver_to): storing a push is one write, not two
//    (push_queue's rows move to the mark, and the table goes).
// 6: push_numbering, so that removing a device with the newest pushes does not let their numbers be given again
//    (a new table only).
constexpr int schemaVersion = 6;

// A key's use is written down at most this often: enough for a limit counted in days.
constexpr std::int64_t keyUseResolution = 3600;
// Pushes beyond a device's cap that one new push takes out at most.
constexpr int surplusPerPush = 16;

const char *const schema = R"sql(
CREATE TABLE IF NOT EXISTS accounts (
    id INTEGER PRIMARY KEY,
    username TEXT NOT NULL UNIQUE,
    password_hash TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS api_keys (
    id INTEGER PRIMARY KEY,
    account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    key_hash BLOB NOT NULL UNIQUE,
    created_at INTEGER NOT NULL,
    last_used_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS api_keys_by_account ON api_keys(account_id, id);
CREATE TABLE IF NOT EXISTS devices (
    id INTEGER PRIMARY KEY,
    account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    public_id TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL,
    page_token TEXT NOT NULL UNIQUE,
    created_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS devices_by_account ON devices(account_id, id);
CREATE TABLE IF NOT EXISTS pushes (
    id INTEGER PRIMARY KEY,
    device_id INTEGER NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    msg TEXT NOT NULL,
    icon TEXT NOT NULL,
    sound TEXT NOT NULL,
    extra TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    -- Queued for Web Push: the highest subscription of its device when it was stored; NULL once taken.
    deliver_to INTEGER
);
CREATE INDEX IF NOT EXISTS pushes_by_device ON pushes(device_id, id);
CREATE TABLE IF NOT EXISTS vapid_key (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    private_key BLOB NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS subscriptions (
    id INTEGER PRIMARY KEY,
    device_id INTEGER NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    endpoint TEXT NOT NULL,
    p256dh BLOB NOT NULL,
    auth BLOB NOT NULL,
    created_at INTEGER NOT NULL,
    UNIQUE (device_id, endpoint)
);
CREATE TABLE IF NOT EXISTS deliveries (
    id INTEGER PRIMARY KEY,
    push_id INTEGER NOT NULL REFERENCES pushes(id) ON DELETE CASCADE,
    subscription_id INTEGER NOT NULL REFERENCES subscriptions(id) ON DELETE CASCADE,
    attempts INTEGER NOT NULL,
    next_attempt_at INTEGER NOT NULL,
    first_attempt_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS deliveries_by_time ON deliveries(next_attempt_at);
CREATE INDEX IF NOT EXISTS deliveries_by_push ON deliveries(push_id);
CREATE INDEX IF NOT EXISTS deliveries_by_subscription ON deliveries(subscription_id);
-- The highest push number there was when pushes were removed with their device: new pushes are numbered above it.
CREATE TABLE IF NOT EXISTS push_numbering (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    last_removed INTEGER NOT NULL
);
)sql";

void execute(sqlite3 *db, const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : "unknown error";
        sqlite3_free(message);
        throw StoreError("database error: " + text);
    }
}

} // namespace

Statement::Statement(sqlite3 *db, const char *sql) : m_db(db)
{
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_statement, nullptr) != SQLITE_OK)
        throw StoreError(std::string("cannot prepare a statement: ") + sqlite3_errmsg(db));
}

Statement::~Statement()
{
    sqlite3_finalize(m_statement);
}

Statement &Statement::bind(int index, std::int64_t value)
{
    if (sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK)
        throw StoreError(sqlite3_errmsg(m_db));
    return *this;
}

Statement &Statement::bind(int index, const std::string &text)
{
    if (sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK)
        throw StoreError(sqlite3_errmsg(m_db));
    return *this;
}

Statement &Statement::bindBlob(int index, const std::string &bytes)
{
    if (sqlite3_bind_blob(m_statement, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK)
        throw StoreError(sqlite3_errmsg(m_db));
    return *this;
}

bool Statement::step()
{
    const int result = sqlite3_step(m_statement);
    if (result == SQLITE_ROW)
        return true;
    if (result == SQLITE_DONE)
        return false;
    if ((result & 0xFF) == SQLITE_CONSTRAINT)
        throw ConstraintError(sqlite3_errmsg(m_db));
    throw StoreError(std::string("database error: ") + sqlite3_errmsg(m_db));
}

void Statement::run()
{
    while (step()) {
    }
}

std::int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

std::string Statement::text(int column) const
{
    const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
    return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(m_statement, column)))
                : std::string();
}

void Statement::reset()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

// Copies the write-ahead log back into the database file on a thread and a connection of its own. SQLite would do
// it in the commit that fills the log, under the store's lock, and that copy's fsync would hold up the push
// being stored, and every request behind it, for milliseconds. The copy takes no write lock: pushes go on
// being stored meanwhile.
class SqliteStore::Checkpointer final
{
public:
    // Log pages at which a copy is due (SQLite's own default), and at which the committing connection makes it
    // itself because this thread cannot keep up, so that the log stays bounded.
    static constexpr int duePages = 1000;
    static constexpr int overduePages = 8 * duePages;

    explicit Checkpointer(const std::string &path)
    {
        if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(m_db);
            throw StoreError("cannot open a second connection");
        }
        sqlite3_busy_timeout(m_db, 5000);
        // A connection finds the log when it first reads; until then it has nothing to copy.
        if (sqlite3_exec(m_db, "PRAGMA journal_mode", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(m_db);
            throw StoreError("cannot read the database from a second connection");
        }
        // The thread starts with every signal blocked, so that the process's own handling (a stop on SIGTERM, a
        // certificate read again on SIGHUP) never finds it instead, even when the store opens before that is set.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            m_thread = std::thread([this] {
                pthread_setname_np(pthread_self(), "wal-copy");
                run();
            });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            sqlite3_close_v2(m_db);
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    ~Checkpointer()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
        sqlite3_close_v2(m_db);
    }

    Checkpointer(const Checkpointer &) = delete;
    Checkpointer &operator=(const Checkpointer &) = delete;

    // SQLite's hook after each commit, on the committing thread, with the log's length in pages.
    static int committed(void *self, sqlite3 *db, const char *name, int pages)
    {
        if (pages >= overduePages)
            sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        else if (pages >= duePages)
            static_cast<Checkpointer *>(self)->due();
        return SQLITE_OK;
    }

private:
    void due()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_due = true;
        }
        m_wake.notify_one();
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_due || m_stop; });
            if (m_stop)
                return;
            m_due = false;
            lock.unlock();
            // Passive: what a reader still needs stays in the log, for the next round.
            sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            lock.lock();
        }
    }

    sqlite3 *m_db = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_due = false;
    bool m_stop = false;
    std::thread m_thread;
};

SqliteStore::SqliteStore(const std::string &path, Clock clock) : Store(std::move(clock))
{
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw StoreError("cannot open " + path + ": " + message);
    }
    try {
        sqlite3_busy_timeout(m_db, 5000);
        {
            Statement wal(m_db, "PRAGMA journal_mode=WAL");
            if (!wal.step() || wal.text(0) != "wal")
                throw StoreError("cannot switch " + path + " to write-ahead logging");
        }
        // In WAL mode NORMAL never corrupts the file; a power cut may only forget the last transactions.
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=ON");
        std::int64_t version = 0;
        {
            Statement userVersion(m_db, "PRAGMA user_version");
            if (userVersion.step())
                version = userVersion.integer(0);
        }
        if (version > schemaVersion)
            throw StoreError(path + " was made by a newer tapvela-server");
        transaction([&] {
            exec(schema);
            upgradeSchema();
            exec(("PRAGMA user_version=" + std::to_string(schemaVersion)).c_str());
        });

        m_begin = std::make_unique<Statement>(m_db, "BEGIN IMMEDIATE");
        m_commit = std::make_unique<Statement>(m_db, "COMMIT");
        m_insertAccount = std::make_unique<Statement>(
            m_db, "INSERT INTO accounts(username, password_hash, created_at) VALUES (?1, ?2, ?3)");
        m_selectAccount =
            std::make_unique<Statement>(m_db, "SELECT id, password_hash FROM accounts WHERE username = ?1");
        m_insertKey = std::make_unique<Statement>(
            m_db, "INSERT INTO api_keys(account_id, key_hash, created_at, last_used_at) VALUES (?1, ?2, ?3, ?3)");
        m_pruneKeys = std::make_unique<Statement>(
            m_db, "DELETE FROM api_keys WHERE account_id = ?1 AND id NOT IN "
                  "(SELECT id FROM api_keys WHERE account_id = ?1 ORDER BY id DESC LIMIT ?2)");
        m_selectKey =
            std::make_unique<Statement>(m_db, "SELECT account_id, id, last_used_at FROM api_keys WHERE key_hash = ?1");
        // Conditional, so that requests racing on one key (or another process) write it once.
        m_touchKey = std::make_unique<Statement>(
            m_db, "UPDATE api_keys SET last_used_at = ?2 WHERE id = ?1 AND last_used_at < ?2 - ?3");
        m_insertDevice = std::make_unique<Statement>(
            m_db,
            "INSERT INTO devices(account_id, public_id, name, page_token, created_at) VALUES (?1, ?2, ?3, ?4, ?5)");
        m_selectDevices = std::make_unique<Statement>(
            m_db, "SELECT id, public_id, name, page_token, account_id FROM devices WHERE account_id = ?1 ORDER BY id");
        m_renameDevice =
            std::make_unique<Statement>(m_db, "UPDATE devices SET name = ?3 WHERE account_id = ?1 AND public_id = ?2");
        m_selectDeviceByToken = std::make_unique<Statement>(
            m_db, "SELECT id, public_id, name, page_token, account_id FROM devices WHERE page_token = ?1");
        m_selectDeviceOfAccount =
            std::make_unique<Statement>(m_db, "SELECT id FROM devices WHERE account_id = ?1 AND public_id = ?2");
        m_countDevices = std::make_unique<Statement>(m_db, "SELECT count(*) FROM devices WHERE account_id = ?1");
        m_selectDevice = std::make_unique<Statement>(
            m_db, "SELECT id, public_id, name, page_token, account_id FROM devices WHERE account_id = ?1 AND "
                  "public_id = ?2");
        // With ?7, the push is queued for the subscriptions its device has now: those numbered up to the
        // device's highest. (A number is given again only after the highest subscription of all was removed; a
        // later subscription of the same device that took it would get the push, which it may read on its page
        // anyway.) Queued by a mark in the push's own row, in the same statement: no write and no read of its
        // own.
        m_insertPush = std::make_unique<Statement>(
            m_db, "INSERT INTO pushes(id, device_id, msg, icon, sound, extra, created_at, deliver_to) "
                  "VALUES (max(coalesce((SELECT max(id) FROM pushes), 0), "
                  "coalesce((SELECT last_removed FROM push_numbering WHERE id = 1), 0)) + 1, ?1, ?2, ?3, ?4, ?5, ?6, "
                  "CASE WHEN ?7 THEN (SELECT max(id) FROM subscriptions WHERE device_id = ?1) END) "
                  "RETURNING coalesce(deliver_to, 0)");
        m_selectPushesAfter = std::make_unique<Statement>(
            m_db, "SELECT id, msg, icon, sound, extra, created_at FROM pushes WHERE device_id = ?1 AND id > ?2 "
                  "ORDER BY id LIMIT ?3");
        m_selectLatestPushes = std::make_unique<Statement>(
            m_db, "SELECT id, msg, icon, sound, extra, created_at FROM pushes WHERE device_id = ?1 "
                  "ORDER BY id DESC LIMIT ?2");
        m_selectLatestPushId =
            std::make_unique<Statement>(m_db, "SELECT coalesce(max(id), 0) FROM pushes WHERE device_id = ?1");
        // Pushes are numbered as they arrive, so the oldest have the lowest ids: each batch looks at the lowest
        // ones only and needs no index on the time (which would cost every push one more write). The newest
        // push of all stays: SQLite numbers a new row after the highest one left, and a number given again
        // would hide the new push from a page that saw the old one.
        m_deleteOldPushes = std::make_unique<Statement>(
            m_db, "DELETE FROM pushes WHERE id IN (SELECT id FROM (SELECT id, created_at FROM pushes ORDER BY id "
                  "LIMIT ?2) WHERE created_at < ?1) AND id < (SELECT max(id) FROM pushes)");
        m_deleteSurplusPushes = std::make_unique<Statement>(
            m_db,
            "DELETE FROM pushes WHERE id IN (SELECT id FROM pushes WHERE device_id = ?1 AND id <= "
            "(SELECT id FROM pushes WHERE device_id = ?1 ORDER BY id DESC LIMIT 1 OFFSET ?2) ORDER BY id LIMIT ?3)");
        m_deleteUnusedKeys = std::make_unique<Statement>(
            m_db, "DELETE FROM api_keys WHERE id IN (SELECT id FROM api_keys WHERE last_used_at < ?1 LIMIT ?2)");
        m_selectNextDevice =
            std::make_unique<Statement>(m_db, "SELECT id FROM devices WHERE id > ?1 ORDER BY id LIMIT 1");
        m_dataVersion = std::make_unique<Statement>(m_db, "PRAGMA data_version");
        prepareWebPush();
        try {
            m_checkpointer = std::make_unique<Checkpointer>(path);
            sqlite3_wal_hook(m_db, &Checkpointer::committed, m_checkpointer.get());
        } catch (const std::exception &e) {
            // SQLite then copies the log in the commits, as it does by default: slower, never wrong.
            std::fprintf(stderr, "tapvela-server: %s: the log is copied back in the foreground: %s\n", path.c_str(),
                         e.what());
        }
    } catch (...) {
        close();
        throw;
    }
}

SqliteStore::~SqliteStore()
{
    close();
}

void SqliteStore::close()
{
    if (m_db)
        sqlite3_wal_hook(m_db, nullptr, nullptr);
    m_checkpointer.reset();
    m_begin.reset();
    m_commit.reset();
    m_insertAccount.reset();
    m_selectAccount.reset();
    m_insertKey.reset();
    m_pruneKeys.reset();
    m_selectKey.reset();
    m_insertDevice.reset();
    m_selectDevices.reset();
    m_renameDevice.reset();
    m_selectDeviceByToken.reset();
    m_selectDeviceOfAccount.reset();
    m_countDevices.reset();
    m_selectDevice.reset();
    m_insertPush.reset();
    m_selectPushesAfter.reset();
    m_selectLatestPushes.reset();
    m_selectLatestPushId.reset();
    m_touchKey.reset();
    m_deleteOldPushes.reset();
    m_deleteSurplusPushes.reset();
    m_deleteUnusedKeys.reset();
    m_selectNextDevice.reset();
    m_dataVersion.reset();
    m_webPush = {};
    if (m_db) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

// A database of schema 1 has no api_keys.last_used_at: its keys count as last used when they were made.
void SqliteStore::upgradeSchema()
{
    const auto exists = [this](const char *sql) { return Statement(m_db, sql).step(); };
    if (!exists("SELECT 1 FROM pragma_table_info('api_keys') WHERE name = 'last_used_at'")) {
        exec("ALTER TABLE api_keys ADD COLUMN last_used_at INTEGER NOT NULL DEFAULT 0");
        exec("UPDATE api_keys SET last_used_at = created_at");
    }
    if (!exists("SELECT 1 FROM pragma_table_info('pushes') WHERE name = 'deliver_to'"))
        exec("ALTER TABLE pushes ADD COLUMN deliver_to INTEGER");
    // Pushes were queued in a table of their own, one row each: a second write for every push.
    if (exists("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'push_queue'")) {
        exec("UPDATE pushes SET deliver_to = (SELECT last_subscription FROM push_queue WHERE push_id = pushes.id) "
             "WHERE id IN (SELECT push_id FROM push_queue)");
        exec("DROP TABLE push_queue");
    }
}

void SqliteStore::exec(const char *sql)
{
    execute(m_db, sql);
}

Device SqliteStore::readDevice(const Statement &statement) const
{
    return Device{statement.integer(0), statement.text(1), statement.text(2), statement.text(3), statement.integer(4)};
}

Push SqliteStore::readPush(const Statement &statement) const
{
    return Push{statement.integer(0), statement.text(1), statement.text(2),
                statement.text(3),    statement.text(4), statement.integer(5)};
}

std::optional<std::int64_t> SqliteStore::addAccount(const std::string &username, const std::string &passwordHash)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_insertAccount, [&](Statement &s) -> std::optional<std::int64_t> {
        try {
            s.bind(1, username).bind(2, passwordHash).bind(3, now()).run();
        } catch (const ConstraintError &) {
            return std::nullopt;
        }
        return sqlite3_last_insert_rowid(m_db);
    });
}

std::optional<std::pair<std::int64_t, std::string>> SqliteStore::credentials(const std::string &username)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_selectAccount, [&](Statement &s) -> std::optional<std::pair<std::int64_t, std::string>> {
        if (!s.bind(1, username).step())
            return std::nullopt;
        return std::make_pair(s.integer(0), s.text(1));
    });
}

void SqliteStore::addApiKey(std::int64_t account, const std::string &keyHash, int keep)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transaction([&] {
        using_(*m_insertKey, [&](Statement &s) { s.bind(1, account).bindBlob(2, keyHash).bind(3, now()).run(); });
        using_(*m_pruneKeys, [&](Statement &s) { s.bind(1, account).bind(2, std::int64_t(keep)).run(); });
    });
}

std::optional<std::int64_t> SqliteStore::accountOfKey(const std::string &keyHash)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::int64_t account = 0, key = 0, lastUse = 0;
    const bool found = using_(*m_selectKey, [&](Statement &s) {
        if (!s.bindBlob(1, keyHash).step())
            return false;
        account = s.integer(0);
        key = s.integer(1);
        lastUse = s.integer(2);
        return true;
    });
    if (!found)
        return std::nullopt;
    const std::int64_t time = now();
    if (lastUse < time - keyUseResolution)
        using_(*m_touchKey, [&](Statement &s) { s.bind(1, key).bind(2, time).bind(3, keyUseResolution).run(); });
    return account;
}

Device SqliteStore::addDevice(std::int64_t account, const std::string &name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return insertDevice(account, name);
}

std::optional<Device> SqliteStore::addDeviceWithin(std::int64_t account, const std::string &name, int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return transaction([&]() -> std::optional<Device> {
        if (countDevices(account) >= limit)
            return std::nullopt;
        return insertDevice(account, name);
    });
}

Device SqliteStore::insertDevice(std::int64_t account, const std::string &name)
{
    // Ids and tokens are random; a collision is astronomically unlikely but would only cost another draw.
    for (int attempt = 0;; ++attempt) {
        Device device{0, randomHex(8), name, randomUrlToken(24), account};
        try {
            using_(*m_insertDevice, [&](Statement &s) {
                s.bind(1, account).bind(2, device.id).bind(3, name).bind(4, device.pageToken).bind(5, now()).run();
            });
        } catch (const ConstraintError &) {
            if (attempt < 3)
                continue;
            throw;
        }
        device.row = sqlite3_last_insert_rowid(m_db);
        return device;
    }
}

int SqliteStore::countDevices(std::int64_t account)
{
    return using_(*m_countDevices, [&](Statement &s) { return s.bind(1, account).step() ? int(s.integer(0)) : 0; });
}

std::optional<Device> SqliteStore::device(std::int64_t account, const std::string &deviceId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_selectDevice, [&](Statement &s) -> std::optional<Device> {
        if (!s.bind(1, account).bind(2, deviceId).step())
            return std::nullopt;
        return readDevice(s);
    });
}

std::vector<Device> SqliteStore::devices(std::int64_t account)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_selectDevices, [&](Statement &s) {
        s.bind(1, account);
        return allRows(s, [this](const Statement &row) { return readDevice(row); });
    });
}

bool SqliteStore::renameDevice(std::int64_t account, const std::string &deviceId, const std::string &name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_renameDevice, [&](Statement &s) {
        s.bind(1, account).bind(2, deviceId).bind(3, name).run();
        return sqlite3_changes(m_db) == 1;
    });
}

std::optional<Device> SqliteStore::deviceByToken(const std::string &pageToken)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_selectDeviceByToken, [&](Statement &s) -> std::optional<Device> {
        if (!s.bind(1, pageToken).step())
            return std::nullopt;
        return readDevice(s);
    });
}

std::optional<std::pair<std::int64_t, std::int64_t>> SqliteStore::addPush(std::int64_t account,
                                                                          const std::string &deviceId,
                                                                          const PushFields &fields, bool *queued,
                                                                          int keep)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (keep <= 0)
        return insertPush(account, deviceId, fields, queued);
    return transaction([&] {
        const auto added = insertPush(account, deviceId, fields, queued);
        // Each push takes out the oldest beyond the cap, a few more while a lowered cap is caught up with (the
        // hourly pruning does the rest): one short index walk, nothing when the device holds fewer.
        if (added)
            using_(*m_deleteSurplusPushes, [&](Statement &s) {
                s.bind(1, added->second).bind(2, std::int64_t(keep)).bind(3, std::int64_t(surplusPerPush)).run();
            });
        return added;
    });
}

std::optional<std::pair<std::int64_t, std::int64_t>>
SqliteStore::insertPush(std::int64_t account, const std::string &deviceId, const PushFields &fields, bool *queued)
{
    const auto deviceRow = using_(*m_selectDeviceOfAccount, [&](Statement &s) -> std::optional<std::int64_t> {
        if (!s.bind(1, account).bind(2, deviceId).step())
            return std::nullopt;
        return s.integer(0);
    });
    if (!deviceRow)
        return std::nullopt;
    return using_(*m_insertPush, [&](Statement &s) {
        s.bind(1, *deviceRow).bind(2, fields.msg).bind(3, fields.icon).bind(4, fields.sound).bind(5, fields.extra);
        s.bind(6, now()).bind(7, std::int64_t(queued != nullptr));
        // Stepped to its end, so that the commit's failure, if any, is seen here and not lost in the reset.
        const bool returned = s.step();
        const std::int64_t lastSubscription = returned ? s.integer(0) : 0;
        const std::int64_t id = sqlite3_last_insert_rowid(m_db);
        s.run();
        if (!returned)
            throw StoreError("database error: the push's insert returned nothing");
        if (queued)
            *queued = lastSubscription != 0;
        return std::make_pair(id, *deviceRow);
    });
}

std::vector<Push> SqliteStore::pushesAfter(std::int64_t deviceRow, std::int64_t after, int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_selectPushesAfter, [&](Statement &s) {
        s.bind(1, deviceRow).bind(2, after).bind(3, std::int64_t(limit));
        return allRows(s, [this](const Statement &row) { return readPush(row); });
    });
}

std::vector<Push> SqliteStore::latestPushes(std::int64_t deviceRow, int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_selectLatestPushes, [&](Statement &s) {
        s.bind(1, deviceRow).bind(2, std::int64_t(limit));
        return allRows(s, [this](const Statement &row) { return readPush(row); });
    });
}

std::int64_t SqliteStore::latestPushId(std::int64_t deviceRow)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_selectLatestPushId, [&](Statement &s) { return s.bind(1, deviceRow).step() ? s.integer(0) : 0; });
}

int SqliteStore::deleteOldPushes(std::int64_t before, int batch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_deleteOldPushes, [&](Statement &s) {
        s.bind(1, before).bind(2, std::int64_t(batch)).run();
        return sqlite3_changes(m_db);
    });
}

int SqliteStore::deleteSurplusPushes(std::int64_t deviceRow, int keep, int batch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_deleteSurplusPushes, [&](Statement &s) {
        s.bind(1, deviceRow).bind(2, std::int64_t(std::max(keep, 1))).bind(3, std::int64_t(batch)).run();
        return sqlite3_changes(m_db);
    });
}

int SqliteStore::deleteUnusedKeys(std::int64_t before, int batch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_deleteUnusedKeys, [&](Statement &s) {
        s.bind(1, before).bind(2, std::int64_t(batch)).run();
        return sqlite3_changes(m_db);
    });
}

std::optional<std::int64_t> SqliteStore::nextDeviceRow(std::int64_t afterRow)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_selectNextDevice, [&](Statement &s) -> std::optional<std::int64_t> {
        if (!s.bind(1, afterRow).step())
            return std::nullopt;
        return s.integer(0);
    });
}

void SqliteStore::setPassword(std::int64_t account, const std::string &passwordHash, bool keepKeys)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transaction([&] {
        Statement(m_db, "UPDATE accounts SET password_hash = ?2 WHERE id = ?1")
            .bind(1, account)
            .bind(2, passwordHash)
            .run();
        if (!keepKeys)
            Statement(m_db, "DELETE FROM api_keys WHERE account_id = ?1").bind(1, account).run();
    });
}

int SqliteStore::revokeKeys(std::int64_t account)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement(m_db, "DELETE FROM api_keys WHERE account_id = ?1").bind(1, account).run();
    return sqlite3_changes(m_db);
}

std::string SqliteStore::renewPageToken(std::int64_t deviceRow)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return transaction([&] {
        // The deliveries still owed to the subscriptions go with them.
        Statement(m_db, "DELETE FROM subscriptions WHERE device_id = ?1").bind(1, deviceRow).run();
        for (int attempt = 0;; ++attempt) {
            const std::string token = randomUrlToken(24);
            try {
                Statement(m_db, "UPDATE devices SET page_token = ?2 WHERE id = ?1")
                    .bind(1, deviceRow)
                    .bind(2, token)
                    .run();
            } catch (const ConstraintError &) {
                if (attempt < 3)
                    continue;
                throw;
            }
            if (sqlite3_changes(m_db) != 1)
                throw StoreError("the device is gone");
            return token;
        }
    });
}

void SqliteStore::keepPushNumbering()
{
    exec("INSERT INTO push_numbering(id, last_removed) SELECT 1, coalesce(max(id), 0) FROM pushes WHERE 1 "
         "ON CONFLICT (id) DO UPDATE SET last_removed = max(last_removed, excluded.last_removed)");
}

void SqliteStore::removeDevice(std::int64_t deviceRow)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transaction([&] {
        keepPushNumbering();
        // The foreign keys take its pushes, subscriptions and deliveries with it.
        Statement(m_db, "DELETE FROM devices WHERE id = ?1").bind(1, deviceRow).run();
    });
}

void SqliteStore::removeAccount(std::int64_t account)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transaction([&] {
        keepPushNumbering();
        // The foreign keys take its api keys and devices, and theirs, with it.
        Statement(m_db, "DELETE FROM accounts WHERE id = ?1").bind(1, account).run();
    });
}

std::vector<AccountSummary> SqliteStore::accounts()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Statement s(m_db, "SELECT username, (SELECT count(*) FROM devices WHERE account_id = a.id), "
                      "coalesce((SELECT max(last_used_at) FROM api_keys WHERE account_id = a.id), 0) "
                      "FROM accounts a ORDER BY username");
    return allRows(s, [](const Statement &row) {
        return AccountSummary{row.text(0), static_cast<int>(row.integer(1)), row.integer(2)};
    });
}

bool SqliteStore::reachable()
{
    try {
        dataVersion();
        return true;
    } catch (const StoreError &) {
        return false;
    }
}

std::int64_t SqliteStore::dataVersion()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_dataVersion, [](Statement &s) { return s.step() ? s.integer(0) : 0; });
}

} // namespace pushserver
