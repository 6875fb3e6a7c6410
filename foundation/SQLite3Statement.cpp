#include "SQLite3Statement.h"

#include "SQLiteConnection.h"

#include <boost/make_shared.hpp>

namespace FX {
namespace detail {

int Prepare(sqlite3* db, const std::string& sql, sqlite3_stmt** cursor, std::string& message)
{
    *cursor = nullptr;
    if (db == nullptr) {
        message = "database not open";
        return SQLITE_MISUSE;
    }
    sqlite3_mutex_enter(sqlite3_db_mutex(db));
    const int rc =
        sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, cursor, nullptr);
    if (rc != SQLITE_OK) {
        message = sqlite3_errmsg(db);
        sqlite3_finalize(*cursor);
        *cursor = nullptr;
    } else if (*cursor == nullptr) {
        message = "no SQL statement in text";
        sqlite3_mutex_leave(sqlite3_db_mutex(db));
        return SQLITE_MISUSE;
    }
    sqlite3_mutex_leave(sqlite3_db_mutex(db));
    return rc;
}

sqlite3_stmt* StatementCore::Acquire()
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!idle.empty()) {
            sqlite3_stmt* cursor = idle.back();
            idle.pop_back();
            return cursor;
        }
    }
    sqlite3_stmt* cursor = nullptr;
    std::string message;
    const int rc = Prepare(connection->db, sql, &cursor, message);
    if (rc != SQLITE_OK)
        throw CSQLite3Exception(rc, message.c_str());
    return cursor;
}

void StatementCore::Release(sqlite3_stmt* cursor)
{
    sqlite3_reset(cursor);
    sqlite3_clear_bindings(cursor);
    std::lock_guard<std::mutex> guard(mutex);
    idle.push_back(cursor);
}

namespace {
// Steps the cursor with the connection's mutex held, so that the code and
// message read after a failure are this step's even when other threads share
// the connection. Throws on failure, after resetting the cursor.
int Step(Connection& connection, sqlite3_stmt* cursor)
{
    sqlite3_mutex* mutex = sqlite3_db_mutex(connection.db);
    sqlite3_mutex_enter(mutex);
    const int rc = sqlite3_step(cursor);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
        sqlite3_mutex_leave(mutex);
        return rc;
    }
    const int code = sqlite3_extended_errcode(connection.db);
    const std::string message = sqlite3_errmsg(connection.db);
    sqlite3_reset(cursor);
    sqlite3_mutex_leave(mutex);
    if (!sqlite3_stmt_readonly(cursor))
        ++connection.failedWrites;
    throw CSQLite3Exception(code != SQLITE_OK ? code : rc, message.c_str());
}

void Check(sqlite3_stmt* cursor, int rc)
{
    if (rc != SQLITE_OK)
        throw CSQLite3Exception(rc, sqlite3_errstr(rc));
    (void)cursor;
}
}  // namespace

}  // namespace detail

CSQLite3Exception::CSQLite3Exception(int code, const char* message)
    : code_(code), hasMessage_(message != nullptr), message_(message ? message : "")
{
}

CSQLite3Exception::~CSQLite3Exception() = default;

const char* CSQLite3Exception::what() const noexcept { return hasMessage_ ? message_.c_str() : "SQLite exception"; }

// ---------------------------------------------------------------- query

CSQLite3Query::CSQLite3Query(std::shared_ptr<detail::StatementCore> core, sqlite3_stmt* cursor, bool eof)
    : core_(std::move(core)), cursor_(cursor), eof_(eof)
{
}

CSQLite3Query::~CSQLite3Query() { core_->Release(cursor_); }

void CSQLite3Query::NextRow()
{
    if (eof_)
        return;
    eof_ = detail::Step(*core_->connection, cursor_) == SQLITE_DONE;
}

int CSQLite3Query::FieldCount() const { return sqlite3_column_count(cursor_); }

int CSQLite3Query::FieldIndex(const std::string& name) const
{
    const int count = sqlite3_column_count(cursor_);
    for (int i = 0; i < count; ++i) {
        const char* column = sqlite3_column_name(cursor_, i);
        if (column != nullptr && name == column)
            return i;
    }
    throw CSQLite3Exception(SQLITE_ERROR, ("no such column: " + name).c_str());
}

