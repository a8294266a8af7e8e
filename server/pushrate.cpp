#include "pushrate.h"

#include <algorithm>
#include <cmath>

namespace pushserver {

PushRate::PushRate(Limits limits) : m_limits(limits)
{
    m_limits.perSecond = std::max(m_limits.perSecond, 1e-6);
    m_limits.burst = std::max(m_limits.burst, 1);
    m_limits.maxKeys = std::max<std::size_t>(m_limits.maxKeys, 1);
}

std::chrono::seconds PushRate::take(const std::string &key, Clock::time_point now)
{
    auto it = m_keys.find(key);
    if (it == m_keys.end()) {
        if (m_keys.size() >= m_limits.maxKeys) {
            const auto quietest = std::min_element(m_keys.begin(), m_keys.end(), [](const auto &a, const auto &b) {
                return a.second.last < b.second.last;
            });
            m_keys.erase(quietest);
        }
        it = m_keys.emplace(key, Bucket{double(m_limits.burst), now}).first;
    }
    Bucket &bucket = it->second;
    // A clock that went back (it does not; a caller's mistake) refills nothing.
    const double elapsed = std::max(0.0, std::chrono::duration<double>(now - bucket.last).count());
    bucket.tokens = std::min(double(m_limits.burst), bucket.tokens + elapsed * m_limits.perSecond);
    bucket.last = std::max(bucket.last, now);
    if (bucket.tokens >= 1) {
        bucket.tokens -= 1;
        return std::chrono::seconds(0);
    }
    // Rounded up: a program told to come back after the wait must find a push allowed.
    const double wait = std::ceil((1 - bucket.tokens) / m_limits.perSecond);
    return std::chrono::seconds(static_cast<long long>(std::clamp(wait, 1.0, 1e9)));
}

} // namespace pushserver
