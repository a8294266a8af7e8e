#include "pushclient.h"

#include "netnames.h"
#include "webpush_address.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <system_error>
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

// The request, with its own deadline when the push service's is shorter than the client's.
struct Request : http::request<http::string_body>
{
    using http::request<http::string_body>::request;
    std::chrono::seconds exchangeTime{0}; // 0: the client's
};

// What a request came to, as the connection sees it.
struct Exchange
{
    PushAttempt attempt;
    bool stale = false; // sent over a kept connection that turned out closed: to send again on a new one
};

// A connection to one push service's origin, which carries one request after another: the first opens it, and it
// is kept for the next while it stays open and unused for no longer than the service's idle time-outs allow.
class Connection
{
public:
    virtual ~Connection() = default;
    // Sends the request over the open connection and reports the answer.
    virtual void exchange(std::shared_ptr<const Request> request, std::function<void(Exchange)> finished) = 0;
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
    // `tls` is held for as long as the stream lives, which may be longer than the client when a request is
    // abandoned on stopping.
    StreamConnection(Stream stream, std::shared_ptr<ssl::context> tls, const PushClientOptions &options,
                     std::function<void(std::shared_ptr<Connection>)> keep)
        : m_tls(std::move(tls)), m_stream(std::move(stream)), m_connectTime(options.connectTime),
          m_exchangeTime(options.exchangeTime), m_keep(std::move(keep))
    {
    }

    void open(std::vector<tcp::endpoint> addresses, std::shared_ptr<const Request> request,
              std::function<void(Exchange)> finished)
    {
        start(std::move(request), std::move(finished));
        lowest().expires_after(m_connectTime);
        lowest().async_connect(addresses, [self = this->shared_from_this()](error_code ec, const tcp::endpoint &) {
            self->connected(ec);
        });
    }

    void exchange(std::shared_ptr<const Request> request, std::function<void(Exchange)> finished) override
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

    void start(std::shared_ptr<const Request> request, std::function<void(Exchange)> finished)
    {
        m_request = std::move(request);
        m_finished = std::move(finished);
        m_deadline = std::chrono::steady_clock::now() +
                     (m_request->exchangeTime.count() > 0 ? m_request->exchangeTime : m_exchangeTime);
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
        m_exchange = Exchange{};
        m_exchange.attempt.status = static_cast<int>(answer.result_int());
        if (const auto field = answer.find(http::field::retry_after); field != answer.end())
            m_exchange.attempt.retryAfter =
                parseRetryAfter(std::string_view(field->value().data(), field->value().size()), std::time(nullptr));
        // A body that only the connection's end would end is not waited for: such a connection is not kept.
        if (m_parser->is_done() || m_parser->need_eof())
            return finish(m_parser->is_done());
        // The answer counts from its header; a body that does not come whole only closes the connection.
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = this->shared_from_this()](error_code ec, std::size_t) { self->finish(!ec); });
    }

    void fail(error_code ec, const char *what)
    {
        m_exchange = Exchange{};
        m_exchange.attempt.error = what + ec.message();
        m_exchange.attempt.timedOut = ec == beast::error::timeout;
        if constexpr (tls)
            m_exchange.attempt.badCertificate =
                ec.category() == net::error::get_ssl_category() &&
                ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == SSL_R_CERTIFICATE_VERIFY_FAILED;
        // A kept connection that the service closed while it was idle: the request never reached it.
        m_exchange.stale = m_reused && m_buffer.size() == 0 && ec != beast::error::timeout;
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
            finished(std::move(m_exchange));
        }
    }

    // Before the stream, so that it goes after it.
    std::shared_ptr<ssl::context> m_tls;
    Stream m_stream;
    const std::chrono::seconds m_connectTime, m_exchangeTime;
    std::function<void(std::shared_ptr<Connection>)> m_keep;
    std::shared_ptr<const Request> m_request;
    std::function<void(Exchange)> m_finished;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_reused = false;
    Exchange m_exchange;
    beast::flat_buffer m_buffer{maxAnswerHeader + maxAnswerBody};
    std::optional<http::response_parser<http::string_body>> m_parser;
};

