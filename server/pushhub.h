#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace pushserver {

// Wakes the phone pages' event streams when a push is stored for their device, and bounds how many streams
// are open at once: each one holds a server thread for as long as the phone keeps the page open.
class PushHub final
{
public:
    explicit PushHub(int maxStreams);

    void published(std::int64_t deviceRow, std::int64_t pushId);

    // Waits until a push newer than `after` is published for the device, the timeout passes or the hub closes.
    // False once the hub is closed.
    bool wait(std::int64_t deviceRow, std::int64_t after, std::chrono::milliseconds timeout);

    // Wakes every waiter for good; the server is stopping.
    void close();
    bool isClosed() const;

    bool openStream(); // false when the limit is reached
    void closeStream();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::unordered_map<std::int64_t, std::int64_t> m_latest;
    bool m_closed = false;
    int m_streams = 0;
    const int m_maxStreams;
};

} // namespace pushserver
