#include "http.h"

#include "clientaddress.h"

#include "netnames.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <type_traits>
#include <unordered_map>

namespace pushserver {

using Clock = std::chrono::steady_clock;

std::string logEscaped(std::string_view text, std::size_t maxBytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text.substr(0, maxBytes)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    if (text.size() > maxBytes)
        out += "...";
    return out;
}

std::string clientGroup(const std::string &address)
{
    error_code ec;
    const net::ip::address ip = net::ip::make_address(address, ec);
    if (ec)
        return address;
    if (ip.is_v4())
        return ip.to_string();
    const net::ip::address_v6 v6 = ip.to_v6();
    if (v6.is_v4_mapped())
        return net::ip::make_address_v4(net::ip::v4_mapped, v6).to_string();
    net::ip::address_v6::bytes_type bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return net::ip::address_v6(bytes).to_string() + "/64";
}

namespace {

class ConnectionBase
{
public:
    virtual ~ConnectionBase() = default;
    // Only once no thread serves any more.
    virtual void closeNow() = 0;
    // From any thread: the connection ends soon, to make room for another.
    virtual void evict() = 0;
};

const char *reasonText(int status)
{
    switch (status) {
    case 400:
        return "bad request\n";
    case 413:
        return "a request body is not accepted here\n";
    case 414:
        return "request too long\n";
    case 431:
        return "request headers too large\n";
    default:
        return "error\n";
    }
}

} // namespace

struct HttpServer::Impl
{
    Impl(HttpLimits limits, bool accessLog, HttpHandler handler);

    void accept();
    void admit(tcp::socket socket);
    // Counts a new connection in, or refuses it (false); may pick others to close for it.
    bool enter(const std::shared_ptr<ConnectionBase> &connection, const std::string &address, bool tlsConnection);
    void release(ConnectionBase *connection);
    // A request began or an answer left: the connection is not idle.
    void touch(ConnectionBase *connection);
    void handshakeEnded(ConnectionBase *connection);
    void log(const std::string &client, const std::string &method, const std::string &path, int status);

    struct Entry
    {
        std::weak_ptr<ConnectionBase> connection;
        std::string client; // clientGroup() of its address
        Clock::time_point admitted, active;
        bool handshaking = false;
        bool evicted = false; // its place counts as free already; its descriptor is not closed yet
    };
    using Live = std::unordered_map<ConnectionBase *, Entry>;
    Live::iterator idlestOfHeaviest(int heavierThan);
    Live::iterator oldestHandshake();
    void evict(Entry &entry, std::vector<std::shared_ptr<ConnectionBase>> *closing);
    void scheduleTrim();

    HttpLimits limits;
    const bool accessLog;
    HttpHandler handler;

    std::mutex mutex;
    int connections = 0; // the evicted ones apart
    int handshakes = 0;
    int evicting = 0;
    std::unordered_map<std::string, int> perClient;
    Live live;
    std::shared_ptr<ssl::context> tls; // null for plain HTTP; each connection keeps the one it began with
    int closedSinceTrim = 0;
    bool trimPending = false;
    std::atomic<bool> serving{false};

