#pragma once

#include "pushhub.h"
#include "store.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace pushserver {

class HttpServer;

struct ServiceOptions
{
    int threads = 64;
    bool accessLog = false;
    // A phone page's event stream is closed after this long and the browser reconnects on its own; this frees
    // the threads of phones that vanished from the network without closing their connection.
    std::chrono::seconds streamLifetime{120};
};

// The push service over HTTP: the desktop program's four requests and the phones' pages.
class Service final
{
public:
    Service(Store &store, ServiceOptions options);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // The port actually bound (a free one when `port` is 0), or -1 when the address cannot be used.
    int bind(const std::string &address, int port);
    // Serves until stop(); false when serving could not start.
    bool run();
    // Safe from any thread.
    void stop();

private:
    void registerRoutes();
    bool checkPasswordSlowly(const std::string &storedHash, const std::string &digest);

    Store &m_store;
    ServiceOptions m_options;
    PushHub m_hub;
    std::unique_ptr<HttpServer> m_http;

    // Each password check takes 64 MiB for a tenth of a second: a few at a time keeps a burst of logins from
    // exhausting memory or starving the pushes.
    std::mutex m_loginMutex;
    std::condition_variable m_loginFree;
    int m_loginsRunning = 0;
};

} // namespace pushserver
