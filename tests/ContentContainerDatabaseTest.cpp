// The index database: schema, collations, folder lookup and cache, folder and
// file writes, the two queues, and the listings.
#include "ContainerFiles.h"
#include "ContentContainerDatabase.h"
#include "FXFile.h"
#include "FaultVfs.h"
#include "LogWriter.h"
#include "OwnThreadContainers.h"
#include "PathCollation.h"
#include "TestSupport.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

using CX::CContentContainerDatabase;
using CX::COwnThreadContainers;

CTimeStamp T(int64_t ticks) { return CTimeStamp::FromSystemTime(ticks); }

// Counts how often SQLite starts running each statement text on a connection.
class StatementCounter {
public:
    explicit StatementCounter(sqlite3* db) : db_(db)
    {
        sqlite3_trace_v2(
            db, SQLITE_TRACE_STMT,
            [](unsigned, void* self, void* statement, void*) -> int {
                const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
                if (sql != nullptr)
                    ++static_cast<StatementCounter*>(self)->counts_[sql];
                return 0;
            },
            this);
    }
    ~StatementCounter() { sqlite3_trace_v2(db_, 0, nullptr, nullptr); }
    int FolderLookups() { return counts_["SELECT FolderId, Metadata FROM Folders WHERE Folders.FolderName=?1;"]; }

private:
    sqlite3* db_;
    std::map<std::string, int> counts_;
};

class ContentContainerDatabaseTest : public TempDirTest {
protected:
    void SetUp() override { Open(); }
    void Open(bool readOnly = false)
    {
        db.reset();
        db = std::make_unique<CContentContainerDatabase>(dir.File("c.cx"), readOnly);
        ASSERT_FALSE(db->GetConstructionError().IsError()) << db->GetConstructionError().AsString();
    }
    int64_t Folder(const std::string& name, const std::string& metadata = "")
    {
        int64_t id = -1;
        EXPECT_FALSE(db->InsertFolder(name, metadata, T(1), id).IsError()) << name;
        return id;
    }
    int64_t File(int64_t folderId, const std::string& name, const std::string& metadata = "", int64_t time = 1)
    {
        int64_t id = -1;
        EXPECT_FALSE(db->InsertOrUpdateFile(folderId, name, metadata, T(time), id).IsError()) << name;
        return id;
    }
    std::vector<std::string> FolderNames()
    {
        FX::CSQLite3QueryPtr query;
        EXPECT_FALSE(db->QueryFolders(query).IsError());
        std::vector<std::string> names;
        for (; query && !query->Eof(); query->NextRow())
            names.push_back(query->GetStringField(1, ""));
        return names;
    }
    std::vector<std::string> FileNames(int64_t folderId)
    {
        FX::CSQLite3QueryPtr query;
        EXPECT_FALSE(db->QueryFiles(folderId, query).IsError());
        std::vector<std::string> names;
        for (; query && !query->Eof(); query->NextRow())
            names.push_back(query->GetStringField(2, ""));
        return names;
    }
    int64_t Scalar(const std::string& sql)
    {
        int64_t value = -99;
        EXPECT_FALSE(db->QueryScalar(sql, value, -1).IsError()) << sql;
        return value;
    }
    std::unique_ptr<CContentContainerDatabase> db;
};

// ---------------------------------------------------------------- schema

TEST_F(ContentContainerDatabaseTest, SchemaIsCreatedAsSpecifiedAndKeptOnReopen)
{
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Storage", "CREATE TABLE Storage (Key VARCHAR PRIMARY KEY, Value VARCHAR)"},
        {"Folders", "CREATE TABLE Folders (FolderId INTEGER PRIMARY KEY, FolderName VARCHAR COLLATE PATH_COMPONENTS, "
                    "Metadata VARCHAR, RecordCreateTime BIGINT, RecordUpdateTime BIGINT)"},
        {"index_folders_foldername", "CREATE UNIQUE INDEX index_folders_foldername ON Folders(FolderName)"},
        {"Files", "CREATE TABLE Files (FileId INTEGER PRIMARY KEY, FolderId INTEGER, FileName VARCHAR, "
                  "Metadata VARCHAR, RecordCreateTime BIGINT, RecordUpdateTime BIGINT)"},
        {"index_files_folderidfilename", "CREATE UNIQUE INDEX index_files_folderidfilename ON Files(FolderId,FileName)"},
        {"FullyQualifiedFiles",
         "CREATE VIEW FullyQualifiedFiles AS SELECT FolderName||FileName COLLATE PATH_COMPONENTS AS "
         "FullyQualifiedName,Folders.FolderId,Files.FileId,FolderName COLLATE PATH_COMPONENTS,FileName,"
         "Folders.Metadata AS FolderMetadata,Files.Metadata AS FileMetadata,Folders.RecordCreateTime AS "
         "FolderRecordCreateTime,Folders.RecordUpdateTime AS FolderRecordUpdateTime,Files.RecordCreateTime AS "
         "FileRecordCreateTime,Files.RecordUpdateTime AS FileRecordUpdateTime FROM Files LEFT JOIN Folders ON "
         "Folders.FolderId=Files.FolderId"},
    };
    auto schema = [this] {
        FX::CSQLite3QueryPtr query;
        EXPECT_FALSE(db->Query("SELECT name, sql FROM sqlite_master ORDER BY rowid;", query).IsError());
        std::vector<std::pair<std::string, std::string>> rows;
        for (; !query->Eof(); query->NextRow())
            if (query->GetStringField(1, "") != "")
                rows.emplace_back(query->GetStringField(0, ""), query->GetStringField(1, ""));
        return rows;
    };
    EXPECT_EQ(schema(), expected);
    {
        FX::CSQLite3QueryPtr mode;
        ASSERT_FALSE(db->Query("PRAGMA journal_mode;", mode).IsError());
        EXPECT_EQ(mode->GetStringField(0, ""), "wal");
    }
    Folder("/a/");
    Open();
    EXPECT_EQ(schema(), expected);
    EXPECT_EQ(FolderNames(), (std::vector<std::string>{"/a/"}));
}