std::shared_ptr<Request> makeRequest(const webpush::Endpoint &endpoint, const PushMessage &message,
                                     std::chrono::seconds exchangeTime)
{
    auto request = std::make_shared<Request>(http::verb::post, endpoint.target, 11);
    request->set(http::field::host, endpoint.origin.substr(endpoint.origin.find("://") + 3));
    request->set(http::field::user_agent, "tapvela-server");
    request->set("TTL", timeToLive);
    request->set("Urgency", "high");
    request->set(http::field::content_encoding, "aes128gcm");
    request->set(http::field::content_type, "application/octet-stream");
    request->set(http::field::authorization, message.authorization);
    request->body() = message.body;
    request->prepare_payload();
    request->exchangeTime = exchangeTime;
    return request;
}

// Where the name lookups, which block, hand their results back. Emptied on stopping, so that a lookup that
// ends later posts nothing.
struct Lookups
{
    std::mutex mutex;
    net::io_context *io = nullptr;
};

} // namespace

std::optional<std::int64_t> parseRetryAfter(std::string_view value, std::int64_t now)
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

struct PushClient::Impl : std::enable_shared_from_this<PushClient::Impl>
{
    using Finished = std::function<void(PushAttempt)>;

    Impl(net::io_context &io, PushClientOptions options)
        : io(io), options(std::move(options)), tls(std::make_shared<ssl::context>(ssl::context::tls_client))
    {
        error_code ec;
        tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                             ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                         ec);
        if (!ec)
            tls->set_default_verify_paths(ec);
        if (!ec && !this->options.extraCaFile.empty())
            tls->load_verify_file(this->options.extraCaFile, ec);
        if (ec)
            throw std::runtime_error("cannot set up TLS for Web Push: " + ec.message());
        lookups->io = &io;
    }

    void send(const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request, Finished finished);
    void lookUp(const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request, Finished finished);
    void connect(const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request, Finished finished,
                 webpush::Outcome<std::vector<webpush::ResolvedAddress>> found, bool notPublic);
    std::shared_ptr<Connection> takeIdle(const std::string &origin);
    void keepIdle(const std::string &origin, std::shared_ptr<Connection> connection);
    void closeIdle();
    void closeIdleAt(std::chrono::steady_clock::time_point when);

    net::io_context &io;
    const PushClientOptions options;
    std::shared_ptr<ssl::context> tls;
    std::shared_ptr<Lookups> lookups = std::make_shared<Lookups>();
    // Connections kept for the next request, by origin, and a timer that closes the ones that waited too long.
    std::map<std::string, std::vector<std::shared_ptr<Connection>>> idle;
    std::size_t idleCount = 0;
    net::steady_timer idleTimer{io};
    bool idleTimerSet = false;
};

// Over a kept connection to the origin when there is one, else over a new one.
void PushClient::Impl::send(const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request,
                            Finished finished)
{
    if (const std::shared_ptr<Connection> kept = takeIdle(endpoint.origin)) {
        kept->exchange(request, [self = weak_from_this(), endpoint, request, finished](Exchange exchange) {
            const auto impl = self.lock();
            if (impl && exchange.stale)
                impl->lookUp(endpoint, request, finished);
            else
                finished(std::move(exchange.attempt));
        });
        return;
    }
    lookUp(endpoint, std::move(request), std::move(finished));
}

// Finds the endpoint's addresses, then connects to them. A name lookup blocks, so it runs on a thread of its
// own, and a stop does not wait for it.
void PushClient::Impl::lookUp(const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request,
                              Finished finished)
{
    const bool literal = webpush::isAllowedLoopback(endpoint, options.allowLoopbackHttp);
    auto lookup = [lookups = lookups, self = weak_from_this(), allowLoopback = options.allowLoopbackHttp, endpoint,
                   request = std::move(request), finished = std::move(finished)]() mutable {
        bool notPublic = false;
        auto found = webpush::endpointAddresses(endpoint, allowLoopback, &notPublic);
        std::lock_guard<std::mutex> lock(lookups->mutex);
        if (lookups->io)
            net::post(*lookups->io, [self = std::move(self), endpoint = std::move(endpoint),
                                     request = std::move(request), finished = std::move(finished),
                                     found = std::move(found), notPublic]() mutable {
                if (const auto impl = self.lock())
                    impl->connect(endpoint, std::move(request), std::move(finished), std::move(found), notPublic);
            });
    };
    if (literal)
        return lookup(); // nothing to look up, nothing that blocks
    try {
        std::thread(std::move(lookup)).detach();
    } catch (const std::system_error &e) {
        PushAttempt attempt;
        attempt.error = std::string("no thread for the name lookup: ") + e.what();
        net::post(io, [finished, attempt] { finished(attempt); });
    }
}

