// Failing I/O under the library's real code paths: a shim VFS fails the N-th
// write, sync, truncate or open (once, or from N on) while a container is
// indexed through the file queue, closed, compacted, given a folder queue, or
// reviewed, for every N the clean run reaches. Whatever fails must come back
// as an error carrying SQLite's code, never as an exception or a success; once
// the fault is gone the file must pass the integrity check, hold every file
// whose flush was confirmed, and hold whole batches only.
#include "ContainerFiles.h"
#include "CompareContentContainers.h"
#include "ContainerTestAccess.h"
#include "FaultVfs.h"
#include "ReviewContentContainer.h"
#include "TestSupport.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <tuple>
#include <vector>

namespace {

using CX::CContentContainer;
using CX::CContentContainerDatabasePtr;
using CX::CContentContainerTestAccess;

CTimeStamp T(int64_t ticks) { return CTimeStamp::FromSystemTime(ticks); }

// The code a fault case fails with: its own, or, for the cases that name two,
// the first at odd and the second at even N.
struct FaultCase {
    FaultVfs::Kind kind;
    int code;
    int evenCode;
    int CodeAt(int64_t n) const { return n % 2 == 0 && evenCode != 0 ? evenCode : code; }
};
const std::vector<FaultCase> kFaultCases = {
    {FaultVfs::Write, SQLITE_IOERR_WRITE, SQLITE_FULL},
    {FaultVfs::Sync, SQLITE_IOERR_FSYNC, 0},
    {FaultVfs::Truncate, SQLITE_IOERR_TRUNCATE, 0},
    {FaultVfs::Open, SQLITE_CANTOPEN, SQLITE_IOERR},
};
// For the walks that only read: their opens and reads fail as well.
const std::vector<FaultCase> kReadingFaultCases = {
    {FaultVfs::Write, SQLITE_IOERR_WRITE, SQLITE_FULL},
    {FaultVfs::Open, SQLITE_CANTOPEN, SQLITE_IOERR},
    // Not SQLITE_IOERR_SHORT_READ: that one tells SQLite the file ends there,
    // and it then reads the rest of the page as zeros, by design.
    {FaultVfs::Read, SQLITE_IOERR_READ, 0},
};

// The N values tried for an operation count: all of them under
// CX_FAULT_ALL=1 (./scripts/stress), else the first 24, the last 8 (where
// commits and closes are) and 24 spread between (half as many under the
// address sanitizer), so the suite stays quick.
// A case with two codes uses them in turn, or, under CX_FAULT_ALL, both at
// every N.
bool EveryFaultPoint()
{
    const char* all = std::getenv("CX_FAULT_ALL");
    return all != nullptr && *all != '\0' && *all != '0';
}

std::vector<int64_t> FaultPoints(int64_t count)
{
    std::vector<int64_t> points;
    const bool every = EveryFaultPoint();
#if defined(__SANITIZE_ADDRESS__)
    constexpr int64_t kHead = 12, kTail = 6, kMiddle = 12;  // each run is several times slower
#else
    constexpr int64_t kHead = 24, kTail = 8, kMiddle = 24;
#endif
    const int64_t stride = every ? 1 : std::max<int64_t>(1, (count - kHead - kTail) / kMiddle);
    for (int64_t n = 1; n <= count; ++n) {
        if (every || n <= kHead || n > count - kTail || (n - kHead) % stride == 0)
            points.push_back(n);
    }
    return points;
}

class RecordingReviewCallback : public CX::CReviewContentContainerAncestorCallback {
public:
    CKoError OnAncestorMissing(const string& folderName, int64_t folderId, const string& folderMetadata) override
    {
        events.emplace_back(folderName, folderId, folderMetadata);
        return CKoError::Success();
    }
    std::vector<std::tuple<std::string, int64_t, std::string>> events;
};

// Records every event of a comparison as one line.
class RecordingCompareCallback : public CX::CCompareContentContainersCallback {
public:
    CKoError OnFolderInIndex1(const string& folderName, const string&) override { return Add("1 " + folderName); }
    CKoError OnFolderInIndex2(const string& folderName, const string&) override { return Add("2 " + folderName); }
    CKoError OnFolderInBothIndexes(const string& folderName, const string&, const string&) override
    {
        return Add("= " + folderName);
    }
    CKoError OnFileInIndex1(const string& path, const string&, const string&, const string&) override
    {
        return Add("1 " + path);
    }
    CKoError OnFileInIndex2(const string& path, const string&, const string&, const string&) override
    {
        return Add("2 " + path);
    }
    CKoError OnFileInBothIndexes(const string& path, const string&, const string&, const string& metadata1,
                                 const string& metadata2) override
    {
        return Add((metadata1 == metadata2 ? "= " : "~ ") + path);
    }
    std::vector<std::string> events;

private:
    CKoError Add(std::string event)
    {
        events.push_back(std::move(event));
        return CKoError::Success();
    }
};

class FaultInjectionTest : public ::testing::Test {
protected:
    void SetUp() override { file = dir.File("c.cx"); }
    void TearDown() override
    {
        std::cout << "[ faults   ] " << ::testing::UnitTest::GetInstance()->current_test_info()->name() << ": "
                  << runs << " runs, " << injected << " faults injected, operations " << counts << "\n";
    }

