// The least any tool that records what cx records of every entry of a tree
// can take: the same system calls cx index and cx check make by default
// (each folder opened below its parent by name, read by cx index's folder
// reader, every entry stat'ed with statx and its extended attributes listed,
// both by name), spread over every core, with nothing formatted, sorted or
// written. bench/cli_bench.sh prints it beside cx index and cx check as
// their floor.
//
//   StatWalk [--no-xattrs] TREE [THREADS]   THREADS defaults to the number of
//                                           cores; --no-xattrs as cx's option
#include "EntryStatus.h"
#include "FolderReader.h"
#include "UniqueFd.h"

#include <sys/syscall.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

bool g_xattrs = true;

// listxattrat(2), as the walk calls it.
void ListAttributes(int folder, const char* name, std::vector<char>& buffer)
{
    (void)syscall(465 /* listxattrat */, folder, name, AT_SYMLINK_NOFOLLOW, buffer.data(), buffer.size());
}

struct Pending {
    std::shared_ptr<FX::UniqueFd> parent;
    std::string name;
};

class Walk {
public:
    explicit Walk(int root) { pending_.push_back({std::make_shared<FX::UniqueFd>(root), "."}); }

    void Run()
    {
        CX::walk::FolderReader reader;  // cx index's own reading of a folder
        std::vector<std::string> subfolders;
        std::vector<char> names(4096);
        unsigned long long entries = 0;
        for (Pending folder; Take(folder);) {
            FX::UniqueFd fd(openat(folder.parent->Get(), folder.name.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            folder.parent.reset();
            if (!fd) {
                Done({}, nullptr);
                continue;
            }
            const int at = fd.Get();
            subfolders.clear();
            reader.Open(std::move(fd));
            while (const char* name = reader.Next()) {
                CX::walk::EntryStatus status;
                if (!CX::walk::StatAt(at, name, status))
                    continue;
                if (g_xattrs)
                    ListAttributes(at, name, names);
                ++entries;
                if (status.IsFolder())
                    subfolders.emplace_back(name);
            }
            // The folder stays open for its subfolders to be opened below it.
            Done(subfolders, std::make_shared<FX::UniqueFd>(reader.Release()));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        total_ += entries;
    }

    unsigned long long Total() const { return total_; }

private:
    bool Take(Pending& folder)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !pending_.empty() || busy_ == 0; });
        if (pending_.empty())
            return false;
        folder = std::move(pending_.back());
        pending_.pop_back();
        ++busy_;
        return true;
    }

    void Done(const std::vector<std::string>& subfolders, const std::shared_ptr<FX::UniqueFd>& open)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& name : subfolders)
                pending_.push_back({open, name});
            --busy_;
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Pending> pending_;
    unsigned busy_ = 0;
    unsigned long long total_ = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--no-xattrs") {
        g_xattrs = false;
        --argc;
        ++argv;
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: StatWalk [--no-xattrs] TREE [THREADS]\n");
        return 2;
    }
    const int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        std::perror(argv[1]);
        return 2;
    }
    unsigned threads = argc == 3 ? static_cast<unsigned>(std::atoi(argv[2])) : std::thread::hardware_concurrency();
    if (threads == 0)
        threads = 1;
    Walk walk(root);
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < threads; ++i)
        workers.emplace_back([&walk] { walk.Run(); });
    for (auto& worker : workers)
        worker.join();
    std::printf("%llu entries stat'ed, threads: %u\n", walk.Total(), threads);
    return 0;
}
