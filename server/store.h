#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pushserver {

class StoreError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The database cannot be reached for now (restarting, failing over, out of connections): worth trying again.
class StoreUnavailable final : public StoreError
{
public:
    using StoreError::StoreError;
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

// Seconds since the epoch; the store asks it for every time it writes or compares, so tests can move time.
using Clock = std::function<std::int64_t()>;
std::int64_t systemClock();

// Accounts, their api keys and devices, the pushes and the Web Push queue, shared by every thread of the process:
// in one SQLite file (SqliteStore, store_sqlite.h) or in a PostgreSQL database that several instances of the
// service share (PostgresStore, store_postgres.h). Every call is one transaction, safe from any thread; a call
// that cannot reach the database throws StoreError.
class Store
{
public:
    virtual ~Store() = default;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Nothing when the name is taken.
    virtual std::optional<std::int64_t> addAccount(const std::string &username, const std::string &passwordHash) = 0;
    std::optional<std::int64_t> accountId(const std::string &username);
    // The account's id and password hash.
    virtual std::optional<std::pair<std::int64_t, std::string>> credentials(const std::string &username) = 0;

    // Stores the SHA-256 of a new api key; an account keeps its `keep` most recent keys.
    virtual void addApiKey(std::int64_t account, const std::string &keyHash, int keep) = 0;
    // Also notes that the key was used, at most once an hour per key, so that pushes do not each cost a write.
    virtual std::optional<std::int64_t> accountOfKey(const std::string &keyHash) = 0;

    virtual Device addDevice(std::int64_t account, const std::string &name) = 0;
    // Nothing when the account has `limit` devices already. Counted and added in one transaction, so that
    // requests at the same moment, or another process, cannot pass the limit.
    virtual std::optional<Device> addDeviceWithin(std::int64_t account, const std::string &name, int limit) = 0;
    // The account's device with this id; nothing when it has none (another account's included).
    virtual std::optional<Device> device(std::int64_t account, const std::string &deviceId) = 0;
    virtual std::vector<Device> devices(std::int64_t account) = 0;
    // False when the account has no device with this id.
    virtual bool renameDevice(std::int64_t account, const std::string &deviceId, const std::string &name) = 0;
    virtual std::optional<Device> deviceByToken(const std::string &pageToken) = 0;

    // The new push's id and its device's row; nothing when the account has no device with this id. With
    // `queued` and a device that has subscriptions, the push is queued by the same insert (a mark in its row,
    // whatever the number of subscriptions), so that a push once acknowledged is delivered even if the process
    // dies right after; `*queued` says whether it was. With `keep`, the device's pushes beyond its `keep` newest go
    // in the same transaction, so that no flood of pushes makes the database grow past that.
    virtual std::optional<std::pair<std::int64_t, std::int64_t>> addPush(std::int64_t account,
                                                                         const std::string &deviceId,
                                                                         const PushFields &fields,
                                                                         bool *queued = nullptr, int keep = 0) = 0;
    // Oldest first, at most `limit`, all with an id above `after`.
    virtual std::vector<Push> pushesAfter(std::int64_t deviceRow, std::int64_t after, int limit) = 0;
    // Newest first.
    virtual std::vector<Push> latestPushes(std::int64_t deviceRow, int limit) = 0;
    virtual std::int64_t latestPushId(std::int64_t deviceRow) = 0;

    // Retention, in batches of at most `batch` rows, each one statement under the lock, so that a request waits
    // for one batch at most. Each returns how many rows it deleted.
    // Pushes stored before `before`, among the `batch` oldest; the newest push of all is always kept.
    virtual int deleteOldPushes(std::int64_t before, int batch) = 0;
    // The device's pushes beyond its `keep` newest (keep >= 1).
    virtual int deleteSurplusPushes(std::int64_t deviceRow, int keep, int batch) = 0;
    // Api keys last used before `before`.
    virtual int deleteUnusedKeys(std::int64_t before, int batch) = 0;
    // The first device after `afterRow`, to visit every device one call at a time.
    virtual std::optional<std::int64_t> nextDeviceRow(std::int64_t afterRow) = 0;

    // Web Push.
    // The VAPID private key, made by `make` on first use and kept, so that subscriptions stay valid.
    virtual std::string vapidPrivateKey(const std::function<std::string()> &make) = 0;

