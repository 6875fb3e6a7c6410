// CX::CUniqueNameCheckPrivate: the data of one CX::CUniqueNameCheck, its share
// of the names database and its own prepared insert statement. Internal.
#pragma once

#include "KoError.h"
#include "SQLite3Statement.h"
#include "UniqueNameCheckDatabase.h"

#include <string>

namespace CX {

class CUniqueNameCheckPrivate {
public:
    CUniqueNameCheckPrivate();
    // Logs the number of names in the shared table at level 1.
    ~CUniqueNameCheckPrivate();
    CUniqueNameCheckPrivate(const CUniqueNameCheckPrivate&) = delete;
    CUniqueNameCheckPrivate& operator=(const CUniqueNameCheckPrivate&) = delete;

    // Prepares InsertNameStatement on `database`.
    CKoError CreateStatements();
    CKoError DeleteStatements();
    // Inserts the name unless an equal one is present; `inserted` tells which.
    // Without a prepared statement: error 6 (ERROR_INVALID_HANDLE).
    CKoError InsertName(const string& name, bool& inserted);

    // Shared by a checker and all of its clones.
    CUniqueNameCheckDatabasePtr database;
    // This checker's own; bound and reset outside the insert lock, so one
    // checker object serves one thread at a time.
    FX::CSQLite3StatementPtr InsertNameStatement;
};

}  // namespace CX
