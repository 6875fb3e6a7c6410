// CX::CTreeIndexer: records a directory tree into a content container, in
// one call, the way the cx tool does.
//
// Index walks DIR without following symbolic links and writes into an open
// CContentContainerDatabase: each folder as a row named by its absolute path
// with a trailing "/", each other entry as a file row of its folder, and the
// folders above DIR as Type="ancestor" rows. Each row's metadata is a list of
// attributes,
//   Type="file" Size="1234" MTime="2026-12-07T23:49:58.123456789Z" Mode="0644" Uid="0" Gid="0" Inode="2049:131075"
// in the format of CAttributeSet, plus Rdev="..." for devices, Target="..."
// for links, Collect="true" for the files the collect patterns match and
// XXH128="..." (32 hex digits of the content's XXH3 128-bit hash) with
// checksums on. An entry that could not be
// read is recorded with Unreadable="<cause>" and counted as a problem. The
// container's properties say where the rows come from ("Origin": DIR's real
// path) and how far the run got ("SnapshotState": "incomplete" while it
// runs and after a cancel, then "complete", or "partial" when there were
// problems; "SnapshotProblems": their number).
//
// Options: the settings of SIndexSettings (excludes, collects, checksum,
// one file system), which Index records in the container for later runs, and:
//   update: the rows of an earlier run are updated in place and, after a
//     whole walk, what was not found again below DIR is removed (what lies
//     below a folder that could not be read is kept); a file whose size,
//     times, inode and file system did not change keeps its digest, unread;
//     the container must hold no snapshot of another folder (error 87);
//     without it the container must not hold rows below DIR yet (such a row
//     is a failed write);
//   own files: entries of one folder, named by its device and inode, that
//     are left out whatever path leads there (the container's own files,
//     when it lies inside the tree).
//
// The walk reads folders on two threads of its own while the calling thread
// writes, in transactions of some thousands of rows: a cancel or a crash
// leaves a valid container holding what was written so far. Memory stays
// the same however large the tree.
//
// Errors: a DIR that cannot be resolved is the errno's error, one gone by
// the time the walk reads it 2 (ERROR_FILE_NOT_FOUND); one that is no
// folder, or (with update) not the folder the container's snapshot is of, is
// 87 (ERROR_INVALID_PARAMETER); a cancel is 995 (ERROR_OPERATION_ABORTED)
// after what was read has been written and committed; a failed write ends the
// run with the database's error, and one entry saying what could not be
// written. The counts are set however the run ends. An exception of the walk
// passes out of Index once its threads have ended: std::bad_alloc, or
// std::runtime_error saying why when a digest cannot be taken (libcrypto,
// loaded for the first one, cannot be loaded, or OpenSSL lacks the
// algorithm). A value of an extended attribute longer than 256 bytes is
// recorded by its SHA-256, so that may happen without checksums too.
#pragma once

#include "AbortOperationCheck.h"
#include "ContentContainerDatabase.h"
#include "ExcludeRules.h"
#include "Export.h"
#include "IndexSettings.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace CX {

// What an indexing run tells its host. Hosts derive and override any subset.
class CX_EXPORT CTreeIndexerCallback : public CAbortOperationCheck {
public:
    CTreeIndexerCallback();
    ~CTreeIndexerCallback() override;

    // How many folders and files have been written, and the folder written
    // last: after each few thousand rows and every so often while the walk
    // reads. IsAborted is asked at the same moments, on the same thread, the
    // one that called Index.
    virtual void OnProgress(uint64_t entries, const string& folderName);
    // An entry that vanished while it was read (`problem` false: it is left
    // out), or one that could not be read (`problem` true: it is recorded
    // with Unreadable="<cause>"). `what` says what was tried ("cannot stat",
    // "cannot read folder", "vanished"...), `cause` why it failed. Called on
    // the walk's threads, one call at a time (those of a walk started ahead
    // until Index took it over: on the thread that called Index, as it
    // begins to write).
    virtual void OnWarning(const string& path, const string& what, const string& cause, bool problem);
};

typedef boost::shared_ptr<CTreeIndexerCallback> CTreeIndexerCallbackPtr;

// What a run did.
struct CX_EXPORT STreeIndexerCounts {
    uint64_t folders = 0;   // folder rows written (the ancestors apart)
    uint64_t files = 0;     // file rows written
    uint64_t warnings = 0;  // OnWarning calls
    uint64_t problems = 0;  // entries recorded as unreadable (among the warnings)
    uint64_t digestsTaken = 0;   // files read for their digest
    uint64_t digestsReused = 0;  // digests an update took over from files that did not change
};

class CTreeIndexerPrivate;

class CX_EXPORT CTreeIndexer {
public:
    CTreeIndexer();
    ~CTreeIndexer();

    // How to walk: all settings at once, or one of them.
    void SetSettings(const SIndexSettings& settings);
    const SIndexSettings& GetSettings() const;
    void SetExcludes(const CExcludeRules& rules);
    void SetCollects(const std::vector<std::string>& patterns);
    // True records XXH128 digests (see SIndexSettings for the others).
    void SetChecksum(bool checksum);
    void SetOneFileSystem(bool oneFileSystem);
    void SetUpdate(bool update);
    // The entries `names` of the folder with this device and inode number.
    void SetOwnFiles(uint64_t folderDevice, uint64_t folderInode, const std::vector<std::string>& names);
    // Null: no progress, no warnings, no cancel.
    void SetCallback(const CTreeIndexerCallbackPtr& callback);

    // Starts reading `directory` on the walk's threads while the host gets
    // the container ready: Index of the same directory goes on from what
    // they read. Warnings wait for Index. A walk started is given up by
    // Index of another directory, by a change of any option, and when the
    // last copy of this indexer goes; an update is not started here (its
    // walk needs the container). Copies share their settings and the walk
    // started: of Index calls on several threads at once, one takes it over.
    // Errors: those Index would give for the directory.
    CKoError Start(const string& directory);

    // Indexes `directory` into `db`, which must be open for writing. The
    // rows written get the time of the call as their record time.
    CKoError Index(CContentContainerDatabase& db, const string& directory, STreeIndexerCounts& counts);

private:
    boost::shared_ptr<CTreeIndexerPrivate> d;
};

}  // namespace CX
