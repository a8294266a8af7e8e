#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>

namespace pushserver {

// Tells the phone pages' event streams when a push is stored for their device, and bounds how many streams
// are open, per account and in total, so that one account's pages cannot take every other account's places.
// Anyone with a page's address can open streams, so an account that is full never refuses a newcomer: the oldest
// stream of the newcomer's page ends for it, or, if that page holds none, the oldest of the account's page that
// holds the most.
// Nobody waits here: a stream leaves a wake-up call, run on the publishing thread, which should only post
// work elsewhere.
class PushHub final
{
public:
    using Wake = std::function<void()>;

    // One open stream's place. Giving it back (destroying it) frees the place at once and stops the wake-ups.
    class Subscription final
    {
    public:
        ~Subscription();
        Subscription(const Subscription &) = delete;
        Subscription &operator=(const Subscription &) = delete;

        // May be called at any time; a wake-up already under way may still run the previous one.
        void onPublished(Wake wake);
        // True once the page it was opened by is gone (see end()); it has been woken then.
        bool ended() const { return m_ended; }

    private:
        friend class PushHub;
        Subscription(PushHub &hub, std::int64_t account, std::int64_t deviceRow, std::string pageToken,
                     std::uint64_t id);
        PushHub &m_hub;
        const std::int64_t m_account;
        const std::int64_t m_deviceRow;
        const std::string m_pageToken;
        const std::uint64_t m_id;
        std::atomic<bool> m_ended{false};
        bool m_released = false; // its place was given to a newcomer: under the hub's lock
    };

    struct Page
    {
        std::int64_t deviceRow;
        std::string pageToken;
        bool operator<(const Page &other) const
        {
            return std::tie(deviceRow, pageToken) < std::tie(other.deviceRow, other.pageToken);
        }
    };

    PushHub(int maxStreamsPerAccount, int maxStreams);
    ~PushHub();
    PushHub(const PushHub &) = delete;
    PushHub &operator=(const PushHub &) = delete;

    // Nothing when the service has all its streams open, or the hub is closed. An account with all its streams
    // open makes room by ending one of them (see above).
    // `pageToken`: the page address the stream was opened by.
    std::unique_ptr<Subscription> subscribe(std::int64_t account, std::int64_t deviceRow,
                                            const std::string &pageToken = {});

    void published(std::int64_t deviceRow);

    // The pages that have streams open, each once.
    std::set<Page> openPages() const;
    // Ends the streams opened by this page, which is gone or has a new address.
    void end(const Page &page);

    // No stream is opened any more; the server is stopping.
    void close();

    int openStreams() const;

private:
    void unsubscribe(const Subscription &subscription);
    // Under the lock: the stream of this account that gives its place to a newcomer from `page`.
    Subscription *oldestToEnd(std::int64_t account, const Page &page) const;

    mutable std::mutex m_mutex;
    // By device, then by subscription: the wake-ups.
    std::unordered_map<std::int64_t, std::map<std::uint64_t, std::shared_ptr<Wake>>> m_waiting;
    std::unordered_map<std::int64_t, int> m_perAccount;
    std::map<std::uint64_t, Subscription *> m_open;
    std::uint64_t m_nextId = 1;
    int m_streams = 0;
    bool m_closed = false;
    const int m_maxPerAccount;
    const int m_maxStreams;
};

} // namespace pushserver