TEST_F(ContentContainerDatabaseTest, ViewJoinsFilesWithTheirFolders)
{
    const int64_t a = Folder("/a/", "fa");
    File(a, "x", "mx");
    // A row another program left under no folder: the library writes none.
    ASSERT_FALSE(db->Execute("INSERT INTO Files (FolderId, FileName, Metadata, RecordCreateTime, RecordUpdateTime) "
                             "VALUES (77, 'orphan', '', 1, 1);")
                     .IsError());
    FX::CSQLite3QueryPtr query;
    ASSERT_FALSE(db->Query("SELECT * FROM FullyQualifiedFiles ORDER BY FileId;", query).IsError());
    ASSERT_EQ(query->FieldCount(), 11);
    EXPECT_EQ(query->GetStringField("FullyQualifiedName", ""), "/a/x");
    EXPECT_EQ(query->GetStringField("FolderMetadata", ""), "fa");
    EXPECT_EQ(query->GetStringField("FileMetadata", ""), "mx");
    query->NextRow();
    EXPECT_TRUE(query->FieldIsNull(query->FieldIndex("FullyQualifiedName")));
    EXPECT_TRUE(query->FieldIsNull(query->FieldIndex("FolderName")));
}

TEST_F(ContentContainerDatabaseTest, CaseInsensitiveFileIsReadThroughTheCollationHandler)
{
    db.reset();
    const std::string file = dir.File("nocase.cx");
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
        sqlite3_create_collation(raw, "PATH_COMPONENTS_NOCASE", SQLITE_UTF8, nullptr,
                                 &CX::sqlite_collation_bypath_nocase);
        ASSERT_EQ(sqlite3_exec(raw,
                               "CREATE TABLE Folders (FolderId INTEGER PRIMARY KEY, FolderName VARCHAR COLLATE "
                               "path_components_nocase, Metadata VARCHAR, RecordCreateTime BIGINT, RecordUpdateTime "
                               "BIGINT);"
                               "CREATE UNIQUE INDEX index_folders_foldername ON Folders(FolderName);"
                               "CREATE TABLE Storage (Key VARCHAR PRIMARY KEY, Value VARCHAR);"
                               "CREATE TABLE Files (FileId INTEGER PRIMARY KEY, FolderId INTEGER, FileName VARCHAR "
                               "COLLATE NOCASE, Metadata VARCHAR, RecordCreateTime BIGINT, RecordUpdateTime BIGINT);"
                               "CREATE UNIQUE INDEX index_files_folderidfilename ON Files(FolderId,FileName);"
                               "CREATE VIEW FullyQualifiedFiles AS SELECT FolderName||FileName COLLATE "
                               "PATH_COMPONENTS_NOCASE AS FullyQualifiedName FROM Files LEFT JOIN Folders ON "
                               "Folders.FolderId=Files.FolderId;"
                               "INSERT INTO Folders (FolderName) VALUES ('/b/'), ('/A/'), ('/_/');",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(raw);
    }
    CContentContainerDatabase reader(file, true);
    ASSERT_FALSE(reader.GetConstructionError().IsError()) << reader.GetConstructionError().AsString();
    FX::CSQLite3QueryPtr query;
    ASSERT_FALSE(reader.QueryFolders(query).IsError());
    std::vector<std::string> names;
    for (; !query->Eof(); query->NextRow())
        names.push_back(query->GetStringField(1, ""));
    EXPECT_EQ(names, (std::vector<std::string>{"/_/", "/A/", "/b/"}));
    int64_t id = -1;
    EXPECT_FALSE(reader.QueryFolderId("/a/", id).IsError());  // NOCASE matches the lower-case spelling
    EXPECT_EQ(id, 2);
}

TEST_F(ContentContainerDatabaseTest, CollationInstallationIsLoggedAboveLevelZero)
{
    class Recorder : public CLogWriterInterface {
    public:
        std::vector<std::string> lines;
        int GetTraceLevel() const override { return 1; }
        void SetTraceLevel(int) override {}
        void WriteLine(int, const char* function, int, const std::string& text) override
        {
            lines.push_back(std::string(function) + ": " + text);
        }
    };
    auto saved = g_ptrLogWriter;
    auto recorder = boost::make_shared<Recorder>();
    g_ptrLogWriter = recorder;
    Open();
    g_ptrLogWriter = saved;
    ASSERT_FALSE(recorder->lines.empty());
    // Lambdas are the one kind of function the two compilers name apart.
#if defined(__clang__)
    EXPECT_EQ(recorder->lines[0], "auto CX::CContentContainerDatabase::RegisterCallbacks()::(anonymous class)::"
                                  "operator()(int, const string&) const: Registering PATH_COMPONENTS");
#else
    EXPECT_EQ(recorder->lines[0],
              "CX::CContentContainerDatabase::RegisterCallbacks()::<lambda(int, const string&)>: Registering "
              "PATH_COMPONENTS");
#endif
}

TEST_F(ContentContainerDatabaseTest, FoldersListInPathComponentOrder)
{
    for (const char* name : {"a-b/", "A b\\/", "Abc/", "_/", "a/", "A\\/", "abc/", "a\xC3/", "az/", "a\\b/"})
        Folder(name);
    EXPECT_EQ(FolderNames(), (std::vector<std::string>{"A\\/", "A b\\/", "Abc/", "_/", "a\\b/", "a-b/", "a/", "abc/",
                                                       "az/", "a\xC3/"}));
    int compared = db->CompareFolderName("A\\/", "A b\\/");
    EXPECT_LT(compared, 0);
    EXPECT_GT(db->CompareFolderName("a/", "a-b/"), 0);
}

TEST_F(ContentContainerDatabaseTest, OpenFailureIsLoggedAndOperationsFailCleanly)
{
    db.reset();
    const std::string missing = dir.File("missing.cx");
    CContentContainerDatabase broken(missing, true);
    const CKoError& error = broken.GetConstructionError();
    ASSERT_TRUE(error.IsError());
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_CANTOPEN));
    EXPECT_EQ(error.Entries().back().function, "virtual CKoError CX::CContentContainerDatabase::OpenDatabase()");
    EXPECT_FALSE(FXFile::DoesFileExist(missing));
    int64_t id = 5;
    std::string metadata;
    CTimeStamp time = T(9);
    FX::CSQLite3QueryPtr query;
    EXPECT_TRUE(FXErrorUtil::IsWin32(broken.InsertFolder("/a/", "", T(1), id), 6));
    EXPECT_EQ(id, -1);
    EXPECT_TRUE(FXErrorUtil::IsWin32(broken.InsertOrUpdateFile(1, "f", "", T(1), id), 6));
    EXPECT_TRUE(FXErrorUtil::IsWin32(broken.UpdateFileMetadata(1, "m"), 6));
    EXPECT_TRUE(FXErrorUtil::IsWin32(broken.UpdateFolderMetadata(1, "m"), 6));
    EXPECT_TRUE(FXErrorUtil::IsWin32(broken.QueryFolderId("/a/", id, metadata), 6));
    EXPECT_TRUE(FXErrorUtil::IsWin32(broken.QueryFolders(query), 6));
    EXPECT_TRUE(FXErrorUtil::IsWin32(broken.QueryFiles(1, query), 6));
    EXPECT_TRUE(FXErrorUtil::IsWin32(broken.QueryFile(1, "f", id, metadata, time), 6));
    EXPECT_TRUE(time.IsZero());
    EXPECT_TRUE(broken.QueryOrInsertFolder("/a/", "", T(1), id).IsError());
    EXPECT_TRUE(broken.AddFolderToQueue("/a/", "", T(1), id).IsError());
    EXPECT_TRUE(broken.OpenFolderQueue().IsError());
    EXPECT_TRUE(broken.MergeFolderQueue().IsError());
    EXPECT_FALSE(broken.QueueInsertOrUpdateFile(1, "f", "", T(1)).IsError());
    EXPECT_TRUE(broken.FlushQueue().IsError());
    EXPECT_EQ(broken.GetQueuedFileCount(), 1u);
}