    // Destroyed before the counts above: the connections that its pending work holds give their place back.
    net::io_context context;
    tcp::acceptor acceptor{context};
    net::steady_timer acceptRetry{context};
    net::strand<net::io_context::executor_type> housekeeping{net::make_strand(context)};
    net::steady_timer trimTimer{housekeeping};
};

namespace {

// Whether a request's header, as received (each line with its CRLF, the empty line apart), has only the forms
// that every reader frames alike (RFC 9112): no line folded onto the previous one (obs-fold), no whitespace
// before the first field, no lone CR or LF.
bool plainFraming(std::string_view header)
{
    for (std::size_t at = 0; at < header.size(); ++at) {
        const char c = header[at];
        if (c == '\r' && (at + 1 == header.size() || header[at + 1] != '\n'))
            return false;
        if (c == '\n' && (at == 0 || header[at - 1] != '\r'))
            return false;
        if (c == '\n' && at + 1 < header.size() && (header[at + 1] == ' ' || header[at + 1] == '\t'))
            return false;
    }
    return true;
}

// The body's length is told one way only: a Transfer-Encoding whose last coding is chunked, or a single
// Content-Length of digits; not both, not a list, not two fields that a front end may choose between.
bool plainBodyFraming(const http::request<http::empty_body> &message, bool chunked)
{
    const bool coded = message.find(http::field::transfer_encoding) != message.end();
    const auto lengths = message.equal_range(http::field::content_length);
    if (lengths.first == lengths.second)
        return !coded || chunked;
    if (coded || std::next(lengths.first) != lengths.second)
        return false;
    const auto value = lengths.first->value();
    return !value.empty() && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
}

template <class Stream> struct IsTls : std::false_type
{
};
template <class Next> struct IsTls<beast::ssl_stream<Next>> : std::true_type
{
};

// One client's connection. The stream type is a parameter so that an encrypted stream can take the plain
// one's place; everything below the HTTP messages goes through get_lowest_layer.
template <class Stream>
class Connection final : public ConnectionBase, public std::enable_shared_from_this<Connection<Stream>>
{
public:
    Connection(HttpServer::Impl &server, std::shared_ptr<ssl::context> tls, Stream stream, std::string address)
        : m_server(server), m_tls(std::move(tls)), m_stream(std::move(stream)), m_address(std::move(address)),
          m_client(m_address), m_buffer(server.limits.maxHeaderBytes + 1024), m_tick(m_stream.get_executor())
    {
    }

    ~Connection() override { m_server.release(this); }

    void start()
    {
        if constexpr (IsTls<Stream>::value) {
            // A client that connects and stays silent, or trickles its handshake, is dropped at the handshake's
            // deadline, and waiting for it holds no thread.
            lowest().expires_after(m_server.limits.handshakeTime);
            m_stream.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](error_code ec) {
                self->m_server.handshakeEnded(self.get());
                if (ec)
                    return self->closeNow();
                self->readRequest(true);
            });
        } else {
            readRequest(true);
        }
    }

    void closeNow() override
    {
        error_code ignored;
        beast::get_lowest_layer(m_stream).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(m_stream).socket().close(ignored);
    }

    void evict() override
    {
        net::post(m_stream.get_executor(), [self = this->shared_from_this()] { self->closeNow(); });
    }

private:
    auto lowest() -> decltype(beast::get_lowest_layer(std::declval<Stream &>()))
    {
        return beast::get_lowest_layer(m_stream);
    }

