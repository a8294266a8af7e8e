#include "delivery.h"

#include "deliveryplanner.h"
#include "netnames.h"
#include "pushclient.h"
#include "tellink.h"
#include "webpush_address.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <map>
#include <thread>
#include <vector>

namespace pushserver {

namespace {

// Delivery is background work: its thread (encryption, signing, name lookups) yields the CPU to the
// threads that answer requests.
constexpr int backgroundNiceness = 10;
// A VAPID token is valid for 12 hours and names only the push service's origin: one signed per origin an hour
// is enough, rather than a signature per delivery.
constexpr std::time_t vapidReuse = 3600;
constexpr std::size_t maxVapidTokens = 1024;

void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

void logLine(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "tapvela-server: %s\n", line);
}

DeliveryPlanner::Limits plannerLimits(const DeliveryOptions &options)
{
    DeliveryPlanner::Limits limits;
    limits.maxInFlight = options.maxInFlight;
    limits.firstRetry = options.firstRetry;
    limits.longestRetry = options.longestRetry;
    limits.maxAge = options.maxAge;
    limits.certificateFailures = options.certificateFailures;
    limits.exchangeTime = options.exchangeTime;
    limits.slowExchangeTime = options.slowExchangeTime;
    return limits;
}

PushClientOptions clientOptions(const DeliveryOptions &options)
{
    return {options.allowLoopbackHttp, options.extraCaFile, options.connectTime, options.exchangeTime};
}

} // namespace

std::string deliveryPayload(const Push &push, const std::string &deviceName, std::size_t maxBytes)
{
    using json = nlohmann::ordered_json;
    std::string msg = push.msg;
    for (;;) {
        const json payload = {{"device", deviceName},
                              {"msg", msg},
                              {"number", isCallableTel(push.extra) ? push.extra : std::string()},
                              {"id", push.id},
                              {"time", push.createdAt}};
        std::string text = payload.dump(-1, ' ', false, json::error_handler_t::replace);
        if (text.size() <= maxBytes || msg.empty())
            return text;
        // A byte cut shortens the text by one, or by two when it was escaped: cutting half the excess never cuts
        // too much, and each round at least halves what is left to cut.
        const std::size_t excess = text.size() - maxBytes;
        std::size_t size = msg.size() - std::min(msg.size(), std::max<std::size_t>(excess / 2, 1));
        while (size > 0 && (static_cast<unsigned char>(msg[size]) & 0xC0) == 0x80)
            --size;
        msg.resize(size);
    }
}

struct Delivery::Impl
{
    using Job = DeliveryPlanner::Job;
    using Clock = DeliveryPlanner::Clock;

    explicit Impl(Delivery &owner)
        : owner(owner), planner(plannerLimits(owner.m_options)), client(io, clientOptions(owner.m_options))
    {
    }

    void schedule();
    void checkReady();
    void putBack(const PendingDelivery &delivery, std::int64_t retry);
    void fetch();
    void wakeIn(std::int64_t seconds);
    bool settle(const Job &job, std::optional<DeliveryRow> row = std::nullopt);
    void drop(const Job &job);
    void postRecord();
    void record(bool everyOutcome);
    webpush::Outcome<std::string> vapidToken(const std::string &endpoint, const std::string &origin);
    bool begin(const PendingDelivery &delivery, std::int64_t now);
    void beginTest(const WebPushSubscription &subscription, const std::string &deviceName);
    void send(const Job &job, const webpush::Endpoint &endpoint, PushMessage message);
    void forget(const Job &job, const std::string &why);
    void finished(const Job &job, const PushAttempt &attempt);

    // Runs `call` on the store's thread, once there is one, and returns what it returns or throws what it throws.
    template <typename Call> auto inStore(Call call)
    {
        if (!storeThread.joinable())
            return call();
        std::packaged_task<decltype(call())()> task(std::move(call));
        auto result = task.get_future();
        net::post(storeIo, [&task] { task(); });
        return result.get();
    }

