// cx dups: the names on standard input seen before, checked through the
// unique name check.
#include "Command.h"

#include "Output.h"
#include "Progress.h"
#include "UniqueNameCheck.h"

#include <CLI/CLI.hpp>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cxcli {

namespace {

int RunDups(bool ignoreCase, unsigned threads)
{
    if (threads == 0)
        threads = 1;
    CX::CUniqueNameCheck first(!ignoreCase);
    // Lines go to the workers in chunks; each worker checks through its own clone.
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::vector<std::string>> chunks;
    bool done = false;
    bool failed = false;
    unsigned long long duplicates = 0;
    auto work = [&](CX::CUniqueNameCheck& checker) {
        for (;;) {
            std::vector<std::string> chunk;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ready.wait(lock, [&] { return done || !chunks.empty(); });
                if (chunks.empty())
                    return;
                chunk = std::move(chunks.front());
                chunks.pop_front();
            }
            ready.notify_all();
            for (const auto& name : chunk) {
                bool exists = false;
                const CKoError error = checker.CheckName(name, exists);
                std::lock_guard<std::mutex> lock(mutex);
                if (error.IsError()) {
                    if (!failed)
                        Fail("names", Cause(error));
                    failed = true;
                } else if (exists) {
                    ++duplicates;
                    Print(stdout, "%s\n", EscapeLine(name).c_str());
                }
            }
        }
    };
    std::vector<CX::CUniqueNameCheckPtr> clones;
    std::vector<std::thread> workers;
    for (unsigned t = 1; t < threads; ++t) {
        clones.push_back(first.GetClone());
        workers.emplace_back(work, std::ref(*clones.back()));
    }
    std::thread own(work, std::ref(first));
    std::vector<std::string> chunk;
    std::string line;
    while (std::getline(std::cin, line) && !g_interrupted.load()) {
        chunk.push_back(std::move(line));
        if (chunk.size() == 4096) {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [&] { return chunks.size() < 4 * threads; });
            chunks.push_back(std::move(chunk));
            chunk.clear();
            ready.notify_all();
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!chunk.empty())
            chunks.push_back(std::move(chunk));
        done = true;
    }
    ready.notify_all();
    own.join();
    for (auto& worker : workers)
        worker.join();
    if (failed)
        return kTrouble;
    if (g_interrupted.load())
        return kInterrupted;
    return duplicates == 0 ? kClean : kReported;
}


class DupsCommand : public Command {
public:
    CLI::App& Define(CLI::App& app) override
    {
        auto* command = app.add_subcommand("dups", "Print each name on standard input that was seen before");
        command->add_flag("--ignore-case", ignoreCase_, "Names that differ only in ASCII case are the same");
        command
            ->add_option("-j,--jobs", threads_,
                         "Threads checking names through clones of one checker (default 1: they share one database, "
                         "so more threads do not go faster)")
            ->check(CLI::Range(1u, 64u));
        return *command;
    }

    int Run(const std::string&) override { return RunDups(ignoreCase_, threads_); }

private:
    bool ignoreCase_ = false;
    unsigned threads_ = 1;
};

}  // namespace

std::unique_ptr<Command> MakeDupsCommand() { return std::make_unique<DupsCommand>(); }

}  // namespace cxcli