void PushClient::Impl::connect(const webpush::Endpoint &endpoint, std::shared_ptr<const Request> request,
                               Finished finished, webpush::Outcome<std::vector<webpush::ResolvedAddress>> found,
                               bool notPublic)
{
    if (!found.ok()) {
        PushAttempt attempt;
        attempt.error = found.error;
        attempt.notPublic = notPublic;
        return finished(attempt);
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
    auto done = [finished = std::move(finished)](Exchange exchange) { finished(std::move(exchange.attempt)); };
    auto keep = [self = weak_from_this(), origin = endpoint.origin](std::shared_ptr<Connection> connection) {
        if (const auto impl = self.lock())
            impl->keepIdle(origin, std::move(connection));
        else
            connection->close();
    };
    if (endpoint.scheme != "https") {
        std::make_shared<StreamConnection<beast::tcp_stream>>(beast::tcp_stream(io), tls, options, std::move(keep))
            ->open(std::move(addresses), std::move(request), std::move(done));
        return;
    }
    beast::ssl_stream<beast::tcp_stream> stream(io, *tls);
    error_code ec;
    // A name goes into SNI; an address may not.
    const bool named = !webpush::literalIsPublic(endpoint.host).has_value();
    if (named && SSL_set_tlsext_host_name(stream.native_handle(), endpoint.host.c_str()) != 1)
        ec = net::error::invalid_argument;
    if (!ec)
        stream.set_verify_mode(ssl::verify_peer, ec);
    if (!ec)
        stream.set_verify_callback(ssl::host_name_verification(endpoint.host), ec);
    if (ec) {
        PushAttempt attempt;
        attempt.error = "TLS set-up: " + ec.message();
        return done(Exchange{attempt, false});
    }
    std::make_shared<StreamConnection<beast::ssl_stream<beast::tcp_stream>>>(std::move(stream), tls, options,
                                                                             std::move(keep))
        ->open(std::move(addresses), std::move(request), std::move(done));
}

// The origin's most recently used connection, if it has not waited too long. Each origin's connections are kept
// in the order they fell idle, so when the last one waited too long, all did: they are closed.
std::shared_ptr<Connection> PushClient::Impl::takeIdle(const std::string &origin)
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

void PushClient::Impl::keepIdle(const std::string &origin, std::shared_ptr<Connection> connection)
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
void PushClient::Impl::closeIdle()
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

void PushClient::Impl::closeIdleAt(std::chrono::steady_clock::time_point when)
{
    idleTimerSet = true;
    idleTimer.expires_at(when);
    idleTimer.async_wait([self = weak_from_this()](error_code ec) {
        const auto impl = self.lock();
        if (!impl)
            return;
        impl->idleTimerSet = false;
        if (!ec)
            impl->closeIdle();
    });
}

PushClient::PushClient(net::io_context &io, PushClientOptions options)
    : m_impl(std::make_shared<Impl>(io, std::move(options)))
{
}

PushClient::~PushClient()
{
    stop();
    for (auto &[origin, connections] : m_impl->idle)
        for (const auto &connection : connections)
            connection->close();
}

void PushClient::send(const webpush::Endpoint &endpoint, const PushMessage &message,
                      std::function<void(PushAttempt)> finished, std::chrono::seconds exchangeTime)
{
    m_impl->send(endpoint, makeRequest(endpoint, message, exchangeTime), std::move(finished));
}

void PushClient::stop()
{
    std::lock_guard<std::mutex> lock(m_impl->lookups->mutex);
    m_impl->lookups->io = nullptr;
}

} // namespace pushserver
