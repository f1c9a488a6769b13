#include "common/TVCmnEvent.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {
// One pause between looks: tells the core this is a spin, so that its sibling hyperthread
// and the memory system are not flooded, and the waiter sees the store a little later at
// worst.
inline void cpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

std::uint64_t nowNs()
{
    return std::uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

bool severalCores()
{
    static const bool several = std::thread::hardware_concurrency() > 1;
    return several;
}
}  // namespace

TVCmnSpinWait::TVCmnSpinWait(std::uint32_t longestSpinUs)
    : longestNs_(severalCores() ? longestSpinUs * 1000u : 0u), budgetNs_(longestNs_)
{
}

void TVCmnSpinWait::learn(std::uint64_t waitedNs, bool signalled)
{
    if (signalled && waitedNs <= longestNs_)
        budgetNs_ = longestNs_;
    else
        budgetNs_ = budgetNs_ / 2 < 1000u ? 0u : budgetNs_ / 2;  // below a microsecond a spin catches nothing
}

// One per thread, registered with each event of the wait it is in. Lock order: an
// event's lock_, then a waiter's mutex; the waiter never takes an event lock while
// holding its own mutex. Shared, because set() wakes it after letting go of the event's
// lock, when the thread may have left the wait, or ended.
struct TVCmnEvent::Waiter {
    std::mutex mutex;
    std::condition_variable wake;
    bool notified = false;  // guarded by mutex
};

const std::shared_ptr<TVCmnEvent::Waiter>& TVCmnEvent::threadWaiter()
{
    thread_local const std::shared_ptr<Waiter> waiter = std::make_shared<Waiter>();
    return waiter;
}

TVCmnEvent::TVCmnEvent(Reset reset, bool initiallySet) : reset_(reset), signalled_(initiallySet) {}

TVCmnEvent::~TVCmnEvent()
{
    TVCmnScopedLock hold(lock_);
    assert(waiters_.empty() && "event destroyed while a thread waits on it");
}

void TVCmnEvent::set()
{
    // The wake-ups go out after lock_ is let go: a woken thread (on a busy machine often
    // run at once, on this thread's own core) goes straight for the event locks, and
    // would otherwise find lock_ held, sleep again and need a second wake-up.
    constexpr std::size_t kWakeAfterUnlock = 16;
    std::shared_ptr<Waiter> toWake[kWakeAfterUnlock];
    std::size_t count = 0;
    {
        TVCmnScopedLock hold(lock_);
        signalled_.store(true, std::memory_order_release);
        // A waiter still spinning is not in waiters_ yet and sees the flag itself.
        // Every registered waiter is woken, also for auto-reset: one woken waiter may
        // meanwhile have been satisfied by another event of its list, and the signal
        // must not be left unseen. The waiters that lose the race for an auto-reset
        // event simply sleep again.
        for (const std::shared_ptr<Waiter>& waiter : waiters_) {
            {
                std::lock_guard<std::mutex> mark(waiter->mutex);
                waiter->notified = true;
            }
            if (count < kWakeAfterUnlock)
                toWake[count++] = waiter;
            else
                waiter->wake.notify_one();  // a rare crowd: these are woken under the lock
        }
    }
    // A waiter that has meanwhile left, or gone into its next wait, gets at most one
    // spurious wake-up, which its notified check absorbs.
    for (std::size_t i = 0; i < count; ++i)
        toWake[i]->wake.notify_one();
}

void TVCmnEvent::reset()
{
    TVCmnScopedLock hold(lock_);
    signalled_.store(false, std::memory_order_relaxed);
}

bool TVCmnEvent::isSet() const
{
    TVCmnScopedLock hold(lock_);
    return signalled_.load(std::memory_order_relaxed);
}

std::uint32_t TVCmnEvent::wait(std::uint32_t timeoutMs)
{
    TVCmnEvent* self = this;
    return waitForAny(std::span<TVCmnEvent* const>(&self, 1), timeoutMs);
}

void TVCmnEvent::addWaiter(const std::shared_ptr<Waiter>& waiter)
{
    TVCmnScopedLock hold(lock_);
    waiters_.push_back(waiter);
}

void TVCmnEvent::removeWaiter(const Waiter* waiter)
{
    TVCmnScopedLock hold(lock_);
    waiters_.erase(std::find_if(waiters_.begin(), waiters_.end(),
                                [waiter](const std::shared_ptr<Waiter>& w) { return w.get() == waiter; }));
}