    Delivery &owner;
    std::string privateKey;
    // The io thread's only.
    DeliveryPlanner planner;
    net::io_context io{1};
    net::executor_work_guard<net::io_context::executor_type> work = net::make_work_guard(io);
    net::steady_timer timer{io};
    net::steady_timer recordTimer{io};
    std::thread thread;
    std::atomic<bool> stopped{false};
    std::atomic<bool> wakePending{false};
    // Outcomes are written together, in one transaction, once the answers at hand are handled, rather than each
    // in a write of its own. Always before the queue is read.
    bool recordPosted = false;
    bool recordTimerSet = false;
    // By origin: the Authorization header and when it was signed.
    std::map<std::string, std::pair<std::string, std::time_t>> vapidTokens;
    // Declared after the io_context, so that its kept connections go before it.
    PushClient client;
    // The store's lock is also the one every push takes: held by this thread, at its background priority, and
    // pre-empted, it would hold the pushes' answers back. So the store is used from a thread of its own at the
    // answers' priority, which this one waits for.
    net::io_context storeIo{1};
    net::executor_work_guard<net::io_context::executor_type> storeWork = net::make_work_guard(storeIo);
    std::thread storeThread;
};

// Starts what is due, as far as the limit allows. The store is read only when a slot is free and nothing
// fetched is left, so that a full set of requests under way costs the pushes nothing.
void Delivery::Impl::schedule()
{
    if (stopped)
        return;
    bool fetched = false;
    for (;;) {
        while (planner.canStart()) {
            if (planner.needsCheck(Clock::now())) {
                checkReady();
                continue;
            }
            const PendingDelivery delivery = planner.next();
            try {
                begin(delivery, owner.m_store.now());
            } catch (const std::exception &e) {
                logLine("Web Push: starting the delivery of push %lld failed, trying again in a minute: %s",
                        static_cast<long long>(delivery.push.id), e.what());
                putBack(delivery, owner.m_store.now() + 60);
                wakeIn(60);
            }
        }
        if (!planner.wantsQueue())
            return;
        if (fetched) {
            // Everything fetched was dropped and more is queued: read on, letting the thread's other work in.
            net::post(io, [this] { schedule(); });
            return;
        }
        fetch();
        fetched = true;
    }
}

void Delivery::Impl::putBack(const PendingDelivery &delivery, std::int64_t retry)
{
    if (planner.putBack(delivery, retry, Clock::now()))
        postRecord();
}

// Drops from what waits to start what is no longer owed: the deliveries whose subscription or push went since
// they were fetched.
void Delivery::Impl::checkReady()
{
    std::vector<char> owed;
    try {
        owed = inStore([this] {
            std::vector<char> pending;
            pending.reserve(planner.waiting().size());
            for (const PendingDelivery &delivery : planner.waiting())
                pending.push_back(owner.m_store.deliveryPending(delivery));
            return pending;
        });
    } catch (const std::exception &e) {
        // Read again, with the queue, in a minute.
        logLine("Web Push: checking %zu deliveries before they start failed, trying again in a minute: %s",
                planner.waiting().size(), e.what());
        if (planner.putBackWaiting(owner.m_store.now() + 60, Clock::now()))
            postRecord();
        wakeIn(60);
        return;
    }
    if (planner.checked(owed, Clock::now()))
        postRecord();
}

// Reads the next batch of due deliveries with rows of their own, setting the timer for the first one not yet
// due, then takes the next queued pushes.
void Delivery::Impl::fetch()
{
    record(false);
    const int limit = planner.fetchLimit();
    try {
        std::int64_t readTo = planner.lastTaken();
        std::vector<PendingDelivery> queue, queued;
        inStore([&] {
            queue = owner.m_store.deliveryQueue(limit);
            queued = owner.m_store.queuedPushes(planner.lastTaken(), planner.limits().takeBatch, &readTo);
        });
        const auto result =
            planner.fetched(std::move(queue), std::move(queued), readTo, owner.m_store.now(), Clock::now());
        if (result.wakeIn)
            wakeIn(*result.wakeIn);
        if (result.record)
            postRecord();
    } catch (const std::exception &e) {
        logLine("Web Push: reading the queue failed, trying again in a minute: %s", e.what());
        planner.fetchFailed(Clock::now());
        wakeIn(60);
    }
}

