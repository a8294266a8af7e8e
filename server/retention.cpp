#include "retention.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <system_error>

namespace pushserver {

namespace {

constexpr std::int64_t day = 24 * 3600;

} // namespace

PruneCounts prune(Store &store, const RetentionPolicy &policy, const std::function<bool()> &stopping, int batchRows)
{
    const auto stop = [&] { return stopping && stopping(); };
    PruneCounts counts;
    const std::int64_t now = store.now();
    for (int deleted = batchRows; deleted > 0 && !stop();) {
        deleted = store.deleteOldPushes(now - policy.keepDays * day, batchRows);
        counts.pushes += deleted;
    }
    for (auto device = store.nextDeviceRow(0); device && !stop(); device = store.nextDeviceRow(*device)) {
        for (int deleted = batchRows; deleted > 0 && !stop();) {
            deleted = store.deleteSurplusPushes(*device, policy.keepPushes, batchRows);
            counts.pushes += deleted;
        }
    }
    for (int deleted = batchRows; deleted > 0 && !stop();) {
        deleted = store.deleteUnusedKeys(now - policy.keyUnusedDays * day, batchRows);
        counts.keys += deleted;
    }
    return counts;
}

Retention::Retention(Store &store, RetentionPolicy policy, std::chrono::seconds interval)
    : m_store(store), m_policy(policy), m_interval(interval)
{
}

Retention::~Retention()
{
    stop();
}

void Retention::start()
{
    // The thread takes no signal: the stop signals belong to the thread that waits for them, and one delivered
    // here would end the process. It inherits the mask in force while it is created.
    sigset_t all, previous;
    sigfillset(&all);
    if (const int error = pthread_sigmask(SIG_BLOCK, &all, &previous); error != 0)
        throw std::system_error(error, std::generic_category(), "cannot block signals for the pruning thread");
    try {
        m_thread = std::thread(&Retention::run, this);
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Retention::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool Retention::stopping() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

void Retention::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        lock.unlock();
        try {
            // Instances sharing a database take turns: one pruning is enough.
            PruneCounts counts;
            m_store.alone("retention", [&] { counts = prune(m_store, m_policy, [this] { return stopping(); }); });
            if (counts.pushes > 0 || counts.keys > 0)
                std::fprintf(stderr, "tapvela-server: deleted %lld old pushes and %lld unused api keys\n",
                             static_cast<long long>(counts.pushes), static_cast<long long>(counts.keys));
        } catch (const std::exception &e) {
            // A busy or failing database: the next round tries again, serving goes on.
            std::fprintf(stderr, "tapvela-server: pruning failed: %s\n", e.what());
        }
        lock.lock();
        m_wake.wait_for(lock, m_interval, [this] { return m_stop; });
    }
}

} // namespace pushserver
