// Device reads and writes through the one direct request queue: write then read back,
// every simulator fault's result and quality, writes refused before the drive, a comms
// server that never answers, going offline with a request in flight, and a burst of
// writes from four threads checked against the simulator's write log.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "../da_engine/DaEngineTestSupport.h"
#include "DriveCommsTestSupport.h"

using namespace drivetest;

namespace {

constexpr HRESULT kBadType = static_cast<HRESULT>(0xC0040004L);
constexpr HRESULT kRange = static_cast<HRESULT>(0xC004000BL);
constexpr HRESULT kBadRights = static_cast<HRESULT>(0xC0040006L);

class DriveDirectIo : public Plant {
protected:
    void SetUp() override
    {
        Plant::SetUp();
        group = addGroup(1000, /*active=*/false);
        speedItem = addItem(group.get(), "Drive1.Speed");
        setpointItem = addItem(group.get(), "Drive1.Setpoint");
        statusItem = addItem(group.get(), "Drive1.Status");
    }
    DaRef<DaGroup> group;
    uint32_t speedItem = 0, setpointItem = 0, statusItem = 0;
};

TEST_F(DriveDirectIo, AWriteReachesTheDriveAndReadsBack)
{
    EXPECT_EQ(write(group.get(), speedItem, TVCmnVariant(12.5).get()), S_OK);
    const std::vector<comms::WriteLogEntry> log = net()->writeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].value, 125);
    EXPECT_EQ(log[0].decimalPlaces, 1);
    EXPECT_EQ(speed->getCache()->getQuality(), kQualityGood);

    HRESULT error = E_FAIL;
    const DaReadResult back = read(group.get(), speedItem, &error);
    EXPECT_EQ(error, S_OK);
    EXPECT_EQ(back.quality, kQualityGood);
    ASSERT_EQ(back.value.vt(), VT_R8);
    EXPECT_DOUBLE_EQ(back.value.get().dblVal, 12.5);
    EXPECT_TRUE(lines.arrives("IO read reply from  node 1, #1.21, value 125, ID: 1"));
    EXPECT_TRUE(lines.arrives("IO write reply from  node 1, #1.21, ID: 1"));
}

TEST_F(DriveDirectIo, EachSimulatorFaultEndsInItsResultAndQuality)
{
    struct Row {
        const char* what;
        unsigned faults;
        HRESULT writeResult;
        uint16_t writeQuality;  // the cache's after a device read
        uint16_t readQuality;
        const char* diagnostic;
    };
    const Row rows[] = {
        {"network down", comms::kFaultNetworkDown, E_FAIL, 0, kQualityCommFailure,
         "Error on read request start, error -17 (PC may be disconnected from network)"},
        {"node silent", comms::kFaultSilent, E_FAIL, 0, kQualityDeviceFailure, "Timeout message recieved"},
        {"writes rejected", comms::kFaultRejectWrites, kBadRights, 0, kQualityGood,
         "IO write failure reply from  node 1, #1.22, status code -2"},
        {"out of range", comms::kFaultOutOfRange, kRange, 0, kQualityGood,
         "IO write failure reply from  node 1, #1.22, status code -5"},
    };
    for (const Row& row : rows) {
        net()->setNetworkFaults(row.faults);
        EXPECT_EQ(write(group.get(), setpointItem, TVCmnVariant(int32_t(42)).get()), row.writeResult) << row.what;
        HRESULT error = E_FAIL;
        const DaReadResult r = read(group.get(), setpointItem, &error);
        EXPECT_EQ(error, S_OK) << row.what;
        EXPECT_EQ(r.quality, row.readQuality) << row.what;
        EXPECT_EQ(setpoint->getCache()->getQuality(), row.readQuality) << row.what;
        EXPECT_TRUE(lines.arrives(row.diagnostic)) << row.what;
        net()->setNetworkFaults(comms::kFaultNone);
        // The queue moves on: the next request is served normally.
        EXPECT_EQ(write(group.get(), setpointItem, TVCmnVariant(int32_t(1)).get()), S_OK) << row.what;
    }
}

