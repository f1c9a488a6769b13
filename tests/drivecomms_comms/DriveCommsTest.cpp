// The polling loop as clients see it: values reaching tag caches, loop membership
// following item activation and group rates, and the qualities of going offline and
// online, with our comms server in-process on its simulated network.
#include "DriveCommsTestSupport.h"

using namespace drivetest;

namespace {

class DriveLoop : public Plant {};

TEST_F(DriveLoop, ADriveValueChangeReachesTheCacheGoodAndTimeStamped)
{
    DaRef<DaGroup> group = addGroup(20);
    addItem(group.get(), "Drive1.Speed");
    ASSERT_TRUE(speed->isInLoop());

    const uint64_t before = DaClock::now();
    ASSERT_TRUE(net()->setDriveValue("1", 1, 21, 123.4));
    DaRef<DaCache> cache = speed->getCache();
    ASSERT_TRUE(waitUntil([&] {
        TVCmnVariant v;
        cache->getValue(v.put(), VT_R8, 0x409);
        return v.vt() == VT_R8 && v.get().dblVal > 123.35 && v.get().dblVal < 123.45;
    }));
    const uint64_t after = DaClock::now();
    EXPECT_EQ(cache->getQuality(), kQualityGood);
    const uint64_t stamp = cache->getTimestamp64();
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_TRUE(lines.arrives("Node 1, #1.21 reporting data: 1234"));
}

TEST_F(DriveLoop, MembershipFollowsActivationAcrossTwoGroupsAtTheFastestRate)
{
    DaRef<DaGroup> slow = addGroup(1000);
    DaRef<DaGroup> fast = addGroup(200);
    const uint32_t inSlow = addItem(slow.get(), "Drive1.Setpoint");
    EXPECT_TRUE(setpoint->isInLoop());
    EXPECT_EQ(setpoint->getLoopRateMs(), 1000u);
    EXPECT_EQ(loopEntries(), 1u);
    EXPECT_TRUE(lines.arrives("Activating tag comms, adding node 1, #1.22 to loop at rate 1000"));

    // A second distinct item only joins the set.
    const uint32_t inFast = addItem(fast.get(), "Drive1.Setpoint");
    EXPECT_EQ(setpoint->activeItemCount(), 2u);
    EXPECT_EQ(setpoint->getLoopRateMs(), 1000u);

    // A group going faster moves the parameter; going slower leaves it at the faster rate.
    uint32_t revised = 0;
    EXPECT_EQ(fast->setUpdateRate(100, &revised), S_OK);
    EXPECT_EQ(setpoint->getLoopRateMs(), 100u);
    EXPECT_TRUE(lines.arrives("Changing node 1, #1.22 update rate from 1000ms to 100ms"));
    EXPECT_EQ(fast->setUpdateRate(5000, &revised), S_OK);
    EXPECT_EQ(setpoint->getLoopRateMs(), 100u);
    EXPECT_TRUE(lines.arrives("Update rate unchanged for node 1, #1.22"));
    EXPECT_EQ(loopEntries(), 1u);

    std::vector<HRESULT> errors;
    const uint32_t slowHandles[] = {inSlow};
    slow->setItemsActive(slowHandles, false, errors);
    EXPECT_TRUE(setpoint->isInLoop());
    const uint32_t fastHandles[] = {inFast};
    fast->setItemsActive(fastHandles, false, errors);
    EXPECT_FALSE(setpoint->isInLoop());
    EXPECT_EQ(loopEntries(), 0u);
    EXPECT_TRUE(lines.arrives("Deactivating tag comms, removing node 1, #1.22 from loop"));

    // Back in at the rate the remaining groups give now.
    slow->setItemsActive(slowHandles, true, errors);
    EXPECT_EQ(setpoint->getLoopRateMs(), 1000u);
    EXPECT_EQ(loopEntries(), 1u);
}

TEST_F(DriveLoop, GoingOfflineAndOnlineShowsOutOfServiceThenLastUsable)
{
    DaRef<DaGroup> group = addGroup(20);
    addItem(group.get(), "Drive1.Setpoint");
    DaRef<DaCache> cache = setpoint->getCache();
    ASSERT_TRUE(waitUntil([&] { return cache->getQuality() == kQualityGood; }));

    link->toggleOnline();
    // The online flag drops first; the qualities and the loop follow on the comms thread.
    ASSERT_TRUE(waitUntil([&] {
        return !link->isOnline() && cache->getQuality() == kQualityOutOfService && !setpoint->isInLoop();
    }));
    EXPECT_EQ(setpoint->activeItemCount(), 1u);
    EXPECT_EQ(serverState.load(), kServerStateSuspended);
    EXPECT_TRUE(lines.arrives("Going offline"));
    EXPECT_TRUE(lines.arrives("Going offline; removing node 1, #1.22 from loop"));
    // A tag that never held a value is passed over.
    EXPECT_EQ(lines.count("#1.21 from loop"), 0);

    // Offline, a device read is answered out of service without reaching the drive.
    const uint64_t requests = net()->requestCount();
    DaRef<DaGroup> reader = addGroup(1000, false);
    const uint32_t handle = addItem(reader.get(), "Drive1.Setpoint");
    HRESULT error = E_FAIL;
    read(reader.get(), handle, &error);
    EXPECT_EQ(error, S_OK);
    EXPECT_EQ(cache->getQuality(), kQualityOutOfService);
    EXPECT_TRUE(lines.arrives("Read request with server offline"));
    EXPECT_EQ(net()->requestCount(), requests);

    link->toggleOnline();
    ASSERT_TRUE(waitUntil([&] {
        return link->isOnline() && setpoint->isInLoop() && serverState.load() == kServerStateRunning;
    }));
    EXPECT_TRUE(lines.arrives("Going online - Adding node 1, #1.22 to loop at rate 20"));
    // Last usable until the first update comes, then good again.
    ASSERT_TRUE(waitUntil([&] { return cache->getQuality() == kQualityGood; }));
    // The line is posted after the value is stored: the test may look in between.
    EXPECT_TRUE(waitUntil([&] { return lines.count("reporting data: 7") >= 2; }));
}

// Tags wanted in the loop that never got a value must be polled again after going
// online: one activated while offline, one whose only loop answers were errors.
TEST_F(DriveLoop, ATagWithoutValueThatActiveItemsWantIsPolledAfterGoingOnline)
{
    struct Case {
        const char* what;
        bool activateOffline;
        unsigned faultBeforeOffline;
    };
    const Case cases[] = {
        {"activated while offline", true, comms::kFaultNone},
        {"only error updates before going offline", false, comms::kFaultReplyTimeout},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DaRef<DriveTag> tag = addTag(std::string("Fresh") + (c.activateOffline ? "A" : "B"), 50 + c.activateOffline,
                                     VT_I4, kDaAccessReadable);
        DaRef<DaCache> cache = tag->getCache();
        const std::string id = "Drive1." + tag->getName();
        DaRef<DaGroup> group;
        if (!c.activateOffline) {
            ASSERT_TRUE(net()->setParameterFaults("1", 1, tag->getParameterNumber(), c.faultBeforeOffline));
            group = addGroup(20);
            addItem(group.get(), id);
            const std::string failing = "Node 1, #1." + std::to_string(tag->getParameterNumber()) + " reporting error";
            ASSERT_TRUE(waitUntil([&] { return lines.count(failing) > 0; }));
            EXPECT_TRUE(tag->isInLoop());
            EXPECT_FALSE(cache->holdsValue());
            ASSERT_TRUE(net()->setParameterFaults("1", 1, tag->getParameterNumber(), comms::kFaultNone));
        }
        link->toggleOnline();
        // The online flag drops before the comms thread takes the tags out of the loop.
        ASSERT_TRUE(waitUntil([&] { return !link->isOnline(); }));
        EXPECT_TRUE(waitUntil([&] { return !tag->isInLoop(); }));
        if (c.activateOffline) {
            group = addGroup(20);
            addItem(group.get(), id);
            EXPECT_EQ(tag->activeItemCount(), 1u);
            EXPECT_FALSE(tag->isInLoop());
        }
        link->toggleOnline();
        ASSERT_TRUE(waitUntil([&] { return link->isOnline() && tag->isInLoop(); }));
        EXPECT_TRUE(waitUntil([&] { return cache->getQuality() == kQualityGood && cache->holdsValue(); }));
        daServer->removeGroup(group->serverHandle(), true);
        EXPECT_TRUE(waitUntil([&] { return !tag->isInLoop(); }));
    }
}

TEST_F(DriveLoop, AParameterTheLoopRefusesStaysOutAndIsNotRetriedByTheNextItem)
{
    DaRef<DriveTag> stray = addTag("Stray", 5, VT_I4, kDaAccessReadable);
    stray->setNodeAddress("9");  // not in the settings
    DaRef<DaGroup> group = addGroup(20);
    addItem(group.get(), "Drive1.Stray");
    EXPECT_FALSE(stray->isInLoop());
    EXPECT_EQ(lines.count("#1.5 to loop"), 0);
    DaRef<DaGroup> other = addGroup(20);
    addItem(other.get(), "Drive1.Stray");
    EXPECT_EQ(stray->activeItemCount(), 2u);
    EXPECT_FALSE(stray->isInLoop());
    EXPECT_EQ(loopEntries(), 0u);
}

// A loop update read before a device write or read reaches the link after the direct
// request's value is in the cache: the cache keeps the newer value and its time, and
// the next loop reading goes on from there.
class DriveLoopOrder : public Plant {
protected:
    void SetUp() override { startBehindStandIn(); }
    static double cached(DriveTag& tag)
    {
        TVCmnVariant v;
        tag.getCache()->getValue(v.put(), VT_R8, 0x409);
        return v.vt() == VT_R8 ? v.get().dblVal : -1.0;
    }
};

TEST_F(DriveLoopOrder, AnUpdateReadBeforeADirectRequestDoesNotReplaceItsValue)
{
    struct Row {
        const char* what;
        DaRef<DriveTag> tag;
        double before, after;
        bool write;  // else the drive's keypad changes the value and a device read fetches it
    };
    const Row rows[] = {
        {"a write", setpoint, 7, 42, true},
        {"a device read", speed, 150, 321.5, false},
    };
    DaRef<DaGroup> direct = addGroup(1000, false);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DaRef<DaGroup> polled = addGroup(60000);  // one reading when added, then none unasked
        DriveTag& tag = *row.tag;
        const std::string id = "Drive1." + tag.getName();
        const uint32_t records = link->counters().records;
        standIn->closeUpdates();
        addItem(polled.get(), id);
        // The reading is queued in the comms server; its drain waits at the gate.
        ASSERT_TRUE(waitUntil([&] { return standIn->drainWaiting() && server->queuedUpdates(link->loopHandle()) == 1; }));

        const uint32_t handle = addItem(direct.get(), id);
        if (row.write) {
            ASSERT_EQ(write(direct.get(), handle, TVCmnVariant(row.after).get()), S_OK);
        } else {
            ASSERT_TRUE(net()->setDriveValue("1", 1, tag.getParameterNumber(), row.after));
            HRESULT error = E_FAIL;
            EXPECT_DOUBLE_EQ(read(direct.get(), handle, &error).value.get().dblVal, row.after);
            EXPECT_EQ(error, S_OK);
        }
        DaRef<DaCache> cache = tag.getCache();
        ASSERT_DOUBLE_EQ(cached(tag), row.after);
        const uint64_t directStamp = cache->getTimestamp64();

        standIn->openUpdates();
        ASSERT_TRUE(waitUntil([&] { return link->counters().records == records + 1; }));
        EXPECT_TRUE(lines.arrives("Update Event retrieved 1 items, 0 items notified")) << "nothing to tell";
        EXPECT_DOUBLE_EQ(cached(tag), row.after) << "the older " << row.before << " came back";
        EXPECT_EQ(cache->getQuality(), kQualityGood);
        EXPECT_EQ(cache->getTimestamp64(), directStamp);

        // Readings taken after the direct request are stored (one in its millisecond is
        // not known to be newer, hence more than one).
        ASSERT_TRUE(waitUntil([&] {
            server->pollLoopNow();
            return cache->getTimestamp64() > directStamp;
        }));
        EXPECT_DOUBLE_EQ(cached(tag), row.after);
        daServer->removeGroup(polled->serverHandle(), true);
        ASSERT_TRUE(waitUntil([&] { return !tag.isInLoop(); }));
    }
}