    // Stores the subscription, or renews its keys when the device has it already; a device keeps its `keep`
    // newest subscriptions.
    virtual void addSubscription(std::int64_t deviceRow, const std::string &endpoint, const std::string &p256dh,
                                 const std::string &auth, int keep) = 0;
    // Also what was still to be delivered to it. Nothing happens when the device has no such subscription.
    virtual void removeSubscription(std::int64_t deviceRow, const std::string &endpoint) = 0;
    virtual void deleteSubscription(std::int64_t subscriptionId) = 0;
    virtual std::vector<WebPushSubscription> subscriptions(std::int64_t deviceRow) = 0;

    // The deliveries that have rows of their own (retries, and those still under way when their push's queue
    // entry was replaced), soonest first, at most `limit`.
    virtual std::vector<PendingDelivery> deliveryQueue(int limit) = 0;
    // The queued pushes with an id above `afterPush`, oldest first, at most `limit` pushes, each as one delivery
    // per subscription its device had when it was pushed (and still has), or as one with subscriptionId 0.
    // `readTo`: the id up to which every push was looked at, so that the next read can start there.
    virtual std::vector<PendingDelivery> queuedPushes(std::int64_t afterPush, int limit,
                                                      std::int64_t *readTo = nullptr) = 0;
    // Whether the delivery is still owed: its push or subscription may have gone since it was read.
    virtual bool deliveryPending(const PendingDelivery &delivery) = 0;
    // Of a delivery with a row of its own.
    virtual void deleteDelivery(std::int64_t pushId, std::int64_t subscriptionId) = 0;
    virtual void retryDelivery(std::int64_t pushId, std::int64_t subscriptionId, int attempts,
                               std::int64_t nextAttemptAt) = 0;
    // In one transaction.
    virtual void recordDeliveries(const DeliveryRecord &record) = 0;

    // The operator's commands. Each is one transaction; a removal takes with it everything that belongs to the
    // removed rows (api keys, devices, pushes, subscriptions, deliveries).
    // Also revokes every api key of the account unless `keepKeys`.
    virtual void setPassword(std::int64_t account, const std::string &passwordHash, bool keepKeys) = 0;
    // How many keys were revoked.
    virtual int revokeKeys(std::int64_t account) = 0;
    // The device's new page token; its subscriptions, made through the old page, go with the old token.
    virtual std::string renewPageToken(std::int64_t deviceRow) = 0;
    virtual void removeDevice(std::int64_t deviceRow) = 0;
    virtual void removeAccount(std::int64_t account) = 0;
    virtual std::vector<AccountSummary> accounts() = 0;

    // Changes when another connection (another process) commits to the database; the process's own commits
    // leave it as it is.
    virtual std::int64_t dataVersion() = 0;

    // Whether the database answers now (a load balancer's health check).
    virtual bool reachable() = 0;

    // What other instances of the service sharing the database did that this one must act on, told on a thread
    // of the store's own (each call should only post work elsewhere). A store that one process keeps to itself
    // (SQLite) tells nothing.
    struct Watchers
    {
        // Another instance stored a push for this device; 0: for any device (what happened while the store could
        // not listen is not known).
        std::function<void(std::int64_t deviceRow)> pushStored;
        // Deliveries may have become free to claim: an instance stopped answering.
        std::function<void()> deliveriesFreed;
    };
    virtual void watch(Watchers watchers) { (void)watchers; }
    // Runs `work` unless another instance sharing the database is running work of the same `name`: false then.
    virtual bool alone(const char *name, const std::function<void()> &work)
    {
        (void)name;
        work();
        return true;
    }

    std::int64_t now() const { return m_clock(); }

protected:
    explicit Store(Clock clock) : m_clock(std::move(clock)) {}

    // queuedPushes' `readTo`, from what a read of at most `limit` pushes above `afterPush` gave while `newest` was
    // the newest push: a full batch may stop short of the newest; otherwise every push up to it was looked at.
    static std::int64_t readTo(const std::vector<PendingDelivery> &queued, std::int64_t afterPush, int limit,
                               std::int64_t newest);

private:
    const Clock m_clock;
};

// Whether `where` names a PostgreSQL database (a postgresql:// or postgres:// URL) rather than a SQLite file.
bool isDatabaseUrl(const std::string &where);
// The store at `where`: a SQLite file's path, or a PostgreSQL URL.
std::unique_ptr<Store> openStore(const std::string &where, Clock clock = systemClock);

} // namespace pushserver
