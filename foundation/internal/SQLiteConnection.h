// Internal: the shared connection and statement cores behind the wrapper
// classes. Not installed.
#pragma once

#include "KoError.h"

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace FX {
namespace detail {

// One open sqlite3 handle. Statements and queries share it, so it closes when
// the database object and the last statement or query made on it are gone.
struct Connection {
    explicit Connection(sqlite3* handle) : db(handle) {}
    ~Connection() { sqlite3_close_v2(db); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* db;
    // Counts writes that failed; a transaction that sees it change rolls back.
    std::atomic<uint64_t> failedWrites{0};
    // Counts transactions and savepoints rolled back, whoever began them.
    std::atomic<uint64_t> rollbacks{0};
};

// One SQL text and its pool of prepared cursors.
struct StatementCore {
    StatementCore(std::shared_ptr<Connection> connection, std::string sql)
        : connection(std::move(connection)), sql(std::move(sql))
    {
    }
    ~StatementCore()
    {
        for (sqlite3_stmt* cursor : idle)
            sqlite3_finalize(cursor);
    }

    // A prepared cursor with no bindings; throws CSQLite3Exception when the
    // text cannot be prepared.
    sqlite3_stmt* Acquire();
    // Resets the cursor, clears its bindings and keeps it for reuse.
    void Release(sqlite3_stmt* cursor);

    std::shared_ptr<Connection> connection;
    std::string sql;
    std::mutex mutex;
    std::vector<sqlite3_stmt*> idle;
};

// While one lives on a thread, the connections that thread opens go without
// SQLite's own mutex. For connections that no other thread ever reaches: the
// database objects a walk makes for itself, uses on its own thread and
// destroys before it returns, with every statement and query made on them.
// Scopes nest.
class OwnThreadConnections {
public:
    OwnThreadConnections() { ++depth; }
    ~OwnThreadConnections() { --depth; }
    OwnThreadConnections(const OwnThreadConnections&) = delete;
    OwnThreadConnections& operator=(const OwnThreadConnections&) = delete;

    static bool Active() { return depth > 0; }

private:
    static thread_local int depth;
};

// The error of a call on a database that is not open.
CKoError NotOpen(const FXCodeLocation& location, const std::string& name);

// Runs SQL text; on failure returns the extended code and SQLite's message,
// read under the connection's mutex so they belong to this call, and counts
// the failed write.
int ExecText(Connection& connection, const std::string& sql, std::string& message);

// Prepares `sql` on `db`; on failure returns the extended code and message.
int Prepare(sqlite3* db, const std::string& sql, sqlite3_stmt** cursor, std::string& message);

// `path` as an SQLite "file:" URI without a query, for opening with
// SQLITE_OPEN_URI: an absolute path gets an empty authority, so that one
// starting "//" is not read as a host name, and every byte outside a safe
// few is escaped, so that "?", "#" and "%" in a name stay part of it.
std::string FileUri(const std::string& path);

}  // namespace detail
}  // namespace FX
