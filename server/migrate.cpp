#include "migrate.h"

#include "store_postgres.h"
#include "store_sqlite.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <memory>

namespace pushserver {

namespace {

// The tables in an order that their references allow, with their columns; `bytes` are raw bytes (BLOB, BYTEA).
struct Table
{
    const char *name;
    std::vector<const char *> columns;
    std::vector<const char *> bytes;
};

const std::vector<Table> tables = {
    {"accounts", {"id", "username", "password_hash", "created_at"}, {}},
    {"api_keys", {"id", "account_id", "key_hash", "created_at", "last_used_at"}, {"key_hash"}},
    {"devices", {"id", "account_id", "public_id", "name", "page_token", "created_at"}, {}},
    {"vapid_key", {"id", "private_key", "created_at"}, {"private_key"}},
    {"subscriptions", {"id", "device_id", "endpoint", "p256dh", "auth", "created_at"}, {"p256dh", "auth"}},
    {"pushes", {"id", "device_id", "msg", "icon", "sound", "extra", "created_at", "deliver_to"}, {}},
    {"deliveries", {"id", "push_id", "subscription_id", "attempts", "next_attempt_at", "first_attempt_at"}, {}},
};

// The sequences that number new rows, set past the copied ones. Pushes are numbered past the highest ever given,
// removed ones included, so that a page that saw a push misses no later one.
const char *const sequences =
    "SELECT setval(pg_get_serial_sequence('accounts', 'id'), coalesce((SELECT max(id) FROM accounts), 0) + 1, false);"
    "SELECT setval(pg_get_serial_sequence('api_keys', 'id'), coalesce((SELECT max(id) FROM api_keys), 0) + 1, false);"
    "SELECT setval(pg_get_serial_sequence('devices', 'id'), coalesce((SELECT max(id) FROM devices), 0) + 1, false);"
    "SELECT setval(pg_get_serial_sequence('subscriptions', 'id'), "
    "coalesce((SELECT max(id) FROM subscriptions), 0) + 1, false);"
    "SELECT setval(pg_get_serial_sequence('deliveries', 'id'), coalesce((SELECT max(id) FROM deliveries), 0) + 1, "
    "false);";

struct SqliteReader
{
    explicit SqliteReader(const std::string &path)
    {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            throw StoreError("cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
        sqlite3_busy_timeout(db, 5000);
    }
    ~SqliteReader() { sqlite3_close_v2(db); }
    SqliteReader(const SqliteReader &) = delete;
    SqliteReader &operator=(const SqliteReader &) = delete;

    void exec(const char *sql)
    {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw StoreError(std::string("reading the SQLite database failed: ") + sqlite3_errmsg(db));
    }

    sqlite3 *db = nullptr;
};

struct PostgresWriter
{
    explicit PostgresWriter(const std::string &url)
    {
        const char *keys[] = {"dbname", "connect_timeout", "application_name", nullptr};
        const char *values[] = {url.c_str(), "10", "tapvela-server migrate", nullptr};
        connection = PQconnectdbParams(keys, values, 1);
        if (!connection || PQstatus(connection) != CONNECTION_OK)
            throw StoreError(std::string("cannot reach the database: ") +
                             (connection ? PQerrorMessage(connection) : "out of memory"));
    }
    ~PostgresWriter() { PQfinish(connection); }
    PostgresWriter(const PostgresWriter &) = delete;
    PostgresWriter &operator=(const PostgresWriter &) = delete;

    PGresult *check(PGresult *result, const std::string &what)
    {
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return result;
        PQclear(result);
        std::string message = PQerrorMessage(connection);
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        throw StoreError(what + ": " + message);
    }
    void exec(const char *sql, const std::string &what) { PQclear(check(PQexec(connection, sql), what)); }

