// The container object: naming, the four open modes and their checks, close,
// check, transactions, the stored properties and the index operations it
// passes on to its database.
#include "ContainerTestAccess.h"
#include "Containers.h"
#include "ContentContainer.h"
#include "ContentContainerItem.h"
#include "ContentContainerPrivate.h"
#include "FXFile.h"
#include "TestSupport.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <vector>

namespace {

using CX::CContentContainer;
using CX::CContentContainerDatabase;
using CX::CContentContainerDatabasePtr;
using CX::CContentContainerTestAccess;

CTimeStamp T(int64_t ticks) { return CTimeStamp::FromSystemTime(ticks); }

std::string LastFunction(const CKoError& error)
{
    return error.Entries().empty() ? std::string() : error.Entries().back().function;
}

class ContentContainerTest : public TempDirTest {
protected:
    void SetUp() override { file = dir.File("c.cx"); }

    // Names `container` and opens it with ReplaceOrCreate.
    void Create(CContentContainer& container)
    {
        ASSERT_FALSE(container.SetName(file).IsError());
        CKoError error = container.ReplaceOrCreate();
        ASSERT_FALSE(error.IsError()) << error.AsString();
    }
    int64_t Folder(CContentContainer& container, const std::string& name)
    {
        int64_t id = -1;
        EXPECT_FALSE(container.InsertFolder(name, "", T(1), id).IsError()) << name;
        return id;
    }
    int64_t File(CContentContainer& container, int64_t folderId, const std::string& name)
    {
        int64_t id = -1;
        EXPECT_FALSE(container.InsertOrUpdateFile(folderId, name, "", T(1), id).IsError()) << name;
        return id;
    }
    // Every file name of the container at `file`, read on a fresh connection.
    std::vector<std::string> FileNames()
    {
        CContentContainerDatabase db(file, true);
        EXPECT_FALSE(db.GetConstructionError().IsError()) << db.GetConstructionError().AsString();
        FX::CSQLite3QueryPtr query;
        EXPECT_FALSE(db.Query("SELECT FileName FROM Files ORDER BY FileName;", query).IsError());
        std::vector<std::string> names;
        for (; query && !query->Eof(); query->NextRow())
            names.push_back(query->GetStringField(0, ""));
        return names;
    }
    bool HasSideFiles() const
    {
        return FXFile::DoesFileExist(file + "-wal") || FXFile::DoesFileExist(file + "-shm");
    }

    std::string file;
};

// ---------------------------------------------------------------- name

TEST_F(ContentContainerTest, SetNameStoresTheAbsolutePath)
{
    CContentContainer container;
    std::string name = "unchanged";
    CKoError error = container.GetName(name);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 13));
    EXPECT_EQ(LastFunction(error), "CKoError CX::CContentContainer::GetName(std::string&) const");
    EXPECT_EQ(name, "unchanged");

    error = container.SetName("");
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87));
    EXPECT_EQ(LastFunction(error), "CKoError CX::CContentContainer::SetName(const string&)");

    ASSERT_FALSE(container.SetName("sub/../relative.cx").IsError());
    ASSERT_FALSE(container.GetName(name).IsError());
    EXPECT_EQ(name, (std::filesystem::current_path() / "relative.cx").string());

    ASSERT_FALSE(container.SetName(file).IsError());
    ASSERT_FALSE(container.OpenExistingOrCreate().IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(container.SetName(dir.File("other.cx")), 1247));
    ASSERT_FALSE(container.GetName(name).IsError());
    EXPECT_EQ(name, file);
}

// ---------------------------------------------------------------- open modes

struct OpenModeCase {
    const char* function;
    std::function<CKoError(CContentContainer&)> open;
};

