// Transactions as clients see them: subscription cycles and their callbacks, reads,
// writes, refreshes, request time-outs, keep-alives, the early start, and what a failing
// client sink leads to. The work thread's passes run by hand on the test clock.
#include "DaEngineTestSupport.h"

namespace {

class DaTransactionTest : public DaEngineTest {
protected:
    void SetUp() override
    {
        DaEngineTest::SetUp();
        group = addGroup("G", true, 1000);
        key = group->adviseCallback(&sink);
    }
    void TearDown() override
    {
        group = nullptr;
        DaEngineTest::TearDown();
    }
    // The newest callback, which must be the only one since `before` were counted.
    Callback onlyCallSince(size_t before)
    {
        EXPECT_EQ(before + 1, sink.count());
        return sink.count() > before ? sink.calls().back() : Callback{};
    }
    FakeDataCallback sink;
    DaRef<DaGroup> group;
    uint32_t key = 0;
    std::vector<HRESULT> errors;  // per-item answers of the last list call
    uint32_t cancelId = 0;
};

TEST_F(DaTransactionTest, ACycleReportsChangedItemsOnlyAndNothingWhenNothingChanged)
{
    setValue(speed.get(), 100.0);
    setValue(status.get(), int32_t(7));
    addItem(group.get(), "Drive1.Speed", 1);
    addItem(group.get(), "Drive1.Status", 2, VT_BSTR);
    pass();
    ASSERT_EQ(1u, sink.count());
    Callback first = sink.calls()[0];
    EXPECT_EQ(Callback::dataChange, first.kind);
    EXPECT_EQ(0u, first.transactionId);
    EXPECT_EQ(77u, first.group);
    EXPECT_EQ(S_OK, first.masterQuality);
    EXPECT_EQ(S_OK, first.masterError);
    ASSERT_EQ(2u, first.handles.size());
    EXPECT_EQ(1u, first.handles[0]);
    EXPECT_EQ(100.0, first.values[0].get().dblVal);
    EXPECT_EQ(VT_BSTR, first.values[1].vt());  // converted to the requested type
    EXPECT_EQ(0xC0, first.qualities[0]);

    pass();  // not due again yet
    TestClock::advance(1000);
    pass();  // due, nothing changed
    EXPECT_EQ(1u, sink.count());

    setValue(speed.get(), 150.0);
    TestClock::advance(1000);
    pass();
    ASSERT_EQ(2u, sink.count());
    Callback second = sink.calls()[1];
    ASSERT_EQ(1u, second.handles.size());
    EXPECT_EQ(1u, second.handles[0]);
    EXPECT_EQ(150.0, second.values[0].get().dblVal);
    EXPECT_NE(0u, server->lastUpdateTime());
}

TEST_F(DaTransactionTest, DeadbandAndQualityDecideWhatIsReported)
{
    struct Row {
        const char* name;
        float groupDeadband;
        float itemDeadband;  // -1: none
        double next;
        uint16_t nextQuality;
        bool reported;
    } rows[] = {
        {"within the group deadband", 10.0f, -1.0f, 120.0, 0xC0, false},
        {"beyond the group deadband", 10.0f, -1.0f, 120.5, 0xC0, true},
        {"below, moving down", 10.0f, -1.0f, 80.0, 0xC0, false},
        {"item deadband 0 reports any change", 10.0f, 0.0f, 100.001, 0xC0, true},
        {"item deadband replaces the group's", 0.0f, 50.0f, 199.0, 0xC0, false},
        {"no deadband", 0.0f, -1.0f, 100.5, 0xC0, true},
        {"same value, other quality", 10.0f, -1.0f, 100.0, 0x44, true},
        {"same value, same quality", 0.0f, -1.0f, 100.0, 0xC0, false},
    };
    for (const Row& row : rows) {
        DaRef<DaGroup> g = addGroup("", true, 1000);
        FakeDataCallback rowSink;
        g->adviseCallback(&rowSink);
        g->setDeadband(row.groupDeadband);
        setValue(speed.get(), 100.0);
        DaRef<DaItem> item = g->findItem(addItem(g.get(), "Drive1.Speed"));
        if (row.itemDeadband >= 0)
            item->setItemDeadband(row.itemDeadband);
        pass();
        ASSERT_EQ(1u, rowSink.count()) << row.name;
        setValue(speed.get(), row.next, row.nextQuality);
        TestClock::advance(1000);
        pass();
        EXPECT_EQ(row.reported ? 2u : 1u, rowSink.count()) << row.name;
        server->removeGroup(g->serverHandle());
    }
}

TEST_F(DaTransactionTest, EachConnectionHasItsOwnLastSentValue)
{
    setValue(speed.get(), 10.0);
    addItem(group.get(), "Drive1.Speed");
    pass();
    FakeDataCallback late;
    const uint32_t lateKey = group->adviseCallback(&late);
    TestClock::advance(1000);
    pass();
    EXPECT_EQ(1u, sink.count());  // nothing new for the first connection
    ASSERT_EQ(1u, late.count());  // everything for the one that came later
    EXPECT_EQ(10.0, late.calls()[0].values[0].get().dblVal);
    EXPECT_EQ(S_OK, group->unadvise(key));
    EXPECT_EQ(E_INVALIDARG, group->unadvise(key));
    EXPECT_EQ(0, sink.refs.load());
    EXPECT_EQ(S_OK, group->unadvise(lateKey));
}

TEST_F(DaTransactionTest, RefreshSendsEveryActiveItemWithTheClientsTransactionId)
{
    setValue(speed.get(), 10.0);
    addItem(group.get(), "Drive1.Speed", 1);
    addItem(group.get(), "Drive1.Status", 2, VT_EMPTY, false);
    pass();
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(S_OK, group->refresh(false, 4711, DaConnectionType::v2, &cancelId));
        EXPECT_NE(0u, cancelId);
        pass();
        Callback call = sink.calls().back();
        EXPECT_EQ(Callback::dataChange, call.kind);
        EXPECT_EQ(4711u, call.transactionId);
        ASSERT_EQ(1u, call.handles.size());  // the inactive item is not refreshed
        EXPECT_EQ(1u, call.handles[0]);
    }
    EXPECT_EQ(3u, sink.count());
    EXPECT_EQ(1u, server->transactionCount());  // finished transactions are gone
}

