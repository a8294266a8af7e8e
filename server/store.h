#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace pushserver {

class StoreError final : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A uniqueness rule of the database was broken (a taken user name).
class ConstraintError final : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct Device
{
    std::int64_t row = 0; // internal key, never shown
    std::string id;       // the id the desktop program sees and sends back
    std::string name;
    std::string pageToken; // the secret part of the phone page's address
};

struct Push
{
    std::int64_t id = 0;
    std::string msg;
    std::string icon;
    std::string sound;
    std::string extra;
    std::int64_t createdAt = 0; // seconds since the epoch
};

struct PushFields
{
    std::string msg;
    std::string icon;
    std::string sound;
    std::string extra;
};

// One prepared statement, reset after each use.
class Statement final
{
public:
    Statement(sqlite3 *db, const char *sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, std::int64_t value);
    Statement &bind(int index, const std::string &text);
    Statement &bindBlob(int index, const std::string &bytes);
    bool step(); // true while a row is available
    void run();  // steps a statement that returns no row
    std::int64_t integer(int column) const;
    std::string text(int column) const;
    void reset();

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_statement = nullptr;
};

// Accounts, their api keys and devices, and the pushes, in one SQLite file shared by every thread of the
// process. One connection serialised by a mutex: SQLite writes one transaction at a time anyway, and each
// request does a few index probes and at most one insert.
class Store final
{
public:
    explicit Store(const std::string &path);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Nothing when the name is taken.
    std::optional<std::int64_t> addAccount(const std::string &username, const std::string &passwordHash);
    std::optional<std::int64_t> accountId(const std::string &username);
    // The account's id and password hash.
    std::optional<std::pair<std::int64_t, std::string>> credentials(const std::string &username);

    // Stores the SHA-256 of a new api key; an account keeps its `keep` most recent keys.
    void addApiKey(std::int64_t account, const std::string &keyHash, int keep);
    std::optional<std::int64_t> accountOfKey(const std::string &keyHash);

    Device addDevice(std::int64_t account, const std::string &name);
    std::vector<Device> devices(std::int64_t account);
    // False when the account has no device with this id.
    bool renameDevice(std::int64_t account, const std::string &deviceId, const std::string &name);
    std::optional<Device> deviceByToken(const std::string &pageToken);

    // The new push's id and its device's row; nothing when the account has no device with this id.
    std::optional<std::pair<std::int64_t, std::int64_t>> addPush(std::int64_t account, const std::string &deviceId,
                                                                 const PushFields &fields);
    // Oldest first, at most `limit`, all with an id above `after`.
    std::vector<Push> pushesAfter(std::int64_t deviceRow, std::int64_t after, int limit);
    // Newest first.
    std::vector<Push> latestPushes(std::int64_t deviceRow, int limit);
    std::int64_t latestPushId(std::int64_t deviceRow);

private:
    void close();
    void exec(const char *sql);
    Device readDevice(const Statement &statement) const;
    Push readPush(const Statement &statement) const;

    std::mutex m_mutex;
    sqlite3 *m_db = nullptr;
    std::unique_ptr<Statement> m_insertAccount, m_selectAccount, m_insertKey, m_pruneKeys, m_selectKey, m_insertDevice,
        m_selectDevices, m_renameDevice, m_selectDeviceByToken, m_selectDeviceOfAccount, m_insertPush,
        m_selectPushesAfter, m_selectLatestPushes, m_selectLatestPushId;
};

} // namespace pushserver