const std::vector<OpenModeCase>& OpenModes()
{
    static const std::vector<OpenModeCase> modes = {
        {"CKoError CX::CContentContainer::OpenExisting()", [](CContentContainer& c) { return c.OpenExisting(); }},
        {"CKoError CX::CContentContainer::OpenExistingReadOnly()",
         [](CContentContainer& c) { return c.OpenExistingReadOnly(); }},
        {"CKoError CX::CContentContainer::OpenExistingOrCreate()",
         [](CContentContainer& c) { return c.OpenExistingOrCreate(); }},
        {"CKoError CX::CContentContainer::ReplaceOrCreate()", [](CContentContainer& c) { return c.ReplaceOrCreate(); }},
    };
    return modes;
}

TEST_F(ContentContainerTest, OpenModesRefuseAnUnnamedOrOpenContainer)
{
    CContentContainer unnamed;
    for (const auto& mode : OpenModes()) {
        CKoError error = mode.open(unnamed);
        EXPECT_TRUE(FXErrorUtil::IsWin32(error, 13)) << mode.function;
        ASSERT_EQ(error.Entries().size(), 1u);
        EXPECT_EQ(error.Entries()[0].file, "ContentContainer");
        EXPECT_EQ(error.Entries()[0].function, mode.function);
    }

    CContentContainer container;
    Create(container);
    const int64_t folderId = Folder(container, "/kept/");
    const CContentContainerDatabasePtr database = CContentContainerTestAccess::Database(container);
    for (const auto& mode : OpenModes()) {
        CKoError error = mode.open(container);
        EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1247)) << mode.function;
        EXPECT_EQ(LastFunction(error), mode.function);
    }
    // The open database is the same and still holds what was written.
    EXPECT_EQ(CContentContainerTestAccess::Database(container), database);
    int64_t found = -1;
    ASSERT_FALSE(container.QueryFolderId("/kept/", found).IsError());
    EXPECT_EQ(found, folderId);
}

TEST_F(ContentContainerTest, OpenExistingModesNeedTheFile)
{
    for (size_t i : {0, 1}) {  // OpenExisting, OpenExistingReadOnly
        const OpenModeCase& mode = OpenModes()[i];
        CContentContainer container;
        ASSERT_FALSE(container.SetName(file).IsError());
        CKoError error = mode.open(container);
        EXPECT_TRUE(FXErrorUtil::IsWin32(error, 2)) << mode.function;
        ASSERT_EQ(error.Entries().size(), 1u);
        EXPECT_EQ(error.Entries()[0].function, mode.function);
        EXPECT_EQ(error.Entries()[0].message, "FileName=[" + file + "]");
        EXPECT_FALSE(FXFile::DoesFileExist(file));
    }
}

TEST_F(ContentContainerTest, OpenExistingOrCreateCreatesOrKeeps)
{
    {
        CContentContainer container;
        ASSERT_FALSE(container.SetName(file).IsError());
        ASSERT_FALSE(container.OpenExistingOrCreate().IsError());
        File(container, Folder(container, "/a/"), "x");
    }
    EXPECT_EQ(FileNames(), (std::vector<std::string>{"x"}));
    {
        CContentContainer container;
        ASSERT_FALSE(container.SetName(file).IsError());
        ASSERT_FALSE(container.OpenExistingOrCreate().IsError());
        File(container, Folder(container, "/b/"), "y");
    }
    EXPECT_EQ(FileNames(), (std::vector<std::string>{"x", "y"}));
    // The other modes open what is there; a read-only container reads and
    // refuses writes with the container's entry last.
    CContentContainer container;
    ASSERT_FALSE(container.SetName(file).IsError());
    ASSERT_FALSE(container.OpenExistingReadOnly().IsError());
    int64_t folderId = -1;
    int64_t fileId = -1;
    ASSERT_FALSE(container.QueryFile("/b/y", folderId, fileId).IsError());
    CKoError error = container.InsertFolder("/c/", "", T(1), folderId);
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(LastFunction(error),
              "CKoError CX::CContentContainer::InsertFolder(const string&, const string&, CTimeStamp, int64_t&)");
    ASSERT_FALSE(container.Close().IsError());
    ASSERT_FALSE(container.OpenExisting().IsError());
    ASSERT_FALSE(container.QueryFile("/a/x", folderId, fileId).IsError());
}

