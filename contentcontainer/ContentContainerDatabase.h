// CX::CContentContainerDatabase: the index database of one content container.
//
// One SQLite file holds a row per folder (table Folders, folder names are full
// paths ending with "/", ordered by the PATH_COMPONENTS collation) and a row
// per file (table Files, keyed by folder id and file name), each with a
// metadata text and two record times, plus the view FullyQualifiedFiles and
// the wrapper's storage table. The constructor opens the file, installs the
// collations on demand, creates the schema when absent, prepares the
// statements and builds the folder id cache; it never fails outwardly:
// failures are logged at level -1 and kept in GetConstructionError(), and the
// operations then fail. A read-only open reads the file as it is: a missing
// storage table or view is only logged.
//
// After any rollback (the host's, a failed write's, a failed flush's, or
// SQLite's own) no lookup answers a folder id from before it: the folder id
// cache and the last-folder memo start over. A file write under a folder id
// below 0, or one no folder has, is refused with error 87
// (ERROR_INVALID_PARAMETER), queued or not.
//
// Threads: folder lookups (QueryFolderId) and the file queue
// (QueueInsertOrUpdateFile, FlushQueue) are guarded by their own recursive
// locks. Direct writes and the listings take no lock: one thread at a time
// writes through one object. Queries handed out must be released before the
// object is destroyed.
//
// What opens must be a regular file (or nothing yet), and an SQLite database
// of the container's shape, an empty one, or one cut short while it was being
// created. Anything else (a FIFO, a directory, another program's database,
// one that has the container's table names with other columns) is refused
// with error 11 (ERROR_BAD_FORMAT) before anything is written to it or beside
// it, in every mode.
//
// An operation whose statement could not be prepared (the file did not open)
// answers error 6 (ERROR_INVALID_HANDLE) with "Statement not prepared" and
// touches nothing.
#pragma once

#include "DatabaseBase.h"
#include "Export.h"
#include "KoError.h"
#include "TimeStamp.h"

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

// A cached folder: its id (-1 for none) and metadata.
struct CX_EXPORT CFolderIdCacheElement {
    int64_t folderId = -1;
    std::string metadata;
};

namespace CX {

class CContentContainerDatabasePrivate;

class CX_EXPORT CContentContainerDatabase : public FX::CDatabaseWithStorage {
public:
    // `fileName` is the container's path; `readOnly` opens it without writing
    // (a read-only open never creates the file).
    explicit CContentContainerDatabase(const string& fileName, bool readOnly = false);
    // Writes entries still in the file queue (as FlushQueue), logging a failure.
    ~CContentContainerDatabase() override;

    CKoError OpenDatabase() override;
    int ProgressHandler() override;

    CKoError RegisterCallbacks();
    CKoError CreateTables();
    CKoError CreateFunctions();
    CKoError CreateStatements();
    CKoError DeleteStatements();

    // The first failure of the constructor's steps, or success.
    const CKoError& GetConstructionError() const;
    // The constructor's failure when there was one, else `error`: the cause to
    // answer for an operation that failed because the database never opened.
    CKoError ConstructionErrorOr(const CKoError& error) const;
    bool IsCaseSensitive() const;
    // Orders two folder names exactly as the Folders table orders them.
    int CompareFolderName(const string& a, const string& b) const;

    // Folder lookup. Names are normalised to end with "/". An absent folder is
    // error 1168 (ERROR_NOT_FOUND) with folderId -1.
    CKoError InternalQueryFolderId(const string& folderName, CFolderIdCacheElement& element);
    CKoError QueryFolderId(const string& folderName, int64_t& folderId);
    CKoError QueryFolderId(const string& folderName, int64_t& folderId, std::string& metadata);

    // Folder writes. The caller supplies the record time.
    CKoError InsertFolder(const string& folderName, const string& metadata, CTimeStamp time,
                          int64_t& folderId);
    CKoError QueryOrInsertFolder(const string& folderName, const string& metadata, CTimeStamp time,
                                 int64_t& folderId);
    CKoError UpdateFolderMetadata(int64_t folderId, const string& metadata);
    // The folder queue: a temporary table merged into Folders in one statement.
    // The id handed out by AddFolderToQueue is the queue's row id, not the
    // folder's id after the merge. A merge that fails changes nothing and
    // keeps the queue, so it can be run again.
    CKoError OpenFolderQueue();
    CKoError AddFolderToQueue(const string& folderName, const string& metadata, CTimeStamp time,
                              int64_t& queueRowId);
    CKoError MergeFolderQueue();

    // File writes. InsertOrUpdateFile hands back the file's id, new or existing.
    CKoError InsertOrUpdateFile(int64_t folderId, const string& fileName, const string& metadata,
                                CTimeStamp time, int64_t& fileId);
    CKoError UpdateFileMetadata(int64_t fileId, const string& metadata);
    // Queues a file write; the 1000th queued entry writes all of them in one
    // transaction. A failed flush keeps every entry queued.
    CKoError QueueInsertOrUpdateFile(int64_t folderId, const string& fileName, const string& metadata,
                                     CTimeStamp time);
    CKoError FlushQueue();
    size_t GetQueuedFileCount() const;

    // Listings: every folder in collation order (FolderId, FolderName,
    // Metadata, RecordCreateTime, RecordUpdateTime), and the files of one
    // folder in byte order of their names (FileId, FolderId, FileName,
    // Metadata, RecordCreateTime, RecordUpdateTime).
    CKoError QueryFolders(FX::CSQLite3QueryPtr& query);
    CKoError QueryFiles(int64_t folderId, FX::CSQLite3QueryPtr& query);
    // One file of one folder; error 1168 when absent.
    CKoError QueryFile(int64_t folderId, const string& fileName, int64_t& fileId, std::string& metadata,
                       CTimeStamp& updateTime);

private:
    // Whether a folder has this id, looked up only when it is not the one a
    // file or folder was last written with since the last rollback.
    CKoError CheckFolderExists(int64_t folderId, const string& fileName);
    void NoteFolderExists(int64_t folderId);
    // Empties and drops the folder queue.
    CKoError EndFolderQueue();
    // Ends the queue of a merge whose folders went in, if there is one.
    CKoError EndMergedQueue();

    boost::shared_ptr<CContentContainerDatabasePrivate> d;
};

typedef boost::shared_ptr<CContentContainerDatabase> CContentContainerDatabasePtr;

}  // namespace CX
