#include "DatabaseBase.h"

#include "DatabaseBasePrivate.h"

#include "FXPath.h"
#include "Hex.h"
#include "LogWriter.h"
#include "SQLiteConnection.h"

#include <boost/make_shared.hpp>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace FX {

namespace detail {

CKoError NotOpen(const FXCodeLocation& location, const std::string& name)
{
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_INVALID_HANDLE, "Database not open, DatabaseName=[%s]",
                                   name.c_str());
}

int ExecText(Connection& connection, const std::string& sql, std::string& message)
{
    sqlite3_mutex* mutex = sqlite3_db_mutex(connection.db);
    sqlite3_mutex_enter(mutex);
    char* error = nullptr;
    int rc = sqlite3_exec(connection.db, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        rc = sqlite3_extended_errcode(connection.db) != SQLITE_OK ? sqlite3_extended_errcode(connection.db) : rc;
        message = error ? error : sqlite3_errstr(rc);
        ++connection.failedWrites;
    }
    sqlite3_free(error);
    sqlite3_mutex_leave(mutex);
    return rc;
}

}  // namespace detail

namespace {

std::atomic<bool> g_readAsItLies{false};

// The files SQLite keeps beside a database while it writes it.
const char* const kSideFileSuffixes[] = {"-wal", "-shm", "-journal"};

// Looks at the files beside `file` (the database's real path) before a
// read-only open. A side file holds what a reader takes for the database's
// content (a log's pages, the index into them, pages to restore), so one
// that is no regular file, or that the database file's owner does not own,
// is refused before anything reads it: whoever can write to the folder can
// plant one. `present` tells whether any of them is there.
CKoError CheckSideFiles(const std::string& file, bool& present)
{
    present = false;
    struct stat database {};
    if (stat(file.c_str(), &database) != 0)
        return CKoError::Success();  // the open itself reports a missing file
    for (const char* suffix : kSideFileSuffixes) {
        const std::string side = file + suffix;
        struct stat status {};
        if (lstat(side.c_str(), &status) != 0) {
            if (errno != ENOENT)
                present = true;  // cannot tell: SQLite decides, as it locks
            continue;
        }
        present = true;
        if (!S_ISREG(status.st_mode))
            return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_ACCESS_DENIED,
                                           "Side file not a regular file, FileName=[%s]", side.c_str());
        if (status.st_uid != database.st_uid)
            return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_ACCESS_DENIED,
                                           "Side file not owned by the database file's owner, FileName=[%s]",
                                           side.c_str());
    }
    return CKoError::Success();
}

// The path SQLite opens for `file`: with its symbolic links resolved, as
// SQLite resolves them to find the side files; `file` itself when that fails.
std::string RealPath(const std::string& file)
{
    char* resolved = realpath(file.c_str(), nullptr);
    if (resolved == nullptr)
        return file;
    std::string path(resolved);
    std::free(resolved);
    return path;
}

}  // namespace

namespace detail {

thread_local int OwnThreadConnections::depth = 0;

std::string FileUri(const std::string& path)
{
    std::string uri = !path.empty() && path[0] == '/' ? "file://" : "file:";
    for (const unsigned char c : path) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (safe || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
            uri.push_back(static_cast<char>(c));
        } else {
            uri += {'%', kHexUpper[c >> 4], kHexUpper[c & 15]};
        }
    }
    return uri;
}

}  // namespace detail

CKoError ErrorFromException(const FXCodeLocation& location, const CSQLite3Exception& exception)
{
    const char* message = exception.errorMessage();
    return FXErrorUtil::ErrorSQLite(location, exception.errorCode(), "SQLite Exception%s%s", message ? ", " : "",
                                    message ? message : "");
}

// ---------------------------------------------------------------- database

CDatabaseBase::CDatabaseBase(int openMode) : d(boost::make_shared<CDatabaseBasePrivate>()) { d->openMode = openMode; }

CDatabaseBase::~CDatabaseBase()
{
    d->Detach();
    d->connection.reset();
}

void CDatabaseBase::SetDatabasePath(const std::string& directory) { d->path = directory; }
void CDatabaseBase::SetDatabaseName(const std::string& fileName) { d->name = fileName; }
int CDatabaseBase::GetOpenMode() const { return d->openMode; }

std::string CDatabaseBase::GetFullDatabaseName() const
{
    std::string full = d->path;
    if (!d->name.empty())
        FXPath::Append(full, d->name, 0);  // cannot fail
    return full;
}

