#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pushserver {

// How many rows of each table a migration copied, in the order copied.
using MigrationCounts = std::vector<std::pair<std::string, std::int64_t>>;

// Copies everything a SQLite database holds (accounts, api keys, devices with their page tokens, pushes, the VAPID
// key, subscriptions and queued deliveries) into an empty PostgreSQL database, keeping every row's number, so that
// page addresses, api keys and phones' subscriptions work on the new store as before. One transaction: all or
// nothing. Throws StoreError when it cannot, and when the PostgreSQL database holds data already.
MigrationCounts migrateToPostgres(const std::string &sqlitePath, const std::string &url);

} // namespace pushserver
