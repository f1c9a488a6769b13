#include "common/TVCmnTick.h"

#include <gtest/gtest.h>

namespace {

TEST(TVCmnTickTest, ElapsedCountsWrapsButNotBackwardSteps)
{
    struct Row {
        const char* name;
        TVCmnTickMs from;
        TVCmnTickMs to;
        std::uint32_t elapsedMs;
    };
    const Row rows[] = {
        {"wrap through zero", 0xFFFFFF00u, 0x100, 0x200},
        {"back across zero", 5, 0xFFFFFFF0u, 0},
        {"back by the largest step still read as backwards", 100000, 100000 - 67295, 0},
        {"one ms more is read as a long forward time", 100000, 100000 - 67296, 0xFFFEF920u},
        {"forward by never is real time", 0, kTickNever, kTickNever},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TVCmnTick::elapsed(row.from, row.to), row.elapsedMs) << row.name;
}

TEST(TVCmnTickTest, RemainingClampsAtZeroAndKeepsNever)
{
    struct Row {
        const char* name;
        TVCmnTickMs start;
        std::uint32_t periodMs;
        TVCmnTickMs now;
        std::uint32_t remainingMs;
    };
    const Row rows[] = {
        {"not due", 1000, 500, 1200, 300},
        {"tick went back: nothing passed", 1000, 500, 990, 500},
        {"across the wrap", 0xFFFFFF00u, 0x300, 0x100, 0x100},
        {"never stays never", 1000, kTickNever, 1000 + 500, kTickNever},
        {"above never is never", 1000, 0xFFFFFFFFu, 1000, kTickNever},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TVCmnTick::remaining(row.start, row.periodMs, row.now), row.remainingMs) << row.name;
}

}  // namespace