TEST_F(DriveDirectIo, WritesTheTagCannotTakeNeverReachTheDrive)
{
    struct Row {
        const char* what;
        uint32_t item;
        TVCmnVariant value;
        HRESULT result;
    };
    const Row rows[] = {
        {"outside the EU range", speedItem, TVCmnVariant(5000.0), kRange},
        {"not a number", setpointItem, TVCmnVariant(L"fast"), kBadType},
        {"read-only tag", statusItem, TVCmnVariant(int32_t(3)), kBadRights},
    };
    for (const Row& row : rows)
        EXPECT_EQ(write(group.get(), row.item, row.value.get()), row.result) << row.what;
    EXPECT_TRUE(net()->writeLog().empty());
}

TEST_F(DriveDirectIo, AReadOfAMissingParameterIsAConfigurationError)
{
    DaRef<DriveTag> missing = addTag("Missing", 5, VT_I4, kDaAccessReadable);
    missing->setNodeAddress("7");
    const uint32_t handle = addItem(group.get(), "Drive1.Missing");
    const DaReadResult r = read(group.get(), handle);
    EXPECT_EQ(r.quality & 0xC0, 0) << "bad";
    EXPECT_TRUE(lines.arrives("Error on read request start, error -26"));
}

using DriveDirectIoDeadline = LatePlant;

TEST_F(DriveDirectIoDeadline, ACommsServerThatNeverAnswersEndsTheRequestAtTheDeadline)
{
    // The drive takes a minute to time out; the link gives up after 100 ms.
    start("[comms]\nreplyTimeoutMs = 60000\n[node 1]\n", -1, /*replyDeadlineMs=*/100);
    DaRef<DaGroup> group = addGroup(1000, false);
    const uint32_t handle = addItem(group.get(), "Drive1.Setpoint");
    net()->setNetworkFaults(comms::kFaultSilent);
    EXPECT_EQ(write(group.get(), handle, TVCmnVariant(int32_t(9)).get()), E_FAIL);
    EXPECT_TRUE(lines.arrives("Timeout message recieved"));
    EXPECT_EQ(link->queuedRequests(), 0u);
}

TEST_F(DriveDirectIoDeadline, GoingOfflineCompletesTheRequestInFlight)
{
    // The drive's own time-out ends the silent request inside the comms server soon
    // after the link has given it up.
    start("[comms]\nreplyTimeoutMs = 1500\n[node 1]\n", -1, /*replyDeadlineMs=*/60000);
    DaRef<DaGroup> group = addGroup(1000, false);
    const uint32_t handle = addItem(group.get(), "Drive1.Setpoint");
    net()->setNetworkFaults(comms::kFaultSilent);
    std::atomic<HRESULT> result{S_OK};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        result = write(group.get(), handle, TVCmnVariant(int32_t(9)).get());
        done = true;
    });
    ASSERT_TRUE(lines.arrives("Direct IO write request started ID: 1"));
    link->toggleOnline();
    ASSERT_TRUE(waitUntil([&] { return done.load(); }));
    writer.join();
    EXPECT_EQ(result.load(), E_FAIL);
    EXPECT_TRUE(lines.arrives("Read or write reply recieved when offline"));

    // Back online, direct IO goes on.
    net()->setNetworkFaults(comms::kFaultNone);
    link->toggleOnline();
    ASSERT_TRUE(waitUntil([&] { return link->isOnline(); }));
    EXPECT_EQ(write(group.get(), handle, TVCmnVariant(int32_t(10)).get()), S_OK);
}

