// Posting to targets registered in the Linux build, as the comms link and the tests'
// windows rely on.
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

// The comms server posts its replies from several threads; the tests' windows and the
// comms event thread read them in each poster's order, and none may go missing.
TEST(MessageTargetPost, ManyPostersLoseNothingAndKeepEachPostersOrder)
{
    MessageQueue queue;
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                PostMessageW(queue.hwnd(), WM_APP + t, static_cast<WPARAM>(i), -i);
        });
    std::vector<int> next(kThreads, 0);
    PostedMessage m;
    for (int received = 0; received < kThreads * kEach; ++received) {
        ASSERT_TRUE(queue.waitFor(m, 10000));
        const int t = static_cast<int>(m.message - WM_APP);
        ASSERT_EQ(m.hwnd, queue.hwnd());
        EXPECT_EQ(m.lParam, -static_cast<LPARAM>(m.wParam)) << "a negative lParam arrives whole";
        EXPECT_EQ(static_cast<WPARAM>(next[t]++), m.wParam) << "poster " << t;
    }
    for (auto& p : posters)
        p.join();
    EXPECT_FALSE(queue.tryGet(m));
    EXPECT_FALSE(queue.waitFor(m, 10));
}

// The comms server may still post to the notification target of a client being torn
// down: the handler must not run after the destructor, and later posts must fail.
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
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(h, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(IsWindow(h));
    EXPECT_NE(MessageTarget([](const PostedMessage&) {}).hwnd(), h) << "a new target never inherits an old handle";
}

}  // namespace
