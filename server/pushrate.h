#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace pushserver {

// Pushes per api key: a bucket of `burst` pushes that fills again at `perSecond`, so that a program may send a
// few pushes at once while a leaked key cannot flood a phone or the disk. A key whose bucket is full again
// carries nothing worth keeping; beyond `maxKeys`, the key quiet for the longest makes way. Not thread-safe;
// the caller passes the time, so that the rules can be tested without waiting.
class PushRate final
{
public:
    using Clock = std::chrono::steady_clock;

    struct Limits
    {
        double perSecond = 5;
        int burst = 60;
        std::size_t maxKeys = 10000;
    };

    PushRate() = default;
    explicit PushRate(Limits limits);

    // Zero when the key may push now, and the push is counted; otherwise how long until it may, rounded up to
    // whole seconds (at least 1), and nothing is counted.
    std::chrono::seconds take(const std::string &key, Clock::time_point now);

    std::size_t keysHeld() const { return m_keys.size(); }

private:
    struct Bucket
    {
        double tokens = 0;
        Clock::time_point last;
    };

    Limits m_limits;
    std::unordered_map<std::string, Bucket> m_keys;
};

} // namespace pushserver
