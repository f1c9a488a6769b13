// Receiving posted messages in the Linux build, where there are no windows.
//
// A MessageTarget registers itself and hands out an HWND for as long as it lives; other
// threads post to that handle with PostMessageW as they would to a window. Native code
// (the Linux notification target) and tests use it. Handles are never reused, so a post
// to the handle of a destroyed target fails, as with a destroyed window.
//
//   kv::platform::MessageQueue queue;           // FIFO, like a thread's message queue
//   PostMessageW(queue.hwnd(), 0x8001, 5, 0);
//   kv::platform::PostedMessage m;
//   queue.waitFor(m, 1000);
#pragma once

#ifdef _WIN32
#error "MessageTarget is the Linux stand-in for a window; Windows code uses a real window"
#endif

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/win.h"

namespace kv::platform {

struct PostedMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// Calls a function for every message posted to its handle, on the posting thread and
// before PostMessageW returns. The function must be quick and must not block on the
// poster (posters may hold their own locks); hand work to another thread instead.
// Destruction unregisters and waits for calls in progress on other threads, so the
// function never runs after the destructor returns.
class MessageTarget {
public:
    using Handler = std::function<void(const PostedMessage&)>;

    explicit MessageTarget(Handler handler);
    ~MessageTarget();
    MessageTarget(const MessageTarget&) = delete;
    MessageTarget& operator=(const MessageTarget&) = delete;

    HWND hwnd() const { return hwnd_; }

    struct Registration;  // shared with the handle table, defined in the .cpp

private:
    HWND hwnd_;
    std::shared_ptr<Registration> registration_;
};

// A target that queues messages for a consumer thread, like a window's message queue.
class MessageQueue {
public:
    MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    HWND hwnd() const { return target_.hwnd(); }

    // Takes the oldest message; false when none arrives within timeoutMs (INFINITE waits).
    bool waitFor(PostedMessage& out, DWORD timeoutMs);
    bool tryGet(PostedMessage& out);
    std::size_t size() const;

private:
    void push(const PostedMessage& m);

    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<PostedMessage> messages_;  // guarded by lock_
    MessageTarget target_;                // last: unregisters before the queue goes
};

}  // namespace kv::platform
