#include "deliveryplanner.h"

#include "webpush.h"

#include <algorithm>

namespace pushserver {

DeliveryPlanner::DeliveryPlanner(Limits limits) : m_limits(limits) {}

std::size_t DeliveryPlanner::slots() const
{
    return static_cast<std::size_t>(std::max(m_limits.maxInFlight, 1));
}

namespace {

template <typename Map, typename Key> int countOf(const Map &map, const Key &key)
{
    const auto found = map.find(key);
    return found == map.end() ? 0 : found->second;
}

template <typename Map, typename Key> void lower(Map &map, const Key &key)
{
    const auto found = map.find(key);
    if (found != map.end() && --found->second <= 0)
        map.erase(found);
}

} // namespace

std::string DeliveryPlanner::originOf(const std::string &endpoint)
{
    const auto parsed = webpush::parseEndpoint(endpoint);
    return parsed.ok() ? parsed.value.origin : endpoint;
}

bool DeliveryPlanner::hasRoom(const PendingDelivery &delivery) const
{
    const std::size_t busy = m_inFlight.size();
    if (busy >= slots())
        return false;
    const std::size_t kept =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(m_limits.keptForNew, 0)), slots() - 1);
    if (delivery.attempts > 0 && busy + kept >= slots())
        return false;
    return countOf(m_perOrigin, delivery.origin) < std::max(m_limits.perOrigin, 1) &&
           countOf(m_perAccount, delivery.account) < std::max(m_limits.perAccount, 1) &&
           countOf(m_perDevice, delivery.deviceRow) < std::max(m_limits.perDevice, 1);
}

// The first delivery waiting that has room: the older ones before it wait for their push service, account or
// device, and do not hold it up.
std::optional<std::size_t> DeliveryPlanner::candidate() const
{
    if (m_inFlight.size() >= slots())
        return std::nullopt;
    for (std::size_t i = 0; i < m_ready.size(); ++i)
        if (hasRoom(m_ready[i]))
            return i;
    return std::nullopt;
}

bool DeliveryPlanner::canStart() const
{
    return candidate().has_value();
}

bool DeliveryPlanner::needsCheck(Clock::time_point now) const
{
    const auto first = candidate();
    return !first || *first >= m_readyCurrent || now - m_readyCheckedAt >= m_limits.readyCheckAge;
}

bool DeliveryPlanner::waitingFull(std::int64_t account) const
{
    return countOf(m_waitingPerAccount, account) >= std::max(m_limits.waitingPerAccount, 1);
}

void DeliveryPlanner::wait(PendingDelivery delivery)
{
    if (delivery.origin.empty())
        delivery.origin = originOf(delivery.endpoint);
    m_readyKeys.insert({delivery.push.id, delivery.subscriptionId});
    ++m_waitingPerAccount[delivery.account];
    m_ready.push_back(std::move(delivery));
}

void DeliveryPlanner::unwait(std::size_t index)
{
    const PendingDelivery &delivery = m_ready[index];
    m_readyKeys.erase({delivery.push.id, delivery.subscriptionId});
    lower(m_waitingPerAccount, delivery.account);
    m_ready.erase(m_ready.begin() + static_cast<std::ptrdiff_t>(index));
    if (index < m_readyCurrent)
        --m_readyCurrent;
}

bool DeliveryPlanner::checked(const std::vector<char> &owed, Clock::time_point now)
{
    bool record = false;
    std::deque<PendingDelivery> ready = std::move(m_ready);
    m_ready.clear();
    m_readyKeys.clear();
    m_waitingPerAccount.clear();
    for (std::size_t i = 0; i < ready.size(); ++i) {
        if (i < owed.size() && owed[i])
            wait(std::move(ready[i]));
        else if (ready[i].queued)
            record = settle({ready[i].push.id, ready[i].subscriptionId}, std::nullopt, now) || record;
    }
    m_readyCurrent = m_ready.size();
    m_readyCheckedAt = now;
    return record;
}

PendingDelivery DeliveryPlanner::next()
{
    const std::size_t index = candidate().value_or(0);
    PendingDelivery delivery = std::move(m_ready[index]);
    unwait(index);
    // Room among the account's deliveries waiting: what was left in the store for it is read again.
    m_stale = m_stale || m_heldBack;
    m_heldBack = false;
    return delivery;
}

void DeliveryPlanner::sending(const Job &job)
{
    if (!m_inFlight.emplace(job.key(), Slot{job.origin, job.account, job.device}).second)
        return;
    ++m_perOrigin[job.origin];
    ++m_perAccount[job.account];
    ++m_perDevice[job.device];
}

bool DeliveryPlanner::wantsQueue() const
{
    return m_inFlight.size() < slots() && m_stale && !canStart();
}

