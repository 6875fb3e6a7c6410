#include "ContentContainerDatabase.h"

#include "FXCriticalSection.h"
#include "FXPath.h"
#include "FXString.h"
#include "InsertFileQueue.h"
#include "LRUCache.h"
#include "LogWriter.h"
#include "PathCollation.h"
#include "SQLiteConnection.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>
#include <sys/stat.h>

#include <climits>
#include <optional>
#include <vector>

namespace CX {

namespace {

const char* const kFolderCollation = " COLLATE PATH_COMPONENTS";
const char* const kFolderCollationNoCase = " COLLATE PATH_COMPONENTS_NOCASE";
const char* const kFileCollationNoCase = " COLLATE NOCASE";

// The folder queue's temporary table has a name of its own: a temporary table
// named Folders would shadow the main one for every unqualified statement.
const char* const kFolderQueueTable = "temp.FolderQueue";

constexpr uint64_t kFolderCacheCapacity = 2000;
constexpr int kNewFilePageSize = 16384;
constexpr size_t kFlushThreshold = 1000;
// Never a row id SQLite assigns: marks "no insert happened" around an upsert.
constexpr int64_t kNoInsertedRow = INT64_MIN;

// Resets a statement when the operation that runs it ends, however it ends.
class ResetOnExit {
public:
    explicit ResetOnExit(const FX::CSQLite3StatementPtr& statement) : statement_(statement.get()) {}
    ~ResetOnExit()
    {
        if (statement_ != nullptr)
            statement_->Reset();
    }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

private:
    FX::CSQLite3Statement* statement_;
};

CKoError NotPrepared(const FXCodeLocation& location)
{
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_INVALID_HANDLE, "Statement not prepared");
}

// The folder collations stop at a NUL byte (and no path holds one), so two
// names that differ only after one would be taken for the same folder: such
// a name is refused rather than matched with another folder.
CKoError RefuseNul(const std::string& folderName, const FXCodeLocation& location)
{
    if (folderName.find('\0') == std::string::npos)
        return CKoError::Success();
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_INVALID_PARAMETER,
                                   "Folder name holds a NUL byte, FolderName=[%s]", folderName.c_str());
}

// No folder has an id below 0, and -1 means "no folder" to the lookups and
// the comparison: a file written under one would belong to no folder, and a
// comparison would miss its deletion.
CKoError RefuseNegativeFolderId(int64_t folderId, const std::string& fileName, const FXCodeLocation& location)
{
    if (folderId >= 0)
        return CKoError::Success();
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_INVALID_PARAMETER, "Folder id below 0, FolderId=[%lld], FileName=[%s]",
                                   static_cast<long long>(folderId), fileName.c_str());
}

// The folder name form: the caller's name when it ends with "/", else a copy
// with "/" appended. `normalised` receives the form used.
const std::string& FolderNameForm(const std::string& folderName, std::string& normalised)
{
    if (FXString::MatchRight(folderName, "/"))
        return folderName;
    normalised = folderName;
    FXPath::AppendTrailingDelimiter(normalised);  // cannot fail
    return normalised;
}

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

// Whether `file` is another program's database, judged on a connection in
// SQLite's immutable mode: it reads the file as it lies, takes no lock and
// creates nothing beside it. False whenever that cannot be told (no file, not
// a database, a read failure): the connection proper then decides.
bool IsForeignAsItLies(const std::string& file)
{
    const std::string uri = FX::detail::FileUri(file) + "?immutable=1";
    sqlite3* db = nullptr;
    bool foreign = false;
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, kForeignSchemaQuery, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            foreign = sqlite3_column_int(statement, 0) != 0;
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return foreign;
}

}  // namespace