std::uint32_t TVCmnEvent::consumeFirst(std::span<TVCmnEvent* const> events,
                                       std::span<TVCmnEvent* const> lockOrder) KV_NO_THREAD_SAFETY_ANALYSIS
{
    // All locks at once, so that the answer is the lowest index signalled at one instant,
    // as with WaitForMultipleObjects; taken in address order so that two waiters with
    // overlapping lists cannot deadlock (set() only ever holds one event lock).
    for (TVCmnEvent* event : lockOrder)
        event->lock_.lock();
    std::uint32_t result = kWaitTimeout;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i]->signalled_.load(std::memory_order_relaxed)) {
            if (events[i]->reset_ == Reset::automatic)
                events[i]->signalled_.store(false, std::memory_order_relaxed);
            result = static_cast<std::uint32_t>(i);
            break;
        }
    }
    for (TVCmnEvent* event : lockOrder)
        event->lock_.unlock();
    return result;
}

std::uint32_t TVCmnEvent::spinFor(std::span<TVCmnEvent* const> events, std::span<TVCmnEvent* const> lockOrder,
                                  std::uint32_t budgetNs)
{
    const std::uint64_t until = nowNs() + budgetNs;
    for (;;) {
        // The clock is read once per 16 looks: a look is a few loads, the clock a few
        // tens of nanoseconds.
        for (int look = 0; look < 16; ++look) {
            for (TVCmnEvent* event : events) {
                if (event->signalled_.load(std::memory_order_acquire)) {
                    // Another waiter may take an auto-reset signal first: then spin on.
                    if (const std::uint32_t result = consumeFirst(events, lockOrder); result != kWaitTimeout)
                        return result;
                    break;
                }
            }
            cpuRelax();
        }
        if (nowNs() >= until)
            return kWaitTimeout;
    }
}

std::uint32_t TVCmnEvent::waitSleeping(std::span<TVCmnEvent* const> events, std::span<TVCmnEvent* const> lockOrder,
                                       std::uint32_t timeoutMs, std::chrono::steady_clock::time_point deadline)
{
    const std::shared_ptr<Waiter>& shared = threadWaiter();
    Waiter& waiter = *shared;
    {
        std::lock_guard<std::mutex> fresh(waiter.mutex);
        waiter.notified = false;  // a late wake of an earlier wait
    }
    for (TVCmnEvent* event : events)
        event->addWaiter(shared);

    // Registered first, checked second: a set() after the check finds us in its list and
    // marks us notified, so the sleep below returns at once.
    std::uint32_t result = kWaitTimeout;
    for (;;) {
        result = consumeFirst(events, lockOrder);
        if (result != kWaitTimeout)
            break;
        std::unique_lock<std::mutex> sleep(waiter.mutex);
        auto notified = [&waiter] { return waiter.notified; };
        if (timeoutMs == kInfinite) {
            waiter.wake.wait(sleep, notified);
        } else if (!waiter.wake.wait_until(sleep, deadline, notified)) {
            break;
        }
        waiter.notified = false;
    }

    for (TVCmnEvent* event : events)
        event->removeWaiter(&waiter);
    return result;
}

std::uint32_t TVCmnEvent::waitForAny(std::span<TVCmnEvent* const> events, std::uint32_t timeoutMs, TVCmnSpinWait* spin)
{
    if (events.empty() || events.size() > kMaxWaitEvents ||
        std::find(events.begin(), events.end(), nullptr) != events.end())
        return kWaitFailed;
    // On the stack: a wait allocates nothing (the comms event thread waits once per
    // request and once per reply).
    TVCmnEvent* sortedStore[kMaxWaitEvents];
    std::span<TVCmnEvent* const> lockOrder = events;
    if (events.size() > 1) {
        std::copy(events.begin(), events.end(), sortedStore);
        std::span<TVCmnEvent*> sorted(sortedStore, events.size());
        std::sort(sorted.begin(), sorted.end(), std::less<TVCmnEvent*>());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            return kWaitFailed;
        lockOrder = sorted;
    }

    // Most waits find an event already set or are plain polls: no registration needed.
    std::uint32_t result = consumeFirst(events, lockOrder);
    if (result != kWaitTimeout || timeoutMs == 0)
        return result;

    // The time-out counts from here, spin included.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::uint64_t started = spin ? nowNs() : 0;
    if (spin && spin->budgetNs() != 0 && std::uint64_t(spin->budgetNs()) < std::uint64_t(timeoutMs) * 1000000u)
        result = spinFor(events, lockOrder, spin->budgetNs());
    if (result == kWaitTimeout)
        result = waitSleeping(events, lockOrder, timeoutMs, deadline);
    if (spin)
        spin->learn(nowNs() - started, result != kWaitTimeout);
    return result;
}
