#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pushserver {

// What one client may cost. Every connection is a few buffers and timers on a handful of threads, so idle
// and slow clients cost memory only, and these bounds cap that memory.
struct HttpLimits
{
    std::size_t maxHeaderBytes = 16 * 1024; // request line and headers together
    std::size_t maxTargetBytes = 4096;      // the request target, path and query: longer ones are answered 414
    std::chrono::seconds requestTime{10};   // to receive a whole request once its first byte came
    std::chrono::seconds idleTime{30};      // between two requests on a kept-alive connection
    std::chrono::seconds writeTime{10};     // for an answer, or one piece of an event stream, to leave
    std::chrono::seconds handshakeTime{10}; // for a TLS handshake; the first request then has its own requestTime
    int maxConnections = 2048;              // lowered to fit the process's descriptor limit
    // One client is an IPv4 address or an IPv6 /64 (what one subscriber gets): its connection past this is closed
    // at once. A quarter of maxConnections is kept for clients that hold less than their share (maxConnections
    // divided among the clients connected); when every place is taken, a newcomer takes the place of the idlest
    // connection of the client that holds the most.
    int maxConnectionsPerClient = 64;
    // TLS handshakes under way, about 90 KB each: past this, the oldest one is closed for the newcomer.
    int maxTlsHandshakes = 256;
    std::chrono::seconds streamKeepAlive{15}; // a comment on an otherwise silent event stream
    std::chrono::seconds streamLifetime{120}; // then the browser reconnects on its own
    // Reverse proxies (normalAddress form) whose X-Forwarded-For names the client of their requests.
    std::vector<std::string> trustedProxies;
};

// The client an address counts for in the connection caps: an IPv4 address itself (also when written as an
// IPv4-mapped IPv6 address), an IPv6 address by its /64, since one subscriber is given a whole /64. Text that is
// not an address stands for itself.
std::string clientGroup(const std::string &address);

struct HttpRequest
{
    std::string method;
    std::string target; // as received
    std::string client; // the peer's address, or the client's as a trusted reverse proxy gives it
    std::optional<std::string> lastEventId;
    std::string acceptLanguage; // cut to its first ranges that fit maxAcceptLanguageBytes
    std::string host;           // the Host header as given; empty when absent or longer than maxHostBytes
    bool tls = false;           // came over HTTPS
};

constexpr std::size_t maxAcceptLanguageBytes = 256;
constexpr std::size_t maxHostBytes = 300;

// The events of one open event stream. The connection asks for them whenever it may write.
class EventSource
{
public:
    virtual ~EventSource() = default;
    // `wake` may be called from any thread at any time, also after the stream ended (it then does nothing).
    virtual void start(std::function<void()> wake) = 0;
    // The events not sent yet, as stream text; empty when there is none.
    virtual std::string take() = 0;
    // True once the stream is to end (its page is gone): what was taken is written, then the stream closes.
    virtual bool finished() { return false; }
};

struct HttpResponse
{
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<EventSource> events; // an event stream follows the headers instead of a body
    std::string logPath;                 // how the access log shows the request's path: never a secret
    // Called once the answer is written or could not be: for work that must not delay the answer.
    std::function<void()> sent;
};

// Called exactly once, from any thread, with the answer to a request.
using Responder = std::function<void(HttpResponse)>;
using HttpHandler = std::function<void(const HttpRequest &, Responder)>;

// HTTP/1.1 on Boost.Beast: keep-alive and pipelined requests answered in order, no request bodies, and the
// limits above. Request handling is the handler's; it may answer later from another thread.
class HttpServer final
{
public:
    HttpServer(HttpLimits limits, bool accessLog, HttpHandler handler);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // The port actually bound (a free one when `port` is 0), or -1 when the address cannot be used.
    int bind(const std::string &address, int port);
    // Serves on `threads` threads, this one included, until stop(); then closes every connection.
    bool run(int threads);
    // Safe from any thread, also before run().
    void stop();
    // From now on the connections speak TLS with the certificate chain and key in these PEM files; the ones
    // already open keep the certificate they began with. Safe from any thread. When the files cannot be used,
    // returns false with the reason in *error and keeps what was there before.
    bool useTls(const std::string &certFile, const std::string &keyFile, std::string *error);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The text for a log line: bytes outside printable ASCII (and the backslash) as \xNN, cut to `maxBytes`.
std::string logEscaped(std::string_view text, std::size_t maxBytes);

} // namespace pushserver
