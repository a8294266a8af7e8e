// The Web Push side of the store: the VAPID key, the phones' subscriptions, and the queue of deliveries owed
// to them (the pushes marked for delivery, and the rows of retries).

#include "store_sqlite.h"

#include <algorithm>

namespace pushserver {

namespace {

// The columns that make a PendingDelivery, in readDelivery's order, after the delivery's own four.
const std::string deliveryColumns =
    "s.endpoint, s.p256dh, s.auth, p.id, p.msg, p.icon, p.sound, p.extra, p.created_at, v.name, v.id, v.account_id ";

PendingDelivery readDelivery(const Statement &s, bool queued)
{
    PendingDelivery delivery;
    delivery.subscriptionId = s.integer(0);
    delivery.attempts = static_cast<int>(s.integer(1));
    delivery.nextAttemptAt = s.integer(2);
    delivery.firstAttemptAt = s.integer(3);
    delivery.queued = queued;
    delivery.endpoint = s.text(4);
    delivery.p256dh = s.text(5);
    delivery.auth = s.text(6);
    delivery.push = Push{s.integer(7), s.text(8), s.text(9), s.text(10), s.text(11), s.integer(12)};
    delivery.deviceName = s.text(13);
    delivery.deviceRow = s.integer(14);
    delivery.account = s.integer(15);
    return delivery;
}

} // namespace

// Under construction: the schema is in place.
void SqliteStore::prepareWebPush()
{
    m_webPush.selectNewestPush = std::make_unique<Statement>(m_db, "SELECT coalesce(max(id), 0) FROM pushes");
    m_webPush.selectVapidKey = std::make_unique<Statement>(m_db, "SELECT private_key FROM vapid_key WHERE id = 1");
    m_webPush.insertVapidKey = std::make_unique<Statement>(
        m_db, "INSERT OR IGNORE INTO vapid_key(id, private_key, created_at) VALUES (1, ?1, ?2)");
    m_webPush.upsertSubscription = std::make_unique<Statement>(
        m_db, "INSERT INTO subscriptions(device_id, endpoint, p256dh, auth, created_at) VALUES (?1, ?2, ?3, ?4, ?5) "
              "ON CONFLICT (device_id, endpoint) DO UPDATE SET p256dh = excluded.p256dh, auth = excluded.auth");
    m_webPush.pruneSubscriptions = std::make_unique<Statement>(
        m_db, "DELETE FROM subscriptions WHERE device_id = ?1 AND id NOT IN "
              "(SELECT id FROM subscriptions WHERE device_id = ?1 ORDER BY id DESC LIMIT ?2)");
    m_webPush.removeSubscription =
        std::make_unique<Statement>(m_db, "DELETE FROM subscriptions WHERE device_id = ?1 AND endpoint = ?2");
    m_webPush.deleteSubscription = std::make_unique<Statement>(m_db, "DELETE FROM subscriptions WHERE id = ?1");
    m_webPush.selectSubscriptions = std::make_unique<Statement>(
        m_db, "SELECT id, device_id, endpoint, p256dh, auth FROM subscriptions WHERE device_id = ?1 ORDER BY id");
    m_webPush.selectDeliveries = std::make_unique<Statement>(
        m_db, ("SELECT d.subscription_id, d.attempts, d.next_attempt_at, d.first_attempt_at, " + deliveryColumns +
               "FROM deliveries d JOIN subscriptions s ON s.id = d.subscription_id JOIN pushes p ON p.id = d.push_id "
               "JOIN devices v ON v.id = p.device_id ORDER BY d.next_attempt_at, d.id LIMIT ?1")
                  .c_str());
    // A push whose subscriptions have all gone comes once, without one, so that its queue entry goes too.
    // The pushes are read by id, up to the newest when the read began (?3): no index on the mark, which
    // would cost every push one more write.
    m_webPush.selectQueuedPushes = std::make_unique<Statement>(
        m_db, ("SELECT s.id, 0, p.created_at, p.created_at, " + deliveryColumns +
               "FROM (SELECT id, deliver_to FROM pushes WHERE id > ?1 AND id <= ?3 AND deliver_to IS NOT NULL "
               "ORDER BY id LIMIT ?2) q JOIN pushes p ON p.id = q.id JOIN devices v ON v.id = p.device_id "
               "LEFT JOIN subscriptions s ON s.device_id = p.device_id AND s.id <= q.deliver_to "
               "ORDER BY q.id, s.id")
                  .c_str());
    m_webPush.selectPending =
        std::make_unique<Statement>(m_db, "SELECT 1 FROM subscriptions s JOIN pushes p ON p.id = ?1 "
                                          "WHERE s.id = ?2 AND s.endpoint = ?3 AND s.device_id = p.device_id");
    m_webPush.deleteDelivery =
        std::make_unique<Statement>(m_db, "DELETE FROM deliveries WHERE push_id = ?1 AND subscription_id = ?2");
    m_webPush.retryDelivery = std::make_unique<Statement>(
        m_db, "UPDATE deliveries SET attempts = ?3, next_attempt_at = ?4 WHERE push_id = ?1 AND subscription_id = ?2");
    // Nothing when the push or the subscription went meanwhile.
    m_webPush.insertDelivery = std::make_unique<Statement>(
        m_db, "INSERT INTO deliveries(push_id, subscription_id, attempts, next_attempt_at, first_attempt_at) "
              "SELECT ?1, s.id, ?3, ?4, ?5 FROM subscriptions s WHERE s.id = ?2 "
              "AND EXISTS (SELECT 1 FROM pushes WHERE id = ?1)");
    m_webPush.unqueuePush = std::make_unique<Statement>(m_db, "UPDATE pushes SET deliver_to = NULL WHERE id = ?1");
}

std::string SqliteStore::vapidPrivateKey(const std::function<std::string()> &make)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto stored = [&] {
        return using_(*m_webPush.selectVapidKey, [&](Statement &s) { return s.step() ? s.text(0) : std::string(); });
    };
    if (std::string key = stored(); !key.empty())
        return key;
    const std::string made = make();
    // Another process on the same file may have been first: whichever key was stored is the one.
    using_(*m_webPush.insertVapidKey, [&](Statement &s) { s.bindBlob(1, made).bind(2, now()).run(); });
    return stored();
}

