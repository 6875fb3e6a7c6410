// One command of the tool (cx index, cx diff, ...): each declares its own
// arguments, options and help on the parser and runs once the command line
// was parsed into them. main.cpp keeps the table of commands.
#pragma once

#include <memory>
#include <string>

namespace CLI {
class App;
}

namespace cxcli {

class Command {
public:
    virtual ~Command() = default;
    // Adds the command to `app` with its arguments, options and help.
    virtual CLI::App& Define(CLI::App& app) = 0;
    // Runs it; `commandLine` is the whole command line, for the record. The
    // answer is the exit status.
    virtual int Run(const std::string& commandLine) = 0;
};

std::unique_ptr<Command> MakeIndexCommand();
std::unique_ptr<Command> MakeDiffCommand();
std::unique_ptr<Command> MakeCheckCommand();
std::unique_ptr<Command> MakeSealCommand();
std::unique_ptr<Command> MakeReviewCommand();
std::unique_ptr<Command> MakeFindCommand();
std::unique_ptr<Command> MakeListCommand();
std::unique_ptr<Command> MakeInfoCommand();
std::unique_ptr<Command> MakeDupsCommand();

}  // namespace cxcli
