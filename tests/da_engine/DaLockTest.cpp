// The address space's one-word lock under contention: every thread gets through, one at
// a time. More locks than the Windows build's parking table has pairs, so waiters of
// different locks share a pair and wake each other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>
#ifdef _WIN32
#include "tests/soak/HandleCount.h"
#endif

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

#ifdef _WIN32
// A server takes contended locks for months: a wait must not leave a handle behind, or
// the handle count climbs with every part of the parking table that sees its first
// contention.
TEST(DaLock, ContentionLeavesNoHandleBehind)
{
    // Counted while both threads run: the runtime makes and frees handles of its own
    // around a thread's start and end.
    std::vector<DaLock> locks(64);  // side by side, these reach every pair of the parking table
    for (DaLock& lock : locks)
        lock.lock();
    std::atomic<bool> started{false}, go{false}, done{false};
    std::thread taker([&] {
        started = true;
        while (!go)
            std::this_thread::yield();
        for (DaLock& lock : locks) {
            DaLockHolder hold(lock);
        }
        done = true;
    });
    while (!started)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // until the start is wound up
    std::string typesBefore, typesAfter;
    const unsigned long before = kvsoak::handleCount(GetCurrentProcessId(), typesBefore);
    go = true;
    // Each lock is held until the taker has had time to park on it.
    for (DaLock& lock : locks) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        lock.unlock();
    }
    while (!done)
        std::this_thread::yield();
    const unsigned long after = kvsoak::handleCount(GetCurrentProcessId(), typesAfter);
    taker.join();
    ASSERT_NE(0u, before);
    EXPECT_LE(after, before) << "by type, before:" << typesBefore << "; after:" << typesAfter;
}
#endif

}  // namespace
