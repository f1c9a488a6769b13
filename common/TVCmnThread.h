// The thread runner under every long-lived thread of the server (the entry's main thread,
// the work thread of each server object, the comms and update event threads). It runs the
// work once or repeatedly until asked to stop; an exception that escapes the work is
// reported through the process-wide hook and the work starts again from its top after
// kRestartDelayMs, so one bad pass never silently ends a thread the server depends on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "common/TVCmnEvent.h"

class TVCmnThread {
public:
    enum class Mode {
        once,    // the work is the thread's whole life (it loops and waits by itself)
        repeat,  // the work is one pass; it is called again until stop is asked
    };
    using Work = std::function<void(TVCmnThread& thread)>;
    // Installed by the trace facility; it writes "EXCEPTION in thread". Called on the
    // failing thread with no runtime lock held.
    using ExceptionHook = void (*)(const char* threadName, const char* what);

    static constexpr std::uint32_t kRestartDelayMs = 100;

    TVCmnThread(std::string name, Work work, Mode mode = Mode::once);
    // Asks the thread to stop and waits for it, however long the work takes to notice.
    ~TVCmnThread();
    TVCmnThread(const TVCmnThread&) = delete;
    TVCmnThread& operator=(const TVCmnThread&) = delete;

    // False when already running or when no thread could be created.
    bool start();
    // Sets the stop event; the work is expected to wait on it (index 0 of its wait set).
    void requestStop();
    // requestStop, then wait up to timeoutMs for the thread to end. True when it ended
    // (or never ran); on false the thread still runs and the destructor will wait for it.
    bool stop(std::uint32_t timeoutMs = TVCmnEvent::kInfinite);

    bool isRunning() const;
    bool stopRequested() const { return stopEvent_.isSet(); }
    TVCmnEvent& stopEvent() { return stopEvent_; }
    const std::string& name() const { return name_; }
    // Exceptions caught on this thread since construction.
    std::uint32_t exceptionCount() const { return exceptionCount_.load(); }

    // Process-wide. Reports raised before a hook is installed are kept (up to a small
    // number) and handed to the hook when it is installed; null removes the hook.
    static void setExceptionHook(ExceptionHook hook);
    // What the runner does with a caught exception; public for other catch-all sites.
    static void reportException(const char* threadName, const char* what);

private:
    void run();
    bool runGuarded();  // false when the work threw

    // Fixed at construction, read by both sides without a lock.
    const std::string name_;
    const Work work_;
    const Mode mode_;
    // Events and the counter synchronise by themselves.
    TVCmnEvent stopEvent_{TVCmnEvent::Reset::manual};
    TVCmnEvent endedEvent_{TVCmnEvent::Reset::manual, true};  // set while no thread runs
    std::atomic<std::uint32_t> exceptionCount_{0};
    // Serialises start and stop; held by stop while it waits for the thread to end.
    TVCmnLock lock_;
    std::thread thread_ KV_GUARDED_BY(lock_);
};
