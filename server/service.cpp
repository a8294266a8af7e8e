#include "service.h"

#include "delivery.h"
#include "http.h"
#include "phonepage.h"
#include "qrcode.h"
#include "query.h"
#include "secrets.h"
#include "webpush_address.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <limits>
#include <thread>
#include <vector>

namespace pushserver {

// Work that blocks, run by a few threads of its own with a short queue in front of them, so that it never holds
// the threads that serve the connections. Each password check takes 64 MiB for a tenth of a second; each name
// lookup of a subscription's push service may wait seconds for the resolver. A request that finds the queue
// full is answered at once, so a burst of them holds neither memory nor the threads that serve the pushes.
class BlockingWork final
{
public:
    BlockingWork(int threads, std::size_t queueLength) : m_queueLength(queueLength)
    {
        for (int i = 0; i < threads; ++i)
            m_threads.emplace_back([this] { work(); });
    }

    ~BlockingWork() { stop(); }

    // False when the queue is full, short of `spare` places, or when the checks have stopped.
    bool submit(std::function<void()> task, std::size_t spare = 0)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopped || m_queue.size() + spare >= m_queueLength)
                return false;
            m_queue.push_back(std::move(task));
        }
        m_changed.notify_one();
        return true;
    }

    // Checks under way finish, waiting ones are dropped (their clients see the connection close).
    void stop()
    {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopped = true;
            dropped.swap(m_queue);
        }
        m_changed.notify_all();
        for (std::thread &thread : m_threads)
            if (thread.joinable())
                thread.join();
    }

private:
    void work()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [this] { return m_stopped || !m_queue.empty(); });
                if (m_stopped)
                    return;
                task = std::move(m_queue.front());
                m_queue.pop_front();
            }
            task();
        }
    }

    const std::size_t m_queueLength;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_queue;
    bool m_stopped = false;
    std::vector<std::thread> m_threads;
};

namespace {

using json = nlohmann::ordered_json;

constexpr std::size_t maxTargetLength = 4096;
// A route with no target limit of its own: the HTTP layer's header limit holds.
constexpr std::size_t byHttpLayer = std::numeric_limits<std::size_t>::max();
constexpr std::size_t maxKeyLength = 128;
constexpr std::size_t maxUsernameLength = 128;
constexpr std::size_t maxDeviceIdLength = 64;
constexpr std::size_t maxMessageLength = 1024;
constexpr std::size_t maxExtraLength = 256;
constexpr std::size_t maxCodeLength = 16;
constexpr std::size_t pageTokenLength = 32;
constexpr int keysKeptPerAccount = 32;
constexpr int pushesOnPage = 50;
// How often the open event streams' pages are checked against the database, which other processes may change.
constexpr std::chrono::seconds pageWatchInterval{1};
constexpr int pushesPerStreamBatch = 20;
constexpr int passwordCheckThreads = 2;
constexpr std::size_t passwordChecksWaiting = 8;
// Waiting places that only clients that neither failed nor kept trying while refused may take: guesses from many
// addresses cannot fill the queue and keep the real user out with "busy".
constexpr std::size_t passwordChecksForNewClients = 4;
constexpr int streamsPerAccount = 8;
constexpr int streamsInTotal = 1024;
// A phone that subscribed in several browsers, or again after clearing one, keeps its newest few.
constexpr int subscriptionsPerDevice = 10;
constexpr std::size_t maxSubscriptionKeyLength = 128;
// Name lookups of the push services that pages subscribe with.
constexpr int nameLookupThreads = 2;
constexpr std::size_t nameLookupsWaiting = 16;
// A page may have its test message sent once in this time, so that no page makes the service flood a push
// service; the devices remembered for it are bounded too.
constexpr auto testInterval = std::chrono::seconds(5);
constexpr std::size_t testsRemembered = 4096;

const char *const jsonType = "application/json";
const char *const textType = "text/plain; charset=utf-8";

HttpResponse replyJson(int status, const json &body)
{
    HttpResponse res;
    res.status = status;
    res.headers.emplace_back("Cache-Control", "no-store");
    res.contentType = jsonType;
    res.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
    return res;
}

HttpResponse replyBadRequest(const std::string &why)
{
    return replyJson(400, {{"status", "bad request"}, {"error", why}});
}

HttpResponse replyText(int status, const std::string &text)
{
    HttpResponse res;
    res.status = status;
    res.headers.emplace_back("Cache-Control", "no-store");
    res.contentType = textType;
    res.body = text;
    return res;
}

// Whether to log this failure: while the database is away every request fails alike, and one line a second says
// it well enough.
bool logged(const std::exception &e)
{
    if (!dynamic_cast<const StoreUnavailable *>(&e))
        return true;
    static std::atomic<std::int64_t> lastLogged{0};
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::int64_t last = lastLogged.load();
    return now != last && lastLogged.compare_exchange_strong(last, now);
}

// What a request that failed on the unexpected gets: the database out of reach (restarted, failing over) is a
// moment's unavailability that a client or load balancer may retry; anything else is the service's own fault.
HttpResponse replyFailure(const std::exception &e)
{
    if (dynamic_cast<const StoreUnavailable *>(&e)) {
        HttpResponse res =
            replyJson(503, {{"status", "unavailable"}, {"error", "the database cannot be reached: try again shortly"}});
        res.headers.emplace_back("Retry-After", "2");
        return res;
    }
    return replyJson(500, {{"status", "error"}, {"error", "internal error"}});
}

// Every answer that the desktop program must act on comes with 200: it reads any other HTTP status as a
// failed connection. A status other than "valid" makes it ask the user to sign in again, unless the answer
// carries a "message", which it shows instead.
HttpResponse replyRefusedKey()
{
    return replyJson(200, {{"status", "invalid"}, {"error", "api key refused: sign in again"}});
}

// The same for a device removed since the program fetched its list: signing in again fetches the new one.
HttpResponse replyUnknownDevice()
{
    return replyJson(200, {{"status", "unknown device"}, {"error", "no device with this id: sign in again"}});
}

// A push beyond the key's rate: its message, in the language of the request, says when to try again.
HttpResponse replyTooManyPushes(std::chrono::seconds wait, std::string_view acceptLanguage)
{
    const std::string seconds = std::to_string(wait.count());
    const std::string message = pageLanguage(acceptLanguage) == PageLanguage::French
                                    ? "trop d'envois, réessayez dans " + seconds + " s"
                                    : "too many pushes, try again in " + seconds + " s";
    HttpResponse res = replyJson(200, {{"status", "too many pushes"}, {"message", message}});
    res.headers.emplace_back("Retry-After", seconds);
    res.headers.emplace_back("Vary", "Accept-Language");
    return res;
}

json deviceList(const std::vector<Device> &devices)
{
    json list = json::array();
    for (const Device &device : devices)
        list.push_back({{"id", device.id}, {"name", device.name}});
    return list;
}

enum class Lines { Forbidden, Allowed };
enum class Need { Required, Optional };

// A request's parameters, read in the order they are checked. The first problem (a malformed query, a missing
// parameter, one too long, not UTF-8 or holding control characters) ends the reading: later reads give empty
// values, and the problem is the reason of the answer.
class Parameters final
{
public:
    explicit Parameters(const HttpRequest &req)
    {
        std::string error;
        m_query = Query::parse(Query::ofTarget(req.target), &error);
        if (!m_query)
            m_problem = error.empty() ? "malformed query" : error;
    }

