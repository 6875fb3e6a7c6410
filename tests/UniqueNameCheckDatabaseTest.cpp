// The names database: its schema texts, its private empty database per object,
// the trace of CreateTables and the errors of a database that is not open.
#include "LogWriter.h"
#include "TestSupport.h"
#include "UniqueNameCheckDatabase.h"

#include <boost/make_shared.hpp>

#include <mutex>
#include <string>
#include <vector>

namespace {

using CX::CUniqueNameCheckDatabase;

std::string TableSql(CUniqueNameCheckDatabase& db, const std::string& name)
{
    FX::CSQLite3QueryPtr query;
    EXPECT_FALSE(db.Query("SELECT sql FROM sqlite_master WHERE type='table' AND name='" + name + "';", query).IsError());
    return query && !query->Eof() ? query->GetStringField(0, "") : std::string();
}

int64_t Scalar(CUniqueNameCheckDatabase& db, const std::string& sql)
{
    int64_t value = -1;
    EXPECT_FALSE(db.QueryScalar(sql, value, -1).IsError()) << sql;
    return value;
}

class TraceRecorder : public CLogWriterInterface {
public:
    int level = 4;
    std::vector<std::string> lines;
    int GetTraceLevel() const override { return level; }
    void SetTraceLevel(int value) override { level = value; }
    void WriteLine(int lineLevel, const char* function, int, const std::string& text) override
    {
        lines.push_back(std::to_string(lineLevel) + " " + function + ": " + text);
    }
};

TEST(UniqueNameCheckDatabaseTest, NamesTableDefinitionFollowsTheCaseFlag)
{
    CUniqueNameCheckDatabase insensitive(false);
    EXPECT_FALSE(insensitive.IsCaseSensitive());
    EXPECT_EQ(TableSql(insensitive, "Names"), "CREATE TABLE Names (Name VARCHAR PRIMARY KEY  COLLATE NOCASE)");
    CUniqueNameCheckDatabase sensitive(true);
    EXPECT_TRUE(sensitive.IsCaseSensitive());
    EXPECT_EQ(TableSql(sensitive, "Names"), "CREATE TABLE Names (Name VARCHAR PRIMARY KEY )");
    for (CUniqueNameCheckDatabase* db : {&insensitive, &sensitive}) {
        bool exists = false;
        EXPECT_FALSE(db->TableExists("Storage", exists).IsError());
        EXPECT_TRUE(exists);
        // Nothing else: no extra table or index beyond the primary key's own.
        EXPECT_EQ(Scalar(*db, "SELECT COUNT(*) FROM sqlite_master WHERE name NOT LIKE 'sqlite_autoindex_%' "
                              "AND name NOT IN ('Names', 'Storage');"),
                  0);
        EXPECT_EQ(Scalar(*db, "PRAGMA synchronous;"), 0);
    }
}

TEST(UniqueNameCheckDatabaseTest, EachObjectHasItsOwnEmptyUnnamedDatabase)
{
    CUniqueNameCheckDatabase first(true);
    EXPECT_EQ(first.GetFullDatabaseName(), "");
    EXPECT_EQ(first.GetOpenMode(), 1);
    ASSERT_FALSE(first.Execute("INSERT INTO Names (Name) VALUES ('a');").IsError());
    CUniqueNameCheckDatabase second(true);
    EXPECT_EQ(Scalar(second, "SELECT COUNT(*) FROM Names;"), 0);
    EXPECT_EQ(Scalar(first, "SELECT COUNT(*) FROM Names;"), 1);

    // Opening an open database changes nothing: same connection, same rows.
    sqlite3* handle = first.GetHandle();
    EXPECT_FALSE(first.OpenDatabase().IsError());
    EXPECT_EQ(first.GetHandle(), handle);
    EXPECT_EQ(Scalar(first, "SELECT COUNT(*) FROM Names;"), 1);
    EXPECT_EQ(first.ProgressHandler(), 0);
}

TEST(UniqueNameCheckDatabaseTest, ConstructionTracesCreateTablesAndLogsNoFailure)
{
    auto saved = g_ptrLogWriter;
    auto writer = boost::make_shared<TraceRecorder>();
    g_ptrLogWriter = writer;
    {
        CUniqueNameCheckDatabase db(false);
    }
    writer->level = 3;
    {
        CUniqueNameCheckDatabase db(false);
    }
    g_ptrLogWriter = saved;
    EXPECT_EQ(writer->lines,
              (std::vector<std::string>{"4 CKoError CX::CUniqueNameCheckDatabase::CreateTables(): enter DatabaseName=[]",
                                        "4 CKoError CX::CUniqueNameCheckDatabase::CreateTables(): leave"}));
}

TEST(UniqueNameCheckDatabaseTest, CreateTablesReportsWhatFailed)
{
    CUniqueNameCheckDatabase db(false);
    // An index that takes the table's name makes the table impossible.
    ASSERT_FALSE(db.Execute("DROP TABLE Names; CREATE INDEX Names ON Storage (Value);").IsError());
    CKoError error = db.CreateTables();
    ASSERT_TRUE(error.IsError());
    ASSERT_GE(error.Entries().size(), 2u);
    EXPECT_EQ(error.Entries().back().file, "UniqueNameCheckDatabase");
    EXPECT_EQ(error.Entries().back().function, "CKoError CX::CUniqueNameCheckDatabase::CreateTables()");
    EXPECT_EQ(error.Entries().back().message, "");

    ASSERT_FALSE(db.CloseDatabase().IsError());
    error = db.CreateTables();
    ASSERT_TRUE(error.IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, KO_ERROR_INVALID_HANDLE));
    EXPECT_EQ(error.Entries().back().function, "CKoError CX::CUniqueNameCheckDatabase::CreateTables()");
    EXPECT_EQ(error.Entries().back().message, "CreateStorageTables failed");

    // Reopening gives a fresh, empty database on which the tables can be made.
    ASSERT_FALSE(db.OpenDatabase().IsError());
    EXPECT_FALSE(db.CreateTables().IsError());
    EXPECT_EQ(Scalar(db, "SELECT COUNT(*) FROM Names;"), 0);
}

}  // namespace