TEST_F(ContentContainerTest, ReplaceOrCreateDiscardsTheContent)
{
    {
        CContentContainer container;
        Create(container);
        File(container, Folder(container, "/old/"), "x");
    }
    CContentContainer container;
    Create(container);
    int64_t folderId = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(container.QueryFolderId("/old/", folderId), 1168));
    ASSERT_FALSE(container.Close().IsError());
    EXPECT_TRUE(FileNames().empty());
}

// A crashed writer leaves its write-ahead log (and shared-memory index) beside
// the container. Replacing the container removes both, so no log of the old
// file can be replayed into the new one. (SQLite 3.40 also drops a log it
// finds beside an empty database; the shared-memory file it would keep, which
// the hard links below tell apart.)
TEST_F(ContentContainerTest, ReplaceOrCreateDiscardsAStaleWriteAheadLog)
{
    std::string staleLog;
    {
        CContentContainer container;
        Create(container);
        File(container, Folder(container, "/old/"), "x");
        staleLog = ReadFileBytes(file + "-wal");
    }
    ASSERT_FALSE(staleLog.empty());
    ASSERT_FALSE(HasSideFiles());  // a clean close checkpoints and removes them
    WriteFileBytes(file + "-wal", staleLog);
    WriteFileBytes(file + "-shm", std::string(32768, '\0'));
    const std::string walLink = dir.File("stale-wal");
    const std::string shmLink = dir.File("stale-shm");
    ASSERT_EQ(link((file + "-wal").c_str(), walLink.c_str()), 0);
    ASSERT_EQ(link((file + "-shm").c_str(), shmLink.c_str()), 0);
    auto links = [](const std::string& path) {
        struct stat status {};
        return stat(path.c_str(), &status) == 0 ? static_cast<int>(status.st_nlink) : 0;
    };

    CContentContainer container;
    Create(container);
    EXPECT_EQ(links(walLink), 1);  // the side files were unlinked, not reused
    EXPECT_EQ(links(shmLink), 1);
    int64_t folderId = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(container.QueryFolderId("/old/", folderId), 1168));
    ASSERT_FALSE(container.Close().IsError());
    // Absent side files are no failure.
    ASSERT_FALSE(HasSideFiles());
    Create(container);
    ASSERT_FALSE(container.Close().IsError());
    EXPECT_TRUE(FileNames().empty());
}