    std::string get(const char *name, std::size_t maxBytes, Need need, Lines lines = Lines::Forbidden)
    {
        if (!ok())
            return {};
        const std::string *value = m_query->find(name);
        if (!value) {
            if (need == Need::Required)
                m_problem = std::string("missing parameter: ") + name;
            return {};
        }
        if (value->size() > maxBytes)
            m_problem =
                std::string("parameter too long: ") + name + " (at most " + std::to_string(maxBytes) + " bytes)";
        else if (!isValidUtf8(*value))
            m_problem = std::string("parameter is not UTF-8 text: ") + name;
        else if (hasControlCharacters(*value, lines == Lines::Allowed))
            m_problem = std::string("parameter holds control characters: ") + name;
        return ok() ? *value : std::string();
    }

    // Taken as given: a device name, whose problems the caller answers in its own way.
    std::string unchecked(const char *name)
    {
        if (!ok())
            return {};
        const std::string *value = m_query->find(name);
        if (!value)
            m_problem = std::string("missing parameter: ") + name;
        return value ? *value : std::string();
    }

    std::string apiKey() { return get("apikey", maxKeyLength, Need::Required); }

    // A problem of the caller's own, such as an empty message.
    void refuse(std::string why)
    {
        if (ok())
            m_problem = std::move(why);
    }

    bool ok() const { return m_problem.empty(); }
    const std::string &problem() const { return m_problem; }

private:
    std::optional<Query> m_query;
    std::string m_problem;
};

// The desktop program's requests carry an api key, looked up once their parameters are read: `answer` gets the
// key's account. A bad parameter is answered here, and so is a refused key (the program then asks the user to
// sign in again).
HttpResponse forAccount(Store &store, const Parameters &given, const std::string &key,
                        const std::function<HttpResponse(std::int64_t account)> &answer)
{
    if (!given.ok())
        return replyBadRequest(given.problem());
    const auto account = store.accountOfKey(sha256(key));
    if (!account)
        return replyRefusedKey();
    return answer(*account);
}

bool isLowerHexDigest(const std::string &text)
{
    return text.size() == 40 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return text;
}

std::optional<std::int64_t> decimal(const std::string &text)
{
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoll(text);
}

bool isTokenCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool isPageToken(std::string_view text)
{
    return text.size() == pageTokenLength && std::all_of(text.begin(), text.end(), isTokenCharacter);
}

HttpResponse homeScreenIconFile(int size)
{
    HttpResponse res;
    res.contentType = "image/png";
    const std::string_view png = homeScreenIcon(size);
    res.body.assign(png.data(), png.size());
    // The same picture for every page and no secret in its address: phones and proxies may keep it.
    res.headers = {{"Cache-Control", "public, max-age=31536000"}, {"X-Content-Type-Options", "nosniff"}};
    return res;
}

// Access-log form of a path that no route took. A page address may reach the service in many spellings (a
// doubled slash, a dot segment, percent-escapes, a prefix), so every long run of characters that could spell
// a token, escaped or not, is left out, whatever surrounds it.
std::string loggableUnknownPath(std::string_view path)
{
    constexpr std::size_t longestKept = 9;
    std::string out;
    std::size_t i = 0;
    while (i < path.size() && out.size() < 120) {
        std::size_t run = i;
        while (run < path.size() && (isTokenCharacter(path[run]) || path[run] == '%'))
            ++run;
        if (run - i > longestKept) {
            out += "*";
            i = run;
        } else if (run > i) {
            out.append(path.substr(i, run - i));
            i = run;
        } else {
            out += path[i++];
        }
    }
    return out;
}

// The text of the pushes stored for one page after the last one it got, for its event stream.
class PushEvents final : public EventSource
{
public:
    PushEvents(Store &store, std::int64_t deviceRow, std::int64_t after,
               std::unique_ptr<PushHub::Subscription> subscription)
        : m_store(store), m_deviceRow(deviceRow), m_last(after), m_subscription(std::move(subscription))
    {
    }

