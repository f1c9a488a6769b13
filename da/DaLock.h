// The per-object lock of the address space. Every node, tag and property has its own
// lock, and a drive namespace holds 100,000 tags and more, so the lock is one 32-bit word
// (a std::mutex is 40 bytes on Linux) rather than the runtime's TVCmnLock. Holds are
// short (a field, a child list); waiters sleep on the word, they never spin long.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/TVCmnThreadSafety.h"

class KV_CAPABILITY("mutex") DaLock {
public:
    DaLock() = default;
    DaLock(const DaLock&) = delete;
    DaLock& operator=(const DaLock&) = delete;

    void lock() KV_ACQUIRE()
    {
        uint32_t seen = kFree;
        if (state_.compare_exchange_strong(seen, kHeld, std::memory_order_acquire))
            return;
        // Contended: mark the word as having waiters, so the holder wakes one on unlock.
        if (seen != kHeldWithWaiters)
            seen = state_.exchange(kHeldWithWaiters, std::memory_order_acquire);
        while (seen != kFree) {
            sleepWhileContended();
            seen = state_.exchange(kHeldWithWaiters, std::memory_order_acquire);
        }
    }
    void unlock() KV_RELEASE()
    {
        if (state_.exchange(kFree, std::memory_order_release) == kHeldWithWaiters)
            wakeWaiter();
    }
    bool tryLock() KV_TRY_ACQUIRE(true)
    {
        uint32_t seen = kFree;
        return state_.compare_exchange_strong(seen, kHeld, std::memory_order_acquire);
    }

private:
    static constexpr uint32_t kFree = 0;
    static constexpr uint32_t kHeld = 1;
    static constexpr uint32_t kHeldWithWaiters = 2;

#ifdef _WIN32
    // The runtime's atomic wait on this target has no futex underneath and can lose a
    // wake-up: a thread was seen asleep for good on a tag's free lock (the engine's stress
    // test under Wine, with every other thread gone). Waiters park on a small table of
    // lock and condition pairs keyed by the lock's address instead; a waker takes the
    // pair's lock after freeing the word, so a waiter that saw the word held is asleep
    // by then and gets the wake-up. The pairs are the system's slim locks and condition
    // variables, which hold no handle: the runtime's mutexes and conditions make theirs
    // at first contention and keep them, so a server's handle count crept up for hours
    // as more pairs of the table came into use.
    void sleepWhileContended();
    void wakeWaiter();
#else
    void sleepWhileContended() { state_.wait(kHeldWithWaiters, std::memory_order_relaxed); }
    void wakeWaiter() { state_.notify_one(); }
#endif

    std::atomic<uint32_t> state_{kFree};
};

class KV_SCOPED_CAPABILITY DaLockHolder {
public:
    explicit DaLockHolder(DaLock& lock) KV_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
    ~DaLockHolder() KV_RELEASE() { lock_.unlock(); }
    DaLockHolder(const DaLockHolder&) = delete;
    DaLockHolder& operator=(const DaLockHolder&) = delete;

private:
    DaLock& lock_;
};
