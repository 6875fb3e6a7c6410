// The comparison of two containers, driven over real container files: the
// merge of folders and files, the forms in use, recursion, the abort check and
// progress mark, the configuration and the errors.
#include "CompareContentContainers.h"
#include "CompareRecorder.h"
#include "CompareContentContainersPrivate.h"
#include "ContentContainerDatabase.h"
#include "PathCollation.h"
#include "TestSupport.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <vector>

namespace {

using CX::CCompareContentContainers;

// Writes a container. Entries ending with "/" are folders; the others are files
// of the folder named up to their last "/". "=text" gives the metadata.
void Build(const std::string& path, const std::vector<std::string>& entries)
{
    CX::CContentContainerDatabase db(path);
    ASSERT_FALSE(db.GetConstructionError().IsError()) << db.GetConstructionError().AsString();
    std::map<std::string, int64_t> folders;
    for (const auto& entry : entries) {
        const auto equals = entry.find('=');
        const std::string name = entry.substr(0, equals);
        const std::string metadata = equals == std::string::npos ? "" : entry.substr(equals + 1);
        if (name.back() == '/') {
            ASSERT_FALSE(db.InsertFolder(name, metadata, CTimeStamp::FromSystemTime(1), folders[name]).IsError());
            continue;
        }
        const auto slash = name.rfind('/');
        ASSERT_TRUE(folders.count(name.substr(0, slash + 1))) << entry;
        ASSERT_FALSE(db.QueueInsertOrUpdateFile(folders[name.substr(0, slash + 1)], name.substr(slash + 1), metadata,
                                                CTimeStamp::FromSystemTime(1))
                         .IsError());
    }
    ASSERT_FALSE(db.FlushQueue().IsError());
}

class CompareContentContainersTest : public TempDirTest {
protected:
    CKoError Compare()
    {
        CCompareContentContainers compare(curr, prev, host);
        compare.SetConfigurationBag(bag);
        return compare.CompareDatabases();
    }
    Events Run()
    {
        const CKoError error = Compare();
        EXPECT_FALSE(error.IsError()) << error.AsString();
        return host->events;
    }
    static std::vector<std::string> Functions(const CKoError& error)
    {
        std::vector<std::string> functions;
        for (const auto& entry : error.Entries())
            functions.push_back(entry.file + ": " + entry.function + ": " + entry.message);
        return functions;
    }

    std::string prev = dir.File("prev.cx");
    std::string curr = dir.File("curr.cx");
    boost::shared_ptr<Recorder> host = boost::make_shared<Recorder>();
    boost::shared_ptr<CBag> bag = boost::make_shared<CBag>();
    const std::string walk = "CompareContentContainers: CKoError CX::CCompareContentContainers::CompareDatabases(): ";
    const std::string fileWalk =
        "CompareContentContainersPrivate: CKoError CX::CCompareContentContainersPrivate::CompareDatabaseFolder(const "
        "string&, const CContentContainerDatabasePtr&, LONGLONG, const CContentContainerDatabasePtr&, LONGLONG, "
        "LONGLONG&, LONGLONG): ";
};

// ---------------------------------------------------------------- the merge

TEST_F(CompareContentContainersTest, EmptyAgainstEmptyCallsNothing)
{
    Build(prev, {});
    Build(curr, {});
    bag->Set(SXCompareContentContainersBagId::idAbortCheckPeriod, 1L);
    EXPECT_EQ(Run(), Events{});
    EXPECT_EQ(host->abortChecks, 0);
}

TEST_F(CompareContentContainersTest, IdenticalContainersReportEverythingInBoth)
{
    const std::vector<std::string> tree = {"/=r", "/a/=ma", "/a/x=1", "/a/y=2", "/a/b/", "/a/b/z=3"};
    Build(prev, tree);
    Build(curr, tree);
    EXPECT_EQ(Run(), (Events{"folder= / {r} {r}", "folder= /a/ {ma} {ma}", "file= /a/|x {1} {1}", "file= /a/|y {2} {2}",
                             "folder= /a/b/ {} {}", "file= /a/b/|z {3} {3}"}));
}

TEST_F(CompareContentContainersTest, DifferencesComeInFolderThenFileOrder)
{
    Build(prev, {"/a/=1", "/a/gone=g", "/a/kept=k", "/a/changed=old", "/old/", "/old/f=x", "/z/"});
    Build(curr, {"/a/=2", "/a/added=n", "/a/kept=k", "/a/changed=new", "/new/", "/new/g=y", "/z/"});
    EXPECT_EQ(Run(), (Events{"folder= /a/ {1} {2}", "file2 /a/|added {n}", "file= /a/|changed {old} {new}",
                             "file1 /a/|gone {g}", "file= /a/|kept {k} {k}", "folder2 /new/ {}", "file2 /new/|g {y}",
                             "folder1 /old/ {}", "file1 /old/|f {x}", "folder= /z/ {} {}"}));
}

TEST_F(CompareContentContainersTest, OneEmptySideReportsTheOtherWhole)
{
    Build(prev, {});
    Build(curr, {"/a/", "/a/f=m", "/a/b/"});
    EXPECT_EQ(Run(), (Events{"folder2 /a/ {}", "file2 /a/|f {m}", "folder2 /a/b/ {}"}));

    // A current container that does not exist is an open error with its
    // cause, and is not created: a misspelled name must not read as an empty
    // container that has every entry deleted.
    host->events.clear();
    std::filesystem::remove(prev);
    std::swap(prev, curr);
    const CKoError error = Compare();
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_CANTOPEN)) << error.AsString();
    EXPECT_EQ(host->events, Events{});
    EXPECT_FALSE(std::filesystem::exists(curr));
}