int DeliveryPlanner::fetchLimit() const
{
    return static_cast<int>(m_inFlight.size() + m_ready.size()) + m_limits.fetchBatch;
}

std::chrono::seconds DeliveryPlanner::exchangeTime(const std::string &origin) const
{
    return slow(origin) ? std::min(m_limits.slowExchangeTime, m_limits.exchangeTime) : m_limits.exchangeTime;
}

DeliveryPlanner::Fetched DeliveryPlanner::fetched(std::vector<PendingDelivery> rows,
                                                  std::vector<PendingDelivery> queued, std::int64_t readTo,
                                                  std::int64_t now, Clock::time_point steadyNow)
{
    Fetched result;
    const bool wasCurrent = m_readyCurrent == m_ready.size();
    bool more = static_cast<int>(rows.size()) >= fetchLimit();
    std::size_t added = 0;
    for (PendingDelivery &delivery : rows) {
        const Key key{delivery.push.id, delivery.subscriptionId};
        if (m_inFlight.count(key) || m_readyKeys.count(key))
            continue;
        if (delivery.nextAttemptAt > now) {
            result.wakeIn = delivery.nextAttemptAt - now;
            more = false;
            break;
        }
        // Left in the store until the account's deliveries waiting here have started.
        if (waitingFull(delivery.account)) {
            m_heldBack = true;
            continue;
        }
        wait(std::move(delivery));
        ++added;
    }
    const std::size_t taken = take(std::move(queued), &result.record, &added, steadyNow);
    m_lastTaken = std::max(m_lastTaken, readTo);
    // Rows read again that were all waiting already: what is left is read when something changes, rather than
    // read over and over.
    m_stale = taken >= static_cast<std::size_t>(m_limits.takeBatch) || (more && added > 0);
    if (wasCurrent) {
        m_readyCurrent = m_ready.size();
        m_readyCheckedAt = steadyNow;
    }
    return result;
}

void DeliveryPlanner::fetchFailed(Clock::time_point steadyNow)
{
    m_stale = false;
    m_readyCurrent = m_ready.size();
    m_readyCheckedAt = steadyNow;
}

// Queued pushes wait to start as one delivery per subscription, owed until each has an outcome. Returns how
// many pushes were read.
std::size_t DeliveryPlanner::take(std::vector<PendingDelivery> queued, bool *record, std::size_t *added,
                                  Clock::time_point now)
{
    std::set<std::int64_t> read, skipped;
    for (PendingDelivery &delivery : queued) {
        const std::int64_t push = delivery.push.id;
        m_lastTaken = std::max(m_lastTaken, push);
        // Taken again after a failed write while its first taking is still under way: left to that one.
        if (read.insert(push).second && m_fanouts.count(push))
            skipped.insert(push);
        if (skipped.count(push))
            continue;
        Fanout &fanout = m_fanouts[push];
        fanout.createdAt = delivery.push.createdAt;
        if (delivery.subscriptionId == 0 || m_inFlight.count({push, delivery.subscriptionId}))
            continue;
        fanout.owed.insert(delivery.subscriptionId);
        if (waitingFull(delivery.account)) {
            // Back to the store as a row of its own, due now, read when the account has room.
            settle({push, delivery.subscriptionId},
                   DeliveryRow{push, delivery.subscriptionId, 0, fanout.createdAt, fanout.createdAt}, now);
            *record = true;
            continue;
        }
        wait(std::move(delivery));
        ++*added;
    }
    // A push whose device has no subscription left owes nothing: its entry goes with the next record.
    for (const std::int64_t push : read)
        if (!skipped.count(push) && m_fanouts[push].owed.empty())
            *record = true;
    return read.size();
}

void DeliveryPlanner::finished(const Key &key)
{
    const auto found = m_inFlight.find(key);
    if (found == m_inFlight.end())
        return;
    lower(m_perOrigin, found->second.origin);
    lower(m_perAccount, found->second.account);
    lower(m_perDevice, found->second.device);
    m_inFlight.erase(found);
    m_stale = m_stale || m_heldBack;
    m_heldBack = false;
}

