// cx diff: what changed between two snapshots, in tree order.
//
// Metadata is compared attribute by attribute: an attribute that only one
// snapshot recorded (a digest taken with --checksum on one side only) is not a
// change, and one note on standard error names such attributes. Entries below
// a folder that either snapshot could not read are reported as unknown ("?"),
// not as added or deleted. A snapshot that is not complete is named in a
// warning on standard error first.
#include "Diff.h"

#include "Arguments.h"
#include "Bag.h"
#include "Command.h"
#include "CompareContentContainers.h"
#include "ContentContainerDatabase.h"
#include "DiffReport.h"
#include "Options.h"
#include "Output.h"
#include "Progress.h"
#include "Scratch.h"
#include "Seal.h"
#include "SqlText.h"

#include <CLI/CLI.hpp>
#include <boost/make_shared.hpp>

#include <cstdio>
#include <set>

namespace cxcli {

namespace {

// What the comparison could not judge, said once on standard error.
void NoteNotCompared(const std::set<std::string>& keys, const CompareRules& rules)
{
    std::string others;
    bool digests = false;
    for (const auto& key : keys) {
        if (CX::IsChecksumAttribute(key))
            digests = true;
        else
            others += (others.empty() ? "" : ", ") + key;
    }
    const CX::EChecksum before = rules.before.checksum;
    const CX::EChecksum after = rules.after.checksum;
    if (digests && before != CX::EChecksum::None && after != CX::EChecksum::None && before != after)
        std::fprintf(stderr, "cx: note: contents not compared: the snapshots hold digests of different algorithms "
                             "(%s and %s)\n",
                     CX::ChecksumName(before), CX::ChecksumName(after));
    else if (digests)
        others = std::string(CX::ChecksumAttribute(before != CX::EChecksum::None ? before : after)) +
                 (others.empty() ? "" : ", ") + others;
    if (!others.empty())
        std::fprintf(stderr, "cx: note: not compared, recorded in one snapshot only: %s\n", EscapeLine(others).c_str());
}

}  // namespace

int RunDiff(const DiffOptions& options)
{
    // Both sides must exist and be containers: the comparison would create a
    // missing current container, and a typo should not leave a file behind.
    if (!CheckContainer(options.oldContainer) || !CheckContainer(options.newContainer))
        return kTrouble;
    DiffOptions resolved = options;
    resolved.paths.clear();
    for (const auto& argument : options.paths) {
        std::string path;
        bool folderOnly = false;
        if (!AbsolutePath(argument, path, folderOnly))
            return kTrouble;
        resolved.paths.push_back(path);
    }
    std::set<std::string> unreadable;
    std::set<std::string> warned;  // a snapshot given twice is named once
    std::vector<std::string> origins;
    CompareRules rules;
    rules.ignored = options.ignored;
    rules.folderMTime = options.folderMTime;
    rules.copy = options.copy;
    const std::string& newLabel = options.newLabel.empty() ? options.newContainer : options.newLabel;
    for (const auto* name : {&options.oldContainer, &options.newContainer}) {
        const std::string& label = name == &options.newContainer ? newLabel : *name;
        CX::CContentContainerDatabase probe(*name, true);
        if (probe.GetConstructionError().IsError())
            return Fail(label, Cause(probe.GetConstructionError()));
        SnapshotFacts facts;
        const CKoError error = ReadFacts(probe, facts);
        if (error.IsError())
            return Fail(label, Cause(error));
        if (warned.insert(label).second)
            WarnIfNotComplete(label, facts);
        unreadable.insert(facts.unreadableFolders.begin(), facts.unreadableFolders.end());
        origins.push_back(facts.origin);
        (name == &options.oldContainer ? rules.before : rules.after) = facts.recorded;
    }

    ReportStream report;
    auto printer = boost::make_shared<DiffPrinter>(report.Out(), resolved, std::move(unreadable), rules);
    CX::CCompareContentContainers comparison(options.newContainer, options.oldContainer, printer);
    auto bag = boost::make_shared<CBag>();
    bag->Set("RecurseDeletedFolders::CCC", options.recurseDeleted);
    if (options.checkPeriod > 0)
        bag->Set("AbortCheckPeriod::CCC", options.checkPeriod);
    comparison.SetConfigurationBag(bag);
    CKoError error = comparison.CompareDatabases();
    // What was kept back goes out after an interruption too, as far as the
    // comparison went.
    if (!error.IsError() || FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED)) {
        const CKoError finished = printer->Finish();
        if (finished.IsError())
            error = finished;
    }
    if (options.stat)
        PrintCounts(report.Out(), *printer, options.json);
    const int written = FinishOutput(report.Out(), kClean);
    if (written != kClean)
        return written;
    NoteNotCompared(printer->NotCompared(), rules);
    // Every path differs then: most likely a copy compared with its original.
    if (!origins[0].empty() && !origins[1].empty() && origins[0] != origins[1])
        std::fprintf(stderr, "cx: note: the snapshots are of different folders (%s and %s); --relative compares "
                             "the paths below each\n",
                     EscapeLine(origins[0]).c_str(), EscapeLine(origins[1]).c_str());
    if (FXErrorUtil::IsWin32(error, KO_ERROR_OPERATION_ABORTED))
        return kInterrupted;
    if (error.IsError())
        return Fail(options.oldContainer + " vs " + newLabel, Cause(error));
    return printer->Total() == 0 ? kClean : kReported;
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
        oldOrigin = RecordedOrigin(db, options.oldContainer);
        if (oldOrigin.empty())
            return kTrouble;
    }
    ScratchContainer scratch;
    std::string newOrigin;
    {
        CX::CContentContainerDatabase db(options.newContainer, true);
        if (db.GetConstructionError().IsError())
            return Fail(options.newContainer, Cause(db.GetConstructionError()));
        newOrigin = RecordedOrigin(db, options.newContainer);
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
    report.copy = true;
    return RunDiff(report);
}

