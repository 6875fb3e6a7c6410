// In-process recursive lock with an owner record, and its scope guard.
//
// FXCriticalSection sits on std::mutex: an uncontended lock is one
// compare-and-swap in user space, and a waiter sleeps in the kernel until the
// holder lets go, which wakes it at once. (A spinning lock that yields and
// then sleeps for a tick loses that tick at every hand-over it misses: two
// threads taking turns on one lock ran slower than one alone.) The holding
// thread may lock again; the lock is free once every Lock() has been matched
// by an Unlock(). Nesting is counted here, so the mutex itself is a plain one.
//
// Usage:
//     auto_lock guard(&section, true);   // released at the end of the scope
#pragma once

#include "TimeStamp.h"

#include <atomic>
#include <mutex>

#include <cstdint>

// The low 32 bits of pthread_self().
uint32_t GetCurrentThreadId();

class FXLockableResource {
public:
    FXLockableResource() = default;
    virtual ~FXLockableResource();
    virtual bool TryLock() = 0;
    // One attempt, whatever the interval.
    virtual bool TryLock(CTimeInterval interval) = 0;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

    // The thread that locked last; 0 after any unlock, the inner unlock of a
    // nested hold included. For diagnostics only: written without ordering.
    uint32_t GetLockOwner() const { return owner; }

protected:
    void SetLockOwner() { owner = GetCurrentThreadId(); }
    void ClearLockOwner() { owner = 0; }

private:
    uint32_t owner = 0;
};

class FXCriticalSection : public FXLockableResource {
public:
    FXCriticalSection() = default;
    ~FXCriticalSection() override;
    FXCriticalSection(const FXCriticalSection&) = delete;
    FXCriticalSection& operator=(const FXCriticalSection&) = delete;

    bool TryLock() override;
    bool TryLock(CTimeInterval interval) override;
    // Blocks until held. Nesting beyond 2^32 - 2 levels (or a failure of the
    // mutex) is swallowed and changes nothing.
    void Lock() override;
    void Unlock() override;

private:
    bool Enter(bool wait);

    std::mutex mutex;
    // pthread_self() of the holding thread, 0 when free. Only the holder ever
    // stores its own id, so a thread that reads its own id holds the lock.
    std::atomic<uint64_t> holder{0};
    uint32_t depth = 0;
};

// Holds at most one level of its resource; a null resource makes every call a
// no-op. Not copyable.
class auto_lock {
public:
    explicit auto_lock(FXLockableResource* resource, bool lockNow = true) : resource(resource)
    {
        if (lockNow)
            Lock();
    }
    ~auto_lock() { Unlock(); }
    auto_lock(const auto_lock&) = delete;
    auto_lock& operator=(const auto_lock&) = delete;

    void Lock()
    {
        if (resource != nullptr && !locked) {
            resource->Lock();
            locked = true;
        }
    }
    void Unlock()
    {
        if (resource != nullptr && locked) {
            resource->Unlock();
            locked = false;
        }
    }

private:
    FXLockableResource* resource;
    bool locked = false;
};
