#include "store_postgres.h"

#include "secrets.h"

#include <libpq-fe.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pushserver {

namespace {

// 1: the tables of SQLite's schema 6, with a sequence numbering the pushes, claims on the Web Push queue, and the
//    instances that claim.
constexpr int schemaVersion = 1;

// A key's use is written down at most this often: enough for a limit counted in days.
constexpr std::int64_t keyUseResolution = 3600;
// Pushes beyond a device's cap that one new push takes out at most.
constexpr int surplusPerPush = 16;
// One push in this many looks for the device's surplus.
constexpr std::int64_t surplusEvery = 16;
// Any fixed number, the same in every instance: the lock taken while the schema is made or upgraded.
constexpr const char *schemaLock = "SELECT pg_advisory_xact_lock(7146213)";

const char *const schema = R"sql(
CREATE TABLE IF NOT EXISTS schema_version (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    version INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS accounts (
    id BIGSERIAL PRIMARY KEY,
    username TEXT NOT NULL UNIQUE,
    password_hash TEXT NOT NULL,
    created_at BIGINT NOT NULL
);
CREATE TABLE IF NOT EXISTS api_keys (
    id BIGSERIAL PRIMARY KEY,
    account_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    key_hash BYTEA NOT NULL UNIQUE,
    created_at BIGINT NOT NULL,
    last_used_at BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS api_keys_by_account ON api_keys(account_id, id);
CREATE TABLE IF NOT EXISTS devices (
    id BIGSERIAL PRIMARY KEY,
    account_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    public_id TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL,
    page_token TEXT NOT NULL UNIQUE,
    created_at BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS devices_by_account ON devices(account_id, id);
-- Numbers are never given again, so that a page that saw a push never misses a later one.
CREATE SEQUENCE IF NOT EXISTS push_ids;
CREATE TABLE IF NOT EXISTS pushes (
    id BIGINT PRIMARY KEY DEFAULT nextval('push_ids'),
    device_id BIGINT NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    msg TEXT NOT NULL,
    icon TEXT NOT NULL,
    sound TEXT NOT NULL,
    extra TEXT NOT NULL,
    created_at BIGINT NOT NULL,
    -- Queued for Web Push: the highest subscription of its device when it was stored; NULL once taken.
    deliver_to BIGINT,
    -- The instance that sends its deliveries.
    claimed_by BIGINT
);
CREATE INDEX IF NOT EXISTS pushes_by_device ON pushes(device_id, id);
CREATE INDEX IF NOT EXISTS pushes_queued ON pushes(id) WHERE deliver_to IS NOT NULL;
CREATE TABLE IF NOT EXISTS vapid_key (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    private_key BYTEA NOT NULL,
    created_at BIGINT NOT NULL
);
CREATE TABLE IF NOT EXISTS subscriptions (
    id BIGSERIAL PRIMARY KEY,
    device_id BIGINT NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    endpoint TEXT NOT NULL,
    p256dh BYTEA NOT NULL,
    auth BYTEA NOT NULL,
    created_at BIGINT NOT NULL,
    UNIQUE (device_id, endpoint)
);
CREATE TABLE IF NOT EXISTS deliveries (
    id BIGSERIAL PRIMARY KEY,
    push_id BIGINT NOT NULL REFERENCES pushes(id) ON DELETE CASCADE,
    subscription_id BIGINT NOT NULL REFERENCES subscriptions(id) ON DELETE CASCADE,
    attempts INTEGER NOT NULL,
    next_attempt_at BIGINT NOT NULL,
    first_attempt_at BIGINT NOT NULL,
    claimed_by BIGINT
);
CREATE INDEX IF NOT EXISTS deliveries_by_time ON deliveries(next_attempt_at);
CREATE INDEX IF NOT EXISTS deliveries_by_push ON deliveries(push_id, subscription_id);
CREATE INDEX IF NOT EXISTS deliveries_by_subscription ON deliveries(subscription_id);
-- The running instances that claim deliveries; a claim of one not alive any more is free.
CREATE TABLE IF NOT EXISTS instances (
    id BIGSERIAL PRIMARY KEY,
    alive_until BIGINT NOT NULL,
    started_at BIGINT NOT NULL
);
-- Counts the operator's changes that may end open pages (a new page address, a removed device or account).
CREATE TABLE IF NOT EXISTS page_changes (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    version BIGINT NOT NULL
);
INSERT INTO page_changes(id, version) VALUES (1, 0) ON CONFLICT (id) DO NOTHING;
)sql";

// One value for a statement: text, or raw bytes sent as binary.
struct Param
{
    std::string value;
    bool binary = false;
};
Param arg(std::int64_t value)
{
    return Param{std::to_string(value)};
}
Param arg(const std::string &text)
{
    return Param{text};
}
Param blob(const std::string &bytes)
{
    return Param{bytes, true};
}

class Result final
{
public:
    explicit Result(PGresult *result) : m_result(result) {}
    ~Result() { PQclear(m_result); }
    Result(Result &&other) noexcept : m_result(std::exchange(other.m_result, nullptr)) {}
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;

    int rows() const { return PQntuples(m_result); }
    bool null(int row, int column) const { return PQgetisnull(m_result, row, column); }
    std::int64_t integer(int row, int column) const
    {
        return null(row, column) ? 0 : std::strtoll(PQgetvalue(m_result, row, column), nullptr, 10);
    }
    std::string text(int row, int column) const
    {
        return std::string(PQgetvalue(m_result, row, column),
                           static_cast<std::size_t>(PQgetlength(m_result, row, column)));
    }
    // A bytea column, sent as text in its hex form.
    std::string bytes(int row, int column) const
    {
        std::size_t length = 0;
        unsigned char *raw =
            PQunescapeBytea(reinterpret_cast<const unsigned char *>(PQgetvalue(m_result, row, column)), &length);
        if (!raw)
            throw StoreError("database error: out of memory");
        std::string value(reinterpret_cast<const char *>(raw), length);
        PQfreemem(raw);
        return value;
    }
    // Rows that a change touched.
    int changed() const { return std::atoi(PQcmdTuples(m_result)); }

private:
    PGresult *m_result;
};

// libpq's message, its first line: the rest is advice for a person at a terminal.
std::string trimmed(const char *message)
{
    std::string text = message ? message : "";
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

} // namespace

// One connection, with the statements it prepared. Used by one thread at a time (the pool's).
class PostgresStore::Connection final
{
public:
    explicit Connection(const std::string &url)
    {
        // The URL's own settings win over these defaults, but a connection attempt never waits long, and no
        // statement runs for ever: a request waits for the database a bounded time.
        // A database that vanished without a word (a machine gone, a network cut) is noticed within seconds too:
        // unanswered data gives up after 10 s, an idle connection is probed.
        const char *keys[] = {"connect_timeout",  "application_name", "options",
                              "tcp_user_timeout", "keepalives_idle",  "keepalives_interval",
                              "keepalives_count", "dbname",           nullptr};
        const char *values[] = {"5",         "tapvela-server", "-c statement_timeout=30000", "10000", "10", "5", "2",
                                url.c_str(), nullptr};
        m_connection = PQconnectdbParams(keys, values, 1);
        if (!m_connection)
            throw StoreError("cannot reach the database: out of memory");
        if (PQstatus(m_connection) != CONNECTION_OK) {
            const std::string message = trimmed(PQerrorMessage(m_connection));
            PQfinish(m_connection);
            throw StoreUnavailable("cannot reach the database: " + message);
        }
        exec("SET client_min_messages = warning");
        m_pid = PQbackendPID(m_connection);
        PQsetNoticeProcessor(m_connection, &Connection::notice, nullptr);
    }
    ~Connection() { PQfinish(m_connection); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool broken() const { return PQstatus(m_connection) != CONNECTION_OK; }
    // The database's process serving this connection: what its notifications are sent by.
    int pid() const { return m_pid; }
    PGconn *raw() { return m_connection; }

    // A statement without parameters, not prepared: the schema, a transaction's begin and end.
    void exec(const char *sql) { check(PQexec(m_connection, sql)); }

    // Prepared on this connection on first use; `sql` is a string that lives as long as the program, whose
    // address names the statement.
    Result run(const char *sql, std::initializer_list<Param> params = {})
    {
        auto found = m_prepared.find(sql);
        if (found == m_prepared.end()) {
            const std::string name = "s" + std::to_string(m_prepared.size());
            check(PQprepare(m_connection, name.c_str(), sql, 0, nullptr));
            found = m_prepared.emplace(sql, name).first;
        }
        std::vector<const char *> values;
        std::vector<int> lengths, formats;
        for (const Param &param : params) {
            values.push_back(param.value.data());
            lengths.push_back(static_cast<int>(param.value.size()));
            formats.push_back(param.binary ? 1 : 0);
        }
        return check(PQexecPrepared(m_connection, found->second.c_str(), static_cast<int>(values.size()), values.data(),
                                    lengths.data(), formats.data(), 0));
    }

    // Runs `body` in one transaction, rolled back when it throws.
    template <typename Body> auto transaction(Body body)
    {
        exec("BEGIN");
        try {
            if constexpr (std::is_void_v<decltype(body())>) {
                body();
                exec("COMMIT");
            } else {
                auto result = body();
                exec("COMMIT");
                return result;
            }
        } catch (...) {
            if (!broken())
                PQclear(PQexec(m_connection, "ROLLBACK"));
            throw;
        }
    }

private:
    // What the database says beside its answers (it is ending the connection, say), in the service's log.
    static void notice(void *, const char *message)
    {
        std::fprintf(stderr, "tapvela-server: the database says: %s\n", trimmed(message).c_str());
    }

    Result check(PGresult *result)
    {
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return Result(result);
        const char *state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const std::string message = trimmed(PQerrorMessage(m_connection));
        PQclear(result);
        if (state && std::strcmp(state, "23505") == 0)
            throw ConstraintError(message);
        // The connection lost, the database shutting down or out of connections or room, a statement that ran out
        // of time: a moment's unavailability, not a fault of the request.
        const std::string_view code = state ? state : "";
        if (broken() || !state || code.substr(0, 2) == "08" || code.substr(0, 2) == "53" || code.substr(0, 2) == "57" ||
            code.substr(0, 2) == "40")
            throw StoreUnavailable("database error: " + message);
        throw StoreError("database error: " + message);
    }

    PGconn *m_connection = nullptr;
    int m_pid = 0;
    std::unordered_map<const char *, std::string> m_prepared;
};

// A few connections shared by the threads. A connection that broke is dropped and a new one opened for the next
// call, so that the store comes back by itself once the database does; while it cannot be reached, calls fail at
// once instead of each waiting for a connection attempt.
class PostgresStore::Pool final
{
public:
    Pool(std::string url, int size) : m_url(std::move(url)), m_size(std::max(1, size)) {}

    template <typename Call> auto with(Call call)
    {
        std::unique_ptr<Connection> connection = take();
        try {
            if constexpr (std::is_void_v<decltype(call(*connection))>) {
                call(*connection);
                give(std::move(connection));
            } else {
                auto result = call(*connection);
                give(std::move(connection));
                return result;
            }
        } catch (...) {
            give(std::move(connection));
            throw;
        }
    }

    // Whether a notification came from this process's own connections.
    bool own(int pid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pids.count(pid) > 0;
    }

    std::mutex claimMutex; // the instance's row

private:
    static constexpr auto retryPause = std::chrono::milliseconds(500);
    static constexpr auto waitLimit = std::chrono::seconds(10);

    std::unique_ptr<Connection> take()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_free.wait_for(lock, waitLimit, [this] { return !m_idle.empty() || m_open < m_size; }))
            throw StoreUnavailable("the database is busy");
        // An idle connection that the database ended (a restart) has its goodbye waiting: read, it shows broken.
        while (!m_idle.empty()) {
            auto connection = std::move(m_idle.back());
            m_idle.pop_back();
            if (PQconsumeInput(connection->raw()) && !connection->broken())
                return connection;
            --m_open;
            m_pids.erase(connection->pid());
        }
        const auto now = std::chrono::steady_clock::now();
        if (now < m_downUntil)
            throw StoreUnavailable(m_lastError);
        ++m_open;
        lock.unlock();
        try {
            auto connection = std::make_unique<Connection>(m_url);
            lock.lock();
            m_pids.insert(connection->pid());
            return connection;
        } catch (const StoreError &e) {
            lock.lock();
            --m_open;
            m_lastError = e.what();
            m_downUntil = std::chrono::steady_clock::now() + retryPause;
            lock.unlock();
            m_free.notify_one();
            throw;
        }
    }

    void give(std::unique_ptr<Connection> connection)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (connection->broken()) {
                --m_open;
                m_pids.erase(connection->pid());
            } else
                m_idle.push_back(std::move(connection));
        }
        m_free.notify_one();
    }

