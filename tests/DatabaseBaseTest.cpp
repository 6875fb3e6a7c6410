// The SQLite wrapper: statements and queries, failure paths of a connection
// that did not open, open modes, storage and transactions.
#include "DatabaseBase.h"
#include "FXFile.h"
#include "TestSupport.h"

#include <sqlite3.h>

#include <stdexcept>

namespace {

using FX::CDatabaseBase;
using FX::CDatabaseTransaction;
using FX::CDatabaseWithStorage;
using FX::CSQLite3QueryPtr;
using FX::CSQLite3StatementPtr;

class Database : public CDatabaseWithStorage {
public:
    Database(const std::string& file, int mode) : CDatabaseWithStorage(mode) { SetDatabaseName(file); }
};

class DatabaseBaseTest : public TempDirTest {
protected:
    void SetUp() override
    {
        db = std::make_unique<Database>(dir.File("t.db"), 0);
        ASSERT_FALSE(db->OpenDatabase().IsError());
        ASSERT_FALSE(db->Execute("CREATE TABLE T (Id INTEGER PRIMARY KEY, Name VARCHAR UNIQUE);").IsError());
    }
    int64_t Count()
    {
        int64_t count = -1;
        EXPECT_FALSE(db->QueryScalar("SELECT COUNT(*) FROM T;", count, -1).IsError());
        return count;
    }
    void Insert(const std::string& name)
    {
        CSQLite3StatementPtr insert;
        ASSERT_FALSE(db->CompileStatement("INSERT INTO T (Name) VALUES (?1);", insert).IsError());
        insert->Bind(1, name);
        insert->ExecDML();
    }
    bool AnyStatementBusy()
    {
        for (sqlite3_stmt* s = sqlite3_next_stmt(db->GetHandle(), nullptr); s; s = sqlite3_next_stmt(db->GetHandle(), s))
            if (sqlite3_stmt_busy(s))
                return true;
        return false;
    }
    std::unique_ptr<Database> db;
};

TEST_F(DatabaseBaseTest, QuerySurvivesTheResetOfItsStatement)
{
    for (int i = 0; i < 5; ++i)
        Insert("n" + std::to_string(i));
    CSQLite3StatementPtr select;
    ASSERT_FALSE(db->CompileStatement("SELECT Name FROM T WHERE Id>=?1 ORDER BY Id;", select).IsError());
    select->Bind(1, 1L);
    CSQLite3QueryPtr first = select->ExecQuery();
    select->Reset();  // what an operation does when it leaves its scope
    // The statement is free for another run while the first query goes on.
    select->Bind(1, 4L);
    CSQLite3QueryPtr second = select->ExecQuery();
    select->Reset();
    std::vector<std::string> rows;
    for (; !first->Eof(); first->NextRow())
        rows.push_back(first->GetStringField(0, ""));
    EXPECT_EQ(rows, (std::vector<std::string>{"n0", "n1", "n2", "n3", "n4"}));
    ASSERT_FALSE(second->Eof());
    EXPECT_EQ(second->GetStringField("Name", ""), "n3");
}

TEST_F(DatabaseBaseTest, ReleasingTheLastHolderResetsTheCursor)
{
    Insert("a");
    Insert("b");
    CSQLite3StatementPtr select;
    ASSERT_FALSE(db->CompileStatement("SELECT Name FROM T;", select).IsError());
    {
        CSQLite3QueryPtr query = select->ExecQuery();
        EXPECT_FALSE(query->Eof());
        EXPECT_TRUE(AnyStatementBusy());  // a cursor mid-way holds a read transaction
    }
    EXPECT_FALSE(AnyStatementBusy());
}

TEST_F(DatabaseBaseTest, TextIsBoundWithItsLength)
{
    const std::string withNul("a\0b%s%n", 7);
    Insert(withNul);
    CSQLite3StatementPtr select;
    ASSERT_FALSE(db->CompileStatement("SELECT Name, length(CAST(Name AS BLOB)) FROM T;", select).IsError());
    CSQLite3QueryPtr query = select->ExecQuery();
    ASSERT_FALSE(query->Eof());
    EXPECT_EQ(query->GetStringField(0, ""), withNul);
    EXPECT_EQ(query->GetInt64Field(1, 0), 7);
}

TEST_F(DatabaseBaseTest, NullsReadAsDefaultsAndUnknownColumnsThrow)
{
    CSQLite3QueryPtr query;
    ASSERT_FALSE(db->Query("SELECT NULL AS A, 5 AS B;", query).IsError());
    EXPECT_EQ(query->GetInt64Field("A", -1), -1);
    EXPECT_EQ(query->GetStringField("A", "none"), "none");
    EXPECT_EQ(query->GetBigIntField(1, 0), 5);
    EXPECT_THROW(query->FieldIndex("C"), FX::CSQLite3Exception);
}

TEST_F(DatabaseBaseTest, ReadStringFieldReadsAsGetStringFieldDoes)
{
    CSQLite3QueryPtr query;
    ASSERT_FALSE(db->Query("SELECT NULL, '', CAST('a' || char(0) || 'b' AS TEXT), 42;", query).IsError());
    std::string value = "left over from an earlier row";
    query->ReadStringField(0, value, "none");
    EXPECT_EQ(value, "none");
    query->ReadStringField(1, value, "none");
    EXPECT_EQ(value, "");
    query->ReadStringField(2, value, "none");
    EXPECT_EQ(value, query->GetStringField(2, ""));
    EXPECT_EQ(value.size(), 3u);
    query->ReadStringField(3, value, "none");
    EXPECT_EQ(value, "42");
    for (const int outside : {-1, 4}) {
        query->ReadStringField(outside, value, "none");
        EXPECT_EQ(value, "none") << outside;
    }
    query->NextRow();
    ASSERT_TRUE(query->Eof());
    query->ReadStringField(1, value, "end");
    EXPECT_EQ(value, "end");
}

TEST_F(DatabaseBaseTest, FailuresCarrySQLitesExtendedCode)
{
    Insert("same");
    CSQLite3StatementPtr insert;
    ASSERT_FALSE(db->CompileStatement("INSERT INTO T (Name) VALUES (?1);", insert).IsError());
    insert->Bind(1, "same");
    try {
        insert->ExecDML();
        FAIL() << "no exception";
    } catch (const FX::CSQLite3Exception& exception) {
        EXPECT_EQ(exception.errorCode(), SQLITE_CONSTRAINT_UNIQUE);
        ASSERT_NE(exception.errorMessage(), nullptr);
    }
    CKoError error = db->Execute("INSERT INTO T (Name) VALUES ('same');");
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_CONSTRAINT_UNIQUE));
    CSQLite3StatementPtr bad;
    EXPECT_TRUE(db->CompileStatement("SELECT * FROM NoSuchTable;", bad).IsError());
    EXPECT_FALSE(bad);
}