class CContentContainerDatabasePrivate {
public:
    bool caseSensitive = true;
    FX::CSQLite3StatementPtr InsertFolderStatement;
    FX::CSQLite3StatementPtr InsertFolderQueueStatement;
    // A merge put the queue's folders in but could not end the queue: it is
    // ended before any use of the queue, as if the merge had.
    bool mergedQueueLeft = false;
    FX::CSQLite3StatementPtr InsertOrUpdateFileStatement;
    FX::CSQLite3StatementPtr UpdateFileMetadataStatement;
    FX::CSQLite3StatementPtr UpdateFolderMetadataStatement;
    FXCriticalSection folderLookupLock;
    FX::CSQLite3StatementPtr QueryFolderIdStatement;
    FX::CSQLite3StatementPtr QueryFolderStatement;
    FX::CSQLite3StatementPtr QueryFoldersStatement;
    FX::CSQLite3StatementPtr QueryFilesStatement;
    FX::CSQLite3StatementPtr QueryFileStatement;
    FX::CSQLite3StatementPtr QueryFileByFolderNameStatement;
    std::string lastFolderName;
    int64_t lastFolderId = -1;
    std::string lastFolderMetadata;
    // The connection's rollback count when the memo and the cache were last
    // known to hold only what the database holds; each is emptied when it
    // has moved on, so that no lookup answers a folder a rollback took away.
    uint64_t memoRollbacks = 0;
    uint64_t cacheRollbacks = 0;
    FXCriticalSection insertQueueLock;
    // The first insertQueueSize entries are queued; those past them keep
    // their buffers, so that a warm queue copies each entry without
    // allocating.
    std::vector<CInsertFileQueue> insertQueue;
    size_t insertQueueSize = 0;
    FXCriticalSection folderCacheLock;
    boost::shared_ptr<LRUCache<std::string, CFolderIdCacheElement>> folderIdCache;
    CKoError constructionError;

    const char* FolderCollation() const { return caseSensitive ? kFolderCollation : kFolderCollationNoCase; }
    const char* FileCollation() const { return caseSensitive ? "" : kFileCollationNoCase; }
};

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
    if (!file.empty() && stat(file.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_BAD_FORMAT,
                                       "Not a content container (not a regular file), DatabaseName=[%s]", file.c_str());
    // Another program's database is refused before anything writes to it or
    // beside it: judged first as the file lies, without a lock, a log or a
    // shared-memory file, which a connection to a file in WAL mode would
    // leave beside it when it opens read-only.
    if (!file.empty() && IsForeignAsItLies(file))
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_BAD_FORMAT, "Not a content container, DatabaseName=[%s]",
                                       file.c_str());

    CKoError error = CDatabaseBase::OpenDatabase();
    if (error.IsError())
        error = CDatabaseBase::OpenDatabase();
    if (error.IsError())
        return error.Push(FX_LOCATION);

    // The same judgement on the connection itself, which also sees what a log
    // beside the file holds. A file that is no database fails here too.
    int64_t foreignTables = 0;
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
    if (GetOpenMode() == OpenReadWrite && !QueryScalar("PRAGMA page_count;", pages, 0).IsError() && pages == 0)
        (void)Execute("PRAGMA page_size=" + std::to_string(kNewFilePageSize) + ";");

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

    // A read-only connection fails the first; the file keeps the mode it has.
    (void)Execute("PRAGMA journal_mode=WAL;");
    (void)Execute("PRAGMA synchronous=off;");

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

// ---------------------------------------------------------------- folder lookup

CKoError CContentContainerDatabase::InternalQueryFolderId(const string& folderName,
                                                          CFolderIdCacheElement& element)
{
    element.folderId = -1;
    element.metadata.clear();
    CKoError refused = RefuseNul(folderName, FX_LOCATION);
    if (refused.IsError())
        return refused;
    auto_lock lock(&d->folderLookupLock, true);
    const uint64_t rollbacks = GetRollbackCount();
    if (d->memoRollbacks != rollbacks) {
        d->lastFolderName.clear();
        d->lastFolderId = -1;
        d->lastFolderMetadata.clear();
        d->memoRollbacks = rollbacks;
    }

    // The memo answers only once it holds a folder found in the database.
    if (d->lastFolderId != -1 && FXPath::IsSamePathAs(folderName, d->lastFolderName)) {
        element.folderId = d->lastFolderId;
        element.metadata = d->lastFolderMetadata;
        return CKoError::Success();
    }
    if (!d->QueryFolderIdStatement)
        return NotPrepared(FX_LOCATION);

    std::string normalised;
    const std::string& messageName = FolderNameForm(folderName, normalised);
    ResetOnExit reset(d->QueryFolderIdStatement);
    FX::CSQLite3QueryPtr query;
    try {
        d->QueryFolderIdStatement->BindNoCopy(1, messageName);  // the query ends before messageName
        query = d->QueryFolderIdStatement->ExecQuery();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(FX_LOCATION, exception)
            .Push(FX_LOCATION, "FolderName=[%s]", messageName.c_str());
    }
    try {
        if (query->Eof())
            return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_FOUND, "FolderName=[%s]", messageName.c_str());
        element.folderId = query->GetInt64Field(0, -1);
        element.metadata = query->GetStringField(1, "");
        d->lastFolderName = messageName;
        d->lastFolderId = element.folderId;
        d->lastFolderMetadata = element.metadata;
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(FX_LOCATION, exception)
            .Push(FX_LOCATION, "FolderName=[%s]", messageName.c_str());
    }
    return CKoError::Success();
}

