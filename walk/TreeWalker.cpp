// The walk: which folder is read when, and by which lister.
#include "TreeWalker.h"

#include "EntryMetadata.h"
#include "KoError.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <system_error>
#include <thread>

namespace CX::walk {

namespace {

// Descriptors kept for everything but the folders: the container and its
// side files, the folders read ahead in parts, a file read for its checksum
// and a folder passed through on the way down, for each lister.
constexpr rlim_t kOtherDescriptors = 128;
// A bound on kernel memory, which far deeper trees are walked past too.
constexpr rlim_t kMostFolderHandles = 65536;

}  // namespace

size_t FolderHandleBudget()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return kOtherDescriptors;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const rlim_t room = limit.rlim_cur > 2 * kOtherDescriptors ? limit.rlim_cur - kOtherDescriptors
                                                                 : limit.rlim_cur / 2;
    return static_cast<size_t>(std::min(room, kMostFolderHandles));
}

Walker::Walker(const WalkOptions& options, const OwnFiles& own, BatchQueue& queue, dev_t rootDevice,
               WalkReport& report, const std::atomic<bool>& stop)
    : queue_(queue), stop_(stop), stopped_([this] { return Stopped(); }), maxHandles_(FolderHandleBudget()),
      lister_(options, own, rootDevice, report, warnings_, problems_, handles_, maxHandles_, stopped_, fileSystems_,
              digests_),
      helper_(options, own, rootDevice, report, warnings_, problems_, handles_, maxHandles_, stopped_, fileSystems_,
              digests_)
{
}

void Walker::Run(const std::string& root, const EntryStatus& rootStatus) noexcept
{
    std::thread helper;
    try {
        auto top = std::make_shared<PendingFolder>();
        top->path = root;
        top_ = top.get();
        if (lister_.AppendMetadata(top->metadata, rootStatus, AT_FDCWD, root.c_str(), std::string()))
            stack_.push_back(top);
        else
            rootVanished_ = true;
        batch_ = queue_.Spare();
        helper = std::thread([this] { Help(); });
        while (batch_ && !Stopped()) {
            PendingFolderPtr folder = Pop();
            if (!folder)
                break;
            Write(*folder);
        }
        Ship();
    } catch (...) {
        Fail(std::current_exception());
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    changed_.notify_all();
    if (helper.joinable())
        helper.join();
    stack_.clear();
    queue_.Close();
}

bool Walker::Stopped() const
{
    return stop_.load(std::memory_order_relaxed) || queue_.Cancelled() ||
           failed_.load(std::memory_order_relaxed);
}

void Walker::Fail(std::exception_ptr exception)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure)
        failure = exception;
    failed_.store(true);
}

std::unique_ptr<Listing> Walker::TakeListing()
{
    if (spare_.empty())
        return std::make_unique<Listing>();
    std::unique_ptr<Listing> listing = std::move(spare_.back());
    spare_.pop_back();
    return listing;
}

PendingFolderPtr Walker::Pop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stack_.empty()) {
        PendingFolderPtr folder = stack_.back();
        if (folder->state == PendingFolder::kWaiting) {
            stack_.pop_back();
            folder->state = PendingFolder::kListing;
            folder->listing = TakeListing();
            lock.unlock();
            lister_.Start(*folder, *folder->listing);
            return folder;
        }
        if (folder->state == PendingFolder::kListed) {
            stack_.pop_back();
            --aheadFolders_;
            aheadBytes_ -= folder->listing->Bytes();
            lock.unlock();
            changed_.notify_one();
            return folder;
        }
        if (Stopped())
            return nullptr;
        if (PendingFolderPtr ahead = NextToReadAhead()) {
            ReadAhead(lock, ahead, lister_);
            continue;
        }
        listed_.wait(lock);
    }
    return nullptr;
}

