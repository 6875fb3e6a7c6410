#include "UniqueNameCheckDatabase.h"

#include "FXCriticalSection.h"
#include "LogWriter.h"

#include <boost/make_shared.hpp>

namespace CX {

class CUniqueNameCheckDatabasePrivate {
public:
    explicit CUniqueNameCheckDatabasePrivate(bool caseSensitive) : caseSensitive(caseSensitive) {}

    FXCriticalSection insertLock;
    const bool caseSensitive;
};

CUniqueNameCheckDatabase::CUniqueNameCheckDatabase(bool caseSensitive)
    : FX::CDatabaseWithStorage(OpenPrivate), d(boost::make_shared<CUniqueNameCheckDatabasePrivate>(caseSensitive))
{
    CKoError error = OpenDatabase();
    if (error.IsError())
        FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, "OpenDatabase failed, error=%s", error.AsString().c_str());
    // Attempted even after a failed open, so that its own failure is logged too.
    error = CreateTables();
    if (error.IsError())
        FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, "CreateTables failed, error=%s", error.AsString().c_str());
}

CUniqueNameCheckDatabase::~CUniqueNameCheckDatabase() = default;

CKoError CUniqueNameCheckDatabase::OpenDatabase()
{
    if (IsOpen())
        return CKoError::Success();
    CKoError error = FX::CDatabaseWithStorage::OpenDatabase();
    if (error.IsError()) {
        error = FX::CDatabaseWithStorage::OpenDatabase();
        if (error.IsError())
            return error.Push(FX_LOCATION);
    }
    error = CreateStorageTables();
    if (error.IsSuccess())
        return error;
    if (FXErrorUtil::IsNotWin32(error, KO_ERROR_STORAGE_UNAVAILABLE))
        return error.Push(FX_LOCATION);
    // The wrapper's answer for storage it could not set up on this connection:
    // start over on a fresh one. CreateTables tries the storage again.
    error = CloseDatabase();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    error = FX::CDatabaseWithStorage::OpenDatabase();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    return CKoError::Success();
}

int CUniqueNameCheckDatabase::ProgressHandler() { return 0; }

CKoError CUniqueNameCheckDatabase::CreateTables()
{
    RMDebugFunction trace(g_ptrLogWriter, 2, __PRETTY_FUNCTION__, __LINE__, 4, 0, 0xFFFFFFFF, "DatabaseName=[%s]",
                          GetFullDatabaseName().c_str());
    // Speed matters more than durability here: the names live only as long as
    // this object. Neither setting is needed for correct answers.
    Execute("PRAGMA journal_mode=WAL;");
    Execute("PRAGMA synchronous=off;");
    CKoError error = CreateStorageTables();
    if (error.IsError())
        return error.Push(FX_LOCATION, "CreateStorageTables failed");
    std::string definition = "(Name VARCHAR PRIMARY KEY ";
    if (!d->caseSensitive)
        definition += " COLLATE NOCASE";
    definition += ")";
    error = CreateTable("Names", definition);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    return CKoError::Success();
}

bool CUniqueNameCheckDatabase::IsCaseSensitive() const { return d->caseSensitive; }

FXCriticalSection& CUniqueNameCheckDatabase::GetInsertLock() { return d->insertLock; }

}  // namespace CX
