// CContentContainerDatabase: opening, the schema and the statements. Finding
// and writing folders is in ContentContainerDatabaseFolders.cpp, writing
// files and the listings in ContentContainerDatabaseFiles.cpp.
#include "ContentContainerDatabase.h"

#include "ContentContainerDatabasePrivate.h"
#include "LogWriter.h"
#include "PathCollation.h"
#include "SQLiteConnection.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>
#include <sys/stat.h>

#include <climits>
#include <optional>
#include <utility>
#include <vector>

namespace CX {

using namespace database;

namespace {

constexpr uint64_t kFolderCacheCapacity = 2000;
constexpr int kNewFilePageSize = 16384;

// 1 for another program's database, which no open mode may take: one with
// tables but neither of ours, or one of our tables without the columns the
// statements use, spelled as the listings look them up (the storage table is
// the wrapper's). An empty database becomes a container, and so does one
// with only the storage table, which a creation cut short leaves behind.
const char* const kForeignSchemaQuery =
    "WITH t(name) AS (SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\') "
    "SELECT ((SELECT COUNT(*) FROM t WHERE name COLLATE NOCASE IN ('Folders','Files')) = 0 "
    "AND (SELECT COUNT(*) FROM t WHERE name COLLATE NOCASE NOT IN ('Folders','Files','Storage')) > 0) "
    "OR (EXISTS (SELECT 1 FROM t WHERE name COLLATE NOCASE = 'Folders') AND (SELECT COUNT(*) FROM "
    "pragma_table_info('Folders') WHERE name IN "
    "('FolderId','FolderName','Metadata','RecordCreateTime','RecordUpdateTime')) < 5) "
    "OR (EXISTS (SELECT 1 FROM t WHERE name COLLATE NOCASE = 'Files') AND (SELECT COUNT(*) FROM "
    "pragma_table_info('Files') WHERE name IN "
    "('FileId','FolderId','FileName','Metadata','RecordCreateTime','RecordUpdateTime')) < 6) "
    "OR (EXISTS (SELECT 1 FROM t WHERE name COLLATE NOCASE = 'Storage') AND (SELECT COUNT(*) FROM "
    "pragma_table_info('Storage') WHERE name IN ('Key','Value')) < 2);";

// What a file holds, judged on a connection in SQLite's immutable mode: it
// reads the file as it lies, takes no lock and creates nothing beside it.
enum class AsItLies {
    Ours,     // a container, or a database that becomes one
    Foreign,  // another program's database
    Unknown,  // cannot be told (not a database, a read failure): the connection proper decides
};

AsItLies JudgeAsItLies(const std::string& file)
{
    const std::string uri = FX::detail::FileUri(file) + "?immutable=1";
    sqlite3* db = nullptr;
    AsItLies judged = AsItLies::Unknown;
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, kForeignSchemaQuery, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            judged = sqlite3_column_int(statement, 0) != 0 ? AsItLies::Foreign : AsItLies::Ours;
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return judged;
}

// Whether a log that holds anything lies beside `file`: its content a
// connection sees and an immutable one does not. An empty one adds nothing,
// and the connection to a file in WAL mode makes one as it opens.
bool LogBeside(const std::string& file)
{
    struct stat status {};
    return (stat((file + "-wal").c_str(), &status) == 0 && status.st_size != 0) ||
           (stat((file + "-journal").c_str(), &status) == 0 && status.st_size != 0);
}

// How many of the six objects of a container's schema the file holds.
const char* const kWholeSchemaQuery =
    "SELECT COUNT(*) FROM sqlite_master WHERE (type='table' AND name IN ('Storage','Folders','Files')) "
    "OR (type='index' AND name IN ('index_folders_foldername','index_files_folderidfilename')) "
    "OR (type='view' AND name='FullyQualifiedFiles');";

}  // namespace


// ---------------------------------------------------------------- lifecycle

CContentContainerDatabase::CContentContainerDatabase(const string& fileName, bool readOnly)
    : FX::CDatabaseWithStorage(readOnly ? OpenReadOnly : OpenReadWrite),
      d(boost::make_shared<CContentContainerDatabasePrivate>())
{
    std::string directory;
    std::string name;
    FXPath::SplitParentPath(fileName, directory, name);  // an empty name shows up as an open failure
    SetDatabasePath(directory);
    SetDatabaseName(name);

    const struct {
        CKoError (CContentContainerDatabase::*step)();
        const char* format;
    } steps[] = {
        {&CContentContainerDatabase::OpenDatabase, "OpenDatabase failed, error=%s"},
        {&CContentContainerDatabase::RegisterCallbacks, "RegisterCallbacks failed, error=%s"},
        {&CContentContainerDatabase::CreateTables, "CreateTables failed, error=%s"},
        {&CContentContainerDatabase::CreateFunctions, "CreateFunctions failed, error=%s"},
        {&CContentContainerDatabase::CreateStatements, "CreateStatements failed, error=%s"},
    };
    // A read-only open takes the file as it is: what CreateTables could not
    // add to it (the storage table, the view) is only logged, and the file is
    // read without it. Its failure still counts as the cause when a later
    // step fails, as on a file without the tables the statements read.
    CKoError schemaError;
    for (const auto& step : steps) {
        CKoError error = (this->*step.step)();
        if (!error.IsError())
            continue;
        FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, step.format, error.AsString().c_str());
        if (readOnly && step.step == &CContentContainerDatabase::CreateTables) {
            schemaError = error;
            continue;
        }
        if (!d->constructionError.IsError())
            d->constructionError = schemaError.IsError() ? schemaError : error;
    }

