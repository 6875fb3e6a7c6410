// The walk of a tree: folders read by two listers, handed to the sink as
// batches in the order the container reads them back.
//
// The tree is walked without following symbolic links. Each folder goes to
// the sink with its absolute path and a trailing "/", followed by its files
// by name. The files of a folder come in byte order of their names and the
// folders in the container's own folder order.
#pragma once

#include "TreeLister.h"

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace CX::walk {

// Walks the tree depth first, folders in the container's folder order, and
// hands every folder and file to the sink in that order. A second lister
// reads the folders that come next on the stack while this one writes out
// or reads the current one, so that two folders are read at a time; what is
// read ahead is bounded in folders and bytes.
class Walker {
public:
    // `stop` is set by whoever runs the walk to end it early.
    Walker(const WalkOptions& options, const OwnFiles& own, BatchQueue& queue, dev_t rootDevice, WalkReport& report,
           const std::atomic<bool>& stop);

    // Closes the queue however it ends. An exception is kept for the caller's
    // thread.
    void Run(const std::string& root, const EntryStatus& rootStatus) noexcept;

    unsigned long long Warnings() const { return warnings_.load(); }
    const FileSystems& FileSystemsPassed() const { return fileSystems_; }
    const DigestCounts& Digests() const { return digests_; }
    // How many entries could not be read; each is marked in its metadata.
    unsigned long long Problems() const { return problems_.load(); }
    // Whether the top folder was gone when it was to be read; once Run ended.
    bool RootVanished() const { return rootVanished_; }
    std::exception_ptr failure;

private:
    static constexpr size_t kWindow = 32;  // how far below the top a folder is read ahead
    // Read-ahead is bounded by folders and by the memory the listings hold
    // (their buffers' room, not only what they hold), so that a slow
    // consumer (a snapshot read from a cold disk, or one of ten million rows)
    // cannot make memory grow with the tree. Counted by what the listings
    // held, 4 MiB let the peak of cx check grow by 2 MB between one and ten
    // million files; counted by their room, 4 MiB made it 9% slower at a
    // million, and 6 MiB holds neither back nor lets the peak grow.
    static constexpr size_t kAheadFolders = 64;
    static constexpr size_t kAheadBytes = 6 * 1024 * 1024;
    // Listings kept for reuse once written out. The budget above bounds the
    // listings in use, not the room the spare ones keep: as many as were
    // once read ahead, each as large as the largest folder it held, grew
    // the peak of cx index by 1.4 MB between one and ten million files.
    static constexpr size_t kSpareListings = 8;
    // The sink starts on the first folders while the walk reads on: a tree
    // that fits in one full batch (most of /etc) was otherwise walked whole
    // before a row of it was written or compared.
    static constexpr size_t kFirstBatchEntries = kBatchEntries / 32;
    static constexpr size_t kFirstBatchBytes = kBatchBytes / 32;

    bool Stopped() const;
    void Fail(std::exception_ptr exception);
    std::unique_ptr<Listing> TakeListing();

    // The next folder with its listing, read here unless the helper has read
    // it or is reading it; null when the walk is over or stopped. While the
    // helper reads it, this thread reads ahead too rather than wait.
    PendingFolderPtr Pop();

    // Reads a folder ahead of its turn, with the lock released meanwhile.
    void ReadAhead(std::unique_lock<std::mutex>& lock, const PendingFolderPtr& folder, Lister& lister);

    // The helper's loop: read the topmost waiting folder near the top of the
    // stack, while the budget allows.
    void Help() noexcept;

    PendingFolderPtr NextToReadAhead() const;

    // Hands the batch over when it holds something; false when the sink
    // has cancelled, and no batch is left to fill.
    bool Ship();
    bool ShipWhenFull();
    bool Add(bool folder, std::string_view name, std::string_view metadata, bool amend = false, bool whole = true);

    // The folder, then its files, then its subfolders onto the stack. After
    // a stop what was read goes on to the sink, but nothing more is read.
    void Write(PendingFolder& folder);

    BatchQueue& queue_;
    const std::atomic<bool>& stop_;
    std::function<bool()> stopped_;
    std::atomic<unsigned long long> warnings_{0};
    std::atomic<unsigned long long> problems_{0};
    std::atomic<size_t> handles_{0};
    const size_t maxHandles_;
    std::atomic<bool> failed_{false};
    FileSystems fileSystems_;
    DigestCounts digests_;
    Lister lister_;
    Lister helper_;
    std::unique_ptr<Batch> batch_;
    // Where the batch being filled is handed over: the first ones are small
    // and each one twice the one before, up to the full size.
    size_t batchEntries_ = kFirstBatchEntries;
    size_t batchBytes_ = kFirstBatchBytes;

    // Shared with the helper, under mutex_.
    std::mutex mutex_;
    std::condition_variable changed_;  // for the helper: work or room appeared, or the end
    std::condition_variable listed_;   // for the walker: a folder was read ahead
    std::vector<PendingFolderPtr> stack_;
    std::vector<std::unique_ptr<Listing>> spare_;
    size_t aheadFolders_ = 0;
    size_t aheadBytes_ = 0;
    bool done_ = false;
    // Only the walker's thread.
    const PendingFolder* top_ = nullptr;
    bool rootVanished_ = false;
};

// A walk whose threads start reading the tree at once and fill their queue
// (a few batches) until a sink takes what they read: a host may start it
// while it gets its sink ready. Walk (TreeSink.h) is StartWalk and HandTo.
class RunningWalk {
public:
    // Throws std::system_error when the walk's thread cannot be started.
    RunningWalk(const WalkOptions& options, const OwnFiles& own, const std::string& root,
                const EntryStatus& rootStatus, WalkReport& report);
    // A walk nobody took is stopped; its threads are waited for.
    ~RunningWalk();
    RunningWalk(const RunningWalk&) = delete;
    RunningWalk& operator=(const RunningWalk&) = delete;

    // Hands everything to `sink` on this thread, as Walk does; once only.
    CKoError HandTo(TreeSink& sink, WalkOutcome& outcome);

private:
    std::atomic<bool> stop_{false};
    BatchQueue queue_;
    Walker walker_;
    WalkReport& report_;
    const std::string root_;
    std::thread thread_;
};

// Starts a walk of `root`, as Walk does, without its sink.
CKoError StartWalk(const WalkOptions& options, const OwnFiles& own, const std::string& root,
                   const EntryStatus& rootStatus, WalkReport& report, std::unique_ptr<RunningWalk>& walk);

}  // namespace CX::walk
