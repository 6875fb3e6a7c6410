// CContentContainerDatabase: writing files, directly or through the file
// queue, and the listings.
#include "ContentContainerDatabasePrivate.h"

#include "LogWriter.h"
#include "SQLiteConnection.h"

#include <climits>

namespace CX {

using namespace database;

namespace {
constexpr size_t kFlushThreshold = 1000;
// Never a row id SQLite assigns: marks "no insert happened" around an upsert.
constexpr int64_t kNoInsertedRow = INT64_MIN;
}  // namespace

// ---------------------------------------------------------------- file writes

CKoError CContentContainerDatabase::InsertOrUpdateFile(int64_t folderId, const string& fileName,
                                                       const string& metadata, CTimeStamp time, int64_t& fileId)
{
    fileId = -1;
    CKoError refused = RefuseNegativeFolderId(folderId, fileName, CX_DATABASE_LOCATION);
    if (refused.IsError())
        return refused;
    if (!d->InsertOrUpdateFileStatement)
        return NotPrepared(CX_DATABASE_LOCATION);
    refused = CheckFolderExists(folderId, fileName);
    if (refused.IsError())
        return refused;
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
                    return NotPrepared(CX_DATABASE_LOCATION);
                d->QueryFileStatement->Bind(1, static_cast<long long>(folderId));
                d->QueryFileStatement->Bind(2, fileName);
                FX::CSQLite3QueryPtr query = d->QueryFileStatement->ExecQuery();
                if (!query->Eof())
                    fileId = query->GetInt64Field(0, -1);
            }
        }
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(CX_DATABASE_LOCATION, exception).Push(CX_DATABASE_LOCATION);
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::CheckFolderExists(int64_t folderId, const string& fileName)
{
    if (folderId == d->knownFolderId && GetRollbackCount() == d->knownFolderRollbacks)
        return CKoError::Success();
    if (!d->FolderExistsStatement) {
        CKoError error = CompileStatement("SELECT 1 FROM Folders WHERE FolderId=?1;", d->FolderExistsStatement);
        if (error.IsError())
            return error.Push(CX_DATABASE_LOCATION);
    }
    bool exists = false;
    {
        ResetOnExit reset(d->FolderExistsStatement);
        try {
            d->FolderExistsStatement->Bind(1, static_cast<long long>(folderId));
            exists = !d->FolderExistsStatement->ExecQuery()->Eof();
        } catch (const FX::CSQLite3Exception& exception) {
            return FX::ErrorFromException(CX_DATABASE_LOCATION, exception).Push(CX_DATABASE_LOCATION);
        }
    }
    if (!exists)
        return RefuseUnknownFolderId(folderId, fileName, CX_DATABASE_LOCATION);
    NoteFolderExists(folderId);
    return CKoError::Success();
}

void CContentContainerDatabase::NoteFolderExists(int64_t folderId)
{
    d->knownFolderId = folderId;
    d->knownFolderRollbacks = GetRollbackCount();
}

CKoError CContentContainerDatabase::UpdateFileMetadata(int64_t fileId, const string& metadata)
{
    int changed = 0;
    return SetMetadata(d->UpdateFileMetadataStatement, fileId, metadata, changed, CX_DATABASE_LOCATION);
}

CKoError CContentContainerDatabase::QueueInsertOrUpdateFile(int64_t folderId, const string& fileName,
                                                            const string& metadata, CTimeStamp time)
{
    CKoError refused = RefuseNegativeFolderId(folderId, fileName, CX_DATABASE_LOCATION);
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
            return error.Push(CX_DATABASE_LOCATION);
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::FlushQueue()
{
    auto_lock lock(&d->insertQueueLock, true);
    FX::CDatabaseTransaction transaction(this, 0);
    if (transaction.GetBeginError().IsError())
        return CKoError(transaction.GetBeginError()).Push(CX_DATABASE_LOCATION);
    for (size_t i = 0; i < d->insertQueueSize; ++i) {
        const CInsertFileQueue& entry = d->insertQueue[i];
        int64_t fileId = -1;
        CKoError error = InsertOrUpdateFile(entry.folderId, entry.fileName, entry.metadata, entry.recordTime, fileId);
        if (error.IsError())
            return error.Push(CX_DATABASE_LOCATION);  // the transaction rolls back; every entry stays queued
    }
    CKoError error = transaction.Commit();
    if (error.IsError())
        return error.Push(CX_DATABASE_LOCATION);
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
        return NotPrepared(CX_DATABASE_LOCATION);
    ResetOnExit reset(d->QueryFoldersStatement);
    try {
        query = d->QueryFoldersStatement->ExecQuery();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(CX_DATABASE_LOCATION, exception).Push(CX_DATABASE_LOCATION);
    }
    return CKoError::Success();
}

CKoError CContentContainerDatabase::QueryFiles(int64_t folderId, FX::CSQLite3QueryPtr& query)
{
    if (!d->QueryFilesStatement)
        return NotPrepared(CX_DATABASE_LOCATION).Push(CX_DATABASE_LOCATION, "FolderId=[%lld]", static_cast<long long>(folderId));
    try {
        d->QueryFilesStatement->Bind(1, static_cast<long long>(folderId));
        query = d->QueryFilesStatement->ExecQuery();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(CX_DATABASE_LOCATION, exception)
            .Push(CX_DATABASE_LOCATION, "FolderId=[%lld]", static_cast<long long>(folderId));
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
        return NotPrepared(CX_DATABASE_LOCATION).Push(CX_DATABASE_LOCATION, "FolderId=[%lld], FileName=[%s]", id, fileName.c_str());
    ResetOnExit reset(d->QueryFileStatement);
    FX::CSQLite3QueryPtr query;
    try {
        d->QueryFileStatement->Bind(1, id);
        d->QueryFileStatement->Bind(2, fileName);
        query = d->QueryFileStatement->ExecQuery();
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(CX_DATABASE_LOCATION, exception)
            .Push(CX_DATABASE_LOCATION, "FolderId=[%lld], FileName=[%s]", id, fileName.c_str());
    }
    try {
        if (query->Eof())
            return FXErrorUtil::ErrorWin32(CX_DATABASE_LOCATION, KO_ERROR_NOT_FOUND, "FolderId=[%lld], FileName=[%s]", id,
                                           fileName.c_str());
        fileId = query->GetInt64Field("FileId", -1);
        metadata = query->GetStringField("Metadata", "");
        updateTime = CTimeStamp::FromSystemTime(query->GetInt64Field("RecordUpdateTime", 0));
    } catch (const FX::CSQLite3Exception& exception) {
        return FX::ErrorFromException(CX_DATABASE_LOCATION, exception)
            .Push(CX_DATABASE_LOCATION, "FolderId=[%lld], FileName=[%s]", id, fileName.c_str());
    }
    return CKoError::Success();
}

}  // namespace CX
