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
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "common/TVCmnLock.h"

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
    // entry or an event named twice (Windows refuses duplicates too).
    static std::uint32_t waitForAny(std::span<TVCmnEvent* const> events, std::uint32_t timeoutMs);
    static std::uint32_t waitForAny(std::initializer_list<TVCmnEvent*> events, std::uint32_t timeoutMs)
    {
        return waitForAny(std::span<TVCmnEvent* const>(events.begin(), events.size()), timeoutMs);
    }

private:
    struct Waiter;

    // Index of the first signalled event, taking an auto-reset one; else kWaitTimeout.
    // lockOrder holds the same events sorted by address.
    static std::uint32_t consumeFirst(std::span<TVCmnEvent* const> events, std::span<TVCmnEvent* const> lockOrder);
    void addWaiter(Waiter* waiter);
    void removeWaiter(Waiter* waiter);

    const Reset reset_;
    mutable TVCmnLock lock_;
    bool signalled_ KV_GUARDED_BY(lock_);
    // Threads inside waitForAny on this event; set() wakes each of them.
    std::vector<Waiter*> waiters_ KV_GUARDED_BY(lock_);
};