// The same list read both ways: per-item answers alike, the sync one from the cache at
// once, the async one in a read complete.
TEST_F(DaTransactionTest, ReadsAnswerPerItemConvertedAndOutOfServiceForInactiveItems)
{
    setValue(speed.get(), 12.5);
    const uint32_t handles[] = {addItem(group.get(), "Drive1.Speed", 1), addItem(group.get(), "Drive1.Speed", 2, VT_BSTR),
                                addItem(group.get(), "Drive1.Speed", 3, VT_EMPTY, false),
                                addItem(group.get(), "Drive1.Command", 4), 0xDEAD};
    const std::vector<HRESULT> expected{S_OK, S_OK, S_OK, OPC_E_BADRIGHTS, OPC_E_INVALIDHANDLE};
    std::vector<DaReadResult> results;
    EXPECT_EQ(S_FALSE, group->syncRead(false, handles, results, errors));
    EXPECT_EQ(expected, errors);
    EXPECT_EQ(12.5, results[0].value.get().dblVal);
    EXPECT_EQ(0xC0, results[0].quality);
    EXPECT_EQ(TestClock::time.load(), daFileTimeToUint(results[0].timestamp));
    EXPECT_EQ(VT_BSTR, results[1].value.vt());
    EXPECT_EQ(0x1C, results[2].quality);
    EXPECT_EQ(1u, server->transactionCount());

    pass();
    const size_t before = sink.count();
    EXPECT_EQ(S_FALSE, group->asyncRead(false, handles, 99, DaConnectionType::v2, &cancelId, errors));
    EXPECT_EQ(expected, errors);
    pass();
    const Callback call = onlyCallSince(before);
    EXPECT_EQ(Callback::readComplete, call.kind);
    EXPECT_EQ(99u, call.transactionId);
    EXPECT_EQ((std::vector<OPCHANDLE>{1, 2, 3}), call.handles);
    EXPECT_EQ((std::vector<WORD>{0xC0, 0xC0, 0x1C}), call.qualities);
    EXPECT_EQ(VT_BSTR, call.values[1].vt());
    EXPECT_EQ(S_FALSE, call.masterQuality);
}

