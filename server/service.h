#pragma once

// The push service's main header: the Service serves the desktop program's requests and the phone pages over the
// HTTP layer (http.h), keeps its data in the Store (store.h) and hands pushes to Web Push delivery (delivery.h).
//
// Failures. An expected failure, one that input or the network can cause, is a value: Outcome<T> (outcome.h),
// the result or a short English reason for the log or the client, wherever a caller needs to know why; a plain
// std::optional<T> where nothing but "there is none" can happen (no account has this key, no device this id).
// A reader that takes several values in turn (a request's parameters) keeps the first reason in the same way.
// Exceptions are for what no input should cause (the database failing, memory running out): they are caught
// where a request or a job ends, logged, and answered with a 500, so that one fault never stops the service.
// Why: the reason travels with the value, the compiler keeps callers from ignoring the value, and a request's
// handler reads top to bottom without try blocks.

#include "http.h"
#include "loginthrottle.h"
#include "pushhub.h"
#include "pushrate.h"
#include "store.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace pushserver {

class Delivery;
class BlockingWork;

struct ServiceOptions
{
    // Threads that serve the connections. Waiting clients hold none, so a few are enough.
    int threads = 2;
    bool accessLog = false;
    // A phone page's event stream is closed after this long and the browser reconnects on its own; this frees
    // the places of phones that vanished from the network without closing their connection.
    std::chrono::seconds streamLifetime{120};
    // Web Push to the phones' browsers; off when null. Outlives the service.
    Delivery *delivery = nullptr;
    // The address the phone pages are given under by the pairing requests (scheme, host and port, and a path
    // when a reverse proxy serves the service under one). Empty: the address each request came in by.
    std::string publicUrl;
    // Devices that pairing requests may bring an account to; add-device on the command line is not limited.
    int maxDevicesPerAccount = 50;
    // What the connections may cost; the stream lifetime above replaces the one in it.
    HttpLimits http;
    // Pushes per api key: a burst, then a steady rate; a push beyond is refused and nothing is stored.
    double pushesPerSecond = 5;
    int pushBurst = 60;
    // A device keeps its newest pushes up to this many, from each push on: a leaked key cannot fill the disk.
    int pushesPerDevice = 1000;
};

// A listening address as it stands in a URL: a wildcard as the loopback address, IPv6 in brackets.
std::string urlHost(const std::string &address);
// The address of a device's phone page under `base`, whatever closing slashes `base` has.
std::string pageAddress(const std::string &base, const std::string &pageToken);
// Whether a Host header is a plain host name, IPv4 or bracketed IPv6 address with an optional port: nothing a
// page address could not be built from.
bool isPlainHost(std::string_view host);

// The push service over HTTP: the desktop program's requests and the phones' pages.
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
    // Another instance sharing the database stored a push for this device (0: for any): its open pages read.
    void pushStoredElsewhere(std::int64_t deviceRow);
    // Safe from any thread; serving ends within moments whatever the clients do.
    void stop();
    // HTTPS from the next connection on, with the certificate chain and key in these PEM files; also to take a
    // renewed certificate while serving. False with the reason in *error, keeping the previous ones.
    bool useTls(const std::string &certFile, const std::string &keyFile, std::string *error);

private:
    struct Call;
    struct Route;
    // Every path the service answers, with its method and limits (service.cpp).
    static const std::vector<Route> s_routes;

    void handle(const HttpRequest &request, const std::function<void(HttpResponse)> &respond);
    std::optional<HttpResponse> login(const HttpRequest &request, const std::function<void(HttpResponse)> &respond);
    HttpResponse devices(const HttpRequest &request);
    HttpResponse setName(const HttpRequest &request);
    HttpResponse addDevice(const HttpRequest &request);
    HttpResponse devicePage(const HttpRequest &request);
    // Where the phone pages are, as the client that asked reaches the service.
    std::string pageBase(const HttpRequest &request) const;
    HttpResponse push(const HttpRequest &request);
    HttpResponse page(const HttpRequest &request, const std::string &token, bool inOwnFolder);
    HttpResponse pageFile(const HttpRequest &request, const std::string &token, std::string_view file);
    HttpResponse events(const HttpRequest &request, const std::string &token);
    HttpResponse pushKey(const std::string &token);
    std::optional<HttpResponse> subscription(const HttpRequest &request, const std::string &token,
                                             const std::function<void(HttpResponse)> &respond);
    HttpResponse testNotification(const HttpRequest &request, const std::string &token);
    void watchPages();
    void stopWatching();

    Store &m_store;
    ServiceOptions m_options;
    PushHub m_hub;
    std::mutex m_throttleMutex;
    LoginThrottle m_throttle;
    std::mutex m_pushRateMutex;
    PushRate m_pushRate;
    std::unique_ptr<BlockingWork> m_checks;
    std::unique_ptr<BlockingWork> m_lookups;
    std::mutex m_testMutex;
    std::map<std::int64_t, std::chrono::steady_clock::time_point> m_lastTest; // by device row
    std::unique_ptr<HttpServer> m_http;
    std::string m_listenHost; // host:port bound, for clients that sent no usable Host header
    std::mutex m_watchMutex;
    std::condition_variable m_watchWake;
    bool m_watchStopped = false;
    std::thread m_pageWatch;
};

} // namespace pushserver
