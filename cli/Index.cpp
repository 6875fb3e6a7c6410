// cx index: a snapshot of a directory tree into a container.
//
// The library's tree indexer walks the tree and writes the rows (see
// TreeIndexer.h for what they hold); the tool adds its own policy around it:
// the new snapshot is made in a temporary file that takes the container's
// place only when finished (SnapshotFile.h), a snapshot of another folder is
// never replaced by mistake, with --sign the new snapshot is sealed before it
// takes the container's place, warnings and a progress line go to standard
// error, and the exit status says how the run ended.
#include "Command.h"

#include "ChecksumWarmUp.h"
#include "ContentContainerDatabase.h"
#include "IndexSettings.h"
#include "Options.h"
#include "OwnThreadContainers.h"
#include "Output.h"
#include "Progress.h"
#include "Seal.h"
#include "SnapshotFile.h"
#include "TreeIndexer.h"
#include "WalkCallback.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace cxcli {

namespace {

const char* const kExcludeRulesHelp =
    "Exclude rules, from --exclude and --exclude-from in the order given; the last rule that matches a path "
    "decides, and a folder left out is not read:\n"
    "  name      a name without /: a file or folder of that name at any depth\n"
    "  name/     a trailing /: folders only\n"
    "  /a, a/b   a / at the start or inside: a path from DIR\n"
    "  * ? [ab]  any text, any one character, one of a set: within one name, never across a /\n"
    "  **        as a whole name: any number of folders (**/x, a/**/b; a/** is what lies below a)\n"
    "  !rule     takes back what an earlier rule left out\n"
    "  \\         makes the next character plain (\\#, \\!, \\*, a trailing \\ )\n"
    "In a file, blank lines and lines starting with # are skipped, and trailing spaces dropped. The snapshot "
    "records the rules; cx info lists them. With --update, the recorded settings stay unless an option given "
    "replaces one of them (the rules as a whole, the collect patterns as a whole, the policy as a whole).\n"
    "A policy file (--policy) holds one rule per line, PATTERN then what to do below it: -NAME leaves an "
    "attribute out of comparisons (size, mtime, ctime, mode, uid, gid, nlink, flags, caps, acl, default_acl, "
    "selinux, xattr.NAME, digest, ...), +NAME compares it again, +digest digests contents even without "
    "--checksum, -digest does not, exclude leaves the path out; PATTERN reads as an exclude rule, and the last "
    "rule that matches decides, for each attribute on its own.";

// What the container to be replaced holds, read before it is replaced.
struct Current {
    std::string origin;  // empty: none recorded
    CX::SIndexSettings settings;
};

// Reads the origin, and with `settings` the recorded settings, of the
// snapshot in `file`, open in `db`; false after a reported failure.
bool ReadCurrent(CX::CContentContainerDatabase& db, const std::string& file, bool settings, Current& current)
{
    (void)db.GetValue("Origin", current.origin);  // absent: none
    CKoError error;
    if (settings)
        error = CX::ReadIndexSettings(db, current.settings);
    if (error.IsError()) {
        Fail(file, Cause(error));
        return false;
    }
    return true;
}

class IndexCommand : public Command {
public:
    CLI::App& Define(CLI::App& app) override
    {
        command_ = app.add_subcommand("index", "Snapshot the tree under DIR into CONTAINER, replacing what it held");
        command_->add_option("DIR", directory_, "Directory to snapshot")->required();
        command_->add_option("CONTAINER", container_, "Container file to write")->required();
        command_->add_flag("--update", update_,
                           "Bring an existing snapshot of DIR up to date with the tree instead of making a new one, "
                           "with the settings it was taken with");
        command_->add_flag("--force", force_,
                           "Replace CONTAINER even when it is not a container or holds a snapshot of another folder");
        command_->add_flag("--wait", wait_, "Wait while another writer holds CONTAINER instead of failing");
        sign_ = command_
                    ->add_option("--sign", signKey_,
                                 "Seal the new snapshot with KEY into CONTAINER.sig, as cx seal does; if it cannot be "
                                 "signed, the previous snapshot and its seal are kept")
                    ->type_name("KEY");
        oneFileSystem_ = command_->add_flag("--one-file-system", "Stay on the file system of DIR");
        noOneFileSystem_ =
            command_->add_flag("--no-one-file-system", "Cross into other file systems (the default)")->excludes(oneFileSystem_);
        checksum_ = AddChecksumOption(*command_, checksumName_, "sha256",
                                      "Record a digest of each regular file's content: sha256 (the default), sha512, "
                                      "blake2b (BLAKE2b-512) or xxh128 (fast, but not for adversaries)");
        noChecksum_ = command_->add_flag("--no-checksum", "Record no digests (the default)")->excludes(checksum_);
        xattrs_ = command_->add_flag("--xattrs", "Record extended attributes, capabilities and ACLs (the default)");
        noXattrs_ = command_->add_flag("--no-xattrs", "Record no extended attributes, capabilities or ACLs")
                        ->excludes(xattrs_);
        excludes_.Define(*command_, "Leave out what PATTERN matches (repeatable; the rules are below)",
                         "Read exclude patterns from FILE, one per line, # comments and blank lines skipped "
                         "(repeatable; - for standard input)");
        collect_ = command_->add_option("--collect", collects_, "Mark files matching GLOB with Collect=\"true\"")
                       ->type_name("GLOB");
        policy_ = command_->add_option("--policy", policyFile_,
                                       "Say path by path what is compared, digested or left out (the rules are "
                                       "below); the snapshot records it for cx check and cx index --update")
                      ->type_name("FILE");
        command_->footer(kExcludeRulesHelp);
        return *command_;
    }

