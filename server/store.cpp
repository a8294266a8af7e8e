#include "store.h"

#include "store_postgres.h"
#include "store_sqlite.h"

#include <algorithm>
#include <chrono>

namespace pushserver {

std::int64_t systemClock()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<std::int64_t> Store::accountId(const std::string &username)
{
    const auto found = credentials(username);
    return found ? std::optional<std::int64_t>(found->first) : std::nullopt;
}

std::int64_t Store::readTo(const std::vector<PendingDelivery> &queued, std::int64_t afterPush, int limit,
                           std::int64_t newest)
{
    std::int64_t pushes = 0, last = 0;
    for (const PendingDelivery &delivery : queued)
        if (delivery.push.id != last)
            ++pushes, last = delivery.push.id;
    return std::max(afterPush, pushes >= limit ? last : newest);
}

bool isDatabaseUrl(const std::string &where)
{
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> openStore(const std::string &where, Clock clock)
{
    if (isDatabaseUrl(where))
        return std::make_unique<PostgresStore>(where, std::move(clock));
    return std::make_unique<SqliteStore>(where, std::move(clock));
}

} // namespace pushserver