    d->folderIdCache = boost::make_shared<LRUCache<std::string, CFolderIdCacheElement>>(
        static_cast<uint64_t>(static_cast<int>(kFolderCacheCapacity)),
        [this](const string& key, CFolderIdCacheElement& element) -> CKoError {
            element.folderId = -1;
            element.metadata.clear();
            CKoError error = InternalQueryFolderId(key, element);
            if (error.IsError())
                return error.Push(FX_LOCATION);
            return CKoError::Success();
        });
    d->memoRollbacks = d->cacheRollbacks = GetRollbackCount();
}

CContentContainerDatabase::~CContentContainerDatabase()
{
    // Queued writes are the caller's data: write them rather than drop them.
    if (GetQueuedFileCount() != 0) {
        CKoError error = FlushQueue();
        if (error.IsError())
            FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, "FlushQueue failed, error=%s", error.AsString().c_str());
    }
}

CKoError CContentContainerDatabase::OpenDatabase()
{
    if (IsOpen())
        return CKoError::Success();

    // Only a regular file (or none yet) can be a container. SQLite would wait
    // forever on a FIFO for a writer, and read a device as it came.
    const std::string file = GetFullDatabaseName();
    struct stat status {};
    const bool exists = !file.empty() && stat(file.c_str(), &status) == 0;
    if (exists && !S_ISREG(status.st_mode))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_BAD_FORMAT,
                                       "Not a content container (not a regular file), DatabaseName=[%s]", file.c_str());
    // Another program's database is refused before anything writes to it or
    // beside it: judged first as the file lies, without a lock, a log or a
    // shared-memory file, which a connection to a file in WAL mode would
    // leave beside it when it opens read-only.
    // An empty file, or none, holds no database at all.
    const AsItLies judged = exists && status.st_size != 0 ? JudgeAsItLies(file) : AsItLies::Ours;
    if (judged == AsItLies::Foreign)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_BAD_FORMAT, "Not a content container, DatabaseName=[%s]",
                                       file.c_str());
    // Looked at before the connection opens: its first statement rolls a hot
    // journal back, after which nothing beside the file tells that what it
    // holds is no longer what was judged.
    const bool logBeside = LogBeside(file);

    CKoError error = CDatabaseBase::OpenDatabase();
    if (error.IsError())
        error = CDatabaseBase::OpenDatabase();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    // A container is written without waiting for the disk (CreateTables says
    // so again for every connection); the schema it gets below is no exception.
    (void)Execute("PRAGMA synchronous=off;");

    // The same judgement on the connection itself, which also sees what a log
    // beside the file holds. A file that is no database fails here too. With
    // no log beside a file judged ours, the connection sees what was judged.
    int64_t foreignTables = 0;
    if (judged != AsItLies::Ours || logBeside)
        error = QueryScalar(kForeignSchemaQuery, foreignTables, 0);
    if (error.IsError() || foreignTables != 0) {
        if (!error.IsError())
            error = FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_BAD_FORMAT,
                                            "Not a content container, DatabaseName=[%s]",
                                            GetFullDatabaseName().c_str());
        CloseDatabase();
        return error.Push(FX_LOCATION);
    }

    // A new file gets pages larger than SQLite's default: a container is
    // written and read in long runs of rows, which then take a quarter of
    // the reads and writes. The first table fixes the size for good.
    int64_t pages = 0;
    if (GetOpenMode() == OpenReadWrite && !QueryScalar("PRAGMA page_count;", pages, 0).IsError() && pages == 0) {
        (void)Execute("PRAGMA page_size=" + std::to_string(kNewFilePageSize) + ";");
        // Its storage table comes with the rest of the schema (CreateTables).
        d->newFile = true;
        return CKoError::Success();
    }

    error = CreateStorageTables();
    if (!error.IsError())
        return CKoError::Success();
    if (FXErrorUtil::IsWin32(error, KO_ERROR_STORAGE_UNAVAILABLE)) {
        error = CloseDatabase();
        if (error.IsError())
            return error.Push(FX_LOCATION);
        error = CDatabaseBase::OpenDatabase();
        if (error.IsError())
            return error.Push(FX_LOCATION);
        return CKoError::Success();
    }
    return error.Push(FX_LOCATION);
}