namespace {

class DiffCommand : public Command {
public:
    CLI::App& Define(CLI::App& app) override
    {
        auto* command = app.add_subcommand(
            "diff",
            "Show what changed from OLD to NEW, one line per entry in tree order: A added, D deleted, "
            "M modified, R moved (\"R OLD-PATH -> NEW-PATH\"), ? unknown (below a folder one snapshot could not "
            "read). M and R lines name each changed attribute after a tab, \"NAME OLD->NEW\" "
            "(\"M /srv/app/conf.yml<TAB>mode 0644->0600<TAB>size 120->131\"). Only the entries at or below "
            "PATHs are reported when PATHs are given");
        command->add_option("OLD", options_.oldContainer, "Previous snapshot")->required();
        command->add_option("NEW", options_.newContainer, "Current snapshot")->required();
        command->add_option("PATH", options_.paths, "Report only this file or folder and what is below it");
        report_.Define(*command, options_);
        command->add_flag("--relative", options_.relative,
                          "Compare by the paths below each snapshot's origin (a copy of a tree with its original)");
        verify_ = command
                      ->add_option("--verify", signers_,
                                   "Refuse OLD and NEW unless the seal of each (OLD.sig, NEW.sig) verifies against "
                                   "the allowed signers file SIGNERS, as ssh-keygen -Y verify checks it")
                      ->type_name("SIGNERS");
        return *command;
    }

    int Run(const std::string&) override
    {
        if (!NamesGiven("container", options_.oldContainer) || !NamesGiven("container", options_.newContainer))
            return kTrouble;
        report_.ApplyTo(options_);
        // Both snapshots are trusted only once their seals verify, before
        // either is read; their identities then are kept to compare with
        // once the report is done.
        FileIdentity sealed[2];
        if (verify_->count() != 0 &&
            (!NamesGiven("allowed signers", signers_) ||
             !VerifySeal(options_.oldContainer, signers_, sealed[0]) ||
             !VerifySeal(options_.newContainer, signers_, sealed[1])))
            return g_interrupted.load() ? kInterrupted : kTrouble;
        return options_.relative ? RunRelativeDiff(options_) : RunDiff(options_);
    }

private:
    DiffOptions options_;
    ReportOptions report_;
    CLI::Option* verify_ = nullptr;
    std::string signers_;
};

}  // namespace

std::unique_ptr<Command> MakeDiffCommand() { return std::make_unique<DiffCommand>(); }

}  // namespace cxcli
