// The handle table behind PostMessageW in the Linux build.
#include "platform/MessageTarget.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace kv::platform {

struct MessageTarget::Registration {
    explicit Registration(Handler h) : handler(std::move(h)) {}

    const Handler handler;
    std::mutex lock;
    std::condition_variable idle;
    bool open = true;   // guarded by lock
    int inFlight = 0;   // guarded by lock: handler calls in progress
};

namespace {

// Registrations whose handler this thread is running, so a target destroyed from its
// own handler does not wait for itself.
thread_local std::vector<const MessageTarget::Registration*> runningHere;

class HandleTable {
public:
    HWND add(std::shared_ptr<MessageTarget::Registration> r)
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Handles look like window handles (even, non-zero) and are never reused.
        nextHandle_ += 2;
        targets_.emplace(nextHandle_, std::move(r));
        return reinterpret_cast<HWND>(nextHandle_);
    }

    void remove(HWND h)
    {
        std::lock_guard<std::mutex> guard(lock_);
        targets_.erase(reinterpret_cast<std::uintptr_t>(h));
    }

    std::shared_ptr<MessageTarget::Registration> find(HWND h)
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = targets_.find(reinterpret_cast<std::uintptr_t>(h));
        return it == targets_.end() ? nullptr : it->second;
    }

private:
    std::mutex lock_;
    std::uintptr_t nextHandle_ = 0x10000;  // guarded by lock_
    std::unordered_map<std::uintptr_t, std::shared_ptr<MessageTarget::Registration>> targets_;  // guarded by lock_
};

HandleTable& handles()
{
    static HandleTable* table = new HandleTable;  // never destroyed: posts may come during exit
    return *table;
}

}  // namespace

MessageTarget::MessageTarget(Handler handler)
    : registration_(std::make_shared<Registration>(std::move(handler)))
{
    hwnd_ = handles().add(registration_);
}

MessageTarget::~MessageTarget()
{
    handles().remove(hwnd_);
    const auto ownCalls = static_cast<int>(std::count(runningHere.begin(), runningHere.end(), registration_.get()));
    std::unique_lock<std::mutex> guard(registration_->lock);
    registration_->open = false;
    registration_->idle.wait(guard, [&] { return registration_->inFlight <= ownCalls; });
}

MessageQueue::MessageQueue() : target_([this](const PostedMessage& m) { push(m); }) {}

void MessageQueue::push(const PostedMessage& m)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(m);
    }
    arrived_.notify_one();
}

bool MessageQueue::waitFor(PostedMessage& out, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock_);
    auto ready = [&] { return !messages_.empty(); };
    if (timeoutMs == INFINITE)
        arrived_.wait(guard, ready);
    else if (!arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), ready))
        return false;
    out = messages_.front();
    messages_.pop_front();
    return true;
}

bool MessageQueue::tryGet(PostedMessage& out) { return waitFor(out, 0); }

std::size_t MessageQueue::size() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return messages_.size();
}

}  // namespace kv::platform

using kv::platform::MessageTarget;

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<MessageTarget::Registration> r = kv::platform::handles().find(hWnd);
    if (!r) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(r->lock);
        if (!r->open) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        ++r->inFlight;
    }
    kv::platform::runningHere.push_back(r.get());
    r->handler(kv::platform::PostedMessage{hWnd, Msg, wParam, lParam});
    kv::platform::runningHere.pop_back();
    {
        std::lock_guard<std::mutex> guard(r->lock);
        --r->inFlight;
    }
    r->idle.notify_all();
    return TRUE;
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) { return PostMessageW(hWnd, Msg, wParam, lParam); }

BOOL IsWindow(HWND hWnd) { return kv::platform::handles().find(hWnd) ? TRUE : FALSE; }