void SqliteStore::addSubscription(std::int64_t deviceRow, const std::string &endpoint, const std::string &p256dh,
                                  const std::string &auth, int keep)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transaction([&] {
        using_(*m_webPush.upsertSubscription, [&](Statement &s) {
            s.bind(1, deviceRow).bind(2, endpoint).bindBlob(3, p256dh).bindBlob(4, auth).bind(5, now()).run();
        });
        using_(*m_webPush.pruneSubscriptions,
               [&](Statement &s) { s.bind(1, deviceRow).bind(2, std::int64_t(std::max(keep, 1))).run(); });
    });
}

void SqliteStore::removeSubscription(std::int64_t deviceRow, const std::string &endpoint)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    using_(*m_webPush.removeSubscription, [&](Statement &s) { s.bind(1, deviceRow).bind(2, endpoint).run(); });
}

void SqliteStore::deleteSubscription(std::int64_t subscriptionId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    using_(*m_webPush.deleteSubscription, [&](Statement &s) { s.bind(1, subscriptionId).run(); });
}

std::vector<WebPushSubscription> SqliteStore::subscriptions(std::int64_t deviceRow)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_webPush.selectSubscriptions, [&](Statement &s) {
        s.bind(1, deviceRow);
        return allRows(s, [](const Statement &row) {
            return WebPushSubscription{row.integer(0), row.integer(1), row.text(2), row.text(3), row.text(4)};
        });
    });
}

std::vector<PendingDelivery> SqliteStore::deliveryQueue(int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_webPush.selectDeliveries, [&](Statement &s) {
        s.bind(1, std::int64_t(limit));
        return allRows(s, [](const Statement &row) { return readDelivery(row, false); });
    });
}

std::vector<PendingDelivery> SqliteStore::queuedPushes(std::int64_t afterPush, int limit, std::int64_t *readTo)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::int64_t newest =
        using_(*m_webPush.selectNewestPush, [](Statement &s) { return s.step() ? s.integer(0) : 0; });
    auto queued = using_(*m_webPush.selectQueuedPushes, [&](Statement &s) {
        s.bind(1, afterPush).bind(2, std::int64_t(limit)).bind(3, newest);
        return allRows(s, [](const Statement &row) { return readDelivery(row, true); });
    });
    if (readTo)
        *readTo = Store::readTo(queued, afterPush, limit, newest);
    return queued;
}

bool SqliteStore::deliveryPending(const PendingDelivery &delivery)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return using_(*m_webPush.selectPending, [&](Statement &s) {
        return s.bind(1, delivery.push.id).bind(2, delivery.subscriptionId).bind(3, delivery.endpoint).step();
    });
}

void SqliteStore::deleteDelivery(std::int64_t pushId, std::int64_t subscriptionId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    using_(*m_webPush.deleteDelivery, [&](Statement &s) { s.bind(1, pushId).bind(2, subscriptionId).run(); });
}

void SqliteStore::retryDelivery(std::int64_t pushId, std::int64_t subscriptionId, int attempts,
                                std::int64_t nextAttemptAt)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    using_(*m_webPush.retryDelivery, [&](Statement &s) {
        s.bind(1, pushId).bind(2, subscriptionId).bind(3, std::int64_t(attempts)).bind(4, nextAttemptAt).run();
    });
}

void SqliteStore::recordDeliveries(const DeliveryRecord &record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    transaction([&] {
        for (const auto &delivered : record.delivered)
            using_(*m_webPush.deleteDelivery,
                   [&](Statement &s) { s.bind(1, delivered.first).bind(2, delivered.second).run(); });
        for (const DeliveryRow &row : record.rows)
            using_(*m_webPush.insertDelivery, [&](Statement &s) {
                s.bind(1, row.pushId).bind(2, row.subscriptionId).bind(3, std::int64_t(row.attempts));
                s.bind(4, row.nextAttemptAt).bind(5, row.firstAttemptAt).run();
            });
        for (const std::int64_t push : record.taken)
            using_(*m_webPush.unqueuePush, [&](Statement &s) { s.bind(1, push).run(); });
    });
}

} // namespace pushserver