bool CSQLite3Query::FieldIsNull(int index) const
{
    return eof_ || index < 0 || index >= sqlite3_column_count(cursor_) ||
           sqlite3_column_type(cursor_, index) == SQLITE_NULL;
}

int64_t CSQLite3Query::GetInt64Field(int index, int64_t defaultValue) const
{
    if (FieldIsNull(index))
        return defaultValue;
    return sqlite3_column_int64(cursor_, index);
}

int64_t CSQLite3Query::GetInt64Field(const std::string& name, int64_t defaultValue) const
{
    return GetInt64Field(FieldIndex(name), defaultValue);
}

std::string CSQLite3Query::GetStringField(int index, const std::string& defaultValue) const
{
    if (FieldIsNull(index))
        return defaultValue;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(cursor_, index));
    const int bytes = sqlite3_column_bytes(cursor_, index);
    return text != nullptr ? std::string(text, static_cast<size_t>(bytes)) : defaultValue;
}

std::string CSQLite3Query::GetStringField(const std::string& name, const std::string& defaultValue) const
{
    return GetStringField(FieldIndex(name), defaultValue);
}

// ---------------------------------------------------------------- statement

CSQLite3Statement::CSQLite3Statement(std::shared_ptr<detail::StatementCore> core, sqlite3_stmt* first)
    : core_(std::move(core)), current_(first)
{
}

CSQLite3Statement::~CSQLite3Statement()
{
    if (current_ != nullptr)
        core_->Release(current_);
}

sqlite3_stmt* CSQLite3Statement::Cursor()
{
    if (current_ == nullptr)
        current_ = core_->Acquire();
    return current_;
}

void CSQLite3Statement::Bind(int index, const std::string& text)
{
    sqlite3_stmt* cursor = Cursor();
    detail::Check(cursor, sqlite3_bind_text64(cursor, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
}

void CSQLite3Statement::BindNoCopy(int index, const std::string& text)
{
    sqlite3_stmt* cursor = Cursor();
    detail::Check(cursor, sqlite3_bind_text64(cursor, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8));
}

void CSQLite3Statement::Bind(int index, const char* text)
{
    sqlite3_stmt* cursor = Cursor();
    detail::Check(cursor, text == nullptr ? sqlite3_bind_null(cursor, index)
                                          : sqlite3_bind_text(cursor, index, text, -1, SQLITE_TRANSIENT));
}

void CSQLite3Statement::Bind(int index, int value) { Bind(index, static_cast<long long>(value)); }
void CSQLite3Statement::Bind(int index, long value) { Bind(index, static_cast<long long>(value)); }

void CSQLite3Statement::Bind(int index, long long value)
{
    sqlite3_stmt* cursor = Cursor();
    detail::Check(cursor, sqlite3_bind_int64(cursor, index, static_cast<sqlite3_int64>(value)));
}

void CSQLite3Statement::BindNull(int index)
{
    sqlite3_stmt* cursor = Cursor();
    detail::Check(cursor, sqlite3_bind_null(cursor, index));
}

void CSQLite3Statement::Reset()
{
    if (current_ != nullptr)
        sqlite3_reset(current_);
}

int CSQLite3Statement::ExecDML()
{
    sqlite3_stmt* cursor = Cursor();
    detail::Connection& connection = *core_->connection;
    sqlite3_mutex* mutex = sqlite3_db_mutex(connection.db);
    // Held across the run so that the change count is this statement's.
    sqlite3_mutex_enter(mutex);
    int changes = 0;
    try {
        while (detail::Step(connection, cursor) == SQLITE_ROW) {
        }
        changes = sqlite3_changes(connection.db);
    } catch (...) {
        sqlite3_mutex_leave(mutex);
        throw;
    }
    // A finished statement keeps no lock, but reset it anyway so it holds
    // nothing until its next run.
    sqlite3_reset(cursor);
    sqlite3_mutex_leave(mutex);
    return changes;
}

boost::shared_ptr<CSQLite3Query> CSQLite3Statement::ExecQuery()
{
    sqlite3_stmt* cursor = Cursor();
    const int rc = detail::Step(*core_->connection, cursor);
    current_ = nullptr;
    try {
        return boost::make_shared<CSQLite3Query>(core_, cursor, rc == SQLITE_DONE);
    } catch (...) {
        core_->Release(cursor);
        throw;
    }
}

const std::string& CSQLite3Statement::Sql() const { return core_->sql; }

}  // namespace FX
