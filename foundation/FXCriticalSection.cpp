#include "FXCriticalSection.h"

#include <boost/interprocess/exceptions.hpp>

#include <pthread.h>

uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pthread_self())); }

FXLockableResource::~FXLockableResource() = default;

bool FXLockableResource::TryLock(CTimeInterval) { return TryLock(); }

FXCriticalSection::~FXCriticalSection() = default;

namespace {
uint64_t CurrentThread() { return static_cast<uint64_t>(pthread_self()); }
constexpr uint32_t kMaxDepth = 0xFFFFFFFEu;
}  // namespace

bool FXCriticalSection::Enter(bool wait)
{
    const uint64_t me = CurrentThread();
    if (holder.load(std::memory_order_relaxed) == me) {
        if (depth == kMaxDepth)
            return false;
        ++depth;
        SetLockOwner();
        return true;
    }
    try {
        if (wait)
            mutex.lock();
        else if (!mutex.try_lock())
            return false;
    } catch (const boost::interprocess::interprocess_exception&) {
        return false;
    }
    holder.store(me, std::memory_order_relaxed);
    depth = 1;
    SetLockOwner();
    return true;
}

bool FXCriticalSection::TryLock() { return Enter(false); }

bool FXCriticalSection::TryLock(CTimeInterval interval) { return FXLockableResource::TryLock(interval); }

void FXCriticalSection::Lock() { (void)Enter(true); }

void FXCriticalSection::Unlock()
{
    ClearLockOwner();
    if (depth == 0 || holder.load(std::memory_order_relaxed) != CurrentThread())
        return;  // not held by this thread: nothing to release
    if (--depth == 0) {
        holder.store(0, std::memory_order_relaxed);
        mutex.unlock();
    }
}