    void readRequest(bool fresh)
    {
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_server.limits.maxHeaderBytes));
        m_scanned = 0;
        if (fresh || m_buffer.size() > 0)
            return readHeader();
        // A kept-alive connection may stay quiet for a while; once a request begins, it must arrive whole in time.
        lowest().expires_after(m_server.limits.idleTime);
        m_stream.async_read_some(m_buffer.prepare(1024),
                                 [self = this->shared_from_this()](error_code ec, std::size_t bytes) {
                                     if (ec)
                                         return self->closeNow();
                                     self->m_buffer.commit(bytes);
                                     self->readHeader();
                                 });
    }

    void readHeader()
    {
        lowest().expires_after(m_server.limits.requestTime);
        takeHeader();
    }

    // The header is gathered whole before Beast parses it, so that the forms that Beast accepts and a front end
    // could read otherwise can be refused from the bytes as they came.
    void takeHeader()
    {
        const auto data = m_buffer.data();
        const std::string_view bytes(static_cast<const char *>(data.data()), data.size());
        const std::size_t end = bytes.find("\r\n\r\n", m_scanned);
        if (end == std::string_view::npos) {
            if (bytes.size() > m_server.limits.maxHeaderBytes)
                return refuse(431);
            m_scanned = bytes.size() < 3 ? 0 : bytes.size() - 3;
            const std::size_t room = std::min<std::size_t>(4096, m_buffer.max_size() - m_buffer.size());
            return m_stream.async_read_some(m_buffer.prepare(room),
                                            [self = this->shared_from_this()](error_code ec, std::size_t got) {
                                                if (ec == net::error::eof && self->m_buffer.size() > 0)
                                                    return self->refuse(400); // a request cut short
                                                if (ec)
                                                    return self->closeNow();
                                                self->m_buffer.commit(got);
                                                self->takeHeader();
                                            });
        }
        if (end + 4 > m_server.limits.maxHeaderBytes)
            return refuse(431);
        if (!plainFraming(bytes.substr(0, end + 2)))
            return refuse(400);
        error_code ec;
        m_buffer.consume(m_parser->put(net::buffer(data.data(), end + 4), ec));
        if (!ec && !m_parser->is_header_done())
            ec = http::error::partial_message;
        onHeader(ec);
    }

    void onHeader(error_code ec)
    {
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
            return refuse(431);
        if (ec || !plainBodyFraming(m_parser->get(), m_parser->chunked()))
            return refuse(400);
        // No route takes a body: refusing it at once spares waiting for bytes that are of no use.
        if (!m_parser->is_done())
            return refuse(413);
        m_server.touch(this);

        const auto &message = m_parser->get();
        HttpRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        std::vector<std::string_view> forwardedFor;
        for (const auto &field : message)
            if (beast::iequals(field.name_string(), "X-Forwarded-For"))
                forwardedFor.emplace_back(field.value().data(), field.value().size());
        m_client = forwardedClient(m_address, forwardedFor, m_server.limits.trustedProxies);
        request.client = m_client;
        request.tls = IsTls<Stream>::value;
        if (const auto field = message.find(http::field::host);
            field != message.end() && field->value().size() <= maxHostBytes)
            request.host = std::string(field->value());
        if (const auto field = message.find("Last-Event-ID"); field != message.end())
            request.lastEventId = std::string(field->value());
        if (const auto field = message.find(http::field::accept_language); field != message.end()) {
            // Only the page's language is read from it; a long list keeps its first, preferred, ranges.
            std::string_view ranges(field->value().data(), field->value().size());
            if (ranges.size() > maxAcceptLanguageBytes) {
                const std::size_t comma = ranges.substr(0, maxAcceptLanguageBytes).rfind(',');
                ranges = ranges.substr(0, comma == std::string_view::npos ? 0 : comma);
            }
            request.acceptLanguage = std::string(ranges);
        }
        m_keepAlive = message.keep_alive();
        m_head = message.method() == http::verb::head;
        m_method = request.method;
        // The same bound for every route, whatever it reads of the query.
        if (request.target.size() > m_server.limits.maxTargetBytes) {
            HttpResponse tooLong;
            tooLong.status = 414;
            tooLong.contentType = "text/plain; charset=utf-8";
            tooLong.body = reasonText(414);
            tooLong.logPath = "-";
            return answer(std::move(tooLong));
        }

        auto self = this->shared_from_this();
        Responder respond = [self](HttpResponse response) {
            net::post(self->m_stream.get_executor(),
                      [self, response = std::move(response)]() mutable { self->answer(std::move(response)); });
        };
        try {
            m_server.handler(request, std::move(respond));
        } catch (const std::exception &e) {
            std::fprintf(stderr, "tapvela-server: a request failed: %s\n", e.what());
            HttpResponse failed;
            failed.status = 500;
            failed.contentType = "text/plain; charset=utf-8";
            failed.body = "internal error\n";
            failed.logPath = "-";
            answer(std::move(failed));
        }
    }

    // A request that cannot be read: answered, then the connection ends, since what follows is unknown.
    void refuse(int status)
    {
        m_keepAlive = false;
        m_head = false;
        m_method = "-";
        m_client = m_address; // no header could be read
        HttpResponse response;
        response.status = status;
        response.contentType = "text/plain; charset=utf-8";
        response.body = reasonText(status);
        response.logPath = "-";
        answer(std::move(response));
    }

    void answer(HttpResponse response)
    {
        if (m_server.accessLog)
            m_server.log(m_client, m_method, response.logPath, response.status);
        if (response.events && !m_head) {
            if (response.sent)
                response.sent();
            return startEvents(std::move(response));
        }
        m_response = {};
        m_response.version(11);
        m_response.result(static_cast<unsigned>(response.status));
        if (!response.contentType.empty())
            m_response.set(http::field::content_type, response.contentType);
        for (const auto &header : response.headers)
            m_response.set(header.first, header.second);
        m_response.keep_alive(m_keepAlive);
        // A HEAD answer tells the length of the body it leaves out.
        m_response.content_length(response.body.size());
        if (!m_head)
            m_response.body() = std::move(response.body);
        lowest().expires_after(m_server.limits.writeTime);
        http::async_write(
            m_stream, m_response,
            [self = this->shared_from_this(), sent = std::move(response.sent)](error_code ec, std::size_t) {
                if (sent)
                    sent();
                if (ec)
                    return self->closeNow();
                self->m_server.touch(self.get());
                if (!self->m_keepAlive)
                    return self->lingerAndClose();
                // Requests already received stay in the buffer and are read next, so they are answered in order.
                self->readRequest(false);
            });
    }

    // Closing with unread bytes from the client would reset the connection and could destroy the answer before
    // the client reads it: stop sending, then drop what still comes for a short while.
    void lingerAndClose()
    {
        if constexpr (IsTls<Stream>::value) {
            // The TLS end first, so that the client can tell the answer is whole; a client that never answers
            // it is not waited for long.
            lowest().expires_after(std::chrono::seconds(2));
            m_stream.async_shutdown([self = this->shared_from_this()](error_code) { self->lingerTcp(); });
        } else {
            lingerTcp();
        }
    }

    void lingerTcp()
    {
        error_code ignored;
        lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
        lowest().expires_after(std::chrono::seconds(2));
        drain();
    }

    void drain()
    {
        lowest().async_read_some(net::buffer(m_scratch), [self = this->shared_from_this()](error_code ec, std::size_t) {
            if (ec)
                return self->closeNow();
            self->drain();
        });
    }

    // The event stream: chunks written as events come, with no thread waiting for them.
    void startEvents(HttpResponse response)
    {
        m_events = std::move(response.events);
        m_eventsHeader.version(11);
        m_eventsHeader.result(static_cast<unsigned>(response.status));
        m_eventsHeader.set(http::field::content_type, "text/event-stream");
        for (const auto &header : response.headers)
            m_eventsHeader.set(header.first, header.second);
        m_eventsHeader.keep_alive(false);
        m_eventsHeader.chunked(true);
        m_serializer.emplace(m_eventsHeader);

        const auto now = Clock::now();
        m_end = now + m_server.limits.streamLifetime;
        m_lastWrite = m_writeStarted = now;
        m_writing = true;
        m_pending = "retry: 3000\n: connected\n\n";
        m_woken = true;
        // The stream's own timer bounds each write, since the pending read below has no deadline.
        lowest().expires_never();
        std::weak_ptr<Connection> weak = this->shared_from_this();
        auto executor = m_stream.get_executor();
        m_events->start([weak, executor] {
            net::post(executor, [weak] {
                if (const auto self = weak.lock()) {
                    self->m_woken = true;
                    self->pump();
                }
            });
        });
        http::async_write_header(m_stream, *m_serializer,
                                 [self = this->shared_from_this()](error_code ec, std::size_t) {
                                     self->m_writing = false;
                                     if (ec)
                                         return self->endEvents();
                                     self->watchForClose();
                                     self->pump();
                                     self->scheduleTick();
                                 });
    }

    // A browser that leaves the page closes the connection: a pending read learns it at once, and the stream's
    // place is free again.
    void watchForClose()
    {
        m_stream.async_read_some(net::buffer(m_scratch),
                                 [self = this->shared_from_this()](error_code, std::size_t) { self->endEvents(); });
    }

    void pump()
    {
        if (m_ended || m_writing)
            return;
        if (m_woken && !m_ending) {
            m_woken = false;
            std::string events = m_events->take();
            // A batch may not hold everything: ask again once it is written.
            m_woken = !events.empty();
            if (m_woken)
                m_server.touch(this);
            m_pending += events;
            m_ending = m_events->finished();
        }
        if (m_pending.empty()) {
            if (m_ending)
                writeLast();
            return;
        }
        m_sending.swap(m_pending);
        m_pending.clear();
        m_writing = true;
        m_lastWrite = m_writeStarted = Clock::now();
        net::async_write(m_stream, http::make_chunk(net::buffer(m_sending)),
                         [self = this->shared_from_this()](error_code ec, std::size_t) {
                             self->m_writing = false;
                             if (ec)
                                 return self->endEvents();
                             self->pump();
                         });
    }

    void writeLast()
    {
        m_writing = true;
        m_writeStarted = Clock::now();
        net::async_write(m_stream, http::make_chunk_last(),
                         [self = this->shared_from_this()](error_code, std::size_t) { self->endEvents(); });
    }

    void scheduleTick()
    {
        if (m_ended)
            return;
        auto at = std::min(m_lastWrite + m_server.limits.streamKeepAlive, m_end);
        if (m_writing)
            at = std::min(at, m_writeStarted + m_server.limits.writeTime);
        m_tick.expires_at(at);
        m_tick.async_wait([self = this->shared_from_this()](error_code ec) {
            if (!ec)
                self->onTick();
        });
    }

    void onTick()
    {
        if (m_ended)
            return;
        const auto now = Clock::now();
        // A phone that stopped reading without closing: its place goes to others.
        if (m_writing && now - m_writeStarted >= m_server.limits.writeTime)
            return endEvents();
        if (now >= m_end) {
            m_ending = true;
            pump();
        } else if (!m_writing && now - m_lastWrite >= m_server.limits.streamKeepAlive) {
            m_pending += ": keep-alive\n\n";
            pump();
        }
        scheduleTick();
    }

    void endEvents()
    {
        if (m_ended)
            return;
        m_ended = true;
        m_tick.cancel();
        m_events.reset();
        closeNow();
    }

    HttpServer::Impl &m_server;
    const std::shared_ptr<ssl::context> m_tls; // outlives the stream made with it
    Stream m_stream;
    const std::string m_address;
    std::string m_client; // of the request being answered: the peer, or whom a trusted proxy names
    beast::flat_buffer m_buffer;
    std::size_t m_scanned = 0; // bytes of m_buffer known to hold no end of header
    std::optional<http::request_parser<http::empty_body>> m_parser;
    http::response<http::string_body> m_response;
    std::string m_method;
    bool m_keepAlive = false;
    bool m_head = false;
    char m_scratch[512];

    std::shared_ptr<EventSource> m_events;
    http::response<http::empty_body> m_eventsHeader;
    std::optional<http::response_serializer<http::empty_body>> m_serializer;
    net::steady_timer m_tick;
    std::string m_pending, m_sending;
    Clock::time_point m_end, m_lastWrite, m_writeStarted;
    bool m_writing = false, m_woken = false, m_ending = false, m_ended = false;
};

