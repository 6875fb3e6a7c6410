// cx: snapshot a directory tree into a content container, compare two
// snapshots, review one, and look things up. Each command lives in a file
// of its own with its options (Command.h); this is the table of them.
#include "Command.h"
#include "Output.h"
#include "Progress.h"

#include "LogWriter.h"

#include <CLI/CLI.hpp>
#include <sqlite3.h>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The commands, in the order --help lists them, by the name each defines.
const struct {
    const char* name;
    std::unique_ptr<cxcli::Command> (*make)();
} kCommands[] = {
    {"index", cxcli::MakeIndexCommand}, {"diff", cxcli::MakeDiffCommand},     {"check", cxcli::MakeCheckCommand},
    {"seal", cxcli::MakeSealCommand},   {"review", cxcli::MakeReviewCommand}, {"find", cxcli::MakeFindCommand},
    {"ls", cxcli::MakeListCommand},     {"dups", cxcli::MakeDupsCommand},     {"info", cxcli::MakeInfoCommand},
};

// The first word that is not an option: the command's name, if any. Its
// place is in `at`.
const char* FirstWord(int argc, char** argv, int& at)
{
    for (at = 1; at < argc; ++at)
        if (argv[at][0] != '-')
            return argv[at];
    return nullptr;
}

// Whether the arguments before argument `end` are only cx's -v: the parser
// then goes straight into the command. Anything else there (help in any of
// the parser's spellings, "--", an unknown option) may mean cx's own help,
// which lists every command.
bool OnlyVerboseBefore(int end, char** argv)
{
    for (int i = 1; i < end; ++i)
        if (std::strcmp(argv[i], "-v") != 0 && std::strcmp(argv[i], "--verbose") != 0)
            return false;
    return true;
}

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

// Whether `word` names a command.
bool IsCommand(const char* word)
{
    for (const auto& command : kCommands)
        if (std::strcmp(word, command.name) == 0)
            return true;
    return false;
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

    // A word that names no command is said so; the parser would only say
    // that a command is required.
    int at = 0;
    const char* const word = FirstWord(argc, argv, at);
    if (word != nullptr && !IsCommand(word)) {
        std::fprintf(stderr, "cx: %s: no such command (cx --help lists them)\n", cxcli::EscapeLine(word).c_str());
        return cxcli::kTrouble;
    }
    // Only the command named is defined, with its options and help: defining
    // all of them (and taking them down again) cost about 0.3 ms a run. When
    // cx's own help may be asked for, all.
    const bool all = word == nullptr || !OnlyVerboseBefore(at, argv);
    std::vector<std::pair<std::unique_ptr<cxcli::Command>, CLI::App*>> commands;
    for (const auto& entry : kCommands) {
        if (!all && std::strcmp(word, entry.name) != 0)
            continue;
        std::unique_ptr<cxcli::Command> command = entry.make();
        CLI::App& parsed = command->Define(app);
        commands.emplace_back(std::move(command), &parsed);
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

    // The library's log: its failures with -v, more with CX_TRACE_LEVEL
    // (1: also why an update took a digest over or read the file again).
    const char* level = std::getenv("CX_TRACE_LEVEL");
    if (level == nullptr || *level == '\0')
        g_ptrLogWriter->SetTraceLevel(verbose ? 0 : -2);
    for (auto& [command, parsed] : commands)
        if (*parsed) {
            // Caught here so that what the run made (a temporary file) is
            // cleaned up on the way out.
            try {
                return command->Run(CommandLine(argc, argv));
            } catch (const std::exception& error) {
                return cxcli::Fail(parsed->get_name(), error.what());
            }
        }
    return cxcli::kTrouble;  // the parser asks for one command
}

}  // namespace

int main(int argc, char** argv)
{
    cxcli::InstallInterruptHandler();  // first: a stop asked for early is not lost
    // Nothing here asks SQLite how much memory it holds, so its allocations
    // need not be counted, which takes a process-wide lock on each of them.
    // Only possible before SQLite's first use; if it is too late, it counts.
    (void)sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    // Large blocks (a big folder's listing) come from their own mappings and
    // go back when freed. Left to itself, glibc raises that threshold each
    // time one is freed, after which such blocks are carved from the heap and
    // their room stays: the peak then grew with the tree, 3 MB more at ten
    // million files than at one. Fixing it costs no measurable time.
#ifdef M_MMAP_THRESHOLD
    (void)mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    // Whatever a command wrote to standard output must have arrived.
    return cxcli::FinishOutput(stdout, Run(argc, argv));
}