// Writes validate each item first and write through to the cache, sync at once and
// async with a write complete.
TEST_F(DaTransactionTest, WritesValidateFirstAndWriteThroughToTheCache)
{
    setValue(speed.get(), 1.0);
    const uint32_t handles[] = {addItem(group.get(), "Drive1.Speed", 5), addItem(group.get(), "Drive1.Status", 6),
                                addItem(group.get(), "Drive1.Speed", 7), addItem(group.get(), "Drive1.Name", 8)};
    TVCmnVariant values[] = {TVCmnVariant(42.5), TVCmnVariant(int32_t(1)), TVCmnVariant(L"fast"), TVCmnVariant(L"pump")};
    VARIANT raw[] = {values[0].get(), values[1].get(), values[2].get(), values[3].get()};
    EXPECT_EQ(S_FALSE, group->syncWrite(handles, raw, errors));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_BADRIGHTS, OPC_E_BADTYPE, S_OK}), errors);
    TVCmnVariant cached;
    speed->getCache()->getValue(cached.put(), VT_EMPTY, 0x800);
    EXPECT_EQ(42.5, cached.get().dblVal);
    EXPECT_EQ(0xC0, speed->getCache()->getQuality());

    pass();
    const size_t before = sink.count();
    values[0] = TVCmnVariant(3.0);
    values[3] = TVCmnVariant(L"fan");
    const uint32_t writable[] = {handles[0], handles[3]};
    const VARIANT writes[] = {values[0].get(), values[3].get()};
    EXPECT_EQ(S_OK, group->asyncWrite(writable, writes, 31, DaConnectionType::v2, &cancelId, errors));
    pass();
    const Callback call = onlyCallSince(before);
    EXPECT_EQ(Callback::writeComplete, call.kind);
    EXPECT_EQ(31u, call.transactionId);
    EXPECT_EQ((std::vector<OPCHANDLE>{5, 8}), call.handles);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK}), call.errors);
    name->getCache()->getValue(cached.put(), VT_EMPTY, 0x800);
    EXPECT_EQ(std::wstring(L"fan"), std::wstring(cached.get().bstrVal));
}

TEST_F(DaTransactionTest, ADeviceRequestNotCompletedInTimeEndsWithLastKnownQuality)
{
    server->setTimeouts(5000, 5000);
    setValue(device.get(), int32_t(5));
    const uint32_t handle = addItem(group.get(), "Drive1.Device", 8);
    group->setActive(false);
    EXPECT_EQ(S_OK, group->asyncRead(true, one(handle), 12, DaConnectionType::v2, &cancelId, errors));
    EXPECT_EQ(1u, device->queued.size());
    EXPECT_EQ(5000u, pass());  // the work thread sleeps exactly until the time-out
    TestClock::advance(4999);
    EXPECT_EQ(1u, pass());
    EXPECT_EQ(0u, sink.count());
    TestClock::advance(1);
    pass();
    ASSERT_EQ(1u, sink.count());
    Callback call = sink.calls()[0];
    EXPECT_EQ(Callback::readComplete, call.kind);
    EXPECT_EQ(E_FAIL, call.errors[0]);
    EXPECT_EQ(0x00, call.qualities[0]);
    EXPECT_EQ(0x14, device->getCache()->getQuality());
    // The device side finds the request over and may not serve it any more.
    DaRef<DaRequest> late = device->take().at(0);
    EXPECT_FALSE(late->markTaken());
    EXPECT_TRUE(late->complete(S_OK));  // a completed request is left as it was
    EXPECT_EQ(E_FAIL, late->getResult());
}

TEST_F(DaTransactionTest, TheEarlyStartGrowsInTenMillisecondStepsAtOneSecond)
{
    // Cycle k adds 146 to the accumulator; the eighth start reaches 1168.
    EXPECT_EQ(1000u, pass());
    for (int cycle = 2; cycle <= 7; ++cycle) {
        TestClock::advance(1000);
        EXPECT_EQ(1000u, pass()) << cycle;
        EXPECT_EQ(146u * cycle, group->earlyStartAccumulator()) << cycle;
    }
    TestClock::advance(1000);
    EXPECT_EQ(990u, pass());
    EXPECT_EQ(10u, group->earlyStartMs());
    EXPECT_EQ(144u, group->earlyStartAccumulator());
    TestClock::advance(989);
    EXPECT_EQ(1u, pass());  // not yet due
    TestClock::advance(1);
    EXPECT_EQ(1000u, pass());
    EXPECT_EQ(0u, group->earlyStartMs());
    EXPECT_EQ(290u, group->earlyStartAccumulator());
}

