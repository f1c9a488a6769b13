// Events as the engine's threads use them: manual-reset and auto-reset, and a wait for any
// of several events with a time-out (the WaitForMultipleObjects behaviour the work thread,
// the comms event thread and the entry's main thread are written for). Portable, so the
// same code is tested natively under TSan and in the product.
//
// Wait semantics:
//  - the lowest index among the signalled events wins;
//  - an auto-reset event is consumed by the one waiter that returns it; manual-reset
//    events stay signalled until reset;
//  - a set() can never be lost between a waiter's check and its sleep.
// An event must outlive every wait that names it.
//
// A thread whose signal usually comes within microseconds (the comms event thread
// waiting for a reply the comms server's worker is producing on the other core) may pass
// a TVCmnSpinWait: it then looks at its events for a short while before it goes to sleep,
// which saves the sleep and the wake-up, each several microseconds of kernel work.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "common/TVCmnLock.h"

// How long one thread spins before it sleeps, learnt from its own waits: a wait that
// ended within the longest spin earns the full spin next time, any longer one halves it,
// so a thread that is mostly idle soon stops spinning and one short wait brings it back.
// Owned and used by one thread only.
class TVCmnSpinWait {
public:
    explicit TVCmnSpinWait(std::uint32_t longestSpinUs);

    // Spin time for the next wait; 0 on a single core, where spinning only delays the
    // thread that would set the event.
    std::uint32_t budgetNs() const { return budgetNs_; }
    // After a wait: how long it took until signalled (or timed out).
    void learn(std::uint64_t waitedNs, bool signalled);

private:
    const std::uint32_t longestNs_;
    std::uint32_t budgetNs_;
};

class TVCmnEvent {
public:
    enum class Reset { manual, automatic };

    // Same values as WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED and INFINITE, so that code
    // ported from the Win32 waits reads the same.
    static constexpr std::uint32_t kWaitObject0 = 0;
    static constexpr std::uint32_t kWaitTimeout = 0x102;
    static constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

    explicit TVCmnEvent(Reset reset, bool initiallySet = false);
    ~TVCmnEvent();
    TVCmnEvent(const TVCmnEvent&) = delete;
    TVCmnEvent& operator=(const TVCmnEvent&) = delete;

    void set();
    void reset();
    // A look without consuming; the answer may be stale at once.
    bool isSet() const;

    // kWaitObject0 when signalled, kWaitTimeout when timeoutMs passed first.
    std::uint32_t wait(std::uint32_t timeoutMs);

    // Index of the signalled event, kWaitTimeout, or kWaitFailed for an empty list, a null
    // entry, more than kMaxWaitEvents events or an event named twice (Windows refuses
    // these too). With spin, the thread first spins for spin's budget (and teaches it how
    // long this wait took).
    static std::uint32_t waitForAny(std::span<TVCmnEvent* const> events, std::uint32_t timeoutMs,
                                    TVCmnSpinWait* spin = nullptr);
    static std::uint32_t waitForAny(std::initializer_list<TVCmnEvent*> events, std::uint32_t timeoutMs,
                                    TVCmnSpinWait* spin = nullptr)
    {
        return waitForAny(std::span<TVCmnEvent* const>(events.begin(), events.size()), timeoutMs, spin);
    }

    static constexpr std::size_t kMaxWaitEvents = 64;  // MAXIMUM_WAIT_OBJECTS

private:
    struct Waiter;

    // Index of the first signalled event, taking an auto-reset one; else kWaitTimeout.
    // lockOrder holds the same events sorted by address.
    static std::uint32_t consumeFirst(std::span<TVCmnEvent* const> events, std::span<TVCmnEvent* const> lockOrder);
    // Spins until one of the events looks signalled and is taken, or until budgetNs passed.
    static std::uint32_t spinFor(std::span<TVCmnEvent* const> events, std::span<TVCmnEvent* const> lockOrder,
                                 std::uint32_t budgetNs);
    static std::uint32_t waitSleeping(std::span<TVCmnEvent* const> events, std::span<TVCmnEvent* const> lockOrder,
                                      std::uint32_t timeoutMs, std::chrono::steady_clock::time_point deadline);
    // The calling thread's waiter, made at its first sleeping wait.
    static const std::shared_ptr<Waiter>& threadWaiter();
    void addWaiter(const std::shared_ptr<Waiter>& waiter);
    void removeWaiter(const Waiter* waiter);

    const Reset reset_;
    mutable TVCmnLock lock_;
    // Written only under lock_, and taken (auto-reset) only under it; spinning waiters
    // read it without the lock as a hint that consumeFirst is worth the locks.
    std::atomic<bool> signalled_;
    // Threads inside waitForAny on this event; set() wakes each of them.
    // Shared with set(), which wakes them after letting go of lock_.
    std::vector<std::shared_ptr<Waiter>> waiters_ KV_GUARDED_BY(lock_);
};