    PGconn *connection = nullptr;
};

bool isBytes(const Table &table, const char *column)
{
    for (const char *name : table.bytes)
        if (std::string(name) == column)
            return true;
    return false;
}

std::int64_t copyTable(SqliteReader &from, PostgresWriter &to, const Table &table)
{
    std::string columns, placeholders;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        columns += (i ? ", " : "") + std::string(table.columns[i]);
        placeholders += (i ? ", $" : "$") + std::to_string(i + 1);
    }
    const std::string select = "SELECT " + columns + " FROM " + table.name + " ORDER BY id";
    const std::string insert =
        "INSERT INTO " + std::string(table.name) + "(" + columns + ") VALUES (" + placeholders + ")";
    const std::string what = std::string("copying ") + table.name;
    PQclear(to.check(PQprepare(to.connection, table.name, insert.c_str(), 0, nullptr), what));

    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(from.db, select.c_str(), -1, &statement, nullptr) != SQLITE_OK)
        throw StoreError(what + ": " + sqlite3_errmsg(from.db));
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> finalize(statement, sqlite3_finalize);
    const int count = static_cast<int>(table.columns.size());
    std::vector<std::string> values(table.columns.size());
    std::vector<const char *> pointers(table.columns.size());
    std::vector<int> lengths(table.columns.size()), formats(table.columns.size());
    std::int64_t rows = 0;
    int stepped;
    while ((stepped = sqlite3_step(statement)) == SQLITE_ROW) {
        for (int i = 0; i < count; ++i) {
            const bool bytes = isBytes(table, table.columns[i]);
            if (sqlite3_column_type(statement, i) == SQLITE_NULL) {
                pointers[i] = nullptr;
                lengths[i] = 0;
            } else {
                const void *data = bytes ? sqlite3_column_blob(statement, i) : sqlite3_column_text(statement, i);
                values[i].assign(data ? static_cast<const char *>(data) : "",
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement, i)));
                pointers[i] = values[i].data();
                lengths[i] = static_cast<int>(values[i].size());
            }
            formats[i] = bytes ? 1 : 0;
        }
        PQclear(to.check(
            PQexecPrepared(to.connection, table.name, count, pointers.data(), lengths.data(), formats.data(), 0),
            what + " (row " + std::to_string(rows + 1) + ")"));
        ++rows;
    }
    if (stepped != SQLITE_DONE)
        throw StoreError(what + ": " + sqlite3_errmsg(from.db));
    return rows;
}

} // namespace

MigrationCounts migrateToPostgres(const std::string &sqlitePath, const std::string &url)
{
    // Opened as stores first: the SQLite file is brought to the current schema (and must exist), the PostgreSQL
    // database gets its tables.
    if (access(sqlitePath.c_str(), R_OK) != 0)
        throw StoreError("cannot read " + sqlitePath);
    SqliteStore(sqlitePath).reachable();
    PostgresStore(url).reachable();

    SqliteReader from(sqlitePath);
    PostgresWriter to(url);
    // One read transaction: a consistent picture even if a server still writes to the file.
    from.exec("BEGIN");
    to.exec("BEGIN", "starting the copy");
    // No instance writes while the copy is made; checked for emptiness under the same lock.
    to.exec("LOCK TABLE accounts, api_keys, devices, vapid_key, subscriptions, pushes, deliveries IN EXCLUSIVE MODE",
            "locking the tables");
    {
        PGresult *held = to.check(PQexec(to.connection, "SELECT (SELECT count(*) FROM accounts) + "
                                                        "(SELECT count(*) FROM devices) + (SELECT count(*) FROM "
                                                        "pushes) + (SELECT count(*) FROM vapid_key)"),
                                  "reading the target");
        const bool empty = std::string(PQgetvalue(held, 0, 0)) == "0";
        PQclear(held);
        if (!empty)
            throw StoreError("the PostgreSQL database holds data already: migrate copies into an empty database only");
    }
    MigrationCounts counts;
    for (const Table &table : tables)
        counts.emplace_back(table.name, copyTable(from, to, table));

    std::int64_t lastRemoved = 0;
    {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(from.db,
                               "SELECT max(coalesce((SELECT max(id) FROM pushes), 0), coalesce((SELECT "
                               "last_removed FROM push_numbering WHERE id = 1), 0))",
                               -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            lastRemoved = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    to.exec(sequences, "numbering the new rows");
    const std::string pushes = "SELECT setval('push_ids', " + std::to_string(lastRemoved + 1) + ", false)";
    to.exec(pushes.c_str(), "numbering the new pushes");
    to.exec("COMMIT", "finishing the copy");
    from.exec("COMMIT");
    return counts;
}

} // namespace pushserver