void Walker::ReadAhead(std::unique_lock<std::mutex>& lock, const PendingFolderPtr& folder, Lister& lister)
{
    folder->state = PendingFolder::kListing;
    std::unique_ptr<Listing> listing = TakeListing();
    lock.unlock();
    lister.Start(*folder, *listing);
    lock.lock();
    aheadBytes_ += listing->Bytes();
    ++aheadFolders_;
    folder->listing = std::move(listing);
    folder->state = PendingFolder::kListed;
}

void Walker::Help() noexcept
{
    try {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            PendingFolderPtr folder;
            changed_.wait(lock, [&] { return done_ || Stopped() || (folder = NextToReadAhead()) != nullptr; });
            if (!folder)
                return;
            ReadAhead(lock, folder, helper_);
            listed_.notify_one();
        }
    } catch (...) {
        Fail(std::current_exception());
        listed_.notify_all();
    }
}

PendingFolderPtr Walker::NextToReadAhead() const
{
    if (aheadFolders_ >= kAheadFolders || aheadBytes_ >= kAheadBytes)
        return nullptr;
    const size_t end = stack_.size() > kWindow ? stack_.size() - kWindow : 0;
    for (size_t i = stack_.size(); i > end; --i)
        if (stack_[i - 1]->state == PendingFolder::kWaiting)
            return stack_[i - 1];
    return nullptr;
}

bool Walker::Ship()
{
    if (!batch_ || batch_->entries.empty())
        return batch_ != nullptr;
    queue_.Push(std::move(batch_));
    batch_ = queue_.Spare();
    return batch_ != nullptr;
}

bool Walker::ShipWhenFull()
{
    if (batch_->entries.size() < batchEntries_ && batch_->text.size() < batchBytes_)
        return true;
    batchEntries_ = std::min(2 * batchEntries_, kBatchEntries);
    batchBytes_ = std::min(2 * batchBytes_, kBatchBytes);
    return Ship();
}

bool Walker::Add(bool folder, std::string_view name, std::string_view metadata, bool amend, bool whole)
{
    Batch& batch = *batch_;
    Entry entry{};
    entry.folder = folder;
    entry.amend = amend;
    entry.whole = whole;
    entry.nameOffset = static_cast<uint32_t>(batch.text.size());
    entry.nameLength = static_cast<uint32_t>(name.size());
    batch.text += name;
    entry.metadataOffset = static_cast<uint32_t>(batch.text.size());
    entry.metadataLength = static_cast<uint32_t>(metadata.size());
    batch.text += metadata;
    batch.entries.push_back(entry);
    return ShipWhenFull();
}

void Walker::Write(PendingFolder& folder)
{
    Listing& listing = *folder.listing;
    // A folder that could not be read is recorded with the reason; one that
    // vanished before it was opened is left out.
    if (listing.vanished && &folder == top_)
        rootVanished_ = true;
    bool unreadable = !listing.problem.empty();
    if (unreadable)
        AppendUnreadable(folder.metadata, listing.problem.c_str());
    bool open = listing.vanished || Add(true, folder.path, folder.metadata, false, listing.complete);
    for (;;) {
        for (size_t i = 0; open && i < listing.files.size(); ++i) {
            const Entry& file = listing.files[i];
            open = Add(false, listing.Name(file),
                       std::string_view(listing.text.data() + file.metadataOffset, file.metadataLength));
        }
        if (!open || listing.complete || Stopped())
            break;
        listing.ClearFiles();
        lister_.Continue(folder.path, listing);
        if (!unreadable && !listing.problem.empty()) {
            // Its row has gone on already: it is amended.
            unreadable = true;
            AppendUnreadable(folder.metadata, listing.problem.c_str());
            open = Add(true, folder.path, folder.metadata, true);
        }
    }
    if (open && !Stopped()) {
        const char* text = listing.subfolderText.data();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto subfolder = listing.subfolders.rbegin(); subfolder != listing.subfolders.rend(); ++subfolder) {
            auto pending = std::make_shared<PendingFolder>();
            pending->path.reserve(folder.path.size() + subfolder->nameLength);
            pending->path.assign(folder.path).append(text + subfolder->nameOffset, subfolder->nameLength);
            pending->metadata.assign(text + subfolder->metadataOffset, subfolder->metadataLength);
            pending->unreadable = subfolder->unreadable;
            if (listing.handle) {
                pending->parent = listing.handle;
                pending->nameOffset = folder.path.size();
            } else {
                // No more folders may be kept open: it is opened from the
                // nearest ancestor that is.
                pending->parent = folder.parent;
                pending->nameOffset = folder.nameOffset;
            }
            stack_.push_back(std::move(pending));
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listing.Clear();
        if (spare_.size() < kSpareListings)
            spare_.push_back(std::move(folder.listing));
    }
    changed_.notify_one();
}

