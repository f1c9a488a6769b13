#include "common/TVCmnThread.h"

#include <exception>
#include <system_error>
#include <utility>
#include <vector>

namespace {

// Reports from before the trace facility is up. Bounded, as a thread that throws in a
// loop must not eat memory while nobody listens.
constexpr std::size_t kMaxKeptReports = 32;

struct KeptReport {
    std::string threadName;
    std::string what;
};

struct ExceptionReports {
    TVCmnLock lock;
    TVCmnThread::ExceptionHook hook KV_GUARDED_BY(lock) = nullptr;
    std::vector<KeptReport> kept KV_GUARDED_BY(lock);
};

ExceptionReports& reports()
{
    static ExceptionReports instance;  // constructed on first use, before any thread needs it
    return instance;
}

// The runner whose work is executing on this thread, so that a work function that stops
// its own runner is not made to wait for itself.
thread_local const TVCmnThread* tCurrentRunner = nullptr;

}  // namespace

TVCmnThread::TVCmnThread(std::string name, Work work, Mode mode)
    : name_(std::move(name)), work_(std::move(work)), mode_(mode)
{
}

TVCmnThread::~TVCmnThread()
{
    stop();
}

bool TVCmnThread::start()
{
    TVCmnScopedLock hold(lock_);
    if (thread_.joinable()) {
        if (!endedEvent_.isSet())
            return false;
        thread_.join();  // an earlier run ended by itself; reap it before starting again
    }
    stopEvent_.reset();
    endedEvent_.reset();
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        endedEvent_.set();
        return false;
    }
    return true;
}

void TVCmnThread::requestStop()
{
    stopEvent_.set();
}

bool TVCmnThread::stop(std::uint32_t timeoutMs)
{
    requestStop();
    if (tCurrentRunner == this)
        return false;  // the work asked to stop itself: it ends when it returns
    TVCmnScopedLock hold(lock_);
    if (!thread_.joinable())
        return true;
    if (endedEvent_.wait(timeoutMs) != TVCmnEvent::kWaitObject0)
        return false;
    thread_.join();
    return true;
}

bool TVCmnThread::isRunning() const
{
    return !endedEvent_.isSet();
}

void TVCmnThread::run()
{
    tCurrentRunner = this;
    for (;;) {
        if (mode_ == Mode::repeat && stopRequested())
            break;
        if (runGuarded()) {
            if (mode_ == Mode::once)
                break;
            continue;
        }
        // The work failed; give whatever it tripped over a moment before it starts over,
        // but leave at once when asked to stop.
        if (stopEvent_.wait(kRestartDelayMs) == TVCmnEvent::kWaitObject0)
            break;
    }
    endedEvent_.set();
}

bool TVCmnThread::runGuarded()
{
    try {
        work_(*this);
        return true;
    } catch (const std::exception& e) {
        ++exceptionCount_;
        reportException(name_.c_str(), e.what());
    } catch (...) {
        ++exceptionCount_;
        reportException(name_.c_str(), "unknown exception");
    }
    return false;
}

void TVCmnThread::setExceptionHook(ExceptionHook hook)
{
    ExceptionReports& shared = reports();
    std::vector<KeptReport> kept;
    {
        TVCmnScopedLock hold(shared.lock);
        shared.hook = hook;
        if (hook)
            kept.swap(shared.kept);
    }
    for (const KeptReport& report : kept)
        hook(report.threadName.c_str(), report.what.c_str());
}

void TVCmnThread::reportException(const char* threadName, const char* what)
{
    threadName = threadName ? threadName : "";
    what = what ? what : "";
    ExceptionReports& shared = reports();
    ExceptionHook hook = nullptr;
    {
        TVCmnScopedLock hold(shared.lock);
        hook = shared.hook;
        if (!hook) {
            if (shared.kept.size() < kMaxKeptReports) {
                try {
                    shared.kept.push_back({threadName, what});
                } catch (...) {
                    // No memory for the note either: the report is lost, the thread goes on.
                }
            }
            return;
        }
    }
    hook(threadName, what);
}
