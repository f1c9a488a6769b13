// The drive parameter tag as the namespace loader and the comms side find it: its
// initial state, the record the comms server reads by address, and the set of active
// items that decides polling-loop membership.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "drivecomms/DriveTag.h"

namespace {
class FakeItem : public DaObject {
public:
    FakeItem() : DaObject(kDaCodeItem) {}
};
}  // namespace

// A new tag is read from its cache first, outside the loop, with a zero record; the
// addressing fields then land in the first three record words and nowhere else.
TEST(DriveTag, StartsCacheFirstOutOfTheLoopAndItsAddressFillsTheRecordWords)
{
    static_assert(sizeof(ParameterRecord) == 40, "ten 32-bit words");
    DaRef<DriveTag> tag(new DriveTag);
    EXPECT_EQ(tag->getCacheFirst(), kDaCacheFirstSet);
    EXPECT_EQ(tag->getDefaultHandling(), 1u);
    EXPECT_EQ(tag->getLoopRateMs(), 0xFFFFFFFFu);
    EXPECT_FALSE(tag->isInLoop());
    EXPECT_TRUE(tag->tracksItems());
    LONG words[10];
    ParameterRecord record = tag->getRecord();
    std::memcpy(words, &record, sizeof words);
    for (LONG word : words)
        EXPECT_EQ(word, 0);

    tag->setObjectType(7);
    tag->setMenuNumber(18);
    tag->setParameterNumber(300);
    tag->setNodeAddress("192.168.1.21");
    tag->setDescription("Motor rated current");
    record = tag->getRecord();
    std::memcpy(words, &record, sizeof words);
    EXPECT_EQ(std::vector<LONG>(words, words + 10), (std::vector<LONG>{7, 18, 300, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(tag->getNodeAddress(), "192.168.1.21");
}

// Listing tells the count before and whether the item was there already; removal
// answers the count after. Each item counts once.
TEST(DriveTag, ActiveItemsAreCountedOncePerItem)
{
    DaRef<DriveTag> tag(new DriveTag);
    DaRef<FakeItem> first(new FakeItem), second(new FakeItem);
    const struct {
        DaObject* item;
        size_t before;
        bool listed;
        size_t after;
    } rows[] = {
        {first.get(), 0, false, 1},
        {first.get(), 1, true, 1},
        {second.get(), 1, false, 2},
        {nullptr, 2, false, 2},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const DriveTag::ActiveItemChange change = tag->listActiveItem(rows[i].item);
        EXPECT_EQ(change.before, rows[i].before) << "row " << i;
        EXPECT_EQ(change.listed, rows[i].listed) << "row " << i;
        EXPECT_EQ(tag->activeItemCount(), rows[i].after) << "row " << i;
    }
    EXPECT_EQ(tag->removeActiveItem(first.get()), 1u);
    EXPECT_EQ(tag->removeActiveItem(first.get()), 1u);
    EXPECT_EQ(tag->removeActiveItem(second.get()), 0u);
    EXPECT_EQ(tag->addActiveItem(first.get()), 1u);
    EXPECT_EQ(tag->addActiveItem(first.get()), 1u);
    // An item that goes while still listed (a deactivation lost between two client
    // threads) leaves the list with it.
    tag->onItemDisconnected(first.get());
    EXPECT_EQ(tag->activeItemCount(), 0u);
    tag->onItemDisconnected(first.get());
    EXPECT_EQ(tag->activeItemCount(), 0u);
}

TEST(DriveTag, LoopWorkIsClaimedByOneCallerAndSeenInOneView)
{
    DaRef<DriveTag> tag(new DriveTag);
    tag->setNodeAddress("192.168.1.21");
    tag->setMenuNumber(18);
    tag->setParameterNumber(300);
    tag->setInLoop(true);

    ASSERT_TRUE(tag->wantLoopAndClaim(true));
    EXPECT_FALSE(tag->wantLoopAndClaim(false)) << "claimed already: a note is left";
    EXPECT_FALSE(tag->isLoopWanted()) << "the wish changes even when the claim is refused";
    const DriveTag::LoopView view = tag->loopView();
    EXPECT_FALSE(view.wanted);
    EXPECT_TRUE(view.inLoop);
    EXPECT_EQ(view.record.menu, 18);
    EXPECT_EQ(view.record.parameter, 300);
    ASSERT_TRUE(view.address);
    EXPECT_EQ(view.address->narrow, "192.168.1.21");
    EXPECT_EQ(view.address->wide, L"192.168.1.21");
    EXPECT_TRUE(tag->releaseLoopWork()) << "the note keeps the claim for one more look";
    EXPECT_FALSE(tag->releaseLoopWork());
    EXPECT_TRUE(tag->claimLoopWork()) << "released";

    // A new address is a new text; a view taken before keeps the one it saw.
    tag->setNodeAddress("7");
    EXPECT_EQ(view.address->wide, L"192.168.1.21");
    EXPECT_EQ(tag->nodeAddressText()->wide, L"7");
    EXPECT_EQ(tag->getNodeAddress(), "7");
}
