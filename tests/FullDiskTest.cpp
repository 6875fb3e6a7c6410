// A real full disk: the container and SQLite's temporary files live on a
// small tmpfs mounted for the test (which needs root; otherwise the tests are
// skipped with a message). Whatever runs out of room must fail with SQLite's
// code, keep what is queued, and leave a whole file; once there is room again
// the same objects finish their work and nothing confirmed is missing.
#include "CompareContentContainers.h"
#include "ContainerFiles.h"
#include "ContainerTestAccess.h"
#include "ReviewContentContainer.h"
#include "TestSupport.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using CX::CContentContainer;
using CX::CContentContainerDatabasePtr;
using CX::CContentContainerTestAccess;

CTimeStamp T(int64_t ticks) { return CTimeStamp::FromSystemTime(ticks); }

class NullReviewCallback : public CX::CReviewContentContainerAncestorCallback {
public:
    CKoError OnAncestorMissing(const string&, int64_t, const string&) override
    {
        ++reports;
        return CKoError::Success();
    }
    int reports = 0;
};

class CountingCompareCallback : public CX::CCompareContentContainersCallback {
public:
    CKoError OnFileInIndex1(const string&, const string&, const string&, const string&) override { return Count(); }
    CKoError OnFileInIndex2(const string&, const string&, const string&, const string&) override { return Count(); }
    CKoError OnFileInBothIndexes(const string&, const string&, const string&, const string&, const string&) override
    {
        return Count();
    }
    int files = 0;

private:
    CKoError Count()
    {
        ++files;
        return CKoError::Success();
    }
};

class FullDiskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "a full disk needs a tmpfs mounted for the test, which needs root";
        disk = dir.File("disk");
        std::filesystem::create_directory(disk);
        if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs (" << std::strerror(errno) << ")";
        mounted = true;
        std::filesystem::create_directory(disk + "/tmp");
        // SQLite's temporary files (statement journals, the folder queue's
        // table, the copy Check makes) go to the same small disk.
        savedTempDirectory = sqlite3_temp_directory;
        sqlite3_temp_directory = sqlite3_mprintf("%s/tmp", disk.c_str());
        file = disk + "/c.cx";
    }

    void TearDown() override
    {
        if (!mounted)
            return;
        sqlite3_free(sqlite3_temp_directory);
        sqlite3_temp_directory = savedTempDirectory;
        umount2(disk.c_str(), MNT_DETACH);
    }

    // Room again: the tmpfs grows to `size` (a mount option such as "16m").
    void Grow(const char* size)
    {
        const std::string options = std::string("size=") + size;
        ASSERT_EQ(mount("tmpfs", disk.c_str(), "tmpfs", MS_REMOUNT, options.c_str()), 0) << std::strerror(errno);
    }

    // Takes the rest of the disk with a file of its own.
    void FillDisk()
    {
        FILE* filler = std::fopen((disk + "/filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const std::string block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }

    void FreeDisk() { std::filesystem::remove(disk + "/filler"); }

    static void ExpectSQLiteError(const CKoError& error, const std::string& where)
    {
        EXPECT_TRUE(error.IsError()) << where;
        EXPECT_NE(FXErrorUtil::SQLiteCode(error), 0) << where << ": " << error.AsString();
    }

    TempDir dir;
    std::string disk;
    std::string file;
    bool mounted = false;
    char* savedTempDirectory = nullptr;
};

// Files queued until the disk is full: the flush that finds no room fails
// with SQLITE_FULL, writes nothing and keeps its batch; Close fails the same
// way and leaves the container open; once there is room, Close writes it all.
TEST_F(FullDiskTest, IndexingUntilFullKeepsTheQueueAndFinishesWithRoom)
{
    const std::string metadata(120, 'm');
    std::set<std::string> confirmed;
    std::vector<std::string> pending;
    CContentContainer container;
    ASSERT_FALSE(container.SetName(file).IsError());
    ASSERT_FALSE(container.ReplaceOrCreate().IsError());
    CContentContainerDatabasePtr database = CContentContainerTestAccess::Database(container);
    int64_t folderId = -1;
    CKoError error = container.InsertFolder("/f/", "", T(1), folderId);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    for (int i = 0; i < 100000 && !error.IsError(); ++i) {
        pending.push_back("/f/" + std::to_string(i));
        error = database->QueueInsertOrUpdateFile(folderId, std::to_string(i), metadata, T(i));
        if (!error.IsError() && database->GetQueuedFileCount() == 0) {
            confirmed.insert(pending.begin(), pending.end());
            pending.clear();
        }
    }
    ASSERT_TRUE(error.IsError()) << "the disk never filled";
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_FULL)) << error.AsString();
    EXPECT_GE(confirmed.size(), 1000u);
    EXPECT_EQ(database->GetQueuedFileCount(), pending.size());

    error = container.Close();
    if (error.IsError()) {
        ExpectSQLiteError(error, "close on the full disk");
        EXPECT_EQ(CContentContainerTestAccess::Database(container), database);
        EXPECT_EQ(database->GetQueuedFileCount(), pending.size());
        Grow("16m");
        error = container.Close();
        ASSERT_FALSE(error.IsError()) << "close with room: " << error.AsString();
    }
    database.reset();
    Grow("16m");
    confirmed.insert(pending.begin(), pending.end());
    EXPECT_EQ(IntegrityCheck(file), "ok");
    EXPECT_EQ(StoredFilePaths(file), confirmed);
}

