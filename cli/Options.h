// Option groups that more than one command takes: the exclude rules (cx
// index, cx check) and the form of a report (cx diff, cx check).
#pragma once

#include "Diff.h"
#include "ExcludeRules.h"

#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}

namespace cxcli {

// --exclude PATTERN and --exclude-from FILE, both repeatable, mixed in the
// order given: the last rule that matches decides.
class ExcludeOptions {
public:
    void Define(CLI::App& command, const char* patternHelp, const char* fileHelp);
    bool Given() const { return !patterns_.empty() || !files_.empty(); }
    // The rules as given; false after a pattern or file was reported unusable.
    bool Read(CX::CExcludeRules& rules) const;

private:
    CLI::App* command_ = nullptr;
    const CLI::Option* patternOption_ = nullptr;
    const CLI::Option* fileOption_ = nullptr;
    std::vector<std::string> patterns_;
    std::vector<std::string> files_;
};

// The options that say what a report holds and how it reads.
class ReportOptions {
public:
    void Define(CLI::App& command, DiffOptions& options);
    // What the flags set, once the command line is parsed; --quiet and
    // --syslog take effect for everything the run prints from here on.
    void ApplyTo(DiffOptions& options) const;

private:
    bool collapse_ = false;
    bool noRenames_ = false;
    std::vector<std::string> ignored_;
};

// --checksum[=ALGO]: ALGO into `name`, `bare` when none is given.
CLI::Option* AddChecksumOption(CLI::App& command, std::string& name, const char* bare, const char* help);

// An empty argument would reach the library, whose answer names no file:
// false after saying which is empty.
bool NamesGiven(const char* what, const std::string& name);

}  // namespace cxcli
