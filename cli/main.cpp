// cx: snapshot a directory tree into a content container, compare two
// snapshots, review one, and look things up.
#include "Cli.h"

#include "LogWriter.h"

#include <CLI/CLI.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <exception>

#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <sstream>
#include <utility>
#include <vector>

namespace {
std::string CommandLine(int argc, char** argv)
{
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i > 0)
            line += ' ';
        line += argv[i];
    }
    return line;
}

// The first word that is not an option, when it names no command: the
// parser would only say that a command is required.
const char* UnknownCommand(const CLI::App& app, int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!word.empty() && word[0] == '-')
            continue;
        for (const auto* command : app.get_subcommands({}))
            if (command->get_name() == word)
                return nullptr;
        return argv[i];
    }
    return nullptr;
}

// The exclude rules in the order they were given, patterns and files mixed,
// since the last matching rule decides.
bool ReadExcludes(const CLI::App& command, const CLI::Option* patternOption, const std::vector<std::string>& patterns,
                  const CLI::Option* fileOption, const std::vector<std::string>& files, CX::CExcludeRules& rules)
{
    size_t nextPattern = 0;
    size_t nextFile = 0;
    std::string problem;
    for (const CLI::Option* option : command.parse_order()) {
        if (option == patternOption && nextPattern < patterns.size()) {
            const std::string& pattern = patterns[nextPattern++];
            if (!rules.AddPattern(pattern, problem)) {
                cxcli::Fail("--exclude '" + pattern + "'", problem);
                return false;
            }
        } else if (option == fileOption && nextFile < files.size()) {
            const std::string& file = files[nextFile++];
            if (!rules.AddFile(file, problem)) {
                cxcli::Fail(file, problem);
                return false;
            }
        }
    }
    return true;
}

// The report options that cx diff and cx check share, and what they set.
struct ReportFlags {
    bool collapse = false;
    bool noRenames = false;
    std::vector<std::string> ignored;

    void ApplyTo(cxcli::DiffOptions& options) const
    {
        options.recurseDeleted = !collapse;
        options.renames = !noRenames;
        for (const auto& list : ignored)
            for (size_t start = 0; start <= list.size();) {
                const size_t comma = std::min(list.find(',', start), list.size());
                if (comma > start)
                    options.ignored.push_back(list.substr(start, comma - start));
                start = comma + 1;
            }
    }
};

void AddReportOptions(CLI::App& command, cxcli::DiffOptions& options, ReportFlags& flags)
{
    command.add_flag("--json", options.json,
                     "One JSON object per line, each changed attribute under \"changes\" with its old and new value");
    command.add_flag("--stat", options.stat, "Only the counts (one JSON object with --json)");
    command
        .add_option("--ignore", flags.ignored,
                    "Leave attributes out of the comparison: mtime, mode, uid, gid, size, type, target, rdev, "
                    "digest, or any other recorded name (comma-separated, repeatable)")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    command.add_flag("--folder-mtime", options.folderMTime,
                     "Compare the folders' modification times too (by default a folder whose only change is its "
                     "time is not reported: adding, removing or renaming an entry in it sets that time)");
    command.add_flag("--no-renames", flags.noRenames,
                     "Report a moved file or folder as deleted and added, not as one R line");
    command.add_flag("--collapse-folders", flags.collapse,
                     "Report a folder that only one snapshot has (added or deleted) as one line, without what is "
                     "below it");
    command.add_flag("--no-recurse-deleted", flags.collapse, "Former name of --collapse-folders")->group("");
    command.add_option("--check-period", options.checkPeriod, "Steps between interruption checks")->group("");
}

// An empty name would reach the library, whose answer names no file.
bool NamesGiven(std::initializer_list<std::pair<const char*, const std::string*>> names)
{
    for (const auto& name : names)
        if (name.second->empty()) {
            std::fprintf(stderr, "cx: the %s name is empty\n", name.first);
            return false;
        }
    return true;
}