// Notes the outcome of a queued push's delivery (`row`: to try again); false when the delivery has a row of
// its own.
bool Delivery::Impl::settle(const Job &job, std::optional<DeliveryRow> row)
{
    if (!planner.settle(job.key(), std::move(row), Clock::now()))
        return false;
    postRecord();
    return true;
}

void Delivery::Impl::postRecord()
{
    if (recordPosted)
        return;
    recordPosted = true;
    net::post(io, [this] { record(false); });
}

void Delivery::Impl::drop(const Job &job)
{
    if (!settle(job))
        inStore([&] { owner.m_store.deleteDelivery(job.pushId, job.subscriptionId); });
}

// Writes the outcomes at hand in one transaction. `everyOutcome`: every push with an outcome, however recent
// (on stopping).
void Delivery::Impl::record(bool everyOutcome)
{
    recordPosted = false;
    bool waiting = false;
    const DeliveryRecord outcomes = planner.record(Clock::now(), everyOutcome, &waiting);
    if (!outcomes.delivered.empty() || !outcomes.taken.empty()) {
        try {
            inStore([&] { owner.m_store.recordDeliveries(outcomes); });
            planner.recorded(outcomes);
        } catch (const std::exception &e) {
            logLine("Web Push: recording the outcome of %zu deliveries failed: %s",
                    outcomes.delivered.size() + outcomes.taken.size(), e.what());
            planner.recordFailed();
        }
    }
    if (waiting && !recordTimerSet && !stopped) {
        recordTimerSet = true;
        recordTimer.expires_after(planner.limits().partialRecordDelay);
        recordTimer.async_wait([this](error_code ec) {
            recordTimerSet = false;
            if (ec)
                return;
            record(false);
            schedule();
        });
    }
}

webpush::Outcome<std::string> Delivery::Impl::vapidToken(const std::string &endpoint, const std::string &origin)
{
    const std::time_t now = std::time(nullptr);
    if (const auto found = vapidTokens.find(origin);
        found != vapidTokens.end() && now >= found->second.second && now - found->second.second < vapidReuse)
        return webpush::Outcome<std::string>{found->second.first, {}};
    auto made = webpush::vapidAuthorization(endpoint, owner.m_options.subject, privateKey, now);
    if (made.ok()) {
        if (vapidTokens.size() >= maxVapidTokens)
            vapidTokens.clear();
        vapidTokens[origin] = {made.value, now};
    }
    return made;
}

void Delivery::Impl::wakeIn(std::int64_t seconds)
{
    timer.expires_after(std::chrono::seconds(std::max<std::int64_t>(seconds, 1)));
    timer.async_wait([this](error_code ec) {
        if (ec)
            return;
        planner.queueChanged();
        schedule();
    });
}

// False when the delivery was dropped rather than started.
bool Delivery::Impl::begin(const PendingDelivery &delivery, std::int64_t now)
{
    const DeliveryOptions &options = owner.m_options;
    const auto endpoint = webpush::parseEndpoint(delivery.endpoint);
    const std::string &origin = endpoint.value.origin;
    Job job{delivery.push.id, delivery.subscriptionId, delivery.attempts, delivery.firstAttemptAt, origin};
    job.account = delivery.account;
    job.device = delivery.deviceRow;
    const std::string refusal = endpoint.ok() ? webpush::endpointRefusal(endpoint.value, options.allowLoopbackHttp)
                                              : "the endpoint " + endpoint.error;
    if (!refusal.empty()) {
        forget(job, refusal);
        return false;
    }
    if (planner.expired(delivery, now)) {
        logLine("Web Push: push %lld not delivered to %s within %lld s, dropped",
                static_cast<long long>(delivery.push.id), origin.c_str(), static_cast<long long>(options.maxAge));
        drop(job);
        return false;
    }
    const std::string plaintext =
        deliveryPayload(delivery.push, delivery.deviceName, deliveryBodySize - webpush::bodyOverhead);
    const auto body = webpush::encryptPayload(plaintext, delivery.p256dh, delivery.auth, deliveryBodySize);
    const auto authorization = vapidToken(delivery.endpoint, origin);
    if (!body.ok() || !authorization.ok()) {
        logLine("Web Push: push %lld for %s cannot be sent, dropped: %s", static_cast<long long>(delivery.push.id),
                origin.c_str(), (body.ok() ? authorization.error : body.error).c_str());
        drop(job);
        return false;
    }

    send(job, endpoint.value, {body.value, authorization.value});
    return true;
}

