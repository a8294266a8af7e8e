#include "pushhub.h"

#include <vector>

namespace pushserver {

PushHub::Subscription::Subscription(PushHub &hub, std::int64_t account, std::int64_t deviceRow, std::string pageToken,
                                    std::uint64_t id)
    : m_hub(hub), m_account(account), m_deviceRow(deviceRow), m_pageToken(std::move(pageToken)), m_id(id)
{
}

PushHub::Subscription::~Subscription()
{
    m_hub.unsubscribe(*this);
}

void PushHub::Subscription::onPublished(Wake wake)
{
    std::lock_guard<std::mutex> lock(m_hub.m_mutex);
    m_hub.m_waiting[m_deviceRow][m_id] = std::make_shared<Wake>(std::move(wake));
}

PushHub::PushHub(int maxStreamsPerAccount, int maxStreams)
    : m_maxPerAccount(maxStreamsPerAccount), m_maxStreams(maxStreams)
{
}

PushHub::~PushHub() = default;

std::unique_ptr<PushHub::Subscription> PushHub::subscribe(std::int64_t account, std::int64_t deviceRow,
                                                          const std::string &pageToken)
{
    std::shared_ptr<Wake> wake;
    std::unique_ptr<Subscription> subscription;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
            return nullptr;
        int &mine = m_perAccount[account];
        if (mine >= m_maxPerAccount) {
            Subscription *oldest = oldestToEnd(account, Page{deviceRow, pageToken});
            if (!oldest)
                return nullptr;
            // Its place is the newcomer's now; the stream ends when it is woken.
            oldest->m_released = true;
            oldest->m_ended = true;
            --mine;
            --m_streams;
            if (const auto device = m_waiting.find(oldest->m_deviceRow); device != m_waiting.end())
                if (const auto found = device->second.find(oldest->m_id); found != device->second.end())
                    wake = found->second;
        }
        if (m_streams >= m_maxStreams) {
            if (mine == 0)
                m_perAccount.erase(account);
            return nullptr;
        }
        ++mine;
        ++m_streams;
        subscription.reset(new Subscription(*this, account, deviceRow, pageToken, m_nextId++));
        m_open[subscription->m_id] = subscription.get();
    }
    // Outside the lock, as published() does; a stream not started yet finds the mark when it first asks.
    if (wake)
        (*wake)();
    return subscription;
}

PushHub::Subscription *PushHub::oldestToEnd(std::int64_t account, const Page &page) const
{
    // m_open is in the order the streams were opened.
    std::map<Page, std::pair<int, Subscription *>> pages;
    for (const auto &open : m_open) {
        Subscription *subscription = open.second;
        if (subscription->m_account != account || subscription->m_released)
            continue;
        auto &held = pages[Page{subscription->m_deviceRow, subscription->m_pageToken}];
        if (++held.first == 1)
            held.second = subscription;
    }
    if (const auto same = pages.find(page); same != pages.end())
        return same->second.second;
    std::pair<int, Subscription *> most{0, nullptr};
    for (const auto &held : pages)
        if (held.second.first > most.first ||
            (held.second.first == most.first && most.second && held.second.second->m_id < most.second->m_id))
            most = held.second;
    return most.second;
}

void PushHub::unsubscribe(const Subscription &subscription)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto device = m_waiting.find(subscription.m_deviceRow);
    if (device != m_waiting.end()) {
        device->second.erase(subscription.m_id);
        if (device->second.empty())
            m_waiting.erase(device);
    }
    m_open.erase(subscription.m_id);
    if (subscription.m_released)
        return; // its place was counted off when it was given away
    const auto account = m_perAccount.find(subscription.m_account);
    if (account != m_perAccount.end() && --account->second <= 0)
        m_perAccount.erase(account);
    --m_streams;
}

void PushHub::published(std::int64_t deviceRow)
{
    std::vector<std::shared_ptr<Wake>> wakes;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto device = m_waiting.find(deviceRow);
        if (device == m_waiting.end())
            return;
        for (const auto &waiting : device->second)
            wakes.push_back(waiting.second);
    }
    // Outside the lock: a wake-up may open or close streams itself.
    for (const auto &wake : wakes)
        (*wake)();
}

std::set<PushHub::Page> PushHub::openPages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::set<Page> pages;
    for (const auto &open : m_open)
        pages.insert(Page{open.second->m_deviceRow, open.second->m_pageToken});
    return pages;
}

void PushHub::end(const Page &page)
{
    std::vector<std::shared_ptr<Wake>> wakes;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto device = m_waiting.find(page.deviceRow);
        for (const auto &open : m_open) {
            Subscription &subscription = *open.second;
            if (subscription.m_deviceRow != page.deviceRow || subscription.m_pageToken != page.pageToken)
                continue;
            subscription.m_ended = true;
            if (device == m_waiting.end())
                continue;
            // A stream not started yet finds the mark when it first asks for its events.
            if (const auto wake = device->second.find(open.first); wake != device->second.end())
                wakes.push_back(wake->second);
        }
    }
    for (const auto &wake : wakes)
        (*wake)();
}

void PushHub::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
}

int PushHub::openStreams() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_streams;
}

} // namespace pushserver
