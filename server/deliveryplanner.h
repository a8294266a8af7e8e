#pragma once

// The decisions of Web Push delivery, apart from its sending and its database: which deliveries start next and
// when the queue is read again, what an answer means (delivered, try again later, give the message up, forget
// the subscription), and when the outcomes of a queued push's fan-out (one delivery per subscription of its
// device) are written. No I/O and no clock of its own: the caller passes the times, reads and writes the store
// and sends, so the rules can be tried out without waiting. Not thread-safe: the delivery thread owns it.
//
// Its limits: `maxInFlight` requests under way at once, of which at most `perOrigin` to one push service,
// `perAccount` for one account and `perDevice` for one device, and retries never in the last `keptForNew` free;
// a delivery with room starts before older ones that wait for theirs. At most `waitingPerAccount` deliveries of
// one account wait in memory: the others stay in the database, read when there is room. The queue read
// `fetchBatch` rows and `takeBatch` queued pushes at a time; retries doubled from `firstRetry` to `longestRetry`;
// a push given up `maxAge` after its first attempt. A push service that did not answer in time gets
// `slowExchangeTime` rather than `exchangeTime` until it answers in time again.

#include "pushclient.h"
#include "store.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pushserver {

class DeliveryPlanner final
{
public:
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<std::int64_t, std::int64_t>; // push, subscription

    struct Limits
    {
        int maxInFlight = 16;
        // So that one account's push services that hang cannot hold every request: each share of maxInFlight.
        int perOrigin = 12;
        int perAccount = 8;
        int perDevice = 4;
        // Free requests that only new pushes take: retries due never starve them.
        int keptForNew = 4;
        int waitingPerAccount = 64;
        std::chrono::seconds exchangeTime{15};
        std::chrono::seconds slowExchangeTime{3};
        std::size_t slowOriginsKept = 1024;
        std::int64_t firstRetry = 2; // seconds, doubled on each further failure
        std::int64_t longestRetry = 15 * 60;
        std::int64_t maxAge = 24 * 3600; // then a push that could not be delivered is given up
        // A push service whose certificate failed verification this many times in a row for a subscription loses it.
        int certificateFailures = 3;
        // Rows read from the queue at a time beyond those under way, and queued pushes taken at a time: the
        // queue's reads are joins under the store's lock, which every push also takes, so they are done once per
        // batch rather than once per delivery.
        int fetchBatch = 64;
        int takeBatch = 32;
        // A delivery fetched a while ago may have lost its subscription or its push since: the ones waiting to
        // start are checked again together, at most this long before they start, rather than each on its own.
        Clock::duration readyCheckAge = std::chrono::seconds(1);
        // How long a queued push that some subscriptions accepted may wait for the others' answers before what it
        // still owes gets rows of its own (and its queue entry goes): the time in which a kill would send it
        // again to those that accepted.
        Clock::duration partialRecordDelay = std::chrono::milliseconds(100);
    };

    // One delivery under way.
    struct Job
    {
        std::int64_t pushId = 0;
        std::int64_t subscriptionId = 0;
        int attempts = 0;
        std::int64_t firstAttemptAt = 0;
        std::string origin; // the push service's: the endpoint's path is the subscription's secret
        bool test = false;  // the page's test message: stored nowhere, never tried again
        std::int64_t account = 0;
        std::int64_t device = 0; // the device's row

        Key key() const { return {pushId, subscriptionId}; }
    };

    // What an answer means.
    enum class Verdict {
        Delivered,
        Gone,       // 404 or 410: the subscription is gone; delete it
        Unsendable, // never sendable (an internal address, certificates that keep failing): forget the subscription
        Retry,      // try again at `retryAt`
        Refused,    // the push service refused the message (a 4xx but 404, 410 and 429): it is given up
        Expired,    // it kept failing until maxAge since its first attempt: it is given up
        TestFailed, // the page's test message failed: it is not tried again
    };
    struct Decision
    {
        Verdict verdict = Verdict::Delivered;
        int attempts = 0;         // Retry: the attempts made so far
        std::int64_t retryAt = 0; // Retry: when
        std::string why;          // for the log: the status or the error, and for Unsendable its reason
    };

    DeliveryPlanner() = default;
    explicit DeliveryPlanner(Limits limits);

    const Limits &limits() const { return m_limits; }

    // What to send next.

    // A delivery is waiting that has room to start.
    bool canStart() const;
    // The deliveries waiting to start must be checked against the store first (checked()).
    bool needsCheck(Clock::time_point now) const;
    const std::deque<PendingDelivery> &waiting() const { return m_ready; }
    // `owed[i]`: whether waiting()[i] is still in the store. Returns true when an outcome waits to be recorded.
    bool checked(const std::vector<char> &owed, Clock::time_point now);
    // Takes the first delivery waiting that has room (canStart()): begin it with sending(), or settle what became
    // of it.
    PendingDelivery next();
    // The request is under way.
    void sending(const Job &job);
    bool isSending(const Key &key) const { return m_inFlight.count(key) > 0; }
    std::size_t sendingCount() const { return m_inFlight.size(); }

    // Reading the queue.