TEST_F(DaTransactionTest, KeepAliveFollowsTheLastCallbackAndCarriesNoItems)
{
    setValue(speed.get(), 1.0);
    addItem(group.get(), "Drive1.Speed");
    uint32_t revised = 0;
    group->setKeepAlive(2000, &revised);
    pass();  // t=0: initial value
    auto keepAlives = [&] {
        size_t n = 0;
        for (const Callback& call : sink.calls())
            n += (call.kind == Callback::dataChange && call.handles.empty()) ? 1 : 0;
        return n;
    };
    // One row per second: whether the value changes, and the keep-alives sent so far.
    struct Step {
        bool change;
        size_t keepAlives;
    } steps[] = {{false, 0}, {false, 1}, {true, 1}, {false, 1}, {false, 2}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        if (steps[i].change)
            setValue(speed.get(), 2.0 + double(i));
        TestClock::advance(1000);
        pass();
        EXPECT_EQ(steps[i].keepAlives, keepAlives()) << "second " << i + 1;
    }
    for (const Callback& call : sink.calls())
        if (call.handles.empty()) {
            EXPECT_EQ(0u, call.transactionId);
            EXPECT_EQ(S_OK, call.masterQuality);
        }
}

// The first group's callback answers each row's code. A dead-client code disconnects the
// client, and nothing more goes into any of its sinks: not the V1 stream of the same
// group, not the callback of its other group.
TEST_F(DaTransactionTest, ASinkFailingWithADeadClientCodeDisconnectsTheClientAndSilencesItsSinks)
{
    const struct {
        HRESULT answer;
        bool dead;
    } rows[] = {{HRESULT(0x800706BA), true}, {HRESULT(0x800706BE), true}, {HRESULT(0x800706BF), true},
                {HRESULT(0x80010100), true}, {HRESULT(0x80010108), true}, {HRESULT(0x80010114), true},
                {E_FAIL, false},             {E_OUTOFMEMORY, false}};
    setValue(speed.get(), 1.0);
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << row.answer);
        DaRef<DaServer> client = root->createServer(0, false);
        FakeDataCallback first, second;
        FakeAdviseSink stream;
        first.answer = row.answer;
        DaRef<DaGroup> a = addGroup("", true, 1000, client.get());
        DaRef<DaGroup> b = addGroup("", true, 1000, client.get());
        a->adviseCallback(&first);
        a->adviseStream(&stream, DaConnection::Kind::v1Data, 0xC001);
        b->adviseCallback(&second);
        addItem(a.get(), "Drive1.Speed");
        addItem(b.get(), "Drive1.Speed");
        client->work(DaClock::tick());
        EXPECT_EQ(1u, first.count());
        EXPECT_EQ(row.dead ? 0u : 1u, stream.streams.size());
        EXPECT_EQ(row.dead ? 0u : 1u, second.count());
        EXPECT_EQ(row.dead, client->isClientDead());
        EXPECT_EQ(row.dead, client->isDisconnected());
        EXPECT_EQ(row.dead, first.refs.load() == 0);
        EXPECT_EQ(!row.dead, a->hasConnection(DaConnection::Kind::v2));
        root->removeServer(client.get());
    }
    EXPECT_TRUE(trace.has("disconnect client", true));
    EXPECT_TRUE(trace.has("IOPCDataCallback::OnDataChange [0x800706BA]"));
}

