#include "delivery.h"

#include "netnames.h"
#include "phonepage.h"
#include "webpush_address.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <type_traits>
#include <vector>

namespace pushserver {

namespace {

// Enough for any push service's status line and headers. The body of an answer is read only to keep the
// connection for the next request: a longer one closes it.
constexpr std::uint32_t maxAnswerHeader = 8 * 1024;
constexpr std::uint32_t maxAnswerBody = 16 * 1024;
// Kept connections, which each hold a socket (and a TLS session): how long one may wait for its next request,
// how many one push service's origin may keep, and how many in all.
constexpr auto connectionIdleTime = std::chrono::seconds(30);
constexpr std::size_t maxIdlePerOrigin = 16;
constexpr std::size_t maxIdleConnections = 64;
// A push older than a day is of no use to anyone: the service keeps it no longer either.
const char *const timeToLive = "86400";
// Deliveries read from the queue at a time beyond those under way, and queued pushes taken at a time: the
// queue's reads are joins under the store's lock, which every push also takes, so they are done once per
// batch rather than once per delivery.
constexpr int fetchBatch = 64;
constexpr int takeBatch = 32;
// A delivery fetched a while ago may have lost its subscription or its push since: the ones waiting to start are
// checked again together, at most this long before they start, rather than each on its own.
constexpr auto readyCheckAge = std::chrono::seconds(1);
// How long a queued push that some subscriptions accepted may wait for the others' answers before what it
// still owes gets rows of its own (and its queue entry goes): the time in which a kill would send it again to
// those that accepted.
constexpr auto partialRecordDelay = std::chrono::milliseconds(100);
// Delivery is background work: its thread (encryption, signing, name lookups) yields the CPU to the
// threads that answer requests.
constexpr int backgroundNiceness = 10;
// A VAPID token is valid for 12 hours and names only the push service's origin: one signed per origin an hour
// is enough, rather than a signature per delivery.
constexpr std::time_t vapidReuse = 3600;
constexpr std::size_t maxVapidTokens = 1024;

bool isLoopbackLiteral(const std::string &host)
{
    return host == "127.0.0.1" || host == "::1";
}

// Whether a literal address is public; nothing when the host is a name.
std::optional<bool> literalIsPublic(const std::string &host)
{
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return webpush::isPublicIpv4(ntohl(v4.s_addr));
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &v6, bytes.size());
        return webpush::isPublicIpv6(bytes);
    }
    return std::nullopt;
}

// Retry-After in seconds from now: a number of seconds or an HTTP date.
std::optional<std::int64_t> retryAfter(std::string_view value, std::int64_t now)
{
    if (!value.empty() && value.size() <= 9 &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::stoll(std::string(value));
    std::tm date{};
    const std::string text(value);
    const char *end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &date);
    if (!end || *end != '\0')
        return std::nullopt;
    return static_cast<std::int64_t>(timegm(&date)) - now;
}

struct Attempt
{
    int status = 0; // 0: no answer
    std::optional<std::int64_t> retryAfter;
    std::string error;
    bool stale = false;          // sent over a kept connection that turned out closed: to send again on a new one
    bool notPublic = false;      // the endpoint's name resolves to an address that is not public: never sendable
    bool badCertificate = false; // the push service's certificate did not verify
};

using Request = http::request<http::string_body>;

// A connection to one push service's origin, which carries one request after another: the first opens it, and it
// is kept for the next while it stays open and unused for no longer than the service's idle time-outs allow.
class Connection
{
public:
    virtual ~Connection() = default;
    // Sends the request over the open connection and reports the answer.
    virtual void exchange(std::shared_ptr<const Request> request, std::function<void(Attempt)> finished) = 0;
    virtual void close() = 0;

    std::chrono::steady_clock::time_point idleSince;
};

// Each request, from connecting (when the connection is new) to the answer, within one deadline. Redirects are
// not followed: an answer is an answer. The answer's small body is read so that the connection can carry the next
// request, which `keep` is then handed.
template <typename Stream>
class StreamConnection final : public Connection, public std::enable_shared_from_this<StreamConnection<Stream>>
{
public:
    StreamConnection(Stream stream, const DeliveryOptions &options,
                     std::function<void(std::shared_ptr<Connection>)> keep)
        : m_stream(std::move(stream)), m_connectTime(options.connectTime), m_exchangeTime(options.exchangeTime),
          m_keep(std::move(keep))
    {
    }

