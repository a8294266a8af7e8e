#pragma once

// The outbound HTTPS client of Web Push delivery: it POSTs one encrypted message to a push service and reports
// what came back. Connections are kept per origin for the next request. Its limits: one deadline from
// connecting (or reusing a kept connection) to the answer's header; answers of at most 8 KB of header and 16 KB
// of body; redirects are not followed; at most 16 idle connections per origin and 64 in all, each closed after
// 30 s unused. Endpoints are connected to only through webpush::endpointAddresses, so every address is public
// but the tests' loopback. Used from the thread that runs its io_context only; a name lookup blocks, so each
// runs on a thread of its own, and stopping does not wait for it.

#include "webpush.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace boost::asio {
class io_context;
} // namespace boost::asio

namespace pushserver {

// What one request came to.
struct PushAttempt
{
    int status = 0;                         // 0: no answer
    std::optional<std::int64_t> retryAfter; // seconds from now, from the answer's Retry-After
    std::string error;                      // why there is no answer
    bool notPublic = false;      // the endpoint's name resolves to an address that is not public: never sendable
    bool badCertificate = false; // the push service's certificate did not verify
    bool timedOut = false;       // no answer within the deadline
};

struct PushClientOptions
{
    // Tests only: the loopback literals, over plain http too (webpush::endpointRefusal's rule).
    bool allowLoopbackHttp = false;
    // Tests only: a certificate authority trusted beside the system's.
    std::string extraCaFile;
    std::chrono::seconds connectTime{5};
    std::chrono::seconds exchangeTime{15}; // connecting, TLS, the request and the answer's header together
};

// The message as a push service takes it (RFC 8030 with the aes128gcm coding and VAPID).
struct PushMessage
{
    std::string body;          // encrypted and padded
    std::string authorization; // the VAPID header
};

// Retry-After in seconds from `now` (seconds since the epoch): a number of seconds or an HTTP date.
std::optional<std::int64_t> parseRetryAfter(std::string_view value, std::int64_t now);

class PushClient final
{
public:
    // Throws std::runtime_error when TLS cannot be set up.
    PushClient(boost::asio::io_context &io, PushClientOptions options);
    // Closes the kept connections. Destroy it before its io_context.
    ~PushClient();
    PushClient(const PushClient &) = delete;
    PushClient &operator=(const PushClient &) = delete;

    // Sends the message over a kept connection to the endpoint's origin when there is one (and over a new one
    // when the service had closed it meanwhile), else over a new one. `finished` runs later on the io_context's
    // thread, never within this call, unless stop() came first. `exchangeTime`: this request's deadline when not
    // 0 (a push service known to be slow gets a shorter one).
    void send(const webpush::Endpoint &endpoint, const PushMessage &message, std::function<void(PushAttempt)> finished,
              std::chrono::seconds exchangeTime = std::chrono::seconds(0));
    // Lookups under way post nothing more. Safe from any thread.
    void stop();

    struct Impl;

private:
    std::shared_ptr<Impl> m_impl;
};

} // namespace pushserver
