#pragma once

#include "store.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace pushserver {

// What the store keeps. Pushes are there to reach a phone, not to be an archive; api keys of programs that
// stopped calling are only a risk.
struct RetentionPolicy
{
    int keepDays = 30;       // pushes older than this go
    int keepPushes = 1000;   // a device keeps at most this many, the newest
    int keyUnusedDays = 180; // api keys unused for this long go (the program then asks to sign in again)
};

struct PruneCounts
{
    std::int64_t pushes = 0;
    std::int64_t keys = 0;
};

// Rows deleted per statement: a request waits for one batch at most (a few milliseconds).
constexpr int pruneBatchRows = 1000;

// Deletes what the policy no longer keeps, `batchRows` rows at a time; returns early, between batches, once
// `stopping` says so.
PruneCounts prune(Store &store, const RetentionPolicy &policy, const std::function<bool()> &stopping = {},
                  int batchRows = pruneBatchRows);

// Prunes at start and then every `interval`, on a thread of its own that stop() ends at once.
class Retention final
{
public:
    Retention(Store &store, RetentionPolicy policy, std::chrono::seconds interval = std::chrono::hours(1));
    ~Retention();
    Retention(const Retention &) = delete;
    Retention &operator=(const Retention &) = delete;

    void start();
    void stop();

private:
    void run();
    bool stopping() const;

    Store &m_store;
    const RetentionPolicy m_policy;
    const std::chrono::seconds m_interval;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace pushserver