    const std::string m_url;
    const int m_size;
    std::mutex m_mutex;
    std::condition_variable m_free;
    std::vector<std::unique_ptr<Connection>> m_idle;
    int m_open = 0;
    std::chrono::steady_clock::time_point m_downUntil;
    std::string m_lastError;
    std::set<int> m_pids;
};

namespace {

namespace sql {

const char *const insertAccount = "INSERT INTO accounts(username, password_hash, created_at) VALUES ($1, $2, $3) "
                                  "ON CONFLICT (username) DO NOTHING RETURNING id";
const char *const selectAccount = "SELECT id, password_hash FROM accounts WHERE username = $1";
const char *const insertKey =
    "INSERT INTO api_keys(account_id, key_hash, created_at, last_used_at) VALUES ($1, $2, $3, $3)";
const char *const pruneKeys = "DELETE FROM api_keys WHERE account_id = $1 AND id NOT IN "
                              "(SELECT id FROM api_keys WHERE account_id = $1 ORDER BY id DESC LIMIT $2)";
const char *const selectKey = "SELECT account_id, id, last_used_at FROM api_keys WHERE key_hash = $1";
// Conditional, so that requests racing on one key (or other instances) write it once. Typed: the database cannot
// tell which subtraction `$2 - $3` means.
const char *const touchKey =
    "UPDATE api_keys SET last_used_at = $2 WHERE id = $1 AND last_used_at < $2::bigint - $3::bigint";
const char *const insertDevice = "INSERT INTO devices(account_id, public_id, name, page_token, created_at) "
                                 "VALUES ($1, $2, $3, $4, $5) RETURNING id";
const char *const lockAccount = "SELECT 1 FROM accounts WHERE id = $1 FOR UPDATE";
const char *const countDevices = "SELECT count(*) FROM devices WHERE account_id = $1";
const char *const selectDevices =
    "SELECT id, public_id, name, page_token, account_id FROM devices WHERE account_id = $1 ORDER BY id";
const char *const selectDevice = "SELECT id, public_id, name, page_token, account_id FROM devices "
                                 "WHERE account_id = $1 AND public_id = $2";
const char *const renameDevice = "UPDATE devices SET name = $3 WHERE account_id = $1 AND public_id = $2";
const char *const selectDeviceByToken =
    "SELECT id, public_id, name, page_token, account_id FROM devices WHERE page_token = $1";
// One statement: the device's row is locked first, so that two instances storing pushes for one device number
// them in the order they commit (a page reads onwards from the last number it saw); the push is queued for the
// subscriptions its device has now; the pushes beyond the device's cap go (counted before this one: a walk down
// the device's index as long as the cap, so made with one push in `surplusEvery`, taking out more each time);
// and the instances holding the device's streams are told.
const char *const insertPush =
    "WITH d AS (SELECT id FROM devices WHERE account_id = $1 AND public_id = $2 FOR NO KEY UPDATE), "
    "ins AS (INSERT INTO pushes(id, device_id, msg, icon, sound, extra, created_at, deliver_to) "
    "  SELECT nextval('push_ids'), d.id, $3, $4, $5, $6, $7, "
    "  CASE WHEN $8 THEN (SELECT max(s.id) FROM subscriptions s WHERE s.device_id = d.id) END FROM d "
    "  RETURNING id, device_id, deliver_to), "
    "gone AS (DELETE FROM pushes WHERE $9 > 0 AND (SELECT id FROM ins) % $11 = 0 AND id IN (SELECT p.id FROM "
    "  pushes p JOIN d ON p.device_id = d.id WHERE p.id <= (SELECT o.id FROM pushes o WHERE o.device_id = d.id "
    "  ORDER BY o.id DESC LIMIT 1 OFFSET greatest($9 - 1, 0)) ORDER BY p.id LIMIT $10)) "
    "SELECT id, device_id, coalesce(deliver_to, 0), pg_notify('tapvela_push', device_id::text) FROM ins";
const char *const selectPushesAfter = "SELECT id, msg, icon, sound, extra, created_at FROM pushes "
                                      "WHERE device_id = $1 AND id > $2 ORDER BY id LIMIT $3";
const char *const selectLatestPushes = "SELECT id, msg, icon, sound, extra, created_at FROM pushes "
                                       "WHERE device_id = $1 ORDER BY id DESC LIMIT $2";
const char *const selectLatestPushId = "SELECT coalesce(max(id), 0) FROM pushes WHERE device_id = $1";
// Pushes are numbered as they arrive, so the oldest have the lowest ids: each batch looks at the lowest ones.
// The newest push of all stays, as in the SQLite store.
const char *const deleteOldPushes =
    "DELETE FROM pushes WHERE id IN (SELECT id FROM (SELECT id, created_at FROM pushes ORDER BY id LIMIT $2) o "
    "WHERE created_at < $1) AND id < (SELECT max(id) FROM pushes)";
const char *const deleteSurplusPushes =
    "DELETE FROM pushes WHERE id IN (SELECT id FROM pushes WHERE device_id = $1 AND id <= "
    "(SELECT id FROM pushes WHERE device_id = $1 ORDER BY id DESC LIMIT 1 OFFSET $2) ORDER BY id LIMIT $3)";
const char *const deleteUnusedKeys =
    "DELETE FROM api_keys WHERE id IN (SELECT id FROM api_keys WHERE last_used_at < $1 LIMIT $2)";
const char *const selectNextDevice = "SELECT id FROM devices WHERE id > $1 ORDER BY id LIMIT 1";
const char *const bumpPageChanges = "UPDATE page_changes SET version = version + 1 WHERE id = 1";
const char *const selectPageChanges = "SELECT version FROM page_changes WHERE id = 1";

const char *const selectVapidKey = "SELECT private_key FROM vapid_key WHERE id = 1";
const char *const insertVapidKey =
    "INSERT INTO vapid_key(id, private_key, created_at) VALUES (1, $1, $2) ON CONFLICT (id) DO NOTHING";
const char *const upsertSubscription =
    "INSERT INTO subscriptions(device_id, endpoint, p256dh, auth, created_at) VALUES ($1, $2, $3, $4, $5) "
    "ON CONFLICT (device_id, endpoint) DO UPDATE SET p256dh = excluded.p256dh, auth = excluded.auth";
const char *const pruneSubscriptions = "DELETE FROM subscriptions WHERE device_id = $1 AND id NOT IN "
                                       "(SELECT id FROM subscriptions WHERE device_id = $1 ORDER BY id DESC LIMIT $2)";
const char *const removeSubscription = "DELETE FROM subscriptions WHERE device_id = $1 AND endpoint = $2";
const char *const deleteSubscription = "DELETE FROM subscriptions WHERE id = $1";
const char *const selectSubscriptions =
    "SELECT id, device_id, endpoint, p256dh, auth FROM subscriptions WHERE device_id = $1 ORDER BY id";

// The columns that make a PendingDelivery, in readDelivery's order, after the delivery's own four.
#define DELIVERY_COLUMNS                                                                                               \
    "s.endpoint, s.p256dh, s.auth, p.id, p.msg, p.icon, p.sound, p.extra, p.created_at, v.name, v.id, v.account_id "
// A claim holds while its instance is alive; this instance's own are read again, as the SQLite store's rows are.
#define CLAIM_FREE(table)                                                                                              \
    "(" table ".claimed_by IS NULL OR " table ".claimed_by = $2 OR NOT EXISTS (SELECT 1 FROM instances i "             \
    "WHERE i.id = " table ".claimed_by AND i.alive_until >= $3))"

const char *const claimDeliveries = "WITH q AS (SELECT d.id FROM deliveries d WHERE " CLAIM_FREE(
    "d") " ORDER BY d.next_attempt_at, d.id LIMIT $1 FOR UPDATE SKIP LOCKED), "
         "c AS (UPDATE deliveries SET claimed_by = $2 FROM q WHERE deliveries.id = q.id) "
         "SELECT d.subscription_id, d.attempts, d.next_attempt_at, d.first_attempt_at, " DELIVERY_COLUMNS
         "FROM q JOIN deliveries d ON d.id = q.id JOIN subscriptions s ON s.id = d.subscription_id "
         "JOIN pushes p ON p.id = d.push_id JOIN devices v ON v.id = p.device_id "
         "ORDER BY d.next_attempt_at, d.id";
// Above `$4` as the SQLite store reads them; below it, the pushes no live instance claims: one committed late
// (numbered before one already read), or one whose instance died.
const char *const claimQueuedPushes =
    "WITH q AS (SELECT p.id, p.deliver_to FROM pushes p WHERE p.deliver_to IS NOT NULL AND "
    "(p.id > $4 OR p.claimed_by IS DISTINCT FROM $2) AND " CLAIM_FREE(
        "p") " ORDER BY p.id LIMIT $1 FOR UPDATE SKIP LOCKED), "
             "c AS (UPDATE pushes SET claimed_by = $2 FROM q WHERE pushes.id = q.id) "
             "SELECT s.id, 0, p.created_at, p.created_at, " DELIVERY_COLUMNS
             "FROM q JOIN pushes p ON p.id = q.id JOIN devices v ON v.id = p.device_id "
             "LEFT JOIN subscriptions s ON s.device_id = p.device_id AND s.id <= q.deliver_to ORDER BY q.id, s.id";
const char *const selectNewestPush = "SELECT coalesce(max(id), 0) FROM pushes";
const char *const selectPending = "SELECT 1 FROM subscriptions s JOIN pushes p ON p.id = $1 "
                                  "WHERE s.id = $2 AND s.endpoint = $3 AND s.device_id = p.device_id";
const char *const deleteDelivery = "DELETE FROM deliveries WHERE push_id = $1 AND subscription_id = $2";
const char *const retryDelivery =
    "UPDATE deliveries SET attempts = $3, next_attempt_at = $4 WHERE push_id = $1 AND subscription_id = $2";
// Nothing when the push or the subscription went meanwhile.
const char *const insertDelivery =
    "INSERT INTO deliveries(push_id, subscription_id, attempts, next_attempt_at, first_attempt_at) "
    "SELECT $1, s.id, $3, $4, $5 FROM subscriptions s WHERE s.id = $2 AND EXISTS (SELECT 1 FROM pushes WHERE id = $1)";
const char *const unqueuePush = "UPDATE pushes SET deliver_to = NULL, claimed_by = NULL WHERE id = $1";
const char *const insertInstance = "INSERT INTO instances(alive_until, started_at) VALUES ($1, $2) RETURNING id";
// Made again if another instance took it for dead meanwhile, under the same number: its claims hold again.
const char *const keepInstance = "INSERT INTO instances(id, alive_until, started_at) VALUES ($1, $2, $3) "
                                 "ON CONFLICT (id) DO UPDATE SET alive_until = excluded.alive_until";
const char *const dropDeadInstances = "DELETE FROM instances WHERE alive_until < $1";

} // namespace sql

Device readDevice(const Result &r, int row)
{
    return Device{r.integer(row, 0), r.text(row, 1), r.text(row, 2), r.text(row, 3), r.integer(row, 4)};
}

Push readPush(const Result &r, int row)
{
    return Push{r.integer(row, 0), r.text(row, 1), r.text(row, 2), r.text(row, 3), r.text(row, 4), r.integer(row, 5)};
}

PendingDelivery readDelivery(const Result &r, int row, bool queued)
{
    PendingDelivery delivery;
    delivery.subscriptionId = r.integer(row, 0);
    delivery.attempts = static_cast<int>(r.integer(row, 1));
    delivery.nextAttemptAt = r.integer(row, 2);
    delivery.firstAttemptAt = r.integer(row, 3);
    delivery.queued = queued;
    if (!r.null(row, 4)) {
        delivery.endpoint = r.text(row, 4);
        delivery.p256dh = r.bytes(row, 5);
        delivery.auth = r.bytes(row, 6);
    }
    delivery.push =
        Push{r.integer(row, 7), r.text(row, 8), r.text(row, 9), r.text(row, 10), r.text(row, 11), r.integer(row, 12)};
    delivery.deviceName = r.text(row, 13);
    delivery.deviceRow = r.integer(row, 14);
    delivery.account = r.integer(row, 15);
    return delivery;
}

template <typename Read> auto allRows(const Result &r, Read read)
{
    std::vector<decltype(read(r, 0))> list;
    list.reserve(static_cast<std::size_t>(r.rows()));
    for (int row = 0; row < r.rows(); ++row)
        list.push_back(read(r, row));
    return list;
}

} // namespace