TEST_F(CompareContentContainersTest, FileNamesMergeInByteOrder)
{
    // Inserted out of order: the listing, not the insert order, must sort them.
    Build(prev, {"/d/", "/d/ab", "/d/Readme", "/d/a"});
    Build(curr, {"/d/", "/d/ab", "/d/README"});
    EXPECT_EQ(Run(), (Events{"folder= /d/ {} {}", "file2 /d/|README {}", "file1 /d/|Readme {}", "file1 /d/|a {}",
                             "file= /d/|ab {} {}"}));
}

TEST_F(CompareContentContainersTest, FolderNamesMergeInCollationOrderNotByteOrder)
{
    Build(prev, {"/r/", "/r/a\\b/", "/r/a-b/", "/r/a/"});
    Build(curr, {"/r/", "/r/a b/", "/r/a-b/", "/r/a/"});
    EXPECT_EQ(Run(), (Events{"folder= /r/ {} {}", "folder1 /r/a\\b/ {}", "folder2 /r/a b/ {}", "folder= /r/a-b/ {} {}",
                             "folder= /r/a/ {} {}"}));
}

TEST_F(CompareContentContainersTest, StoredNonPositiveFolderIdsStillMergeByName)
{
    Build(prev, {"/a/", "/a/f"});
    Build(curr, {"/b/", "/b/g"});
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(prev.c_str(), &raw), SQLITE_OK);
    sqlite3_create_collation(raw, "PATH_COMPONENTS", SQLITE_UTF8, nullptr, &CX::sqlite_collation_bypath);
    EXPECT_EQ(sqlite3_exec(raw, "UPDATE Folders SET FolderId=-5; UPDATE Files SET FolderId=-5;", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    EXPECT_EQ(Run(), (Events{"folder1 /a/ {}", "file1 /a/|f {}", "folder2 /b/ {}", "file2 /b/|g {}"}));
}

// ---------------------------------------------------------------- forms and recursion

TEST_F(CompareContentContainersTest, HostImplementingNothingIsAskedOncePerFormAndFolder)
{
    Build(prev, {"/b1/", "/b1/f1", "/b1/f2", "/b1/g", "/b2/", "/b2/h", "/o1/", "/o1/i", "/o2/"});
    Build(curr, {"/b1/", "/b1/g", "/b1/n", "/b2/", "/b2/m", "/p1/", "/p1/j", "/p2/"});
    host->implemented = 0;
    EXPECT_EQ(Run(), (Events{"folder= /b1/ {} {} -> 50", "folder=r /b1/ {} {} recurse -> 50", "file1 /b1/|f1 {} -> 50",
                             "file= /b1/|g {} {} -> 50", "file2 /b1/|n {} -> 50", "file1 /b2/|h {} -> 50",
                             "file2 /b2/|m {} -> 50", "folder1 /o1/ {} -> 50", "folder1r /o1/ {} recurse -> 50",
                             "file1 /o1/|i {} -> 50", "folder2 /p1/ {} -> 50", "folder2r /p1/ {} recurse -> 50",
                             "file2 /p1/|j {} -> 50"}));
}

TEST_F(CompareContentContainersTest, RecurseFormsAloneSteerRecursionFolderByFolder)
{
    Build(prev, {"/a/", "/a/f", "/a/s/", "/a/s/g", "/b/", "/b/h"});
    Build(curr, {"/a/", "/a/f", "/a/s/", "/a/s/g", "/b/", "/b/h"});
    host->implemented = Recorder::BR | Recorder::FileB;
    host->steer = [](const string& folder, bool& recurse) { recurse = folder != "/a/"; };
    EXPECT_EQ(Run(), (Events{"folder= /a/ {} {} -> 50", "folder=r /a/ {} {} recurse", "folder=r /a/s/ {} {} recurse",
                             "file= /a/s/|g {} {}", "folder=r /b/ {} {} recurse", "file= /b/|h {} {}"}));
}

TEST_F(CompareContentContainersTest, HostImplementingBothFormsOnlyGetsThePlainOne)
{
    Build(prev, {"/a/", "/a/f", "/o/", "/o/g"});
    Build(curr, {"/a/", "/a/f", "/n/", "/n/h"});
    host->implemented = ~0u;
    host->steer = [](const string&, bool& recurse) { recurse = false; };
    EXPECT_EQ(Run(), (Events{"folder= /a/ {} {}", "file= /a/|f {} {}", "folder2 /n/ {}", "file2 /n/|h {}",
                             "folder1 /o/ {}", "file1 /o/|g {}"}));
}

TEST_F(CompareContentContainersTest, WithoutRecursionOneSidedSubtreesArePassedOver)
{
    Build(prev, {"/a/", "/d/", "/d/f", "/d/x/", "/d/x/g", "/d/x/y/", "/e/", "/e/h", "/p/", "/p/s/", "/p/s/i"});
    Build(curr, {"/a/", "/e/", "/n/", "/n/f", "/n/s/", "/p/s/", "/p/s/i"});
    bag->Set(SXCompareContentContainersBagId::idRecurseDeletedFolders, false);
    // The sub-folder of /p/ is in both, but /p/ takes it along and index 2
    // then reports it alone.
    EXPECT_EQ(Run(), (Events{"folder= /a/ {} {}", "folder1 /d/ {}", "folder= /e/ {} {}", "file1 /e/|h {}",
                             "folder2 /n/ {}", "folder1 /p/ {}", "folder2 /p/s/ {}"}));

    // A host of the `recurse` forms may switch it back on for one folder.
    host->events.clear();
    host->implemented = Recorder::F1R | Recorder::F2R | Recorder::B | Recorder::File1 | Recorder::File2;
    host->steer = [](const string& folder, bool& recurse) { recurse = recurse || folder == "/d/"; };
    EXPECT_EQ(Run(), (Events{"folder= /a/ {} {}", "folder1 /d/ {} -> 50", "folder1r /d/ {} norecurse", "file1 /d/|f {}",
                             "folder1r /d/x/ {} norecurse", "folder= /e/ {} {}", "file1 /e/|h {}",
                             "folder2 /n/ {} -> 50", "folder2r /n/ {} norecurse", "folder1r /p/ {} norecurse",
                             "folder2r /p/s/ {} norecurse"}));
}

// ---------------------------------------------------------------- abort check and progress

TEST_F(CompareContentContainersTest, PeriodOneChecksEveryStepAndMarksEveryFileStep)
{
    const std::vector<std::string> tree = {"/a/", "/a/1", "/b/", "/b/1", "/b/2", "/c/", "/c/1", "/c/2", "/c/3"};
    Build(prev, tree);
    Build(curr, tree);
    bag->Set(SXCompareContentContainersBagId::idAbortCheckPeriod, 1L);
    testing::internal::CaptureStdout();
    const CKoError error = Compare();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "2   1\r4   2\r5   2\r7   3\r8   3\r9   3\r");
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(host->abortChecks, 9);
}

