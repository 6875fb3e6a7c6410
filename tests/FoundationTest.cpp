// The utilities layer: error objects, paths, strings, bags, time stamps.
#include "Bag.h"
#include "FXFile.h"
#include "FXPath.h"
#include "FXString.h"
#include "KoError.h"
#include "LogWriter.h"
#include "MakeSharedNothrow.h"
#include "TestSupport.h"
#include "TimeStamp.h"

#include <boost/make_shared.hpp>

#include <vector>

namespace {

TEST(KoErrorTest, SuccessIsEmptyAndPushIsIgnored)
{
    CKoError ok;
    EXPECT_FALSE(ok.IsError());
    EXPECT_EQ(ok.Status(), 0);
    ok.Push(FX_LOCATION, "ignored");
    EXPECT_TRUE(ok.Entries().empty());
    EXPECT_EQ(ok.AsString(), "success");
}

TEST(KoErrorTest, EntriesCarryTheLocationOfEachLevel)
{
    CKoError error = FXErrorUtil::ErrorWin32(FX_LOCATION, 1168, "FolderName=[%s]", "/a/");
    const int line = __LINE__ - 1;
    error.Push(FX_LOCATION);
    ASSERT_EQ(error.Entries().size(), 2u);
    EXPECT_EQ(error.Entries()[0].file, "FoundationTest");
    EXPECT_EQ(error.Entries()[0].line, line);
    EXPECT_EQ(error.Entries()[0].message, "FolderName=[/a/]");
    EXPECT_NE(error.Entries()[0].function.find("TestBody"), std::string::npos);
    EXPECT_TRUE(error.Entries()[1].message.empty());
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168));
    EXPECT_FALSE(FXErrorUtil::IsNotWin32(error, 1168));
    EXPECT_TRUE(FXErrorUtil::IsNotWin32(error, 50));
    EXPECT_FALSE(FXErrorUtil::IsSQLite(error, 1168));
}

TEST(KoErrorTest, CopiesShareOneChain)
{
    CKoError original = FXErrorUtil::ErrorWin32(FX_LOCATION, 13);
    CKoError copy = original;
    copy.Push(FX_LOCATION, "added through the copy");
    EXPECT_EQ(original.Entries().size(), 2u);
}

TEST(KoErrorTest, SQLiteErrorsKeepTheExtendedCode)
{
    CKoError error = FXErrorUtil::ErrorSQLite(FX_LOCATION, 1555, "SQLite Exception%s%s", ", ", "UNIQUE");
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, 1555));
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, 19));  // primary code SQLITE_CONSTRAINT
    EXPECT_FALSE(FXErrorUtil::IsSQLite(error, 2067));
    EXPECT_FALSE(FXErrorUtil::IsWin32(error, 1555));
    EXPECT_EQ(FXErrorUtil::SQLiteCode(error), 1555);
    EXPECT_EQ(error.Entries()[0].message, "SQLite Exception, UNIQUE");
}

TEST(KoErrorTest, PercentInDataIsNeverAFormat)
{
    const std::string hostile = "/a%s%n%d/";
    CKoError error = FXErrorUtil::ErrorWin32(FX_LOCATION, 2, "FileName=[%s]", hostile.c_str());
    EXPECT_EQ(error.Entries()[0].message, "FileName=[/a%s%n%d/]");
    const std::string longText(5000, 'x');
    error.Push(FX_LOCATION, "%s", longText.c_str());
    EXPECT_EQ(error.Entries()[1].message, longText);
    EXPECT_NE(error.AsString().find("/a%s%n%d/"), std::string::npos);
}

TEST(KoErrorTest, ErrnoMapsToWin32Numbers)
{
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXErrorUtil::ErrorErrno(FX_LOCATION, ENOENT), 2));
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXErrorUtil::ErrorErrno(FX_LOCATION, EACCES), 5));
}

TEST(FXPathTest, SplitParentPath)
{
    std::string parent, name;
    ASSERT_FALSE(FXPath::SplitParentPath("/a/b/c.txt", parent, name).IsError());
    EXPECT_EQ(parent, "/a/b");
    EXPECT_EQ(name, "c.txt");
    ASSERT_FALSE(FXPath::SplitParentPath("/c.txt", parent, name).IsError());
    EXPECT_EQ(parent, "/");
    EXPECT_EQ(name, "c.txt");
    ASSERT_FALSE(FXPath::SplitParentPath("c.txt", parent, name).IsError());
    EXPECT_EQ(parent, "");
    EXPECT_EQ(name, "c.txt");
    ASSERT_FALSE(FXPath::SplitParentPath("/a/b/", parent, name).IsError());
    EXPECT_EQ(parent, "/a");
    EXPECT_EQ(name, "b");
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXPath::SplitParentPath("", parent, name), 87));
}

