// A message-only window on a thread of its own, so that the comms server's posts are
// received however busy the caller's threads are.
#include <atomic>
#include <future>
#include <thread>

#include "drivecomms/CommsNotifyTarget.h"

namespace {
const wchar_t kClassName[] = L"KvCommsNotifyTarget";

LRESULT CALLBACK notifyWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (auto* sink = reinterpret_cast<CommsNotifySink*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA))) {
        dispatchCommsMessage(*sink, message, wParam, lParam);
        if (message == 0x8001 || message == 0x8002)
            return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
}  // namespace

struct CommsNotifyTarget::Impl {
    explicit Impl(CommsNotifySink& sink)
    {
        // A promise, not an event: the constructor's stack may go as soon as it is told.
        std::promise<void> made;
        std::future<void> ready = made.get_future();
        thread = std::thread([this, &sink, &made] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = notifyWindowProc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = kClassName;
            RegisterClassW(&wc);  // fails harmlessly when a second target registers again
            HWND window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          wc.hInstance, nullptr);
            if (window)
                SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&sink));
            threadId = GetCurrentThreadId();
            hwnd.store(window);
            made.set_value();
            if (!window)
                return;
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0)
                DispatchMessageW(&msg);
            DestroyWindow(window);
        });
        ready.wait();
    }
    ~Impl()
    {
        if (hwnd.load())
            PostThreadMessageW(threadId, WM_QUIT, 0, 0);
        thread.join();
    }
    std::thread thread;
    DWORD threadId = 0;
    std::atomic<HWND> hwnd{nullptr};
};

CommsNotifyTarget::CommsNotifyTarget(CommsNotifySink& sink) : impl_(new Impl(sink)) {}

CommsNotifyTarget::~CommsNotifyTarget() = default;

HWND CommsNotifyTarget::hwnd() const
{
    return impl_->hwnd.load();
}
