#include "loginthrottle.h"

#include "http.h"

#include <algorithm>

namespace pushserver {

namespace {

// What a client is told when a check of its own, or for the same name, is still running.
constexpr std::chrono::seconds busyWait{1};

} // namespace

LoginThrottle::LoginThrottle(Limits limits) : m_limits(limits) {}

LoginThrottle::Entry *LoginThrottle::find(Table &table, const std::string &key, Clock::time_point now) const
{
    const auto it = table.find(key);
    if (it == table.end())
        return nullptr;
    if (it->second.running == 0 && now - it->second.lastSeen >= m_limits.forgetAfter) {
        table.erase(it);
        return nullptr;
    }
    return &it->second;
}

LoginThrottle::Entry &LoginThrottle::entry(Table &table, const std::string &key, Clock::time_point now) const
{
    if (Entry *found = find(table, key, now))
        return *found;
    if (table.size() >= m_limits.maxKeys) {
        auto quietest = table.end();
        for (auto it = table.begin(); it != table.end(); ++it)
            if (it->second.running == 0 && (quietest == table.end() || it->second.lastSeen < quietest->second.lastSeen))
                quietest = it;
        // Keys with checks running stay; there are never more of them than checks can wait.
        if (quietest != table.end())
            table.erase(quietest);
    }
    return table.emplace(key, Entry{}).first->second;
}

std::chrono::seconds LoginThrottle::delayLeft(const Entry &entry, const Rule &rule, Clock::time_point now) const
{
    const int beyond = entry.failures - rule.freeFailures;
    if (beyond <= 0)
        return std::chrono::seconds(0);
    // 1, 2, 4, ... seconds from the last admitted attempt; the shift is capped long before it could overflow.
    const auto delay =
        std::min<std::chrono::seconds>(m_limits.firstDelay * (1LL << std::min(beyond - 1, 20)), rule.ceiling);
    const auto until = entry.last + delay;
    if (now >= until)
        return std::chrono::seconds(0);
    // Rounded up: a client told to come back after the delay must find it over.
    return std::chrono::ceil<std::chrono::seconds>(until - now);
}

std::chrono::seconds LoginThrottle::admit(const std::string &address, const std::string &user, Clock::time_point now)
{
    const std::string group = clientGroup(address);
    std::chrono::seconds wait(0);
    if (const Entry *client = find(m_addresses, group, now)) {
        wait = delayLeft(*client, m_limits.perAddress, now);
        if (client->running > 0)
            wait = std::max(wait, busyWait);
        if (client->failures >= m_limits.heldFrom) {
            if (const Entry *name = find(m_users, user, now)) {
                wait = std::max(wait, delayLeft(*name, m_limits.perUser, now));
                if (name->running > 0)
                    wait = std::max(wait, busyWait);
            }
        }
    }
    if (wait.count() > 0) {
        refused(entry(m_addresses, group, now), now);
        return wait;
    }
    for (Entry *counted : {&entry(m_addresses, group, now), &entry(m_users, user, now)}) {
        counted->failures = std::min(counted->failures + 1, 1000);
        ++counted->running;
        counted->last = counted->lastSeen = now;
    }
    return wait;
}

bool LoginThrottle::givesWay(const std::string &address, Clock::time_point now) const
{
    const auto it = m_addresses.find(clientGroup(address));
    if (it == m_addresses.end() || (it->second.running == 0 && now - it->second.lastSeen >= m_limits.forgetAfter))
        return false;
    return it->second.failures > 0 || knockingAt(it->second, now) >= m_limits.knockingToGiveWay;
}

double LoginThrottle::knockingAt(const Entry &entry, Clock::time_point now)
{
    const double since = std::chrono::duration<double>(now - entry.knocked).count();
    return std::max(entry.knocking - std::max(since, 0.0), 0.0);
}

void LoginThrottle::refused(Entry &entry, Clock::time_point now)
{
    entry.knocking = std::min(knockingAt(entry, now) + 1, 1000.0);
    entry.knocked = entry.lastSeen = now;
}

void LoginThrottle::finish(Table &table, const std::string &key, bool uncount, bool refusedRoom, Clock::time_point now)
{
    const auto it = table.find(key);
    if (it == table.end())
        return;
    Entry &entry = it->second;
    entry.running = std::max(entry.running - 1, 0);
    if (uncount)
        entry.failures = std::max(entry.failures - 1, 0);
    if (refusedRoom)
        refused(entry, now);
    if (entry.failures == 0 && entry.running == 0 && knockingAt(entry, now) == 0)
        table.erase(it);
}

void LoginThrottle::finished(const std::string &address, const std::string &user, Outcome outcome,
                             Clock::time_point now)
{
    // A proven password takes back its own attempt only: the failures counted before it stay, so that an account
    // of one's own cannot wipe a guessing address clean, nor the real user's sign-in a name under attack.
    const bool uncount = outcome != Outcome::Failed;
    finish(m_addresses, clientGroup(address), uncount, outcome == Outcome::NotRun, now);
    finish(m_users, user, uncount, false, now);
}

} // namespace pushserver
