// cx check: the tree as it is now against a snapshot.
//
// It comes down to cx diff. The live tree is indexed into a scratch
// container in the temporary folder, walked with the settings the snapshot
// was taken with, and removed when the run ends, so nothing is left to clean
// up. A tree in another place (a copy, a backup) has its rows moved below the
// snapshot's origin first, so that both are compared by the paths below them.
#include "Command.h"

#include "Arguments.h"
#include "ContentContainerDatabase.h"
#include "Diff.h"
#include "DiffReport.h"
#include "IndexSettings.h"
#include "Options.h"
#include "Output.h"
#include "Progress.h"
#include "Scratch.h"
#include "Seal.h"
#include "TreeIndexer.h"
#include "WalkCallback.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace cxcli {

namespace {

// What a bare --checksum stands for: the algorithm the snapshot records.
const char* const kRecorded = "recorded";

// Indexes the tree under `root` into the empty container `file`, leaving
// out `own`'s files. kClean, or the status to end with.
int IndexInto(const CX::SIndexSettings& settings, const std::string& file, const std::string& root,
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
    indexer.SetSettings(settings);
    indexer.SetOwnFiles(ownFolder.st_dev, ownFolder.st_ino, own);
    indexer.SetCallback(MakeWalkCallback("indexed"));
    CX::STreeIndexerCounts counts;
    const CKoError error = indexer.Index(db, root, counts);
    indexer.SetCallback(nullptr);  // the progress line goes
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return kInterrupted;
    return error.IsError() ? Fail(root, WalkFailure(error)) : kClean;
}

class CheckCommand : public Command {
public:
    CLI::App& Define(CLI::App& app) override
    {
        auto* command = app.add_subcommand(
            "check", "Show what changed in the tree since the snapshot CONTAINER was taken, reported as diff reports");
        command->add_option("CONTAINER", options_.oldContainer, "The snapshot")->required();
        command->add_option("DIR", directory_,
                            "The tree to check (default: the snapshot's origin; another folder is compared by the "
                            "paths below it, as a copy)");
        command->add_option("--path", options_.paths, "Report only this file or folder and what is below it (repeatable)");
        report_.Define(*command, options_);
        checksum_ = AddChecksumOption(*command, checksumName_, kRecorded,
                                      "Insist on comparing the contents: refused when the snapshot records no "
                                      "digests (or, with ALGO, not those of ALGO). Every file is read again");
        noChecksum_ = command->add_flag("--no-checksum", "Do not read files for digests")->excludes(checksum_);
        noXattrs_ = command->add_flag("--no-xattrs", "Do not read extended attributes, capabilities or ACLs");
        excludes_.Define(*command, "Leave out paths matching PATTERN, instead of the snapshot's rules (repeatable)",
                         "Read exclude patterns from FILE, instead of the snapshot's rules");
        verify_ = command
                      ->add_option("--verify", signers_,
                                   "Refuse the snapshot unless its seal (CONTAINER.sig) verifies against the allowed "
                                   "signers file SIGNERS, as ssh-keygen -Y verify checks it")
                      ->type_name("SIGNERS");
        return *command;
    }

    int Run(const std::string&) override
    {
        if (!NamesGiven("container", options_.oldContainer))
            return kTrouble;
        report_.ApplyTo(options_);
        CX::CExcludeRules excludes;
        if (!excludes_.Read(excludes))
            return kTrouble;
        if (!CheckContainer(options_.oldContainer))
            return kTrouble;
        // A baseline is trusted only once its seal verifies, before any of it
        // is read. The file's identity then is kept to compare with once the
        // report is done.
        FileIdentity sealed;
        if (verify_->count() != 0 &&
            (!NamesGiven("allowed signers", signers_) || !VerifySeal(options_.oldContainer, signers_, sealed)))
            return g_interrupted.load() ? kInterrupted : kTrouble;

        // The tree is walked as the snapshot was taken; an option given
        // replaces its one setting.
        CX::SIndexSettings settings;
        settings.xattrs = false;  // what a snapshot that says nothing of them was taken with
        std::string origin;
        {
            CX::CContentContainerDatabase db(options_.oldContainer, true);
            CKoError error = db.GetConstructionError();
            if (!error.IsError())
                error = CX::ReadIndexSettings(db, settings);
            if (error.IsError())
                return Fail(options_.oldContainer, Cause(error));
            origin = RecordedOrigin(db, options_.oldContainer);
            if (origin.empty())
                return kTrouble;
        }
        if (checksum_->count() != 0) {
            // Comparing contents needs digests of the same kind on both sides.
            CX::EChecksum asked = CX::EChecksum::None;
            (void)CX::ChecksumFromName(checksumName_, asked);
            if (settings.checksum == CX::EChecksum::None)
                return Fail(options_.oldContainer, "the snapshot records no digests, so contents cannot be compared; "
                                                   "take one with: cx index --checksum DIR CONTAINER");
            if (checksumName_ != kRecorded && asked != settings.checksum)
                return Fail(options_.oldContainer, std::string("the snapshot records ") +
                                                       CX::ChecksumName(settings.checksum) + " digests, not " +
                                                       checksumName_);
        }
        if (noChecksum_->count() != 0)
            settings.checksum = CX::EChecksum::None;
        if (noXattrs_->count() != 0)
            settings.xattrs = false;
        if (excludes_.Given())
            settings.excludes = excludes;

        const std::string directory = directory_.empty() ? origin : directory_;
        std::string root;
        if (!ResolveRoot(directory, root))
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
        const int indexed = IndexInto(settings, scratch.Path(), root, scratchFolder, WithSideFiles(scratchName));
        if (indexed != kClean)
            return indexed;
        if (root != origin && !RebaseContainer(scratch.Path(), root, origin))
            return kTrouble;

        DiffOptions report = options_;
        report.newContainer = scratch.Path();
        report.newLabel = directory;
        report.copy = root != origin;
        return RunDiff(report);
    }

private:
    DiffOptions options_;  // the snapshot is the old side
    ReportOptions report_;
    std::string directory_;
    CLI::Option* checksum_ = nullptr;
    std::string checksumName_;
    CLI::Option* noChecksum_ = nullptr;
    CLI::Option* noXattrs_ = nullptr;
    ExcludeOptions excludes_;
    CLI::Option* verify_ = nullptr;
    std::string signers_;
};

}  // namespace

std::unique_ptr<Command> MakeCheckCommand() { return std::make_unique<CheckCommand>(); }

}  // namespace cxcli