CKoError CDatabaseBase::OpenDatabase()
{
    if (IsOpen())
        return CKoError::Success();
    // SQLite's mutex serialises the calls of threads that share the
    // connection; one that stays on its thread need not pay for it.
    int flags = detail::OwnThreadConnections::Active() ? SQLITE_OPEN_NOMUTEX : SQLITE_OPEN_FULLMUTEX;
#ifdef SQLITE_OPEN_EXRESCODE
    flags |= SQLITE_OPEN_EXRESCODE;
#endif
    std::string file;
    std::string target;  // what SQLite is given: the file's name or a URI
    if (d->openMode == OpenPrivate) {
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;  // "" is a private temporary database
    } else {
        file = GetFullDatabaseName();
        if (file.empty())
            return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER, "Database name not specified");
        target = file;
        if (d->openMode == OpenReadOnly) {
            flags |= SQLITE_OPEN_READONLY;
            const std::string real = RealPath(file);
            bool sideFiles = false;
            if (!g_readAsItLies.load()) {
                CKoError refused = CheckSideFiles(real, sideFiles);
                if (refused.IsError())
                    return refused.Push(FX_LOCATION, "DatabaseName=[%s]", file.c_str());
            }
            // With no side file no writer is at work: the file is read as it
            // lies, without a lock and without creating anything beside it,
            // which also works on read-only media and in folders the reader
            // cannot write. Otherwise SQLite's locks keep the read consistent
            // with a writer that may be at work.
            if (!sideFiles) {
                target = detail::FileUri(real) + "?immutable=1";
                flags |= SQLITE_OPEN_URI;
            }
        } else {
            flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        }
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(target.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const int code = db ? sqlite3_extended_errcode(db) : rc;
        const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return FXErrorUtil::ErrorSQLite(FX_LOCATION, code, "Open failed, %s, DatabaseName=[%s]", message.c_str(),
                                        file.c_str());
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 5000);
    d->connection = std::make_shared<detail::Connection>(db);
    sqlite3_rollback_hook(
        db, [](void* connection) { ++static_cast<detail::Connection*>(connection)->rollbacks; },
        d->connection.get());
    sqlite3_progress_handler(db, 10000, &CDatabaseBasePrivate::OnProgress, this);
    sqlite3_collation_needed(db, d.get(), &CDatabaseBasePrivate::OnCollationNeeded);
    return CKoError::Success();
}

CKoError CDatabaseBase::CloseDatabase()
{
    d->Detach();
    if (d->connection)
        d->rollbacksBefore += d->connection->rollbacks + 1;  // reopening counts as one
    d->connection.reset();
    return CKoError::Success();
}

uint64_t CDatabaseBase::GetRollbackCount() const
{
    return d->rollbacksBefore + (d->connection ? d->connection->rollbacks.load() : 0);
}

bool CDatabaseBase::IsOpen() const { return static_cast<bool>(d->connection); }

int CDatabaseBase::ProgressHandler() { return 0; }

void CDatabaseBase::ReadFilesAsTheyLie(bool asTheyLie) { g_readAsItLies.store(asTheyLie); }

sqlite3* CDatabaseBase::GetHandle() const { return d->connection ? d->connection->db : nullptr; }

CKoError CDatabaseBase::Execute(const std::string& sql)
{
    if (!IsOpen())
        return detail::NotOpen(FX_LOCATION, GetFullDatabaseName());
    std::string message;
    const int rc = detail::ExecText(*d->connection, sql, message);
    if (rc != SQLITE_OK)
        return FXErrorUtil::ErrorSQLite(FX_LOCATION, rc, "SQLite Exception, %s, SQL=[%s]", message.c_str(),
                                        sql.c_str());
    return CKoError::Success();
}

CKoError CDatabaseBase::Query(const std::string& sql, CSQLite3QueryPtr& query)
{
    if (!IsOpen())
        return detail::NotOpen(FX_LOCATION, GetFullDatabaseName());
    try {
        CSQLite3StatementPtr statement;
        CKoError error = CompileStatement(sql, statement);
        if (error.IsError())
            return error.Push(FX_LOCATION);
        query = statement->ExecQuery();
    } catch (const CSQLite3Exception& exception) {
        return ErrorFromException(FX_LOCATION, exception);
    }
    return CKoError::Success();
}

