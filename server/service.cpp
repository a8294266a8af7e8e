#include "service.h"

#include "phonepage.h"
#include "query.h"
#include "secrets.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace pushserver {

namespace {

using Request = httplib::Request;
using Response = httplib::Response;
using json = nlohmann::ordered_json;

constexpr std::size_t maxTargetLength = 4096;
constexpr std::size_t maxKeyLength = 128;
constexpr std::size_t maxUsernameLength = 128;
constexpr std::size_t maxDeviceIdLength = 64;
constexpr std::size_t maxMessageLength = 1024;
constexpr std::size_t maxExtraLength = 256;
constexpr std::size_t maxCodeLength = 16;
constexpr int keysKeptPerAccount = 32;
constexpr int pushesOnPage = 50;
constexpr int pushesPerStreamBatch = 20;
constexpr int concurrentPasswordChecks = 2;
constexpr auto keepAliveInterval = std::chrono::seconds(15);

const char *const jsonType = "application/json";

void replyJson(Response &res, int status, const json &body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), jsonType);
}

void replyBadRequest(Response &res, const std::string &why)
{
    replyJson(res, 400, {{"status", "bad request"}, {"error", why}});
}

void replyText(Response &res, int status, const std::string &text)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(text, "text/plain; charset=utf-8");
}

// Every answer that the desktop program must act on comes with 200: it reads any other HTTP status as a
// failed connection. A status other than "valid" makes it ask the user to sign in again.
void replyRefusedKey(Response &res)
{
    replyJson(res, 200, {{"status", "invalid"}, {"error", "api key refused: sign in again"}});
}

// The same for a device removed since the program fetched its list: signing in again fetches the new one.
void replyUnknownDevice(Response &res)
{
    replyJson(res, 200, {{"status", "unknown device"}, {"error", "no device with this id: sign in again"}});
}

json deviceList(const std::vector<Device> &devices)
{
    json list = json::array();
    for (const Device &device : devices)
        list.push_back({{"id", device.id}, {"name", device.name}});
    return list;
}

enum class Lines { Forbidden, Allowed };

// One parameter, decoded and checked. Sets `error` to the message for the client when it is missing (and
// required), too long, not UTF-8 or holds control characters.
std::optional<std::string> parameter(const Query &query, const char *name, std::size_t maxBytes, bool required,
                                     std::string *error, Lines lines = Lines::Forbidden)
{
    const std::string *value = query.find(name);
    if (!value) {
        if (required) {
            *error = std::string("missing parameter: ") + name;
            return std::nullopt;
        }
        return std::string();
    }
    if (value->size() > maxBytes) {
        *error = std::string("parameter too long: ") + name + " (at most " + std::to_string(maxBytes) + " bytes)";
        return std::nullopt;
    }
    if (!isValidUtf8(*value)) {
        *error = std::string("parameter is not UTF-8 text: ") + name;
        return std::nullopt;
    }
    if (hasControlCharacters(*value, lines == Lines::Allowed)) {
        *error = std::string("parameter holds control characters: ") + name;
        return std::nullopt;
    }
    return *value;
}

