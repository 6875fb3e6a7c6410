// The terminal's side of a long run: a live progress line, and Ctrl-C.
#pragma once

#include <atomic>
#include <string>

namespace cxcli {

// A live progress line on standard error, only when it is a terminal.
class Progress {
public:
    explicit Progress(const char* what);
    ~Progress();
    void Update(unsigned long long count, const std::string& current);
    // Erases the line, if one is shown, before other output; the next
    // Update shows it again.
    void Clear();

private:
    const char* what_;
    bool enabled_;
    double start_;
    double last_ = 0;
    bool shown_ = false;
};

// Set by Ctrl-C (or SIGTERM, SIGHUP); a second one ends the process at once,
// after removing what RemoveOnSecondSignal names.
extern std::atomic<bool> g_interrupted;
void InstallInterruptHandler();
// A file (with SQLite's files beside it) or a folder to remove should a
// second signal end the process; the answer is for KeepOnSecondSignal, which
// says it is no longer to be removed (-1: there was no room; it stays).
int RemoveOnSecondSignal(const std::string& path, bool folder);
void KeepOnSecondSignal(int handle);

}  // namespace cxcli
