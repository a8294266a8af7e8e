#include "pushhub.h"

namespace pushserver {

PushHub::PushHub(int maxStreams) : m_maxStreams(maxStreams) {}

void PushHub::published(std::int64_t deviceRow, std::int64_t pushId)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::int64_t &latest = m_latest[deviceRow];
        if (pushId > latest)
            latest = pushId;
        if (m_streams == 0)
            return;
    }
    m_changed.notify_all();
}

bool PushHub::wait(std::int64_t deviceRow, std::int64_t after, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, timeout, [&] {
        if (m_closed)
            return true;
        const auto it = m_latest.find(deviceRow);
        return it != m_latest.end() && it->second > after;
    });
    return !m_closed;
}

void PushHub::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
}

bool PushHub::isClosed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

bool PushHub::openStream()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed || m_streams >= m_maxStreams)
        return false;
    ++m_streams;
    return true;
}

void PushHub::closeStream()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_streams;
}

} // namespace pushserver