// Sound behaviour: an open whose database could not be opened or given its
// schema answers that error and leaves the container closed; a file that is
// not a container is not touched.
TEST_F(ContentContainerTest, FailedOpenLeavesTheContainerClosedAndTheFileUntouched)
{
    std::string noise(8192, '\0');
    std::mt19937 random(4);
    for (char& byte : noise)
        byte = static_cast<char>(random());
    WriteFileBytes(file, noise);
    for (size_t i : {0, 1, 2}) {  // all but ReplaceOrCreate, which removes the file by design
        const OpenModeCase& mode = OpenModes()[i];
        CContentContainer container;
        ASSERT_FALSE(container.SetName(file).IsError());
        CKoError error = mode.open(container);
        ASSERT_TRUE(error.IsError()) << mode.function;
        EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_NOTADB)) << error.AsString();
        EXPECT_GE(error.Entries().size(), 2u);
        EXPECT_EQ(LastFunction(error), mode.function);
        // Closed: index operations answer 13, and opening again is not 1247.
        int64_t id = 0;
        EXPECT_TRUE(FXErrorUtil::IsWin32(container.QueryFolderId("/", id), 13));
        EXPECT_TRUE(FXErrorUtil::IsWin32(container.Check(), 13));
        EXPECT_FALSE(FXErrorUtil::IsWin32(mode.open(container), 1247));
        EXPECT_FALSE(container.Close().IsError());
    }
    EXPECT_EQ(ReadFileBytes(file), noise);
    EXPECT_FALSE(HasSideFiles());

    // SQLite files without the container's tables: one with a table of
    // another program, one with none. Read-only, neither can become one.
    for (const char* sql : {"CREATE TABLE Accounts (Id, Name);", "PRAGMA user_version=7;"}) {
        const std::string sqliteFile = dir.File(std::string("plain-") + sql[0] + ".db");
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(sqliteFile.c_str(), &raw), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
        const std::string before = ReadFileBytes(sqliteFile);
        ASSERT_FALSE(before.empty());

        CContentContainer container;
        ASSERT_FALSE(container.SetName(sqliteFile).IsError());
        CKoError error = container.OpenExistingReadOnly();
        ASSERT_TRUE(error.IsError()) << sql;
        EXPECT_EQ(LastFunction(error), "CKoError CX::CContentContainer::OpenExistingReadOnly()");
        EXPECT_TRUE(FXErrorUtil::IsWin32(container.SetOrigin("o"), 13));
        EXPECT_EQ(ReadFileBytes(sqliteFile), before) << sql;
        EXPECT_FALSE(FXFile::DoesFileExist(sqliteFile + "-wal"));
    }

    // A file that cannot be created.
    CContentContainer container;
    ASSERT_FALSE(container.SetName(dir.File("missing/c.cx")).IsError());
    CKoError error = container.OpenExistingOrCreate();
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ(LastFunction(error), "CKoError CX::CContentContainer::OpenExistingOrCreate()");
    EXPECT_FALSE(FXErrorUtil::IsWin32(container.ReplaceOrCreate(), 1247));
}

// ---------------------------------------------------------------- close, check, transactions

TEST_F(ContentContainerTest, CloseWritesQueuedFilesAndKeepsTheContainerOpenWhenItCannot)
{
    CContentContainer container;
    EXPECT_FALSE(container.Close().IsError());  // never opened
    Create(container);
    const int64_t folderId = Folder(container, "/a/");
    CContentContainerDatabasePtr database = CContentContainerTestAccess::Database(container);
    ASSERT_FALSE(database->Execute("CREATE TEMP TRIGGER refuse BEFORE INSERT ON main.Files "
                                   "BEGIN SELECT RAISE(ABORT, 'refused'); END;")
                     .IsError());
    for (const char* name : {"q1", "q2", "q3"})
        ASSERT_FALSE(database->QueueInsertOrUpdateFile(folderId, name, "", T(1)).IsError());

    CKoError error = container.Close();
    ASSERT_TRUE(error.IsError());
    EXPECT_EQ(LastFunction(error), "CKoError CX::CContentContainer::Close()");
    EXPECT_EQ(error.Entries()[error.Entries().size() - 2].function,
              "CKoError CX::CContentContainerDatabase::FlushQueue()");
    // Still open, with its entries queued: the close can be retried.
    EXPECT_EQ(CContentContainerTestAccess::Database(container), database);
    EXPECT_EQ(database->GetQueuedFileCount(), 3u);
    EXPECT_TRUE(FXErrorUtil::IsWin32(container.SetName(dir.File("other.cx")), 1247));

    ASSERT_FALSE(database->Execute("DROP TRIGGER temp.refuse;").IsError());
    database.reset();
    ASSERT_FALSE(container.Close().IsError());
    EXPECT_FALSE(CContentContainerTestAccess::Database(container));
    EXPECT_FALSE(container.Close().IsError());  // twice
    EXPECT_EQ(FileNames(), (std::vector<std::string>{"q1", "q2", "q3"}));

    // Destroying an open container closes it, queued files included.
    {
        CContentContainer reopened;
        ASSERT_FALSE(reopened.SetName(file).IsError());
        ASSERT_FALSE(reopened.OpenExisting().IsError());
        ASSERT_FALSE(CContentContainerTestAccess::Database(reopened)
                         ->QueueInsertOrUpdateFile(folderId, "q4", "", T(1))
                         .IsError());
    }
    EXPECT_EQ(FileNames(), (std::vector<std::string>{"q1", "q2", "q3", "q4"}));
}

