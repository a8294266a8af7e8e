#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace pushserver {

class StoreError final : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A uniqueness rule of the database was broken (a taken user name).
class ConstraintError final : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct Device
{
    std::int64_t row = 0; // internal key, never shown
    std::string id;       // the id the desktop program sees and sends back
    std::string name;
    std::string pageToken;    // the secret part of the phone page's address
    std::int64_t account = 0; // internal key of the owning account
};

struct Push
{
    std::int64_t id = 0;
    std::string msg;
    std::string icon;
    std::string sound;
    std::string extra;
    std::int64_t createdAt = 0; // seconds since the epoch
};

// A phone's browser's push subscription: where its push service takes messages, and its keys.
struct WebPushSubscription
{
    std::int64_t id = 0;
    std::int64_t deviceRow = 0;
    std::string endpoint;
    std::string p256dh; // raw bytes
    std::string auth;   // raw bytes
};

// A push still to hand to one subscription's push service, with what the message needs. A push and a
// subscription make at most one delivery, so the pair names it.
struct PendingDelivery
{
    std::int64_t subscriptionId = 0; // 0: a queued push whose device has no subscription left
    int attempts = 0;
    std::int64_t nextAttemptAt = 0;
    std::int64_t firstAttemptAt = 0;
    // Taken from the push's own queue entry: no row of its own until an outcome is recorded.
    bool queued = false;
    std::string endpoint;
    std::string p256dh;
    std::string auth;
    Push push;
    std::string deviceName;
    std::int64_t deviceRow = 0;
    std::int64_t account = 0;
    std::string origin; // the push service's, filled in by delivery
};

// One delivery row to write: a retry, or a queued push's delivery still under way when its queue entry goes.
struct DeliveryRow
{
    std::int64_t pushId = 0;
    std::int64_t subscriptionId = 0;
    int attempts = 0;
    std::int64_t nextAttemptAt = 0;
    std::int64_t firstAttemptAt = 0;
};

// What the delivery thread writes in one transaction.
struct DeliveryRecord
{
    // Accepted deliveries that had rows of their own: (push, subscription).
    std::vector<std::pair<std::int64_t, std::int64_t>> delivered;
    // Queued pushes whose queue entries go, replaced by `rows` for what is still owed.
    std::vector<std::int64_t> taken;
    std::vector<DeliveryRow> rows;
};

// An account as the operator's listing shows it.
struct AccountSummary
{
    std::string username;
    int devices = 0;
    std::int64_t lastUsedAt = 0; // the latest use of one of its api keys; 0 when it has none
};

struct PushFields
{
    std::string msg;
    std::string icon;
    std::string sound;
    std::string extra;
};

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

// Seconds since the epoch; the store asks it for every time it writes or compares, so tests can move time.
using Clock = std::function<std::int64_t()>;
std::int64_t systemClock();

// Accounts, their api keys and devices, and the pushes, in one SQLite file shared by every thread of the
// process. One connection serialised by a mutex: SQLite writes one transaction at a time anyway, and each
// request does a few index probes and at most one insert.
class Store final
{
public:
    explicit Store(const std::string &path, Clock clock = systemClock);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Nothing when the name is taken.
    std::optional<std::int64_t> addAccount(const std::string &username, const std::string &passwordHash);
    std::optional<std::int64_t> accountId(const std::string &username);
    // The account's id and password hash.
    std::optional<std::pair<std::int64_t, std::string>> credentials(const std::string &username);

    // Stores the SHA-256 of a new api key; an account keeps its `keep` most recent keys.
    void addApiKey(std::int64_t account, const std::string &keyHash, int keep);
    // Also notes that the key was used, at most once an hour per key, so that pushes do not each cost a write.
    std::optional<std::int64_t> accountOfKey(const std::string &keyHash);

    Device addDevice(std::int64_t account, const std::string &name);
    // Nothing when the account has `limit` devices already. Counted and added in one transaction, so that
    // requests at the same moment, or another process, cannot pass the limit.
    std::optional<Device> addDeviceWithin(std::int64_t account, const std::string &name, int limit);
    // The account's device with this id; nothing when it has none (another account's included).
    std::optional<Device> device(std::int64_t account, const std::string &deviceId);
    std::vector<Device> devices(std::int64_t account);
    // False when the account has no device with this id.
    bool renameDevice(std::int64_t account, const std::string &deviceId, const std::string &name);
    std::optional<Device> deviceByToken(const std::string &pageToken);