std::optional<Query> parseQuery(const Request &req, std::string *error)
{
    return Query::parse(Query::ofTarget(req.target), error);
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

// Access-log form of a path: phone page addresses are secrets, and a path may hold anything.
std::string loggablePath(const std::string &path)
{
    if (path.rfind("/d/", 0) == 0)
        return "/d/…";
    std::string out = path.substr(0, 120);
    std::replace_if(
        out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
    return out;
}

std::string statusText(int status)
{
    switch (status) {
    case 400:
        return "bad request";
    case 404:
        return "not found";
    case 413:
        return "request too large";
    case 414:
        return "request too long";
    case 431:
        return "request headers too large";
    default:
        return "error " + std::to_string(status);
    }
}

} // namespace

// httplib's own listening socket takes a backlog of 5, which drops connections under a burst of clients that
// connect at once; the socket is reachable only from a derived class.
class HttpServer final : public httplib::Server
{
public:
    bool widenBacklog() { return ::listen(svr_sock_, SOMAXCONN) == 0; }
};

Service::Service(Store &store, ServiceOptions options)
    : m_store(store), m_options(options), m_hub(std::max(1, options.threads / 4)),
      m_http(std::make_unique<HttpServer>())
{
    const int threads = std::max(4, m_options.threads);
    m_http->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
    // httplib's default also sets SO_REUSEPORT, which would let a second server share the port silently
    // instead of failing to start.
    m_http->set_socket_options([](int socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m_http->set_tcp_nodelay(true);
    // Each connection holds a thread while it is kept alive: a connection makes way for waiting ones after a
    // hundred requests.
    m_http->set_keep_alive_max_count(100);
    // Idle connections also hold back stopping, which waits for them to time out.
    m_http->set_keep_alive_timeout(2);
    m_http->set_read_timeout(10);
    m_http->set_write_timeout(10);
    m_http->set_payload_max_length(4096);
    registerRoutes();
}

Service::~Service() = default;

int Service::bind(const std::string &address, int port)
{
    const int bound = port == 0 ? m_http->bind_to_any_port(address) : (m_http->bind_to_port(address, port) ? port : -1);
    if (bound <= 0)
        return -1;
    if (!m_http->widenBacklog())
        std::perror("tapvela-server: listen");
    return bound;
}

bool Service::run()
{
    return m_http->listen_after_bind();
}

void Service::stop()
{
    m_hub.close();
    m_http->stop();
}

bool Service::checkPasswordSlowly(const std::string &storedHash, const std::string &digest)
{
    {
        std::unique_lock<std::mutex> lock(m_loginMutex);
        m_loginFree.wait(lock, [this] { return m_loginsRunning < concurrentPasswordChecks; });
        ++m_loginsRunning;
    }
    const bool matches = verifyPassword(storedHash, digest);
    {
        std::lock_guard<std::mutex> lock(m_loginMutex);
        --m_loginsRunning;
    }
    m_loginFree.notify_one();
    return matches;
}

void Service::registerRoutes()
{
    HttpServer &http = *m_http;

    http.set_pre_routing_handler([](const Request &req, Response &res) {
        if (req.method != "GET") {
            res.set_header("Allow", "GET");
            replyText(res, 405, "only GET is served here\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.target.size() > maxTargetLength) {
            replyText(res, 414, "request too long\n");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    http.set_error_handler(httplib::Server::HandlerWithResponse([](const Request &, Response &res) {
        if (!res.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        replyText(res, res.status, statusText(res.status) + "\n");
        return httplib::Server::HandlerResponse::Handled;
    }));

    http.set_exception_handler([](const Request &req, Response &res, std::exception_ptr error) {
        std::string what = "unknown error";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception &e) {
            what = e.what();
        } catch (...) {
        }
        std::fprintf(stderr, "tapvela-server: %s %s failed: %s\n", req.method.c_str(), loggablePath(req.path).c_str(),
                     what.c_str());
        replyJson(res, 500, {{"status", "error"}, {"error", "internal error"}});
    });

    if (m_options.accessLog) {
        http.set_logger([](const Request &req, const Response &res) {
            std::fprintf(stderr, "%s %s %d\n", req.method.c_str(), loggablePath(req.path).c_str(), res.status);
        });
    }

    http.Get("/", [](const Request &, Response &res) {
        replyText(res, 200, "tapvela-server: push service for the tapvela desktop program\n");
    });

    http.Get("/all/login_app.php", [this](const Request &req, Response &res) {
        std::string error;
        const auto query = parseQuery(req, &error);
        std::optional<std::string> username, password;
        if (query)
            username = parameter(*query, "username", maxUsernameLength, true, &error);
        if (username)
            password = parameter(*query, "password", 40, true, &error);
        if (!password) {
            replyText(res, 400, error + "\n");
            return;
        }
        const std::string digest = lowered(*password);
        if (!isLowerHexDigest(digest)) {
            replyText(res, 400, "password must be the 40-digit SHA-1 digest of the password\n");
            return;
        }
        const auto account = m_store.credentials(*username);
        // An unknown name costs as much time as a wrong password, so timing does not tell which names exist.
        static const std::string unknownUserHash = hashPassword("no such account");
        const bool matches = checkPasswordSlowly(account ? account->second : unknownUserHash, digest);
        if (!account || !matches) {
            replyText(res, 200, "error");
            return;
        }
        const std::string key = randomHex(24);
        m_store.addApiKey(account->first, sha256(key), keysKeptPerAccount);
        replyText(res, 200, key);
    });

    http.Get("/all/devices_app.php", [this](const Request &req, Response &res) {
        std::string error;
        const auto query = parseQuery(req, &error);
        std::optional<std::string> key;
        if (query)
            key = parameter(*query, "apikey", maxKeyLength, true, &error);
        if (!key)
            return replyBadRequest(res, error);
        const auto account = m_store.accountOfKey(sha256(*key));
        if (!account)
            return replyRefusedKey(res);
        replyJson(res, 200, {{"status", "valid"}, {"devices", deviceList(m_store.devices(*account))}});
    });

    http.Get("/all/set_name_app.php", [this](const Request &req, Response &res) {
        std::string error;
        const auto query = parseQuery(req, &error);
        std::optional<std::string> key, id;
        const std::string *name = nullptr;
        if (query)
            key = parameter(*query, "apikey", maxKeyLength, true, &error);
        if (key)
            id = parameter(*query, "id", maxDeviceIdLength, true, &error);
        if (id && !(name = query->find("name")))
            error = "missing parameter: name";
        if (!name)
            return replyBadRequest(res, error);
        const auto account = m_store.accountOfKey(sha256(*key));
        if (!account)
            return replyRefusedKey(res);
        const std::string problem = deviceNameProblem(*name);
        if (problem.empty()) {
            if (!m_store.renameDevice(*account, *id, *name))
                return replyUnknownDevice(res);
            return replyJson(res, 200, {{"status", "valid"}});
        }
        // The program lets the user type any name, an empty one included, and shows a refusal only as a failed
        // connection or a refused key. So the device keeps its name and the list goes back, showing the name
        // that holds in place of the edit.
        const std::vector<Device> devices = m_store.devices(*account);
        if (std::none_of(devices.begin(), devices.end(), [&](const Device &device) { return device.id == *id; }))
            return replyUnknownDevice(res);
        replyJson(res, 200,
                  {{"status", "valid"}, {"devices", deviceList(devices)}, {"warning", problem + "; the name is kept"}});
    });

    http.Get("/all/api.php", [this](const Request &req, Response &res) {
        std::string error;
        const auto query = parseQuery(req, &error);
        std::optional<std::string> key, device;
        std::optional<std::string> msg, icon, sound, extra;
        if (query)
            key = parameter(*query, "apikey", maxKeyLength, true, &error);
        if (key)
            msg = parameter(*query, "msg", maxMessageLength, true, &error, Lines::Allowed);
        if (msg && msg->empty())
            error = "msg must not be empty", msg.reset();
        if (msg)
            device = parameter(*query, "devices", maxDeviceIdLength, true, &error);
        if (device)
            icon = parameter(*query, "icon", maxCodeLength, false, &error);
        if (icon)
            sound = parameter(*query, "sound", maxCodeLength, false, &error);
        if (sound)
            extra = parameter(*query, "extra", maxExtraLength, false, &error);
        if (!extra)
            return replyBadRequest(res, error);
        const auto account = m_store.accountOfKey(sha256(*key));
        if (!account)
            return replyRefusedKey(res);
        const auto stored = m_store.addPush(*account, *device, PushFields{*msg, *icon, *sound, *extra});
        if (!stored)
            return replyUnknownDevice(res);
        m_hub.published(stored->second, stored->first);
        replyJson(res, 200, {{"status", "valid"}});
    });

    http.Get(R"(/d/([A-Za-z0-9_-]{32}))", [this](const Request &req, Response &res) {
        const auto device = m_store.deviceByToken(req.matches[1]);
        if (!device) {
            replyText(res, 404, "unknown page\n");
            return;
        }
        const std::string nonce = randomUrlToken(18);
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
                           "'; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("Cache-Control", "no-store");
        res.set_content(renderPhonePage(*device, m_store.latestPushes(device->row, pushesOnPage), nonce),
                        "text/html; charset=utf-8");
    });

    http.Get(R"(/d/([A-Za-z0-9_-]{32})/events)", [this](const Request &req, Response &res) {
        const auto device = m_store.deviceByToken(req.matches[1]);
        if (!device) {
            replyText(res, 404, "unknown page\n");
            return;
        }
        // A browser that reconnects names the last event it saw; the page names the last push it rendered.
        std::optional<std::int64_t> after;
        if (req.has_header("Last-Event-ID")) {
            after = decimal(req.get_header_value("Last-Event-ID"));
        } else {
            std::string error;
            const auto query = parseQuery(req, &error);
            if (!query)
                return replyText(res, 400, error + "\n");
            const std::string *given = query->find("after");
            after = given ? decimal(*given) : m_store.latestPushId(device->row);
        }
        if (!after)
            return replyText(res, 400, "the last seen push must be a decimal number\n");
        if (!m_hub.openStream()) {
            res.set_header("Retry-After", "10");
            return replyText(res, 503, "too many open pages\n");
        }

        struct Stream
        {
            std::int64_t deviceRow;
            std::int64_t last;
            std::chrono::steady_clock::time_point end;
            std::chrono::steady_clock::time_point lastWrite;
            bool greeted = false;
        };
        const auto now = std::chrono::steady_clock::now();
        auto stream = std::make_shared<Stream>(Stream{device->row, *after, now + m_options.streamLifetime, now});
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, stream](std::size_t, httplib::DataSink &sink) {
                const auto write = [&](const std::string &text) {
                    stream->lastWrite = std::chrono::steady_clock::now();
                    return sink.write(text.data(), text.size());
                };
                if (!stream->greeted) {
                    stream->greeted = true;
                    return write("retry: 3000\n: connected\n\n");
                }
                const auto pushes = m_store.pushesAfter(stream->deviceRow, stream->last, pushesPerStreamBatch);
                for (const Push &push : pushes) {
                    if (!write("id: " + std::to_string(push.id) + "\nevent: push\ndata: " + pushJson(push) + "\n\n"))
                        return false;
                    stream->last = push.id;
                }
                if (!pushes.empty())
                    return true;
                const auto now = std::chrono::steady_clock::now();
                if (now >= stream->end || m_hub.isClosed()) {
                    sink.done();
                    return true;
                }
                if (now - stream->lastWrite >= keepAliveInterval)
                    return write(": keep-alive\n\n");
                const auto wait = std::min<std::chrono::steady_clock::duration>(
                    {keepAliveInterval - (now - stream->lastWrite), stream->end - now});
                m_hub.wait(stream->deviceRow, stream->last,
                           std::chrono::duration_cast<std::chrono::milliseconds>(wait) + std::chrono::milliseconds(1));
                return true;
            },
            [this](bool) { m_hub.closeStream(); });
    });
}

} // namespace pushserver
