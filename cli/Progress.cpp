#include "Progress.h"

#include "Output.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace cxcli {

std::atomic<bool> g_interrupted{false};

namespace {

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

extern "C" void OnInterrupt(int signalNumber)
{
    g_interrupted.store(true);
    signal(signalNumber, SIG_DFL);  // a second one ends the process
}

}  // namespace

// A stop asked by the terminal, the service manager or a closed session
// ends the run the same way: what cx index made is put away first.
void InstallInterruptHandler()
{
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        signal(signalNumber, &OnInterrupt);
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
