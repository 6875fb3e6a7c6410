// CX::CUniqueNameCheckDatabase: the names database behind CX::CUniqueNameCheck.
//
// A private, unnamed SQLite database that only this object opens and that
// starts empty, with one table:
//     Names (Name VARCHAR PRIMARY KEY [COLLATE NOCASE])
// so each name is stored once. When the object is not case-sensitive, names
// that differ only in the case of ASCII letters are one name (SQLite's NOCASE
// folds ASCII letters only: "É" and "é" stay two names).
//
// The constructor opens the database and creates the tables; it never fails
// outwardly: failures are logged at level -1 and the checkers built on the
// object then answer errors.
//
// Threads: one object is shared by a checker and all of its clones. The
// insert lock serialises their inserts; the object's own operations run in
// the constructor only, before it is shared, and take no lock.
#pragma once

#include "DatabaseBase.h"
#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

// The library's own lock; hosts never take it, so its header stays inside.
class FXCriticalSection;

namespace CX {

class CUniqueNameCheckDatabasePrivate;

class CX_EXPORT CUniqueNameCheckDatabase : public FX::CDatabaseWithStorage {
public:
    // `caseSensitive` false compares names with SQLite's NOCASE collation.
    explicit CUniqueNameCheckDatabase(bool caseSensitive);
    ~CUniqueNameCheckDatabase() override;

    // Opens the database (once more at once should the first attempt fail)
    // and creates the storage table; success when it is open already.
    CKoError OpenDatabase() override;
    // Never interrupts a statement.
    int ProgressHandler() override;
    // Sets the journal (WAL, no synchronous flushing; failures ignored) and
    // creates the storage table and the Names table when absent.
    CKoError CreateTables();

    bool IsCaseSensitive() const;
    // Held by the checkers around each insert. Recursive.
    FXCriticalSection& GetInsertLock();

private:
    boost::shared_ptr<CUniqueNameCheckDatabasePrivate> d;
};

typedef boost::shared_ptr<CUniqueNameCheckDatabase> CUniqueNameCheckDatabasePtr;

}  // namespace CX
