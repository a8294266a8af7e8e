#pragma once

// Hands each stored push to the push services of the phones' browsers (Web Push), from a thread of its own,
// so that a slow or dead push service never holds up the desktop program's request. The rooms: this file runs
// the thread and the store's side; DeliveryPlanner decides what starts, what is tried again and what is given
// up; PushClient sends; webpush_address.h says which endpoints may be sent to.
//
// Its limits: `maxInFlight` requests under way, shared fairly (DeliveryPlanner's limits); each within
// `exchangeTime`, or `slowExchangeTime` for a push service that let one time out; a failed one tried again after 2 s,
// doubling to 15 min, for a day at most; a subscription whose push service's certificate fails 3 times in a
// row, or whose name leads to an internal address, is removed; one VAPID signature per origin an hour, 1024
// origins remembered; a message body of exactly `deliveryBodySize` bytes.

#include "store.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace pushserver {

struct DeliveryOptions
{
    // The operator's contact for the push services, a "mailto:" or "https:" URL.
    std::string subject;
    // Tests only: plain http (and https) to 127.0.0.1 and ::1, where a fake push service listens.
    bool allowLoopbackHttp = false;
    // Tests only: a certificate authority trusted beside the system's, for a fake push service over TLS.
    std::string extraCaFile;
    int maxInFlight = 16;
    std::chrono::seconds connectTime{5};
    std::chrono::seconds exchangeTime{15}; // connecting, TLS, the request and the answer's header together
    // For a push service whose last request timed out, until it answers in time again.
    std::chrono::seconds slowExchangeTime{3};
    std::int64_t firstRetry = 2; // seconds, doubled on each further failure
    std::int64_t longestRetry = 15 * 60;
    std::int64_t maxAge = 24 * 3600; // then a push that could not be delivered is dropped
    // A push service whose certificate failed verification this many times in a row for a subscription loses it.
    int certificateFailures = 3;
};

// What the phone page's test sends: the service worker shows it as it shows a push.
constexpr const char *testMessage = "tapvela is ready";

// Every message is padded to this body size, so that its length tells nothing; well under the 4096 bytes that
// RFC 8030 promises, since some push services take less.
constexpr std::size_t deliveryBodySize = 3072;

// The message's plaintext, the JSON that the phone page's service worker reads: the message is cut (at a
// character's boundary) until the whole fits `maxBytes`.
std::string deliveryPayload(const Push &push, const std::string &deviceName, std::size_t maxBytes);

class Delivery final
{
public:
    // Loads the VAPID key, making and storing one on first use. Throws StoreError when it cannot.
    Delivery(Store &store, DeliveryOptions options);
    ~Delivery();
    Delivery(const Delivery &) = delete;
    Delivery &operator=(const Delivery &) = delete;

    // The 65-byte public key that the pages subscribe with.
    const std::string &publicKey() const { return m_publicKey; }
    const DeliveryOptions &options() const { return m_options; }

    // Starts the thread, which first takes up what the database still holds. Call after blocking signals.
    void start();
    // A push was stored: look at the queue now. Safe from any thread.
    void wake();
    // Sends testMessage to this one subscription, now and once: it is stored nowhere and not tried again, so
    // that it never shows among the device's pushes. Safe from any thread.
    void sendTest(WebPushSubscription subscription, std::string deviceName);
    // At once: requests under way are abandoned and their deliveries stay queued for the next start.
    void stop();

    struct Impl;

private:
    Store &m_store;
    const DeliveryOptions m_options;
    std::string m_publicKey;
    std::unique_ptr<Impl> m_impl;
};

} // namespace pushserver