// Only a container opened on the thread while the scope lives goes without
// SQLite's mutex: one opened before or after it, or on another thread, can
// still be shared between threads.
TEST_F(ContentContainerDatabaseTest, OwnThreadContainersLeaveOutTheMutexOnlyInTheirScope)
{
    const auto serialized = [](const CContentContainerDatabase& container) {
        return sqlite3_db_mutex(container.GetHandle()) != nullptr;
    };
    EXPECT_TRUE(serialized(*db));
    {
        COwnThreadContainers outer;
        { COwnThreadContainers inner; }
        CContentContainerDatabase own(dir.File("own.cx"), false);
        ASSERT_FALSE(own.GetConstructionError().IsError());
        EXPECT_FALSE(serialized(own));
        int64_t id = -1;
        EXPECT_FALSE(own.InsertFolder("/a/", "", T(1), id).IsError());
        bool otherThread = false;
        std::thread([&] {
            CContentContainerDatabase other(dir.File("other.cx"), false);
            otherThread = serialized(other);
        }).join();
        EXPECT_TRUE(otherThread);
    }
    CContentContainerDatabase after(dir.File("after.cx"), false);
    EXPECT_TRUE(serialized(after));
}

TEST_F(ContentContainerDatabaseTest, AnotherProgramsDatabaseIsRefusedUntouched)
{
    db.reset();
    const std::string file = dir.File("other.db");
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE Accounts (Id, Name);", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
    }
    const std::string before = ReadFileBytes(file);
    for (bool readOnly : {false, true}) {
        CContentContainerDatabase other(file, readOnly);
        EXPECT_TRUE(FXErrorUtil::IsWin32(other.GetConstructionError(), 11)) << other.GetConstructionError().AsString();
        EXPECT_FALSE(other.IsOpen());
    }
    EXPECT_EQ(ReadFileBytes(file), before);
    EXPECT_FALSE(FXFile::DoesFileExist(file + "-wal"));

    // Random bytes: no database at all.
    const std::string noise = dir.File("noise.cx");
    WriteFileBytes(noise, std::string(4096, '\x5A'));
    CContentContainerDatabase notADatabase(noise, false);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(notADatabase.GetConstructionError(), SQLITE_NOTADB));
    EXPECT_EQ(ReadFileBytes(noise), std::string(4096, '\x5A'));
}

