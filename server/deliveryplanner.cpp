#include "deliveryplanner.h"

#include <algorithm>

namespace pushserver {

DeliveryPlanner::DeliveryPlanner(Limits limits) : m_limits(limits) {}

std::size_t DeliveryPlanner::slots() const
{
    return static_cast<std::size_t>(std::max(m_limits.maxInFlight, 1));
}

bool DeliveryPlanner::canStart() const
{
    return !m_ready.empty() && m_inFlight.size() < slots();
}

bool DeliveryPlanner::needsCheck(Clock::time_point now) const
{
    return m_readyCurrent == 0 || now - m_readyCheckedAt >= m_limits.readyCheckAge;
}

bool DeliveryPlanner::checked(const std::vector<char> &owed, Clock::time_point now)
{
    bool record = false;
    std::deque<PendingDelivery> current;
    for (std::size_t i = 0; i < m_ready.size(); ++i) {
        if (i < owed.size() && owed[i])
            current.push_back(std::move(m_ready[i]));
        else if (m_ready[i].queued)
            record = settle({m_ready[i].push.id, m_ready[i].subscriptionId}, std::nullopt, now) || record;
    }
    m_ready = std::move(current);
    m_readyCurrent = m_ready.size();
    m_readyCheckedAt = now;
    return record;
}

PendingDelivery DeliveryPlanner::next()
{
    PendingDelivery delivery = std::move(m_ready.front());
    m_ready.pop_front();
    if (m_readyCurrent > 0)
        --m_readyCurrent;
    return delivery;
}

void DeliveryPlanner::sending(const Job &job)
{
    m_inFlight.insert(job.key());
}

bool DeliveryPlanner::wantsQueue() const
{
    return m_ready.empty() && m_inFlight.size() < slots() && m_stale;
}

int DeliveryPlanner::fetchLimit() const
{
    return static_cast<int>(m_inFlight.size()) + m_limits.fetchBatch;
}

DeliveryPlanner::Fetched DeliveryPlanner::fetched(std::vector<PendingDelivery> rows,
                                                  std::vector<PendingDelivery> queued, std::int64_t readTo,
                                                  std::int64_t now, Clock::time_point steadyNow)
{
    Fetched result;
    bool more = static_cast<int>(rows.size()) >= fetchLimit();
    for (PendingDelivery &delivery : rows) {
        if (m_inFlight.count({delivery.push.id, delivery.subscriptionId}))
            continue;
        if (delivery.nextAttemptAt > now) {
            result.wakeIn = delivery.nextAttemptAt - now;
            more = false;
            break;
        }
        m_ready.push_back(std::move(delivery));
    }
    const std::size_t taken = take(std::move(queued), &result.record);
    m_lastTaken = std::max(m_lastTaken, readTo);
    m_stale = taken >= static_cast<std::size_t>(m_limits.takeBatch) || more;
    // Only called with nothing waiting: all of it was read just now.
    m_readyCurrent = m_ready.size();
    m_readyCheckedAt = steadyNow;
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
std::size_t DeliveryPlanner::take(std::vector<PendingDelivery> queued, bool *record)
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
        m_ready.push_back(std::move(delivery));
    }
    // A push whose device has no subscription left owes nothing: its entry goes with the next record.
    for (const std::int64_t push : read)
        if (!skipped.count(push) && m_fanouts[push].owed.empty())
            *record = true;
    return read.size();
}

void DeliveryPlanner::finished(const Key &key)
{
    m_inFlight.erase(key);
}

DeliveryPlanner::Decision DeliveryPlanner::judge(const Job &job, const PushAttempt &attempt, std::int64_t now)
{
    const int status = attempt.status;
    Decision decision;
    decision.why = status ? std::to_string(status) : attempt.error;
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