    // The new push's id and its device's row; nothing when the account has no device with this id. With
    // `queued` and a device that has subscriptions, the push is queued by the same insert (a mark in its row,
    // whatever the number of subscriptions), so that a push once acknowledged is delivered even if the process
    // dies right after; `*queued` says whether it was. With `keep`, the device's pushes beyond its `keep` newest go
    // in the same transaction, so that no flood of pushes makes the database grow past that.
    std::optional<std::pair<std::int64_t, std::int64_t>> addPush(std::int64_t account, const std::string &deviceId,
                                                                 const PushFields &fields, bool *queued = nullptr,
                                                                 int keep = 0);
    // Oldest first, at most `limit`, all with an id above `after`.
    std::vector<Push> pushesAfter(std::int64_t deviceRow, std::int64_t after, int limit);
    // Newest first.
    std::vector<Push> latestPushes(std::int64_t deviceRow, int limit);
    std::int64_t latestPushId(std::int64_t deviceRow);

    // Retention, in batches of at most `batch` rows, each one statement under the lock, so that a request waits
    // for one batch at most. Each returns how many rows it deleted.
    // Pushes stored before `before`, among the `batch` oldest; the newest push of all is always kept.
    int deleteOldPushes(std::int64_t before, int batch);
    // The device's pushes beyond its `keep` newest (keep >= 1).
    int deleteSurplusPushes(std::int64_t deviceRow, int keep, int batch);
    // Api keys last used before `before`.
    int deleteUnusedKeys(std::int64_t before, int batch);
    // The first device after `afterRow`, to visit every device one call at a time.
    std::optional<std::int64_t> nextDeviceRow(std::int64_t afterRow);

    // Web Push, in store_webpush.cpp.
    // The VAPID private key, made by `make` on first use and kept, so that subscriptions stay valid.
    std::string vapidPrivateKey(const std::function<std::string()> &make);

    // Stores the subscription, or renews its keys when the device has it already; a device keeps its `keep`
    // newest subscriptions.
    void addSubscription(std::int64_t deviceRow, const std::string &endpoint, const std::string &p256dh,
                         const std::string &auth, int keep);
    // Also what was still to be delivered to it. Nothing happens when the device has no such subscription.
    void removeSubscription(std::int64_t deviceRow, const std::string &endpoint);
    void deleteSubscription(std::int64_t subscriptionId);
    std::vector<WebPushSubscription> subscriptions(std::int64_t deviceRow);

    // The deliveries that have rows of their own (retries, and those still under way when their push's queue
    // entry was replaced), soonest first, at most `limit`.
    std::vector<PendingDelivery> deliveryQueue(int limit);
    // The queued pushes with an id above `afterPush`, oldest first, at most `limit` pushes, each as one delivery
    // per subscription its device had when it was pushed (and still has), or as one with subscriptionId 0.
    // `readTo`: the id up to which every push was looked at, so that the next read can start there.
    std::vector<PendingDelivery> queuedPushes(std::int64_t afterPush, int limit, std::int64_t *readTo = nullptr);
    // Whether the delivery is still owed: its push or subscription may have gone since it was read.
    bool deliveryPending(const PendingDelivery &delivery);
    // Of a delivery with a row of its own.
    void deleteDelivery(std::int64_t pushId, std::int64_t subscriptionId);
    void retryDelivery(std::int64_t pushId, std::int64_t subscriptionId, int attempts, std::int64_t nextAttemptAt);
    // In one transaction.
    void recordDeliveries(const DeliveryRecord &record);

    // The operator's commands. Each is one transaction; a removal takes with it everything that belongs to the
    // removed rows (api keys, devices, pushes, subscriptions, deliveries).
    // Also revokes every api key of the account unless `keepKeys`.
    void setPassword(std::int64_t account, const std::string &passwordHash, bool keepKeys);
    // How many keys were revoked.
    int revokeKeys(std::int64_t account);
    // The device's new page token; its subscriptions, made through the old page, go with the old token.
    std::string renewPageToken(std::int64_t deviceRow);
    void removeDevice(std::int64_t deviceRow);
    void removeAccount(std::int64_t account);
    std::vector<AccountSummary> accounts();

    // Changes when another connection (another process) commits to the database; the process's own commits
    // leave it as it is.
    std::int64_t dataVersion();

    std::int64_t now() const { return m_clock(); }

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

    const Clock m_clock;
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

} // namespace pushserver