PostgresStore::PostgresStore(const std::string &url, Clock clock, int connections)
    : Store(std::move(clock)), m_url(url), m_pool(std::make_unique<Pool>(url, connections))
{
    std::int64_t version = 0;
    m_pool->with([&](Connection &c) {
        c.transaction([&] {
            // Instances starting together make the schema one at a time.
            c.exec(schemaLock);
            c.exec(schema);
            const Result found = c.run("SELECT version FROM schema_version WHERE id = 1");
            version = found.rows() ? found.integer(0, 0) : 0;
            if (version > schemaVersion)
                throw StoreError("the database was made by a newer tapvela-server");
            c.run("INSERT INTO schema_version(id, version) VALUES (1, $1) ON CONFLICT (id) DO UPDATE SET version = "
                  "excluded.version",
                  {arg(std::int64_t(schemaVersion))});
        });
    });
}

PostgresStore::~PostgresStore()
{
    m_watcher.reset();
    // A clean stop lets the other instances take what this one claimed at once, not when its lease ends.
    static const char *const leave = "DELETE FROM instances WHERE id = $1";
    if (m_instance != 0) {
        try {
            m_pool->with([&](Connection &c) { c.run(leave, {arg(m_instance)}); });
        } catch (const StoreError &e) {
            std::fprintf(stderr, "tapvela-server: the other instances take this one's deliveries in %lld s: %s\n",
                         static_cast<long long>(claimLease), e.what());
        }
    }
}