// Without a factory a lost comms server leaves the link offline: the request that met
// the RPC error fails with it, later ones are answered out of service at once.
TEST_F(DriveDirectIoDeadline, ACommsServerLostWithoutAFactoryLeavesTheLinkOffline)
{
    startBehindStandIn();
    DaRef<DaGroup> group = addGroup(1000, false);
    const uint32_t handle = addItem(group.get(), "Drive1.Setpoint");
    EXPECT_EQ(write(group.get(), handle, TVCmnVariant(int32_t(3)).get()), S_OK);

    standIn->gone = StandIn::kUnavailable;
    EXPECT_EQ(write(group.get(), handle, TVCmnVariant(int32_t(4)).get()), E_FAIL);
    EXPECT_TRUE(lines.arrives("Error on write request start, error -2147023174"));
    EXPECT_TRUE(lines.arrives("comms server lost and not recreated; staying offline"));
    EXPECT_FALSE(link->isOnline());
    HRESULT error = E_FAIL;
    read(group.get(), handle, &error);
    EXPECT_EQ(error, S_OK);
    EXPECT_EQ(setpoint->getCache()->getQuality(), kQualityOutOfService);
    EXPECT_EQ(link->queuedRequests(), 0u);
}

// The comms server's process dies during a subscription, with a write the drive is
// slow to answer outstanding and the request queue signalled without pause: the loss
// shows long before the write's deadline (polled tags comm failure, the write failed),
// and a recreated server (after failed attempts with back-off) brings the loop and good
// values back.
class CommsServerLoss : public LatePlant {
protected:
    void TearDown() override
    {
        if (reborn)
            reborn->openUpdates();  // the update event thread must get out to stop
        Plant::TearDown();  // the link goes before its stand-ins
        reborn.reset();
    }

    // The link on a server that can vanish, with the setpoint polled and good.
    void startVanishing(int failedAttempts, uint32_t rateMs = 20, uint32_t replyDeadlineMs = 4000)
    {
        recreate = [this, failedAttempts](ICommsServer** out) -> HRESULT {
            if (!mayRecreate || ++attempts <= failedAttempts)
                return E_FAIL;
            fresh.attach(comms::CommsServer::create());
            if (holdRebornUpdates) {
                reborn = std::make_unique<StandIn>(fresh.get());
                reborn->closeUpdates();
                *out = reborn.get();
                return S_OK;
            }
            return fresh->QueryInterface(IID_ICommsServer, reinterpret_cast<void**>(out));
        };
        startBehindStandIn(replyDeadlineMs);
        subscribed = addGroup(rateMs);
        addItem(subscribed.get(), "Drive1.Setpoint");
        ASSERT_TRUE(waitUntil([&] { return setpoint->getCache()->getQuality() == kQualityGood; }));
    }

    void loseAndRecreate(HRESULT death, int failedAttempts)
    {
        // Read once when added: no loop update asks the comms server while it is gone.
        // A watcher that slow holds the first attempt back for the longest wait.
        recreateLongestWaitMs = 400;
        startVanishing(failedAttempts, 60000, /*replyDeadlineMs=*/60000);
        DaRef<DaCache> cache = setpoint->getCache();

        ASSERT_TRUE(net()->setNodeLatencyMs("1", 30000));
        DaRef<DaGroup> writer = addGroup(1000, false);
        const uint32_t handle = addItem(writer.get(), "Drive1.Speed");
        HRESULT written = S_OK;
        std::thread inFlight([&] { written = write(writer.get(), handle, TVCmnVariant(12.5).get()); });
        EXPECT_TRUE(lines.arrives("Direct IO write request started ID: 1"));
        std::atomic<bool> streaming{true};
        std::thread stream([&] {
            while (streaming)
                link->signalQueue();
        });

        standIn->gone = death;
        const bool noticed = waitUntil([&] { return cache->getQuality() == kQualityCommFailure; });
        streaming = false;
        stream.join();
        ASSERT_TRUE(noticed);
        inFlight.join();
        EXPECT_EQ(written, E_FAIL);
        char lost[96];
        std::snprintf(lost, sizeof lost, "comms server lost (error 0x%08X); polled values show comm failure",
                      unsigned(death));
        EXPECT_TRUE(lines.arrives(lost));
        EXPECT_FALSE(link->isOnline());
        EXPECT_EQ(link->loopTagCount(), 0u);
        EXPECT_EQ(serverState.load(), kServerStateCommFault);

        mayRecreate = true;
        ASSERT_TRUE(waitUntil([&] { return link->recreations() == 1 && link->isOnline(); }));
        // Online shows before the walk that brings the tags back in ends with the state.
        EXPECT_TRUE(waitUntil([&] { return serverState.load() == kServerStateRunning; }));
        EXPECT_TRUE(waitUntil([&] { return cache->getQuality() == kQualityGood; }));
        EXPECT_TRUE(setpoint->isInLoop());
        EXPECT_EQ(fresh->loopEntries(link->loopHandle()), 1u);
        EXPECT_EQ(link->server().get(), static_cast<ICommsServer*>(fresh.get())) << "the About box asks the new one";
        EXPECT_EQ(attempts.load(), failedAttempts + 1);
        EXPECT_TRUE(lines.arrives("comms server recreated"));
    }

