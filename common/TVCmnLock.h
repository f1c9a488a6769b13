// The runtime's mutex and its scoped holder. Every engine object has one TVCmnLock; the
// annotations let clang check the "guarded by" notes on members.
#pragma once

#include <mutex>

#include "common/TVCmnThreadSafety.h"

class KV_CAPABILITY("mutex") TVCmnLock {
public:
    TVCmnLock() = default;
    TVCmnLock(const TVCmnLock&) = delete;
    TVCmnLock& operator=(const TVCmnLock&) = delete;

    void lock() KV_ACQUIRE() { mutex_.lock(); }
    void unlock() KV_RELEASE() { mutex_.unlock(); }
    bool tryLock() KV_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

private:
    std::mutex mutex_;
};

// Holds a TVCmnLock for one scope. unlock()/lock() allow a holder to step out of the
// lock around a call that must not run under it (COM, callbacks, trace of others).
class KV_SCOPED_CAPABILITY TVCmnScopedLock {
public:
    explicit TVCmnScopedLock(TVCmnLock& lock) KV_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
    ~TVCmnScopedLock() KV_RELEASE()
    {
        if (held_)
            lock_.unlock();
    }
    TVCmnScopedLock(const TVCmnScopedLock&) = delete;
    TVCmnScopedLock& operator=(const TVCmnScopedLock&) = delete;

    void unlock() KV_RELEASE()
    {
        lock_.unlock();
        held_ = false;
    }
    void lock() KV_ACQUIRE()
    {
        lock_.lock();
        held_ = true;
    }

private:
    TVCmnLock& lock_;
    bool held_ = true;  // only touched by the owning thread
};