std::optional<std::int64_t> PostgresStore::addAccount(const std::string &username, const std::string &passwordHash)
{
    return m_pool->with([&](Connection &c) -> std::optional<std::int64_t> {
        const Result r = c.run(sql::insertAccount, {arg(username), arg(passwordHash), arg(now())});
        if (!r.rows())
            return std::nullopt;
        return r.integer(0, 0);
    });
}

std::optional<std::pair<std::int64_t, std::string>> PostgresStore::credentials(const std::string &username)
{
    return m_pool->with([&](Connection &c) -> std::optional<std::pair<std::int64_t, std::string>> {
        const Result r = c.run(sql::selectAccount, {arg(username)});
        if (!r.rows())
            return std::nullopt;
        return std::make_pair(r.integer(0, 0), r.text(0, 1));
    });
}

void PostgresStore::addApiKey(std::int64_t account, const std::string &keyHash, int keep)
{
    m_pool->with([&](Connection &c) {
        c.transaction([&] {
            c.run(sql::insertKey, {arg(account), blob(keyHash), arg(now())});
            c.run(sql::pruneKeys, {arg(account), arg(std::int64_t(keep))});
        });
    });
}

std::optional<std::int64_t> PostgresStore::accountOfKey(const std::string &keyHash)
{
    return m_pool->with([&](Connection &c) -> std::optional<std::int64_t> {
        const Result r = c.run(sql::selectKey, {blob(keyHash)});
        if (!r.rows())
            return std::nullopt;
        const std::int64_t time = now();
        if (r.integer(0, 2) < time - keyUseResolution)
            c.run(sql::touchKey, {arg(r.integer(0, 1)), arg(time), arg(keyUseResolution)});
        return r.integer(0, 0);
    });
}