// Each connection is a descriptor: the soft limit is raised as far as allowed, and the connection cap kept
// below it with room for the database and the listening socket.
int connectionCap(int wanted)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        std::perror("tapvela-server: getrlimit");
        return std::min(wanted, 900);
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(wanted + 64) : limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
        else
            std::perror("tapvela-server: setrlimit");
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return wanted;
    const auto room = static_cast<long long>(limit.rlim_cur) - 64;
    return static_cast<int>(std::max(1LL, std::min<long long>(wanted, room)));
}

template <class Stream>
void launch(HttpServer::Impl &server, std::shared_ptr<ssl::context> tls, Stream stream, const std::string &address)
{
    auto connection = std::make_shared<Connection<Stream>>(server, std::move(tls), std::move(stream), address);
    if (server.enter(connection, address, IsTls<Stream>::value))
        connection->start();
}

// TLS 1.2 at least, forward-secret key exchange (ECDHE) and AEAD ciphers only, in the server's order of
// preference; no compression (CRIME), no renegotiation, no session tickets, whose key would live as long as
// the process.
std::shared_ptr<ssl::context> makeTlsContext(const std::string &certFile, const std::string &keyFile,
                                             std::string *error)
{
    const auto fail = [&](const std::string &what, const error_code &ec) {
        *error = what + (ec ? ": " + ec.message() : std::string());
        ERR_clear_error();
        return nullptr;
    };
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    SSL_CTX *native = context->native_handle();
    SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                    SSL_OP_NO_TICKET);
    // An idle connection gives its record buffers back (about 34 KB), and the sessions kept for quick reconnects
    // stay a few megabytes.
    SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_sess_set_cache_size(native, 4096);
    if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(native, "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                        "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                        "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305") != 1 ||
        SSL_CTX_set1_groups_list(native, "X25519:P-256:P-384") != 1)
        return fail("this OpenSSL lacks the TLS settings needed", {});
    // A key protected by a passphrase would otherwise make OpenSSL ask for it on the terminal.
    context->set_password_callback([](std::size_t, ssl::context::password_purpose) { return std::string(); });
    // OpenSSL's own words for a missing or unreadable file say little.
    for (const std::string *file : {&certFile, &keyFile}) {
        if (std::FILE *stream = std::fopen(file->c_str(), "rb")) {
            std::fclose(stream);
        } else {
            *error = "cannot read " + *file + ": " + std::strerror(errno);
            return nullptr;
        }
    }
    error_code ec;
    context->use_certificate_chain_file(certFile, ec);
    if (ec)
        return fail("cannot use the certificate chain in " + certFile, ec);
    context->use_private_key_file(keyFile, ssl::context::pem, ec);
    if (ec && ec.category() == net::error::get_ssl_category() &&
        ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == X509_R_KEY_VALUES_MISMATCH)
        return fail("the key in " + keyFile + " does not belong to the certificate in " + certFile, {});
    if (ec)
        return fail("cannot use the private key in " + keyFile + " (PEM, without a passphrase)", ec);
    if (SSL_CTX_check_private_key(native) != 1)
        return fail("the key in " + keyFile + " does not belong to the certificate in " + certFile, {});
    return context;
}

} // namespace