TEST_F(DaTransactionTest, AClientFoundDeadOnAnotherThreadGetsNoCycleAndNoKeepAlive)
{
    setValue(speed.get(), 1.0);
    addItem(group.get(), "Drive1.Speed");
    uint32_t revised = 0;
    group->setKeepAlive(2000, &revised);
    pass();
    ASSERT_EQ(1u, sink.count());
    // A write completion on a device thread found the client gone; its disconnect has
    // not run yet, so the group still holds the sink.
    server->markClientDead();
    for (int second = 1; second <= 4; ++second) {
        if (second == 2)
            setValue(speed.get(), 5.0);
        TestClock::advance(1000);
        pass();
    }
    EXPECT_EQ(1u, sink.count());
    EXPECT_TRUE(group->hasConnection(DaConnection::Kind::v2));
}

TEST_F(DaTransactionTest, AClientThatThrowsIsCaughtAndTraced)
{
    setValue(speed.get(), 1.0);
    addItem(group.get(), "Drive1.Speed");
    sink.throwInCall = true;
    EXPECT_NO_THROW(pass());
    EXPECT_TRUE(trace.has("exception in OnDataChange"));
    EXPECT_FALSE(server->isDisconnected());
}

TEST_F(DaTransactionTest, CancellingAnAsyncReadAnswersCancelCompleteInsteadOfTheResults)
{
    const uint32_t handle = addItem(group.get(), "Drive1.Device", 8);
    pass();
    const size_t before = sink.count();
    group->asyncRead(true, one(handle), 55, DaConnectionType::v2, &cancelId, errors);
    EXPECT_EQ(E_FAIL, group->cancel(cancelId + 1000));
    EXPECT_EQ(S_OK, group->cancel(cancelId));
    pass();
    const Callback call = onlyCallSince(before);
    EXPECT_EQ(Callback::cancelComplete, call.kind);
    EXPECT_EQ(55u, call.transactionId);
    EXPECT_EQ(77u, call.group);
    EXPECT_EQ(E_FAIL, group->cancel(cancelId));  // over
    EXPECT_FALSE(device->take().at(0)->markTaken());
}

TEST_F(DaTransactionTest, ADeviceAnswerAfterTheGroupWentIsLeftAlone)
{
    const uint32_t handle = addItem(group.get(), "Drive1.Device", 8);
    group->asyncRead(true, one(handle), 3, DaConnectionType::v2, &cancelId, errors);
    pass();
    const size_t before = sink.count();
    const uint32_t groupHandle = group->serverHandle();
    group = nullptr;
    server->removeGroup(groupHandle);
    std::vector<DaRef<DaRequest>> late = device->take();
    ASSERT_EQ(1u, late.size());
    EXPECT_EQ(OPC_E_INVALIDHANDLE, late[0]->getResult());  // ended with its item
    EXPECT_FALSE(late[0]->markTaken());
    EXPECT_TRUE(late[0]->complete(S_OK));
    pass();
    EXPECT_EQ(before, sink.count());
    EXPECT_EQ(0u, server->transactionCount());
}

TEST_F(DaTransactionTest, CacheFirstItemsSendTheirValueAtOnceWhenTheyBecomeActive)
{
    uint32_t revised = 0;
    group->setUpdateRate(60000, &revised);
    pass();  // the group's first cycle, with nothing in it
    speed->setCacheFirst(true);
    setValue(speed.get(), 5.0);
    setValue(status.get(), int32_t(6));  // not cache-first: waits for the next cycle
    const DaItemDef defs[] = {{"Drive1.Speed", "", VT_EMPTY, true, 1}, {"Drive1.Status", "", VT_EMPTY, true, 2},
                              {"Drive1.Speed", "", VT_EMPTY, false, 3}};
    std::vector<DaItemResult> results;
    group->addItems(defs, results, errors);
    pass();
    ASSERT_EQ(1u, sink.count());
    Callback call = sink.calls()[0];
    EXPECT_EQ(Callback::dataChange, call.kind);
    EXPECT_EQ((std::vector<OPCHANDLE>{1}), call.handles);
    const uint32_t third = results[2].serverHandle;
    group->setItemsActive(one(third), true, errors);
    pass();
    ASSERT_EQ(2u, sink.count());
    EXPECT_EQ((std::vector<OPCHANDLE>{3}), sink.calls()[1].handles);
    TestClock::advance(60000);
    pass();  // the cycle reports only what the refreshes have not sent
    ASSERT_EQ(3u, sink.count());
    EXPECT_EQ((std::vector<OPCHANDLE>{2}), sink.calls()[2].handles);
}

}  // namespace
