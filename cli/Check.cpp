// cx check: the tree as it is now against a snapshot; and cx diff --relative:
// two snapshots of trees in different places, by their paths below their
// origins.
//
// Both come down to cx diff. The live tree is indexed into a scratch
// container in the temporary folder, walked with the options the snapshot
// was taken with, and removed when the run ends, so nothing is left to clean
// up. A tree or snapshot from another place has its rows moved below the
// other origin first (in a scratch copy: the snapshot itself is only read).
#include "Cli.h"

#include "ContentContainerDatabase.h"
#include "FXPath.h"
#include "IndexSettings.h"
#include "Scratch.h"
#include "TreeIndexer.h"
#include "SqlText.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace cxcli {

namespace {

// The origin a snapshot records, as a folder path ending with "/"; empty
// (after a reported failure) when it records none.
std::string OriginOf(CX::CContentContainerDatabase& db, const std::string& container)
{
    std::string origin;
    db.GetValue("Origin", origin);
    if (origin.empty() || origin[0] != '/') {
        Fail(container, "records no origin");
        return std::string();
    }
    FXPath::AppendTrailingDelimiter(origin);
    return origin;
}

// Indexes the tree under `root` into the empty container `file`, leaving
// out `own`'s files. kClean, or the status to end with.
int IndexInto(const IndexOptions& options, const std::string& file, const std::string& root,
              const struct stat& ownFolder, const std::vector<std::string>& own)
{
    CX::CContentContainerDatabase db(file);
    if (db.GetConstructionError().IsError())
        return Fail(file, Cause(db.GetConstructionError()));
    // The scratch container lives for this run only and goes whatever
    // happens: its rows go straight into it, with the journal in memory,
    // rather than through a write-ahead log and again out of it.
    (void)db.Execute("PRAGMA journal_mode=MEMORY;");
    CX::CTreeIndexer indexer;
    indexer.SetExcludes(options.excludes);
    indexer.SetCollects(options.collects);
    indexer.SetChecksum(options.checksum);
    indexer.SetOneFileSystem(options.oneFileSystem);
    indexer.SetOwnFiles(ownFolder.st_dev, ownFolder.st_ino, own);
    indexer.SetCallback(MakeIndexCallback());
    CX::STreeIndexerCounts counts;
    const CKoError error = indexer.Index(db, root, counts);
    indexer.SetCallback(nullptr);  // the progress line goes
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return kInterrupted;
    return error.IsError() ? Fail(root, IndexFailure(error)) : kClean;
}

}  // namespace

int RunCheck(const CheckOptions& options)
{
    if (!CheckContainer(options.report.oldContainer))
        return kTrouble;
    IndexOptions index;
    std::string origin;
    {
        CX::CContentContainerDatabase db(options.report.oldContainer, true);
        if (db.GetConstructionError().IsError())
            return Fail(options.report.oldContainer, Cause(db.GetConstructionError()));
        ReadIndexSettings(db, index);
        origin = OriginOf(db, options.report.oldContainer);
        if (origin.empty())
            return kTrouble;
    }
    if (options.checksum)
        index.checksum = true;
    if (options.noChecksum)
        index.checksum = false;
    if (!options.excludes.Empty())
        index.excludes = options.excludes;

    const std::string directory = options.directory.empty() ? origin : options.directory;
    std::string root;
    if (!ResolveFolder(directory, root))
        return kTrouble;

    ScratchContainer scratch;
    if (!scratch.Create())
        return kTrouble;
    // The scratch container is no part of the tree, should the temporary
    // folder lie inside it.
    const std::string scratchName = scratch.Path().substr(scratch.Path().rfind('/') + 1);
    struct stat scratchFolder {};
    if (stat(scratch.Path().substr(0, scratch.Path().rfind('/') + 1).c_str(), &scratchFolder) != 0)
        return Fail(scratch.Path(), std::strerror(errno));
    const int indexed = IndexInto(index, scratch.Path(), root, scratchFolder,
                                  WithSideFiles(scratchName));
    if (indexed != kClean)
        return indexed;
    if (root != origin && !RebaseContainer(scratch.Path(), root, origin))
        return kTrouble;

    DiffOptions report = options.report;
    report.newContainer = scratch.Path();
    report.newLabel = directory;
    return RunDiff(report);
}

int RunRelativeDiff(const DiffOptions& options)
{
    if (!CheckContainer(options.oldContainer) || !CheckContainer(options.newContainer))
        return kTrouble;
    std::string oldOrigin;
    {
        CX::CContentContainerDatabase db(options.oldContainer, true);
        if (db.GetConstructionError().IsError())
            return Fail(options.oldContainer, Cause(db.GetConstructionError()));
        oldOrigin = OriginOf(db, options.oldContainer);
        if (oldOrigin.empty())
            return kTrouble;
    }
    ScratchContainer scratch;
    std::string newOrigin;
    {
        CX::CContentContainerDatabase db(options.newContainer, true);
        if (db.GetConstructionError().IsError())
            return Fail(options.newContainer, Cause(db.GetConstructionError()));
        newOrigin = OriginOf(db, options.newContainer);
        if (newOrigin.empty())
            return kTrouble;
        if (newOrigin == oldOrigin)
            return RunDiff(options);
        if (!scratch.Create())
            return kTrouble;
        // A copy to move the rows in; the snapshot itself is only read.
        const CKoError error = db.Execute("VACUUM INTO " + CX::sql::String(scratch.Path()) + ";");
        if (error.IsError())
            return Fail(options.newContainer, "cannot copy it to " + EscapeLine(scratch.Path()) + ": " + Cause(error));
    }
    if (!RebaseContainer(scratch.Path(), newOrigin, oldOrigin))
        return kTrouble;
    DiffOptions report = options;
    report.newContainer = scratch.Path();
    report.newLabel = options.newContainer;
    return RunDiff(report);
}

}  // namespace cxcli
