#include "UniqueNameCheckPrivate.h"

#include "FXCriticalSection.h"
#include "LogWriter.h"

#include <sqlite3.h>

#include <cstdint>

namespace CX {

namespace {

// Puts the statement back to its start however InsertName is left, so that a
// failed call leaves nothing bound or half run.
class ResetOnExit {
public:
    explicit ResetOnExit(FX::CSQLite3Statement* statement) : statement(statement) {}
    ~ResetOnExit()
    {
        if (statement == nullptr)
            return;
        try {
            statement->Reset();
        } catch (...) {
            // The outcome of the insert is already known; a failed reset
            // surfaces on the next run.
        }
    }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

private:
    FX::CSQLite3Statement* statement;
};

}  // namespace

CUniqueNameCheckPrivate::CUniqueNameCheckPrivate() = default;

CUniqueNameCheckPrivate::~CUniqueNameCheckPrivate()
{
    if (!database)
        return;
    // Counting walks the whole table, so only when the line will be written.
    if (FXGetTraceLevel() > 0) {
        int64_t count = 0;
        database->QueryScalar("SELECT COUNT(*) FROM Names;", count, 0);
        FXLogWrite(1, __PRETTY_FUNCTION__, __LINE__, "%lld items in database", static_cast<long long>(count));
    }
    CKoError error = DeleteStatements();
    if (error.IsError())
        FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, "error=%s", error.AsString().c_str());
}

CKoError CUniqueNameCheckPrivate::CreateStatements()
{
    if (!database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_HANDLE, "No names database");
    CKoError error =
        database->CompileStatement("INSERT INTO Names (Name) VALUES (?1) ON CONFLICT DO NOTHING;", InsertNameStatement);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    return CKoError::Success();
}

CKoError CUniqueNameCheckPrivate::DeleteStatements()
{
    InsertNameStatement.reset();
    return CKoError::Success();
}

CKoError CUniqueNameCheckPrivate::InsertName(const string& name, bool& inserted)
{
    inserted = false;
    CKoError error;
    FX::CSQLite3Statement* statement = database ? InsertNameStatement.get() : nullptr;
    ResetOnExit reset(statement);
    if (statement == nullptr) {
        error = FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_HANDLE, "Statement not prepared");
    } else if (!database->IsCaseSensitive() && name.find('\0') != std::string::npos) {
        // SQLite's NOCASE stops at a NUL byte, so two names that differ only
        // after one would be taken for the same: refused rather than misjudged.
        error = FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER, "Name holds a NUL byte");
    } else {
        try {
            statement->Bind(1, name);
            // Only the execution is serialised: it is the one step that
            // touches the shared table.
            auto_lock guard(&database->GetInsertLock(), true);
            if (statement->ExecDML() > 0)
                inserted = true;
        } catch (const FX::CSQLite3Exception& exception) {
            const char* message = exception.errorMessage();
            error = FXErrorUtil::ErrorSQLite(FX_LOCATION, exception.errorCode(), "SQLite Exception%s%s",
                                             message ? ", " : "", message ? message : "");
        }
    }
    // A primary-key conflict that the statement did not absorb still means
    // the name is there.
    if (FXErrorUtil::IsSQLite(error, SQLITE_CONSTRAINT_PRIMARYKEY))
        return CKoError::Success();
    if (error.IsError())
        return error.Push(FX_LOCATION, "Name=[%s]", name.c_str());
    return CKoError::Success();
}

}  // namespace CX
