#include "ContentContainer.h"

#include "ContentContainerPrivate.h"
#include "FXFile.h"
#include "FXPath.h"
#include "LogWriter.h"
#include "MakeSharedNothrow.h"

#include <boost/make_shared.hpp>

namespace CX {

namespace {

enum class OpenMode { Existing, ExistingReadOnly, ExistingOrCreate, Replace };

CKoError RemoveIfPresent(const string& path)
{
    if (!FXFile::DoesFileExist(path))
        return CKoError::Success();
    return FXFile::RemoveFile(path);
}

// The steps the four open modes share. Errors carry `where`, the location in
// the open mode the host called.
CKoError Open(CContentContainerPrivate& d, const FXCodeLocation& where, OpenMode mode)
{
    if (d.databaseFileName.empty())
        return FXErrorUtil::ErrorWin32(where, KO_ERROR_INVALID_DATA);
    if (d.database)
        return FXErrorUtil::ErrorWin32(where, KO_ERROR_ALREADY_INITIALIZED);

    switch (mode) {
    case OpenMode::Existing:
    case OpenMode::ExistingReadOnly:
        if (!FXFile::DoesFileExist(d.databaseFileName))
            return FXErrorUtil::ErrorWin32(where, KO_ERROR_FILE_NOT_FOUND, "FileName=[%s]",
                                           d.databaseFileName.c_str());
        break;
    case OpenMode::ExistingOrCreate:
        break;
    case OpenMode::Replace:
        // The write-ahead log and shared-memory index that a crashed writer
        // leaves belong to the old file and go with it: the new container
        // must not depend on what SQLite makes of a log it finds beside it.
        for (const char* suffix : {"", "-wal", "-shm"}) {
            CKoError error = RemoveIfPresent(d.databaseFileName + suffix);
            if (error.IsError())
                return error.Push(where);
        }
        break;
    }

    CContentContainerDatabasePtr database = FX::make_shared_nothrow<CContentContainerDatabase>(
        d.databaseFileName, mode == OpenMode::ExistingReadOnly);
    if (!database)
        return FXErrorUtil::ErrorWin32(where, KO_ERROR_OUTOFMEMORY);
    // The database only logs what went wrong while it opened; a container
    // whose file did not open, or has no schema and cannot get one, would
    // fail every later call, so it is not opened at all.
    CKoError error = database->GetConstructionError();
    if (error.IsError()) {
        database.reset();
        return error.Push(where);
    }
    d.database = database;
    return CKoError::Success();
}

}  // namespace

CContentContainer::CContentContainer() : d(boost::make_shared<CContentContainerPrivate>()) {}

CContentContainer::~CContentContainer()
{
    CKoError error = Close();
    if (error.IsError())
        FXLogWrite(-1, __PRETTY_FUNCTION__, __LINE__, "Close failed, error=%s", error.AsString().c_str());
}

CKoError CContentContainer::SetName(const string& name)
{
    if (name.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER);
    if (d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_ALREADY_INITIALIZED);
    std::string absolute;
    CKoError error = FXPath::MakeAbsolutePath(name, absolute);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    if (absolute.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_PARAMETER);
    d->databaseFileName = absolute;
    return CKoError::Success();
}

CKoError CContentContainer::GetName(std::string& name) const
{
    if (d->databaseFileName.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    name = d->databaseFileName;
    return CKoError::Success();
}

CKoError CContentContainer::OpenExisting()
{
    return Open(*d, FX_LOCATION, OpenMode::Existing);
}

CKoError CContentContainer::OpenExistingReadOnly()
{
    return Open(*d, FX_LOCATION, OpenMode::ExistingReadOnly);
}

CKoError CContentContainer::OpenExistingOrCreate()
{
    return Open(*d, FX_LOCATION, OpenMode::ExistingOrCreate);
}

CKoError CContentContainer::ReplaceOrCreate()
{
    return Open(*d, FX_LOCATION, OpenMode::Replace);
}

CKoError CContentContainer::Close()
{
    if (!d->database)
        return CKoError::Success();
    CKoError error = d->database->FlushQueue();
    if (error.IsError())
        return error.Push(FX_LOCATION);
    d->database.reset();
    return CKoError::Success();
}

CKoError CContentContainer::Check()
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->Vacuum().Push(FX_LOCATION);
}

CKoError CContentContainer::GetTransaction(FX::CDatabaseTransactionPtr& transaction)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->GetTransaction(transaction);
}