TEST_F(ContentContainerDatabaseTest, NewFilesGetLargePagesAndOlderFilesKeepTheirs)
{
    auto pageSize = [](CContentContainerDatabase& database) {
        int64_t size = 0;
        EXPECT_FALSE(database.QueryScalar("PRAGMA page_size;", size, 0).IsError());
        return size;
    };
    EXPECT_EQ(pageSize(*db), 16384);
    Folder("/a/");
    Open();
    EXPECT_EQ(pageSize(*db), 16384);
    EXPECT_EQ(FolderNames(), (std::vector<std::string>{"/a/"}));

    // A database that has pages already keeps their size, and works.
    db.reset();
    const std::string file = dir.File("small-pages.cx");
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(raw, "PRAGMA page_size=4096; CREATE TABLE x(a); DROP TABLE x;", nullptr, nullptr,
                               nullptr),
                  SQLITE_OK);
        sqlite3_close(raw);
    }
    CContentContainerDatabase older(file);
    ASSERT_FALSE(older.GetConstructionError().IsError()) << older.GetConstructionError().AsString();
    EXPECT_EQ(pageSize(older), 4096);
    int64_t id = -1;
    EXPECT_FALSE(older.InsertFolder("/b/", "", T(1), id).IsError());
    EXPECT_GT(id, 0);
}

// Two programs that make the same new container: the second waits for the
// first's write to end, as for any write, rather than fail without a schema.
TEST_F(ContentContainerDatabaseTest, ANewFileAnotherWriterHoldsIsWaitedFor)
{
    const std::string file = dir.File("shared-new.cx");
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread writer([raw] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        sqlite3_exec(raw, "COMMIT;", nullptr, nullptr, nullptr);
    });
    CContentContainerDatabase second(file);
    writer.join();
    sqlite3_close(raw);
    ASSERT_FALSE(second.GetConstructionError().IsError()) << second.GetConstructionError().AsString();
    int64_t id = -1;
    EXPECT_FALSE(second.InsertFolder("/a/", "", T(1), id).IsError());
}

// ---------------------------------------------------------------- folder lookup

TEST_F(ContentContainerDatabaseTest, LookupNormalisesTheNameAndSharesOneCacheEntry)
{
    const int64_t id = Folder("/a/b", "meta");  // stored as "/a/b/"
    EXPECT_EQ(FolderNames(), (std::vector<std::string>{"/a/b/"}));
    StatementCounter counter(db->GetHandle());
    int64_t found = -1;
    std::string metadata;
    ASSERT_FALSE(db->QueryFolderId("/a/b", found, metadata).IsError());
    EXPECT_EQ(found, id);
    EXPECT_EQ(metadata, "meta");
    ASSERT_FALSE(db->QueryFolderId("/a/b/", found).IsError());
    EXPECT_EQ(found, id);
    EXPECT_EQ(counter.FolderLookups(), 1);
}

TEST_F(ContentContainerDatabaseTest, AbsentFolderIs1168WithTheFullChainAndIsNotCached)
{
    Folder("/a/");
    StatementCounter counter(db->GetHandle());
    int64_t found = 5;
    CKoError error = db->QueryFolderId("/nope", found);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168));
    EXPECT_EQ(found, -1);
    ASSERT_EQ(error.Entries().size(), 4u);
    EXPECT_EQ(error.Entries()[0].message, "FolderName=[/nope/]");
    EXPECT_EQ(error.Entries()[0].function,
              "CKoError CX::CContentContainerDatabase::InternalQueryFolderId(const string&, CFolderIdCacheElement&)");
    EXPECT_EQ(error.Entries()[2].file, "source/common/KoUtils/LRUCache");
    // The class's operations are located in one file name, whichever source
    // file holds them.
    for (const size_t own : {0u, 1u, 3u})
        EXPECT_EQ(error.Entries()[own].file, "ContentContainerDatabase") << own;
    // Lambdas and templates are the functions the two compilers name apart.
#if defined(__clang__)
    EXPECT_EQ(error.Entries()[1].function, "auto CX::CContentContainerDatabase::CContentContainerDatabase(const "
                                           "string&, bool)::(anonymous class)::operator()(const string&, "
                                           "CFolderIdCacheElement&) const");
    EXPECT_EQ(error.Entries()[2].function, "CKoError LRUCache<std::basic_string<char>, CFolderIdCacheElement>::"
                                           "Get(const K&, V&) [K = std::basic_string<char>, V = "
                                           "CFolderIdCacheElement]");
