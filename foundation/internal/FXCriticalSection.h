// In-process recursive lock with an owner record, and its scope guard.
//
// FXCriticalSection sits on Boost.Interprocess's mutex in its spin-based
// emulation: an uncontended lock is one compare-and-swap in user space, a
// waiter spins, yields and then sleeps. The holding thread may lock again; the
// lock is free once every Lock() has been matched by an Unlock(). Nesting is
// counted here rather than by Boost's recursive form, which asks the kernel
// for the process id on every lock and unlock (a system call per file queued).
//
// Usage:
//     auto_lock guard(&section, true);   // released at the end of the scope
#pragma once

#ifndef BOOST_INTERPROCESS_FORCE_GENERIC_EMULATION
#define BOOST_INTERPROCESS_FORCE_GENERIC_EMULATION
#endif

#include "TimeStamp.h"

#include <boost/interprocess/sync/interprocess_mutex.hpp>

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

#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer cannot see Boost's spin lock (inline assembly) as
    // synchronisation; under it the lock is one it understands.
    std::mutex mutex;
#else
    boost::interprocess::interprocess_mutex mutex;
#endif
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