DeliveryPlanner::Decision DeliveryPlanner::judge(const Job &job, const PushAttempt &attempt, std::int64_t now)
{
    const int status = attempt.status;
    Decision decision;
    decision.why = status ? std::to_string(status) : attempt.error;
    // A push service that let a request time out gets a shorter deadline until it answers in time again.
    if (status != 0) {
        m_slowOrigins.erase(job.origin);
    } else if (attempt.timedOut) {
        if (m_slowOrigins.size() >= std::max<std::size_t>(m_limits.slowOriginsKept, 1))
            m_slowOrigins.clear();
        m_slowOrigins.insert(job.origin);
    }
    int certificateFailed = 0;
    if (attempt.badCertificate)
        certificateFailed = ++m_certificateFailures[job.subscriptionId];
    else if (status != 0)
        m_certificateFailures.erase(job.subscriptionId);
    // Sending again would not help: the name leads into a network of ours, or the push service's certificate
    // keeps failing verification. Retrying for a day would only spend requests.
    if (attempt.notPublic) {
        decision.verdict = Verdict::Unsendable;
        decision.why = attempt.error;
    } else if (certificateFailed >= std::max(m_limits.certificateFailures, 1)) {
        decision.verdict = Verdict::Unsendable;
        decision.why = std::to_string(certificateFailed) + " certificate failures in a row (" + attempt.error + ")";
    } else if (status >= 200 && status < 300) {
        decision.verdict = Verdict::Delivered;
    } else if (status == 404 || status == 410) {
        decision.verdict = Verdict::Gone;
    } else if (job.test) {
        decision.verdict = Verdict::TestFailed;
    } else if (status == 0 || status == 429 || status >= 500) {
        const int attempts = job.attempts + 1;
        const std::int64_t backoff = std::min(m_limits.firstRetry << std::min(attempts - 1, 20), m_limits.longestRetry);
        const std::int64_t delay =
            attempt.retryAfter ? std::clamp<std::int64_t>(*attempt.retryAfter, 1, m_limits.longestRetry) : backoff;
        if (now + delay - job.firstAttemptAt >= m_limits.maxAge) {
            decision.verdict = Verdict::Expired;
        } else {
            decision.verdict = Verdict::Retry;
            decision.attempts = attempts;
            decision.retryAt = now + delay;
        }
    } else {
        decision.verdict = Verdict::Refused;
    }
    if (decision.verdict == Verdict::Unsendable)
        forgetSubscription(job.subscriptionId);
    return decision;
}

bool DeliveryPlanner::expired(const PendingDelivery &delivery, std::int64_t now) const
{
    return now - delivery.firstAttemptAt >= m_limits.maxAge;
}

bool DeliveryPlanner::settle(const Key &key, std::optional<DeliveryRow> row, Clock::time_point now)
{
    const auto found = m_fanouts.find(key.first);
    if (found == m_fanouts.end() || found->second.owed.erase(key.second) == 0)
        return false;
    Fanout &fanout = found->second;
    if (row)
        fanout.rows.push_back(*row);
    if (!fanout.firstOutcome)
        fanout.firstOutcome = now;
    return true;
}

bool DeliveryPlanner::putBack(const PendingDelivery &delivery, std::int64_t retry, Clock::time_point now)
{
    return settle(
        {delivery.push.id, delivery.subscriptionId},
        DeliveryRow{delivery.push.id, delivery.subscriptionId, delivery.attempts, retry, delivery.firstAttemptAt}, now);
}

bool DeliveryPlanner::putBackWaiting(std::int64_t retry, Clock::time_point now)
{
    bool record = false;
    for (const PendingDelivery &delivery : m_ready)
        record = putBack(delivery, retry, now) || record;
    m_ready.clear();
    m_readyKeys.clear();
    m_waitingPerAccount.clear();
    m_readyCurrent = 0;
    return record;
}

DeliveryRecord DeliveryPlanner::record(Clock::time_point now, bool everyOutcome, bool *waiting)
{
    DeliveryRecord outcomes;
    outcomes.delivered = std::move(m_delivered);
    m_delivered.clear();
    *waiting = false;
    for (auto it = m_fanouts.begin(); it != m_fanouts.end();) {
        Fanout &fanout = it->second;
        const bool keep = fanout.firstOutcome && (everyOutcome || !fanout.rows.empty() ||
                                                  now - *fanout.firstOutcome >= m_limits.partialRecordDelay);
        if (!fanout.owed.empty() && !keep) {
            *waiting = *waiting || fanout.firstOutcome.has_value();
            ++it;
            continue;
        }
        outcomes.taken.push_back(it->first);
        outcomes.rows.insert(outcomes.rows.end(), fanout.rows.begin(), fanout.rows.end());
        for (const std::int64_t subscription : fanout.owed)
            outcomes.rows.push_back({it->first, subscription, 0, fanout.createdAt, fanout.createdAt});
        it = m_fanouts.erase(it);
    }
    return outcomes;
}

void DeliveryPlanner::recorded(const DeliveryRecord &record)
{
    // Rows of their own for what was still owed: read with the queue.
    m_stale = m_stale || !record.rows.empty();
}

void DeliveryPlanner::recordFailed()
{
    m_lastTaken = 0;
    m_stale = true;
}

} // namespace pushserver
