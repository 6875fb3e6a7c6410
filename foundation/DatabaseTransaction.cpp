// CDatabaseTransaction: a transaction, or a savepoint inside one, over the
// lifetime of an object.
#include "DatabaseBase.h"

#include "DatabaseBasePrivate.h"
#include "LogWriter.h"

#include <atomic>
#include <exception>

namespace FX {

namespace {

std::atomic<uint64_t> g_savepointCounter{0};

}  // namespace

CDatabaseTransaction::CDatabaseTransaction(CDatabaseBase* database, int flags)
{
    if (database == nullptr || !database->IsOpen()) {
        beginError_ = detail::NotOpen(FX_LOCATION, database ? database->GetFullDatabaseName() : std::string());
        return;
    }
    auto connection = database->d->connection;
    connection_ = connection;
    db_ = connection->db;
    failedWritesAtBegin_ = connection->failedWrites;
    uncaughtAtBegin_ = std::uncaught_exceptions();
    std::string sql;
    if (sqlite3_get_autocommit(db_)) {
        sql = (flags & 1) ? "BEGIN IMMEDIATE;" : "BEGIN;";
    } else {
        savepoint_ = "cx_savepoint_" + std::to_string(++g_savepointCounter);
        sql = "SAVEPOINT " + savepoint_ + ";";
    }
    std::string message;
    const int rc = detail::ExecText(*connection, sql, message);
    if (rc != SQLITE_OK) {
        connection->failedWrites = failedWritesAtBegin_;
        beginError_ = FXErrorUtil::ErrorSQLite(FX_LOCATION, rc, "SQLite Exception, %s", message.c_str());
        return;
    }
    active_ = true;
}

CDatabaseTransaction::~CDatabaseTransaction()
{
    if (!active_)
        return;
    auto* connection = static_cast<detail::Connection*>(connection_.get());
    const bool failed =
        std::uncaught_exceptions() > uncaughtAtBegin_ || connection->failedWrites != failedWritesAtBegin_;
    if (failed) {
        Rollback();
        // The failure is dealt with here; an enclosing transaction may commit.
        connection->failedWrites = failedWritesAtBegin_;
        return;
    }
    CKoError error = Commit();
    if (error.IsError())
        FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, "Commit failed, error=%s", error.AsString().c_str());
}

CKoError CDatabaseTransaction::Commit()
{
    if (!active_)
        return beginError_.IsError() ? CKoError(beginError_).Push(FX_LOCATION) : CKoError::Success();
    active_ = false;
    auto* connection = static_cast<detail::Connection*>(connection_.get());
    if (savepoint_.empty() && sqlite3_get_autocommit(db_))
        return FXErrorUtil::ErrorSQLite(FX_LOCATION, SQLITE_ABORT, "Transaction was rolled back by SQLite");
    std::string message;
    const int rc = detail::ExecText(*connection, savepoint_.empty() ? "COMMIT;" : "RELEASE " + savepoint_ + ";", message);
    if (rc == SQLITE_OK)
        return CKoError::Success();
    active_ = true;
    Rollback();
    return FXErrorUtil::ErrorSQLite(FX_LOCATION, rc, "SQLite Exception, %s", message.c_str());
}

CKoError CDatabaseTransaction::Rollback()
{
    if (!active_)
        return CKoError::Success();
    active_ = false;
    auto* connection = static_cast<detail::Connection*>(connection_.get());
    std::string message;
    int rc = SQLITE_OK;
    if (!savepoint_.empty()) {
        ++connection->rollbacks;  // SQLite's hook only sees whole transactions
        rc = detail::ExecText(*connection, "ROLLBACK TO " + savepoint_ + "; RELEASE " + savepoint_ + ";", message);
    }
    else if (!sqlite3_get_autocommit(db_))
        rc = detail::ExecText(*connection, "ROLLBACK;", message);
    if (rc != SQLITE_OK)
        return FXErrorUtil::ErrorSQLite(FX_LOCATION, rc, "SQLite Exception, %s", message.c_str());
    return CKoError::Success();
}

}  // namespace FX