    // A failure must carry SQLite's code; `where` says which run it was.
    void ExpectSQLiteError(const CKoError& error, const std::string& where)
    {
        EXPECT_TRUE(error.IsError()) << where;
        EXPECT_NE(FXErrorUtil::SQLiteCode(error), 0) << where << ": " << error.AsString();
    }

    // Runs `body` once without faults (armed only to count the operations of
    // each kind), then once per N and fault case, failing the N-th operation
    // once and from N on. `setup` prepares the files before each run, without
    // faults; `body` gets the run's description and disarms the shim itself
    // before it looks at the outcome.
    void ForEachFault(const std::function<void()>& setup, const std::function<void(const std::string&)>& body,
                      const std::vector<FaultCase>& cases = kFaultCases)
    {
        for (const FaultCase& fault : cases) {
            setup();
            vfs.Count(fault.kind);
            body("clean run");
            const int64_t count = vfs.Seen();
            counts += FaultVfs::KindName(fault.kind) + "=" + std::to_string(count) + " ";
            for (const int64_t n : FaultPoints(count)) {
                for (const int run : {0, 1, 2, 3}) {
                    // Once and from N on, each with the case's code for this N;
                    // under CX_FAULT_ALL with both its codes.
                    const bool fromNOn = run % 2 == 1;
                    if (run >= 2 && (!EveryFaultPoint() || fault.evenCode == 0))
                        break;
                    const int code = !EveryFaultPoint() ? fault.CodeAt(n) : run < 2 ? fault.code : fault.evenCode;
                    const std::string where = FaultVfs::KindName(fault.kind) + " " + std::to_string(code) +
                                              (fromNOn ? " from N=" : " at N=") + std::to_string(n) + " of " +
                                              std::to_string(count);
                    setup();
                    vfs.Arm(fault.kind, n, code, fromNOn);
                    try {
                        body(where);
                        if (HasFailure())
                            std::cout << where << ": first failed operation on " << vfs.FirstFailedFile() << "\n";
                    } catch (const std::exception& exception) {
                        ADD_FAILURE() << where << ": exception " << exception.what();
                    }
                    vfs.Disarm();
                    ++runs;
                    injected += vfs.Injected();
                    maxN = std::max(maxN, n);
                    if (HasFailure())
                        return;  // one broken run tells enough
                }
            }
        }
    }

    // A container with `folders` folders "/d<i>/" and `filesPerFolder` files
    // each, built without faults.
    void Build(int folders, int filesPerFolder)
    {
        RemoveContainerFiles(file);
        CX::CContentContainerDatabase database(file, false);
        ASSERT_FALSE(database.GetConstructionError().IsError());
        for (int i = 0; i < folders; ++i) {
            int64_t folderId = -1;
            ASSERT_FALSE(database.InsertFolder("/d" + std::to_string(i) + "/", "", T(1), folderId).IsError());
            for (int j = 0; j < filesPerFolder; ++j)
                ASSERT_FALSE(database.QueueInsertOrUpdateFile(folderId, "f" + std::to_string(j),
                                                              j % 3 ? "" : "Collect=\"true\"", T(j))
                                 .IsError());
        }
        ASSERT_FALSE(database.FlushQueue().IsError());
    }

