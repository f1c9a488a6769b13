#include "da/DaLock.h"

#ifdef _WIN32
#include <windows.h>

namespace {

struct Parking {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;
};

Parking& parkingFor(const void* word)
{
    static Parking table[64];
    return table[(reinterpret_cast<uintptr_t>(word) >> 2) % 64];
}

}  // namespace

void DaLock::sleepWhileContended()
{
    Parking& p = parkingFor(this);
    AcquireSRWLockExclusive(&p.lock);
    while (state_.load(std::memory_order_relaxed) == kHeldWithWaiters)
        SleepConditionVariableSRW(&p.wake, &p.lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&p.lock);
}

void DaLock::wakeWaiter()
{
    Parking& p = parkingFor(this);
    AcquireSRWLockExclusive(&p.lock);
    ReleaseSRWLockExclusive(&p.lock);
    WakeAllConditionVariable(&p.wake);  // the pair is shared by other locks' waiters: each looks again
}

#endif