TEST_F(ContentContainerTest, CheckCompactsTheFile)
{
    CContentContainer container;
    CKoError error = container.Check();
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 13));
    EXPECT_EQ(LastFunction(error), "CKoError CX::CContentContainer::Check()");

    Create(container);
    const int64_t folderId = Folder(container, "/a/");
    const std::string metadata(1000, 'm');
    for (int i = 0; i < 2000; ++i) {  // 2 MB: well over 100 pages of 16 KiB
        int64_t id = -1;
        ASSERT_FALSE(container.InsertOrUpdateFile(folderId, std::to_string(i), metadata, T(1), id).IsError());
    }
    CContentContainerDatabasePtr database = CContentContainerTestAccess::Database(container);
    ASSERT_FALSE(database->Execute("DELETE FROM Files;").IsError());
    int64_t freePages = 0;
    int64_t pagesBefore = 0;
    ASSERT_FALSE(database->QueryScalar("PRAGMA freelist_count;", freePages, -1).IsError());
    ASSERT_FALSE(database->QueryScalar("PRAGMA page_count;", pagesBefore, -1).IsError());
    ASSERT_GT(freePages, 100);

    ASSERT_FALSE(container.Check().IsError());
    int64_t pagesAfter = 0;
    ASSERT_FALSE(database->QueryScalar("PRAGMA freelist_count;", freePages, -1).IsError());
    ASSERT_FALSE(database->QueryScalar("PRAGMA page_count;", pagesAfter, -1).IsError());
    EXPECT_EQ(freePages, 0);
    EXPECT_LT(pagesAfter, pagesBefore / 4);
    // Still usable afterwards.
    EXPECT_GT(File(container, folderId, "after"), 0);
}

TEST_F(ContentContainerTest, GetTransactionSpansTheContainersWrites)
{
    CContentContainer container;
    FX::CDatabaseTransactionPtr transaction;
    CKoError error = container.GetTransaction(transaction);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 13));
    EXPECT_EQ(LastFunction(error), "CKoError CX::CContentContainer::GetTransaction(FX::CDatabaseTransactionPtr&)");
    EXPECT_FALSE(transaction);

    Create(container);
    ASSERT_FALSE(container.GetTransaction(transaction).IsError());
    ASSERT_TRUE(transaction);
    Folder(container, "/undone/");
    ASSERT_FALSE(transaction->Rollback().IsError());
    transaction.reset();
    int64_t id = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(container.QueryFolderId("/undone/", id), 1168));
}

// ---------------------------------------------------------------- properties

TEST_F(ContentContainerTest, OriginPropertiesAreStoredInTheFile)
{
    CContentContainer container;
    CKoError error = container.SetOrigin("o");
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 13));
    EXPECT_EQ(LastFunction(error), "CKoError CX::CContentContainer::SetOrigin(const string&)");
    error = container.SetOriginQuery("q");
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 13));
    EXPECT_EQ(LastFunction(error), "CKoError CX::CContentContainer::SetOriginQuery(const string&)");

    Create(container);
    ASSERT_FALSE(container.SetOrigin("first origin").IsError());
    ASSERT_FALSE(container.SetOrigin("/data/share").IsError());
    ASSERT_FALSE(container.SetOriginQuery("name LIKE '%.txt'").IsError());
    ASSERT_FALSE(container.Close().IsError());

    ASSERT_FALSE(container.OpenExistingReadOnly().IsError());
    std::string value;
    CContentContainerDatabasePtr database = CContentContainerTestAccess::Database(container);
    ASSERT_FALSE(database->GetValue("Origin", value).IsError());
    EXPECT_EQ(value, "/data/share");
    ASSERT_FALSE(database->GetValue("OriginQuery", value).IsError());
    EXPECT_EQ(value, "name LIKE '%.txt'");
}

// ---------------------------------------------------------------- index operations

