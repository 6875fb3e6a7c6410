// Where a report goes: its lines to standard output (none with --quiet),
// and with --syslog each change as a syslog message (the first thousand,
// then how many more) and a summary, so that a log pipeline carries them.
//
// syslog(3) with the identity "cx", the process id and the facility
// LOG_DAEMON: changes and a summary that counts some at LOG_WARNING, a
// summary of none at LOG_INFO, trouble (Fail) at LOG_ERR.
#pragma once

#include <cstdio>
#include <string>

namespace cxcli {

// The report's counts: [change][folders, files], change as in DiffPrinter.h.
typedef unsigned long long ReportCounts[5][2];

class ReportOutput {
public:
    static constexpr unsigned long long kSyslogChanges = 1000;

    ReportOutput(FILE* out, bool quiet, bool syslog);
    ReportOutput(const ReportOutput&) = delete;
    ReportOutput& operator=(const ReportOutput&) = delete;

    // One line of the report, ending with "\n".
    void Line(const std::string& line);
    // The one line that ends a report: on standard error when it counts
    // changes (not with --quiet), and to syslog whatever it counts.
    // `subject` names what was compared.
    void Summary(const ReportCounts& counts, const std::string& subject);

private:
    FILE* const out_;
    const bool quiet_;
    const bool syslog_;
    unsigned long long logged_ = 0;
    unsigned long long unlogged_ = 0;
};

}  // namespace cxcli
