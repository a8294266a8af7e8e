#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace pushserver {

// Slows password guessing: failed sign-ins are counted per client address and per user name, and once a few
// have failed, each further attempt must wait a delay that doubles with each failure, up to a ceiling. The
// user name's ceiling is short, so that guesses from elsewhere cannot keep the real user out for long, while
// the guessing address's ceiling is long. A key is forgotten after a quiet spell. Not thread-safe; the caller
// passes the time, so that the rules can be tested without waiting.
class LoginThrottle final
{
public:
    using Clock = std::chrono::steady_clock;

    struct Rule
    {
        int freeFailures;             // failures that cost no delay yet
        std::chrono::seconds ceiling; // the longest delay
    };

    struct Limits
    {
        Rule perAddress{20, std::chrono::seconds(30)};
        Rule perUser{3, std::chrono::seconds(5)};
        std::chrono::seconds firstDelay{1};
        std::chrono::seconds forgetAfter{15 * 60};
        std::size_t maxKeys = 10000; // per kind; the quietest key makes way beyond that
    };

    LoginThrottle() = default;
    explicit LoginThrottle(Limits limits);

    // How long an attempt from this address for this user must still wait; zero when it may run now.
    std::chrono::seconds wait(const std::string &address, const std::string &user, Clock::time_point now);

    void failed(const std::string &address, const std::string &user, Clock::time_point now);
    // The user proved the password: their name's count starts again. The address keeps its count, so that an
    // account of one's own cannot be used to wipe a guessing address clean.
    void succeeded(const std::string &user);

private:
    struct Entry
    {
        int failures = 0;
        Clock::time_point last;
        Clock::time_point until;
    };
    using Table = std::unordered_map<std::string, Entry>;

    std::chrono::seconds remaining(Table &table, const std::string &key, Clock::time_point now) const;
    void count(Table &table, const Rule &rule, const std::string &key, Clock::time_point now);

    Limits m_limits;
    Table m_addresses;
    Table m_users;
};

} // namespace pushserver