namespace {

// Ids and tokens are random; a collision is astronomically unlikely but would only cost another draw. Within a
// transaction a failed insert would end it, so each attempt is a savepoint of its own.
Device insertNewDevice(PostgresStore::Connection &c, std::int64_t account, const std::string &name, std::int64_t time)
{
    for (int attempt = 0;; ++attempt) {
        Device device{0, randomHex(8), name, randomUrlToken(24), account};
        try {
            c.exec("SAVEPOINT device");
            const Result r =
                c.run(sql::insertDevice, {arg(account), arg(device.id), arg(name), arg(device.pageToken), arg(time)});
            c.exec("RELEASE SAVEPOINT device");
            device.row = r.integer(0, 0);
            return device;
        } catch (const ConstraintError &) {
            c.exec("ROLLBACK TO SAVEPOINT device");
            if (attempt < 3)
                continue;
            throw;
        }
    }
}

} // namespace

Device PostgresStore::addDevice(std::int64_t account, const std::string &name)
{
    return m_pool->with(
        [&](Connection &c) { return c.transaction([&] { return insertNewDevice(c, account, name, now()); }); });
}

std::optional<Device> PostgresStore::addDeviceWithin(std::int64_t account, const std::string &name, int limit)
{
    return m_pool->with([&](Connection &c) {
        return c.transaction([&]() -> std::optional<Device> {
            // Locked, so that two instances adding at once count one after the other.
            c.run(sql::lockAccount, {arg(account)});
            if (c.run(sql::countDevices, {arg(account)}).integer(0, 0) >= limit)
                return std::nullopt;
            return insertNewDevice(c, account, name, now());
        });
    });
}

std::optional<Device> PostgresStore::device(std::int64_t account, const std::string &deviceId)
{
    return m_pool->with([&](Connection &c) -> std::optional<Device> {
        const Result r = c.run(sql::selectDevice, {arg(account), arg(deviceId)});
        if (!r.rows())
            return std::nullopt;
        return readDevice(r, 0);
    });
}

