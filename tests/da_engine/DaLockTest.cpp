// The address space's one-word lock under contention: every thread gets through, one at
// a time. More locks than the Windows build's parking table has pairs, so waiters of
// different locks share a pair and wake each other.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "da/DaLock.h"

namespace {

TEST(DaLock, ContendedLocksLetEveryWaiterThroughOneAtATime)
{
    constexpr int kLocks = 97;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    struct Guarded {
        DaLock lock;
        long count = 0;  // guarded by lock
    };
    std::vector<Guarded> slots(kLocks);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&slots, t] {
            for (int i = 0; i < kRounds; ++i) {
                // Most rounds go for the same few locks, so that waiters pile up on them.
                Guarded& slot = slots[i % 8 == 0 ? (i * 7 + t) % kLocks : i % 3];
                DaLockHolder hold(slot.lock);
                ++slot.count;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    long total = 0;
    for (Guarded& slot : slots) {
        DaLockHolder hold(slot.lock);
        total += slot.count;
    }
    EXPECT_EQ(long(kThreads) * kRounds, total);
}

}  // namespace
