#include "common/TVCmnRefCounted.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/TVCmnException.h"

namespace {

struct Counted : TVCmnRefCounted {
    explicit Counted(int& destroyed) : destroyed(destroyed) {}
    ~Counted() override { ++destroyed; }
    int& destroyed;
};

struct Derived : Counted {
    using Counted::Counted;
};

TEST(TVCmnRefCountedTest, AddRefAndReleaseAnswerTheNewCountAndTheLastReleaseDeletes)
{
    int destroyed = 0;
    auto* object = new Counted(destroyed);
    EXPECT_EQ(object->addRef(), 1u);
    EXPECT_EQ(object->addRef(), 2u);
    EXPECT_EQ(object->release(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(object->release(), 0u);
    EXPECT_EQ(destroyed, 1);
}

TEST(TVCmnRefCountedTest, SmartPointerHoldsExactlyOneReferencePerOwner)
{
    int destroyed = 0;
    {
        TVCmnRef<Counted> first = TVCmnRef<Counted>::create(destroyed);
        EXPECT_EQ(first->refCount(), 1u);
        TVCmnRef<Counted> copy = first;
        EXPECT_EQ(first->refCount(), 2u);
        TVCmnRef<Counted> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(first->refCount(), 2u);
        EXPECT_TRUE(moved == first);

        moved = moved;  // self-assignment keeps the reference
        EXPECT_EQ(first->refCount(), 2u);

        Counted* raw = moved.detach();
        EXPECT_EQ(first->refCount(), 2u) << "detach hands the reference over";
        TVCmnRef<Counted> adopted(raw, TVCmnRef<Counted>::kAdopt);
        EXPECT_EQ(first->refCount(), 2u) << "adopt takes it without another addRef";

        adopted.reset();
        EXPECT_EQ(first->refCount(), 1u);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(TVCmnRefCountedTest, SmartPointerConvertsToABase)
{
    int destroyed = 0;
    {
        TVCmnRef<Derived> derived = TVCmnRef<Derived>::create(destroyed);
        TVCmnRef<Counted> base = derived;
        EXPECT_EQ(base->refCount(), 2u);
        TVCmnRef<Counted> movedBase = std::move(derived);
        EXPECT_EQ(base->refCount(), 2u);
    }
    EXPECT_EQ(destroyed, 1) << "deleted through the base, once";
}

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

TEST(TVCmnExceptionTest, OutOfMemoryCarriesTheTextTheServerShows)
{
    try {
        tvCmnThrowOutOfMemory();
        FAIL() << "no exception";
    } catch (const TVCmnException& e) {
        EXPECT_STREQ(e.what(), "Out of memory");
    }
    int value = 0;
    EXPECT_EQ(tvCmnCheckAlloc(&value), &value);
    EXPECT_THROW(tvCmnCheckAlloc(static_cast<int*>(nullptr)), TVCmnException);
}

TEST(TVCmnExceptionTest, ACopiedExceptionKeepsItsOwnText)
{
    std::string text = "bad namespace";
    TVCmnException original(text);
    text = "changed";
    const TVCmnException copy = original;
    EXPECT_STREQ(copy.what(), "bad namespace");
}

}  // namespace