// On a container whose disk is full: compacting fails with SQLite's code or
// succeeds, the folder queue fails with it and merges nothing, the walks that
// only read report everything or fail cleanly, and once there is room the
// same queue takes the rest and merges every folder at once.
TEST_F(FullDiskTest, CheckFolderQueueAndWalksOnAFullDisk)
{
    const std::string previous = disk + "/previous.cx";
    for (const std::string& name : {previous, file}) {
        CX::CContentContainerDatabase database(name, false);
        FX::CDatabaseTransaction transaction(&database, 0);
        for (int i = 0; i < 40; ++i) {
            int64_t id = -1;
            ASSERT_FALSE(database.InsertFolder("/d/" + std::to_string(i) + "/", "", T(1), id).IsError());
            for (int j = 0; j < 20; ++j) {
                if (name == file && j == i % 20)
                    continue;
                int64_t fileId = -1;
                ASSERT_FALSE(database.InsertOrUpdateFile(id, "f" + std::to_string(j), "", T(1), fileId).IsError());
            }
        }
    }
    const std::set<std::string> files = StoredFilePaths(file);
    const std::set<std::string> folders = StoredFolderNames(file);

    {
        // Opened first: with no room for its shared-memory file a container
        // cannot be opened at all (an error with SQLite's code).
        CContentContainer container;
        ASSERT_FALSE(container.SetName(file).IsError());
        CKoError error = container.OpenExisting();
        ASSERT_FALSE(error.IsError()) << error.AsString();
        // A tiny cache makes the folder queue spill to its file as it grows.
        ASSERT_FALSE(CContentContainerTestAccess::Database(container)->Execute("PRAGMA temp.cache_size=2;").IsError());
        ASSERT_FALSE(container.OpenFolderQueue().IsError());
        FillDisk();

        const CKoError checked = container.Check();
        if (checked.IsError())
            ExpectSQLiteError(checked, "check");
        const int kQueued = 2000;
        int next = 0;  // the first folder not in the queue
        for (; next < kQueued && !error.IsError(); ++next) {
            int64_t rowId = -1;
            error = container.AddFolderToQueue("/q/" + std::to_string(next) + "/", "", T(next), rowId);
        }
        if (error.IsError())
            --next;
        else
            error = container.MergeFolderQueue();
        ExpectSQLiteError(error, "folder queue on the full disk");
        EXPECT_EQ(StoredFolderNames(file), folders);

        CX::CReviewContentContainer review(file);
        auto reviewCallback = boost::make_shared<NullReviewCallback>();
        error = review.CheckAncestors(reviewCallback);
        if (error.IsError())
            ExpectSQLiteError(error, "review");
        else
            EXPECT_EQ(reviewCallback->reports, 2);  // "/" and "/d/"

        auto compareCallback = boost::make_shared<CountingCompareCallback>();
        CX::CCompareContentContainers compare(file, previous, compareCallback);
        error = compare.CompareDatabases();
        if (error.IsError())
            ExpectSQLiteError(error, "comparison");
        else
            EXPECT_EQ(compareCallback->files, 800);

        // With room again the queue takes the folders that did not go in,
        // and the merge brings every queued folder at once.
        FreeDisk();
        for (int i = next; i < kQueued; ++i) {
            int64_t rowId = -1;
            error = container.AddFolderToQueue("/q/" + std::to_string(i) + "/", "", T(i), rowId);
            ASSERT_FALSE(error.IsError()) << error.AsString();
        }
        error = container.MergeFolderQueue();
        ASSERT_FALSE(error.IsError()) << error.AsString();
        ASSERT_FALSE(container.Close().IsError());
    }
    std::set<std::string> expectedFolders = folders;
    for (int i = 0; i < 2000; ++i)
        expectedFolders.insert("/q/" + std::to_string(i) + "/");
    EXPECT_EQ(StoredFolderNames(file), expectedFolders);
    EXPECT_EQ(IntegrityCheck(file), "ok");
    EXPECT_EQ(StoredFilePaths(file), files);
}

}  // namespace
