#pragma once

// What the store's files share: running its prepared statements and its transactions. Not for other files.

#include "store.h"

#include <sqlite3.h>

#include <type_traits>
#include <vector>

namespace pushserver {

// Runs `body`, resetting the statement afterwards whatever happens, so a failed request leaves no statement
// half-stepped (which would hold a read transaction open).
template <typename Body> auto using_(Statement &statement, Body body)
{
    struct Reset
    {
        Statement &statement;
        ~Reset() { statement.reset(); }
    } reset{statement};
    return body(statement);
}

// Every row the statement yields, each made by `read`.
template <typename Read> auto allRows(Statement &s, Read read)
{
    std::vector<decltype(read(s))> list;
    while (s.step())
        list.push_back(read(s));
    return list;
}

template <typename Body> auto Store::transaction(Body body)
{
    // Prepared once the store is open, so that a push's transaction parses no SQL.
    const auto run = [this](const std::unique_ptr<Statement> &prepared, const char *sql) {
        if (prepared)
            using_(*prepared, [](Statement &s) { s.run(); });
        else
            exec(sql);
    };
    run(m_begin, "BEGIN IMMEDIATE");
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            run(m_commit, "COMMIT");
        } else {
            auto result = body();
            run(m_commit, "COMMIT");
            return result;
        }
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

} // namespace pushserver