    TempDir dir{MemoryTempBase()};
    FaultVfs vfs;
    std::string file;
    int64_t runs = 0;
    int64_t injected = 0;
    int64_t maxN = 0;
    std::string counts;
};

// Indexing from an empty file: open, a folder, 2,500 files through the queue
// (two flushes of 1,000 on the way), then Close, which flushes the rest.
TEST_F(FaultInjectionTest, IndexingThroughTheFileQueueAndClose)
{
    constexpr int kFiles = 2500;
    ForEachFault([&] { RemoveContainerFiles(file); },
                 [&](const std::string& where) {
                     std::set<std::string> confirmed;
                     std::vector<std::string> pending;
                     {
                         CContentContainer container;
                         ASSERT_FALSE(container.SetName(file).IsError());
                         CKoError error = container.ReplaceOrCreate();
                         if (error.IsError()) {
                             ExpectSQLiteError(error, where + ", open");
                             vfs.Disarm();
                             return;
                         }
                         CContentContainerDatabasePtr database = CContentContainerTestAccess::Database(container);
                         int64_t folderId = -1;
                         error = container.InsertFolder("/f/", "", T(1), folderId);
                         if (error.IsError()) {
                             ExpectSQLiteError(error, where + ", folder");
                             error = container.InsertFolder("/f/", "", T(1), folderId);
                         }
                         for (int i = 0; !error.IsError() && i < kFiles; ++i) {
                             pending.push_back("/f/" + std::to_string(i));
                             CKoError queued =
                                 database->QueueInsertOrUpdateFile(folderId, std::to_string(i), "m", T(i));
                             if (!queued.IsError()) {
                                 if (database->GetQueuedFileCount() == 0) {
                                     confirmed.insert(pending.begin(), pending.end());
                                     pending.clear();
                                 }
                                 ASSERT_EQ(database->GetQueuedFileCount(), pending.size()) << where;
                                 continue;
                             }
                             ExpectSQLiteError(queued, where + ", queue");
                             // Nothing of the failed batch is written, and all of it stays queued.
                             ASSERT_EQ(database->GetQueuedFileCount(), pending.size()) << where;
                             vfs.Pause();
                             ASSERT_EQ(StoredFilePaths(file), confirmed) << where;
                             vfs.Resume();
                             if (vfs.Injected() > 1)
                                 break;  // failing from N on: every later flush would fail the same way
                         }
                         error = container.Close();
                         if (error.IsError()) {
                             ExpectSQLiteError(error, where + ", close");
                             ASSERT_EQ(CContentContainerTestAccess::Database(container), database) << where;
                             ASSERT_EQ(database->GetQueuedFileCount(), pending.size()) << where;
                             vfs.Disarm();
                             error = container.Close();
                             ASSERT_FALSE(error.IsError()) << where << ": close once the fault is gone, "
                                                           << error.AsString();
                         }
                         confirmed.insert(pending.begin(), pending.end());
                     }
                     vfs.Disarm();
                     ASSERT_EQ(IntegrityCheck(file), "ok") << where;
                     ASSERT_EQ(StoredFilePaths(file), confirmed) << where;
                 });
}

// Close on its own: 900 queued files that only Close writes.
TEST_F(FaultInjectionTest, CloseWritesAllOrNothingAndCanBeRetried)
{
    std::unique_ptr<CContentContainer> container;
    std::set<std::string> expected;
    ForEachFault(
        [&] {
            container.reset();
            Build(1, 10);
            container = std::make_unique<CContentContainer>();
            ASSERT_FALSE(container->SetName(file).IsError());
            ASSERT_FALSE(container->OpenExisting().IsError());
            CContentContainerDatabasePtr database = CContentContainerTestAccess::Database(*container);
            expected = StoredFilePaths(file);
            for (int i = 0; i < 900; ++i) {
                ASSERT_FALSE(database->QueueInsertOrUpdateFile(1, "q" + std::to_string(i), "", T(i)).IsError());
                expected.insert("/d0/q" + std::to_string(i));
            }
        },
        [&](const std::string& where) {
            const std::set<std::string> before = StoredFilePaths(file);
            CKoError error = container->Close();
            if (error.IsError()) {
                ExpectSQLiteError(error, where);
                vfs.Pause();
                ASSERT_EQ(StoredFilePaths(file), before) << where;
                vfs.Resume();
                ASSERT_EQ(CContentContainerTestAccess::Database(*container)->GetQueuedFileCount(), 900u) << where;
                vfs.Disarm();
                error = container->Close();
                ASSERT_FALSE(error.IsError()) << where << ": " << error.AsString();
            }
            vfs.Disarm();
            container.reset();
            ASSERT_EQ(IntegrityCheck(file), "ok") << where;
            ASSERT_EQ(StoredFilePaths(file), expected) << where;
        });
}

// Check rewrites the whole file: it either happens or leaves the file as it was.
TEST_F(FaultInjectionTest, CheckLeavesAWholeFile)
{
    std::set<std::string> expected;
    ForEachFault(
        [&] {
            Build(20, 50);
            expected = StoredFilePaths(file);
        },
        [&](const std::string& where) {
            {
                CContentContainer container;
                ASSERT_FALSE(container.SetName(file).IsError());
                CKoError error = container.OpenExisting();
                if (!error.IsError())
                    error = container.Check();
                if (error.IsError())
                    ExpectSQLiteError(error, where);
                vfs.Disarm();
            }
            ASSERT_EQ(IntegrityCheck(file), "ok") << where;
            ASSERT_EQ(StoredFilePaths(file), expected) << where;
        });
}

// The folder queue: 300 folders reach the file in one go, or not at all; a
// failed merge can be run again once the fault is gone, and the queue can be
// used again after a merge whatever failed.
TEST_F(FaultInjectionTest, FolderQueueMergeIsAllOrNothing)
{
    std::set<std::string> expected;
    ForEachFault(
        [&] {
            Build(1, 0);
            expected = {"/d0/", "/again/"};
            for (int i = 0; i < 300; ++i)
                expected.insert("/q/" + std::to_string(i) + "/");
        },
        [&](const std::string& where) {
            {
                CContentContainer container;
                ASSERT_FALSE(container.SetName(file).IsError());
                CKoError error = container.OpenExisting();
                if (error.IsError()) {
                    ExpectSQLiteError(error, where + ", open");
                    vfs.Disarm();
                    return;
                }
                // A tiny cache for the temporary tables makes the queue spill to
                // its file, whose writes can then fail too.
                ASSERT_FALSE(
                    CContentContainerTestAccess::Database(container)->Execute("PRAGMA temp.cache_size=2;").IsError());
                error = container.OpenFolderQueue();
                if (error.IsError()) {
                    ExpectSQLiteError(error, where + ", open queue");
                    vfs.Disarm();
                    ASSERT_FALSE(container.OpenFolderQueue().IsError()) << where;
                }
                for (int i = 0; i < 300; ++i) {
                    int64_t rowId = -1;
                    const std::string name = "/q/" + std::to_string(i) + "/";
                    error = container.AddFolderToQueue(name, "", T(i), rowId);
                    if (error.IsError()) {
                        ExpectSQLiteError(error, where + ", add");
                        vfs.Disarm();
                        ASSERT_FALSE(container.AddFolderToQueue(name, "", T(i), rowId).IsError()) << where;
                    }
                }
                error = container.MergeFolderQueue();
                if (error.IsError()) {
                    ExpectSQLiteError(error, where + ", merge");
                    vfs.Disarm();
                    // A failed merge copied nothing and kept the queue, whichever
                    // of its steps failed, so it can simply be run again.
                    ASSERT_EQ(StoredFolderNames(file), std::set<std::string>{"/d0/"}) << where;
                    error = container.MergeFolderQueue();
                    ASSERT_FALSE(error.IsError()) << where << ": merge once the fault is gone, " << error.AsString();
                }
                vfs.Disarm();
                // A merge that could not end its queue left it to the next use.
                int64_t rowId = -1;
                ASSERT_FALSE(container.OpenFolderQueue().IsError()) << where;
                ASSERT_FALSE(container.AddFolderToQueue("/again/", "", T(1), rowId).IsError()) << where;
                ASSERT_FALSE(container.MergeFolderQueue().IsError()) << where;
            }
            ASSERT_EQ(IntegrityCheck(file), "ok") << where;
            ASSERT_EQ(StoredFolderNames(file), expected) << where;
        });
}

// Both reviews read a container that misses ancestors; they report it all or
// fail with SQLite's code, and never change the file.
TEST_F(FaultInjectionTest, ReviewsReportAllOrFailWithSQLitesCode)
{
    std::vector<std::tuple<std::string, int64_t, std::string>> expected[2];
    std::string bytes;
    bool first = true;
    ForEachFault(
        [&] {
            if (!first)
                return;
            first = false;
            RemoveContainerFiles(file);
            CX::CContentContainerDatabase database(file, false);
            // Enough rows for the walks to read page after page as they go.
            FX::CDatabaseTransaction transaction(&database, 0);
            for (int i = 0; i < 1500; ++i) {
                int64_t id = -1;
                const std::string folder = "/a/" + std::to_string(i) + (i % 2 ? "/b/c/" : "/b/");
                ASSERT_FALSE(database.InsertFolder(folder, "", T(1), id).IsError());
                ASSERT_FALSE(database.InsertOrUpdateFile(id, "f", i % 3 ? "" : "Collect=\"true\"", T(1), id).IsError());
            }
        },
        [&](const std::string& where) {
            if (bytes.empty())
                bytes = ReadFileBytes(file);
            CX::CReviewContentContainer review(file);
            for (int walk = 0; walk < 2; ++walk) {
                auto callback = boost::make_shared<RecordingReviewCallback>();
                CKoError error = walk == 0 ? review.CheckAncestors(callback) : review.CheckCollectAncestors(callback);
                if (where == "clean run") {
                    ASSERT_FALSE(error.IsError()) << error.AsString();
                    ASSERT_FALSE(callback->events.empty());
                    expected[walk] = callback->events;
                } else if (error.IsError()) {
                    ExpectSQLiteError(error, where);
                } else {
                    EXPECT_EQ(callback->events, expected[walk]) << where << ", walk " << walk;
                }
            }
            vfs.Disarm();
            ASSERT_EQ(ReadFileBytes(file), bytes) << where;
            // A read-only connection may leave an empty log beside the file;
            // nothing is written to it.
            ASSERT_EQ(ReadFileBytes(file + "-wal"), "") << where;
        },
        kReadingFaultCases);
}

}  // namespace

