// What the parts of CContentContainerDatabase share: its private data and
// the helpers its statements run through. The class's operations live in
// ContentContainerDatabase.cpp (opening, schema, statements),
// ContentContainerDatabaseFolders.cpp and ContentContainerDatabaseFiles.cpp;
// all of them locate their errors in "ContentContainerDatabase".
#pragma once

#include "ContentContainerDatabase.h"

#include "FXCriticalSection.h"
#include "FXPath.h"
#include "FXString.h"
#include "InsertFileQueue.h"
#include "LRUCache.h"

#include <string>
#include <vector>

// The location of an error made by any part of the class.
#define CX_DATABASE_LOCATION FX_LOCATION_IN("ContentContainerDatabase")

namespace CX {

namespace database {

const char* const kFolderCollation = " COLLATE PATH_COMPONENTS";
const char* const kFolderCollationNoCase = " COLLATE PATH_COMPONENTS_NOCASE";
const char* const kFileCollationNoCase = " COLLATE NOCASE";

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

inline CKoError NotPrepared(const FXCodeLocation& location)
{
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_INVALID_HANDLE, "Statement not prepared");
}

// The folder collations stop at a NUL byte (and no path holds one), so two
// names that differ only after one would be taken for the same folder: such
// a name is refused rather than matched with another folder.
inline CKoError RefuseNul(const std::string& folderName, const FXCodeLocation& location)
{
    if (folderName.find('\0') == std::string::npos)
        return CKoError::Success();
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_INVALID_PARAMETER,
                                   "Folder name holds a NUL byte, FolderName=[%s]", folderName.c_str());
}

// No folder has an id below 0, and -1 means "no folder" to the lookups and
// the comparison: a file written under one would belong to no folder, and a
// comparison would miss its deletion.
inline CKoError RefuseNegativeFolderId(int64_t folderId, const std::string& fileName, const FXCodeLocation& location)
{
    if (folderId >= 0)
        return CKoError::Success();
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_INVALID_PARAMETER, "Folder id below 0, FolderId=[%lld], FileName=[%s]",
                                   static_cast<long long>(folderId), fileName.c_str());
}

// The folder name form: the caller's name when it ends with "/", else a copy
// with "/" appended. `normalised` receives the form used.
inline const std::string& FolderNameForm(const std::string& folderName, std::string& normalised)
{
    if (FXString::MatchRight(folderName, "/"))
        return folderName;
    normalised = folderName;
    FXPath::AppendTrailingDelimiter(normalised);  // cannot fail
    return normalised;
}

// A file written under a folder id that no folder has would belong to no
// folder: no listing would show it, and a comparison would miss it.
inline CKoError RefuseUnknownFolderId(int64_t folderId, const std::string& fileName, const FXCodeLocation& location)
{
    return FXErrorUtil::ErrorWin32(location, KO_ERROR_INVALID_PARAMETER,
                                   "No folder has this id, FolderId=[%lld], FileName=[%s]",
                                   static_cast<long long>(folderId), fileName.c_str());
}

// Runs one of the two metadata updates ("... SET Metadata=?2 WHERE ...Id=?1;").
inline CKoError SetMetadata(const FX::CSQLite3StatementPtr& statement, int64_t id, const std::string& metadata, int& changed,
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

}  // namespace database

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
    // The file was empty when it was opened for writing: CreateTables gives it
    // its whole schema in one transaction.
    bool newFile = false;
    // The folder id a file was last written under, or a folder was last
    // written with, and the rollback count then: a file write under it
    // needs no look that the folder exists.
    int64_t knownFolderId = -1;
    uint64_t knownFolderRollbacks = 0;
    FX::CSQLite3StatementPtr FolderExistsStatement;  // prepared at its first use

    const char* FolderCollation() const { return caseSensitive ? database::kFolderCollation : database::kFolderCollationNoCase; }
    const char* FileCollation() const { return caseSensitive ? "" : database::kFileCollationNoCase; }
};

}  // namespace CX