TEST(DatabaseBaseClosedTest, EveryCallOnAConnectionThatDidNotOpenFailsCleanly)
{
    TempDir dir;
    Database db(dir.File("missing.db"), CDatabaseBase::OpenReadOnly);
    CKoError open = db.OpenDatabase();
    EXPECT_TRUE(FXErrorUtil::IsSQLite(open, SQLITE_CANTOPEN)) << open.AsString();
    EXPECT_FALSE(db.IsOpen());
    EXPECT_FALSE(FXFile::DoesFileExist(dir.File("missing.db")));
    CSQLite3StatementPtr statement;
    CSQLite3QueryPtr query;
    int64_t value = 3;
    std::string text;
    FX::CDatabaseTransactionPtr transaction;
    bool exists = true;
    EXPECT_TRUE(FXErrorUtil::IsWin32(db.Execute("SELECT 1;"), 6));
    EXPECT_TRUE(FXErrorUtil::IsWin32(db.Query("SELECT 1;", query), 6));
    EXPECT_TRUE(db.QueryScalar("SELECT 1;", value, 0).IsError());
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(db.CompileStatement("SELECT 1;", statement).IsError());
    EXPECT_TRUE(db.CreateTable("X", "(A)").IsError());
    EXPECT_TRUE(db.CreateView("V", "SELECT 1").IsError());
    EXPECT_TRUE(db.DeleteTable("X").IsError());
    EXPECT_TRUE(db.TableExists("X", exists).IsError());
    EXPECT_TRUE(db.GetTransaction(transaction).IsError());
    EXPECT_FALSE(transaction);
    EXPECT_TRUE(db.Vacuum().IsError());
    EXPECT_TRUE(db.CreateStorageTables().IsError());
    EXPECT_TRUE(db.SetValue("k", "v").IsError());
    EXPECT_TRUE(db.GetValue("k", text).IsError());
    EXPECT_TRUE(db.RegisterCollationHandler(1, "X", nullptr).IsError());
    EXPECT_EQ(db.GetLastInsertRowId(), -1);
    CDatabaseTransaction scope(&db, 0);
    EXPECT_TRUE(scope.GetBeginError().IsError());
    EXPECT_TRUE(scope.Commit().IsError());
}

TEST(DatabaseBaseModesTest, PrivateDatabasesStartEmptyAndAreNotShared)
{
    Database first("", CDatabaseBase::OpenPrivate);
    Database second("", CDatabaseBase::OpenPrivate);
    ASSERT_FALSE(first.OpenDatabase().IsError());
    ASSERT_FALSE(second.OpenDatabase().IsError());
    EXPECT_EQ(first.GetFullDatabaseName(), "");
    ASSERT_FALSE(first.Execute("CREATE TABLE N (Name);").IsError());
    bool exists = true;
    ASSERT_FALSE(second.TableExists("N", exists).IsError());
    EXPECT_FALSE(exists);
}

