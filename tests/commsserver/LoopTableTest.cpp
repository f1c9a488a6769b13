// The loop's bookkeeping: blocks of contiguous parameters, entries removed while their
// reading is under way, rates changed, and new entries gathered. A failed block reaching
// every entry is ModbusDriveTest's (a gone drive, one block of three, on TCP and RTU).
#include <gtest/gtest.h>

#include "commsserver/LoopTable.h"

using namespace comms;

namespace {

ParameterRecord rec(LONG menu, LONG parameter)
{
    ParameterRecord r{};
    r.menu = menu;
    r.parameter = parameter;
    return r;
}

class LoopTableTest : public ::testing::Test {
protected:
    // Takes the work due now and answers every reading with value = parameter number.
    void takeAndAnswer()
    {
        ASSERT_TRUE(t.takeWork(now, 125, 100, work));
        status.assign(work.blocks.size(), kStatusOk);
        readings.assign(work.readingCount, {});
        for (const LoopWork::Block& b : work.blocks) {
            for (std::uint32_t i = 0; i < b.count; ++i)
                readings[b.firstReading + i] = {kStatusOk, b.firstParameter + static_cast<LONG>(i), 0};
        }
    }
    LONG next()
    {
        ULONGLONG owner;
        std::uint32_t node;
        ParameterRecord r;
        return t.next(owner, node, r);
    }