CKoError CDatabaseBase::QueryScalar(const std::string& sql, int64_t& value, int64_t defaultValue)
{
    value = defaultValue;
    CSQLite3QueryPtr query;
    CKoError error = Query(sql, query);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    if (!query->Eof())
        value = query->GetInt64Field(0, defaultValue);
    return CKoError::Success();
}

CKoError CDatabaseBase::CompileStatement(const std::string& sql, CSQLite3StatementPtr& statement)
{
    if (!IsOpen())
        return detail::NotOpen(FX_LOCATION, GetFullDatabaseName());
    sqlite3_stmt* cursor = nullptr;
    std::string message;
    const int rc = detail::Prepare(d->connection->db, sql, &cursor, message);
    if (rc != SQLITE_OK)
        return FXErrorUtil::ErrorSQLite(FX_LOCATION, rc, "SQLite Exception, %s, SQL=[%s]", message.c_str(),
                                        sql.c_str());
    auto core = std::make_shared<detail::StatementCore>(d->connection, sql);
    try {
        statement = boost::make_shared<CSQLite3Statement>(core, cursor);
    } catch (const std::bad_alloc&) {
        sqlite3_finalize(cursor);
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY);
    }
    return CKoError::Success();
}

CKoError CDatabaseBase::CreateTable(const std::string& name, const std::string& definition)
{
    CKoError error = Execute("CREATE TABLE IF NOT EXISTS " + name + " " + definition + ";");
    if (error.IsError())
        error.Push(FX_LOCATION, "TableName=[%s]", name.c_str());
    return error;
}

CKoError CDatabaseBase::CreateView(const std::string& name, const std::string& select)
{
    CKoError error = Execute("CREATE VIEW IF NOT EXISTS " + name + " AS " + select + ";");
    if (error.IsError())
        error.Push(FX_LOCATION, "ViewName=[%s]", name.c_str());
    return error;
}

CKoError CDatabaseBase::DeleteTable(const std::string& name)
{
    CKoError error = Execute("DROP TABLE " + name + ";");
    if (error.IsError())
        error.Push(FX_LOCATION, "TableName=[%s]", name.c_str());
    return error;
}

CKoError CDatabaseBase::TableExists(const std::string& name, bool& exists)
{
    exists = false;
    const bool temporary = name.compare(0, 5, "temp.") == 0;
    CSQLite3StatementPtr statement;
    CKoError error = CompileStatement(temporary ? "SELECT 1 FROM sqlite_temp_master WHERE type='table' AND name=?1;"
                                                : "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1;",
                                      statement);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    try {
        statement->Bind(1, temporary ? name.substr(5) : name);
        exists = !statement->ExecQuery()->Eof();
    } catch (const CSQLite3Exception& exception) {
        return ErrorFromException(FX_LOCATION, exception);
    }
    return CKoError::Success();
}

int64_t CDatabaseBase::GetLastInsertRowId() const
{
    return d->connection ? sqlite3_last_insert_rowid(d->connection->db) : -1;
}

void CDatabaseBase::SetLastInsertRowId(int64_t rowId)
{
    if (d->connection)
        sqlite3_set_last_insert_rowid(d->connection->db, rowId);
}

CKoError CDatabaseBase::GetTransaction(CDatabaseTransactionPtr& transaction)
{
    transaction = boost::make_shared<CDatabaseTransaction>(this, 0);
    CKoError error = transaction->GetBeginError();
    if (error.IsError()) {
        transaction.reset();
        return error.Push(FX_LOCATION);
    }
    return CKoError::Success();
}

CKoError CDatabaseBase::Vacuum()
{
    CKoError error = Execute("VACUUM;");
    if (error.IsError())
        error.Push(FX_LOCATION);
    return error;
}

CKoError CDatabaseBase::RegisterCollationHandler(int encoding, const std::string& name, CollationFunction compare)
{
    if (!IsOpen())
        return detail::NotOpen(FX_LOCATION, GetFullDatabaseName());
    const int rc = sqlite3_create_collation_v2(d->connection->db, name.c_str(), encoding, nullptr, compare, nullptr);
    if (rc != SQLITE_OK)
        return FXErrorUtil::ErrorSQLite(FX_LOCATION, rc, "CollationName=[%s]", name.c_str());
    return CKoError::Success();
}

CKoError CDatabaseBase::RegisterCollationNeededHandler(CollationNeededHandler handler)
{
    d->collationNeeded = std::move(handler);
    return CKoError::Success();
}

}  // namespace FX
