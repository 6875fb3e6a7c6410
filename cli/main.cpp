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
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The commands, in the order --help lists them.
std::unique_ptr<cxcli::Command> (*const kCommands[])() = {
    cxcli::MakeIndexCommand, cxcli::MakeDiffCommand, cxcli::MakeCheckCommand, cxcli::MakeSealCommand,
    cxcli::MakeReviewCommand, cxcli::MakeFindCommand, cxcli::MakeListCommand, cxcli::MakeDupsCommand,
    cxcli::MakeInfoCommand,
};

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

    std::vector<std::pair<std::unique_ptr<cxcli::Command>, CLI::App*>> commands;
    for (const auto make : kCommands) {
        std::unique_ptr<cxcli::Command> command = make();
        CLI::App& parsed = command->Define(app);
        commands.emplace_back(std::move(command), &parsed);
    }

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
