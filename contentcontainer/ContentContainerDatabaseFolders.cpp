// CContentContainerDatabase: finding folders (through the cache and the
// memo of the last folder) and writing them, directly or through the queue.
#include "ContentContainerDatabasePrivate.h"

#include "LogWriter.h"
#include "SQLiteConnection.h"

#include <climits>

namespace CX {

using namespace database;

namespace {
// The folder queue's temporary table has a name of its own: a temporary table
// named Folders would shadow the main one for every unqualified statement.
const char* const kFolderQueueTable = "temp.FolderQueue";
}  // namespace

// ---------------------------------------------------------------- folder lookup

CKoError CContentContainerDatabase::InternalQueryFolderId(const string& folderName,
                                                          CFolderIdCacheElement& element)
{
    element.folderId = -1;
    element.metadata.clear();
    CKoError refused = RefuseNul(folderName, CX_DATABASE_LOCATION);
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
        return NotPrepared(CX_DATABASE_LOCATION);

    std::string normalised;
    const std::string& messageName = FolderNameForm(folderName, normalised);
    ResetOnExit reset(d->QueryFolderIdStatement);
    FX::CSQLite3QueryPtr query;
    try {
        d->QueryFolderIdStatement->BindNoCopy(1, messageName);  // the query ends before messageName
        query = d->QueryFolderIdStatement->ExecQuery();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(CX_DATABASE_LOCATION, exception)
            .Push(CX_DATABASE_LOCATION, "FolderName=[%s]", messageName.c_str());
    }
    try {
        if (query->Eof())
            return FXErrorUtil::ErrorWin32(CX_DATABASE_LOCATION, KO_ERROR_NOT_FOUND, "FolderName=[%s]", messageName.c_str());
        element.folderId = query->GetInt64Field(0, -1);
        element.metadata = query->GetStringField(1, "");
        d->lastFolderName = messageName;
        d->lastFolderId = element.folderId;
        d->lastFolderMetadata = element.metadata;
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(CX_DATABASE_LOCATION, exception)
            .Push(CX_DATABASE_LOCATION, "FolderName=[%s]", messageName.c_str());
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
        return error.Push(CX_DATABASE_LOCATION);
    folderId = element.folderId;
    if (folderId == -1)
        return FXErrorUtil::ErrorWin32(CX_DATABASE_LOCATION, KO_ERROR_NOT_FOUND, "FolderName=[%s]", key.c_str());
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
        return error.Push(CX_DATABASE_LOCATION);
    folderId = element.folderId;
    metadata = element.metadata;
    if (folderId == -1)
        return FXErrorUtil::ErrorWin32(CX_DATABASE_LOCATION, KO_ERROR_NOT_FOUND, "FolderName=[%s]", key.c_str());
    return CKoError::Success();
}

// ---------------------------------------------------------------- folder writes

namespace {
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
    CKoError error =
        InsertFolderRow(*this, d->InsertFolderStatement, folderName, metadata, time, folderId, CX_DATABASE_LOCATION);
    if (!error.IsError())
        NoteFolderExists(folderId);
    return error;
}

CKoError CContentContainerDatabase::QueryOrInsertFolder(const string& folderName, const string& metadata,
                                                        CTimeStamp time, int64_t& folderId)
{
    FX::CDatabaseTransaction transaction(this, 0);
    CFolderIdCacheElement element;
    if (!InternalQueryFolderId(folderName, element).IsError()) {
        folderId = element.folderId;
        NoteFolderExists(folderId);
        return CKoError::Success();
    }
    CKoError error = InsertFolder(folderName, metadata, time, element.folderId);
    if (error.IsError())
        return error.Push(CX_DATABASE_LOCATION);
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
    CKoError error = SetMetadata(d->UpdateFolderMetadataStatement, folderId, metadata, changed, CX_DATABASE_LOCATION);
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
        return error.Push(CX_DATABASE_LOCATION);
    const std::string definition = std::string("(FolderId INTEGER PRIMARY KEY, FolderName VARCHAR") +
                                   d->FolderCollation() +
                                   ", Metadata VARCHAR, RecordCreateTime BIGINT, RecordUpdateTime BIGINT)";
    error = CreateTable(kFolderQueueTable, definition);
    if (error.IsError())
        return error.Push(CX_DATABASE_LOCATION);
    error = Execute("CREATE UNIQUE INDEX IF NOT EXISTS temp.index_folderqueue_foldername ON FolderQueue(FolderName);");
    if (error.IsError())
        return error.Push(CX_DATABASE_LOCATION);
    error = CompileStatement(std::string("INSERT INTO temp.FolderQueue ") +
                                 "(FolderName, Metadata, RecordCreateTime, RecordUpdateTime) VALUES (?1, ?2, ?3, ?3);",
                             d->InsertFolderQueueStatement);
    if (error.IsError())
        return error.Push(CX_DATABASE_LOCATION);
    return CKoError::Success();
}

CKoError CContentContainerDatabase::AddFolderToQueue(const string& folderName, const string& metadata,
                                                     CTimeStamp time, int64_t& queueRowId)
{
    queueRowId = -1;
    CKoError error = EndMergedQueue();
    if (error.IsError())
        return error.Push(CX_DATABASE_LOCATION);
    return InsertFolderRow(*this, d->InsertFolderQueueStatement, folderName, metadata, time, queueRowId,
                           CX_DATABASE_LOCATION);
}

CKoError CContentContainerDatabase::MergeFolderQueue()
{
    CKoError error = EndMergedQueue();
    if (error.IsError())
        return error.Push(CX_DATABASE_LOCATION);
    {
        // The copy commits on its own: a transaction that also ended the
        // queue would commit the container first and the temporary database
        // second, and could fail after the folders went in. Then the queue
        // would keep folders already copied, and every later merge would fail
        // on their unique names.
        FX::CDatabaseTransaction transaction(this, 0);
        if (transaction.GetBeginError().IsError())
            return CKoError(transaction.GetBeginError()).Push(CX_DATABASE_LOCATION);
        error = Execute("INSERT INTO main.Folders(FolderName, Metadata, RecordCreateTime, RecordUpdateTime) "
                        "SELECT FolderName, Metadata, RecordCreateTime, RecordUpdateTime "
                        "FROM temp.FolderQueue WHERE true;");
        if (error.IsError())
            return error.Push(CX_DATABASE_LOCATION);
        error = transaction.Commit();
        if (error.IsError())
            return error.Push(CX_DATABASE_LOCATION);
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
        return error.Push(CX_DATABASE_LOCATION);
    d->mergedQueueLeft = false;
    return CKoError::Success();
}

CKoError CContentContainerDatabase::EndFolderQueue()
{
    // Its own transaction, so that a failure here leaves the queue whole and
    // does not count against a transaction the host holds open.
    FX::CDatabaseTransaction transaction(this, 0);
    if (transaction.GetBeginError().IsError())
        return CKoError(transaction.GetBeginError()).Push(CX_DATABASE_LOCATION);
    CKoError error = Execute("DELETE FROM temp.FolderQueue;");
    if (error.IsError())
        return error.Push(CX_DATABASE_LOCATION);
    error = DeleteTable(kFolderQueueTable);
    if (error.IsError()) {
        transaction.Rollback();
        return error.Push(CX_DATABASE_LOCATION);
    }
    error = transaction.Commit();
    if (error.IsError())
        return error.Push(CX_DATABASE_LOCATION);
    return CKoError::Success();
}

}  // namespace CX