    void start(std::function<void()> wake) override { m_subscription->onPublished(std::move(wake)); }

    std::string take() override
    {
        std::string text;
        try {
            for (const Push &push : m_store.pushesAfter(m_deviceRow, m_last, pushesPerStreamBatch)) {
                text += "id: " + std::to_string(push.id) + "\nevent: push\ndata: " + pushJson(push) + "\n\n";
                m_last = push.id;
            }
        } catch (const std::exception &e) {
            std::fprintf(stderr, "tapvela-server: reading pushes for a page failed: %s\n", e.what());
        }
        return text;
    }

    bool finished() override { return m_subscription->ended(); }

private:
    Store &m_store;
    const std::int64_t m_deviceRow;
    std::int64_t m_last;
    std::unique_ptr<PushHub::Subscription> m_subscription;
};

} // namespace

std::string urlHost(const std::string &address)
{
    if (address == "0.0.0.0")
        return "127.0.0.1";
    if (address == "::")
        return "[::1]";
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

std::string pageAddress(const std::string &base, const std::string &pageToken)
{
    std::string root = base;
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    return root + "/d/" + pageToken;
}

bool isPlainHost(std::string_view host)
{
    std::string_view name = host, port;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(0, close + 1);
        const std::string_view inside = name.substr(1, name.size() - 2);
        if (inside.size() < 2 || inside.size() > 45 || inside.find(':') == std::string_view::npos ||
            !std::all_of(inside.begin(), inside.end(), [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
                       c == '.';
            }))
            return false;
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':')
                return false;
            port = host.substr(close + 2);
            if (port.empty())
                return false;
        }
    } else {
        const std::size_t colon = host.find(':');
        if (colon != std::string_view::npos) {
            name = host.substr(0, colon);
            port = host.substr(colon + 1);
            if (port.empty())
                return false;
        }
        // Dot-separated labels of letters, digits and hyphens: a DNS name or an IPv4 address.
        if (name.empty() || name.size() > 253)
            return false;
        std::size_t label = 0;
        for (std::size_t i = 0; i <= name.size(); ++i) {
            if (i == name.size() || name[i] == '.') {
                if (label == 0 || label > 63)
                    return false;
                label = 0;
            } else if (isTokenCharacter(name[i]) && name[i] != '_') {
                ++label;
            } else {
                return false;
            }
        }
    }
    if (port.empty())
        return true;
    return port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
           std::stoi(std::string(port)) >= 1 && std::stoi(std::string(port)) <= 65535;
}

Service::Service(Store &store, ServiceOptions options)
    : m_store(store), m_options(options), m_hub(streamsPerAccount, streamsInTotal),
      m_pushRate(PushRate::Limits{options.pushesPerSecond, options.pushBurst})
{
    HttpLimits limits = m_options.http;
    limits.streamLifetime = m_options.streamLifetime;
    m_http = std::make_unique<HttpServer>(
        limits, m_options.accessLog,
        [this](const HttpRequest &request, Responder respond) { handle(request, respond); });
}

Service::~Service()
{
    stopWatching();
    // The checks under way answer through the server's connections: they end first.
    if (m_checks)
        m_checks->stop();
    if (m_lookups)
        m_lookups->stop();
    m_http.reset();
}

int Service::bind(const std::string &address, int port)
{
    const int bound = m_http->bind(address, port);
    if (bound >= 0)
        m_listenHost = urlHost(address) + ":" + std::to_string(bound);
    return bound;
}

bool Service::run()
{
    // Started here rather than on construction, so that the threads inherit the caller's blocked signals.
    m_checks = std::make_unique<BlockingWork>(passwordCheckThreads, passwordChecksWaiting);
    m_lookups = std::make_unique<BlockingWork>(nameLookupThreads, nameLookupsWaiting);
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        if (!m_watchStopped)
            m_pageWatch = std::thread([this] { watchPages(); });
    }
    const bool served = m_http->run(std::max(1, m_options.threads));
    stopWatching();
    return served;
}

