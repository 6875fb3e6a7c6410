// CDatabaseWithStorage: the key/value table beside a database's own.
#include "DatabaseBase.h"

namespace FX {

CDatabaseWithStorage::CDatabaseWithStorage(int openMode) : CDatabaseBase(openMode) {}
CDatabaseWithStorage::~CDatabaseWithStorage() = default;

CKoError CDatabaseWithStorage::CreateStorageTables()
{
    bool exists = false;
    CKoError error = TableExists("Storage", exists);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    if (exists)
        return CKoError::Success();
    if (GetOpenMode() == OpenReadOnly)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_STORAGE_UNAVAILABLE,
                                       "No storage table in a read-only database");
    error = CreateTable("Storage", "(Key VARCHAR PRIMARY KEY, Value VARCHAR)");
    if (error.IsError())
        return error.Push(FX_LOCATION);
    return CKoError::Success();
}

CKoError CDatabaseWithStorage::SetValue(const std::string& key, const std::string& value)
{
    CSQLite3StatementPtr statement;
    CKoError error = CompileStatement("INSERT INTO Storage (Key, Value) VALUES (?1, ?2) "
                                      "ON CONFLICT(Key) DO UPDATE SET Value=excluded.Value;",
                                      statement);
    if (error.IsError())
        return error.Push(FX_LOCATION, "Key=[%s]", key.c_str());
    try {
        statement->Bind(1, key);
        statement->Bind(2, value);
        statement->ExecDML();
    } catch (const CSQLite3Exception& exception) {
        return ErrorFromException(FX_LOCATION, exception).Push(FX_LOCATION, "Key=[%s]", key.c_str());
    }
    return CKoError::Success();
}

CKoError CDatabaseWithStorage::GetValue(const std::string& key, std::string& value)
{
    CSQLite3StatementPtr statement;
    CKoError error = CompileStatement("SELECT Value FROM Storage WHERE Key=?1;", statement);
    if (error.IsError())
        return error.Push(FX_LOCATION, "Key=[%s]", key.c_str());
    try {
        statement->Bind(1, key);
        CSQLite3QueryPtr query = statement->ExecQuery();
        if (query->Eof())
            return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_FOUND, "Key=[%s]", key.c_str());
        value = query->GetStringField(0, std::string());
    } catch (const CSQLite3Exception& exception) {
        return ErrorFromException(FX_LOCATION, exception).Push(FX_LOCATION, "Key=[%s]", key.c_str());
    }
    return CKoError::Success();
}

}  // namespace FX