// The page's test message, sent as a push is but with id 0, which names no push.
void Delivery::Impl::beginTest(const WebPushSubscription &subscription, const std::string &deviceName)
{
    const auto endpoint = webpush::parseEndpoint(subscription.endpoint);
    Job job{0, subscription.id, 0, 0, endpoint.value.origin};
    job.test = true;
    if (planner.isSending(job.key()))
        return; // one test under way for it is enough
    const std::string refusal = endpoint.ok()
                                    ? webpush::endpointRefusal(endpoint.value, owner.m_options.allowLoopbackHttp)
                                    : "the endpoint " + endpoint.error;
    if (!refusal.empty())
        return forget(job, refusal);
    Push test;
    test.msg = testMessage;
    test.createdAt = static_cast<std::int64_t>(std::time(nullptr));
    const auto body =
        webpush::encryptPayload(deliveryPayload(test, deviceName, deliveryBodySize - webpush::bodyOverhead),
                                subscription.p256dh, subscription.auth, deliveryBodySize);
    const auto authorization = vapidToken(subscription.endpoint, endpoint.value.origin);
    if (!body.ok() || !authorization.ok()) {
        logLine("Web Push: the test message for %s cannot be sent: %s", endpoint.value.origin.c_str(),
                (body.ok() ? authorization.error : body.error).c_str());
        return;
    }
    send(job, endpoint.value, {body.value, authorization.value});
}

void Delivery::Impl::send(const Job &job, const webpush::Endpoint &endpoint, PushMessage message)
{
    planner.sending(job);
    client.send(
        endpoint, message, [this, job](PushAttempt attempt) { finished(job, attempt); },
        planner.exchangeTime(job.origin));
}

// A subscription that can never be sent to goes, with what it was still owed.
void Delivery::Impl::forget(const Job &job, const std::string &why)
{
    logLine("Web Push: subscription %lld removed: %s", static_cast<long long>(job.subscriptionId), why.c_str());
    planner.forgetSubscription(job.subscriptionId);
    inStore([&] { owner.m_store.deleteSubscription(job.subscriptionId); });
    if (!job.test)
        settle(job);
}

void Delivery::Impl::finished(const Job &job, const PushAttempt &attempt)
{
    planner.finished(job.key());
    if (stopped)
        return;
    Store &store = owner.m_store;
    const long long push = job.pushId;
    try {
        const std::int64_t now = store.now();
        const DeliveryPlanner::Decision decision = planner.judge(job, attempt, now);
        switch (decision.verdict) {
        case DeliveryPlanner::Verdict::Unsendable:
            forget(job, decision.why);
            break;
        case DeliveryPlanner::Verdict::Delivered:
            if (!job.test && !settle(job)) {
                planner.delivered(job.key());
                postRecord();
            }
            break;
        case DeliveryPlanner::Verdict::Gone:
            if (job.test) {
                forget(job, job.origin + " answered " + decision.why + ": the subscription is gone");
                break;
            }
            logLine("Web Push: %s answered %s for push %lld: the subscription is gone, removed", job.origin.c_str(),
                    decision.why.c_str(), push);
            inStore([&] { store.deleteSubscription(job.subscriptionId); });
            settle(job);
            break;
        case DeliveryPlanner::Verdict::TestFailed:
            logLine("Web Push: the test message to %s failed: %s", job.origin.c_str(), decision.why.c_str());
            break;
        case DeliveryPlanner::Verdict::Retry:
            logLine("Web Push: push %lld to %s failed (%s): again in %lld s", push, job.origin.c_str(),
                    decision.why.c_str(), static_cast<long long>(decision.retryAt - now));
            if (!settle(job, DeliveryRow{job.pushId, job.subscriptionId, decision.attempts, decision.retryAt,
                                         job.firstAttemptAt}))
                inStore(
                    [&] { store.retryDelivery(job.pushId, job.subscriptionId, decision.attempts, decision.retryAt); });
            // Back in the queue, later: the timer is set when it is read again.
            planner.queueChanged();
            break;
        case DeliveryPlanner::Verdict::Expired:
            logLine("Web Push: push %lld to %s failed (%s) and is older than %lld s: dropped", push, job.origin.c_str(),
                    decision.why.c_str(), static_cast<long long>(owner.m_options.maxAge));
            drop(job);
            break;
        case DeliveryPlanner::Verdict::Refused:
            logLine("Web Push: %s refused push %lld with %s: dropped", job.origin.c_str(), push, decision.why.c_str());
            drop(job);
            break;
        }
    } catch (const std::exception &e) {
        logLine("Web Push: noting the outcome of push %lld failed: %s", push, e.what());
        planner.queueChanged();
    }
    schedule();
}