namespace {
// The cached lookup both QueryFolderId overloads share; `key` receives the
// folder name form looked up. `rollbacks` is the connection's rollback count.
CKoError CachedFolderLookup(CContentContainerDatabasePrivate& d, uint64_t rollbacks, const std::string& folderName,
                            std::string& key, CFolderIdCacheElement& element)
{
    std::string normalised;
    key = FolderNameForm(folderName, normalised);
    auto_lock lock(&d.folderCacheLock, true);
    if (d.cacheRollbacks != rollbacks) {
        d.folderIdCache->Clear();
        d.cacheRollbacks = rollbacks;
    }
    return d.folderIdCache->Get(key, element);
}
}  // namespace

CKoError CContentContainerDatabase::QueryFolderId(const string& folderName, int64_t& folderId)
{
    folderId = -1;
    std::string key;
    CFolderIdCacheElement element;
    CKoError error = CachedFolderLookup(*d, GetRollbackCount(), folderName, key, element);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    folderId = element.folderId;
    if (folderId == -1)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_FOUND, "FolderName=[%s]", key.c_str());
    return CKoError::Success();
}

CKoError CContentContainerDatabase::QueryFolderId(const string& folderName, int64_t& folderId,
                                                  std::string& metadata)
{
    folderId = -1;
    metadata.clear();
    std::string key;
    CFolderIdCacheElement element;
    CKoError error = CachedFolderLookup(*d, GetRollbackCount(), folderName, key, element);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    folderId = element.folderId;
    metadata = element.metadata;
    if (folderId == -1)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_FOUND, "FolderName=[%s]", key.c_str());
    return CKoError::Success();
}

// ---------------------------------------------------------------- folder writes

namespace {
// Runs one of the two metadata updates ("... SET Metadata=?2 WHERE ...Id=?1;").
CKoError SetMetadata(const FX::CSQLite3StatementPtr& statement, int64_t id, const std::string& metadata, int& changed,
                     const FXCodeLocation& location)
{
    changed = 0;
    if (!statement)
        return NotPrepared(location);
    ResetOnExit reset(statement);
    try {
        statement->Bind(1, static_cast<long long>(id));
        statement->BindNoCopy(2, metadata);  // outlives the run and the reset
        changed = statement->ExecDML();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(location, exception).Push(location);
    }
    return CKoError::Success();
}

// Binds name (in folder name form), metadata and time, and inserts one row.
CKoError InsertFolderRow(FX::CDatabaseBase& database, const FX::CSQLite3StatementPtr& statement,
                         const std::string& folderName, const std::string& metadata, CTimeStamp time,
                         int64_t& rowId, const FXCodeLocation& location)
{
    rowId = -1;
    CKoError refused = RefuseNul(folderName, location);
    if (refused.IsError())
        return refused;
    std::string normalised;
    const std::string& messageName = FolderNameForm(folderName, normalised);
    if (!statement)
        return NotPrepared(location).Push(location, "FolderName=[%s]", messageName.c_str());
    ResetOnExit reset(statement);
    try {
        statement->BindNoCopy(1, messageName);  // both outlive the reset below
        statement->BindNoCopy(2, metadata);
        statement->Bind(3, static_cast<long long>(time.GetSystemTime()));
        if (statement->ExecDML() > 0)
            rowId = database.GetLastInsertRowId();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(location, exception).Push(location, "FolderName=[%s]", messageName.c_str());
    }
    return CKoError::Success();
}
}  // namespace