#else
    EXPECT_EQ(error.Entries()[1].function, "CX::CContentContainerDatabase::CContentContainerDatabase(const string&, "
                                           "bool)::<lambda(const string&, CFolderIdCacheElement&)>");
    EXPECT_EQ(error.Entries()[2].function, "CKoError LRUCache<K, V>::Get(const K&, V&) [with K = "
                                           "std::__cxx11::basic_string<char>; V = CFolderIdCacheElement]");
#endif
    EXPECT_EQ(error.Entries()[3].function,
              "CKoError CX::CContentContainerDatabase::QueryFolderId(const string&, int64_t&)");
    EXPECT_TRUE(db->QueryFolderId("/nope/", found).IsError());
    EXPECT_EQ(counter.FolderLookups(), 2);
}

TEST_F(ContentContainerDatabaseTest, RootFolderIsFoundFromAFreshDatabase)
{
    // An empty memo must never answer: "/" and "" are not the memo's empty name.
    const int64_t root = Folder("/");
    Open();
    int64_t found = -1;
    ASSERT_FALSE(db->QueryFolderId("/", found).IsError());
    EXPECT_EQ(found, root);
    CFolderIdCacheElement element;
    Open();
    ASSERT_FALSE(db->InternalQueryFolderId("", element).IsError());  // "" is looked up as "/"
    EXPECT_EQ(element.folderId, root);
}

TEST_F(ContentContainerDatabaseTest, CacheDropsTheLeastRecentlyUsedAt2000)
{
    ASSERT_FALSE(db->OpenFolderQueue().IsError());
    int64_t ignored = -1;
    for (int i = 0; i <= 2001; ++i)
        ASSERT_FALSE(db->AddFolderToQueue("/f" + std::to_string(i) + "/", "", T(1), ignored).IsError());
    ASSERT_FALSE(db->MergeFolderQueue().IsError());
    int64_t id = -1;
    for (int i = 0; i < 2000; ++i)
        ASSERT_FALSE(db->QueryFolderId("/f" + std::to_string(i) + "/", id).IsError());
    StatementCounter counter(db->GetHandle());
    ASSERT_FALSE(db->QueryFolderId("/f0/", id).IsError());  // hit: now most recent
    EXPECT_EQ(counter.FolderLookups(), 0);
    ASSERT_FALSE(db->QueryFolderId("/f2000/", id).IsError());  // miss: drops /f1/
    EXPECT_EQ(counter.FolderLookups(), 1);
    ASSERT_FALSE(db->QueryFolderId("/f0/", id).IsError());
    ASSERT_FALSE(db->QueryFolderId("/f2/", id).IsError());
    EXPECT_EQ(counter.FolderLookups(), 1);
    ASSERT_FALSE(db->QueryFolderId("/f1/", id).IsError());  // was dropped
    EXPECT_EQ(counter.FolderLookups(), 2);
}

TEST_F(ContentContainerDatabaseTest, MetadataUpdatesReachTheCacheAndTheMemo)
{
    const int64_t id = Folder("/a/", "old");
    int64_t found = -1;
    std::string metadata;
    ASSERT_FALSE(db->QueryFolderId("/a/", found, metadata).IsError());
    EXPECT_EQ(metadata, "old");
    ASSERT_FALSE(db->UpdateFolderMetadata(id, "new").IsError());
    ASSERT_FALSE(db->QueryFolderId("/a/", found, metadata).IsError());
    EXPECT_EQ(metadata, "new");
    CFolderIdCacheElement element;
    ASSERT_FALSE(db->InternalQueryFolderId("/a", element).IsError());
    EXPECT_EQ(element.metadata, "new");
    // An id that matches no row changes nothing and succeeds.
    EXPECT_FALSE(db->UpdateFolderMetadata(999, "x").IsError());
}