std::vector<Device> PostgresStore::devices(std::int64_t account)
{
    return m_pool->with([&](Connection &c) { return allRows(c.run(sql::selectDevices, {arg(account)}), readDevice); });
}

bool PostgresStore::renameDevice(std::int64_t account, const std::string &deviceId, const std::string &name)
{
    return m_pool->with([&](Connection &c) {
        return c.run(sql::renameDevice, {arg(account), arg(deviceId), arg(name)}).changed() == 1;
    });
}

std::optional<Device> PostgresStore::deviceByToken(const std::string &pageToken)
{
    return m_pool->with([&](Connection &c) -> std::optional<Device> {
        const Result r = c.run(sql::selectDeviceByToken, {arg(pageToken)});
        if (!r.rows())
            return std::nullopt;
        return readDevice(r, 0);
    });
}

std::optional<std::pair<std::int64_t, std::int64_t>> PostgresStore::addPush(std::int64_t account,
                                                                            const std::string &deviceId,
                                                                            const PushFields &fields, bool *queued,
                                                                            int keep)
{
    return m_pool->with([&](Connection &c) -> std::optional<std::pair<std::int64_t, std::int64_t>> {
        const Result r =
            c.run(sql::insertPush,
                  {arg(account), arg(deviceId), arg(fields.msg), arg(fields.icon), arg(fields.sound), arg(fields.extra),
                   arg(now()), arg(std::string(queued ? "true" : "false")), arg(std::int64_t(std::max(keep, 0))),
                   arg(std::int64_t(surplusPerPush * surplusEvery)), arg(surplusEvery)});
        if (!r.rows())
            return std::nullopt;
        if (queued)
            *queued = r.integer(0, 2) != 0;
        return std::make_pair(r.integer(0, 0), r.integer(0, 1));
    });
}

std::vector<Push> PostgresStore::pushesAfter(std::int64_t deviceRow, std::int64_t after, int limit)
{
    return m_pool->with([&](Connection &c) {
        return allRows(c.run(sql::selectPushesAfter, {arg(deviceRow), arg(after), arg(std::int64_t(limit))}), readPush);
    });
}

std::vector<Push> PostgresStore::latestPushes(std::int64_t deviceRow, int limit)
{
    return m_pool->with([&](Connection &c) {
        return allRows(c.run(sql::selectLatestPushes, {arg(deviceRow), arg(std::int64_t(limit))}), readPush);
    });
}

std::int64_t PostgresStore::latestPushId(std::int64_t deviceRow)
{
    return m_pool->with([&](Connection &c) { return c.run(sql::selectLatestPushId, {arg(deviceRow)}).integer(0, 0); });
}

int PostgresStore::deleteOldPushes(std::int64_t before, int batch)
{
    return m_pool->with([&](Connection &c) {
        return c.run(sql::deleteOldPushes, {arg(before), arg(std::int64_t(batch))}).changed();
    });
}

int PostgresStore::deleteSurplusPushes(std::int64_t deviceRow, int keep, int batch)
{
    return m_pool->with([&](Connection &c) {
        return c
            .run(sql::deleteSurplusPushes,
                 {arg(deviceRow), arg(std::int64_t(std::max(keep, 1))), arg(std::int64_t(batch))})
            .changed();
    });
}

int PostgresStore::deleteUnusedKeys(std::int64_t before, int batch)
{
    return m_pool->with([&](Connection &c) {
        return c.run(sql::deleteUnusedKeys, {arg(before), arg(std::int64_t(batch))}).changed();
    });
}

std::optional<std::int64_t> PostgresStore::nextDeviceRow(std::int64_t afterRow)
{
    return m_pool->with([&](Connection &c) -> std::optional<std::int64_t> {
        const Result r = c.run(sql::selectNextDevice, {arg(afterRow)});
        if (!r.rows())
            return std::nullopt;
        return r.integer(0, 0);
    });
}

std::string PostgresStore::vapidPrivateKey(const std::function<std::string()> &make)
{
    return m_pool->with([&](Connection &c) {
        if (const Result r = c.run(sql::selectVapidKey); r.rows())
            return r.bytes(0, 0);
        // Another instance may have been first: whichever key was stored is the one.
        c.run(sql::insertVapidKey, {blob(make()), arg(now())});
        const Result r = c.run(sql::selectVapidKey);
        if (!r.rows())
            throw StoreError("database error: the VAPID key was not stored");
        return r.bytes(0, 0);
    });
}

void PostgresStore::addSubscription(std::int64_t deviceRow, const std::string &endpoint, const std::string &p256dh,
                                    const std::string &auth, int keep)
{
    m_pool->with([&](Connection &c) {
        c.transaction([&] {
            c.run(sql::upsertSubscription, {arg(deviceRow), arg(endpoint), blob(p256dh), blob(auth), arg(now())});
            c.run(sql::pruneSubscriptions, {arg(deviceRow), arg(std::int64_t(std::max(keep, 1)))});
        });
    });
}

void PostgresStore::removeSubscription(std::int64_t deviceRow, const std::string &endpoint)
{
    m_pool->with([&](Connection &c) { c.run(sql::removeSubscription, {arg(deviceRow), arg(endpoint)}); });
}

void PostgresStore::deleteSubscription(std::int64_t subscriptionId)
{
    m_pool->with([&](Connection &c) { c.run(sql::deleteSubscription, {arg(subscriptionId)}); });
}

std::vector<WebPushSubscription> PostgresStore::subscriptions(std::int64_t deviceRow)
{
    return m_pool->with([&](Connection &c) {
        return allRows(c.run(sql::selectSubscriptions, {arg(deviceRow)}), [](const Result &r, int row) {
            return WebPushSubscription{r.integer(row, 0), r.integer(row, 1), r.text(row, 2), r.bytes(row, 3),
                                       r.bytes(row, 4)};
        });
    });
}

