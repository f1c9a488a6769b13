// The drive parameter tag as the namespace loader and the comms side find it: its
// initial state, the record the comms server reads by address, and the set of active
// items that decides polling-loop membership.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "drivecomms/DriveTag.h"

namespace {
class FakeItem : public DaObject {
public:
    FakeItem() : DaObject(kDaCodeItem) {}
};
}  // namespace

TEST(DriveTag, StartsCacheFirstWithHandlingOneOutOfTheLoopAndAZeroRecord)
{
    DaRef<DriveTag> tag(new DriveTag);
    EXPECT_EQ(tag->getCacheFirst(), kDaCacheFirstSet);
    EXPECT_EQ(tag->getDefaultHandling(), 1u);
    EXPECT_EQ(tag->getLoopRateMs(), 0xFFFFFFFFu);
    EXPECT_FALSE(tag->isInLoop());
    EXPECT_EQ(tag->activeItemCount(), 0u);
    EXPECT_TRUE(tag->tracksItems());
    EXPECT_EQ(tag->typeCode(), kDaCodeTag);
    const ParameterRecord record = tag->getRecord();
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (size_t i = 0; i < sizeof record; ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    EXPECT_EQ(tag->getDescription(), "");
    EXPECT_EQ(tag->getParameterLabel(), "");
    EXPECT_EQ(tag->getNodeAddress(), "");
}

TEST(DriveTag, AddressingFieldsLandInTheirRecordWords)
{
    static_assert(sizeof(ParameterRecord) == 40, "ten 32-bit words");
    DaRef<DriveTag> tag(new DriveTag);
    tag->setObjectType(7);
    tag->setMenuNumber(18);
    tag->setParameterNumber(300);
    tag->setNodeAddress("192.168.1.21");
    tag->setDescription("Motor rated current");
    tag->setParameterLabel("addr_300");
    const ParameterRecord record = tag->getRecord();
    LONG words[10];
    std::memcpy(words, &record, sizeof words);
    EXPECT_EQ(words[0], 7);
    EXPECT_EQ(words[1], 18);
    EXPECT_EQ(words[2], 300);
    for (int word : {3, 4, 5, 6, 7, 8, 9})
        EXPECT_EQ(words[word], 0) << "word " << word;
    EXPECT_EQ(tag->getObjectType(), 7);
    EXPECT_EQ(tag->getMenuNumber(), 18);
    EXPECT_EQ(tag->getParameterNumber(), 300);
    EXPECT_EQ(tag->getNodeAddress(), "192.168.1.21");
    EXPECT_EQ(tag->getDescription(), "Motor rated current");
    EXPECT_EQ(tag->getParameterLabel(), "addr_300");
}

TEST(DriveTag, ActiveItemsAreCountedOncePerItem)
{
    DaRef<DriveTag> tag(new DriveTag);
    DaRef<FakeItem> first(new FakeItem), second(new FakeItem);
    EXPECT_EQ(tag->addActiveItem(first.get()), 1u);
    EXPECT_EQ(tag->addActiveItem(first.get()), 1u);
    EXPECT_EQ(tag->addActiveItem(second.get()), 2u);
    EXPECT_EQ(tag->removeActiveItem(first.get()), 1u);
    EXPECT_EQ(tag->removeActiveItem(first.get()), 1u);
    EXPECT_EQ(tag->removeActiveItem(second.get()), 0u);

    tag->setLoopRateMs(250);
    tag->setInLoop(true);
    EXPECT_EQ(tag->getLoopRateMs(), 250u);
    EXPECT_TRUE(tag->isInLoop());
}

TEST(DriveTag, ListingAnActiveItemTellsTheCountBeforeAndWhetherItWasListed)
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