TEST_F(ContentContainerTest, IndexOperationsReachTheDatabase)
{
    CContentContainer container;
    Create(container);
    ASSERT_FALSE(container.OpenFolderQueue().IsError());
    int64_t queueRow = -1;
    ASSERT_FALSE(container.AddFolderToQueue("/q/a", "qa", T(5), queueRow).IsError());
    EXPECT_GT(queueRow, 0);
    ASSERT_FALSE(container.MergeFolderQueue().IsError());
    int64_t folderId = -1;
    std::string metadata;
    ASSERT_FALSE(container.QueryFolderId("/q/a", folderId, metadata).IsError());
    EXPECT_EQ(metadata, "qa");
    ASSERT_FALSE(container.UpdateFolderMetadata(folderId, "qa2").IsError());
    int64_t again = -1;
    ASSERT_FALSE(container.QueryFolderId("/q/a/", again, metadata).IsError());
    EXPECT_EQ(again, folderId);
    EXPECT_EQ(metadata, "qa2");

    int64_t fileId = -1;
    ASSERT_FALSE(container.InsertOrUpdateFile(folderId, "f.txt", "m1", T(7), fileId).IsError());
    ASSERT_FALSE(container.UpdateFileMetadata(fileId, "m2").IsError());
    int64_t found = -1;
    CTimeStamp updated;
    ASSERT_FALSE(container.QueryFile(folderId, "f.txt", found, metadata, updated).IsError());
    EXPECT_EQ(found, fileId);
    EXPECT_EQ(metadata, "m2");
    EXPECT_EQ(updated, T(7));

    // A failure of the database comes back with exactly one more entry.
    CKoError direct = CContentContainerTestAccess::Database(container)->QueryFile(folderId, "none", found, metadata,
                                                                                   updated);
    CKoError error = container.QueryFile(folderId, "none", found);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168));
    EXPECT_EQ(error.Entries().size(), direct.Entries().size() + 1);
    EXPECT_EQ(error.Entries().back().file, "ContentContainer");
    EXPECT_EQ(error.Entries().back().function,
              "CKoError CX::CContentContainer::QueryFile(int64_t, const string&, int64_t&)");
    EXPECT_TRUE(error.Entries().back().message.empty());
}

TEST_F(ContentContainerTest, QueryFileByPath)
{
    CContentContainer container;
    Create(container);
    const int64_t folderId = Folder(container, "/data/docs/");
    const int64_t fileId = File(container, folderId, "report.txt");
    const char* const function = "CKoError CX::CContentContainer::QueryFile(const string&, int64_t&, int64_t&)";

    int64_t foundFolder = -1;
    int64_t foundFile = -1;
    ASSERT_FALSE(container.QueryFile("/data/docs/report.txt", foundFolder, foundFile).IsError());
    EXPECT_EQ(foundFolder, folderId);
    EXPECT_EQ(foundFile, fileId);

    // Missing file: the file lookup's 1168 and one more entry; the folder is known.
    foundFolder = foundFile = 42;
    CKoError error = container.QueryFile("/data/docs/missing.txt", foundFolder, foundFile);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168));
    ASSERT_EQ(error.Entries().size(), 2u);
    EXPECT_EQ(error.Entries()[0].function,
              "CKoError CX::CContentContainerDatabase::QueryFile(int64_t, const string&, int64_t&, std::string&, "
              "CTimeStamp&)");
    EXPECT_EQ(error.Entries()[1].function, function);
    EXPECT_EQ(foundFolder, folderId);
    EXPECT_EQ(foundFile, -1);

    // Missing folder: the folder lookup's error; the file is not looked for.
    foundFolder = foundFile = 42;
    int64_t direct = 0;
    const CKoError lookup = CContentContainerTestAccess::Database(container)->QueryFolderId("/data/none", direct);
    error = container.QueryFile("/data/none/report.txt", foundFolder, foundFile);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168));
    EXPECT_EQ(error.Entries().size(), lookup.Entries().size() + 1);
    EXPECT_EQ(LastFunction(error), function);
    EXPECT_EQ(error.Entries()[error.Entries().size() - 2].function, LastFunction(lookup));
    EXPECT_EQ(foundFolder, -1);
    EXPECT_EQ(foundFile, 42);

    error = container.QueryFile("", foundFolder, foundFile);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87));
    EXPECT_EQ(LastFunction(error), function);
}