void Service::stop()
{
    m_hub.close();
    m_http->stop();
    stopWatching();
}

void Service::pushStoredElsewhere(std::int64_t deviceRow)
{
    if (deviceRow != 0) {
        m_hub.published(deviceRow);
        return;
    }
    for (const PushHub::Page &page : m_hub.openPages())
        m_hub.published(page.deviceRow);
}

void Service::stopWatching()
{
    std::thread watch;
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        m_watchStopped = true;
        watch = std::move(m_pageWatch);
    }
    m_watchWake.notify_all();
    if (watch.joinable() && watch.get_id() != std::this_thread::get_id())
        watch.join();
}

// The operator's commands (a new page address, a removed device or account) change the database from another
// process. Every request looks its page up again, but an open event stream was admitted once: each second, when
// another process wrote to the database, the open streams' pages are looked up again and those gone are ended.
// The next second's round looks again, for a stream admitted just before the change and opened just after the
// look. One query of a cheap pragma a second, and one index probe per open page after a change.
void Service::watchPages()
{
    std::int64_t seen = 0;
    int rounds = 0;
    std::unique_lock<std::mutex> lock(m_watchMutex);
    while (!m_watchStopped) {
        m_watchWake.wait_for(lock, pageWatchInterval, [this] { return m_watchStopped; });
        if (m_watchStopped)
            return;
        lock.unlock();
        try {
            const std::int64_t version = m_store.dataVersion();
            if (version != seen)
                rounds = 2;
            seen = version;
            if (rounds > 0) {
                --rounds;
                for (const PushHub::Page &page : m_hub.openPages()) {
                    const auto device = m_store.deviceByToken(page.pageToken);
                    if (!device || device->row != page.deviceRow)
                        m_hub.end(page);
                }
            }
        } catch (const std::exception &e) {
            std::fprintf(stderr, "tapvela-server: checking the open pages failed: %s\n", e.what());
        }
        lock.lock();
    }
}

bool Service::useTls(const std::string &certFile, const std::string &keyFile, std::string *error)
{
    return m_http->useTls(certFile, keyFile, error);
}

// What a route's handler is given: the request, the page token of a route under /d/<token>, and the way to
// answer later. A handler returns its answer, or nothing when it answers later through `respond`.
struct Service::Call
{
    const HttpRequest &request;
    std::string token;
    const Responder &respond;
};

// One route: which requests reach it and what each may cost.
struct Service::Route
{
    // The one method that does the route's work: GET, or POST for the page's own fetch() calls, which change
    // state and carry no body.
    std::string_view method;
    // HEAD answered as GET without its body, where a GET changes nothing.
    bool head;
    // Under /d/<page token>: then `path` is what follows the token.
    bool onPage;
    std::string_view path;
    // The longest request target taken. The page's POSTs are bounded by the HTTP layer's header limit and their
    // parameters one by one: a subscription's endpoint, percent-escaped, may come near the other routes' limit.
    std::size_t maxTarget;
    std::optional<HttpResponse> (*handle)(Service &, const Call &);
};

const std::vector<Service::Route> Service::s_routes = {
    {"GET", true, false, "/", maxTargetLength,
     [](Service &, const Call &) -> std::optional<HttpResponse> {
         return replyText(200, "tapvela-server: push service for the tapvela desktop program\n");
     }},
    // For load balancers: whether this instance can reach its database.
    {"GET", true, false, "/healthz", maxTargetLength,
     [](Service &s, const Call &) -> std::optional<HttpResponse> {
         if (s.m_store.reachable())
             return replyText(200, "ok\n");
         return replyText(503, "the database cannot be reached\n");
     }},
    {"GET", false, false, "/all/login_app.php", maxTargetLength,
     [](Service &s, const Call &c) { return s.login(c.request, c.respond); }},
    {"GET", true, false, "/all/devices_app.php", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.devices(c.request); }},
    {"GET", false, false, "/all/set_name_app.php", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.setName(c.request); }},
    {"GET", false, false, "/all/add_device_app.php", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.addDevice(c.request); }},
    {"GET", true, false, "/all/device_page_app.php", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.devicePage(c.request); }},
    {"GET", false, false, "/all/api.php", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.push(c.request); }},
    {"GET", true, true, "", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.page(c.request, c.token, false); }},
    {"GET", false, true, "/events", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.events(c.request, c.token); }},
    {"GET", true, true, "/push-key", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.pushKey(c.token); }},
    // The page again, asked with a closing slash: a notification opens it so.
    {"GET", true, true, "/", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.page(c.request, c.token, true); }},
    {"GET", true, true, "/sw.js", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.pageFile(c.request, c.token, "sw.js"); }},
    {"GET", true, true, "/manifest.webmanifest", maxTargetLength,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> {
         return s.pageFile(c.request, c.token, "manifest.webmanifest");
     }},
    {"POST", false, true, "/subscription", byHttpLayer,
     [](Service &s, const Call &c) { return s.subscription(c.request, c.token, c.respond); }},
    {"POST", false, true, "/test-notification", byHttpLayer,
     [](Service &s, const Call &c) -> std::optional<HttpResponse> { return s.testNotification(c.request, c.token); }},
    {"GET", true, false, "/icon-192.png", maxTargetLength,
     [](Service &, const Call &) -> std::optional<HttpResponse> { return homeScreenIconFile(192); }},
    {"GET", true, false, "/icon-512.png", maxTargetLength,
     [](Service &, const Call &) -> std::optional<HttpResponse> { return homeScreenIconFile(512); }},
};

