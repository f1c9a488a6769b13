// Posting to targets registered in the Linux build, as the comms link and the window
// replacement rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/MessageTarget.h"
#include "platform/win.h"

namespace {

using kv::platform::MessageQueue;
using kv::platform::MessageTarget;
using kv::platform::PostedMessage;

TEST(MessageTargetPost, ReachesARegisteredQueueInOrder)
{
    MessageQueue queue;
    EXPECT_TRUE(IsWindow(queue.hwnd()));
    EXPECT_TRUE(PostMessageW(queue.hwnd(), 0x8001, 60, -5));
    EXPECT_TRUE(PostMessageA(queue.hwnd(), 0x8002, 1, 2));

    PostedMessage m;
    ASSERT_TRUE(queue.waitFor(m, 1000));
    EXPECT_EQ(queue.hwnd(), m.hwnd);
    EXPECT_EQ(0x8001u, m.message);
    EXPECT_EQ(60u, m.wParam);
    EXPECT_EQ(-5, m.lParam);
    ASSERT_TRUE(queue.tryGet(m));
    EXPECT_EQ(0x8002u, m.message);
    EXPECT_FALSE(queue.tryGet(m));
    EXPECT_FALSE(queue.waitFor(m, 10));
}

TEST(MessageTargetPost, FailsForUnknownAndDestroyedTargets)
{
    HWND gone = MessageQueue().hwnd();
    const HWND rows[] = {nullptr, gone, reinterpret_cast<HWND>(0x12345)};
    for (HWND h : rows) {
        SetLastError(0);
        EXPECT_FALSE(PostMessageW(h, WM_USER, 0, 0)) << h;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError()) << h;
        EXPECT_FALSE(IsWindow(h)) << h;
    }
    // A new target never inherits an old handle.
    MessageQueue next;
    EXPECT_NE(gone, next.hwnd());
}

TEST(MessageTargetPost, ManyPostersLoseNothing)
{
    MessageQueue queue;
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                PostMessageW(queue.hwnd(), WM_APP + t, static_cast<WPARAM>(i), 0);
        });
    std::vector<int> next(kThreads, 0);
    PostedMessage m;
    for (int received = 0; received < kThreads * kEach; ++received) {
        ASSERT_TRUE(queue.waitFor(m, 10000));
        const int t = static_cast<int>(m.message - WM_APP);
        EXPECT_EQ(static_cast<WPARAM>(next[t]++), m.wParam);  // each poster's order is kept
    }
    for (auto& p : posters)
        p.join();
    EXPECT_EQ(0u, queue.size());
}

TEST(MessageTargetPost, DestructionWaitsForHandlersInProgress)
{
    std::atomic<bool> entered{false}, release{false}, finished{false};
    auto target = std::make_unique<MessageTarget>([&](const PostedMessage&) {
        entered = true;
        while (!release)
            std::this_thread::yield();
        finished = true;
    });
    const HWND h = target->hwnd();
    std::thread poster([&] { PostMessageW(h, WM_APP, 0, 0); });
    while (!entered)
        std::this_thread::yield();
    std::thread destroyer([&] {
        target.reset();
        EXPECT_TRUE(finished.load());  // never returns while the handler still runs
    });
    release = true;
    destroyer.join();
    poster.join();
    EXPECT_FALSE(PostMessageW(h, WM_APP, 0, 0));
}

TEST(MessageTargetPost, HandlerRunsOnThePostingThreadAndMayUnregisterItsTarget)
{
    std::unique_ptr<MessageTarget> target;
    DWORD handlerThread = 0;
    target = std::make_unique<MessageTarget>([&](const PostedMessage&) {
        handlerThread = GetCurrentThreadId();
        target.reset();
    });
    const HWND h = target->hwnd();
    EXPECT_TRUE(PostMessageW(h, WM_CLOSE, 0, 0));
    EXPECT_EQ(GetCurrentThreadId(), handlerThread);
    EXPECT_EQ(nullptr, target);
    EXPECT_FALSE(PostMessageW(h, WM_CLOSE, 0, 0));
}

}  // namespace