HttpServer::Impl::Impl(HttpLimits limits_, bool accessLog_, HttpHandler handler_)
    : limits(limits_), accessLog(accessLog_), handler(std::move(handler_))
{
    limits.maxConnections = connectionCap(limits.maxConnections);
    limits.maxConnectionsPerClient = std::clamp(limits.maxConnectionsPerClient, 1, limits.maxConnections);
    limits.maxTlsHandshakes = std::clamp(limits.maxTlsHandshakes, 1, limits.maxConnections);
}

void HttpServer::Impl::accept()
{
    acceptor.async_accept(net::make_strand(context), [this](error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor.is_open())
            return;
        if (ec) {
            // Out of descriptors most likely: try again shortly instead of spinning.
            acceptRetry.expires_after(std::chrono::milliseconds(100));
            acceptRetry.async_wait([this](error_code waited) {
                if (!waited)
                    accept();
            });
            return;
        }
        admit(std::move(socket));
        accept();
    });
}

void HttpServer::Impl::admit(tcp::socket socket)
{
    error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec)
        return;
    const std::string address = peer.address().to_string();
    socket.set_option(tcp::no_delay(true), ec);
    std::shared_ptr<ssl::context> current;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = tls;
    }
    if (!current)
        return launch(*this, nullptr, beast::tcp_stream(std::move(socket)), address);
    ssl::context &context = *current;
    launch(*this, std::move(current),
           beast::ssl_stream<beast::tcp_stream>(beast::tcp_stream(std::move(socket)), context), address);
}