// However a transaction ends rolled back, no lookup answers a folder it took
// away: not the cache (QueryFolderId), not the last-folder memo
// (InternalQueryFolderId, QueryOrInsertFolder), not once another folder
// takes the id.
TEST_F(ContentContainerDatabaseTest, NoLookupOutlivesARollback)
{
    FaultVfs vfs;  // for the failed flush; passes everything until armed
    auto insertAndLookUp = [this] {
        Folder("/r/p/");
        int64_t id = -1;
        ASSERT_FALSE(db->QueryFolderId("/r/p/", id).IsError());  // fills the cache and the memo
        ASSERT_EQ(id, 2);
    };
    const struct {
        const char* name;
        std::function<void()> run;
    } ways[] = {
        {"Rollback", [&] {
             FX::CDatabaseTransaction transaction(db.get(), 0);
             insertAndLookUp();
             ASSERT_FALSE(transaction.Rollback().IsError());
         }},
        {"Rollback of a nested transaction", [&] {
             FX::CDatabaseTransaction outer(db.get(), 0);
             {
                 FX::CDatabaseTransaction inner(db.get(), 0);
                 insertAndLookUp();
                 ASSERT_FALSE(inner.Rollback().IsError());
             }
             ASSERT_FALSE(outer.Commit().IsError());
         }},
        {"a failed write", [&] {
             FX::CDatabaseTransaction transaction(db.get(), 0);
             insertAndLookUp();
             int64_t id = -1;
             EXPECT_TRUE(db->InsertFolder("/r/p/", "", T(1), id).IsError());  // rolls the transaction back
         }},
        {"a failed flush", [&] {
             FX::CDatabaseTransaction transaction(db.get(), 0);
             insertAndLookUp();
             ASSERT_FALSE(db->Execute("PRAGMA cache_size=1;").IsError());  // the flush spills to the file
             for (int i = 0; i < 999; ++i)
                 ASSERT_FALSE(db->QueueInsertOrUpdateFile(1, "f" + std::to_string(i), "", T(1)).IsError());
             vfs.Arm(FaultVfs::Write, 1, SQLITE_IOERR_WRITE, true);
             EXPECT_TRUE(FXErrorUtil::IsSQLite(db->QueueInsertOrUpdateFile(1, "last", "", T(1)), SQLITE_IOERR));
             vfs.Disarm();
             ASSERT_TRUE(sqlite3_get_autocommit(db->GetHandle()));  // SQLite rolled all of it back
             ASSERT_FALSE(db->Execute("PRAGMA cache_size=-2000;").IsError());
         }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        db.reset();
        RemoveContainerFiles(dir.File("c.cx"));
        Open();
        ASSERT_EQ(Folder("/r/"), 1);
        way.run();
        int64_t id = -1;
        EXPECT_TRUE(FXErrorUtil::IsWin32(db->QueryFolderId("/r/p/", id), 1168)) << id;
        CFolderIdCacheElement element;
        EXPECT_TRUE(FXErrorUtil::IsWin32(db->InternalQueryFolderId("/r/p/", element), 1168)) << element.folderId;
        ASSERT_EQ(Folder("/r/q/"), 2);
        EXPECT_TRUE(FXErrorUtil::IsWin32(db->QueryFolderId("/r/p/", id), 1168)) << id;
        ASSERT_FALSE(db->QueryOrInsertFolder("/r/p/", "", T(1), id).IsError());
        EXPECT_EQ(id, 3);
        EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Folders;"), 3);
        db->FlushQueue();  // what the failed flush kept
    }
    db.reset();  // before the shim goes
}

// ---------------------------------------------------------------- folder writes

TEST_F(ContentContainerDatabaseTest, InsertFolderStoresBothTimesAndRefusesDuplicates)
{
    int64_t id = -1;
    ASSERT_FALSE(db->InsertFolder("/a", "m", T(42), id).IsError());
    EXPECT_EQ(Scalar("SELECT RecordCreateTime FROM Folders WHERE FolderId=1;"), 42);
    EXPECT_EQ(Scalar("SELECT RecordUpdateTime FROM Folders WHERE FolderId=1;"), 42);
    CKoError error = db->InsertFolder("/a/", "m", T(43), id);
    EXPECT_TRUE(FXErrorUtil::IsSQLite(error, SQLITE_CONSTRAINT_UNIQUE));
    EXPECT_EQ(id, -1);
    EXPECT_EQ(error.Entries().back().message, "FolderName=[/a/]");
}

TEST_F(ContentContainerDatabaseTest, QueryOrInsertFolder)
{
    const int64_t existing = Folder("/a/", "kept");
    int64_t id = -1;
    ASSERT_FALSE(db->QueryOrInsertFolder("/a/", "other", T(5), id).IsError());
    EXPECT_EQ(id, existing);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Folders WHERE Metadata='kept';"), 1);

    StatementCounter counter(db->GetHandle());
    ASSERT_FALSE(db->QueryOrInsertFolder("/b/", "new", T(5), id).IsError());
    const int lookups = counter.FolderLookups();
    int64_t found = -1;
    std::string metadata;
    ASSERT_FALSE(db->QueryFolderId("/b/", found, metadata).IsError());  // answered by the cache
    EXPECT_EQ(counter.FolderLookups(), lookups);
    EXPECT_EQ(found, id);
    EXPECT_EQ(metadata, "new");
}

TEST_F(ContentContainerDatabaseTest, FolderQueueMergesInOneStatement)
{
    Folder("/existing/");
    ASSERT_FALSE(db->OpenFolderQueue().IsError());
    ASSERT_FALSE(db->OpenFolderQueue().IsError());  // harmless again
    int64_t queueId = -1;
    ASSERT_FALSE(db->AddFolderToQueue("/q1", "m1", T(3), queueId).IsError());
    EXPECT_EQ(queueId, 1);
    EXPECT_TRUE(db->AddFolderToQueue("/q1/", "again", T(3), queueId).IsError());  // the queue's unique index

    // While the queue is open every other operation still works on the index.
    int64_t direct = Folder("/direct/");
    EXPECT_EQ(direct, 2);
    int64_t found = -1;
    EXPECT_TRUE(FXErrorUtil::IsWin32(db->QueryFolderId("/q1/", found), 1168));
    ASSERT_FALSE(db->QueryFolderId("/existing/", found).IsError());
    EXPECT_EQ(found, 1);
    ASSERT_FALSE(db->QueryOrInsertFolder("/qoi/", "", T(1), found).IsError());
    EXPECT_EQ(found, 3);
    EXPECT_EQ(FolderNames(), (std::vector<std::string>{"/direct/", "/existing/", "/qoi/"}));

    ASSERT_FALSE(db->MergeFolderQueue().IsError());
    EXPECT_EQ(FolderNames(), (std::vector<std::string>{"/direct/", "/existing/", "/q1/", "/qoi/"}));
    ASSERT_FALSE(db->QueryFolderId("/q1", found).IsError());
    EXPECT_EQ(found, 4);
    EXPECT_EQ(Scalar("SELECT RecordCreateTime FROM Folders WHERE FolderName='/q1/';"), 3);
    EXPECT_TRUE(db->MergeFolderQueue().IsError());                            // no queue any more
    EXPECT_TRUE(db->AddFolderToQueue("/q2/", "", T(1), queueId).IsError());  // its table is gone
}

TEST_F(ContentContainerDatabaseTest, FolderQueueMergeIsAllOrNothing)
{
    Folder("/dup/");
    ASSERT_FALSE(db->OpenFolderQueue().IsError());
    int64_t queueId = -1;
    ASSERT_FALSE(db->AddFolderToQueue("/new/", "", T(1), queueId).IsError());
    ASSERT_FALSE(db->AddFolderToQueue("/dup/", "", T(1), queueId).IsError());
    EXPECT_TRUE(FXErrorUtil::IsSQLite(db->MergeFolderQueue(), SQLITE_CONSTRAINT_UNIQUE));
    EXPECT_EQ(FolderNames(), (std::vector<std::string>{"/dup/"}));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM temp.FolderQueue;"), 2);  // still queued

    // An empty open queue merges and closes.
    ASSERT_FALSE(db->Execute("DELETE FROM temp.FolderQueue;").IsError());
    EXPECT_FALSE(db->MergeFolderQueue().IsError());
}

// ---------------------------------------------------------------- file writes

TEST_F(ContentContainerDatabaseTest, UpsertKeepsIdAndCreateTimeAndHandsBackTheFilesOwnId)
{
    const int64_t folder = Folder("/a/");
    const int64_t first = File(folder, "x", "m1", 10);
    const int64_t other = File(folder, "y", "", 11);  // the connection's last insert is now y
    EXPECT_NE(first, other);
    const int64_t again = File(folder, "x", "m2", 20);
    EXPECT_EQ(again, first);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Files WHERE FileName='x';"), 1);
    int64_t id = -1;
    std::string metadata;
    CTimeStamp updated;
    ASSERT_FALSE(db->QueryFile(folder, "x", id, metadata, updated).IsError());
    EXPECT_EQ(id, first);
    EXPECT_EQ(metadata, "m2");
    EXPECT_EQ(updated.GetSystemTime(), 20);
    EXPECT_EQ(Scalar("SELECT RecordCreateTime FROM Files WHERE FileName='x';"), 10);
    // No folder has an id below 0 (-1 is the lookups' "none"): refused
    // before anything is written, directly and through the queue.
    int64_t loose = 5;
    CKoError error = db->InsertOrUpdateFile(-1, "loose", "", T(1), loose);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87)) << error.AsString();
    EXPECT_EQ(loose, -1);
    EXPECT_TRUE(FXErrorUtil::IsWin32(db->QueueInsertOrUpdateFile(-2, "loose", "", T(1)), 87));
    EXPECT_EQ(db->GetQueuedFileCount(), 0u);
    ASSERT_FALSE(db->FlushQueue().IsError());
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Files WHERE FolderId<0;"), 0);
    // Nor has any folder an id that no row holds, or one that a rollback
    // took away again; queued, such an entry fails its flush and stays.
    const int64_t kept = Folder("/kept/");
    error = db->InsertOrUpdateFile(999999, "orphan", "", T(1), loose);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 87)) << error.AsString();
    File(kept, "fine");
    {
        FX::CDatabaseTransaction transaction(db.get(), 0);
        const int64_t gone = Folder("/gone/");
        File(gone, "inside");
        ASSERT_FALSE(transaction.Rollback().IsError());
        EXPECT_TRUE(FXErrorUtil::IsWin32(db->InsertOrUpdateFile(gone, "after", "", T(1), loose), 87));
    }
    ASSERT_FALSE(db->QueueInsertOrUpdateFile(999999, "queued", "", T(1)).IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(db->FlushQueue(), 87));
    EXPECT_EQ(db->GetQueuedFileCount(), 1u);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Files WHERE FolderId NOT IN (SELECT FolderId FROM Folders);"), 0);
    Open();  // whose flush of the entry fails too, and is logged
}

