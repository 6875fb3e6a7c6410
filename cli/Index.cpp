// cx index: a snapshot of a directory tree into a container.
//
// The library's tree indexer walks the tree and writes the rows (see
// TreeIndexer.h for what they hold); the tool adds its own policy around it:
// the new snapshot is made in a temporary file that takes the container's
// place only when finished (SnapshotFile.h), warnings and a progress line go
// to standard error, and the exit status says how the run ended.
#include "Cli.h"

#include "ContentContainer.h"
#include "ContentContainerDatabase.h"
#include "FXPath.h"
#include "SnapshotFile.h"
#include "TreeIndexer.h"

#include <boost/make_shared.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace cxcli {

namespace {

// Warnings as lines on standard error, the progress line on a terminal, and
// Ctrl-C as a cancel.
class IndexCallback : public CX::CTreeIndexerCallback {
public:
    IndexCallback() : progress_("indexed"), decorate_(isatty(STDERR_FILENO) != 0) {}

    bool IsAborted() override { return g_interrupted.load(); }
    void OnProgress(uint64_t entries, const std::string& folderName) override
    {
        progress_.Update(entries, folderName);
    }
    void OnWarning(const std::string& path, const std::string& what, const std::string& cause, bool) override
    {
        std::fprintf(stderr, "%scx: warning: %s: %s: %s\n", decorate_ ? "\r\033[K" : "", EscapeLine(path).c_str(),
                     what.c_str(), cause.c_str());
    }

private:
    Progress progress_;
    const bool decorate_;
};

}  // namespace

CX::CTreeIndexerCallbackPtr MakeIndexCallback() { return boost::make_shared<IndexCallback>(); }

// "<what>: <cause>" for a failed run of the indexer: what comes from the
// last entry that says something, the cause from the first.
std::string IndexFailure(const CKoError& error)
{
    const std::string cause = Cause(error);
    for (auto entry = error.Entries().rbegin(); entry != error.Entries().rend(); ++entry)
        if (!entry->message.empty())
            return entry->message == cause ? cause : entry->message + ": " + cause;
    return cause;
}

bool ResolveFolder(const std::string& directory, std::string& root)
{
    char resolved[PATH_MAX];
    if (realpath(directory.c_str(), resolved) == nullptr) {
        Fail(directory, std::strerror(errno));
        return false;
    }
    struct stat status {};
    if (stat(resolved, &status) != 0) {
        Fail(resolved, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        Fail(resolved, "not a directory");
        return false;
    }
    root = resolved;
    FXPath::AppendTrailingDelimiter(root);
    return true;
}

int RunIndex(const IndexOptions& options)
{
    std::string root;
    if (!ResolveFolder(options.directory, root))
        return kTrouble;

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
        error = container.SetOriginQuery(options.commandLine);
    if (!error.IsError())
        error = container.Close();
    if (error.IsError())
        return Fail(file.Target(), Cause(error));

    CX::CTreeIndexer indexer;
    indexer.SetExcludes(options.excludes);
    indexer.SetCollects(options.collects);
    indexer.SetChecksum(options.checksum);
    indexer.SetOneFileSystem(options.oneFileSystem);
    indexer.SetUpdate(options.update);
    // The container's files, and the new one's, are left out of the walk by
    // their folder's identity, whatever path leads there.
    indexer.SetOwnFiles(file.FolderDevice(), file.FolderInode(), file.OwnNames());

    CX::STreeIndexerCounts counts;
    bool interrupted = false;
    {
        // Closing the database folds its log into the file, which is then
        // one file that holds the whole snapshot.
        CX::CContentContainerDatabase db(file.Temporary());
        if (db.GetConstructionError().IsError())
            return Fail(file.Target(), Cause(db.GetConstructionError()));
        // Nobody reads the temporary file and a crash leaves it to be
        // removed, so a new one needs no log that survives the process: the
        // rows go straight into it instead of through the write-ahead log
        // and again out of it. Its rollback journal stays in memory, small
        // while the rows are only appended. A copy of the current snapshot
        // keeps its log, since updates would fill that journal.
        const bool direct = !file.CopiedCurrent();
        if (direct)
            (void)db.Execute("PRAGMA journal_mode=MEMORY;");
        // The progress line is gone before anything else is said.
        indexer.SetCallback(MakeIndexCallback());
        error = indexer.Index(db, root, counts);
        indexer.SetCallback(nullptr);
        // The container is left in the journal mode it always has.
        if (direct)
            (void)db.Execute("PRAGMA journal_mode=WAL;");
        interrupted = FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED);
        if (error.IsError() && !interrupted)
            return Fail(options.container, IndexFailure(error));
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
                 EscapeLine(file.Target()).c_str(), static_cast<unsigned long long>(counts.folders),
                 static_cast<unsigned long long>(counts.files), static_cast<unsigned long long>(counts.warnings),
                 interrupted ? " (interrupted: snapshot incomplete)" : "");
    return interrupted ? kInterrupted : counts.problems != 0 ? kReported : kClean;
}

}  // namespace cxcli