    void open(std::vector<tcp::endpoint> addresses, std::shared_ptr<const Request> request,
              std::function<void(Attempt)> finished)
    {
        start(std::move(request), std::move(finished));
        lowest().expires_after(m_connectTime);
        lowest().async_connect(addresses, [self = this->shared_from_this()](error_code ec, const tcp::endpoint &) {
            self->connected(ec);
        });
    }

    void exchange(std::shared_ptr<const Request> request, std::function<void(Attempt)> finished) override
    {
        m_reused = true;
        start(std::move(request), std::move(finished));
        lowest().expires_at(m_deadline);
        send();
    }

    void close() override
    {
        error_code ignored;
        lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
        lowest().close();
    }

private:
    static constexpr bool tls = !std::is_same_v<Stream, beast::tcp_stream>;

    beast::tcp_stream &lowest() { return beast::get_lowest_layer(m_stream); }

    void start(std::shared_ptr<const Request> request, std::function<void(Attempt)> finished)
    {
        m_request = std::move(request);
        m_finished = std::move(finished);
        m_deadline = std::chrono::steady_clock::now() + m_exchangeTime;
        m_parser.emplace();
        m_parser->header_limit(maxAnswerHeader);
        m_parser->body_limit(maxAnswerBody);
    }

    void connected(error_code ec)
    {
        if (ec)
            return fail(ec, "cannot connect: ");
        lowest().expires_at(m_deadline);
        if constexpr (tls) {
            m_stream.async_handshake(ssl::stream_base::client, [self = this->shared_from_this()](error_code ec) {
                if (ec)
                    return self->fail(ec, "TLS: ");
                self->send();
            });
        } else {
            send();
        }
    }

    void send()
    {
        http::async_write(m_stream, *m_request, [self = this->shared_from_this()](error_code ec, std::size_t) {
            if (ec)
                return self->fail(ec, "sending: ");
            self->receive();
        });
    }

    void receive()
    {
        http::async_read_header(m_stream, m_buffer, *m_parser,
                                [self = this->shared_from_this()](error_code ec, std::size_t) {
                                    if (ec)
                                        return self->fail(ec, "reading the answer: ");
                                    self->answered();
                                });
    }

    void answered()
    {
        const auto &answer = m_parser->get();
        m_attempt = Attempt{};
        m_attempt.status = static_cast<int>(answer.result_int());
        if (const auto field = answer.find(http::field::retry_after); field != answer.end())
            m_attempt.retryAfter =
                retryAfter(std::string_view(field->value().data(), field->value().size()), std::time(nullptr));
        // A body that only the connection's end would end is not waited for: such a connection is not kept.
        if (m_parser->is_done() || m_parser->need_eof())
            return finish(m_parser->is_done());
        // The answer counts from its header; a body that does not come whole only closes the connection.
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = this->shared_from_this()](error_code ec, std::size_t) { self->finish(!ec); });
    }

    void fail(error_code ec, const char *what)
    {
        m_attempt = Attempt{};
        m_attempt.error = what + ec.message();
        if constexpr (tls)
            m_attempt.badCertificate =
                ec.category() == net::error::get_ssl_category() &&
                ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == SSL_R_CERTIFICATE_VERIFY_FAILED;
        // A kept connection that the service closed while it was idle: the request never reached it.
        m_attempt.stale = m_reused && m_buffer.size() == 0 && ec != beast::error::timeout;
        finish(false);
    }

    // The connection is kept when the answer came whole, with nothing after it, and the service keeps it open.
    void finish(bool whole)
    {
        const bool keep = whole && m_buffer.size() == 0 && m_parser->keep_alive();
        m_parser.reset();
        m_request.reset();
        if (keep) {
            lowest().expires_never();
            idleSince = std::chrono::steady_clock::now();
            m_keep(this->shared_from_this());
        } else {
            close();
        }
        if (auto finished = std::move(m_finished)) {
            m_finished = nullptr;
            finished(std::move(m_attempt));
        }
    }

    Stream m_stream;
    const std::chrono::seconds m_connectTime, m_exchangeTime;
    std::function<void(std::shared_ptr<Connection>)> m_keep;
    std::shared_ptr<const Request> m_request;
    std::function<void(Attempt)> m_finished;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_reused = false;
    Attempt m_attempt;
    beast::flat_buffer m_buffer{maxAnswerHeader + maxAnswerBody};
    std::optional<http::response_parser<http::string_body>> m_parser;
};