TEST(DatabaseBaseModesTest, ReadOnlyOpenOfAWalDatabase)
{
    TempDir dir;
    {
        Database writer(dir.File("w.db"), 0);
        ASSERT_FALSE(writer.OpenDatabase().IsError());
        ASSERT_FALSE(writer.Execute("PRAGMA journal_mode=WAL; CREATE TABLE T (A); INSERT INTO T VALUES (1);").IsError());
    }
    Database reader(dir.File("w.db"), CDatabaseBase::OpenReadOnly);
    ASSERT_FALSE(reader.OpenDatabase().IsError());
    int64_t count = 0;
    ASSERT_FALSE(reader.QueryScalar("SELECT COUNT(*) FROM T;", count, 0).IsError());
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(reader.Execute("INSERT INTO T VALUES (2);"), SQLITE_READONLY));
    // No storage table and no way to make one: error 26.
    EXPECT_TRUE(FXErrorUtil::IsWin32(reader.CreateStorageTables(), 26));
}

TEST_F(DatabaseBaseTest, StorageKeepsOneValuePerKey)
{
    ASSERT_FALSE(db->CreateStorageTables().IsError());
    ASSERT_FALSE(db->CreateStorageTables().IsError());
    ASSERT_FALSE(db->SetValue("Origin", "first").IsError());
    ASSERT_FALSE(db->SetValue("Origin", "x'); DROP TABLE T; --").IsError());
    std::string value;
    ASSERT_FALSE(db->GetValue("Origin", value).IsError());
    EXPECT_EQ(value, "x'); DROP TABLE T; --");
    EXPECT_TRUE(FXErrorUtil::IsWin32(db->GetValue("OriginQuery", value), 1168));
    bool exists = false;
    ASSERT_FALSE(db->TableExists("T", exists).IsError());
    EXPECT_TRUE(exists);
}

TEST_F(DatabaseBaseTest, TransactionCommitsAtItsNormalEnd)
{
    {
        CDatabaseTransaction transaction(db.get(), 0);
        ASSERT_FALSE(transaction.GetBeginError().IsError());
        Insert("a");
        Insert("b");
    }
    EXPECT_EQ(Count(), 2);
    EXPECT_TRUE(sqlite3_get_autocommit(db->GetHandle()));
}

TEST_F(DatabaseBaseTest, TransactionRollsBackWhenLeftByAnException)
{
    try {
        CDatabaseTransaction transaction(db.get(), 0);
        Insert("a");
        throw std::runtime_error("host failure");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(Count(), 0);
    EXPECT_TRUE(sqlite3_get_autocommit(db->GetHandle()));
}

TEST_F(DatabaseBaseTest, TransactionRollsBackAfterAFailedWrite)
{
    {
        CDatabaseTransaction transaction(db.get(), 0);
        Insert("a");
        EXPECT_TRUE(db->Execute("INSERT INTO T (Name) VALUES ('a');").IsError());
    }
    EXPECT_EQ(Count(), 0);
}

TEST_F(DatabaseBaseTest, TransactionsNestAsSavepoints)
{
    ASSERT_FALSE(db->Execute("BEGIN;").IsError());  // the host's own transaction
    Insert("outer");
    {
        CDatabaseTransaction inner(db.get(), 0);
        ASSERT_FALSE(inner.GetBeginError().IsError());
        Insert("inner");
        EXPECT_TRUE(db->Execute("INSERT INTO T (Name) VALUES ('inner');").IsError());
    }  // the failed inner part rolls back alone
    {
        CDatabaseTransaction inner(db.get(), 0);
        Insert("kept");
        EXPECT_FALSE(inner.Commit().IsError());
    }
    EXPECT_FALSE(sqlite3_get_autocommit(db->GetHandle()));
    ASSERT_FALSE(db->Execute("COMMIT;").IsError());
    CSQLite3QueryPtr query;
    ASSERT_FALSE(db->Query("SELECT Name FROM T ORDER BY Id;", query).IsError());
    std::vector<std::string> names;
    for (; !query->Eof(); query->NextRow())
        names.push_back(query->GetStringField(0, ""));
    EXPECT_EQ(names, (std::vector<std::string>{"outer", "kept"}));
}

TEST_F(DatabaseBaseTest, LastInsertRowIdCanBeSetAsASentinel)
{
    Insert("a");
    EXPECT_EQ(db->GetLastInsertRowId(), 1);
    db->SetLastInsertRowId(INT64_MIN);
    EXPECT_EQ(db->GetLastInsertRowId(), INT64_MIN);
}

}  // namespace
