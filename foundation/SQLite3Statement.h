// Prepared statements and query cursors over one SQLite connection.
//
// A CSQLite3Statement is prepared once and run many times: bind, run, reset.
// ExecQuery hands the running cursor to a CSQLite3Query, which then owns it:
// resetting or rebinding the statement afterwards does not disturb the query,
// which goes on yielding every row. The statement takes another prepared
// cursor from its pool for the next run, and a query gives its cursor back,
// reset, when its last holder lets it go — so no finished query keeps a read
// transaction open. Nothing is compiled again in steady use.
//
// Statement and query calls throw CSQLite3Exception on an SQLite failure.
// One statement object belongs to one thread at a time; several statements
// may run on one connection from several threads (the connection is opened
// in SQLite's serialized mode).
#pragma once

#include "Export.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

struct sqlite3_stmt;

namespace FX {

namespace detail {
struct StatementCore;
}

class CX_EXPORT CSQLite3Exception : public std::exception {
public:
    CSQLite3Exception(int code, const char* message);
    ~CSQLite3Exception() override;
    // The extended SQLite result code.
    int errorCode() const { return code_; }
    // SQLite's message, or null when there is none.
    const char* errorMessage() const { return hasMessage_ ? message_.c_str() : nullptr; }
    const char* what() const noexcept override;

private:
    int code_;
    bool hasMessage_;
    std::string message_;
};

class CX_EXPORT CSQLite3Query {
public:
    ~CSQLite3Query();
    CSQLite3Query(const CSQLite3Query&) = delete;
    CSQLite3Query& operator=(const CSQLite3Query&) = delete;

    bool Eof() const { return eof_; }
    void NextRow();

    int FieldCount() const;
    // The index of a result column by name; throws when there is none.
    int FieldIndex(const std::string& name) const;
    bool FieldIsNull(int index) const;
    // NULL (and an index outside the row) read as the default.
    int64_t GetInt64Field(int index, int64_t defaultValue) const;
    int64_t GetInt64Field(const std::string& name, int64_t defaultValue) const;
    int64_t GetBigIntField(int index, int64_t defaultValue) const { return GetInt64Field(index, defaultValue); }
    std::string GetStringField(int index, const std::string& defaultValue) const;
    std::string GetStringField(const std::string& name, const std::string& defaultValue) const;

    // For internal use: a query over a cursor that has just been stepped.
    CSQLite3Query(std::shared_ptr<detail::StatementCore> core, sqlite3_stmt* cursor, bool eof);

private:
    std::shared_ptr<detail::StatementCore> core_;
    sqlite3_stmt* cursor_;
    bool eof_;
};
typedef boost::shared_ptr<CSQLite3Query> CSQLite3QueryPtr;

class CX_EXPORT CSQLite3Statement {
public:
    ~CSQLite3Statement();
    CSQLite3Statement(const CSQLite3Statement&) = delete;
    CSQLite3Statement& operator=(const CSQLite3Statement&) = delete;

    // 1-based parameter indexes. Text is bound with its byte length and
    // copied: embedded NUL bytes survive.
    void Bind(int index, const std::string& text);
    void Bind(int index, const char* text);
    void Bind(int index, int value);
    void Bind(int index, long value);
    void Bind(int index, long long value);
    void BindNull(int index);
    // Binds without copying: `text` must stay alive and unchanged until the
    // statement is reset or run again. For texts that outlive one ExecDML.
    void BindNoCopy(int index, const std::string& text);

    // Back to the start, bindings kept. Never throws.
    void Reset();
    // Runs to completion; the number of rows changed.
    int ExecDML();
    // Runs to the first row; the query owns the cursor from here on.
    boost::shared_ptr<CSQLite3Query> ExecQuery();

    const std::string& Sql() const;

    // For internal use: a statement over a core, with its first cursor.
    CSQLite3Statement(std::shared_ptr<detail::StatementCore> core, sqlite3_stmt* first);

private:
    sqlite3_stmt* Cursor();

    std::shared_ptr<detail::StatementCore> core_;
    sqlite3_stmt* current_;
};
typedef boost::shared_ptr<CSQLite3Statement> CSQLite3StatementPtr;

}  // namespace FX
