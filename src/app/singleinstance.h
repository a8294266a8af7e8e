#pragma once

#include <memory>

// Only one tapvela runs per user session. Windows keeps the named shared-memory segment
// "tapvela_sharedmem", which Windows frees with the process; on Unix a System V segment would outlive a
// crash and block every later start, so the guard is a lock file whose stale lock (dead owner) is taken
// over.
class SingleInstanceGuard final
{
public:
    SingleInstanceGuard();
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard &) = delete;
    SingleInstanceGuard &operator=(const SingleInstanceGuard &) = delete;

    // True when this process is now the one instance; false when another runs or the guard cannot be made.
    bool claim();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