    int Run(const std::string& commandLine) override
    {
        if (!NamesGiven("directory", directory_) || !NamesGiven("container", container_))
            return kTrouble;
        // A key that is not there is better said before the walk than after.
        if (sign_->count() != 0) {
            if (!NamesGiven("key", signKey_))
                return kTrouble;
            if (access(signKey_.c_str(), R_OK) != 0)
                return Fail(signKey_, std::strerror(errno));
        }
        CX::CExcludeRules excludes;
        if (!excludes_.Read(excludes))
            return kTrouble;
        CX::CPathPolicy policy;
        std::string problem;
        if (policy_->count() != 0 && !policy.AddFile(policyFile_, problem))
            return Fail(policyFile_, problem);
        std::string root;
        if (!ResolveRoot(directory_, root))
            return kTrouble;
        const std::string folder = root.size() > 1 ? root.substr(0, root.size() - 1) : root;

        // The new snapshot is made in a temporary file and takes the
        // container's place only when it is finished; until then the
        // previous one stays.
        // A baseline silently replaced by another tree's is a lost baseline:
        // the current snapshot's origin (and settings) are read as the file
        // is checked.
        SnapshotFile file;
        Current current;
        SnapshotFile::Options fileOptions;
        fileOptions.update = update_;
        fileOptions.force = force_;
        fileOptions.wait = wait_;
        fileOptions.readCurrent = [&](CX::CContentContainerDatabase& db) {
            return ReadCurrent(db, file.Target(), update_, current);
        };
        if (!file.Acquire(container_, fileOptions))
            return g_interrupted.load() ? kInterrupted : kTrouble;
        // A new snapshot's walk needs nothing of the current one: it starts
        // here, its warnings held back, while the current snapshot is read
        // and the new file made. A run refused meanwhile gives it up.
        CX::CTreeIndexer indexer;
        if (!update_) {
            Configure(indexer, file, WalkSettings(CX::SIndexSettings(), excludes, policy), false);
            (void)indexer.Start(root);  // what fails here, Index says
        }
        // Digests asked for: OpenSSL sets itself up while the files are made
        // ready (those of the current snapshot, if not asked, once it is read).
        std::optional<CX::CChecksumWarmUp> warmUp;
        if (checksum_->count() != 0) {
            CX::EChecksum asked = CX::EChecksum::None;
            (void)CX::ChecksumFromName(checksumName_, asked);  // the parser checked the name
            warmUp.emplace(asked);
        }
        if (!file.CheckCurrent())
            return g_interrupted.load() ? kInterrupted : kTrouble;
        bool update = update_;
        if (file.HoldsFinishedSnapshot() && !current.origin.empty() && current.origin != folder) {
            if (!force_)
                return Fail(file.Target(), "holds a snapshot of " + EscapeLine(current.origin) + ", not of " +
                                               EscapeLine(folder) +
                                               (update_ ? " (--force starts it afresh)" : " (--force replaces it)"));
            update = false;
            current.settings = CX::SIndexSettings();
            file.StartAfresh();
        }
        if (!warmUp && noChecksum_->count() == 0)
            warmUp.emplace(current.settings.checksum);
        if (!file.Prepare())
            return g_interrupted.load() ? kInterrupted : kTrouble;
        if (update_ || file.OwnNamesChanged())
            Configure(indexer, file, WalkSettings(current.settings, excludes, policy), update);
        return Write(indexer, file, root, commandLine);
    }

private:
    // An update walks as the snapshot was taken; an option given replaces
    // its one setting.
    CX::SIndexSettings WalkSettings(CX::SIndexSettings settings, const CX::CExcludeRules& excludes,
                                    const CX::CPathPolicy& policy) const
    {
        if (checksum_->count() != 0)
            (void)CX::ChecksumFromName(checksumName_, settings.checksum);  // the parser checked the name
        if (noChecksum_->count() != 0)
            settings.checksum = CX::EChecksum::None;
        if (oneFileSystem_->count() != 0)
            settings.oneFileSystem = true;
        if (noOneFileSystem_->count() != 0)
            settings.oneFileSystem = false;
        if (xattrs_->count() != 0)
            settings.xattrs = true;
        if (noXattrs_->count() != 0)
            settings.xattrs = false;
        if (excludes_.Given())
            settings.excludes = excludes;
        if (collect_->count() != 0)
            settings.collects = collects_;
        if (policy_->count() != 0)
            settings.policy = policy;
        return settings;
    }