TEST(FXPathTest, AppendJoinsWithExactlyOneDelimiter)
{
    std::string path = "/a/";
    FXPath::Append(path, "b.txt", 0);
    EXPECT_EQ(path, "/a/b.txt");
    path = "/a";
    FXPath::Append(path, "b", 0);
    EXPECT_EQ(path, "/a/b");
    path = "";
    FXPath::Append(path, "b", 0);
    EXPECT_EQ(path, "b");
    path = "a";
    FXPath::AppendTrailingDelimiter(path);
    EXPECT_EQ(path, "a/");
    FXPath::AppendTrailingDelimiter(path);
    EXPECT_EQ(path, "a/");
    path = "";
    FXPath::AppendTrailingDelimiter(path);
    EXPECT_EQ(path, "/");
}

TEST(FXPathTest, SamePathIgnoresOnlyTheTrailingDelimiter)
{
    EXPECT_TRUE(FXPath::IsSamePathAs("/a/b", "/a/b/"));
    EXPECT_TRUE(FXPath::IsSamePathAs("/a/b/", "/a/b/"));
    EXPECT_FALSE(FXPath::IsSamePathAs("/a/B/", "/a/b/"));
    EXPECT_FALSE(FXPath::IsSamePathAs("", "/"));
    EXPECT_FALSE(FXPath::IsSamePathAs("/a/b", "/a/bc"));
}

TEST(FXPathTest, AncestorsCompareWholeComponents)
{
    EXPECT_TRUE(FXPath::IsAncestorOf("/a/", "/a/b/", false));
    EXPECT_TRUE(FXPath::IsAncestorOf("/a", "/a/b/", false));
    EXPECT_TRUE(FXPath::IsAncestorOf("/", "/a/", false));
    EXPECT_FALSE(FXPath::IsAncestorOf("/a/", "/ab/", false));
    EXPECT_FALSE(FXPath::IsAncestorOf("/a/", "/a/", false));
    EXPECT_TRUE(FXPath::IsAncestorOf("/a/", "/a", true));
    EXPECT_FALSE(FXPath::IsAncestorOf("", "/a/", true));
    EXPECT_FALSE(FXPath::IsAncestorOf("/", "", true));
    EXPECT_TRUE(FXPath::IsDescendantOf("X/Y/C/", "X/", false));
    EXPECT_FALSE(FXPath::IsDescendantOf("X/\\Y/", "X/\\", false));  // backslash is an ordinary byte
}

TEST(FXPathTest, SplitPathsListsProperAncestorsOutermostFirst)
{
    std::vector<std::string> list;
    FXPath::SplitPaths("/X/Y/C/", "\\", list, 1);
    EXPECT_EQ(list, (std::vector<std::string>{"/", "/X/", "/X/Y/"}));
    FXPath::SplitPaths("X/Y/C/", "\\", list, 1);
    EXPECT_EQ(list, (std::vector<std::string>{"X/", "X/Y/"}));
    FXPath::SplitPaths("X/", "\\", list, 1);
    EXPECT_TRUE(list.empty());
    FXPath::SplitPaths("/", "\\", list, 1);
    EXPECT_TRUE(list.empty());
    FXPath::SplitPaths("/a\\b/c/", "\\", list, 1);
    EXPECT_EQ(list, (std::vector<std::string>{"/", "/a\\b/"}));
    FXPath::SplitPaths("/X/Y/", "/", list, 0);
    EXPECT_EQ(list, (std::vector<std::string>{"/X/", "/X/Y/"}));
    for (const auto& entry : std::vector<std::string>{"/", "/X/"})
        EXPECT_TRUE(FXPath::IsAncestorOf(entry, "/X/Y/", false)) << entry;
}

TEST(FXPathTest, MakeAbsolutePath)
{
    std::string absolute;
    ASSERT_FALSE(FXPath::MakeAbsolutePath("x/../y.cx", absolute).IsError());
    EXPECT_EQ(absolute.front(), '/');
    EXPECT_TRUE(FXString::MatchRight(absolute, "/y.cx"));
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXPath::MakeAbsolutePath("", absolute), 87));
}

TEST(FXStringTest, MatchingAndSearching)
{
    EXPECT_TRUE(FXString::MatchRight("/a/", "/"));
    EXPECT_FALSE(FXString::MatchRight("", "/"));
    EXPECT_TRUE(FXString::MatchesNoCase("PATH_COMPONENTS", "path_components"));
    EXPECT_FALSE(FXString::MatchesNoCase("PATH_COMPONENTS", "PATH_COMPONENTS_NOCASE"));
    EXPECT_EQ(FXString::FindStringPos("a Collect=\"TRUE\"", "Collect=\"true\"", true), 2);
    EXPECT_EQ(FXString::FindStringPos("a Collect=\"TRUE\"", "Collect=\"true\"", false), -1);
    EXPECT_LT(FXString::CompareFSCase("README", "Readme"), 0);
    EXPECT_LT(FXString::CompareFSCase("a", "ab"), 0);
    EXPECT_GT(FXString::CompareFSCase("\xC3", "z"), 0);
    EXPECT_LT(FXString::CompareFSCase(std::string("a\0b", 3), std::string("a\0c", 3)), 0);
}