void Service::handle(const HttpRequest &request, const Responder &respond)
{
    const std::string_view target = request.target;
    const std::string_view path = target.substr(0, target.find('?'));
    const bool head = request.method == "HEAD";
    // A page's routes are /d/<token> and what follows it; the token never reaches the log.
    const bool onPage = path.size() >= 3 + pageTokenLength && path.substr(0, 3) == "/d/" &&
                        isPageToken(path.substr(3, pageTokenLength));
    const std::string_view rest = onPage ? path.substr(3 + pageTokenLength) : path;
    const auto route = std::find_if(s_routes.begin(), s_routes.end(), [&](const Route &r) {
        return r.onPage ? onPage && r.path == rest : r.path == path;
    });
    const bool found = route != s_routes.end();
    std::string logPath = !found          ? loggableUnknownPath(path)
                          : route->onPage ? "/d/(page)" + std::string(route->path)
                                          : std::string(path);
    HttpResponse response;
    // Nothing but the one method of a route (and HEAD where it changes nothing) is taken; the message names GET
    // for every route but the page's POSTs.
    const auto refuseMethod = [&](std::string_view allowed, const char *allow) {
        response = replyText(405, "only " + std::string(allowed) + " is served here\n");
        response.headers.emplace_back("Allow", allow);
    };
    try {
        if (found && route->method == "POST") {
            if (request.method != "POST") {
                refuseMethod("POST", "POST");
            } else if (target.size() > route->maxTarget) {
                response = replyText(414, "request too long\n");
                logPath = "-";
            } else {
                std::optional<HttpResponse> answer =
                    route->handle(*this, Call{request, std::string(path.substr(3, pageTokenLength)), respond});
                if (!answer)
                    return;
                response = std::move(*answer);
            }
        } else if (request.method != "GET" && !head) {
            refuseMethod("GET", "GET");
            logPath = "-";
        } else if (target.size() > (found ? route->maxTarget : maxTargetLength)) {
            response = replyText(414, "request too long\n");
            logPath = "-";
        } else if (!found) {
            response = replyText(404, "not found\n");
        } else if (head && !route->head) {
            refuseMethod("GET", "GET");
        } else {
            const std::string token = route->onPage ? std::string(path.substr(3, pageTokenLength)) : std::string();
            std::optional<HttpResponse> answer = route->handle(*this, Call{request, token, respond});
            if (!answer)
                return;
            response = std::move(*answer);
        }
    } catch (const std::exception &e) {
        if (logged(e))
            std::fprintf(stderr, "tapvela-server: %s %s failed: %s\n", logEscaped(request.method, 16).c_str(),
                         logEscaped(logPath, 160).c_str(), e.what());
        response = replyFailure(e);
    }
    response.logPath = logPath;
    respond(std::move(response));
}

