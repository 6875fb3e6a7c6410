#include "FXCriticalSection.h"

#include <boost/interprocess/exceptions.hpp>

#include <pthread.h>

uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pthread_self())); }

FXLockableResource::~FXLockableResource() = default;

bool FXLockableResource::TryLock(CTimeInterval) { return TryLock(); }

FXCriticalSection::~FXCriticalSection() = default;

bool FXCriticalSection::TryLock()
{
    bool taken = false;
    try {
        taken = mutex.try_lock();
    } catch (const boost::interprocess::interprocess_exception&) {
        taken = false;
    }
    if (taken)
        SetLockOwner();
    return taken;
}

bool FXCriticalSection::TryLock(CTimeInterval interval) { return FXLockableResource::TryLock(interval); }

void FXCriticalSection::Lock()
{
    try {
        mutex.lock();
    } catch (const boost::interprocess::interprocess_exception&) {
        return;
    }
    SetLockOwner();
}

void FXCriticalSection::Unlock()
{
    ClearLockOwner();
    mutex.unlock();
}