TEST_F(CompareContentContainersTest, PeriodBelowOneBecomesHundredAndStays)
{
    std::vector<std::string> tree = {"/a/"};
    for (int i = 0; i < 120; ++i)
        tree.push_back("/a/" + std::to_string(1000 + i));
    Build(prev, tree);
    Build(curr, {});
    for (const long period : {0L, -5L}) {
        host->abortChecks = 0;
        bag->Set(SXCompareContentContainersBagId::idAbortCheckPeriod, period);
        CCompareContentContainers compare(curr, prev, host);
        compare.SetConfigurationBag(bag);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(compare.CompareDatabases().IsError());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "100   1\r");
        compare.SetConfigurationBag(nullptr);  // the fixed-up value outlives the bag
        testing::internal::CaptureStdout();
        EXPECT_FALSE(compare.CompareDatabases().IsError());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "100   1\r");
        EXPECT_EQ(host->abortChecks, 2) << period;
    }
}

TEST_F(CompareContentContainersTest, AbortStopsAtOnceInEitherWalk)
{
    const std::vector<std::string> tree = {"/a/", "/a/1", "/b/", "/b/1", "/b/2"};
    Build(prev, tree);
    Build(curr, tree);
    bag->Set(SXCompareContentContainersBagId::idAbortCheckPeriod, 1L);

    host->abortOnCheck = 3;  // the folder step of /b/
    testing::internal::CaptureStdout();
    CKoError error = Compare();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "2   1\r");
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 995));
    EXPECT_EQ(Functions(error), std::vector<std::string>{walk});
    EXPECT_EQ(host->events, (Events{"folder= /a/ {} {}", "file= /a/|1 {} {}"}));

    host->events.clear();
    host->abortChecks = 0;
    host->abortOnCheck = 5;  // the second file of /b/
    testing::internal::CaptureStdout();
    error = Compare();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "2   1\r4   2\r");
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 995));
    EXPECT_EQ(Functions(error),
              (std::vector<std::string>{fileWalk, walk + "FolderName=[/b/], PrevFolderId=[2], CurrFolderId=[2]"}));
    EXPECT_EQ(host->events,
              (Events{"folder= /a/ {} {}", "file= /a/|1 {} {}", "folder= /b/ {} {}", "file= /b/|1 {} {}"}));
}