// Nothing when the answer comes later through `respond`, once the password is checked.
std::optional<HttpResponse> Service::login(const HttpRequest &req, const Responder &respond)
{
    Parameters given(req);
    const std::string username = given.get("username", maxUsernameLength, Need::Required);
    const std::string password = given.get("password", 40, Need::Required);
    if (!given.ok())
        return replyText(400, given.problem() + "\n");
    const std::string digest = lowered(password);
    if (!isLowerHexDigest(digest))
        return replyText(400, "password must be the 40-digit SHA-1 digest of the password\n");
    // Counted as failed from here on, so that attempts sent together are held like attempts one after another.
    std::chrono::seconds wait;
    bool givesWay = false;
    {
        std::lock_guard<std::mutex> lock(m_throttleMutex);
        const auto time = LoginThrottle::Clock::now();
        givesWay = m_throttle.givesWay(req.client, time);
        wait = m_throttle.admit(req.client, username, time);
    }
    if (wait.count() > 0) {
        HttpResponse res = replyJson(
            429, {{"status", "too many attempts"},
                  {"error", "too many failed sign-ins: try again in " + std::to_string(wait.count()) + " s"}});
        res.headers.emplace_back("Retry-After", std::to_string(wait.count()));
        return res;
    }
    const auto done = [this, client = req.client, user = username](LoginThrottle::Outcome outcome) {
        std::lock_guard<std::mutex> lock(m_throttleMutex);
        m_throttle.finished(client, user, outcome, LoginThrottle::Clock::now());
    };
    std::optional<std::pair<std::int64_t, std::string>> account;
    try {
        account = m_store.credentials(username);
    } catch (...) {
        done(LoginThrottle::Outcome::NotRun);
        throw;
    }
    const bool queued = m_checks->submit(
        [this, account = std::move(account), digest, user = username, client = req.client, respond, done] {
            HttpResponse response;
            auto outcome = LoginThrottle::Outcome::Failed;
            try {
                // An unknown name costs as much time as a wrong password, so timing does not tell which names exist.
                static const std::string unknownUserHash = hashPassword("no such account");
                const bool matches = verifyPassword(account ? account->second : unknownUserHash, digest);
                if (!account || !matches) {
                    // A name that no account has may be a password typed into the wrong field: it stays out of the log.
                    if (account)
                        std::fprintf(stderr, "tapvela-server: failed sign-in for user \"%s\" from %s\n",
                                     logEscaped(user, 64).c_str(), logEscaped(client, 64).c_str());
                    else
                        std::fprintf(stderr,
                                     "tapvela-server: failed sign-in for a user name that no account has, from %s\n",
                                     logEscaped(client, 64).c_str());
                    response = replyText(200, "error");
                } else {
                    outcome = LoginThrottle::Outcome::Proven;
                    const std::string key = randomHex(24);
                    m_store.addApiKey(account->first, sha256(key), keysKeptPerAccount);
                    response = replyText(200, key);
                }
            } catch (const std::exception &e) {
                std::fprintf(stderr, "tapvela-server: a sign-in failed: %s\n", e.what());
                response = replyFailure(e);
            }
            done(outcome);
            response.logPath = "/all/login_app.php";
            respond(std::move(response));
        },
        givesWay ? passwordChecksForNewClients : 0);
    if (queued)
        return std::nullopt;
    done(LoginThrottle::Outcome::NotRun);
    HttpResponse res = replyJson(503, {{"status", "busy"}, {"error", "too many sign-ins at once: try again shortly"}});
    res.headers.emplace_back("Retry-After", "1");
    return res;
}

HttpResponse Service::devices(const HttpRequest &req)
{
    Parameters given(req);
    const std::string key = given.apiKey();
    return forAccount(m_store, given, key, [&](std::int64_t account) {
        return replyJson(200, {{"status", "valid"}, {"devices", deviceList(m_store.devices(account))}});
    });
}

HttpResponse Service::setName(const HttpRequest &req)
{
    Parameters given(req);
    const std::string key = given.apiKey();
    const std::string id = given.get("id", maxDeviceIdLength, Need::Required);
    const std::string name = given.unchecked("name");
    return forAccount(m_store, given, key, [&](std::int64_t account) {
        const std::string problem = deviceNameProblem(name);
        if (problem.empty()) {
            if (!m_store.renameDevice(account, id, name))
                return replyUnknownDevice();
            return replyJson(200, {{"status", "valid"}});
        }
        // The program lets the user type any name, an empty one included, and shows a refusal only as a failed
        // connection or a refused key. So the device keeps its name and the list goes back, showing the name
        // that holds in place of the edit.
        const std::vector<Device> devices = m_store.devices(account);
        if (std::none_of(devices.begin(), devices.end(), [&](const Device &device) { return device.id == id; }))
            return replyUnknownDevice();
        return replyJson(
            200, {{"status", "valid"}, {"devices", deviceList(devices)}, {"warning", problem + "; the name is kept"}});
    });
}

HttpResponse Service::addDevice(const HttpRequest &req)
{
    Parameters given(req);
    const std::string key = given.apiKey();
    const std::string name = given.unchecked("name");
    return forAccount(m_store, given, key, [&](std::int64_t account) {
        if (const std::string problem = deviceNameProblem(name); !problem.empty())
            return replyJson(200, {{"status", "bad name"}, {"error", problem}});
        const int limit = m_options.maxDevicesPerAccount;
        const auto device = m_store.addDeviceWithin(account, name, limit);
        if (!device) {
            return replyJson(200, {{"status", "too many devices"},
                                   {"error", "an account has at most " + std::to_string(limit) + " devices"}});
        }
        const std::string page = pageAddress(pageBase(req), device->pageToken);
        return replyJson(200, {{"status", "valid"},
                               {"device", {{"id", device->id}, {"name", device->name}, {"page", page}}},
                               {"qr", qrMatrix(page)},
                               {"devices", deviceList(m_store.devices(account))}});
    });
}

// Another account's device gets the answer of one that does not exist, so that ids cannot be probed.
HttpResponse Service::devicePage(const HttpRequest &req)
{
    Parameters given(req);
    const std::string key = given.apiKey();
    const std::string id = given.get("id", maxDeviceIdLength, Need::Required);
    return forAccount(m_store, given, key, [&](std::int64_t account) {
        const auto device = m_store.device(account, id);
        if (!device)
            return replyUnknownDevice();
        const std::string page = pageAddress(pageBase(req), device->pageToken);
        return replyJson(200, {{"status", "valid"}, {"page", page}, {"qr", qrMatrix(page)}});
    });
}

std::string Service::pageBase(const HttpRequest &req) const
{
    if (!m_options.publicUrl.empty())
        return m_options.publicUrl;
    return (req.tls ? "https://" : "http://") + (isPlainHost(req.host) ? req.host : m_listenHost);
}

