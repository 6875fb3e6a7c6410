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
#include "CompareRebasedContainers.h"
#include "FXPath.h"
#include "ContentContainerDatabase.h"
#include "DiffReport.h"
#include "Options.h"
#include "Output.h"
#include "Progress.h"
#include "Seal.h"

#include <CLI/CLI.hpp>
#include <boost/make_shared.hpp>

#include <cstdio>
#include <functional>
#include <set>

namespace cxcli {

int RunDiff(const DiffOptions& options)
{
    // Both sides must exist and be containers: the comparison would create a
    // missing current container, and a typo should not leave a file behind.
    if (!CheckContainer(options.oldContainer) || !CheckContainer(options.newContainer))
        return kTrouble;
    ReportSide sides[2];
    sides[0].label = sides[0].container = options.oldContainer;
    sides[1].label = sides[1].container = options.newContainer;
    sides[0].sealed = options.sealedOld;
    sides[1].sealed = options.sealedNew;
    const std::string* names[2] = {&options.oldContainer, &options.newContainer};
    for (int side = 0; side < 2; ++side) {
        CX::CContentContainerDatabase probe(*names[side], true);
        if (probe.GetConstructionError().IsError())
            return Fail(sides[side].label, Cause(probe.GetConstructionError()));
        const CKoError error = ReadFacts(probe, sides[side].facts);
        if (error.IsError())
            return Fail(sides[side].label, Cause(error));
        if (side == 0 || sides[1].label != sides[0].label)  // a snapshot given twice is named once
            WarnIfNotComplete(sides[side].label, sides[side].facts);
    }
    if (!CheckIgnoredNames(options, sides[0], sides[1]))
        return kTrouble;
    return RunReport(options, sides[0], sides[1], [&options](const boost::shared_ptr<DiffPrinter>& printer) {
        CX::CCompareContentContainers comparison(options.newContainer, options.oldContainer, printer);
        auto bag = boost::make_shared<CBag>();
        if (options.checkPeriod > 0)
            bag->Set("AbortCheckPeriod::CCC", options.checkPeriod);
        comparison.SetConfigurationBag(bag);
        return comparison.CompareDatabases();
    });
}

int RunRelativeDiff(const DiffOptions& options)
{
    if (!CheckContainer(options.oldContainer) || !CheckContainer(options.newContainer))
        return kTrouble;
    ReportSide sides[2];
    sides[0].label = sides[0].container = options.oldContainer;
    sides[1].label = sides[1].container = options.newContainer;
    sides[0].sealed = options.sealedOld;
    sides[1].sealed = options.sealedNew;
    for (int side = 0; side < 2; ++side) {
        CX::CContentContainerDatabase probe(side == 0 ? options.oldContainer : options.newContainer, true);
        if (probe.GetConstructionError().IsError())
            return Fail(sides[side].label, Cause(probe.GetConstructionError()));
        CKoError error = ReadFacts(probe, sides[side].facts);
        if (error.IsError())
            return Fail(sides[side].label, Cause(error));
        if (RecordedOrigin(probe, sides[side].label).empty())
            return kTrouble;
        if (side == 0 || sides[1].label != sides[0].label)
            WarnIfNotComplete(sides[side].label, sides[side].facts);
    }
    std::string oldRoot = sides[0].facts.origin;
    std::string newRoot = sides[1].facts.origin;
    FXPath::AppendTrailingDelimiter(oldRoot);
    FXPath::AppendTrailingDelimiter(newRoot);
    if (oldRoot == newRoot)
        return RunDiff(options);
    // The new side's entries stand under the old side's origin.
    sides[1].facts.origin = sides[0].facts.origin;
    DiffOptions report = options;
    report.copy = true;
    report.oldRoot = oldRoot;
    report.newRoot = newRoot;
    if (!CheckIgnoredNames(report, sides[0], sides[1]))
        return kTrouble;
    return RunReport(report, sides[0], sides[1], [&](const boost::shared_ptr<DiffPrinter>& printer) {
        CX::CCompareRebasedContainers comparison(options.newContainer, newRoot, options.oldContainer, oldRoot,
                                                 printer);
        auto bag = boost::make_shared<CBag>();
        if (options.checkPeriod > 0)
            bag->Set("AbortCheckPeriod::CCC", options.checkPeriod);
        comparison.SetConfigurationBag(bag);
        return comparison.CompareDatabases();
    });
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
        if (verify_->count() != 0) {
            options_.sealedOld = &sealed[0];
            options_.sealedNew = &sealed[1];
        }
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