bool HttpServer::Impl::enter(const std::shared_ptr<ConnectionBase> &connection, const std::string &address,
                             bool tlsConnection)
{
    // Evicted connections keep their descriptor for the moment it takes them to close: a few at a time.
    constexpr int maxEvicting = 16;
    std::string client = clientGroup(address);
    std::vector<std::shared_ptr<ConnectionBase>> closing;
    const auto admitted = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = perClient.find(client);
        const int held = found == perClient.end() ? 0 : found->second;
        if (held >= limits.maxConnectionsPerClient)
            return false;
        // The last places are for clients that hold no more than their share once they have this one.
        const int reserved = limits.maxConnections / 4;
        const int clients = static_cast<int>(perClient.size()) + (held == 0 ? 1 : 0);
        if (connections >= limits.maxConnections - reserved && held + 1 > std::max(1, limits.maxConnections / clients))
            return false;
        // Full: the newcomer takes the place of a connection of a client that holds more than it does.
        if (connections >= limits.maxConnections) {
            const auto victim = idlestOfHeaviest(held);
            if (victim == live.end() || evicting >= maxEvicting)
                return false;
            evict(victim->second, &closing);
        }
        // A pending handshake that has not ended yet is given up for the newest: a client that completes its
        // handshake within the time it takes others to open as many connections gets through.
        if (tlsConnection && handshakes >= limits.maxTlsHandshakes) {
            const auto victim = oldestHandshake();
            if (victim == live.end() || evicting >= maxEvicting)
                return false;
            evict(victim->second, &closing);
        }
        ++connections;
        ++perClient[client];
        if (tlsConnection)
            ++handshakes;
        const auto now = Clock::now();
        live.emplace(connection.get(), Entry{connection, std::move(client), now, now, tlsConnection, false});
        return true;
    }();
    for (const auto &victim : closing)
        victim->evict();
    return admitted;
}

