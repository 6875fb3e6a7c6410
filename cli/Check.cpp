// cx check: the tree as it is now against a snapshot, reported as cx diff
// reports.
//
// The tree is walked with the settings the snapshot was taken with and
// compared with the snapshot's listings as the walk goes: nothing is
// written. A tree in another place (a copy, a backup) is compared by the
// paths below it and the snapshot's origin.
#include "Command.h"

#include "Arguments.h"
#include "Bag.h"
#include "ChecksumWarmUp.h"
#include "CompareTreeWithContainer.h"
#include "ContentContainerDatabase.h"
#include "Diff.h"
#include "DiffReport.h"
#include "IndexSettings.h"
#include "Options.h"
#include "SnapshotFile.h"
#include "Output.h"
#include "Progress.h"
#include "Seal.h"
#include "TreeIndexer.h"
#include "WalkCallback.h"

#include <CLI/CLI.hpp>
#include <boost/make_shared.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace cxcli {

namespace {

// What a bare --checksum stands for: the algorithm the snapshot records.
const char* const kRecorded = "recorded";

// The snapshot's own files, when it lies inside the tree: its folder and its
// name with SQLite's files beside it and its seal, which cx index leaves out
// too. False when its folder cannot be had.
bool OwnFilesOf(const std::string& container, struct stat& folder, std::vector<std::string>& names)
{
    char resolved[PATH_MAX];
    if (realpath(container.c_str(), resolved) == nullptr)
        return false;
    const std::string path = resolved;
    const size_t slash = path.rfind('/');
    if (stat(slash == 0 ? "/" : path.substr(0, slash).c_str(), &folder) != 0)
        return false;
    const std::string name = path.substr(slash + 1);
    names = WithSideFiles(name);
    names.push_back(name + ".sig");
    return true;
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
        policy_ = command->add_option("--policy", policyFile_, "Use this policy instead of the one the snapshot records")
                      ->type_name("FILE");
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
        // Contents asked for: OpenSSL sets itself up while the snapshot is
        // read. Whichever of its digests the snapshot records, setting up for
        // one sets up for all of them. Otherwise the comparison starts that
        // itself, if the snapshot records digests, as it opens the snapshot.
        std::optional<CX::CChecksumWarmUp> early;
        if (checksum_->count() != 0) {
            CX::EChecksum asked = CX::EChecksum::SHA256;  // for the recorded one, unknown yet
            (void)CX::ChecksumFromName(checksumName_, asked);
            early.emplace(asked);
        }
        report_.ApplyTo(options_);
        CX::CExcludeRules excludes;
        if (!excludes_.Read(excludes))
            return kTrouble;
        CX::CPathPolicy policy;
        std::string problem;
        if (policy_->count() != 0 && !policy.AddFile(policyFile_, problem))
            return Fail(policyFile_, problem);
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
        ReportSide before{options_.oldContainer, SnapshotFacts(), options_.oldContainer,
                          verify_->count() != 0 ? &sealed : nullptr};
        {
            CX::CContentContainerDatabase db(options_.oldContainer, true);
            CKoError error = db.GetConstructionError();
            if (!error.IsError())
                error = CX::ReadIndexSettings(db, settings);
            if (!error.IsError())
                error = ReadFacts(db, before.facts);
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
        if (policy_->count() != 0)
            settings.policy = policy;

        const std::string directory = directory_.empty() ? origin : directory_;
        std::string root;
        if (!ResolveRoot(directory, root))
            return kTrouble;

        WarnIfNotComplete(before.label, before.facts);
        // The tree side records what this walk reads, under the snapshot's
        // origin: a copy is compared by the paths below each.
        ReportSide after{directory, SnapshotFacts(), std::string(), nullptr};
        after.facts.origin = before.facts.origin;
        after.facts.state = "complete";
        after.facts.recorded.statusChange = true;
        after.facts.recorded.flags = true;
        after.facts.recorded.xattrs = settings.xattrs;
        after.facts.recorded.checksum = settings.checksum;
        DiffOptions report = options_;
        report.copy = root != origin;
        report.oldRoot = origin;
        report.newRoot = root;
        report.policy = settings.policy;
        if (!CheckIgnoredNames(report, before, after))
            return kTrouble;

        CX::STreeIndexerCounts counts;
        const int status = RunReport(report, before, after, [&](const boost::shared_ptr<DiffPrinter>& printer) {
            CX::CCompareTreeWithContainer comparison(options_.oldContainer, root, printer);
            comparison.SetSettings(settings);
            comparison.SetReportedRoot(origin);
            struct stat folder {};
            std::vector<std::string> names;
            if (OwnFilesOf(options_.oldContainer, folder, names))
                comparison.SetOwnFiles(folder.st_dev, folder.st_ino, names);
            comparison.SetWalkCallback(MakeWalkCallback("checked"));
            auto bag = boost::make_shared<CBag>();
            if (report.checkPeriod > 0)
                bag->Set("AbortCheckPeriod::CCC", report.checkPeriod);
            comparison.SetConfigurationBag(bag);
            const CKoError error = comparison.Compare(counts);
            printer->SetNewFileSystems(comparison.FileSystems());
            return error;
        });
        if (counts.problems != 0)
            Warn(directory, std::to_string(counts.problems) +
                                " folders or files could not be read; they and what lies below them are reported "
                                "as unknown");
        return status;
    }

private:
    DiffOptions options_;  // the snapshot is the old side
    ReportOptions report_;
    std::string directory_;
    CLI::Option* checksum_ = nullptr;
    std::string checksumName_;
    CLI::Option* noChecksum_ = nullptr;
    CLI::Option* noXattrs_ = nullptr;
    CLI::Option* policy_ = nullptr;
    std::string policyFile_;
    ExcludeOptions excludes_;
    CLI::Option* verify_ = nullptr;
    std::string signers_;
};

}  // namespace

std::unique_ptr<Command> MakeCheckCommand() { return std::make_unique<CheckCommand>(); }

}  // namespace cxcli
