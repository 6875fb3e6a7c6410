// cx info: what a container says of itself, and its counts.
#include "Command.h"

#include "Arguments.h"
#include "ContentContainerDatabase.h"
#include "Options.h"
#include "Output.h"

#include <CLI/CLI.hpp>

namespace cxcli {

namespace {

// One "LABEL\tLINE" per line of `text`.
void PrintLines(const char* label, const std::string& text)
{
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        Print(stdout, "%s\t%s\n", label, EscapeLine(text.substr(start, end - start)).c_str());
        start = end + 1;
    }
}

int RunInfo(const std::string& container)
{
    auto db = OpenForReading(container);
    if (!db)
        return kTrouble;
    std::string origin;
    std::string originQuery;
    std::string state;
    std::string problems;
    db->GetValue("Origin", origin);            // absent values print empty
    db->GetValue("OriginQuery", originQuery);
    db->GetValue("SnapshotState", state);
    db->GetValue("SnapshotProblems", problems);
    // The settings as recorded, whether or not they can be read back.
    const char* const settings[][2] = {
        {"Checksum", "checksum"}, {"OneFileSystem", "one file system"}, {"Xattrs", "xattrs"}, {"Attributes", "records"}};
    std::string settingLines;
    for (const auto& setting : settings) {
        std::string value;
        if (!db->GetValue(setting[0], value).IsError())
            settingLines += std::string(setting[1]) + '\t' + EscapeLine(value) + '\n';
    }
    std::string excludes;
    db->GetValue("ExcludeRules", excludes);
    std::string collects;
    db->GetValue("Collects", collects);
    std::string policy;
    db->GetValue("Policy", policy);
    // The folders above the origin that cx index records are counted apart,
    // so that "folders" matches the index summary.
    int64_t folders = 0;
    int64_t ancestors = 0;
    int64_t files = 0;
    CKoError error = db->QueryScalar("SELECT COUNT(*) FROM Folders;", folders, 0);
    if (!error.IsError())
        error = db->QueryScalar("SELECT COUNT(*) FROM Folders WHERE Metadata = 'Type=\"ancestor\"';", ancestors, 0);
    if (!error.IsError())
        error = db->QueryScalar("SELECT COUNT(*) FROM Files;", files, 0);
    if (error.IsError())
        return Fail(container, Cause(error));
    Print(stdout, "container\t%s\norigin\t%s\norigin query\t%s\nstate\t%s\n",
          EscapeLine(db->GetFullDatabaseName()).c_str(), EscapeLine(origin).c_str(),
          EscapeLine(originQuery).c_str(), state.empty() ? "unknown" : EscapeLine(state).c_str());
    if (!problems.empty())  // folders and files a partial snapshot could not read
        Print(stdout, "problems\t%s\n", EscapeLine(problems).c_str());
    Print(stdout, "%s", settingLines.c_str());
    PrintLines("exclude", excludes);
    PrintLines("collect", collects);
    PrintLines("policy", policy);
    Print(stdout, "folders\t%lld\nancestors\t%lld\nfiles\t%lld\n", static_cast<long long>(folders - ancestors),
          static_cast<long long>(ancestors), static_cast<long long>(files));
    return kClean;
}


class InfoCommand : public Command {
public:
    CLI::App& Define(CLI::App& app) override
    {
        auto* command = app.add_subcommand("info", "Origin, state, settings and counts of a container");
        command->add_option("CONTAINER", container_, "Container file")->required();
        return *command;
    }

    int Run(const std::string&) override
    {
        if (!NamesGiven("container", container_))
            return kTrouble;
        return RunInfo(container_);
    }

private:
    std::string container_;
};

}  // namespace

std::unique_ptr<Command> MakeInfoCommand() { return std::make_unique<InfoCommand>(); }

}  // namespace cxcli