HttpResponse Service::push(const HttpRequest &req)
{
    Parameters given(req);
    const std::string key = given.apiKey();
    const std::string msg = given.get("msg", maxMessageLength, Need::Required, Lines::Allowed);
    if (msg.empty())
        given.refuse("msg must not be empty");
    const std::string device = given.get("devices", maxDeviceIdLength, Need::Required);
    const std::string icon = given.get("icon", maxCodeLength, Need::Optional);
    const std::string sound = given.get("sound", maxCodeLength, Need::Optional);
    const std::string extra = given.get("extra", maxExtraLength, Need::Optional);
    return forAccount(m_store, given, key, [&](std::int64_t account) {
        // Counted once the key is known to be good: made-up keys would only crowd the real ones out of the table.
        std::chrono::seconds wait;
        {
            std::lock_guard<std::mutex> lock(m_pushRateMutex);
            wait = m_pushRate.take(sha256(key), std::chrono::steady_clock::now());
        }
        if (wait.count() > 0)
            return replyTooManyPushes(wait, req.acceptLanguage);
        Delivery *const delivery = m_options.delivery;
        bool queued = false;
        const auto stored = m_store.addPush(account, device, PushFields{msg, icon, sound, extra},
                                            delivery ? &queued : nullptr, m_options.pushesPerDevice);
        if (!stored)
            return replyUnknownDevice();
        m_hub.published(stored->second);
        HttpResponse answer = replyJson(200, {{"status", "valid"}});
        // Stored and queued above. The delivery thread sends it once this answer is on its way, so that neither a
        // push service nor the encryption's CPU time delays the answer. A push to a device without subscriptions
        // does not wake it: under a flood, each wake would read the queue for nothing.
        if (queued)
            answer.sent = [delivery] { delivery->wake(); };
        return answer;
    });
}

HttpResponse Service::page(const HttpRequest &req, const std::string &token, bool inOwnFolder)
{
    const auto device = m_store.deviceByToken(token);
    if (!device)
        return replyText(404, "unknown page\n");
    const std::string nonce = randomUrlToken(18);
    HttpResponse res;
    res.headers = {
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
             "'; connect-src 'self'; img-src 'self'; manifest-src 'self'; worker-src 'self'; base-uri 'none'; "
             "form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
        {"Vary", "Accept-Language"}};
    res.contentType = "text/html; charset=utf-8";
    res.body = renderPhonePage(*device, m_store.latestPushes(device->row, pushesOnPage), nonce,
                               pageLanguage(req.acceptLanguage), inOwnFolder ? "./" : token + "/");
    return res;
}

// The page's service worker and its web app manifest.
HttpResponse Service::pageFile(const HttpRequest &req, const std::string &token, std::string_view file)
{
    const auto device = m_store.deviceByToken(token);
    if (!device)
        return replyText(404, "unknown page\n");
    HttpResponse res;
    res.headers = {{"X-Content-Type-Options", "nosniff"}, {"Cache-Control", "no-cache"}};
    if (file == "sw.js") {
        res.contentType = "text/javascript; charset=utf-8";
        res.headers.emplace_back("Content-Security-Policy", "default-src 'none'; img-src 'self'");
        res.body = serviceWorkerScript();
    } else {
        res.contentType = "application/manifest+json";
        res.headers.emplace_back("Vary", "Accept-Language");
        res.body = webAppManifest(*device, pageLanguage(req.acceptLanguage));
    }
    return res;
}

