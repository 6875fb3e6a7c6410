// The walk: which folder is read when, and by which lister.
#include "Walker.h"

#include <thread>

namespace cxcli {

Walker::Walker(const IndexOptions& options, const OwnFiles& own, BatchQueue& queue, dev_t rootDevice)
    : queue_(queue), stopped_([this] { return Stopped(); }),
      lister_(options, own, rootDevice, warnings_, handles_, stopped_),
      helper_(options, own, rootDevice, warnings_, handles_, stopped_)
{
}

void Walker::Run(const std::string& root, const struct stat& rootStatus) noexcept
{
    std::thread helper;
    try {
        auto top = std::make_shared<PendingFolder>();
        top->path = root;
        lister_.AppendMetadata(top->metadata, rootStatus, "", -1, std::string());
        stack_.push_back(top);
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
    return g_interrupted.load(std::memory_order_relaxed) || queue_.Cancelled() ||
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
    if (batch_->entries.size() >= kBatchEntries || batch_->text.size() >= kBatchBytes)
        return Ship();
    return true;
}

bool Walker::Add(bool folder, std::string_view name, std::string_view metadata)
{
    Batch& batch = *batch_;
    Entry entry{};
    entry.folder = folder;
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
    bool open = Add(true, folder.path, folder.metadata);
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
    }
    if (open && !Stopped()) {
        const char* text = listing.subfolderText.data();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto subfolder = listing.subfolders.rbegin(); subfolder != listing.subfolders.rend(); ++subfolder) {
            auto pending = std::make_shared<PendingFolder>();
            pending->path.reserve(folder.path.size() + subfolder->nameLength);
            pending->path.assign(folder.path).append(text + subfolder->nameOffset, subfolder->nameLength);
            pending->nameOffset = folder.path.size();
            pending->metadata.assign(text + subfolder->metadataOffset, subfolder->metadataLength);
            pending->parent = listing.handle;
            stack_.push_back(std::move(pending));
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listing.Clear();
        spare_.push_back(std::move(folder.listing));
    }
    changed_.notify_one();
}

}  // namespace cxcli
