// CX::CContentContainer: a host's handle on one content container file.
//
// Name the file with SetName (kept as an absolute path), open it in one of the
// four modes, use the index operations, then Close (or destroy the object,
// which closes it). After Close the object may be opened again, with the same
// or another name.
//
// Open modes: OpenExisting and OpenExistingReadOnly need the file;
// OpenExistingOrCreate creates it when absent; ReplaceOrCreate deletes the
// file (and the write-ahead log and shared-memory files beside it) and starts
// an empty container. An open that fails (the file is no container and
// cannot become one, or cannot be created) answers the error and leaves the
// container closed; a file that is not a database is left as it was.
//
// Errors: 13 (ERROR_INVALID_DATA) when no name is set or the container is not
// open, 1247 (ERROR_ALREADY_INITIALIZED) for an open mode or SetName while
// open, 2 (ERROR_FILE_NOT_FOUND) when a mode that needs the file finds none,
// 87 for an empty name. Errors of the index database come back with one more
// entry naming the container operation.
//
// The object has no lock: opening, closing and destroying must not overlap
// with other calls on it. Index operations use the database's own locks.
#pragma once

#include "DatabaseBase.h"
#include "Export.h"
#include "KoError.h"
#include "TimeStamp.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>

namespace CX {

class CContentContainerPrivate;
class CContentContainerTestAccess;

class CX_EXPORT CContentContainer {
public:
    CContentContainer();
    // Closes the container; a failure to close is logged.
    ~CContentContainer();
    CContentContainer(const CContentContainer&) = delete;
    CContentContainer& operator=(const CContentContainer&) = delete;

    // Only while closed.
    CKoError SetName(const string& name);
    // The absolute path made by SetName.
    CKoError GetName(std::string& name) const;

    CKoError OpenExisting();
    CKoError OpenExistingReadOnly();
    CKoError OpenExistingOrCreate();
    CKoError ReplaceOrCreate();
    // Writes the queued file inserts, then closes. A failed write keeps the
    // container open so that Close can be retried. Closing a closed container
    // succeeds.
    CKoError Close();
    // Compacts the file.
    CKoError Check();
    // Begins a transaction on the container that lasts while `transaction` is
    // held (see FX::CDatabaseTransaction).
    CKoError GetTransaction(FX::CDatabaseTransactionPtr& transaction);

    // Descriptive properties kept in the file under "Origin" and "OriginQuery".
    CKoError SetOrigin(const string& origin);
    CKoError SetOriginQuery(const string& originQuery);

    // Index operations of the open database (see CContentContainerDatabase).
    CKoError QueryFolderId(const string& folderName, int64_t& folderId);
    CKoError QueryFolderId(const string& folderName, int64_t& folderId, std::string& metadata);
    CKoError QueryFile(int64_t folderId, const string& fileName, int64_t& fileId);
    CKoError QueryFile(int64_t folderId, const string& fileName, int64_t& fileId, std::string& metadata,
                       CTimeStamp& updateTime);
    // A file by its full path ("/a/b/file"): folder lookup, then file lookup.
    // A missing folder answers the folder lookup's error without looking for
    // the file; a missing file answers 1168 with `folderId` set.
    CKoError QueryFile(const string& path, int64_t& folderId, int64_t& fileId);
    CKoError InsertFolder(const string& folderName, const string& metadata, CTimeStamp time,
                          int64_t& folderId);
    CKoError OpenFolderQueue();
    CKoError AddFolderToQueue(const string& folderName, const string& metadata, CTimeStamp time,
                              int64_t& queueRowId);
    CKoError MergeFolderQueue();
    CKoError InsertOrUpdateFile(int64_t folderId, const string& fileName, const string& metadata,
                                CTimeStamp time, int64_t& fileId);
    CKoError UpdateFileMetadata(int64_t fileId, const string& metadata);
    CKoError UpdateFolderMetadata(int64_t folderId, const string& metadata);
    CKoError FlushQueue();

private:
    friend class CContentContainerTestAccess;
    boost::shared_ptr<CContentContainerPrivate> d;
};

}  // namespace CX
