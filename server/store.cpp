#include "store.h"

#include "store_postgres.h"
#include "store_sqlite.h"

#include <chrono>

namespace pushserver {

std::int64_t systemClock()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
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