CKoError CContentContainer::SetOrigin(const string& origin)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->SetValue("Origin", origin).Push(FX_LOCATION);
}

CKoError CContentContainer::SetOriginQuery(const string& originQuery)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->SetValue("OriginQuery", originQuery).Push(FX_LOCATION);
}

// The index operations below pass the database's outcome on; Push adds the
// container's entry to a failure and leaves a success as it is.

CKoError CContentContainer::QueryFolderId(const string& folderName, int64_t& folderId)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->QueryFolderId(folderName, folderId).Push(FX_LOCATION);
}

CKoError CContentContainer::QueryFolderId(const string& folderName, int64_t& folderId, std::string& metadata)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->QueryFolderId(folderName, folderId, metadata).Push(FX_LOCATION);
}

CKoError CContentContainer::QueryFile(int64_t folderId, const string& fileName, int64_t& fileId)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    std::string metadata;
    CTimeStamp updateTime;
    return d->database->QueryFile(folderId, fileName, fileId, metadata, updateTime).Push(FX_LOCATION);
}

CKoError CContentContainer::QueryFile(int64_t folderId, const string& fileName, int64_t& fileId,
                                      std::string& metadata, CTimeStamp& updateTime)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->QueryFile(folderId, fileName, fileId, metadata, updateTime).Push(FX_LOCATION);
}

CKoError CContentContainer::QueryFile(const string& path, int64_t& folderId, int64_t& fileId)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    std::string parent;
    std::string name;
    CKoError error = FXPath::SplitParentPath(path, parent, name);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    error = d->database->QueryFolderId(parent, folderId);
    if (error.IsError())
        return error.Push(FX_LOCATION);
    std::string metadata;
    CTimeStamp updateTime;
    return d->database->QueryFile(folderId, name, fileId, metadata, updateTime).Push(FX_LOCATION);
}

CKoError CContentContainer::InsertFolder(const string& folderName, const string& metadata,
                                         CTimeStamp time, int64_t& folderId)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->InsertFolder(folderName, metadata, time, folderId).Push(FX_LOCATION);
}

CKoError CContentContainer::OpenFolderQueue()
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->OpenFolderQueue().Push(FX_LOCATION);
}

CKoError CContentContainer::AddFolderToQueue(const string& folderName, const string& metadata,
                                             CTimeStamp time, int64_t& queueRowId)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->AddFolderToQueue(folderName, metadata, time, queueRowId).Push(FX_LOCATION);
}

CKoError CContentContainer::MergeFolderQueue()
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->MergeFolderQueue().Push(FX_LOCATION);
}

CKoError CContentContainer::InsertOrUpdateFile(int64_t folderId, const string& fileName,
                                               const string& metadata, CTimeStamp time, int64_t& fileId)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->InsertOrUpdateFile(folderId, fileName, metadata, time, fileId).Push(FX_LOCATION);
}

CKoError CContentContainer::UpdateFileMetadata(int64_t fileId, const string& metadata)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->UpdateFileMetadata(fileId, metadata).Push(FX_LOCATION);
}

CKoError CContentContainer::UpdateFolderMetadata(int64_t folderId, const string& metadata)
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->UpdateFolderMetadata(folderId, metadata).Push(FX_LOCATION);
}

CKoError CContentContainer::FlushQueue()
{
    if (!d->database)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_INVALID_DATA);
    return d->database->FlushQueue().Push(FX_LOCATION);
}

}  // namespace CX
