#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace pushserver {

// Slows password guessing. Failed sign-ins are counted per client (IPv4 address, IPv6 /64: what one attacker
// holds) and per user name; once a few have failed, each further attempt must wait a delay that doubles with
// each failure, up to a ceiling. An attempt counts as failed from the moment it is admitted, so that attempts
// sent together cannot all slip through before the first one's failure is known, and each client runs one
// password check at a time.
//
// The user name's rules (its delay, one check at a time) hold only clients that have failed a few times
// themselves: guesses from many addresses then slow each other down, while the real user, who has not been
// guessing, signs in at once. A key is forgotten after a quiet spell. Not thread-safe; the caller passes the
// time, so that the rules can be tested without waiting.
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
        // A client with fewer failures than this is not held to the user name's rules: a typo or two does not
        // make the real user a suspect.
        int heldFrom = 3;
        // A client refused more often than about once a second gives way: the real user's program asks again
        // after the time it was told, a guessing program at once.
        double knockingToGiveWay = 4;
        std::chrono::seconds firstDelay{1};
        std::chrono::seconds forgetAfter{15 * 60};
        std::size_t maxKeys = 10000; // per kind; the quietest key makes way beyond that
    };

    enum class Outcome {
        Failed,
        Proven, // the password was right: the attempt is no longer counted
        NotRun, // no check took place (the queue was full): as if the attempt had never been admitted
    };

    LoginThrottle() = default;
    explicit LoginThrottle(Limits limits);

    // Whether a password check for this user name from this client may start now: zero when it may (it is then
    // admitted and counted as failed), otherwise how long to wait before trying again.
    std::chrono::seconds admit(const std::string &address, const std::string &user, Clock::time_point now);
    // Whether this client's attempts give way to others' when the checks are busy: it has failed, or it keeps
    // trying while refused (as guessing programs do, and the real user does not).
    bool givesWay(const std::string &address, Clock::time_point now) const;
    // Once for each admitted attempt, when its check is over.
    void finished(const std::string &address, const std::string &user, Outcome outcome, Clock::time_point now);

private:
    struct Entry
    {
        int failures = 0;
        int running = 0;            // admitted attempts not finished yet; an entry with some is never forgotten
        Clock::time_point last;     // admitted
        double knocking = 0;        // refusals, for a wait or for want of room, less one for each second since...
        Clock::time_point knocked;  // ...the last one
        Clock::time_point lastSeen; // admitted or refused
    };
    using Table = std::unordered_map<std::string, Entry>;

    Entry *find(Table &table, const std::string &key, Clock::time_point now) const;
    Entry &entry(Table &table, const std::string &key, Clock::time_point now) const;
    std::chrono::seconds delayLeft(const Entry &entry, const Rule &rule, Clock::time_point now) const;
    static double knockingAt(const Entry &entry, Clock::time_point now);
    static void refused(Entry &entry, Clock::time_point now);
    static void finish(Table &table, const std::string &key, bool uncount, bool refusedRoom, Clock::time_point now);

    Limits m_limits;
    Table m_addresses;
    Table m_users;
};

} // namespace pushserver
