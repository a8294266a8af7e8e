#pragma once

// The store in a PostgreSQL database, which several instances of the service may share: each claims the Web Push
// deliveries it sends, and a push stored by one reaches the streams that another holds.

#include "store.h"

#include <memory>
#include <string>

namespace pushserver {

class PostgresStore final : public Store
{
public:
    // How long an instance's claims on deliveries outlive its last sign of life.
    static constexpr std::int64_t claimLease = 15;

    // `url`: a libpq connection URL (postgresql://user@host:port/database); a password may also come from
    // PGPASSWORD or ~/.pgpass. Makes or upgrades the schema. Throws StoreError when the database cannot be reached.
    explicit PostgresStore(const std::string &url, Clock clock = systemClock, int connections = 8);
    ~PostgresStore() override;

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
                                                                 const PushFields &fields, bool *queued,
                                                                 int keep) override;
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
    std::vector<PendingDelivery> queuedPushes(std::int64_t afterPush, int limit, std::int64_t *readTo) override;
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
    void watch(Watchers watchers) override;
    bool alone(const char *name, const std::function<void()> &work) override;

    class Connection;

private:
    class Pool;
    class Watcher;
    // This instance's row among those that claim deliveries, made on its first read of the queue and kept alive
    // by each read and by the watcher.
    std::int64_t instance();
    // Renews this instance's row, if it has one; true when some other instance's had lapsed (and is gone now).
    bool keepAlive();

    const std::string m_url;
    std::unique_ptr<Pool> m_pool;
    std::unique_ptr<Watcher> m_watcher;
    std::int64_t m_instance = 0; // under the pool's claim lock
    std::int64_t m_aliveUntil = 0;
};

} // namespace pushserver
