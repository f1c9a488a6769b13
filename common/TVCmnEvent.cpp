#include "common/TVCmnEvent.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

// One per thread inside waitForAny, registered with each event it waits on. Lock order:
// an event's lock_, then a waiter's mutex (set() holds the first while it notifies); the
// waiter never takes an event lock while holding its own mutex.
struct TVCmnEvent::Waiter {
    std::mutex mutex;
    std::condition_variable wake;
    bool notified = false;  // guarded by mutex
};

TVCmnEvent::TVCmnEvent(Reset reset, bool initiallySet) : reset_(reset), signalled_(initiallySet) {}

TVCmnEvent::~TVCmnEvent()
{
    TVCmnScopedLock hold(lock_);
    assert(waiters_.empty() && "event destroyed while a thread waits on it");
}

void TVCmnEvent::set()
{
    TVCmnScopedLock hold(lock_);
    signalled_ = true;
    // Wake every waiter, also for auto-reset: one woken waiter may meanwhile have been
    // satisfied by another event of its list, and the signal must not be left unseen.
    // The waiters that lose the race for an auto-reset event simply sleep again.
    // Notified after the waiter's mutex is let go, so that the woken thread does not run
    // straight into it and sleep a second time; the waiter cannot leave meanwhile, since
    // unregistering needs this event's lock, which is held throughout.
    for (Waiter* waiter : waiters_) {
        {
            std::lock_guard<std::mutex> wake(waiter->mutex);
            waiter->notified = true;
        }
        waiter->wake.notify_one();
    }
}

void TVCmnEvent::reset()
{
    TVCmnScopedLock hold(lock_);
    signalled_ = false;
}

bool TVCmnEvent::isSet() const
{
    TVCmnScopedLock hold(lock_);
    return signalled_;
}

std::uint32_t TVCmnEvent::wait(std::uint32_t timeoutMs)
{
    TVCmnEvent* self = this;
    return waitForAny(std::span<TVCmnEvent* const>(&self, 1), timeoutMs);
}

void TVCmnEvent::addWaiter(Waiter* waiter)
{
    TVCmnScopedLock hold(lock_);
    waiters_.push_back(waiter);
}

void TVCmnEvent::removeWaiter(Waiter* waiter)
{
    TVCmnScopedLock hold(lock_);
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), waiter));
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
        if (events[i]->signalled_) {
            if (events[i]->reset_ == Reset::automatic)
                events[i]->signalled_ = false;
            result = static_cast<std::uint32_t>(i);
            break;
        }
    }
    for (TVCmnEvent* event : lockOrder)
        event->lock_.unlock();
    return result;
}

std::uint32_t TVCmnEvent::waitForAny(std::span<TVCmnEvent* const> events, std::uint32_t timeoutMs)
{
    if (events.empty() || std::find(events.begin(), events.end(), nullptr) != events.end())
        return kWaitFailed;
    std::vector<TVCmnEvent*> sorted;
    std::span<TVCmnEvent* const> lockOrder = events;
    if (events.size() > 1) {
        sorted.assign(events.begin(), events.end());
        std::sort(sorted.begin(), sorted.end(), std::less<TVCmnEvent*>());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            return kWaitFailed;
        lockOrder = sorted;
    }

    // Most waits find an event already set or are plain polls: no registration needed.
    std::uint32_t result = consumeFirst(events, lockOrder);
    if (result != kWaitTimeout || timeoutMs == 0)
        return result;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Waiter waiter;
    for (TVCmnEvent* event : events)
        event->addWaiter(&waiter);

    // Registered first, checked second: a set() after the check finds us in its list and
    // marks us notified, so the sleep below returns at once.
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
