// The hand-over from the walk to the writer: batches of folders and files
// with their metadata, going round between the two threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace CX::walk {

// The size of a batch handed to the writer, and of how many may be on their way.
constexpr size_t kBatchEntries = 2048;
constexpr size_t kBatchBytes = 256 * 1024;
constexpr size_t kBatchesInFlight = 4;

// One entry of a batch: a folder (its full path) or a file of the folder
// before it (its name), with the metadata text, both inside the batch's text.
struct Entry {
    uint32_t nameOffset;
    uint32_t nameLength;
    uint32_t metadataOffset;
    uint32_t metadataLength;
    bool folder;
    bool amend;  // new metadata for the folder last handed over
    bool whole;  // a folder whose files all follow, sorted
};

struct Batch {
    std::vector<Entry> entries;
    std::string text;

    std::string_view Name(const Entry& entry) const { return {text.data() + entry.nameOffset, entry.nameLength}; }
    std::string_view Metadata(const Entry& entry) const
    {
        return {text.data() + entry.metadataOffset, entry.metadataLength};
    }
    void Clear()
    {
        entries.clear();
        text.clear();
    }
};

// A fixed set of batches going round between the walker, which fills spare
// ones, and the writer, which empties them. Either side can end the round:
// the walker closes it when the walk is over, the writer cancels it when a
// write fails, so that neither waits for the other for ever.
class BatchQueue {
public:
    // Each batch has room for what it holds before it is handed over (and
    // an entry more), so that filling it never moves it: the memory is only
    // reserved, and what is not written is never touched.
    explicit BatchQueue(size_t batches)
    {
        for (size_t i = 0; i < batches; ++i) {
            auto batch = std::make_unique<Batch>();
            batch->entries.reserve(kBatchEntries + 1);
            batch->text.reserve(kBatchBytes + 64 * 1024);
            spare_.push_back(std::move(batch));
        }
    }

    // The walker's side. Spare() answers null once the writer has cancelled.
    std::unique_ptr<Batch> Spare()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        spareReady_.wait(lock, [this] { return cancelled_ || !spare_.empty(); });
        if (cancelled_)
            return nullptr;
        std::unique_ptr<Batch> batch = std::move(spare_.front());
        spare_.pop_front();
        return batch;
    }
    void Push(std::unique_ptr<Batch> batch)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            full_.push_back(std::move(batch));
        }
        fullReady_.notify_one();
    }
    void Close()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        fullReady_.notify_one();
    }
    bool Cancelled() const { return cancelledFlag_.load(std::memory_order_relaxed); }

    // The writer's side. Next() answers null once the walker is done and
    // everything it pushed has been taken. While it waits, `idle` is called
    // every so often (to ask the host whether to stop).
    template <class Idle>
    std::unique_ptr<Batch> Next(Idle idle)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!fullReady_.wait_for(lock, std::chrono::milliseconds(50), [this] { return closed_ || !full_.empty(); })) {
            lock.unlock();
            idle();
            lock.lock();
        }
        if (full_.empty())
            return nullptr;
        std::unique_ptr<Batch> batch = std::move(full_.front());
        full_.pop_front();
        return batch;
    }
    void Recycle(std::unique_ptr<Batch> batch)
    {
        batch->Clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            spare_.push_back(std::move(batch));
        }
        spareReady_.notify_one();
    }
    void Cancel()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelled_ = true;
            cancelledFlag_.store(true);
        }
        spareReady_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable spareReady_;
    std::condition_variable fullReady_;
    std::deque<std::unique_ptr<Batch>> spare_;
    std::deque<std::unique_ptr<Batch>> full_;
    bool closed_ = false;
    bool cancelled_ = false;
    std::atomic<bool> cancelledFlag_{false};
};

}  // namespace CX::walk
