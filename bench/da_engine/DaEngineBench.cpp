// The engine's costs: the update pipeline from a tag cache update to the delivered
// OnDataChange, a synchronous cache read of 1,000 items, the memory an item costs, and
// how often the work thread wakes for 1,000 idle groups.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/TVCmnVariant.h"
#include "da/DaClientSinks.h"
#include "da/DaCreator.h"
#include "da/DaGroup.h"
#include "da/DaNamespaceRoot.h"
#include "da/DaObjectRoot.h"
#include "da/DaServer.h"
#include "da/DaTag.h"

namespace {

std::atomic<uint32_t> g_tick{1000};
std::atomic<uint64_t> g_time{133000000000000000ull};
uint32_t benchTick() { return g_tick.load(std::memory_order_relaxed); }
uint64_t benchTime() { return g_time.load(std::memory_order_relaxed); }
void advance(uint32_t ms)
{
    g_tick += ms;
    g_time += uint64_t(ms) * kDaFileTimeUnitsPerMs;
}

// Counts what it is given and keeps nothing, as a fast client would.
class CountingSink : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        *out = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT*,
                                           WORD*, FILETIME*, HRESULT*) override
    {
        delivered += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    uint64_t delivered = 0;
};

// tagCount tags under nodes of 1,000 ("N0.T0" ... ), each with a cache holding a value.
struct Space {
    DaRef<DaNamespaceRoot> root{new DaNamespaceRoot};
    std::vector<DaRef<DaTag>> tags;
    explicit Space(int tagCount, bool tracking = true)
    {
        DaRef<DaNode> node;
        for (int i = 0; i < tagCount; ++i) {
            if (i % 1000 == 0) {
                node = DaRef<DaNode>(new DaNode);
                node->setName("N" + std::to_string(i / 1000));
                root->addChild(node.get());
            }
            DaRef<DaTag> tag(new DaTag(tracking));
            tag->setName("T" + std::to_string(i % 1000));
            tag->setDatatype(VT_R8);
            tag->setAccessRights(kDaAccessReadable | kDaAccessWritable);
            tag->setDefaultHandling(3);
            node->addChild(tag.get());
            TVCmnVariant value{double(i)};
            daUpdateTagValue(*tag, &value.get(), 0xC0, nullptr);
            tags.push_back(tag);
        }
    }
    ~Space() { root->removeAllChildren(); }
    static std::string id(int i) { return "N" + std::to_string(i / 1000) + ".T" + std::to_string(i % 1000); }
};

struct Engine {
    DaRef<DaCreator> creator{new DaCreator};
    DaRef<DaObjectRoot> root{new DaObjectRoot(creator.get())};
    DaRef<DaServer> server;
    explicit Engine(DaNamespaceRoot* space, bool thread = false)
    {
        root->setNamespaceRoot(0, space);
        root->setMinimumUpdateRateMs(10);
        server = root->createServer(0, thread);
    }
    ~Engine() { root->shutdown(); }
    DaRef<DaGroup> group(uint32_t rateMs)
    {
        DaGroupParams params;
        params.active = true;
        params.requestedUpdateRateMs = rateMs;
        DaRef<DaGroup> made;
        server->addGroup(params, made, nullptr);
        return made;
    }
    static std::vector<uint32_t> addItems(DaGroup* group, int first, int count)
    {
        std::vector<DaItemDef> defs;
        for (int i = first; i < first + count; ++i)
            defs.push_back({Space::id(i), "", VT_EMPTY, true, uint32_t(i)});
        std::vector<DaItemResult> results;
        std::vector<HRESULT> errors;
        group->addItems(defs, results, errors);
        std::vector<uint32_t> handles;
        for (const DaItemResult& r : results)
            handles.push_back(r.serverHandle);
        return handles;
    }
};

void BM_UpdatePipeline(benchmark::State& state)
{
    constexpr int kTags = 100000;
    constexpr int kGroups = 100;
    DaClock::setSources(&benchTick, &benchTime);
    Space space(kTags);
    Engine engine(space.root.get());
    std::vector<std::unique_ptr<CountingSink>> sinks;
    for (int g = 0; g < kGroups; ++g) {
        DaRef<DaGroup> group = engine.group(1000);
        sinks.push_back(std::make_unique<CountingSink>());
        group->adviseCallback(sinks.back().get());
        Engine::addItems(group.get(), g * (kTags / kGroups), kTags / kGroups);
    }
    engine.server->work(benchTick());  // initial values
    uint64_t before = 0;
    for (auto& sink : sinks)
        before += sink->delivered;
    double round = 1.0;
    for (auto _ : state) {
        round += 1.0;
        for (int i = 0; i < kTags; ++i) {
            TVCmnVariant value(round + i);
            daUpdateTagValue(*space.tags[i], &value.get(), 0xC0, nullptr);
        }
        advance(1000);
        engine.server->work(benchTick());
    }
    uint64_t delivered = 0;
    for (auto& sink : sinks)
        delivered += sink->delivered;
    delivered -= before;
    if (delivered != uint64_t(kTags) * state.iterations())
        state.SkipWithError("not every change was delivered");
    state.counters["changes/s"] = benchmark::Counter(double(delivered), benchmark::Counter::kIsRate);
    engine.root->shutdown();
    DaClock::setSources(nullptr, nullptr);
}
BENCHMARK(BM_UpdatePipeline)->Unit(benchmark::kMillisecond);

void BM_SyncCacheRead1000(benchmark::State& state)
{
    Space space(1000);
    Engine engine(space.root.get());
    DaRef<DaGroup> group = engine.group(1000);
    std::vector<uint32_t> handles = Engine::addItems(group.get(), 0, 1000);
    std::vector<DaReadResult> results;
    std::vector<HRESULT> errors;
    for (auto _ : state) {
        group->syncRead(false, handles, results, errors);
        benchmark::DoNotOptimize(results.data());
    }
    state.counters["items/s"] = benchmark::Counter(1000.0 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SyncCacheRead1000)->Unit(benchmark::kMicrosecond);

// Arg 1: tags that keep a list of their items (the drive parameter tags do); arg 0:
// tags that do not, which leaves the engine's own share.
void BM_MemoryPerItem(benchmark::State& state)
{
    constexpr int kItems = 100000;
    Space space(kItems, state.range(0) != 0);
    Engine engine(space.root.get());
    for (auto _ : state) {
        state.PauseTiming();
        DaRef<DaGroup> group = engine.group(1000);
        state.ResumeTiming();
        const size_t before = mallinfo2().uordblks;
        Engine::addItems(group.get(), 0, kItems);
        const size_t after = mallinfo2().uordblks;
        state.counters["bytes/item"] = double(after - before) / kItems;
        state.PauseTiming();
        engine.server->removeGroup(group->serverHandle());
        state.ResumeTiming();
    }
}
BENCHMARK(BM_MemoryPerItem)->Unit(benchmark::kMillisecond)->Iterations(1)->Arg(0)->Arg(1);

void BM_IdleGroupWakeups(benchmark::State& state)
{
    constexpr int kGroups = 1000;
    Space space(1);
    Engine engine(space.root.get(), true);
    std::vector<DaRef<DaGroup>> groups;
    for (int g = 0; g < kGroups; ++g)
        groups.push_back(engine.group(1000));
    for (auto _ : state) {
        const uint64_t passes = engine.server->workPassCount();
        const uint64_t cycles = engine.server->cycleStartCount();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        state.counters["wakeups"] = double(engine.server->workPassCount() - passes);
        state.counters["due cycles"] = double(engine.server->cycleStartCount() - cycles);
    }
}
BENCHMARK(BM_IdleGroupWakeups)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