    // Nothing waiting can start, a request may and the store may hold due deliveries that were not read.
    bool wantsQueue() const;
    // The store changed (a new push, a retry due): read the queue when a request may start.
    void queueChanged() { m_stale = true; }
    // How many rows to read: the soonest due first, with room for those under way, which they may hold.
    int fetchLimit() const;
    // The queued pushes are read after this one.
    std::int64_t lastTaken() const { return m_lastTaken; }
    struct Fetched
    {
        std::optional<std::int64_t> wakeIn; // seconds until the first row not yet due
        bool record = false;                // an outcome waits to be recorded
    };
    // Takes what fetchLimit() rows and takeBatch queued pushes (read up to push `readTo`) held: due rows and one
    // delivery per subscription of each queued push wait to start.
    Fetched fetched(std::vector<PendingDelivery> rows, std::vector<PendingDelivery> queued, std::int64_t readTo,
                    std::int64_t now, Clock::time_point steadyNow);
    // Reading the queue failed: what waits is as current as before, and the queue is read when woken.
    void fetchFailed(Clock::time_point steadyNow);

    // Answers.

    // The request ended (any way, also on stopping).
    void finished(const Key &key);
    // What the answer means for this delivery, at `now` (seconds since the epoch). Counts certificate failures.
    Decision judge(const Job &job, const PushAttempt &attempt, std::int64_t now);
    // Whether a delivery that is about to start is too old to: its push is then given up.
    bool expired(const PendingDelivery &delivery, std::int64_t now) const;
    // The request's deadline for this push service: shorter for one that did not answer in time.
    std::chrono::seconds exchangeTime(const std::string &origin) const;
    bool slow(const std::string &origin) const { return m_slowOrigins.count(origin) > 0; }
    // The push service's origin of an endpoint (scheme, host and port), or the endpoint when it does not parse.
    static std::string originOf(const std::string &endpoint);
    // The subscription is gone: its count of certificate failures too.
    void forgetSubscription(std::int64_t subscriptionId) { m_certificateFailures.erase(subscriptionId); }

    // Outcomes, written in one transaction per batch.

    // A queued push's delivery has an outcome (`row`: to try again then). False when the delivery has a row of its
    // own, which the caller writes itself.
    bool settle(const Key &key, std::optional<DeliveryRow> row, Clock::time_point now);
    // A delivery with a row of its own was accepted: its row goes with the next record.
    void delivered(const Key &key) { m_delivered.push_back(key); }
    // A delivery that did not start: a queued push's gets a row of its own to try at `retry`; one with a row of its
    // own keeps it. True when an outcome waits to be recorded.
    bool putBack(const PendingDelivery &delivery, std::int64_t retry, Clock::time_point now);
    // Everything waiting goes back so (the store could not be read). True when an outcome waits to be recorded.
    bool putBackWaiting(std::int64_t retry, Clock::time_point now);
    // What to write now: accepted rows, and the queue entries of the pushes that owe nothing more, or that must
    // keep an outcome, replaced by rows for what they still owe. `everyOutcome`: every push with an outcome however
    // recent (on stopping). `waiting`: some push waits for partialRecordDelay to pass.
    DeliveryRecord record(Clock::time_point now, bool everyOutcome, bool *waiting);
    // The record was written, or failed: what was taken is then taken again, and what was accepted may be sent
    // again (twice is better than never).
    void recorded(const DeliveryRecord &record);
    void recordFailed();

private:
    // A queued push taken from its queue entry: the subscriptions still owing an outcome, and the rows to write
    // for the ones that must be tried again.
    struct Fanout
    {
        std::int64_t createdAt = 0;
        std::set<std::int64_t> owed;
        std::vector<DeliveryRow> rows;
        std::optional<Clock::time_point> firstOutcome;
    };

    // What a request under way holds.
    struct Slot
    {
        std::string origin;
        std::int64_t account = 0;
        std::int64_t device = 0;
    };

    std::size_t slots() const;
    bool hasRoom(const PendingDelivery &delivery) const;
    std::optional<std::size_t> candidate() const;
    // Whether the account has its share of deliveries waiting: the rest are left to the store.
    bool waitingFull(std::int64_t account) const;
    void wait(PendingDelivery delivery);
    void unwait(std::size_t index);
    std::size_t take(std::vector<PendingDelivery> queued, bool *record, std::size_t *added, Clock::time_point now);

    Limits m_limits;
    // The requests under way, the deliveries fetched and due but not started, and whether the store may hold
    // due deliveries that were not fetched.
    std::map<Key, Slot> m_inFlight;
    std::map<std::string, int> m_perOrigin;
    std::map<std::int64_t, int> m_perAccount, m_perDevice;
    std::deque<PendingDelivery> m_ready;
    std::set<Key> m_readyKeys;
    std::map<std::int64_t, int> m_waitingPerAccount;
    // The push services whose last request got no answer in time.
    std::set<std::string> m_slowOrigins;
    bool m_stale = true;
    // Due rows were left in the store because their account had its share waiting: read again once one starts
    // or ends, rather than over and over while none can.
    bool m_heldBack = false;
    // How many of the first deliveries in m_ready were found still owed, and when.
    std::size_t m_readyCurrent = 0;
    Clock::time_point m_readyCheckedAt;
    // The queued pushes taken and not yet recorded, and the push up to which the queue was read.
    std::map<std::int64_t, Fanout> m_fanouts;
    std::int64_t m_lastTaken = 0;
    std::vector<Key> m_delivered;
    // By subscription: the certificate failures in a row. An entry goes with the next answer of any kind.
    std::map<std::int64_t, int> m_certificateFailures;
};

} // namespace pushserver
