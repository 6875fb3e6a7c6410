// cx index: a snapshot of a directory tree into a container.
//
// The tree is walked without following symbolic links. Each folder becomes a
// row named by its absolute path with a trailing "/"; each other entry a file
// row under its folder. Metadata is a list of attributes:
//   Type="file" Size="1234" MTime="2026-12-07T23:49:58.123456789Z" Mode="0644" Uid="0" Gid="0" Inode="2049:131075"
// plus Target="..." for links, Collect="true" for --collect matches and
// XXH128="..." with --checksum. The ancestors of the indexed folder are
// recorded too (Type="ancestor"), so that a snapshot reviews clean.
//
// The walk and the writes overlap. Two listers read folders, stat every entry
// and format its metadata (Walker.h); the calling thread writes what they hand
// over (IndexWriter.h). The threads meet in a short queue of reusable batches
// (BatchQueue.h), so memory stays the same however large the tree.
//
// The files of a folder are written in byte order of their names and the
// folders in the container's own folder order. Row ids then follow the order
// in which comparisons and listings read the rows back, which SQLite serves by
// stepping to the next row instead of searching for each one.
#include "Cli.h"

#include "ContentContainer.h"
#include "ContentContainerDatabase.h"
#include "FXPath.h"
#include "IndexSettings.h"
#include "IndexWriter.h"
#include "SnapshotFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace cxcli {


int RunIndex(const IndexOptions& options)
{
    char resolved[PATH_MAX];
    if (realpath(options.directory.c_str(), resolved) == nullptr)
        return Fail(options.directory, std::strerror(errno));
    std::string root = resolved;
    struct stat rootStatus {};
    if (stat(root.c_str(), &rootStatus) != 0)
        return Fail(root, std::strerror(errno));
    if (!S_ISDIR(rootStatus.st_mode))
        return Fail(root, "not a directory");
    FXPath::AppendTrailingDelimiter(root);

    // The new snapshot is made in a temporary file and takes the container's
    // place only when it is finished; until then the previous one stays.
    SnapshotFile file;
    SnapshotFile::Options fileOptions;
    fileOptions.update = options.update;
    fileOptions.force = options.force;
    fileOptions.wait = options.wait;
    if (!file.Acquire(options.container, fileOptions) || !file.Prepare())
        return g_interrupted.load() ? kInterrupted : kTrouble;

    // The container object makes the new container (or opens the copy of
    // the current one) and records where the snapshot comes from; the
    // database object writes the rows.
    CX::CContentContainer container;
    CKoError error = container.SetName(file.Temporary());
    if (!error.IsError())
        error = container.OpenExistingOrCreate();
    if (!error.IsError())
        error = container.SetOrigin(resolved);
    if (!error.IsError())
        error = container.SetOriginQuery(options.commandLine);
    if (!error.IsError())
        error = container.Close();
    if (error.IsError())
        return Fail(file.Target(), Cause(error));

    // The container's files, and the new one's, are left out of the walk by
    // their folder's identity, whatever path leads there.
    const OwnFiles own(file.FolderDevice(), file.FolderInode(), file.OwnNames());

    const CTimeStamp now = CTimeStamp::Now();
    unsigned long long folders = 0;
    unsigned long long files = 0;
    unsigned long long warnings = 0;
    unsigned long long problems = 0;
    bool interrupted = false;
    {
        // Closing the database folds its log into the file, which is then
        // one file that holds the whole snapshot.
        CX::CContentContainerDatabase db(file.Temporary());
        if (db.GetConstructionError().IsError())
            return Fail(file.Target(), Cause(db.GetConstructionError()));
        error = db.SetValue("SnapshotState", "incomplete");
        if (!error.IsError())
            error = RecordIndexSettings(db, options);
        if (error.IsError())
            return Fail(file.Target(), "cannot write: " + Cause(error));
        IndexOptions walk = options;
        walk.root = root;
        const bool written = WriteTree(walk, db, now, own, root, rootStatus, folders, files, warnings, problems);
        if (!written)
            return kTrouble;
        interrupted = g_interrupted.load();
        if (!interrupted) {
            // What could not be read leaves the snapshot partial, as the
            // entries marked Unreadable say.
            error = db.SetValue("SnapshotState", problems == 0 ? "complete" : "partial");
            if (!error.IsError())
                error = db.SetValue("SnapshotProblems", std::to_string(problems));
            if (error.IsError())
                return Fail(file.Target(), "cannot write: " + Cause(error));
        }
    }
    const char* const clear = interrupted ? "\r\033[K" : "";
    if (interrupted && file.HoldsFinishedSnapshot()) {
        std::fprintf(stderr, "%s%s: interrupted; the previous snapshot is kept as it was\n", clear,
                     EscapeLine(file.Target()).c_str());
        return kInterrupted;
    }
    if (!file.Publish())
        return kTrouble;
    std::fprintf(stderr, "%s%s: %llu folders, %llu files, %llu warnings%s\n", clear,
                 EscapeLine(file.Target()).c_str(), folders, files, warnings,
                 interrupted ? " (interrupted: snapshot incomplete)" : "");
    return interrupted ? kInterrupted : problems != 0 ? kReported : kClean;
}

}  // namespace cxcli