HttpResponse Service::events(const HttpRequest &req, const std::string &token)
{
    const auto device = m_store.deviceByToken(token);
    if (!device)
        return replyText(404, "unknown page\n");
    // A browser that reconnects names the last event it saw; the page names the last push it rendered.
    std::optional<std::int64_t> after;
    if (req.lastEventId) {
        after = decimal(*req.lastEventId);
    } else {
        std::string error;
        const auto query = Query::parse(Query::ofTarget(req.target), &error);
        if (!query)
            return replyText(400, error + "\n");
        const std::string *given = query->find("after");
        after = given ? decimal(*given) : m_store.latestPushId(device->row);
    }
    if (!after)
        return replyText(400, "the last seen push must be a decimal number\n");
    auto subscription = m_hub.subscribe(device->account, device->row, token);
    if (!subscription) {
        HttpResponse res = replyText(503, "too many open pages\n");
        res.headers.emplace_back("Retry-After", "10");
        return res;
    }
    HttpResponse res;
    res.headers = {{"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}};
    res.events = std::make_shared<PushEvents>(m_store, device->row, *after, std::move(subscription));
    return res;
}

HttpResponse Service::pushKey(const std::string &token)
{
    if (!m_store.deviceByToken(token))
        return replyText(404, "unknown page\n");
    if (!m_options.delivery)
        return replyJson(404, {{"status", "unavailable"}});
    return replyJson(200, {{"key", webpush::base64UrlEncode(m_options.delivery->publicKey())}});
}

// Stores (or with remove=1 forgets) the subscription of a browser that shows this page. Its endpoint is
// checked here as well as before each delivery, so that a page learns at once why it was refused; the name of
// its push service is looked up on the lookups' threads, and one that leads to an address that is not public
// is refused. Nothing when the answer comes later through `respond`.
std::optional<HttpResponse> Service::subscription(const HttpRequest &req, const std::string &token,
                                                  const Responder &respond)
{
    const auto device = m_store.deviceByToken(token);
    if (!device)
        return replyText(404, "unknown page\n");
    Delivery *const delivery = m_options.delivery;
    if (!delivery)
        return replyJson(404, {{"status", "unavailable"}});
    Parameters given(req);
    const std::string endpoint = given.get("endpoint", webpush::maxEndpointSize, Need::Required);
    const std::string removal = given.get("remove", 1, Need::Optional);
    if (given.ok() && removal == "1") {
        m_store.removeSubscription(device->row, endpoint);
        return replyJson(200, {{"status", "ok"}});
    }
    const std::string p256dh = given.get("p256dh", maxSubscriptionKeyLength, Need::Required);
    const std::string auth = given.get("auth", maxSubscriptionKeyLength, Need::Required);
    if (!given.ok())
        return replyBadRequest(given.problem());
    const bool allowLoopbackHttp = delivery->options().allowLoopbackHttp;
    const auto checked =
        webpush::validateSubscription(endpoint, p256dh, auth, webpush::SubscriptionRules{allowLoopbackHttp});
    if (!checked.ok())
        return replyBadRequest(checked.error);
    const webpush::Endpoint where = webpush::parseEndpoint(endpoint).value;
    const auto store = [this, row = device->row, subscription = checked.value] {
        m_store.addSubscription(row, subscription.endpoint, subscription.p256dh, subscription.auth,
                                subscriptionsPerDevice);
        return replyJson(200, {{"status", "ok"}});
    };
    // The tests' fake push service on this computer, allowed by their flag, has nothing to look up.
    if (webpush::isAllowedLoopback(where, allowLoopbackHttp))
        return store();
    const bool queued = m_lookups->submit([where, store, respond] {
        HttpResponse response;
        try {
            bool notPublic = false;
            const auto found = webpush::resolvePublic(where.host, where.port, &notPublic);
            // A name that does not resolve now may tomorrow: delivery tries again. One that leads into a private
            // network never becomes sendable.
            if (notPublic)
                response = replyBadRequest("the endpoint cannot be sent to: " + found.error);
            else
                response = store();
        } catch (const std::exception &e) {
            std::fprintf(stderr, "tapvela-server: storing a subscription failed: %s\n", e.what());
            response = replyFailure(e);
        }
        response.logPath = "/d/(page)/subscription";
        respond(std::move(response));
    });
    if (queued)
        return std::nullopt;
    HttpResponse res =
        replyJson(503, {{"status", "busy"}, {"error", "too many subscriptions at once: try again shortly"}});
    res.headers.emplace_back("Retry-After", "1");
    return res;
}

// Sends the test message to one of the page's subscriptions, named by its endpoint, at most once per
// testInterval for a device. It is not a push: nothing is stored, and the desktop program never lists it.
HttpResponse Service::testNotification(const HttpRequest &req, const std::string &token)
{
    const auto device = m_store.deviceByToken(token);
    if (!device)
        return replyText(404, "unknown page\n");
    Delivery *const delivery = m_options.delivery;
    if (!delivery)
        return replyJson(404, {{"status", "unavailable"}});
    Parameters given(req);
    const std::string endpoint = given.get("endpoint", webpush::maxEndpointSize, Need::Required);
    if (!given.ok())
        return replyBadRequest(given.problem());
    {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(m_testMutex);
        if (m_lastTest.size() >= testsRemembered) {
            for (auto it = m_lastTest.begin(); it != m_lastTest.end();)
                it = now - it->second >= testInterval ? m_lastTest.erase(it) : std::next(it);
        }
        const auto last = m_lastTest.find(device->row);
        if (last != m_lastTest.end() && now - last->second < testInterval) {
            const auto wait = std::chrono::ceil<std::chrono::seconds>(testInterval - (now - last->second)).count();
            HttpResponse res = replyJson(429, {{"status", "too many tests"},
                                               {"error", "one test every " + std::to_string(testInterval.count()) +
                                                             " s: try again in " + std::to_string(wait) + " s"}});
            res.headers.emplace_back("Retry-After", std::to_string(wait));
            return res;
        }
        if (last == m_lastTest.end() && m_lastTest.size() >= testsRemembered) {
            HttpResponse res = replyJson(503, {{"status", "busy"}, {"error", "too many tests: try again shortly"}});
            res.headers.emplace_back("Retry-After", "5");
            return res;
        }
        m_lastTest[device->row] = now;
    }
    for (WebPushSubscription &subscription : m_store.subscriptions(device->row)) {
        if (subscription.endpoint == endpoint) {
            delivery->sendTest(std::move(subscription), device->name);
            return replyJson(200, {{"status", "ok"}});
        }
    }
    return replyJson(404, {{"status", "unknown subscription"},
                           {"error", "this browser's subscription is not registered: turn notifications on again"}});
}

} // namespace pushserver