RunningWalk::RunningWalk(const WalkOptions& options, const OwnFiles& own, const std::string& root,
                         const EntryStatus& rootStatus, WalkReport& report)
    : queue_(kBatchesInFlight), walker_(options, own, queue_, rootStatus.device, report, stop_), report_(report),
      root_(root)
{
    thread_ = std::thread([this, root, rootStatus] { walker_.Run(root, rootStatus); });
}

RunningWalk::~RunningWalk()
{
    // Whatever ends the hand-over (or if none came), the walker is stopped
    // and waited for before the objects it uses go away.
    if (thread_.joinable()) {
        queue_.Cancel();
        thread_.join();
    }
}

CKoError RunningWalk::HandTo(TreeSink& sink, WalkOutcome& outcome)
{
    const auto poll = [&] {
        if (!stop_.load() && report_.Poll())
            stop_.store(true);
    };
    CKoError error;
    while (std::unique_ptr<Batch> batch = queue_.Next(poll)) {
        for (const Entry& entry : batch->entries) {
            if (entry.amend)
                error = sink.AmendFolder(batch->Metadata(entry));
            else if (entry.folder)
                error = sink.Folder(batch->Name(entry), batch->Metadata(entry), entry.whole);
            else
                error = sink.File(batch->Name(entry), batch->Metadata(entry));
            if (error.IsError())
                break;
        }
        if (error.IsError())
            break;
        queue_.Recycle(std::move(batch));
        poll();
    }
    if (error.IsError())
        queue_.Cancel();
    thread_.join();
    outcome.warnings = walker_.Warnings();
    outcome.problems = walker_.Problems();
    outcome.stopped = stop_.load();
    outcome.fileSystems = walker_.FileSystemsPassed().Identities();
    outcome.digestsTaken = walker_.Digests().taken.load();
    outcome.digestsReused = walker_.Digests().reused.load();
    if (walker_.failure)
        std::rethrow_exception(walker_.failure);
    // Nothing can be said of a tree whose top was gone before it was read:
    // not that it is empty.
    if (!error.IsError() && walker_.RootVanished())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_FILE_NOT_FOUND, "%s vanished as the walk began",
                                       root_.c_str());
    return error.Push(FX_LOCATION);
}

CKoError Walk(const WalkOptions& options, const OwnFiles& own, const std::string& root,
              const EntryStatus& rootStatus, TreeSink& sink, WalkReport& report, WalkOutcome& outcome)
{
    std::unique_ptr<RunningWalk> walk;
    CKoError error = StartWalk(options, own, root, rootStatus, report, walk);
    return error.IsError() ? error : walk->HandTo(sink, outcome);
}

CKoError StartWalk(const WalkOptions& options, const OwnFiles& own, const std::string& root,
                   const EntryStatus& rootStatus, WalkReport& report, std::unique_ptr<RunningWalk>& walk)
{
    try {
        walk = std::make_unique<RunningWalk>(options, own, root, rootStatus, report);
    } catch (const std::system_error& error) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION, KO_ERROR_OUTOFMEMORY, "cannot start the walk: %s", error.what());
    }
    return CKoError();
}

}  // namespace CX::walk
