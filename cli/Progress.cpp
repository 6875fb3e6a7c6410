#include "Progress.h"

#include "Output.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace cxcli {

std::atomic<bool> g_interrupted{false};

namespace {

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// What a run has made and must not leave behind, should a second signal end
// it at once: paths kept where the handler may read them, each a file with
// SQLite's files beside it, or a folder.
constexpr size_t kLeftovers = 4;
constexpr size_t kPathBytes = 4096;
struct Leftover {
    std::atomic<bool> used{false};
    bool folder = false;
    char path[kPathBytes];
};
Leftover g_leftovers[kLeftovers];

void RemoveInHandler(const char* path)
{
    char side[kPathBytes + 16];
    const size_t length = strnlen(path, kPathBytes);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const size_t more = strlen(suffix);
        memcpy(side, path, length);
        memcpy(side + length, suffix, more + 1);
        unlink(side);  // async-signal-safe, as are rmdir and raise
    }
}

extern "C" void OnInterrupt(int signalNumber)
{
    if (!g_interrupted.exchange(true))
        return;  // the first: the run stops at its next step and puts away what it made
    // The second ends the process at once, with what it made gone first:
    // files before the folders that hold them.
    for (int pass = 0; pass < 2; ++pass)
        for (Leftover& leftover : g_leftovers)
            if (leftover.used.load() && leftover.folder == (pass == 1)) {
                if (leftover.folder)
                    rmdir(leftover.path);
                else
                    RemoveInHandler(leftover.path);
            }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

}  // namespace

// A stop asked by the terminal, the service manager or a closed session
// ends the run the same way: what cx index made is put away first.
void InstallInterruptHandler()
{
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        signal(signalNumber, &OnInterrupt);
}

int RemoveOnSecondSignal(const std::string& path, bool folder)
{
    if (path.size() >= kPathBytes)
        return -1;
    for (size_t i = 0; i < kLeftovers; ++i) {
        Leftover& leftover = g_leftovers[i];
        if (leftover.used.load())
            continue;
        leftover.folder = folder;
        memcpy(leftover.path, path.c_str(), path.size() + 1);
        leftover.used.store(true);
        return static_cast<int>(i);
    }
    return -1;
}

void KeepOnSecondSignal(int handle)
{
    if (handle >= 0 && static_cast<size_t>(handle) < kLeftovers)
        g_leftovers[handle].used.store(false);
}

Progress::Progress(const char* what) : what_(what), enabled_(isatty(STDERR_FILENO) != 0), start_(Now()) {}

Progress::~Progress()
{
    Clear();
}

void Progress::Clear()
{
    if (!shown_)
        return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
}

void Progress::Update(unsigned long long count, const std::string& current)
{
    if (!enabled_)
        return;
    const double now = Now();
    if (now - last_ < 0.2)
        return;
    last_ = now;
    const double rate = now > start_ ? static_cast<double>(count) / (now - start_) : 0;
    std::string shown = EscapeLine(current);
    if (shown.size() > 60)
        shown = "..." + shown.substr(shown.size() - 57);
    std::fprintf(stderr, "\r\033[K%s %llu (%.0f/s) %s", what_, count, rate, shown.c_str());
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace cxcli