Delivery::Delivery(Store &store, DeliveryOptions options)
    : m_store(store), m_options(std::move(options)), m_impl(std::make_unique<Impl>(*this))
{
    const std::string key = m_store.vapidPrivateKey([] {
        const auto made = webpush::makeVapidKeys();
        if (!made.ok())
            throw StoreError("cannot make the VAPID key: " + made.error);
        return made.value.privateKey;
    });
    const auto publicKey = webpush::vapidPublicKey(key);
    if (!publicKey.ok())
        throw StoreError("the stored VAPID key is unusable: " + publicKey.error);
    m_impl->privateKey = key;
    m_publicKey = publicKey.value;
}

Delivery::~Delivery()
{
    stop();
}

void Delivery::start()
{
    if (m_impl->thread.joinable() || m_impl->stopped)
        return;
    net::post(m_impl->io, [impl = m_impl.get()] { impl->schedule(); });
    m_impl->storeThread = std::thread([impl = m_impl.get()] {
        pthread_setname_np(pthread_self(), "web-push-store");
        impl->storeIo.run();
    });
    m_impl->thread = std::thread([impl = m_impl.get()] {
        // Named for top -H and the benchmark's count of CPU time; the name lookups' threads, started from this
        // one, inherit the name and the niceness. Where the system refuses, delivery still works, only at the
        // same priority as the answers.
        pthread_setname_np(pthread_self(), "web-push");
        const auto self = static_cast<id_t>(gettid());
        errno = 0;
        const int niceness = getpriority(PRIO_PROCESS, self);
        if (errno != 0 || setpriority(PRIO_PROCESS, self, std::min(niceness + backgroundNiceness, 19)) != 0)
            logLine("Web Push: cannot lower the delivery thread's priority: %s", std::strerror(errno));
        impl->io.run();
    });
}

void Delivery::wake()
{
    if (m_impl->wakePending.exchange(true))
        return;
    // Wakes that come while one is waiting, or while the queue is read, make one more look at most.
    net::post(m_impl->io, [impl = m_impl.get()] {
        impl->wakePending = false;
        impl->planner.queueChanged();
        impl->schedule();
    });
}

void Delivery::sendTest(WebPushSubscription subscription, std::string deviceName)
{
    net::post(m_impl->io,
              [impl = m_impl.get(), subscription = std::move(subscription), deviceName = std::move(deviceName)] {
                  if (impl->stopped)
                      return;
                  try {
                      impl->beginTest(subscription, deviceName);
                  } catch (const std::exception &e) {
                      logLine("Web Push: the test message cannot be sent: %s", e.what());
                  }
              });
}

void Delivery::stop()
{
    m_impl->stopped = true;
    m_impl->client.stop();
    m_impl->io.stop();
    if (m_impl->thread.joinable())
        m_impl->thread.join();
    // What was accepted is not sent again after a restart.
    m_impl->record(true);
    m_impl->storeWork.reset();
    if (m_impl->storeThread.joinable())
        m_impl->storeThread.join();
}

} // namespace pushserver
