// The recursive lock: nesting, the owner record, try-lock and the guard.
#include "FXCriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

bool TryFromOtherThread(FXCriticalSection& section, bool timed = false)
{
    bool taken = false;
    std::thread other([&] {
        taken = timed ? section.TryLock(CTimeInterval(10000000)) : section.TryLock();
        if (taken)
            section.Unlock();
    });
    other.join();
    return taken;
}

TEST(FXCriticalSectionTest, NestedGuardsDoNotDeadlockAndReleaseAfterTheOuter)
{
    FXCriticalSection section;
    {
        auto_lock outer(&section, true);
        {
            auto_lock inner(&section, true);
            EXPECT_EQ(section.GetLockOwner(), GetCurrentThreadId());
        }
        // The inner unlock clears the owner although the thread still holds the lock.
        EXPECT_EQ(section.GetLockOwner(), 0u);
        EXPECT_FALSE(TryFromOtherThread(section));
    }
    EXPECT_TRUE(TryFromOtherThread(section));
}

TEST(FXCriticalSectionTest, TimedTryLockMakesOneAttempt)
{
    FXCriticalSection section;
    section.Lock();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(TryFromOtherThread(section, true));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    // The holder may try again: one more nesting level.
    EXPECT_TRUE(section.TryLock());
    section.Unlock();
    section.Unlock();
    EXPECT_TRUE(TryFromOtherThread(section, true));
}

TEST(FXCriticalSectionTest, GuardEdgeCases)
{
    auto_lock none(nullptr, true);  // a null resource: every call does nothing
    none.Lock();
    none.Unlock();

    FXCriticalSection section;
    {
        auto_lock later(&section, false);
        EXPECT_TRUE(TryFromOtherThread(section));
        later.Lock();
        later.Lock();  // one level only
        EXPECT_FALSE(TryFromOtherThread(section));
        later.Unlock();
        EXPECT_TRUE(TryFromOtherThread(section));
        later.Unlock();
    }
    EXPECT_TRUE(TryFromOtherThread(section));
}

TEST(FXCriticalSectionTest, SerialisesThreads)
{
    FXCriticalSection section;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                auto_lock guard(&section, true);
                auto_lock again(&section, true);
                ++counter;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 80000);
}

}  // namespace