TEST_F(ContentContainerDatabaseTest, UpdateFileMetadataLeavesTheUpdateTime)
{
    ASSERT_EQ(Folder("/f/"), 1);
    const int64_t file = File(1, "x", "m", 10);
    ASSERT_FALSE(db->UpdateFileMetadata(file, "n").IsError());
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Files WHERE Metadata='n' AND RecordUpdateTime=10;"), 1);
    EXPECT_FALSE(db->UpdateFileMetadata(999, "z").IsError());
}

TEST_F(ContentContainerDatabaseTest, TheThousandthQueuedFileFlushesAll)
{
    ASSERT_EQ(Folder("/f/"), 1);
    for (int i = 0; i < 999; ++i)
        ASSERT_FALSE(db->QueueInsertOrUpdateFile(1, "f" + std::to_string(i), "", T(1)).IsError());
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Files;"), 0);
    EXPECT_EQ(db->GetQueuedFileCount(), 999u);
    ASSERT_FALSE(db->QueueInsertOrUpdateFile(1, "f999", "", T(1)).IsError());
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Files;"), 1000);
    EXPECT_EQ(db->GetQueuedFileCount(), 0u);
}

TEST_F(ContentContainerDatabaseTest, FailedFlushKeepsEveryEntryAndWritesNothing)
{
    ASSERT_EQ(Folder("/f/"), 1);
    ASSERT_FALSE(db->Execute("CREATE TRIGGER refuse BEFORE INSERT ON Files WHEN NEW.FileName='third' "
                             "BEGIN SELECT RAISE(ABORT, 'refused'); END;")
                     .IsError());
    for (const char* name : {"first", "second", "third", "fourth"})
        ASSERT_FALSE(db->QueueInsertOrUpdateFile(1, name, "", T(1)).IsError());
    CKoError error = db->FlushQueue();
    ASSERT_TRUE(error.IsError());
    EXPECT_EQ(error.Entries().back().function, "CKoError CX::CContentContainerDatabase::FlushQueue()");
    EXPECT_EQ(db->GetQueuedFileCount(), 4u);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Files;"), 0);  // all or nothing
    ASSERT_FALSE(db->Execute("DROP TRIGGER refuse;").IsError());
    ASSERT_FALSE(db->FlushQueue().IsError());
    EXPECT_EQ(db->GetQueuedFileCount(), 0u);
    EXPECT_EQ(FileNames(1), (std::vector<std::string>{"first", "fourth", "second", "third"}));
}