// Going online puts every tag back into the loop, one AddToLoop each, which across
// processes takes about a millisecond: a client's device read must not wait for the
// whole walk.
TEST_F(DriveLoopOrder, ADeviceReadIsServedWhileGoingOnlinePutsTheTagsBack)
{
    constexpr int kPolled = 150;
    DaRef<DaGroup> polled = addGroup(1000);
    for (int i = 0; i < kPolled; ++i) {
        addTag("Polled" + std::to_string(i), 100 + i, VT_I4, kDaAccessReadable);
        addItem(polled.get(), "Drive1.Polled" + std::to_string(i));
    }
    DaRef<DaGroup> reader = addGroup(1000, false);
    const uint32_t handle = addItem(reader.get(), "Drive1.Speed");
    ASSERT_TRUE(waitUntil([&] { return link->loopTagCount() == size_t(kPolled); }));
    link->toggleOnline();
    ASSERT_TRUE(waitUntil([&] { return !link->isOnline() && link->loopTagCount() == 0; }));

    standIn->addDelayMs = 8;  // the walk back takes over a second
    link->toggleOnline();
    ASSERT_TRUE(waitUntil([&] { return link->isOnline(); }));
    HRESULT error = E_FAIL;
    const DaReadResult result = read(reader.get(), handle, &error);
    const size_t back = link->loopTagCount();
    EXPECT_EQ(error, S_OK);
    EXPECT_EQ(result.quality, kQualityGood);
    EXPECT_LT(back, size_t(kPolled)) << "the read waited for the whole walk";
    EXPECT_NE(serverState.load(), kServerStateRunning) << "running before the walk ended";

    standIn->addDelayMs = 0;
    ASSERT_TRUE(waitUntil([&] {
        return link->loopTagCount() == size_t(kPolled) && serverState.load() == kServerStateRunning;
    }));
    EXPECT_EQ(lines.count("Going online - Adding node 1, #1."), kPolled);
    EXPECT_EQ(lines.count("Going online"), kPolled + 2) << "once at the start, once after the walk";
}

using DriveLoopProtocol = LatePlant;

TEST_F(DriveLoopProtocol, ANamespaceOfAnotherProtocolStaysOffline)
{
    start(kPlant, /*namespaceProtocol=*/1);
    ASSERT_TRUE(lines.arrives("Namespace protocol differs from settings, can't go online"));
    EXPECT_FALSE(link->isOnline());
    EXPECT_EQ(lines.count("Going online"), 0);

    // Offline, writes are refused out of service.
    DaRef<DaGroup> group = addGroup(1000);
    const uint32_t handle = addItem(group.get(), "Drive1.Setpoint");
    EXPECT_EQ(write(group.get(), handle, TVCmnVariant(int32_t(5)).get()), E_FAIL);
    EXPECT_TRUE(lines.arrives("Write request with server offline"));
}

}  // namespace