CKoError CContentContainerDatabase::InsertFolder(const string& folderName, const string& metadata,
                                                 CTimeStamp time, int64_t& folderId)
{
    return InsertFolderRow(*this, d->InsertFolderStatement, folderName, metadata, time, folderId, FX_LOCATION);
}

CKoError CContentContainerDatabase::QueryOrInsertFolder(const string& folderName, const string& metadata,
                                                        CTimeStamp time, int64_t& folderId)
{
    FX::CDatabaseTransaction transaction(this, 0);
    CFolderIdCacheElement element;
    if (!InternalQueryFolderId(folderName, element).IsError()) {
        folderId = element.folderId;
        return CKoError::Success();
    }
    CKoError error = InsertFolder(folderName, metadata, time, element.folderId);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    element.metadata = metadata;
    {
        auto_lock lock(&d->folderCacheLock, true);
        (void)d->folderIdCache->Put(folderName, element);  // cannot fail
    }
    folderId = element.folderId;
    return CKoError::Success();
}

CKoError CContentContainerDatabase::UpdateFolderMetadata(int64_t folderId, const string& metadata)
{
    int changed = 0;
    CKoError error = SetMetadata(d->UpdateFolderMetadataStatement, folderId, metadata, changed, FX_LOCATION);
    if (error.IsError())
        return error;
    // Keep the cache and the memo true to the row.
    if (changed > 0 && folderId != -1) {
        auto_lock cacheLock(&d->folderCacheLock, true);
        d->folderIdCache->ForEach([&](const std::string&, CFolderIdCacheElement& element) {
            if (element.folderId == folderId)
                element.metadata = metadata;
        });
        auto_lock lookupLock(&d->folderLookupLock, true);
        if (d->lastFolderId == folderId)
            d->lastFolderMetadata = metadata;
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::OpenFolderQueue()
{
    CKoError error = EndMergedQueue();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    const std::string definition = std::string("(FolderId INTEGER PRIMARY KEY, FolderName VARCHAR") +
                                   d->FolderCollation() +
                                   ", Metadata VARCHAR, RecordCreateTime BIGINT, RecordUpdateTime BIGINT)";
    error = CreateTable(kFolderQueueTable, definition);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    error = Execute("CREATE UNIQUE INDEX IF NOT EXISTS temp.index_folderqueue_foldername ON FolderQueue(FolderName);");
    if (error.IsError())
        return error.Push(FX_LOCATION);
    error = CompileStatement(std::string("INSERT INTO temp.FolderQueue ") +
                                 "(FolderName, Metadata, RecordCreateTime, RecordUpdateTime) VALUES (?1, ?2, ?3, ?3);",
                             d->InsertFolderQueueStatement);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    return CKoError::Success();
}

CKoError CContentContainerDatabase::AddFolderToQueue(const string& folderName, const string& metadata,
                                                     CTimeStamp time, int64_t& queueRowId)
{
    queueRowId = -1;
    CKoError error = EndMergedQueue();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    return InsertFolderRow(*this, d->InsertFolderQueueStatement, folderName, metadata, time, queueRowId,
                           FX_LOCATION);
}

CKoError CContentContainerDatabase::MergeFolderQueue()
{
    CKoError error = EndMergedQueue();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    {
        // The copy commits on its own: a transaction that also ended the
        // queue would commit the container first and the temporary database
        // second, and could fail after the folders went in. Then the queue
        // would keep folders already copied, and every later merge would fail
        // on their unique names.
        FX::CDatabaseTransaction transaction(this, 0);
        if (transaction.GetBeginError().IsError())
            return CKoError(transaction.GetBeginError()).Push(FX_LOCATION);
        error = Execute("INSERT INTO main.Folders(FolderName, Metadata, RecordCreateTime, RecordUpdateTime) "
                        "SELECT FolderName, Metadata, RecordCreateTime, RecordUpdateTime "
                        "FROM temp.FolderQueue WHERE true;");
        if (error.IsError())
            return error.Push(FX_LOCATION);
        error = transaction.Commit();
        if (error.IsError())
            return error.Push(FX_LOCATION);
    }
    // The folders are in and the merge is done. Ending the queue only touches
    // the temporary database; when it fails it is done before the queue's
    // next use.
    d->mergedQueueLeft = true;
    error = EndMergedQueue();
    if (error.IsError())
        FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, "The merged folder queue is left until its next use, error=%s",
                   error.AsString().c_str());
    return CKoError::Success();
}

CKoError CContentContainerDatabase::EndMergedQueue()
{
    if (!d->mergedQueueLeft)
        return CKoError::Success();
    CKoError error = EndFolderQueue();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    d->mergedQueueLeft = false;
    return CKoError::Success();
}

CKoError CContentContainerDatabase::EndFolderQueue()
{
    // Its own transaction, so that a failure here leaves the queue whole and
    // does not count against a transaction the host holds open.
    FX::CDatabaseTransaction transaction(this, 0);
    if (transaction.GetBeginError().IsError())
        return CKoError(transaction.GetBeginError()).Push(FX_LOCATION);
    CKoError error = Execute("DELETE FROM temp.FolderQueue;");
    if (error.IsError())
        return error.Push(FX_LOCATION);
    error = DeleteTable(kFolderQueueTable);
    if (error.IsError()) {
        transaction.Rollback();
        return error.Push(FX_LOCATION);
    }
    error = transaction.Commit();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    return CKoError::Success();
}

// ---------------------------------------------------------------- file writes

CKoError CContentContainerDatabase::InsertOrUpdateFile(int64_t folderId, const string& fileName,
                                                       const string& metadata, CTimeStamp time, int64_t& fileId)
{
    fileId = -1;
    CKoError refused = RefuseNegativeFolderId(folderId, fileName, FX_LOCATION);
    if (refused.IsError())
        return refused;
    if (!d->InsertOrUpdateFileStatement)
        return NotPrepared(FX_LOCATION);
    ResetOnExit reset(d->InsertOrUpdateFileStatement);
    try {
        d->InsertOrUpdateFileStatement->Bind(1, static_cast<long long>(folderId));
        // The caller's texts outlive the run and the reset at the end of scope.
        d->InsertOrUpdateFileStatement->BindNoCopy(2, fileName);
        d->InsertOrUpdateFileStatement->BindNoCopy(3, metadata);
        d->InsertOrUpdateFileStatement->Bind(4, static_cast<long long>(time.GetSystemTime()));
        SetLastInsertRowId(kNoInsertedRow);
        if (d->InsertOrUpdateFileStatement->ExecDML() > 0) {
            const int64_t inserted = GetLastInsertRowId();
            if (inserted != kNoInsertedRow) {
                fileId = inserted;
            } else {
                // The upsert updated an existing row, which leaves the
                // connection's last insert alone: read the row's own id.
                ResetOnExit resetLookup(d->QueryFileStatement);
                if (!d->QueryFileStatement)
                    return NotPrepared(FX_LOCATION);
                d->QueryFileStatement->Bind(1, static_cast<long long>(folderId));
                d->QueryFileStatement->Bind(2, fileName);
                FX::CSQLite3QueryPtr query = d->QueryFileStatement->ExecQuery();
                if (!query->Eof())
                    fileId = query->GetInt64Field(0, -1);
            }
        }
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(FX_LOCATION, exception).Push(FX_LOCATION);
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::UpdateFileMetadata(int64_t fileId, const string& metadata)
{
    int changed = 0;
    return SetMetadata(d->UpdateFileMetadataStatement, fileId, metadata, changed, FX_LOCATION);
}

CKoError CContentContainerDatabase::QueueInsertOrUpdateFile(int64_t folderId, const string& fileName,
                                                            const string& metadata, CTimeStamp time)
{
    CKoError refused = RefuseNegativeFolderId(folderId, fileName, FX_LOCATION);
    if (refused.IsError())
        return refused;
    bool flush = false;
    {
        auto_lock lock(&d->insertQueueLock, true);
        if (d->insertQueueSize < d->insertQueue.size()) {
            CInsertFileQueue& entry = d->insertQueue[d->insertQueueSize];
            entry.folderId = folderId;
            entry.fileName.assign(fileName);
            entry.metadata.assign(metadata);
            entry.recordTime = time;
        } else {
            d->insertQueue.emplace_back(folderId, fileName, metadata, time);
        }
        flush = ++d->insertQueueSize >= kFlushThreshold;
    }
    if (flush) {
        CKoError error = FlushQueue();
        if (error.IsError())
            return error.Push(FX_LOCATION);
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::FlushQueue()
{
    auto_lock lock(&d->insertQueueLock, true);
    FX::CDatabaseTransaction transaction(this, 0);
    if (transaction.GetBeginError().IsError())
        return CKoError(transaction.GetBeginError()).Push(FX_LOCATION);
    for (size_t i = 0; i < d->insertQueueSize; ++i) {
        const CInsertFileQueue& entry = d->insertQueue[i];
        int64_t fileId = -1;
        CKoError error = InsertOrUpdateFile(entry.folderId, entry.fileName, entry.metadata, entry.recordTime, fileId);
        if (error.IsError())
            return error.Push(FX_LOCATION);  // the transaction rolls back; every entry stays queued
    }
    CKoError error = transaction.Commit();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    d->insertQueueSize = 0;
    return CKoError::Success();
}

size_t CContentContainerDatabase::GetQueuedFileCount() const
{
    auto_lock lock(&d->insertQueueLock, true);
    return d->insertQueueSize;
}

// ---------------------------------------------------------------- queries

CKoError CContentContainerDatabase::QueryFolders(FX::CSQLite3QueryPtr& query)
{
    if (!d->QueryFoldersStatement)
        return NotPrepared(FX_LOCATION);
    ResetOnExit reset(d->QueryFoldersStatement);
    try {
        query = d->QueryFoldersStatement->ExecQuery();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(FX_LOCATION, exception).Push(FX_LOCATION);
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::QueryFiles(int64_t folderId, FX::CSQLite3QueryPtr& query)
{
    if (!d->QueryFilesStatement)
        return NotPrepared(FX_LOCATION).Push(FX_LOCATION, "FolderId=[%lld]", static_cast<long long>(folderId));
    try {
        d->QueryFilesStatement->Bind(1, static_cast<long long>(folderId));
        query = d->QueryFilesStatement->ExecQuery();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(FX_LOCATION, exception)
            .Push(FX_LOCATION, "FolderId=[%lld]", static_cast<long long>(folderId));
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::QueryFile(int64_t folderId, const string& fileName, int64_t& fileId,
                                              std::string& metadata, CTimeStamp& updateTime)
{
    fileId = -1;
    metadata.clear();
    updateTime.Clear();
    const auto id = static_cast<long long>(folderId);
    if (!d->QueryFileStatement)
        return NotPrepared(FX_LOCATION).Push(FX_LOCATION, "FolderId=[%lld], FileName=[%s]", id, fileName.c_str());
    ResetOnExit reset(d->QueryFileStatement);
    FX::CSQLite3QueryPtr query;
    try {
        d->QueryFileStatement->Bind(1, id);
        d->QueryFileStatement->Bind(2, fileName);
        query = d->QueryFileStatement->ExecQuery();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(FX_LOCATION, exception)
            .Push(FX_LOCATION, "FolderId=[%lld], FileName=[%s]", id, fileName.c_str());
    }
    try {
        if (query->Eof())
            return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_NOT_FOUND, "FolderId=[%lld], FileName=[%s]", id,
                                           fileName.c_str());
        fileId = query->GetInt64Field("FileId", -1);
        metadata = query->GetStringField("Metadata", "");
        updateTime = CTimeStamp::FromSystemTime(query->GetInt64Field("RecordUpdateTime", 0));
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(FX_LOCATION, exception)
            .Push(FX_LOCATION, "FolderId=[%lld], FileName=[%s]", id, fileName.c_str());
    }
    return CKoError::Success();
}

}  // namespace CX
