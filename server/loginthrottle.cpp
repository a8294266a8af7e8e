#include "loginthrottle.h"

#include <algorithm>

namespace pushserver {

LoginThrottle::LoginThrottle(Limits limits) : m_limits(limits) {}

std::chrono::seconds LoginThrottle::remaining(Table &table, const std::string &key, Clock::time_point now) const
{
    const auto it = table.find(key);
    if (it == table.end())
        return std::chrono::seconds(0);
    if (now - it->second.last >= m_limits.forgetAfter) {
        table.erase(it);
        return std::chrono::seconds(0);
    }
    if (now >= it->second.until)
        return std::chrono::seconds(0);
    // Rounded up: a client told to come back after the delay must find it over.
    return std::chrono::ceil<std::chrono::seconds>(it->second.until - now);
}

std::chrono::seconds LoginThrottle::wait(const std::string &address, const std::string &user, Clock::time_point now)
{
    return std::max(remaining(m_addresses, address, now), remaining(m_users, user, now));
}

void LoginThrottle::count(Table &table, const Rule &rule, const std::string &key, Clock::time_point now)
{
    auto it = table.find(key);
    if (it != table.end() && now - it->second.last >= m_limits.forgetAfter) {
        table.erase(it);
        it = table.end();
    }
    if (it == table.end()) {
        if (table.size() >= m_limits.maxKeys) {
            const auto quietest = std::min_element(
                table.begin(), table.end(), [](const auto &a, const auto &b) { return a.second.last < b.second.last; });
            table.erase(quietest);
        }
        it = table.emplace(key, Entry{}).first;
    }
    Entry &entry = it->second;
    entry.failures = std::min(entry.failures + 1, 1000);
    entry.last = now;
    const int beyond = entry.failures - rule.freeFailures;
    if (beyond <= 0)
        return;
    // 1, 2, 4, ... seconds; the shift is capped long before it could overflow.
    const auto delay =
        std::min<std::chrono::seconds>(m_limits.firstDelay * (1LL << std::min(beyond - 1, 20)), rule.ceiling);
    entry.until = now + delay;
}

void LoginThrottle::failed(const std::string &address, const std::string &user, Clock::time_point now)
{
    count(m_addresses, m_limits.perAddress, address, now);
    count(m_users, m_limits.perUser, user, now);
}

void LoginThrottle::succeeded(const std::string &user)
{
    m_users.erase(user);
}

} // namespace pushserver