int Run(int argc, char** argv)
{
    CLI::App app{"cx: snapshots of file trees in content containers, their differences and reviews", "cx"};
    app.set_version_flag("--version", std::string("cx ") + CX_VERSION);
    app.require_subcommand(1);
    // Options of cx itself (-v) are taken after the command's name too; the
    // commands made from here on inherit that.
    app.fallthrough();
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "Show the library's own failure log lines");
    app.footer("Exit status: 0 nothing to report, 1 something reported (changes, missing folders, a name not "
               "found), 2 trouble, 130 interrupted. cx COMMAND --help describes each command.");

    cxcli::IndexOptions index;
    auto* indexCommand = app.add_subcommand("index", "Snapshot the tree under DIR into CONTAINER, replacing what it held");
    indexCommand->add_option("DIR", index.directory, "Directory to snapshot")->required();
    indexCommand->add_option("CONTAINER", index.container, "Container file to write")->required();
    indexCommand->add_flag("--update", index.update,
                           "Bring an existing container up to date with the tree instead of making a new one");
    indexCommand->add_flag("--force", index.force, "Replace CONTAINER even when it is not a container");
    indexCommand->add_flag("--wait", index.wait, "Wait while another writer holds CONTAINER instead of failing");
    indexCommand->add_flag("--one-file-system", index.oneFileSystem, "Stay on the file system of DIR");
    indexCommand->add_flag("--checksum", index.checksum, "Record an XXH128 digest of each regular file");
    std::vector<std::string> excludes;
    std::vector<std::string> excludeFiles;
    const auto* excludeOption = indexCommand->add_option(
        "--exclude", excludes,
        "Leave out what PATTERN matches (repeatable; the rules are below)")
                                     ->type_name("PATTERN");
    const auto* excludeFromOption = indexCommand->add_option(
        "--exclude-from", excludeFiles,
        "Read exclude patterns from FILE, one per line, # comments and blank lines skipped (repeatable; - for "
        "standard input)")
                                         ->type_name("FILE");
    indexCommand->add_option("--collect", index.collects, "Mark files matching GLOB with Collect=\"true\"")
        ->type_name("GLOB");

    indexCommand->footer(
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
        "records the rules; cx info lists them.");

    cxcli::DiffOptions diff;
    ReportFlags diffFlags;
    auto* diffCommand = app.add_subcommand(
        "diff",
        "Show what changed from OLD to NEW, one line per entry in tree order: A added, D deleted, "
        "M modified, R moved (\"R OLD-PATH -> NEW-PATH\"), ? unknown (below a folder one snapshot could not "
        "read). M and R lines name each changed attribute after a tab, \"NAME OLD->NEW\" "
        "(\"M /srv/app/conf.yml<TAB>mode 0644->0600<TAB>size 120->131\"). Only the entries at or below "
        "PATHs are reported when PATHs are given");
    diffCommand->add_option("OLD", diff.oldContainer, "Previous snapshot")->required();
    diffCommand->add_option("NEW", diff.newContainer, "Current snapshot")->required();
    diffCommand->add_option("PATH", diff.paths, "Report only this file or folder and what is below it");
    AddReportOptions(*diffCommand, diff, diffFlags);
    diffCommand->add_flag("--relative", diff.relative,
                          "Compare by the paths below each snapshot's origin (a copy of a tree with its original)");

    cxcli::CheckOptions check;
    ReportFlags checkFlags;
    auto* checkCommand = app.add_subcommand(
        "check", "Show what changed in the tree since the snapshot CONTAINER was taken, reported as diff reports");
    checkCommand->add_option("CONTAINER", check.report.oldContainer, "The snapshot")->required();
    checkCommand->add_option("DIR", check.directory,
                             "The tree to check (default: the snapshot's origin; another folder is compared by the "
                             "paths below it, as a copy)");
    checkCommand->add_option("--path", check.report.paths,
                             "Report only this file or folder and what is below it (repeatable)");
    AddReportOptions(*checkCommand, check.report, checkFlags);
    checkCommand->add_flag("--checksum", check.checksum, "Compare digests even if the snapshot has none");
    checkCommand->add_flag("--no-checksum", check.noChecksum, "Do not read files for digests");
    std::vector<std::string> checkExcludes;
    std::vector<std::string> checkExcludeFiles;
    const auto* checkExcludeOption = checkCommand->add_option(
        "--exclude", checkExcludes, "Leave out paths matching PATTERN, instead of the snapshot's rules (repeatable)");
    const auto* checkExcludeFromOption = checkCommand->add_option(
        "--exclude-from", checkExcludeFiles, "Read exclude patterns from FILE, instead of the snapshot's rules");

    std::string container;
    bool collect = false;
    auto* reviewCommand = app.add_subcommand("review", "List folders missing from a container");
    reviewCommand->add_option("CONTAINER", container, "Container file")->required();
    reviewCommand->add_flag("--collect", collect, "Review the ancestors of files marked Collect=\"true\"");

    std::string path;
    auto* findCommand = app.add_subcommand("find", "Look a file or folder up by its full path");
    findCommand->add_option("CONTAINER", container, "Container file")->required();
    findCommand->add_option("PATH", path, "Full path")->required();

    std::string folder;
    bool longFormat = false;
    auto* listCommand = app.add_subcommand("ls", "List the folders, or the files of one folder");
    listCommand->add_option("CONTAINER", container, "Container file")->required();
    listCommand->add_option("FOLDER", folder, "Folder whose files to list");
    listCommand->add_flag("-l,--long", longFormat, "Add ids and metadata");

    bool ignoreCase = false;
    unsigned threads = 1;
    auto* dupsCommand = app.add_subcommand("dups", "Print each name on standard input that was seen before");
    dupsCommand->add_flag("--ignore-case", ignoreCase, "Names that differ only in ASCII case are the same");
    dupsCommand
        ->add_option("-j,--jobs", threads,
                     "Threads checking names through clones of one checker (default 1: they share one database, "
                     "so more threads do not go faster)")
        ->check(CLI::Range(1u, 64u));

    auto* infoCommand = app.add_subcommand("info", "Origin, state and counts of a container");
    infoCommand->add_option("CONTAINER", container, "Container file")->required();

    if (const char* unknown = UnknownCommand(app, argc, argv)) {
        std::fprintf(stderr, "cx: %s: no such command (cx --help lists them)\n", cxcli::EscapeLine(unknown).c_str());
        return cxcli::kTrouble;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {  // --help, --version
            // Through stdio, so that a write error is seen at the end.
            std::ostringstream text;
            const int status = app.exit(error, text, text);
            cxcli::Print(stdout, "%s", text.str().c_str());
            return status;
        }
        // One line, where the parser's own message takes two.
        std::fprintf(stderr, "cx: %s (cx --help lists the options)\n", cxcli::EscapeLine(error.what()).c_str());
        return cxcli::kTrouble;
    }

    g_ptrLogWriter->SetTraceLevel(verbose ? 0 : -2);
    if (*indexCommand) {
        if (!NamesGiven({{"directory", &index.directory}, {"container", &index.container}}))
            return cxcli::kTrouble;
        if (!ReadExcludes(*indexCommand, excludeOption, excludes, excludeFromOption, excludeFiles, index.excludes))
            return cxcli::kTrouble;
        index.commandLine = CommandLine(argc, argv);
        // Caught here so that what the run made (its temporary file) is
        // cleaned up on the way out.
        try {
            return cxcli::RunIndex(index);
        } catch (const std::exception& error) {
            return cxcli::Fail(index.container, error.what());
        }
    }
    if (*diffCommand) {
        if (!NamesGiven({{"container", &diff.oldContainer}, {"container", &diff.newContainer}}))
            return cxcli::kTrouble;
        diffFlags.ApplyTo(diff);
        return diff.relative ? cxcli::RunRelativeDiff(diff) : cxcli::RunDiff(diff);
    }
    if (*checkCommand) {
        if (!NamesGiven({{"container", &check.report.oldContainer}}))
            return cxcli::kTrouble;
        if (!ReadExcludes(*checkCommand, checkExcludeOption, checkExcludes, checkExcludeFromOption, checkExcludeFiles,
                          check.excludes))
            return cxcli::kTrouble;
        checkFlags.ApplyTo(check.report);
        return cxcli::RunCheck(check);
    }
    if (!*dupsCommand && !NamesGiven({{"container", &container}}))
        return cxcli::kTrouble;
    if (*reviewCommand)
        return cxcli::RunReview(container, collect);
    if (*findCommand)
        return cxcli::RunFind(container, path);
    if (*listCommand)
        return cxcli::RunList(container, listCommand->count("FOLDER") != 0 ? &folder : nullptr, longFormat);
    if (*dupsCommand)
        return cxcli::RunDups(ignoreCase, threads);
    return cxcli::RunInfo(container);
}
}  // namespace

int main(int argc, char** argv)
{
    cxcli::InstallInterruptHandler();  // first: a stop asked for early is not lost
    // Nothing here asks SQLite how much memory it holds, so its allocations
    // need not be counted, which takes a process-wide lock on each of them.
    // Only possible before SQLite's first use; if it is too late, it counts.
    (void)sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    // Whatever a command wrote to standard output must have arrived.
    return cxcli::FinishOutput(stdout, Run(argc, argv));
}