    // With holdRebornUpdates, the new server stands behind one too, no loop update let
    // through until the test opens it.
    std::unique_ptr<StandIn> reborn;
    bool holdRebornUpdates = false;
    DaRef<DaGroup> subscribed;
    TVCmnComPtr<comms::CommsServer> fresh;
    std::atomic<int> attempts{0};
    std::atomic<bool> mayRecreate{false};
};

TEST_F(CommsServerLoss, UnavailableAndRecreatedAtTheFirstAttempt) { loseAndRecreate(StandIn::kUnavailable, 0); }
TEST_F(CommsServerLoss, DisconnectedAndRecreatedAfterTwoFailedAttempts)
{
    loseAndRecreate(StandIn::kDisconnected, 2);
}

// The server dies just as the link goes offline with every tag polled: the first failed
// call marks it lost, and no other goes into it until it is replaced, whatever clients
// and the user do meanwhile (under Wine each call through a dead process's proxy leaks
// a handle; the offline walk alone would make one per polled tag).
TEST_F(CommsServerLoss, NoCallGoesIntoALostServer)
{
    startVanishing(0);
    for (const char* id : {"Drive1.Speed", "Drive1.Status", "Drive1.Burst0", "Drive1.Burst1", "Drive1.Burst2"})
        addItem(subscribed.get(), id);
    ASSERT_TRUE(waitUntil([&] { return link->loopTagCount() == 6; }));

    standIn->diesAtRemove = true;
    link->toggleOnline();
    DaRef<DaGroup> later = addGroup(50);
    addItem(later.get(), "Drive1.Burst3");
    EXPECT_TRUE(lines.arrives("comms server lost (error 0x800706BA); polled values show comm failure"));
    link->toggleOnline();  // and online again, before a new server is made

    mayRecreate = true;
    ASSERT_TRUE(waitUntil([&] { return link->isOnline() && link->loopTagCount() == 7; }));
    // One call per thread at most: the client's activation of Burst3 may be in its own
    // call when the walk's first removal finds the server dead.
    EXPECT_LE(standIn->callsWhileGone.load(), 2);
}

// A new comms server is up within half a second of the old one's death, before many a
// client's next update comes round: every tag shows comm failure through the new
// server's going-online walk until its loop reads the tag, whether the loss found it
// polled or still waiting for an earlier walk to put it back (last usable would hide
// the loss from those clients).
struct LossMoment {
    const char* name;
    bool duringWalk;
};
void PrintTo(const LossMoment& moment, std::ostream* out) { *out << moment.name; }

class CommFailureUntilRead : public CommsServerLoss, public ::testing::WithParamInterface<LossMoment> {};