// Sound behaviour: every index operation of a closed container answers 13
// with its own location instead of reaching for a missing database.
TEST_F(ContentContainerTest, IndexOperationsOfAClosedContainerAnswer13)
{
    CContentContainer container;
    int64_t id = 5;
    std::string metadata = "m";
    CTimeStamp time = T(3);
    const std::string p = "CKoError CX::CContentContainer::";
    const std::vector<std::pair<std::string, std::function<CKoError()>>> operations = {
        {p + "QueryFolderId(const string&, int64_t&)", [&] { return container.QueryFolderId("/a/", id); }},
        {p + "QueryFolderId(const string&, int64_t&, std::string&)",
         [&] { return container.QueryFolderId("/a/", id, metadata); }},
        {p + "QueryFile(int64_t, const string&, int64_t&)", [&] { return container.QueryFile(1, "f", id); }},
        {p + "QueryFile(int64_t, const string&, int64_t&, std::string&, CTimeStamp&)",
         [&] { return container.QueryFile(1, "f", id, metadata, time); }},
        {p + "QueryFile(const string&, int64_t&, int64_t&)", [&] { return container.QueryFile("/a/f", id, id); }},
        {p + "InsertFolder(const string&, const string&, CTimeStamp, int64_t&)",
         [&] { return container.InsertFolder("/a/", "", T(1), id); }},
        {p + "OpenFolderQueue()", [&] { return container.OpenFolderQueue(); }},
        {p + "AddFolderToQueue(const string&, const string&, CTimeStamp, int64_t&)",
         [&] { return container.AddFolderToQueue("/a/", "", T(1), id); }},
        {p + "MergeFolderQueue()", [&] { return container.MergeFolderQueue(); }},
        {p + "InsertOrUpdateFile(int64_t, const string&, const string&, CTimeStamp, int64_t&)",
         [&] { return container.InsertOrUpdateFile(1, "f", "", T(1), id); }},
        {p + "UpdateFileMetadata(int64_t, const string&)", [&] { return container.UpdateFileMetadata(1, "m"); }},
        {p + "UpdateFolderMetadata(int64_t, const string&)", [&] { return container.UpdateFolderMetadata(1, "m"); }},
        {p + "FlushQueue()", [&] { return container.FlushQueue(); }},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& [function, operation] : operations) {
            CKoError error = operation();
            EXPECT_TRUE(FXErrorUtil::IsWin32(error, 13)) << function;
            ASSERT_EQ(error.Entries().size(), 1u) << function;
            EXPECT_EQ(error.Entries()[0].file, "ContentContainer");
            EXPECT_EQ(error.Entries()[0].function, function);
        }
        EXPECT_EQ(id, 5);
        EXPECT_EQ(metadata, "m");
        EXPECT_EQ(time, T(3));
        // The same once the container has been open and closed again.
        Create(container);
        ASSERT_FALSE(container.Close().IsError());
    }
}

// The record a host fills starts with no ids and no documents; the module
// object starts and runs without doing anything.
TEST(ContentContainerItemTest, StartsEmptyAndTheModuleObjectSucceeds)
{
    const CX::CContentContainerItem item;
    EXPECT_FALSE(item.isFolder);
    EXPECT_EQ(item.folderId, -1);
    EXPECT_EQ(item.fileId, -1);
    EXPECT_FALSE(item.folderDocument || item.fileDocument);
    CContainers module;
    EXPECT_TRUE(module.Initialize(boost::make_shared<CCommandLineArguments>()).IsSuccess());
    EXPECT_TRUE(module.Run().IsSuccess());
}

}  // namespace
