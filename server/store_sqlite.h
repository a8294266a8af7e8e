#pragma once

// The store in one SQLite file, and what its files share: running its prepared statements and its transactions.

#include "store.h"

#include <sqlite3.h>

#include <mutex>
#include <type_traits>
#include <vector>

namespace pushserver {

// One prepared statement, reset after each use.
class Statement final
{
public:
    Statement(sqlite3 *db, const char *sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, std::int64_t value);
    Statement &bind(int index, const std::string &text);
    Statement &bindBlob(int index, const std::string &bytes);
    bool step(); // true while a row is available
    void run();  // steps a statement that returns no row
    std::int64_t integer(int column) const;
    std::string text(int column) const;
    void reset();

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_statement = nullptr;
};

// One connection serialised by a mutex: SQLite writes one transaction at a time anyway, and each request does a few
// index probes and at most one insert.
class SqliteStore final : public Store
{
public:
    explicit SqliteStore(const std::string &path, Clock clock = systemClock);
    ~SqliteStore() override;

    std::optional<std::int64_t> addAccount(const std::string &username, const std::string &passwordHash) override;
    std::optional<std::pair<std::int64_t, std::string>> credentials(const std::string &username) override;
    void addApiKey(std::int64_t account, const std::string &keyHash, int keep) override;
    std::optional<std::int64_t> accountOfKey(const std::string &keyHash) override;
    Device addDevice(std::int64_t account, const std::string &name) override;
    std::optional<Device> addDeviceWithin(std::int64_t account, const std::string &name, int limit) override;
    std::optional<Device> device(std::int64_t account, const std::string &deviceId) override;
    std::vector<Device> devices(std::int64_t account) override;
    bool renameDevice(std::int64_t account, const std::string &deviceId, const std::string &name) override;
    std::optional<Device> deviceByToken(const std::string &pageToken) override;
    std::optional<std::pair<std::int64_t, std::int64_t>> addPush(std::int64_t account, const std::string &deviceId,
                                                                 const PushFields &fields, bool *queued = nullptr,
                                                                 int keep = 0) override;
    std::vector<Push> pushesAfter(std::int64_t deviceRow, std::int64_t after, int limit) override;
    std::vector<Push> latestPushes(std::int64_t deviceRow, int limit) override;
    std::int64_t latestPushId(std::int64_t deviceRow) override;
    int deleteOldPushes(std::int64_t before, int batch) override;
    int deleteSurplusPushes(std::int64_t deviceRow, int keep, int batch) override;
    int deleteUnusedKeys(std::int64_t before, int batch) override;
    std::optional<std::int64_t> nextDeviceRow(std::int64_t afterRow) override;
    std::string vapidPrivateKey(const std::function<std::string()> &make) override;
    void addSubscription(std::int64_t deviceRow, const std::string &endpoint, const std::string &p256dh,
                         const std::string &auth, int keep) override;
    void removeSubscription(std::int64_t deviceRow, const std::string &endpoint) override;
    void deleteSubscription(std::int64_t subscriptionId) override;
    std::vector<WebPushSubscription> subscriptions(std::int64_t deviceRow) override;
    std::vector<PendingDelivery> deliveryQueue(int limit) override;
    std::vector<PendingDelivery> queuedPushes(std::int64_t afterPush, int limit,
                                              std::int64_t *readTo = nullptr) override;
    bool deliveryPending(const PendingDelivery &delivery) override;
    void deleteDelivery(std::int64_t pushId, std::int64_t subscriptionId) override;
    void retryDelivery(std::int64_t pushId, std::int64_t subscriptionId, int attempts,
                       std::int64_t nextAttemptAt) override;
    void recordDeliveries(const DeliveryRecord &record) override;
    void setPassword(std::int64_t account, const std::string &passwordHash, bool keepKeys) override;
    int revokeKeys(std::int64_t account) override;
    std::string renewPageToken(std::int64_t deviceRow) override;
    void removeDevice(std::int64_t deviceRow) override;
    void removeAccount(std::int64_t account) override;
    std::vector<AccountSummary> accounts() override;
    std::int64_t dataVersion() override;
    bool reachable() override;

private:
    void close();
    void exec(const char *sql);
    // Runs `body` in one write transaction, rolled back when it throws.
    template <typename Body> auto transaction(Body body);
    Device readDevice(const Statement &statement) const;
    Device insertDevice(std::int64_t account, const std::string &name); // under the lock
    int countDevices(std::int64_t account);                             // under the lock
    Push readPush(const Statement &statement) const;
    // Under the lock.
    std::optional<std::pair<std::int64_t, std::int64_t>> insertPush(std::int64_t account, const std::string &deviceId,
                                                                    const PushFields &fields, bool *queued);

    void upgradeSchema();
    // Before pushes are deleted with their device: pushes are numbered after the highest one left, and the
    // delivery thread reads the queue onwards from the highest it has seen, so numbers must never be given again.
    void keepPushNumbering();

    class Checkpointer;

    std::mutex m_mutex;
    sqlite3 *m_db = nullptr;
    std::unique_ptr<Checkpointer> m_checkpointer;
    std::unique_ptr<Statement> m_begin, m_commit, m_insertAccount, m_selectAccount, m_insertKey, m_pruneKeys,
        m_selectKey, m_insertDevice, m_selectDevices, m_renameDevice, m_selectDeviceByToken, m_selectDeviceOfAccount,
        m_insertPush, m_selectPushesAfter, m_selectLatestPushes, m_selectLatestPushId, m_touchKey, m_deleteOldPushes,
        m_deleteSurplusPushes, m_deleteUnusedKeys, m_selectNextDevice;
    std::unique_ptr<Statement> m_countDevices, m_selectDevice, m_dataVersion;

    // The Web Push side's statements (store_webpush.cpp): the VAPID key, the subscriptions, the delivery queue.
    struct WebPushStatements
    {
        std::unique_ptr<Statement> selectNewestPush, selectVapidKey, insertVapidKey, upsertSubscription,
            pruneSubscriptions, removeSubscription, deleteSubscription, selectSubscriptions, selectDeliveries,
            selectQueuedPushes, selectPending, deleteDelivery, retryDelivery, insertDelivery, unqueuePush;
    };
    void prepareWebPush();
    WebPushStatements m_webPush;
};

// Runs `body`, resetting the statement afterwards whatever happens, so a failed request leaves no statement
// half-stepped (which would hold a read transaction open).
template <typename Body> auto using_(Statement &statement, Body body)
{
    struct Reset
    {
        Statement &statement;
        ~Reset() { statement.reset(); }
    } reset{statement};
    return body(statement);
}

// Every row the statement yields, each made by `read`.
template <typename Read> auto allRows(Statement &s, Read read)
{
    std::vector<decltype(read(s))> list;
    while (s.step())
        list.push_back(read(s));
    return list;
}

template <typename Body> auto SqliteStore::transaction(Body body)
{
    // Prepared once the store is open, so that a push's transaction parses no SQL.
    const auto run = [this](const std::unique_ptr<Statement> &prepared, const char *sql) {
        if (prepared)
            using_(*prepared, [](Statement &s) { s.run(); });
        else
            exec(sql);
    };
    run(m_begin, "BEGIN IMMEDIATE");
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            run(m_commit, "COMMIT");
        } else {
            auto result = body();
            run(m_commit, "COMMIT");
            return result;
        }
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

} // namespace pushserver