TEST_F(ContentContainerDatabaseTest, FlushJoinsTheHostsTransaction)
{
    ASSERT_EQ(Folder("/f/"), 1);
    ASSERT_FALSE(db->Execute("BEGIN;").IsError());
    ASSERT_FALSE(db->QueueInsertOrUpdateFile(1, "a", "", T(1)).IsError());
    ASSERT_FALSE(db->FlushQueue().IsError());
    ASSERT_FALSE(db->Execute("COMMIT;").IsError());
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Files;"), 1);
}

TEST_F(ContentContainerDatabaseTest, DestroyingWritesWhatIsStillQueued)
{
    ASSERT_EQ(Folder("/f/"), 1);
    ASSERT_FALSE(db->QueueInsertOrUpdateFile(1, "late", "m", T(1)).IsError());
    Open();
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Files WHERE FileName='late';"), 1);
}

// ---------------------------------------------------------------- queries

TEST_F(ContentContainerDatabaseTest, FilesListInByteOrder)
{
    const int64_t folder = Folder("/a/");
    for (const char* name : {"b", "Readme", "README", "a", "ab", "_", "\xC3\xA9"})
        File(folder, name);
    EXPECT_EQ(FileNames(folder), (std::vector<std::string>{"README", "Readme", "_", "a", "ab", "b", "\xC3\xA9"}));
    EXPECT_TRUE(FileNames(12345).empty());
    EXPECT_TRUE(FileNames(-1).empty());
}

TEST_F(ContentContainerDatabaseTest, FolderListSurvivesTheStatementsReset)
{
    Folder("/b/");
    Folder("/a/");
    FX::CSQLite3QueryPtr first;
    ASSERT_FALSE(db->QueryFolders(first).IsError());
    FX::CSQLite3QueryPtr second;
    ASSERT_FALSE(db->QueryFolders(second).IsError());
    std::vector<std::string> names;
    for (; !first->Eof(); first->NextRow())
        names.push_back(first->GetStringField("FolderName", ""));
    EXPECT_EQ(names, (std::vector<std::string>{"/a/", "/b/"}));
    EXPECT_FALSE(second->Eof());
}

TEST_F(ContentContainerDatabaseTest, QueryFileOnNullColumnsAndMissingNames)
{
    ASSERT_FALSE(db->Execute("INSERT INTO Files (FolderId, FileName) VALUES (7, 'bare');").IsError());
    int64_t id = -1;
    std::string metadata = "x";
    CTimeStamp updated = T(5);
    ASSERT_FALSE(db->QueryFile(7, "bare", id, metadata, updated).IsError());
    EXPECT_EQ(metadata, "");
    EXPECT_TRUE(updated.IsZero());
    CKoError error = db->QueryFile(8, "bare", id, metadata, updated);
    EXPECT_TRUE(FXErrorUtil::IsWin32(error, 1168));
    EXPECT_EQ(id, -1);
    ASSERT_EQ(error.Entries().size(), 1u);
    EXPECT_EQ(error.Entries()[0].message, "FolderId=[8], FileName=[bare]");
    EXPECT_EQ(error.Entries()[0].function, "CKoError CX::CContentContainerDatabase::QueryFile(int64_t, const string&, "
                                           "int64_t&, std::string&, CTimeStamp&)");
    EXPECT_TRUE(db->QueryFile(7, "BARE", id, metadata, updated).IsError());  // case-sensitive names
}

TEST_F(ContentContainerDatabaseTest, ReadOnlyDatabaseReadsButRefusesWrites)
{
    const int64_t folder = Folder("/a/");
    File(folder, "x");
    Open(true);
    int64_t found = -1;
    ASSERT_FALSE(db->QueryFolderId("/a/", found).IsError());
    EXPECT_EQ(FileNames(found), (std::vector<std::string>{"x"}));
    int64_t id = -1;
    EXPECT_TRUE(FXErrorUtil::IsSQLite(db->InsertFolder("/b/", "", T(1), id), SQLITE_READONLY));
}

}  // namespace