// ---------------------------------------------------------------- errors

TEST_F(CompareContentContainersTest, CallbackErrorEndsTheRunWithAnEntryPerLevel)
{
    Build(prev, {"/a/", "/b/", "/c/", "/d/", "/d/x", "/d/y", "/d/z"});
    Build(curr, {"/a/", "/b/", "/c/", "/d/", "/d/x", "/d/y", "/d/z"});
    host->failOnCall = 3;
    CKoError error = Compare();
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1));
    ASSERT_EQ(error.Entries().size(), 2u);
    EXPECT_EQ(Functions(error)[1], walk);
    EXPECT_EQ(host->events, (Events{"folder= /a/ {} {}", "folder= /b/ {} {}", "folder= /c/ {} {}"}));

    host->events.clear();
    host->failOnCall = 6;  // the second file of /d/
    error = Compare();
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1));
    ASSERT_EQ(error.Entries().size(), 3u);
    EXPECT_EQ(error.Entries()[0].message, "host failure");
    EXPECT_EQ(Functions(error)[1], fileWalk);
    EXPECT_EQ(Functions(error)[2], walk + "FolderName=[/d/], PrevFolderId=[4], CurrFolderId=[4]");
    EXPECT_EQ(host->events.size(), 6u);
}

TEST_F(CompareContentContainersTest, CallbackExceptionPassesOutAfterTheFilesAreReleased)
{
    Build(prev, {"/a/", "/a/x", "/b/"});
    Build(curr, {"/a/", "/a/x", "/b/"});
    auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = openFiles();
    host->failOnCall = 2;
    host->throwOnFail = true;
    CCompareContentContainers compare(curr, prev, host);
    EXPECT_THROW(compare.CompareDatabases(), std::runtime_error);
    EXPECT_EQ(openFiles(), before);
    host->failOnCall = 0;
    EXPECT_FALSE(compare.CompareDatabases().IsError());
}

TEST_F(CompareContentContainersTest, MissingNamesCallbackOrFilesAreRefused)
{
    auto message = [](const CKoError& error) { return error.Entries().empty() ? "" : error.Entries()[0].message; };
    CKoError error = CCompareContentContainers("", "", host).CompareDatabases();
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87));
    EXPECT_EQ(message(error), "Previous database not specified, PrevDatabaseName=[], CurrDatabaseName=[]");
    error = CCompareContentContainers("", prev, host).CompareDatabases();
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87));
    EXPECT_EQ(message(error), "Current database not specified, PrevDatabaseName=[" + prev + "], CurrDatabaseName=[]");

    Build(prev, {"/a/"});
    error = CCompareContentContainers(curr, prev, nullptr).CompareDatabases();
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87));
    EXPECT_FALSE(std::filesystem::exists(curr));  // refused before anything was opened

    // A previous container that is missing fails its listing.
    error = CCompareContentContainers(curr, dir.File("missing.cx"), host).CompareDatabases();
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(Functions(error).back(), walk);
    EXPECT_EQ(host->events, Events{});
}

}  // namespace