// Among the clients holding the most connections, if they hold more than `heavierThan`: the connection that has
// been idle the longest.
HttpServer::Impl::Live::iterator HttpServer::Impl::idlestOfHeaviest(int heavierThan)
{
    int most = heavierThan + 1;
    for (const auto &client : perClient)
        most = std::max(most, client.second);
    auto idlest = live.end();
    for (auto it = live.begin(); it != live.end(); ++it) {
        const Entry &entry = it->second;
        if (entry.evicted || (idlest != live.end() && entry.active >= idlest->second.active))
            continue;
        const auto client = perClient.find(entry.client);
        if (client != perClient.end() && client->second == most)
            idlest = it;
    }
    return idlest;
}

HttpServer::Impl::Live::iterator HttpServer::Impl::oldestHandshake()
{
    auto oldest = live.end();
    for (auto it = live.begin(); it != live.end(); ++it)
        if (it->second.handshaking && !it->second.evicted &&
            (oldest == live.end() || it->second.admitted < oldest->second.admitted))
            oldest = it;
    return oldest;
}

// Under the lock: the connection's place is free from now on; it is closed once the lock is left.
void HttpServer::Impl::evict(Entry &entry, std::vector<std::shared_ptr<ConnectionBase>> *closing)
{
    entry.evicted = true;
    ++evicting;
    --connections;
    if (entry.handshaking) {
        entry.handshaking = false;
        --handshakes;
    }
    const auto client = perClient.find(entry.client);
    if (client != perClient.end() && --client->second <= 0)
        perClient.erase(client);
    // A connection already on its way out (its last reference gone) gives its place back by itself.
    if (auto connection = entry.connection.lock())
        closing->push_back(std::move(connection));
}

