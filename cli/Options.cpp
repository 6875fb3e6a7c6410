#include "Options.h"

#include "Output.h"

#include <CLI/CLI.hpp>

#include <algorithm>

namespace cxcli {

void ExcludeOptions::Define(CLI::App& command, const char* patternHelp, const char* fileHelp)
{
    command_ = &command;
    patternOption_ = command.add_option("--exclude", patterns_, patternHelp)->type_name("PATTERN");
    fileOption_ = command.add_option("--exclude-from", files_, fileHelp)->type_name("FILE");
}

bool ExcludeOptions::Read(CX::CExcludeRules& rules) const
{
    size_t nextPattern = 0;
    size_t nextFile = 0;
    std::string problem;
    for (const CLI::Option* option : command_->parse_order()) {
        if (option == patternOption_ && nextPattern < patterns_.size()) {
            const std::string& pattern = patterns_[nextPattern++];
            if (!rules.AddPattern(pattern, problem)) {
                Fail("--exclude '" + pattern + "'", problem);
                return false;
            }
        } else if (option == fileOption_ && nextFile < files_.size()) {
            const std::string& file = files_[nextFile++];
            if (!rules.AddFile(file, problem)) {
                Fail(file, problem);
                return false;
            }
        }
    }
    return true;
}

void ReportOptions::Define(CLI::App& command, DiffOptions& options)
{
    command.add_flag("--json", options.json,
                     "One JSON object per line, each changed attribute under \"changes\" with its old and new value");
    command.add_flag("--stat", options.stat, "Only the counts (one JSON object with --json)");
    command
        .add_option("--ignore", ignored_,
                    "Leave attributes out of the comparison: mtime, mode, uid, gid, size, type, target, rdev, "
                    "digest, or any other recorded name (comma-separated, repeatable)")
        ->type_name("ATTR[,ATTR...]")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    command.add_flag("--folder-mtime", options.folderMTime,
                     "Compare the folders' modification times too (by default a folder whose only change is its "
                     "time is not reported: adding, removing or renaming an entry in it sets that time)");
    command.add_flag("--no-renames", noRenames_,
                     "Report a moved file or folder as deleted and added, not as one R line");
    command.add_flag("--collapse-folders", collapse_,
                     "Report a folder that only one snapshot has (added or deleted) as one line, without what is "
                     "below it");
    command.add_flag("--no-recurse-deleted", collapse_, "Former name of --collapse-folders")->group("");
    command.add_flag("-q,--quiet", options.quiet,
                     "Print no report, no notes and no warnings: the exit status says what was found (trouble is "
                     "still said on standard error)");
    command.add_flag("--syslog", options.syslog,
                     "Send each change (the first 1000, then how many more), a summary and any trouble to syslog "
                     "too (identity cx, facility daemon)");
    command.add_option("--check-period", options.checkPeriod, "Steps between interruption checks")->group("");
}

void ReportOptions::ApplyTo(DiffOptions& options) const
{
    options.collapse = collapse_;
    options.renames = !noRenames_;
    for (const auto& list : ignored_)
        for (size_t start = 0; start <= list.size();) {
            const size_t comma = std::min(list.find(',', start), list.size());
            if (comma > start)
                options.ignored.push_back(list.substr(start, comma - start));
            start = comma + 1;
        }
    if (options.quiet)
        BeQuiet();
    if (options.syslog)
        LogToSyslog();
}

CLI::Option* AddChecksumOption(CLI::App& command, std::string& name, const char* bare, const char* help)
{
    // A flag that takes its value only after "=", so that "--checksum DIR"
    // leaves DIR alone.
    std::vector<std::string> names = {"sha256", "sha512", "blake2b", "xxh128"};
    if (std::find(names.begin(), names.end(), bare) == names.end())
        names.emplace_back(bare);
    return command.add_flag("--checksum{" + std::string(bare) + "}", name, help)
        ->type_name("[=ALGO]")
        ->check(CLI::IsMember(names));
}

bool NamesGiven(const char* what, const std::string& name)
{
    if (!name.empty())
        return true;
    std::fprintf(stderr, "cx: the %s name is empty\n", what);
    return false;
}

}  // namespace cxcli