// Listens on a connection of its own for the pushes that other instances store, and every few seconds renews this
// instance's claims and looks for instances that stopped answering. A lost connection is made again; what was
// stored meanwhile is told as a push for any device.
class PostgresStore::Watcher final
{
public:
    Watcher(PostgresStore &store, Watchers watchers) : m_store(store), m_watchers(std::move(watchers))
    {
        if (pipe(m_stopPipe) != 0)
            throw StoreError("cannot watch the database: no pipe");
        // The thread takes no signal: they belong to the thread that waits for them.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        try {
            m_thread = std::thread([this] {
                pthread_setname_np(pthread_self(), "db-watch");
                run();
            });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            closePipe();
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    ~Watcher()
    {
        const char stop = 1;
        while (write(m_stopPipe[1], &stop, 1) < 0 && errno == EINTR) {
        }
        m_thread.join();
        closePipe();
    }

    Watcher(const Watcher &) = delete;
    Watcher &operator=(const Watcher &) = delete;

private:
    static constexpr int tickMs = 2000;

    void closePipe()
    {
        close(m_stopPipe[0]);
        close(m_stopPipe[1]);
    }

    // False when stopped while waiting.
    bool wait(int socket, int ms)
    {
        pollfd fds[2] = {{m_stopPipe[0], POLLIN, 0}, {socket, POLLIN, 0}};
        const int result = poll(fds, socket >= 0 ? 2 : 1, ms);
        return !(result > 0 && fds[0].revents != 0);
    }

    void run()
    {
        std::unique_ptr<Connection> listener;
        bool missed = false;
        auto nextTick = std::chrono::steady_clock::now();
        for (;;) {
            if (!listener) {
                try {
                    listener = std::make_unique<Connection>(m_store.m_url);
                    listener->exec("LISTEN tapvela_push");
                    // Back after the database went away: the streams and the queue are read again.
                    if (missed && m_watchers.pushStored)
                        m_watchers.pushStored(0);
                    if (missed && m_watchers.deliveriesFreed)
                        m_watchers.deliveriesFreed();
                    missed = false;
                } catch (const StoreError &) {
                    listener.reset();
                    missed = true;
                }
            }
            const auto now = std::chrono::steady_clock::now();
            const int ms = static_cast<int>(std::max<std::int64_t>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now).count()));
            if (!wait(listener ? PQsocket(listener->raw()) : -1, listener ? ms : std::min(ms, 1000)))
                return;
            if (listener) {
                if (!PQconsumeInput(listener->raw()) || listener->broken()) {
                    listener.reset();
                    missed = true;
                    continue;
                }
                while (PGnotify *notice = PQnotifies(listener->raw())) {
                    // This process's own pushes reached its streams when they were stored.
                    if (m_watchers.pushStored && !m_store.m_pool->own(notice->be_pid))
                        m_watchers.pushStored(std::strtoll(notice->extra, nullptr, 10));
                    PQfreemem(notice);
                }
            }
            if (std::chrono::steady_clock::now() >= nextTick) {
                nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(tickMs);
                tick(listener);
            }
        }
    }

    void tick(std::unique_ptr<Connection> &listener)
    {
        try {
            if (m_store.keepAlive() && m_watchers.deliveriesFreed)
                m_watchers.deliveriesFreed();
        } catch (const std::exception &) {
            // The database is away: the claims lapse unless it comes back within their lease.
        }
        // A connection whose peer went without a word (a fail-over) is found out by asking.
        if (listener) {
            try {
                listener->exec("SELECT 1");
            } catch (const StoreError &) {
                listener.reset();
            }
        }
    }

    PostgresStore &m_store;
    const Watchers m_watchers;
    int m_stopPipe[2] = {-1, -1};
    std::thread m_thread;
};

void PostgresStore::watch(Watchers watchers)
{
    m_watcher.reset();
    if (watchers.pushStored || watchers.deliveriesFreed)
        m_watcher = std::make_unique<Watcher>(*this, std::move(watchers));
}

bool PostgresStore::keepAlive()
{
    const std::int64_t time = now();
    {
        std::lock_guard<std::mutex> lock(m_pool->claimMutex);
        if (m_instance != 0) {
            m_pool->with([&](Connection &c) {
                c.run(sql::keepInstance, {arg(m_instance), arg(time + claimLease), arg(time)});
            });
            m_aliveUntil = time + claimLease;
        }
    }
    return m_pool->with([&](Connection &c) { return c.run(sql::dropDeadInstances, {arg(time)}).changed() > 0; });
}

bool PostgresStore::alone(const char *name, const std::function<void()> &work)
{
    static const char *const tryLock = "SELECT pg_try_advisory_lock(hashtext($1))";
    static const char *const unlock = "SELECT pg_advisory_unlock(hashtext($1))";
    // Held by a connection kept out of the pool while the work runs: an instance that dies lets it go.
    const Param key = arg(std::string("tapvela ") + name);
    return m_pool->with([&](Connection &c) {
        if (c.run(tryLock, {key}).text(0, 0) != "t")
            return false;
        try {
            work();
        } catch (...) {
            if (!c.broken()) {
                try {
                    c.run(unlock, {key});
                } catch (const StoreError &) {
                }
            }
            throw;
        }
        c.run(unlock, {key});
        return true;
    });
}

std::int64_t PostgresStore::instance()
{
    std::lock_guard<std::mutex> lock(m_pool->claimMutex);
    const std::int64_t time = now();
    // Renewed well before it lapses; a store that cannot renew it lets its claims go.
    if (m_instance != 0 && m_aliveUntil - time > claimLease / 2)
        return m_instance;
    m_pool->with([&](Connection &c) {
        if (m_instance == 0) {
            c.run(sql::dropDeadInstances, {arg(time - claimLease)});
            m_instance = c.run(sql::insertInstance, {arg(time + claimLease), arg(time)}).integer(0, 0);
        } else {
            c.run(sql::keepInstance, {arg(m_instance), arg(time + claimLease), arg(time)});
        }
    });
    m_aliveUntil = time + claimLease;
    return m_instance;
}

std::vector<PendingDelivery> PostgresStore::deliveryQueue(int limit)
{
    const std::int64_t me = instance();
    return m_pool->with([&](Connection &c) {
        return allRows(c.run(sql::claimDeliveries, {arg(std::int64_t(limit)), arg(me), arg(now())}),
                       [](const Result &r, int row) { return readDelivery(r, row, false); });
    });
}

