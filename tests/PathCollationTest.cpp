// The path collations: their order through the C functions, through the
// SQLite callbacks on exact-size buffers, and through ORDER BY on a connection.
#include "DatabaseBase.h"
#include "PathCollation.h"
#include "TestSupport.h"

#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

// The callback over heap copies of exactly the text's bytes, no terminator,
// so that AddressSanitizer catches any read past either length.
int Collate(bool nocase, const std::string& a, const std::string& b)
{
    std::unique_ptr<char[]> x(new char[a.size() ? a.size() : 1]);
    std::unique_ptr<char[]> y(new char[b.size() ? b.size() : 1]);
    std::memcpy(x.get(), a.data(), a.size());
    std::memcpy(y.get(), b.data(), b.size());
    const auto la = static_cast<int32_t>(a.size());
    const auto lb = static_cast<int32_t>(b.size());
    return nocase ? CX::sqlite_collation_bypath_nocase(nullptr, la, x.get(), lb, y.get())
                  : CX::sqlite_collation_bypath(nullptr, la, x.get(), lb, y.get());
}

struct Row {
    std::string first, second;
    int sign;
};

const std::vector<Row> kCaseSensitive = {
    {"A\\", "A b\\", -1}, {"a\\", "a\\b", -1}, {"abc", "abc", 0}, {"Abc", "abc", -1},
    {"A", "_", -1},       {"a/", "a-b/", 1},   {"a\xC3", "az", 1}, {"", "a", -1},
};
const std::vector<Row> kCaseInsensitive = {
    {"ABC", "abc", 0},
    {"ABC", "abd", -1},
    {"_", "A", -1},
    {"A\\", "a b\\", -1},
};

TEST(PathCollationTest, OrderTables)
{
    for (const Row& row : kCaseSensitive) {
        EXPECT_EQ(Sign(Collate(false, row.first, row.second)), row.sign) << row.first << " vs " << row.second;
        EXPECT_EQ(Sign(Collate(false, row.second, row.first)), -row.sign) << row.second << " vs " << row.first;
    }
    for (const Row& row : kCaseInsensitive) {
        EXPECT_EQ(Sign(Collate(true, row.first, row.second)), row.sign) << row.first << " vs " << row.second;
        EXPECT_EQ(Sign(Collate(true, row.second, row.first)), -row.sign) << row.second << " vs " << row.first;
    }
}

TEST(PathCollationTest, CFunctionsStopAtNAndAtNul)
{
    EXPECT_EQ(CX::path_strcmp("abc", "abd", 2), 0);
    EXPECT_LT(CX::path_strcmp("abc", "abd", 3), 0);
    EXPECT_EQ(CX::path_strcmp("ab\0x", "ab\0y", 4), 0);
    EXPECT_EQ(CX::path_strcmp("A\\", "A b", 3), -1);
    EXPECT_EQ(CX::path_strcmp("A b", "A\\", 3), 1);
    EXPECT_EQ(CX::path_stricmp("ABC", "abc", 3), 0);
    EXPECT_GT(CX::path_strcmp("a", "A", 1), 0);
    EXPECT_EQ(CX::path_strcmp("x", "y", 0), 0);
    // The backslash is not a letter: folding leaves its rank alone.
    EXPECT_EQ(CX::path_stricmp("\\", "|", 1), -1);
}

// Installs the collations through a collation-needed handler of the test's own.
class CollationDatabase : public FX::CDatabaseBase {
public:
    explicit CollationDatabase(const std::string& file) : FX::CDatabaseBase(0)
    {
        SetDatabaseName(file);
        EXPECT_FALSE(OpenDatabase().IsError());
        RegisterCollationNeededHandler([this](int encoding, const std::string& name) {
            requested.push_back(name);
            if (name == "PATH_COMPONENTS")
                RegisterCollationHandler(encoding, name, &CX::sqlite_collation_bypath);
            else if (name == "PATH_COMPONENTS_NOCASE")
                RegisterCollationHandler(encoding, name, &CX::sqlite_collation_bypath_nocase);
        });
    }
    std::vector<std::string> requested;
};

std::vector<std::string> Ordered(CollationDatabase& db, const std::string& collation,
                                 const std::vector<std::string>& names)
{
    EXPECT_FALSE(db.Execute("DROP TABLE IF EXISTS T; CREATE TABLE T (Name VARCHAR COLLATE " + collation + ");")
                     .IsError());
    FX::CSQLite3StatementPtr insert;
    EXPECT_FALSE(db.CompileStatement("INSERT INTO T VALUES (?1);", insert).IsError());
    for (const auto& name : names) {
        insert->Bind(1, name);
        insert->ExecDML();
    }
    FX::CSQLite3QueryPtr query;
    EXPECT_FALSE(db.Query("SELECT Name FROM T ORDER BY Name;", query).IsError());
    std::vector<std::string> out;
    for (; !query->Eof(); query->NextRow())
        out.push_back(query->GetStringField(0, ""));
    return out;
}

TEST(PathCollationTest, SqliteOrdersByTheCollation)
{
    TempDir dir;
    CollationDatabase db(dir.File("c.db"));
    EXPECT_EQ(Ordered(db, "PATH_COMPONENTS", {"a-b/", "A b\\", "Abc", "_", "a/", "A\\", "abc", "a\xC3", "az", ""}),
              (std::vector<std::string>{"", "A\\", "A b\\", "Abc", "_", "a-b/", "a/", "abc", "az", "a\xC3"}));
    EXPECT_EQ(Ordered(db, "PATH_COMPONENTS_NOCASE", {"abd", "_", "ABC", "a b\\", "A\\"}),
              (std::vector<std::string>{"_", "A\\", "a b\\", "ABC", "abd"}));
    // The collation is asked for once per connection, by the name SQLite saw.
    EXPECT_EQ(db.requested, (std::vector<std::string>{"PATH_COMPONENTS", "PATH_COMPONENTS_NOCASE"}));
}

TEST(PathCollationTest, UnknownCollationIsSQLitesError)
{
    TempDir dir;
    CollationDatabase db(dir.File("c.db"));
    CKoError error = db.Execute("CREATE TABLE U (Name VARCHAR COLLATE NO_SUCH_ORDER);");
    EXPECT_TRUE(error.IsError());
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_ERROR));
}

}  // namespace