namespace {

// A comparison of two containers that differ here and there: it reports every
// event or fails with SQLite's code, and leaves both files as they were.
TEST_F(FaultInjectionTest, ComparisonReportsAllOrFailsWithSQLitesCode)
{
    const std::string previous = dir.File("previous.cx");
    std::vector<std::string> expected;
    std::string bytes[2];
    bool first = true;
    ForEachFault(
        [&] {
            if (!first)
                return;
            first = false;
            for (const std::string& name : {previous, file}) {
                CX::CContentContainerDatabase database(name, false);
                FX::CDatabaseTransaction transaction(&database, 0);
                for (int i = 0; i < 300; ++i) {
                    if (name == file ? i % 7 == 0 : i % 11 == 0)
                        continue;  // a folder only one side has
                    int64_t id = -1;
                    ASSERT_FALSE(database.InsertFolder("/d/" + std::to_string(i) + "/", "", T(1), id).IsError());
                    for (int j = 0; j < 8; ++j) {
                        if (name == file && (i + j) % 5 == 0)
                            continue;  // a file only the previous side has
                        const std::string metadata = name == file && (i * j) % 13 == 0 ? "changed" : "";
                        int64_t fileId = -1;
                        ASSERT_FALSE(database.InsertOrUpdateFile(id, "file" + std::to_string(j), metadata, T(1), fileId)
                                         .IsError());
                    }
                }
            }
        },
        [&](const std::string& where) {
            if (bytes[0].empty()) {
                bytes[0] = ReadFileBytes(previous);
                bytes[1] = ReadFileBytes(file);
            }
            auto callback = boost::make_shared<RecordingCompareCallback>();
            CX::CCompareContentContainers compare(file, previous, callback);
            CKoError error = compare.CompareDatabases();
            if (where == "clean run") {
                ASSERT_FALSE(error.IsError()) << error.AsString();
                expected = callback->events;
            } else if (error.IsError()) {
                ExpectSQLiteError(error, where);
            } else {
                EXPECT_EQ(callback->events, expected) << where;
            }
            vfs.Disarm();
            ASSERT_EQ(ReadFileBytes(previous), bytes[0]) << where;
            ASSERT_EQ(ReadFileBytes(file), bytes[1]) << where;
        },
        kReadingFaultCases);
}

}  // namespace
