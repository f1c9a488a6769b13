#include "common/TVCmnRefCounted.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Counted : TVCmnRefCounted {
    explicit Counted(int& destroyed) : destroyed(destroyed) {}
    ~Counted() override { ++destroyed; }
    int& destroyed;
};

// Reference counts and RAII owners are exercised by every test under ASan; what only a
// dedicated test shows is that concurrent copies keep the count exact.
TEST(TVCmnRefCountedTest, ConcurrentCopiesDeleteOnceAtTheEnd)
{
    int destroyed = 0;
    TVCmnRef<Counted> shared = TVCmnRef<Counted>::create(destroyed);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([copy = shared] {
            for (int i = 0; i < 10000; ++i) {
                TVCmnRef<Counted> local = copy;
                local.reset();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(shared->refCount(), 1u);
    shared.reset();
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
