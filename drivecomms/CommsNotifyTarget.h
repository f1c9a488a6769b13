// The window's part in drive comms: the comms server posts kCommsNotify (a direct IO
// reply) and kCommsNotify2 (loop updates waiting) to a window handle; this target owns
// such a handle and hands the messages to a sink, which turns them into events for the
// comms threads. Natively a platform MessageTarget; on Windows a message-only window
// with its own message loop (the product's main window takes this over with the shell).
#pragma once

#include <memory>

#include "platform/win.h"

class CommsNotifySink {
public:
    // Called on the thread that receives the message; must only store and signal.
    virtual void onCommsNotify(WPARAM kind, LPARAM status) = 0;
    virtual void onUpdatesWaiting() = 0;

protected:
    ~CommsNotifySink() = default;
};

// Turns one posted message into the sink's calls; other messages are ignored, and so is
// kCommsNotify2 with any wParam other than kUpdatesWaiting.
void dispatchCommsMessage(CommsNotifySink& sink, UINT message, WPARAM wParam, LPARAM lParam);

class CommsNotifyTarget {
public:
    explicit CommsNotifyTarget(CommsNotifySink& sink);
    ~CommsNotifyTarget();
    CommsNotifyTarget(const CommsNotifyTarget&) = delete;
    CommsNotifyTarget& operator=(const CommsNotifyTarget&) = delete;

    // Null when the target could not be made.
    HWND hwnd() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
