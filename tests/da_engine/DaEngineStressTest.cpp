// Four clients add and remove groups and items, read, write, refresh and toggle
// activation while a producer updates 10,000 tags and each server's work thread runs
// the subscriptions. Run under TSan for races and under ASan for leaks; here it checks
// that every call keeps answering as it should and that callbacks keep flowing.
#include <random>

#include "DaEngineTestSupport.h"

namespace {

#ifdef _WIN32
constexpr int kRounds = 15;  // Wine is slow to switch threads; volume is tested natively
#else
constexpr int kRounds = 60;
#endif
constexpr int kTags = 10000;
constexpr int kClients = 4;

TEST(DaEngineStress, ClientsAndAProducerRunTogetherWithoutHarm)
{
    DaRef<DaNamespaceRoot> space(new DaNamespaceRoot);
    DaRef<DaNode> drives(new DaNode);
    drives->setName("Drives");
    space->addChild(drives.get());
    std::vector<DaRef<DaTag>> tags;
    for (int i = 0; i < kTags; ++i)
        tags.push_back(addTag<DaTag>(drives.get(), "P" + std::to_string(i), i % 2 ? VT_R8 : VT_I4,
                                     kDaAccessReadable | kDaAccessWritable, new DaTag(true)));
    DaRef<DaCreator> creator(new DaCreator);
    DaRef<DaObjectRoot> root(new DaObjectRoot(creator.get()));
    root->setNamespaceRoot(0, space.get());
    root->setMinimumUpdateRateMs(10);

    std::vector<std::unique_ptr<FakeDataCallback>> sinks;
    for (int i = 0; i < kClients; ++i) {
        sinks.push_back(std::make_unique<FakeDataCallback>());
        sinks.back()->keepCalls = false;
    }

    std::atomic<bool> stop{false};
    std::thread producer([&] {
        uint32_t round = 0;
        while (!stop.load()) {
            for (int i = 0; i < kTags && !stop.load(); ++i) {
                TVCmnVariant value(int32_t(round + i));
                daUpdateTagValue(*tags[i], &value.get(), 0xC0, nullptr);
            }
            ++round;
        }
    });

    std::atomic<int> unexpected{0};
    auto expectOk = [&](HRESULT hr) {
        if (hr != S_OK && hr != S_FALSE && hr != OPC_S_UNSUPPORTEDRATE && hr != OPC_S_INUSE)
            ++unexpected;
    };
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            std::mt19937 random(c);
            DaRef<DaServer> server = root->createServer(0);
            server->setTimeouts(5000, 5000);
            for (int round = 0; round < kRounds; ++round) {
                DaGroupParams params;
                params.active = true;
                params.requestedUpdateRateMs = 10 + random() % 40;
                DaRef<DaGroup> group;
                expectOk(server->addGroup(params, group, nullptr));
                if (!group) {
                    ++unexpected;
                    continue;
                }
                group->adviseCallback(sinks[c].get());
                std::vector<DaItemDef> defs;
                for (int i = 0; i < 50; ++i)
                    defs.push_back({"Drives.P" + std::to_string(random() % kTags), "", VT_EMPTY, true, uint32_t(i)});
                std::vector<DaItemResult> results;
                std::vector<HRESULT> errors;
                expectOk(group->addItems(defs, results, errors));
                std::vector<uint32_t> handles;
                for (const DaItemResult& result : results)
                    handles.push_back(result.serverHandle);
                std::vector<DaReadResult> reads;
                expectOk(group->syncRead(false, handles, reads, errors));
                TVCmnVariant value{int32_t(round)};
                std::vector<VARIANT> values(4, value.get());
                expectOk(group->syncWrite(std::span<const uint32_t>(handles.data(), 4), values, errors));
                uint32_t cancelId = 0;
                expectOk(group->asyncRead(false, handles, round, DaConnectionType::v2, &cancelId, errors));
                expectOk(group->asyncWrite(std::span<const uint32_t>(handles.data(), 4), values, round,
                                           DaConnectionType::v2, &cancelId, errors));
                expectOk(group->refresh(false, round, DaConnectionType::v2, &cancelId));
                expectOk(group->setItemsActive(std::span<const uint32_t>(handles.data(), 10), false, errors));
                group->setActive(round % 3 != 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let some cycles run
                expectOk(group->removeItems(std::span<const uint32_t>(handles.data(), 25), errors));
                expectOk(server->removeGroup(group->serverHandle()));
            }
            root->removeServer(server.get());
        });
    for (std::thread& client : clients)
        client.join();
    stop = true;
    producer.join();
    root->shutdown();

    EXPECT_EQ(0, unexpected.load());
    uint64_t delivered = 0;
    for (const auto& sink : sinks) {
        delivered += sink->changesDelivered.load();
        EXPECT_EQ(0, sink->refs.load());  // every group let its sink go
    }
    EXPECT_GT(delivered, 0u);
    root = nullptr;
    space->removeAllChildren();
    for (const DaRef<DaTag>& tag : tags) {
        std::vector<DaRef<DaObject>> items;
        tag->getItems(items);
        EXPECT_TRUE(items.empty());
    }
}

}  // namespace