TEST(FXFileTest, ExistsAndRemove)
{
    TempDir dir;
    const std::string file = dir.File("f");
    EXPECT_FALSE(FXFile::DoesFileExist(file));
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::RemoveFile(file), 2));
    WriteFileBytes(file, "x");
    EXPECT_TRUE(FXFile::DoesFileExist(file));
    EXPECT_FALSE(FXFile::RemoveFile(file).IsError());
    EXPECT_FALSE(FXFile::DoesFileExist(file));
}

TEST(BagTest, TypedReadsKeepTheValueWhenAbsentOrUnreadable)
{
    CBag bag;
    long period = 7;
    bool recurse = true;
    EXPECT_TRUE(FXErrorUtil::IsWin32(bag.Read("AbortCheckPeriod::CCC", period), 1168));
    EXPECT_EQ(period, 7);
    bag.Set("AbortCheckPeriod::CCC", -5L);
    bag.Set("RecurseDeletedFolders::CCC", false);
    EXPECT_FALSE(bag.Read("AbortCheckPeriod::CCC", period).IsError());
    EXPECT_EQ(period, -5);
    EXPECT_FALSE(bag.Read("RecurseDeletedFolders::CCC", recurse).IsError());
    EXPECT_FALSE(recurse);
    bag.Set("AbortCheckPeriod::CCC", "12x");
    EXPECT_TRUE(bag.Read("AbortCheckPeriod::CCC", period).IsError());
    EXPECT_EQ(period, -5);
    bag.Set("RecurseDeletedFolders::CCC", "YES");
    EXPECT_FALSE(bag.Read("RecurseDeletedFolders::CCC", recurse).IsError());
    EXPECT_TRUE(recurse);
}

TEST(TimeStampTest, EpochsAndNow)
{
    EXPECT_EQ(CTimeStamp().GetSystemTime(), 0);
    EXPECT_EQ(CTimeStamp::FromUnixTime(0).GetSystemTime(), SYSTEMTIME_19700101);
    EXPECT_EQ(CTimeStamp::FromUnixTime(1, 500).GetSystemTime(), SYSTEMTIME_19700101 + 10000005);
    const CTimeStamp now = CTimeStamp::Now();
    // Later than 2020-01-01 in system time.
    EXPECT_GT(now.GetSystemTime(), CTimeStamp::FromUnixTime(1577836800).GetSystemTime());
    CTimeStamp cleared = now;
    cleared.Clear();
    EXPECT_TRUE(cleared.IsZero());
}

// A writer that keeps its lines, for tests of what the library logs.
class RecordingWriter : public CLogWriterInterface {
public:
    int level = 0;
    std::vector<std::string> lines;
    int GetTraceLevel() const override { return level; }
    void SetTraceLevel(int value) override { level = value; }
    void WriteLine(int lineLevel, const char*, int, const std::string& text) override
    {
        lines.push_back(std::to_string(lineLevel) + " " + text);
    }
};

TEST(LogWriterTest, LinesAreFilteredByTraceLevel)
{
    auto saved = g_ptrLogWriter;
    auto writer = boost::make_shared<RecordingWriter>();
    g_ptrLogWriter = writer;
    FXLogWrite(-1, "f", 1, "failed, error=%s", "x%sy");
    FXLogWrite(1, "f", 2, "info");
    {
        RMDebugFunction scope(g_ptrLogWriter, 2, "f", 3, 4, 0, 0xFFFFFFFF, "DatabaseName=[%s]", "d");
    }
    writer->level = 4;
    FXLogWrite(1, "f", 4, "info");
    {
        RMDebugFunction scope(g_ptrLogWriter, 2, "f", 5, 4, 0, 0xFFFFFFFF, "DatabaseName=[%s]", "d");
    }
    g_ptrLogWriter = saved;
    EXPECT_EQ(writer->lines,
              (std::vector<std::string>{"-1 failed, error=x%sy", "1 info", "4 enter DatabaseName=[d]", "4 leave"}));
}

struct Throwing {
    Throwing() { throw std::bad_alloc(); }
};

TEST(MakeSharedNothrowTest, AllocationFailureGivesAnEmptyPointer)
{
    EXPECT_FALSE(FX::make_shared_nothrow<Throwing>());
    auto value = FX::make_shared_nothrow<std::string>("abc");
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, "abc");
}

}  // namespace
