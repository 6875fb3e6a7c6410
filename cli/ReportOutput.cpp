#include "ReportOutput.h"

#include "Output.h"

#include <syslog.h>

namespace cxcli {

namespace {

const char* const kWords[] = {"added", "deleted", "modified", "moved", "unknown"};

}  // namespace

ReportOutput::ReportOutput(FILE* out, bool quiet, bool syslog) : out_(out), quiet_(quiet), syslog_(syslog) {}

void ReportOutput::Line(const std::string& line)
{
    if (!quiet_)
        Print(out_, "%s", line.c_str());
    if (!syslog_)
        return;
    if (logged_ >= kSyslogChanges) {
        ++unlogged_;
        return;
    }
    ++logged_;
    const size_t length = !line.empty() && line.back() == '\n' ? line.size() - 1 : line.size();
    syslog(LOG_WARNING, "%.*s", static_cast<int>(length), line.c_str());
}

void ReportOutput::Summary(const ReportCounts& counts, const std::string& subject)
{
    unsigned long long total = 0;
    std::string parts;
    for (int change = 0; change < 5; ++change) {
        const unsigned long long count = counts[change][0] + counts[change][1];
        total += count;
        parts += (change == 0 ? "" : ", ") + std::to_string(count) + ' ' + kWords[change];
    }
    const std::string summary = total == 0 ? "no changes" : std::to_string(total) + (total == 1 ? " change: " : " changes: ") + parts;
    if (total != 0 && !quiet_)
        std::fprintf(stderr, "cx: %s: %s\n", EscapeLine(subject).c_str(), summary.c_str());
    if (!syslog_)
        return;
    if (unlogged_ != 0)
        syslog(LOG_WARNING, "and %llu more changes", unlogged_);
    syslog(total == 0 ? LOG_INFO : LOG_WARNING, "%s: %s", EscapeLine(subject).c_str(), summary.c_str());
}

}  // namespace cxcli