TEST_P(CommFailureUntilRead, ThroughTheNewServersGoingOnlineWalk)
{
    startVanishing(0);
    for (const char* id : {"Drive1.Speed", "Drive1.Status", "Drive1.Burst0", "Drive1.Burst1", "Drive1.Burst2"})
        addItem(subscribed.get(), id);
    const DaRef<DriveTag> tags[] = {setpoint, speed, status, burst[0], burst[1], burst[2]};
    auto allAt = [&](uint16_t quality) {
        return std::all_of(std::begin(tags), std::end(tags),
                           [&](const DaRef<DriveTag>& t) { return t->getCache()->getQuality() == quality; });
    };
    ASSERT_TRUE(waitUntil([&] { return link->loopTagCount() == 6 && allAt(kQualityGood); }));
    holdRebornUpdates = true;
    mayRecreate = true;
    if (GetParam().duringWalk) {
        link->toggleOnline();
        ASSERT_TRUE(lines.arrives("Going offline"));  // its walk done
        standIn->addDelayMs = 50;  // one tag a slice, as across processes under load
        link->toggleOnline();
        ASSERT_TRUE(waitUntil([&] { return lines.count("Going online - Adding node") >= 1; }));
    }
    standIn->gone = StandIn::kUnavailable;
    ASSERT_TRUE(waitUntil([&] {
        return link->recreations() == 1 && serverState.load() == kServerStateRunning && link->loopTagCount() == 6;
    }));
    for (size_t i = 0; i < std::size(tags); ++i)
        EXPECT_EQ(tags[i]->getCache()->getQuality(), kQualityCommFailure) << "tag " << i;
    reborn->openUpdates();
    EXPECT_TRUE(waitUntil([&] { return allAt(kQualityGood); }));
}

INSTANTIATE_TEST_SUITE_P(Losses, CommFailureUntilRead,
                         ::testing::Values(LossMoment{"Polling", false}, LossMoment{"DuringAWalk", true}),
                         [](const ::testing::TestParamInfo<LossMoment>& info) { return std::string(info.param.name); });

// The qualities a group's updates reported, in order.
std::vector<WORD> reported(FakeDataCallback& sink)
{
    std::vector<WORD> qualities;
    for (const Callback& call : sink.calls())
        qualities.insert(qualities.end(), call.qualities.begin(), call.qualities.end());
    return qualities;
}

class LossSeenByEveryGroup : public CommsServerLoss, public ::testing::WithParamInterface<uint32_t> {};