    static void Configure(CX::CTreeIndexer& indexer, const SnapshotFile& file, const CX::SIndexSettings& settings,
                          bool update)
    {
        indexer.SetSettings(settings);
        indexer.SetUpdate(update);
        // The container's files, and the new one's, are left out of the walk
        // by their folder's identity, whatever path leads there.
        indexer.SetOwnFiles(file.FolderDevice(), file.FolderInode(), file.OwnNames());
        // The progress line is gone before anything else is said.
        indexer.SetCallback(MakeWalkCallback("indexed"));
    }

    int Write(CX::CTreeIndexer& indexer, SnapshotFile& file, const std::string& root, const std::string& commandLine)
    {
        CX::STreeIndexerCounts counts;
        bool interrupted = false;
        {
            // The database makes the new container (or opens the copy of the
            // current one) and records where the snapshot comes from. Closing
            // it folds its log into the file, which is then one file that
            // holds the whole snapshot. Only this thread writes it: its calls
            // need not take SQLite's mutex.
            CX::COwnThreadContainers ownThread;
            CX::CContentContainerDatabase db(file.Temporary());
            CKoError error = db.GetConstructionError();
            if (error.IsError())
                return Fail(file.Target(), Cause(error));
            // Nobody reads the temporary file and a crash leaves it to be
            // removed, so a new one needs no log that survives the process:
            // the rows go straight into it instead of through the write-ahead
            // log and again out of it. Its rollback journal stays in memory,
            // small while the rows are only appended. A copy of the current
            // snapshot keeps its log, since updates would fill that journal.
            // Set before anything is written, a new file's log is never made.
            const bool direct = !file.CopiedCurrent();
            if (direct)
                (void)db.Execute("PRAGMA journal_mode=MEMORY;");
            error = db.SetValue("OriginQuery", commandLine);
            if (error.IsError())
                return Fail(file.Target(), Cause(error));
            error = indexer.Index(db, root, counts);
            indexer.SetCallback(nullptr);
            // The container is left in the journal mode it always has.
            if (direct)
                (void)db.Execute("PRAGMA journal_mode=WAL;");
            interrupted = FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED);
            if (error.IsError() && !interrupted)
                return Fail(file.Target(), WalkFailure(error));
        }
        // The progress line a terminal may show goes first; a log gets plain lines.
        const char* const clear = interrupted && isatty(STDERR_FILENO) != 0 ? "\r\033[K" : "";
        if (interrupted && file.HoldsFinishedSnapshot()) {
            std::fprintf(stderr, "%s%s: interrupted; the previous snapshot is kept as it was\n", clear,
                         EscapeLine(file.Target()).c_str());
            return kInterrupted;
        }
        // The seal is made of the finished temporary file before anything is
        // put in place, so that a key that cannot sign leaves the previous
        // snapshot and its seal as they were. An interrupted first snapshot is
        // kept unsealed: it is not what was asked for.
        PendingSeal seal;
        const bool sign = !signKey_.empty() && !interrupted;
        if (sign) {
            std::string problem;
            if (!SignFile(file.Temporary(), file.Target(), signKey_, problem, seal)) {
                Fail(file.Target(), problem + "; the previous snapshot and its seal are kept");
                return g_interrupted.load() ? kInterrupted : kTrouble;
            }
        }
        // The container first, then its seal. A crash between the two renames
        // leaves the new snapshot beside the previous one's seal, which does
        // not verify: a check with --verify refuses it (it fails closed) until
        // cx seal or the next cx index --sign seals it again.
        if (!file.Publish())
            return kTrouble;
        if (sign && !seal.Place())
            return kTrouble;
        std::string digests;
        if (counts.digestsReused != 0)
            digests = ", " + std::to_string(counts.digestsReused) + " digests of unchanged files taken over, " +
                      std::to_string(counts.digestsTaken) + " read";
        std::fprintf(stderr, "%s%s: %llu folders, %llu files, %llu warnings%s%s\n", clear,
                     EscapeLine(file.Target()).c_str(), static_cast<unsigned long long>(counts.folders),
                     static_cast<unsigned long long>(counts.files), static_cast<unsigned long long>(counts.warnings),
                     digests.c_str(),
                     interrupted ? (signKey_.empty() ? " (interrupted: snapshot incomplete)"
                                                     : " (interrupted: snapshot incomplete, not sealed)")
                                 : "");
        return interrupted ? kInterrupted : counts.problems != 0 ? kReported : kClean;
    }

    CLI::App* command_ = nullptr;
    std::string directory_;
    std::string container_;
    bool update_ = false;
    bool force_ = false;  // replace a file that is not a container, or another folder's snapshot
    bool wait_ = false;   // wait for another writer of the container
    CLI::Option* sign_ = nullptr;
    std::string signKey_;  // seal the new snapshot with this key
    CLI::Option* oneFileSystem_ = nullptr;
    CLI::Option* noOneFileSystem_ = nullptr;
    CLI::Option* checksum_ = nullptr;
    std::string checksumName_;
    CLI::Option* noChecksum_ = nullptr;
    CLI::Option* xattrs_ = nullptr;
    CLI::Option* noXattrs_ = nullptr;
    ExcludeOptions excludes_;
    CLI::Option* collect_ = nullptr;
    std::vector<std::string> collects_;
    CLI::Option* policy_ = nullptr;
    std::string policyFile_;
};

}  // namespace

std::unique_ptr<Command> MakeIndexCommand() { return std::make_unique<IndexCommand>(); }

}  // namespace cxcli