void HttpServer::Impl::release(ConnectionBase *connection)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = live.find(connection);
    if (it == live.end())
        return; // refused at the door
    Entry &entry = it->second;
    if (entry.evicted) {
        --evicting;
    } else {
        --connections;
        if (entry.handshaking)
            --handshakes;
        const auto client = perClient.find(entry.client);
        if (client != perClient.end() && --client->second <= 0)
            perClient.erase(client);
    }
    live.erase(it);
    // The memory of many connections closed together (a TLS handshake holds about 90 KB) goes back to the
    // system: the allocator would keep it for the process otherwise.
    if (++closedSinceTrim >= 64 && !trimPending && serving) {
        trimPending = true;
        net::post(housekeeping, [this] { scheduleTrim(); });
    }
}

// At most once a second, and a second after the burst began, so that its closes are taken together.
void HttpServer::Impl::scheduleTrim()
{
    trimTimer.expires_after(std::chrono::seconds(1));
    trimTimer.async_wait([this](error_code ec) {
        if (ec)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            closedSinceTrim = 0;
            trimPending = false;
        }
        malloc_trim(0);
    });
}

void HttpServer::Impl::touch(ConnectionBase *connection)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (const auto it = live.find(connection); it != live.end())
        it->second.active = Clock::now();
}

void HttpServer::Impl::handshakeEnded(ConnectionBase *connection)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (const auto it = live.find(connection); it != live.end() && it->second.handshaking) {
        it->second.handshaking = false;
        --handshakes;
    }
}

void HttpServer::Impl::log(const std::string &client, const std::string &method, const std::string &path, int status)
{
    std::fprintf(stderr, "%s %s %s %d\n", logEscaped(client, 64).c_str(), logEscaped(method, 16).c_str(),
                 logEscaped(path, 160).c_str(), status);
}

HttpServer::HttpServer(HttpLimits limits, bool accessLog, HttpHandler handler)
    : m_impl(std::make_unique<Impl>(limits, accessLog, std::move(handler)))
{
}

HttpServer::~HttpServer() = default;

int HttpServer::bind(const std::string &address, int port)
{
    error_code ec;
    tcp::endpoint endpoint;
    const auto ip = net::ip::make_address(address, ec);
    if (!ec) {
        endpoint = tcp::endpoint(ip, static_cast<unsigned short>(port));
    } else {
        tcp::resolver resolver(m_impl->context);
        const auto found = resolver.resolve(address, std::to_string(port), ec);
        if (ec || found.empty())
            return -1;
        endpoint = found.begin()->endpoint();
    }
    tcp::acceptor &acceptor = m_impl->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (ec)
        return -1;
    // Lets a restarted service take its port back at once; a second running service still fails to bind.
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error_code ignored;
        acceptor.close(ignored);
        return -1;
    }
    return acceptor.local_endpoint(ec).port();
}

bool HttpServer::run(int threads)
{
    if (!m_impl->acceptor.is_open())
        return false;
    m_impl->accept();
    m_impl->serving = true;
    std::vector<std::thread> others;
    for (int i = 1; i < threads; ++i)
        others.emplace_back([this] { m_impl->context.run(); });
    m_impl->context.run();
    for (std::thread &thread : others)
        thread.join();
    m_impl->serving = false;

    // Nothing runs any more: every client learns at once that the service has gone.
    error_code ignored;
    m_impl->acceptor.close(ignored);
    std::vector<std::shared_ptr<ConnectionBase>> open;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        for (const auto &entry : m_impl->live)
            if (auto connection = entry.second.connection.lock())
                open.push_back(std::move(connection));
    }
    for (const auto &connection : open)
        connection->closeNow();
    return true;
}

void HttpServer::stop()
{
    m_impl->context.stop();
}

bool HttpServer::useTls(const std::string &certFile, const std::string &keyFile, std::string *error)
{
    auto context = makeTlsContext(certFile, keyFile, error);
    if (!context)
        return false;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->tls = std::move(context);
    return true;
}

} // namespace pushserver