std::shared_ptr<Request> makeRequest(const webpush::Endpoint &endpoint, const std::string &body,
                                     const std::string &authorization)
{
    auto request = std::make_shared<Request>(http::verb::post, endpoint.target, 11);
    request->set(http::field::host, endpoint.origin.substr(endpoint.origin.find("://") + 3));
    request->set(http::field::user_agent, "tapvela-server");
    request->set("TTL", timeToLive);
    request->set("Urgency", "high");
    request->set(http::field::content_encoding, "aes128gcm");
    request->set(http::field::content_type, "application/octet-stream");
    request->set(http::field::authorization, authorization);
    request->body() = body;
    request->prepare_payload();
    return request;
}

// Where the name lookups, which block, hand their results back. Emptied on stopping, so that a lookup that
// ends later posts nothing.
struct Lookups
{
    std::mutex mutex;
    net::io_context *io = nullptr;
};

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

} // namespace

std::string endpointRefusal(const webpush::Endpoint &endpoint, bool allowLoopbackHttp)
{
    const bool loopbackAllowed = allowLoopbackHttp && isLoopbackLiteral(endpoint.host);
    if (endpoint.scheme != "https" && !loopbackAllowed)
        return "the endpoint is not an https URL";
    std::string host = endpoint.host;
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    if (host == "localhost" || (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0))
        return "the endpoint names this computer";
    if (const auto isPublic = literalIsPublic(endpoint.host); isPublic && !*isPublic && !loopbackAllowed)
        return "the endpoint's address is not a public one";
    return {};
}

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
    struct Job
    {
        std::int64_t pushId = 0;
        std::int64_t subscriptionId = 0;
        int attempts = 0;
        std::int64_t firstAttemptAt = 0;
        std::string origin; // for log lines: the endpoint's path is the subscription's secret
        bool test = false;  // the page's test message: stored nowhere, never tried again
    };
    using Key = std::pair<std::int64_t, std::int64_t>; // push, subscription

    // A queued push taken from its queue entry: the subscriptions still owing an outcome, and the rows to write
    // for the ones that must be tried again. Its entry goes when nothing is owed any more, or sooner, replaced
    // by rows for what is still owed, once an outcome must be kept or has waited `partialRecordDelay`.
    struct Fanout
    {
        std::int64_t createdAt = 0;
        std::set<std::int64_t> owed;
        std::vector<DeliveryRow> rows;
        std::optional<std::chrono::steady_clock::time_point> firstOutcome;
    };

    explicit Impl(Delivery &owner) : owner(owner), tls(ssl::context::tls_client)
    {
        error_code ec;
        tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                            ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                        ec);
        if (!ec)
            tls.set_default_verify_paths(ec);
        if (!ec && !owner.m_options.extraCaFile.empty())
            tls.load_verify_file(owner.m_options.extraCaFile, ec);
        if (ec)
            throw std::runtime_error("cannot set up TLS for Web Push: " + ec.message());
        lookups->io = &io;
    }

    void schedule();
    void checkReady();
    void putBack(const PendingDelivery &delivery, std::int64_t retry);
    void fetch();
    std::size_t take(std::vector<PendingDelivery> queued);
    void wakeIn(std::int64_t seconds);
    bool settle(const Job &job, std::optional<DeliveryRow> row = std::nullopt);
    void drop(const Job &job);
    void postRecord();
    void record(bool everyOutcome);
    webpush::Outcome<std::string> vapidToken(const std::string &endpoint, const std::string &origin);
    bool begin(const PendingDelivery &delivery, std::int64_t now);
    void beginTest(const WebPushSubscription &subscription, const std::string &deviceName);
    void send(const Job &job, const webpush::Endpoint &endpoint, std::shared_ptr<Request> request);
    void forget(const Job &job, const std::string &why);
    void lookUp(const Job &job, const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request);
    void connect(const Job &job, const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request,
                 webpush::Outcome<std::vector<webpush::ResolvedAddress>> found, bool notPublic);
    std::shared_ptr<Connection> takeIdle(const std::string &origin);
    void keepIdle(const std::string &origin, std::shared_ptr<Connection> connection);
    void closeIdle();
    void closeIdleAt(std::chrono::steady_clock::time_point when);
    void finished(const Job &job, const Attempt &attempt);

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
    // Declared before the io_context, so that requests abandoned on stopping go before their TLS context.
    ssl::context tls;
    net::io_context io{1};
    net::executor_work_guard<net::io_context::executor_type> work = net::make_work_guard(io);
    net::steady_timer timer{io};
    net::steady_timer recordTimer{io};
    std::thread thread;
    std::atomic<bool> stopped{false};
    std::atomic<bool> wakePending{false};
    // The io thread's only: the requests under way, the deliveries fetched and due but not started, and
    // whether the store may hold due deliveries that were not fetched.
    std::set<Key> inFlight;
    std::deque<PendingDelivery> ready;
    bool stale = true;
    // How many of the first deliveries in `ready` were found still owed, and when.
    std::size_t readyCurrent = 0;
    std::chrono::steady_clock::time_point readyCheckedAt;
    // The queued pushes taken and not yet recorded, and the push up to which the queue was read.
    std::map<std::int64_t, Fanout> fanouts;
    std::int64_t lastTaken = 0;
    // Accepted deliveries with rows of their own, and queued pushes with outcomes, are written together, in one
    // transaction, once the answers at hand are handled, rather than each in a write of its own. Always before
    // the queue is read.
    std::vector<Key> delivered;
    bool recordPosted = false;
    bool recordTimerSet = false;
    // By origin: the Authorization header and when it was signed.
    std::map<std::string, std::pair<std::string, std::time_t>> vapidTokens;
    // By subscription: the certificate failures in a row. An entry goes with the next answer of any kind.
    std::map<std::int64_t, int> certificateFailures;
    std::shared_ptr<Lookups> lookups = std::make_shared<Lookups>();
    // Connections kept for the next request, by origin, and a timer that closes the ones that waited too long.
    // Declared after the io_context, so that they go before it.
    std::map<std::string, std::vector<std::shared_ptr<Connection>>> idle;
    std::size_t idleCount = 0;
    net::steady_timer idleTimer{io};
    bool idleTimerSet = false;
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
    const std::size_t slots = static_cast<std::size_t>(std::max(owner.m_options.maxInFlight, 1));
    bool fetched = false;
    for (;;) {
        while (!ready.empty() && inFlight.size() < slots) {
            if (readyCurrent == 0 || std::chrono::steady_clock::now() - readyCheckedAt >= readyCheckAge) {
                checkReady();
                continue;
            }
            const PendingDelivery delivery = std::move(ready.front());
            ready.pop_front();
            --readyCurrent;
            try {
                begin(delivery, owner.m_store.now());
            } catch (const std::exception &e) {
                logLine("Web Push: starting the delivery of push %lld failed, trying again in a minute: %s",
                        static_cast<long long>(delivery.push.id), e.what());
                putBack(delivery, owner.m_store.now() + 60);
                wakeIn(60);
            }
        }
        if (!ready.empty() || inFlight.size() >= slots || !stale)
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

// A delivery of a queued push that did not start gets a row of its own, to be tried at `retry`; one with a row
// of its own keeps it.
void Delivery::Impl::putBack(const PendingDelivery &delivery, std::int64_t retry)
{
    settle(Job{delivery.push.id, delivery.subscriptionId, 0, 0, {}},
           DeliveryRow{delivery.push.id, delivery.subscriptionId, delivery.attempts, retry, delivery.firstAttemptAt});
}

// Drops from `ready` what is no longer owed: the deliveries whose subscription or push went since they were
// fetched. The rest is current for `readyCheckAge`.
void Delivery::Impl::checkReady()
{
    std::vector<char> owed;
    try {
        owed = inStore([this] {
            std::vector<char> pending;
            pending.reserve(ready.size());
            for (const PendingDelivery &delivery : ready)
                pending.push_back(owner.m_store.deliveryPending(delivery));
            return pending;
        });
    } catch (const std::exception &e) {
        // Read again, with the queue, in a minute.
        logLine("Web Push: checking %zu deliveries before they start failed, trying again in a minute: %s",
                ready.size(), e.what());
        const std::int64_t retry = owner.m_store.now() + 60;
        for (const PendingDelivery &delivery : ready)
            putBack(delivery, retry);
        ready.clear();
        readyCurrent = 0;
        wakeIn(60);
        return;
    }
    std::deque<PendingDelivery> current;
    for (std::size_t i = 0; i < owed.size(); ++i) {
        if (owed[i])
            current.push_back(std::move(ready[i]));
        else if (ready[i].queued)
            settle(Job{ready[i].push.id, ready[i].subscriptionId, 0, 0, {}});
    }
    ready = std::move(current);
    readyCurrent = ready.size();
    readyCheckedAt = std::chrono::steady_clock::now();
}

// Reads the next batch of due deliveries with rows of their own into `ready`, setting the timer for the first
// one not yet due, then takes the next queued pushes. The rows are read soonest first with room for the
// requests under way, which they may also hold.
void Delivery::Impl::fetch()
{
    record(false);
    stale = false;
    const int limit = static_cast<int>(inFlight.size()) + fetchBatch;
    try {
        std::int64_t readTo = lastTaken;
        std::vector<PendingDelivery> queue, queued;
        inStore([&] {
            queue = owner.m_store.deliveryQueue(limit);
            queued = owner.m_store.queuedPushes(lastTaken, takeBatch, &readTo);
        });
        const std::int64_t now = owner.m_store.now();
        bool more = static_cast<int>(queue.size()) >= limit;
        for (PendingDelivery &delivery : queue) {
            if (inFlight.count({delivery.push.id, delivery.subscriptionId}))
                continue;
            if (delivery.nextAttemptAt > now) {
                wakeIn(delivery.nextAttemptAt - now);
                more = false;
                break;
            }
            ready.push_back(std::move(delivery));
        }
        const std::size_t taken = take(std::move(queued));
        lastTaken = std::max(lastTaken, readTo);
        stale = taken >= static_cast<std::size_t>(takeBatch) || more;
    } catch (const std::exception &e) {
        logLine("Web Push: reading the queue failed, trying again in a minute: %s", e.what());
        wakeIn(60);
    }
    // Only called with nothing ready: all of it was read just now.
    readyCurrent = ready.size();
    readyCheckedAt = std::chrono::steady_clock::now();
}

// Queued pushes go to `ready` as one delivery per subscription, owed until each has an outcome. Returns how
// many pushes were read.
std::size_t Delivery::Impl::take(std::vector<PendingDelivery> queued)
{
    std::set<std::int64_t> read, skipped;
    for (PendingDelivery &delivery : queued) {
        const std::int64_t push = delivery.push.id;
        lastTaken = std::max(lastTaken, push);
        // Taken again after a failed write while its first taking is still under way: left to that one.
        if (read.insert(push).second && fanouts.count(push))
            skipped.insert(push);
        if (skipped.count(push))
            continue;
        Fanout &fanout = fanouts[push];
        fanout.createdAt = delivery.push.createdAt;
        if (delivery.subscriptionId == 0 || inFlight.count({push, delivery.subscriptionId}))
            continue;
        fanout.owed.insert(delivery.subscriptionId);
        ready.push_back(std::move(delivery));
    }
    for (const std::int64_t push : read)
        if (!skipped.count(push) && fanouts[push].owed.empty())
            postRecord();
    return read.size();
}

// Notes the outcome of a queued push's delivery (`row`: to try again); false when the delivery has a row of
// its own.
bool Delivery::Impl::settle(const Job &job, std::optional<DeliveryRow> row)
{
    const auto found = fanouts.find(job.pushId);
    if (found == fanouts.end() || found->second.owed.erase(job.subscriptionId) == 0)
        return false;
    Fanout &fanout = found->second;
    if (row)
        fanout.rows.push_back(*row);
    if (!fanout.firstOutcome)
        fanout.firstOutcome = std::chrono::steady_clock::now();
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

// Writes the outcomes at hand in one transaction: accepted deliveries' rows go, and the queue entries of the
// pushes that owe nothing more, or that must keep an outcome, go, replaced by rows for what they still owe.
// `everyOutcome`: every push with an outcome, however recent (on stopping).
void Delivery::Impl::record(bool everyOutcome)
{
    recordPosted = false;
    DeliveryRecord outcomes;
    outcomes.delivered = std::move(delivered);
    delivered.clear();
    const auto now = std::chrono::steady_clock::now();
    bool waiting = false;
    for (auto it = fanouts.begin(); it != fanouts.end();) {
        Fanout &fanout = it->second;
        const bool keep = fanout.firstOutcome &&
                          (everyOutcome || !fanout.rows.empty() || now - *fanout.firstOutcome >= partialRecordDelay);
        if (!fanout.owed.empty() && !keep) {
            waiting = waiting || fanout.firstOutcome.has_value();
            ++it;
            continue;
        }
        outcomes.taken.push_back(it->first);
        outcomes.rows.insert(outcomes.rows.end(), fanout.rows.begin(), fanout.rows.end());
        for (const std::int64_t subscription : fanout.owed)
            outcomes.rows.push_back({it->first, subscription, 0, fanout.createdAt, fanout.createdAt});
        it = fanouts.erase(it);
    }
    if (!outcomes.delivered.empty() || !outcomes.taken.empty()) {
        try {
            inStore([&] { owner.m_store.recordDeliveries(outcomes); });
            stale = stale || !outcomes.rows.empty();
        } catch (const std::exception &e) {
            // What was taken is taken again, and what was accepted may be sent again: twice is better than never.
            logLine("Web Push: recording the outcome of %zu deliveries failed: %s",
                    outcomes.delivered.size() + outcomes.taken.size(), e.what());
            lastTaken = 0;
            stale = true;
        }
    }
    if (waiting && !recordTimerSet && !stopped) {
        recordTimerSet = true;
        recordTimer.expires_after(partialRecordDelay);
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
        stale = true;
        schedule();
    });
}

// False when the delivery was dropped rather than started.
bool Delivery::Impl::begin(const PendingDelivery &delivery, std::int64_t now)
{
    const DeliveryOptions &options = owner.m_options;
    const auto endpoint = webpush::parseEndpoint(delivery.endpoint);
    const std::string &origin = endpoint.value.origin;
    const Job job{delivery.push.id, delivery.subscriptionId, delivery.attempts, delivery.firstAttemptAt, origin};
    const std::string refusal =
        endpoint.ok() ? endpointRefusal(endpoint.value, options.allowLoopbackHttp) : "the endpoint " + endpoint.error;
    if (!refusal.empty()) {
        forget(job, refusal);
        return false;
    }
    if (now - delivery.firstAttemptAt >= options.maxAge) {
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

    send(job, endpoint.value, makeRequest(endpoint.value, body.value, authorization.value));
    return true;
}

// The page's test message, sent as a push is but with id 0, which names no push.
void Delivery::Impl::beginTest(const WebPushSubscription &subscription, const std::string &deviceName)
{
    const auto endpoint = webpush::parseEndpoint(subscription.endpoint);
    const Job job{0, subscription.id, 0, 0, endpoint.value.origin, true};
    if (inFlight.count({0, subscription.id}))
        return; // one test under way for it is enough
    const std::string refusal = endpoint.ok() ? endpointRefusal(endpoint.value, owner.m_options.allowLoopbackHttp)
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
    send(job, endpoint.value, makeRequest(endpoint.value, body.value, authorization.value));
}

// Over a kept connection to the origin when there is one, else over a new one.
void Delivery::Impl::send(const Job &job, const webpush::Endpoint &endpoint, std::shared_ptr<Request> request)
{
    inFlight.insert({job.pushId, job.subscriptionId});
    if (const std::shared_ptr<Connection> kept = takeIdle(endpoint.origin)) {
        kept->exchange(request, [this, job, endpoint, request](Attempt attempt) {
            if (attempt.stale)
                lookUp(job, endpoint, request);
            else
                finished(job, attempt);
        });
        return;
    }
    lookUp(job, endpoint, std::move(request));
}

// A subscription that can never be sent to goes, with what it was still owed.
void Delivery::Impl::forget(const Job &job, const std::string &why)
{
    logLine("Web Push: subscription %lld removed: %s", static_cast<long long>(job.subscriptionId), why.c_str());
    certificateFailures.erase(job.subscriptionId);
    inStore([&] { owner.m_store.deleteSubscription(job.subscriptionId); });
    if (!job.test)
        settle(job);
}

// Finds the endpoint's addresses, then connects to them. A name lookup blocks, so it runs on a thread of its
// own, and a stop does not wait for it.
void Delivery::Impl::lookUp(const Job &job, const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request)
{
    const bool literal = owner.m_options.allowLoopbackHttp && isLoopbackLiteral(endpoint.host);
    auto lookup = [lookups = lookups, literal, job, endpoint, request = std::move(request), this]() mutable {
        bool notPublic = false;
        auto found = literal ? webpush::Outcome<std::vector<webpush::ResolvedAddress>>{}
                             : webpush::resolvePublic(endpoint.host, endpoint.port, &notPublic);
        if (literal) {
            webpush::ResolvedAddress address;
            const net::ip::address ip = net::ip::make_address(endpoint.host);
            const tcp::endpoint where(ip, endpoint.port);
            std::memcpy(&address.address, where.data(), where.size());
            address.length = static_cast<socklen_t>(where.size());
            found.value.push_back(address);
        }
        std::lock_guard<std::mutex> lock(lookups->mutex);
        if (lookups->io)
            net::post(*lookups->io, [this, job, endpoint = std::move(endpoint), request = std::move(request),
                                     found = std::move(found), notPublic]() mutable {
                connect(job, endpoint, std::move(request), std::move(found), notPublic);
            });
    };
    if (literal)
        return lookup(); // nothing to look up, nothing that blocks
    try {
        std::thread(std::move(lookup)).detach();
    } catch (const std::system_error &e) {
        Attempt attempt;
        attempt.error = std::string("no thread for the name lookup: ") + e.what();
        net::post(io, [this, job, attempt] { finished(job, attempt); });
    }
}

void Delivery::Impl::connect(const Job &job, const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request,
                             webpush::Outcome<std::vector<webpush::ResolvedAddress>> found, bool notPublic)
{
    if (!found.ok()) {
        Attempt attempt;
        attempt.error = found.error;
        attempt.notPublic = notPublic;
        return finished(job, attempt);
    }
    std::vector<tcp::endpoint> addresses;
    for (const webpush::ResolvedAddress &address : found.value) {
        tcp::endpoint where;
        if (address.length > where.capacity())
            continue;
        std::memcpy(where.data(), &address.address, address.length);
        where.resize(address.length);
        addresses.push_back(where);
    }
    auto done = [this, job](Attempt attempt) { finished(job, attempt); };
    auto keep = [this, origin = endpoint.origin](std::shared_ptr<Connection> connection) {
        keepIdle(origin, std::move(connection));
    };
    if (endpoint.scheme != "https") {
        std::make_shared<StreamConnection<beast::tcp_stream>>(beast::tcp_stream(io), owner.m_options, std::move(keep))
            ->open(std::move(addresses), std::move(request), std::move(done));
        return;
    }
    beast::ssl_stream<beast::tcp_stream> stream(io, tls);
    error_code ec;
    // A name goes into SNI; an address may not.
    const bool named = !literalIsPublic(endpoint.host).has_value();
    if (named && SSL_set_tlsext_host_name(stream.native_handle(), endpoint.host.c_str()) != 1)
        ec = net::error::invalid_argument;
    if (!ec)
        stream.set_verify_mode(ssl::verify_peer, ec);
    if (!ec)
        stream.set_verify_callback(ssl::host_name_verification(endpoint.host), ec);
    if (ec) {
        Attempt attempt;
        attempt.error = "TLS set-up: " + ec.message();
        return finished(job, attempt);
    }
    std::make_shared<StreamConnection<beast::ssl_stream<beast::tcp_stream>>>(std::move(stream), owner.m_options,
                                                                             std::move(keep))
        ->open(std::move(addresses), std::move(request), std::move(done));
}

// The origin's most recently used connection, if it has not waited too long. Each origin's connections are kept
// in the order they fell idle, so when the last one waited too long, all did: they are closed.
std::shared_ptr<Connection> Delivery::Impl::takeIdle(const std::string &origin)
{
    const auto found = idle.find(origin);
    if (found == idle.end())
        return nullptr;
    auto &connections = found->second;
    std::shared_ptr<Connection> taken = std::move(connections.back());
    connections.pop_back();
    --idleCount;
    if (std::chrono::steady_clock::now() - taken->idleSince >= connectionIdleTime) {
        taken->close();
        taken.reset();
        closeIdle();
    } else if (connections.empty()) {
        idle.erase(found);
    }
    return taken;
}

void Delivery::Impl::keepIdle(const std::string &origin, std::shared_ptr<Connection> connection)
{
    const auto kept = idle.find(origin);
    if (idleCount >= maxIdleConnections || (kept != idle.end() && kept->second.size() >= maxIdlePerOrigin)) {
        connection->close();
        return;
    }
    idle[origin].push_back(std::move(connection));
    ++idleCount;
    if (!idleTimerSet)
        closeIdleAt(std::chrono::steady_clock::now() + connectionIdleTime);
}

// Closes the connections that waited too long, and sets the timer for the next one to.
void Delivery::Impl::closeIdle()
{
    const auto now = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> next;
    for (auto origin = idle.begin(); origin != idle.end();) {
        auto &connections = origin->second;
        const auto fresh = std::find_if(connections.begin(), connections.end(), [now](const auto &connection) {
            return now - connection->idleSince < connectionIdleTime;
        });
        std::for_each(connections.begin(), fresh, [](const auto &connection) { connection->close(); });
        idleCount -= static_cast<std::size_t>(fresh - connections.begin());
        connections.erase(connections.begin(), fresh);
        if (connections.empty()) {
            origin = idle.erase(origin);
            continue;
        }
        next = std::min(next.value_or(connections.front()->idleSince), connections.front()->idleSince);
        ++origin;
    }
    if (next && !idleTimerSet)
        closeIdleAt(*next + connectionIdleTime);
}

void Delivery::Impl::closeIdleAt(std::chrono::steady_clock::time_point when)
{
    idleTimerSet = true;
    idleTimer.expires_at(when);
    idleTimer.async_wait([this](error_code ec) {
        idleTimerSet = false;
        if (!ec)
            closeIdle();
    });
}

void Delivery::Impl::finished(const Job &job, const Attempt &attempt)
{
    inFlight.erase({job.pushId, job.subscriptionId});
    if (stopped)
        return;
    const DeliveryOptions &options = owner.m_options;
    Store &store = owner.m_store;
    const long long push = job.pushId;
    const int status = attempt.status;
    try {
        int certificateFailed = 0;
        if (attempt.badCertificate)
            certificateFailed = ++certificateFailures[job.subscriptionId];
        else if (status != 0)
            certificateFailures.erase(job.subscriptionId);
        // Sending again would not help: the name leads into a network of ours, or the push service's certificate
        // keeps failing verification. Retrying for a day would only spend requests.
        if (attempt.notPublic) {
            forget(job, attempt.error);
        } else if (certificateFailed >= std::max(options.certificateFailures, 1)) {
            forget(job, std::to_string(certificateFailed) + " certificate failures in a row (" + attempt.error + ")");
        } else if (job.test) {
            if (status == 404 || status == 410)
                forget(job, job.origin + " answered " + std::to_string(status) + ": the subscription is gone");
            else if (status < 200 || status >= 300)
                logLine("Web Push: the test message to %s failed: %s", job.origin.c_str(),
                        status ? std::to_string(status).c_str() : attempt.error.c_str());
        } else if (status >= 200 && status < 300) {
            if (!settle(job)) {
                delivered.push_back({job.pushId, job.subscriptionId});
                postRecord();
            }
        } else if (status == 404 || status == 410) {
            logLine("Web Push: %s answered %d for push %lld: the subscription is gone, removed", job.origin.c_str(),
                    status, push);
            inStore([&] { store.deleteSubscription(job.subscriptionId); });
            settle(job);
        } else if (status == 0 || status == 429 || status >= 500) {
            const int attempts = job.attempts + 1;
            const std::int64_t backoff =
                std::min(options.firstRetry << std::min(attempts - 1, 20), options.longestRetry);
            const std::int64_t delay =
                attempt.retryAfter ? std::clamp<std::int64_t>(*attempt.retryAfter, 1, options.longestRetry) : backoff;
            const std::int64_t now = store.now();
            const std::string why = status ? std::to_string(status) : attempt.error;
            if (now + delay - job.firstAttemptAt >= options.maxAge) {
                logLine("Web Push: push %lld to %s failed (%s) and is older than %lld s: dropped", push,
                        job.origin.c_str(), why.c_str(), static_cast<long long>(options.maxAge));
                drop(job);
            } else {
                logLine("Web Push: push %lld to %s failed (%s): again in %lld s", push, job.origin.c_str(), why.c_str(),
                        static_cast<long long>(delay));
                if (!settle(job,
                            DeliveryRow{job.pushId, job.subscriptionId, attempts, now + delay, job.firstAttemptAt}))
                    inStore([&] { store.retryDelivery(job.pushId, job.subscriptionId, attempts, now + delay); });
                // Back in the queue, later: the timer is set when it is read again.
                stale = true;
            }
        } else {
            logLine("Web Push: %s refused push %lld with %d: dropped", job.origin.c_str(), push, status);
            drop(job);
        }
    } catch (const std::exception &e) {
        logLine("Web Push: noting the outcome of push %lld failed: %s", push, e.what());
        stale = true;
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
        impl->stale = true;
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
    {
        std::lock_guard<std::mutex> lock(m_impl->lookups->mutex);
        m_impl->lookups->io = nullptr;
    }
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
