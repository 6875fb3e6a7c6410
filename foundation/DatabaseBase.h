// The SQLite database wrapper: one connection to one database file.
//
// CDatabaseBase owns the connection and offers statement compilation, direct
// execution, schema helpers, collations and transactions. Open modes:
//   0   read-write; creates a missing file
//   16  read-only; never creates or changes a file. A file beside it that
//       SQLite would read as part of it (-wal, -shm, -journal) and that is
//       no regular file or not owned by the database file's owner is refused
//       with error 5 (ERROR_ACCESS_DENIED). With none there, the file is read
//       as it lies: no lock, nothing created beside it, so read-only media
//       and folders the reader cannot write do.
//   1   a private, unnamed database that only this object opens and that
//       starts empty (an SQLite temporary on-disk database, removed on close)
// Connections are opened in SQLite's serialized mode (the library's own walks
// open theirs, which no other thread reaches, without SQLite's mutex) with
// extended result codes and a 5 s busy timeout. Every call on a connection
// that is not open answers error 6 (ERROR_INVALID_HANDLE); nothing crashes.
//
// CDatabaseWithStorage adds the key/value table "Storage" (Key, Value).
// CDatabaseTransaction is a scope that commits at its normal end; see there.
#pragma once

#include "Export.h"
#include "KoError.h"
#include "SQLite3Statement.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <functional>
#include <string>

struct sqlite3;

namespace FX {

class CDatabaseBasePrivate;
class CDatabaseTransaction;
typedef boost::shared_ptr<CDatabaseTransaction> CDatabaseTransactionPtr;

// The error for a caught CSQLite3Exception, made at `location`: its extended
// code and "SQLite Exception" followed by ", " and SQLite's message, if any.
CX_EXPORT CKoError ErrorFromException(const FXCodeLocation& location, const CSQLite3Exception& exception);

class CX_EXPORT CDatabaseBase {
public:
    enum OpenMode { OpenReadWrite = 0, OpenPrivate = 1, OpenReadOnly = 16 };

    explicit CDatabaseBase(int openMode);
    virtual ~CDatabaseBase();
    CDatabaseBase(const CDatabaseBase&) = delete;
    CDatabaseBase& operator=(const CDatabaseBase&) = delete;

    void SetDatabasePath(const std::string& directory);
    void SetDatabaseName(const std::string& fileName);
    // Directory and file name joined; empty for a private database.
    std::string GetFullDatabaseName() const;
    int GetOpenMode() const;

    // Opens the connection; success when it is open already.
    virtual CKoError OpenDatabase();
    // Closes the connection. Statements and queries still held keep it alive
    // until they are released; they can still be stepped.
    CKoError CloseDatabase();
    bool IsOpen() const;
    // Called by SQLite while statements run; non-zero interrupts them.
    virtual int ProgressHandler();

    // Runs one or more statements of the library's own text.
    CKoError Execute(const std::string& sql);
    CKoError Query(const std::string& sql, CSQLite3QueryPtr& query);
    // The first column of the first row as an integer; `defaultValue` when
    // there is no row or the value is NULL.
    CKoError QueryScalar(const std::string& sql, int64_t& value, int64_t defaultValue);
    // Prepares `sql` and stores it in `statement`, replacing what it held.
    CKoError CompileStatement(const std::string& sql, CSQLite3StatementPtr& statement);

    // Schema helpers; names come from the library, never from callers' data.
    CKoError CreateTable(const std::string& name, const std::string& definition);
    CKoError CreateView(const std::string& name, const std::string& select);
    CKoError DeleteTable(const std::string& name);
    // Whether the main (or, for "temp.x", the temporary) schema has a table.
    CKoError TableExists(const std::string& name, bool& exists);

    int64_t GetLastInsertRowId() const;
    void SetLastInsertRowId(int64_t rowId);
    // Begins a transaction that lasts while `transaction` is held (see
    // CDatabaseTransaction).
    CKoError GetTransaction(CDatabaseTransactionPtr& transaction);
    // Rewrites the database file compactly.
    CKoError Vacuum();

    typedef int (*CollationFunction)(void*, int, const void*, int, const void*);
    typedef std::function<void(int encoding, const std::string& name)> CollationNeededHandler;
    CKoError RegisterCollationHandler(int encoding, const std::string& name, CollationFunction compare);
    // Called when a statement needs a collation the connection lacks. Kept
    // across reopening.
    CKoError RegisterCollationNeededHandler(CollationNeededHandler handler);

    // The raw connection, or null; for tests and tools.
    sqlite3* GetHandle() const;

    // From now on, read-only opens in this process read each file as it lies
    // and never what SQLite keeps beside it (a log, its index, a journal):
    // for a reader that has checked a file's bytes and must read those, even
    // if a file is put beside it meanwhile. A writer at work in place is then
    // not waited for; the reader must make sure the file did not change.
    static void ReadFilesAsTheyLie(bool asTheyLie);

protected:
    // Grows with every transaction or savepoint rolled back on the connection
    // (by SQLite itself too) and with every close: what a subclass remembers
    // of the database's content may be stale once it has changed.
    uint64_t GetRollbackCount() const;

private:
    friend class CDatabaseTransaction;
    boost::shared_ptr<CDatabaseBasePrivate> d;
};

class CX_EXPORT CDatabaseWithStorage : public CDatabaseBase {
public:
    explicit CDatabaseWithStorage(int openMode);
    ~CDatabaseWithStorage() override;

    // Creates the storage table when absent. On a read-only connection where
    // it is absent: error 26, and the database is usable without storage.
    CKoError CreateStorageTables();
    // Stores a value, replacing an earlier one under the key.
    CKoError SetValue(const std::string& key, const std::string& value);
    // Error 1168 when the key is absent (or there is no storage table).
    CKoError GetValue(const std::string& key, std::string& value);
};

// A transaction over the lifetime of the object. A transaction begun while
// another is active on the connection (the library's or one the host began)
// becomes a savepoint inside it, so transactions nest freely.
//
// Ending: Commit() commits and reports the outcome; a commit that fails rolls
// back. When the object is destroyed without Commit() or Rollback(), it
// commits if its scope ended normally and no write inside it failed, and
// rolls back if the scope is being left by an exception or a write inside it
// failed — so a batch of writes is all-or-nothing. A failed commit in the
// destructor is logged at level -1. Flags: 1 begins the outermost transaction
// IMMEDIATE (takes the write lock at once), 0 DEFERRED.
class CX_EXPORT CDatabaseTransaction {
public:
    CDatabaseTransaction(CDatabaseBase* database, int flags);
    ~CDatabaseTransaction();
    CDatabaseTransaction(const CDatabaseTransaction&) = delete;
    CDatabaseTransaction& operator=(const CDatabaseTransaction&) = delete;

    // The outcome of beginning; a transaction that failed to begin does nothing.
    const CKoError& GetBeginError() const { return beginError_; }
    CKoError Commit();
    CKoError Rollback();
    bool IsActive() const { return active_; }

private:
    std::shared_ptr<void> connection_;  // keeps the connection alive
    sqlite3* db_ = nullptr;
    std::string savepoint_;  // empty for the outermost transaction
    CKoError beginError_;
    uint64_t failedWritesAtBegin_ = 0;
    int uncaughtAtBegin_ = 0;
    bool active_ = false;
};

}  // namespace FX