    LoopTable t;
    const LoopClock::time_point now = LoopClock::now();
    LoopWork work;
    std::vector<LONG> status;
    std::vector<ParameterReading> readings;
};

TEST_F(LoopTableTest, NewEntriesAreReadAtOnceInContiguousBlocks)
{
    // Node 0 menu 1: 10, 11, 12, 14 and a second owner of 11; node 0 menu 2: 11; node 1 menu 1: 10.
    const struct { ULONGLONG owner; std::uint32_t node; LONG menu, parameter; } adds[] = {
        {1, 0, 1, 12}, {2, 0, 1, 10}, {3, 0, 1, 11}, {4, 0, 1, 14}, {5, 0, 1, 11}, {6, 0, 2, 11}, {7, 1, 1, 10},
    };
    for (const auto& a : adds)
        ASSERT_EQ(t.add(a.owner, a.node, rec(a.menu, a.parameter), 1000, now), kStatusOk);

    ASSERT_TRUE(t.takeWork(now, 125, 100, work));
    struct Expected { std::uint32_t node; LONG menu, first; std::uint32_t count, items; };
    const Expected expected[] = {{0, 1, 10, 3, 4}, {0, 1, 14, 1, 1}, {0, 2, 11, 1, 1}, {1, 1, 10, 1, 1}};
    ASSERT_EQ(work.blocks.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const LoopWork::Block& b = work.blocks[i];
        EXPECT_EQ(b.node, expected[i].node) << "block " << i;
        EXPECT_EQ(b.menu, expected[i].menu) << "block " << i;
        EXPECT_EQ(b.firstParameter, expected[i].first) << "block " << i;
        EXPECT_EQ(b.count, expected[i].count) << "block " << i;
        EXPECT_EQ(b.endItem - b.firstItem, expected[i].items) << "block " << i;
    }
    EXPECT_EQ(work.readingCount, 6u) << "the two owners of #1.11 share one reading";
    EXPECT_FALSE(t.takeWork(now, 125, 100, work)) << "nothing else is due before the rate";
    EXPECT_TRUE(t.takeWork(now + std::chrono::milliseconds(1000), 125, 100, work));
}

TEST_F(LoopTableTest, RemovedEntriesLoseTheirReadingsAndQueuedUpdates)
{
    t.add(1, 0, rec(1, 1), 100, now);
    t.add(2, 0, rec(1, 2), 100, now);
    takeAndAnswer();
    EXPECT_EQ(t.remove(1, 0, 1, 1), kStatusOk);  // while its reading is under way
    t.apply(work, status, readings);
    EXPECT_EQ(t.queuedCount(), 1u);

    EXPECT_EQ(t.remove(2, 0, 1, 2), kStatusOk);  // while its update waits
    EXPECT_EQ(t.queuedCount(), 0u);
    EXPECT_EQ(next(), kStatusNoMoreUpdates);

    EXPECT_EQ(t.remove(2, 0, 1, 2), kStatusNotInLoop);
    EXPECT_EQ(t.remove(3, 0, 1, 1), kStatusNotInLoop) << "another owner's key";
    // Re-added into the same slot: the old reference must not deliver.
    t.add(2, 0, rec(1, 2), 100, now);
    EXPECT_EQ(next(), kStatusNoMoreUpdates);
    EXPECT_EQ(t.entryCount(), 1u);
}

TEST_F(LoopTableTest, ChangedRateMovesTheEntryAndNeverMeansReadOnce)
{
    t.add(1, 0, rec(1, 1), kLoopRateNeverMs, now);
    ASSERT_TRUE(t.takeWork(now, 125, 100, work)) << "read once when added";
    EXPECT_FALSE(t.nextDue().has_value()) << "then never";
    EXPECT_EQ(t.add(1, 0, rec(1, 1), 50, now), kStatusOk);
    EXPECT_EQ(t.entryCount(), 1u);
    ASSERT_TRUE(t.takeWork(now, 125, 100, work)) << "a new rate reads at once";
    ASSERT_TRUE(t.nextDue().has_value());
    EXPECT_EQ(*t.nextDue(), now + std::chrono::milliseconds(50));
    EXPECT_EQ(t.add(2, 0, rec(1, 2), 0, now), kStatusOk);
    EXPECT_TRUE(t.takeWork(now, 125, 100, work));
    EXPECT_EQ(*t.nextDue(), now + std::chrono::milliseconds(kMinimumLoopRateMs)) << "rate 0 is the fastest rate";
}

// New entries wait for the adds to pause, or for the longest wait, before their first
// reading; each row adds entries at the given times (ms) and names when all of them are
// first due.
TEST_F(LoopTableTest, NewEntriesAreGatheredUntilTheAddsPause)
{
    using std::chrono::milliseconds;
    struct Row {
        const char* what;
        std::vector<int> addsAtMs;
        int dueAtMs;
    };
    std::vector<int> steady;  // every 5 ms up to the longest wait: no pause of the quiet gap
    for (int at = 0; at < 100; at += 5)
        steady.push_back(at);
    const Row rows[] = {
        {"one add waits the quiet gap", {0}, 10},
        {"a later add puts the reading off", {0, 8}, 18},
        {"adds at the same time", {3, 3, 3}, 13},
        {"a steady stream waits no longer than the longest wait", steady, 100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LoopTable table;
        table.setFreshGather(milliseconds(10), milliseconds(100));
        LONG parameter = 0;
        for (int at : row.addsAtMs) {
            ++parameter;
            ASSERT_EQ(table.add(ULONGLONG(parameter), 0, rec(1, parameter), 1000, now + milliseconds(at)), kStatusOk);
        }
        const auto due = now + milliseconds(row.dueAtMs);
        ASSERT_TRUE(table.nextDue().has_value());
        EXPECT_EQ(*table.nextDue(), due);
        EXPECT_FALSE(table.takeWork(due - milliseconds(1), 125, 10000, work)) << "read before the adds paused";
        ASSERT_TRUE(table.takeWork(due, 125, 10000, work));
        EXPECT_EQ(work.items.size(), row.addsAtMs.size()) << "every gathered entry in the one slice";
        EXPECT_EQ(table.freshCount(), 0u);
        EXPECT_EQ(*table.nextDue(), now + milliseconds(row.addsAtMs.front() + 1000)) << "then at the rate";
    }
}

TEST_F(LoopTableTest, GatheredEntriesAreReadInSlicesWhenManyAndAtOnceWhenAllAreMadeDue)
{
    using std::chrono::milliseconds;
    t.setFreshGather(milliseconds(10), milliseconds(100));
    // Five gathered entries, two readings a slice: the rest stays due after each slice.
    for (ULONGLONG owner = 10; owner < 15; ++owner)
        t.add(owner, 0, rec(2, LONG(owner)), 1000, now);
    const auto due = now + milliseconds(10);
    for (std::size_t expected : {2u, 2u, 1u}) {
        ASSERT_TRUE(t.takeWork(due, 125, 2, work));
        EXPECT_EQ(work.items.size(), expected);
    }
    t.add(20, 0, rec(3, 1), 1000, due);
    EXPECT_FALSE(t.takeWork(due, 125, 2, work)) << "a new add after the slices waits its own gap";
    t.makeAllDue(due);
    ASSERT_TRUE(t.takeWork(due, 125, 2, work)) << "a refresh of the whole loop does not wait";
    ASSERT_EQ(work.items.size(), 1u);
    EXPECT_EQ(work.blocks[0].menu, 3) << "the new entry first";

    // A cycle coming due ends the gathering: the new entry is read first, not passed by
    // the cycle with its first reading still to come.
    LoopTable u;
    u.setFreshGather(milliseconds(10), milliseconds(100));
    u.add(1, 0, rec(1, 1), 20, now);
    ASSERT_TRUE(u.takeWork(now + milliseconds(10), 125, 100, work));
    u.add(2, 0, rec(1, 2), 1000, now + milliseconds(15));
    ASSERT_TRUE(u.takeWork(now + milliseconds(20), 125, 100, work));
    EXPECT_EQ(u.freshCount(), 0u);
    EXPECT_EQ(work.blocks.at(0).firstParameter, 2) << "the new entry first";
    ASSERT_TRUE(u.takeWork(now + milliseconds(20), 125, 100, work));
    EXPECT_EQ(work.blocks.at(0).firstParameter, 1) << "then the cycle";

    // A bucket emptied before its cycle came starts afresh when an entry joins it again,
    // rather than cutting the gathering short with its old time.
    u.remove(1, 0, 1, 1);
    u.remove(2, 0, 1, 2);
    u.makeAllDue(now + milliseconds(20));
    const auto later = now + milliseconds(5000);
    u.add(3, 0, rec(1, 3), 20, later);
    EXPECT_EQ(*u.nextDue(), later + milliseconds(10));
    EXPECT_FALSE(u.takeWork(later, 125, 100, work));
}

}  // namespace