int CContentContainerDatabase::ProgressHandler() { return 0; }

CKoError CContentContainerDatabase::RegisterCallbacks()
{
    RegisterCollationNeededHandler([this](int encoding, const string& name) {
        if (FXString::MatchesNoCase(name, "PATH_COMPONENTS")) {
            if (FXGetTraceLevel() > 0)
                FXLogWrite(1, __PRETTY_FUNCTION__, __LINE__, "Registering PATH_COMPONENTS");
            RegisterCollationHandler(encoding, name, &sqlite_collation_bypath);
        } else if (FXString::MatchesNoCase(name, "PATH_COMPONENTS_NOCASE")) {
            if (FXGetTraceLevel() > 0)
                FXLogWrite(1, __PRETTY_FUNCTION__, __LINE__, "Registering PATH_COMPONENTS_NOCASE");
            RegisterCollationHandler(encoding, name, &sqlite_collation_bypath_nocase);
        }
    });
    return CKoError::Success();
}

CKoError CContentContainerDatabase::CreateTables()
{
    std::optional<RMDebugFunction> trace;
    if (FXGetTraceLevel() > 3)
        trace.emplace(g_ptrLogWriter, 2, __PRETTY_FUNCTION__, __LINE__, 4, 0, 0xFFFFFFFF, "DatabaseName=[%s]",
                      GetFullDatabaseName().c_str());

    // Without waiting for the disk, even while the journal mode is changed. A
    // read-only connection cannot change that; the file keeps the mode it has.
    (void)Execute("PRAGMA synchronous=off;");
    // A new file gets its whole schema in one transaction, and the log after
    // it: one journal written and removed instead of six commits to the log,
    // each with its locks (0.3 ms of a new container's 0.6).
    const bool newFile = std::exchange(d->newFile, false);
    // It begins as a writer: one that read first could not wait for another
    // program making the same container, and would fail at once.
    std::optional<FX::CDatabaseTransaction> schema;
    if (newFile) {
        schema.emplace(this, 1);
        if (schema->GetBeginError().IsError())
            return CKoError(schema->GetBeginError()).Push(FX_LOCATION);
    } else {
        (void)Execute("PRAGMA journal_mode=WAL;");
        // A container opened again holds the whole schema: one look at it saves
        // preparing every statement below only to find that there is nothing to do.
        int64_t present = 0;
        if (!QueryScalar(kWholeSchemaQuery, present, 0).IsError() && present == 6)
            return CKoError::Success();
    }

    // A read-only file without the storage table is read without it; the
    // rest of the schema is still seen to. The first failure is answered.
    CKoError storageError = CreateStorageTables();
    if (storageError.IsError() && GetOpenMode() != OpenReadOnly)
        return storageError.Push(FX_LOCATION, "CreateStorageTables failed");

    const std::string folderCollation = d->FolderCollation();
    const std::string fileCollation = d->FileCollation();
    CKoError error = CreateTable("Folders", "(FolderId INTEGER PRIMARY KEY, FolderName VARCHAR" + folderCollation +
                                                ", Metadata VARCHAR, RecordCreateTime BIGINT, RecordUpdateTime BIGINT)");
    if (!error.IsError())
        error = Execute("CREATE UNIQUE INDEX IF NOT EXISTS index_folders_foldername ON Folders(FolderName);");
    if (!error.IsError())
        error = CreateTable("Files", "(FileId INTEGER PRIMARY KEY, FolderId INTEGER, FileName VARCHAR" + fileCollation +
                                         ", Metadata VARCHAR, RecordCreateTime BIGINT, RecordUpdateTime BIGINT)");
    if (!error.IsError())
        error = Execute("CREATE UNIQUE INDEX IF NOT EXISTS index_files_folderidfilename ON Files(FolderId,FileName);");
    const std::string view = "SELECT FolderName||FileName" + folderCollation +
                             " AS FullyQualifiedName,Folders.FolderId,Files.FileId,FolderName" + folderCollation +
                             ",FileName" + fileCollation +
                             ",Folders.Metadata AS FolderMetadata,Files.Metadata AS FileMetadata,"
                             "Folders.RecordCreateTime AS FolderRecordCreateTime,"
                             "Folders.RecordUpdateTime AS FolderRecordUpdateTime,"
                             "Files.RecordCreateTime AS FileRecordCreateTime,"
                             "Files.RecordUpdateTime AS FileRecordUpdateTime "
                             "FROM Files LEFT JOIN Folders ON Folders.FolderId=Files.FolderId";
    if (!error.IsError()) {
        error = CreateView("FullyQualifiedFiles", view);
        // A read-only file without the view gets one of the connection's own,
        // for the walks that read through it; the file is not touched.
        if (error.IsError() && GetOpenMode() == OpenReadOnly && !CreateView("temp.FullyQualifiedFiles", view).IsError())
            error = CKoError::Success();
    }
    if (storageError.IsError())
        return storageError.Push(FX_LOCATION, "CreateStorageTables failed");
    if (error.IsError())
        return error.Push(FX_LOCATION);
    if (schema) {
        error = schema->Commit();
        if (error.IsError())
            return error.Push(FX_LOCATION);
        (void)Execute("PRAGMA journal_mode=WAL;");
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::CreateFunctions() { return CKoError::Success(); }

CKoError CContentContainerDatabase::CreateStatements()
{
    const struct {
        FX::CSQLite3StatementPtr CContentContainerDatabasePrivate::*member;
        std::string sql;
    } statements[] = {
        {&CContentContainerDatabasePrivate::InsertFolderStatement,
         std::string("INSERT INTO Folders ") +
             "(FolderName, Metadata, RecordCreateTime, RecordUpdateTime) VALUES (?1, ?2, ?3, ?3);"},
        {&CContentContainerDatabasePrivate::InsertOrUpdateFileStatement,
         std::string("INSERT INTO Files ") +
             "(FolderId, FileName, Metadata, RecordCreateTime, RecordUpdateTime) VALUES (?1, ?2, ?3, ?4, ?4) "
             "ON CONFLICT(FolderId,FileName) DO UPDATE SET Metadata=excluded.Metadata, "
             "RecordUpdateTime=excluded.RecordUpdateTime;"},
        {&CContentContainerDatabasePrivate::UpdateFileMetadataStatement,
         "UPDATE Files SET Metadata=?2 WHERE FileId=?1;"},
        {&CContentContainerDatabasePrivate::UpdateFolderMetadataStatement,
         "UPDATE Folders SET Metadata=?2 WHERE FolderId=?1;"},
        {&CContentContainerDatabasePrivate::QueryFolderIdStatement,
         "SELECT FolderId, Metadata FROM Folders WHERE Folders.FolderName=?1;"},
        {&CContentContainerDatabasePrivate::QueryFolderStatement, "SELECT * FROM Folders WHERE Folders.FolderName=?1;"},
        {&CContentContainerDatabasePrivate::QueryFoldersStatement, "SELECT * FROM Folders ORDER BY Folders.FolderName;"},
        {&CContentContainerDatabasePrivate::QueryFilesStatement, "SELECT * FROM Files WHERE Files.FolderId=?;"},
        {&CContentContainerDatabasePrivate::QueryFileByFolderNameStatement,
         "SELECT * FROM Files LEFT JOIN Folders ON Folders.FolderId=Files.FolderId "
         "WHERE Folders.FolderName=?1 AND Files.FileName=?2;"},
        {&CContentContainerDatabasePrivate::QueryFileStatement,
         "SELECT * FROM Files WHERE Files.FolderId=?1 AND Files.FileName=?2;"},
    };
    for (const auto& statement : statements) {
        CKoError error = CompileStatement(statement.sql, (*d).*statement.member);
        if (error.IsError())
            return error.Push(FX_LOCATION);
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::DeleteStatements()
{
    d->InsertFolderStatement.reset();
    d->InsertFolderQueueStatement.reset();
    d->InsertOrUpdateFileStatement.reset();
    d->UpdateFileMetadataStatement.reset();
    d->UpdateFolderMetadataStatement.reset();
    d->QueryFolderIdStatement.reset();
    d->QueryFolderStatement.reset();
    d->QueryFoldersStatement.reset();
    d->QueryFilesStatement.reset();
    d->QueryFileStatement.reset();
    d->QueryFileByFolderNameStatement.reset();
    return CKoError::Success();
}

const CKoError& CContentContainerDatabase::GetConstructionError() const { return d->constructionError; }

CKoError CContentContainerDatabase::ConstructionErrorOr(const CKoError& error) const
{
    return d->constructionError.IsError() ? d->constructionError : error;
}

bool CContentContainerDatabase::IsCaseSensitive() const { return d->caseSensitive; }

int CContentContainerDatabase::CompareFolderName(const string& a, const string& b) const
{
    const auto la = static_cast<int32_t>(a.size());
    const auto lb = static_cast<int32_t>(b.size());
    return d->caseSensitive ? sqlite_collation_bypath(nullptr, la, a.data(), lb, b.data())
                            : sqlite_collation_bypath_nocase(nullptr, la, a.data(), lb, b.data());
}

}  // namespace CX