std::vector<PendingDelivery> PostgresStore::queuedPushes(std::int64_t afterPush, int limit, std::int64_t *readTo)
{
    const std::int64_t me = instance();
    return m_pool->with([&](Connection &c) {
        const std::int64_t newest = c.run(sql::selectNewestPush).integer(0, 0);
        auto queued =
            allRows(c.run(sql::claimQueuedPushes, {arg(std::int64_t(limit)), arg(me), arg(now()), arg(afterPush)}),
                    [](const Result &r, int row) { return readDelivery(r, row, true); });
        if (readTo)
            *readTo = Store::readTo(queued, afterPush, limit, newest);
        return queued;
    });
}

bool PostgresStore::deliveryPending(const PendingDelivery &delivery)
{
    return m_pool->with([&](Connection &c) {
        return c.run(sql::selectPending, {arg(delivery.push.id), arg(delivery.subscriptionId), arg(delivery.endpoint)})
                   .rows() > 0;
    });
}

void PostgresStore::deleteDelivery(std::int64_t pushId, std::int64_t subscriptionId)
{
    m_pool->with([&](Connection &c) { c.run(sql::deleteDelivery, {arg(pushId), arg(subscriptionId)}); });
}

void PostgresStore::retryDelivery(std::int64_t pushId, std::int64_t subscriptionId, int attempts,
                                  std::int64_t nextAttemptAt)
{
    m_pool->with([&](Connection &c) {
        c.run(sql::retryDelivery, {arg(pushId), arg(subscriptionId), arg(std::int64_t(attempts)), arg(nextAttemptAt)});
    });
}

void PostgresStore::recordDeliveries(const DeliveryRecord &record)
{
    m_pool->with([&](Connection &c) {
        c.transaction([&] {
            for (const auto &delivered : record.delivered)
                c.run(sql::deleteDelivery, {arg(delivered.first), arg(delivered.second)});
            for (const DeliveryRow &row : record.rows)
                c.run(sql::insertDelivery, {arg(row.pushId), arg(row.subscriptionId), arg(std::int64_t(row.attempts)),
                                            arg(row.nextAttemptAt), arg(row.firstAttemptAt)});
            for (const std::int64_t push : record.taken)
                c.run(sql::unqueuePush, {arg(push)});
        });
    });
}

void PostgresStore::setPassword(std::int64_t account, const std::string &passwordHash, bool keepKeys)
{
    static const char *const update = "UPDATE accounts SET password_hash = $2 WHERE id = $1";
    static const char *const revoke = "DELETE FROM api_keys WHERE account_id = $1";
    m_pool->with([&](Connection &c) {
        c.transaction([&] {
            c.run(update, {arg(account), arg(passwordHash)});
            if (!keepKeys)
                c.run(revoke, {arg(account)});
        });
    });
}

int PostgresStore::revokeKeys(std::int64_t account)
{
    static const char *const revoke = "DELETE FROM api_keys WHERE account_id = $1";
    return m_pool->with([&](Connection &c) { return c.run(revoke, {arg(account)}).changed(); });
}

std::string PostgresStore::renewPageToken(std::int64_t deviceRow)
{
    static const char *const dropSubscriptions = "DELETE FROM subscriptions WHERE device_id = $1";
    static const char *const update = "UPDATE devices SET page_token = $2 WHERE id = $1";
    return m_pool->with([&](Connection &c) {
        return c.transaction([&] {
            // The deliveries still owed to the subscriptions go with them.
            c.run(dropSubscriptions, {arg(deviceRow)});
            c.run(sql::bumpPageChanges);
            for (int attempt = 0;; ++attempt) {
                const std::string token = randomUrlToken(24);
                try {
                    c.exec("SAVEPOINT token");
                    const int changed = c.run(update, {arg(deviceRow), arg(token)}).changed();
                    c.exec("RELEASE SAVEPOINT token");
                    if (changed != 1)
                        throw StoreError("the device is gone");
                    return token;
                } catch (const ConstraintError &) {
                    c.exec("ROLLBACK TO SAVEPOINT token");
                    if (attempt < 3)
                        continue;
                    throw;
                }
            }
        });
    });
}

void PostgresStore::removeDevice(std::int64_t deviceRow)
{
    static const char *const remove = "DELETE FROM devices WHERE id = $1";
    m_pool->with([&](Connection &c) {
        c.transaction([&] {
            c.run(sql::bumpPageChanges);
            // The foreign keys take its pushes, subscriptions and deliveries with it.
            c.run(remove, {arg(deviceRow)});
        });
    });
}

void PostgresStore::removeAccount(std::int64_t account)
{
    static const char *const remove = "DELETE FROM accounts WHERE id = $1";
    m_pool->with([&](Connection &c) {
        c.transaction([&] {
            c.run(sql::bumpPageChanges);
            // The foreign keys take its api keys and devices, and theirs, with it.
            c.run(remove, {arg(account)});
        });
    });
}

std::vector<AccountSummary> PostgresStore::accounts()
{
    static const char *const list = "SELECT username, (SELECT count(*) FROM devices WHERE account_id = a.id), "
                                    "coalesce((SELECT max(last_used_at) FROM api_keys WHERE account_id = a.id), 0) "
                                    "FROM accounts a ORDER BY username COLLATE \"C\"";
    return m_pool->with([&](Connection &c) {
        return allRows(c.run(list), [](const Result &r, int row) {
            return AccountSummary{r.text(row, 0), static_cast<int>(r.integer(row, 1)), r.integer(row, 2)};
        });
    });
}

// Only the operator's changes that may end pages count: the page watch looks the open pages up again then.
std::int64_t PostgresStore::dataVersion()
{
    return m_pool->with([&](Connection &c) { return c.run(sql::selectPageChanges).integer(0, 0); });
}

bool PostgresStore::reachable()
{
    static const char *const ping = "SELECT 1";
    try {
        return m_pool->with([&](Connection &c) { return c.run(ping).rows() == 1; });
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace pushserver