// In-process a new comms server is online within a millisecond or two, quicker than any
// group's next update: every watching group, the slowest too, still reports comm
// failure before the good values come back.
TEST_P(LossSeenByEveryGroup, BeforeTheNewServerIsOnline)
{
    mayRecreate = true;
    startVanishing(0);
    ASSERT_TRUE(daServer->startWorkThread());  // the groups' updates
    DaRef<DaGroup> groups[] = {addGroup(50), addGroup(GetParam())};
    FakeDataCallback sinks[2];
    uint32_t keys[2];
    for (int i = 0; i < 2; ++i) {
        keys[i] = groups[i]->adviseCallback(&sinks[i]);
        addItem(groups[i].get(), "Drive1.Setpoint");
    }
    auto goodReported = [&] {
        return std::all_of(std::begin(sinks), std::end(sinks), [](FakeDataCallback& sink) {
            const std::vector<WORD> q = reported(sink);
            return !q.empty() && q.back() == kQualityGood;
        });
    };
    ASSERT_TRUE(waitUntil(goodReported));

    standIn->gone = StandIn::kUnavailable;
    ASSERT_TRUE(waitUntil([&] { return link->recreations() == 1 && setpoint->getCache()->getQuality() == kQualityGood; }));
    EXPECT_TRUE(waitUntil(goodReported));
    for (int i = 0; i < 2; ++i) {
        const std::vector<WORD> q = reported(sinks[i]);
        EXPECT_NE(std::find(q.begin(), q.end(), kQualityCommFailure), q.end())
            << "the group at " << groups[i]->updateRate() << " ms never reported the loss";
        EXPECT_EQ(S_OK, groups[i]->unadvise(keys[i]));
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, LossSeenByEveryGroup, ::testing::Values(200u, 1000u));

// Online commands made while a new comms server is being made are not let go: the
// recreation ends in the state the last one asked for (odd: offline, even: online),
// and the next command after an offline end brings the link online.
class OnlineCommandsDuringRecreation : public CommsServerLoss, public ::testing::WithParamInterface<int> {};

TEST_P(OnlineCommandsDuringRecreation, EndInTheStateTheLastOneAskedFor)
{
    const int commands = GetParam();
    startVanishing(0);
    DaRef<DaGroup> writer = addGroup(1000, false);
    const uint32_t handle = addItem(writer.get(), "Drive1.Speed");
    standIn->gone = StandIn::kUnavailable;
    EXPECT_EQ(write(writer.get(), handle, TVCmnVariant(2.5).get()), E_FAIL);
    ASSERT_TRUE(lines.arrives("comms server lost (error 0x800706BA); polled values show comm failure"));
    for (int i = 0; i < commands; ++i) {
        // One at a time, so that each is taken while the recreation still fails.
        const char* taken = i % 2 == 0 ? "Offline while the comms server is made anew"
                                       : "Online while the comms server is made anew";
        const int before = lines.count(taken);
        link->toggleOnline();
        ASSERT_TRUE(waitUntil([&] { return lines.count(taken) == before + 1; })) << "command " << i + 1;
    }
    EXPECT_FALSE(link->isOnline());

    mayRecreate = true;
    ASSERT_TRUE(waitUntil([&] { return link->recreations() == 1; }));
    if (commands % 2 == 0) {
        EXPECT_TRUE(waitUntil([&] { return link->isOnline() && serverState.load() == kServerStateRunning; }));
        EXPECT_TRUE(waitUntil([&] { return setpoint->getCache()->getQuality() == kQualityGood; }));
        return;
    }
    EXPECT_FALSE(link->isOnline());
    EXPECT_EQ(serverState.load(), kServerStateSuspended);
    EXPECT_EQ(fresh->loopEntries(link->loopHandle()), 0u);
    link->toggleOnline();
    EXPECT_TRUE(waitUntil([&] { return link->isOnline() && setpoint->getCache()->getQuality() == kQualityGood; }));
}

INSTANTIATE_TEST_SUITE_P(Commands, OnlineCommandsDuringRecreation, ::testing::Values(0, 1, 2, 3));

// Commands faster than the comms event thread takes them count one by one: an even
// number leaves the link where it was, an odd one turns it.
TEST_F(CommsServerLoss, OnlineCommandsInABurstCountOneByOne)
{
    startVanishing(0);
    for (int commands : {4, 3, 2, 1}) {
        const bool wasOnline = link->isOnline();
        for (int i = 0; i < commands; ++i)
            link->toggleOnline();
        const bool wanted = commands % 2 == 0 ? wasOnline : !wasOnline;
        EXPECT_TRUE(waitUntil([&] { return link->isOnline() == wanted; })) << commands << " commands";
        // Settled: nothing more comes of the burst.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(link->isOnline(), wanted) << commands << " commands";
    }
}

TEST_F(DriveDirectIo, ABurstFromFourThreadsCompletesInOrderPerTagExactlyOnce)
{
    constexpr int kThreads = 4;
    constexpr int kWritesEach = 250;
    uint32_t handles[kThreads];
    for (int t = 0; t < kThreads; ++t)
        handles[t] = addItem(group.get(), "Drive1.Burst" + std::to_string(t));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 1; i <= kWritesEach; ++i)
                if (write(group.get(), handles[t], TVCmnVariant(int32_t(i)).get()) != S_OK)
                    ++failures;
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);

    std::map<LONG, std::vector<LONG>> perParameter;
    for (const comms::WriteLogEntry& e : net()->writeLog())
        perParameter[e.parameter].push_back(e.value);
    ASSERT_EQ(perParameter.size(), size_t(kThreads));
    for (int t = 0; t < kThreads; ++t) {
        const std::vector<LONG>& values = perParameter[40 + t];
        ASSERT_EQ(values.size(), size_t(kWritesEach)) << "tag " << t;
        for (int i = 0; i < kWritesEach; ++i)
            ASSERT_EQ(values[i], i + 1) << "tag " << t << " write " << i;
    }
    EXPECT_EQ(link->queuedRequests(), 0u);
}

}  // namespace
