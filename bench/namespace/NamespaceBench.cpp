// Address space figures: loading a 100,000-parameter namespace file, heap bytes per drive
// parameter tag once loaded, and resolving a depth-4 item ID.
//
// Heap use is counted by this program's own operator new/delete (requested bytes and the
// allocator's usable size plus its 8-byte chunk header), so the figures need no tools.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "da/DaItemLookup.h"
#include "da/DaNamespaceRoot.h"
#include "drivecomms/DriveTag.h"
#include "namespace/NamespaceLoader.h"

namespace {

std::atomic<long long> g_liveRequested{0};
std::atomic<long long> g_liveChunks{0};
std::atomic<long long> g_liveAllocations{0};

}  // namespace

void* operator new(std::size_t size)
{
    void* p = std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    g_liveRequested += static_cast<long long>(size);
    g_liveChunks += static_cast<long long>(malloc_usable_size(p) + sizeof(size_t));
    ++g_liveAllocations;
    return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept
{
    if (!p)
        return;
    g_liveChunks -= static_cast<long long>(malloc_usable_size(p) + sizeof(size_t));
    --g_liveAllocations;
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t size) noexcept
{
    if (p)
        g_liveRequested -= static_cast<long long>(size);
    operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

constexpr int kNodes = 1000;
constexpr int kParamsPerNode = 100;
constexpr int kMenusPerNode = 10;
constexpr const char* kTypes[] = {"VT_I2", "VT_I4", "VT_R4", "VT_R8", "VT_BOOL", "VT_UI1", "VT_UI2", "VT_UI4"};
constexpr const char* kAccess[] = {"READ", "READWRITE", "READ", "WRITE"};

// The layout of tools/namespace_gen.py --nodes 1000 --params 100: Drive%05d.Slot0.Menu%02d.Parameter%03d
std::string makeDocument()
{
    std::string text = "<?xml version=\"1.0\"?>\n<QZNetcfg Protocol=\"1\">\n";
    char line[256];
    int index = 0;
    for (int n = 0; n < kNodes; ++n) {
        std::snprintf(line, sizeof line, "<Node><name>Drive%05d</name><address>%d</address>\n<Slot SlotName=\"Slot0\"><number>0</number>\n", n, n + 1);
        text += line;
        for (int m = 0; m < kMenusPerNode; ++m) {
            std::snprintf(line, sizeof line, "<Menu><name>Menu%02d</name><addrHigh>%d</addrHigh>\n", m, m);
            text += line;
            for (int p = 0; p < kParamsPerNode / kMenusPerNode; ++p, ++index) {
                std::snprintf(line, sizeof line,
                              "<Parameter><name>Parameter%03d</name><addrLow>%d</addrLow><objecttype>2</objecttype>"
                              "<datatype>%s</datatype><description>Parameter %d of menu %d</description>"
                              "<accessrights>%s</accessrights></Parameter>\n",
                              p, p + 1, kTypes[index % 8], p + 1, m, kAccess[index % 4]);
                text += line;
            }
            text += "</Menu>\n";
        }
        text += "</Slot></Node>\n";
    }
    text += "</QZNetcfg>\n";
    return text;
}

const std::string& documentPath()
{
    static const std::string path = [] {
        std::string p = "/tmp/kv_bench_namespace_" + std::to_string(getpid()) + ".xml";
        std::ofstream(p, std::ios::binary) << makeDocument();
        return p;
    }();
    return path;
}

class QuietDiagnostics : public NamespaceDiagnostics {
public:
    bool wants(uint16_t diagClass) const override { return false; }
    void post(uint16_t, const std::string&) override {}
};

void BM_LoadNamespace100k(benchmark::State& state)
{
    const std::string& path = documentPath();
    QuietDiagnostics diagnostics;
    for (auto _ : state) {
        DaRef<DaNamespaceRoot> root(new DaNamespaceRoot);
        int32_t protocol = -1;
        if (!loadNamespaceFile(path, *root, diagnostics, protocol))
            state.SkipWithError("load failed");
        state.PauseTiming();
        root->removeAllChildren();
        root = nullptr;
        state.ResumeTiming();
    }
    struct rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["parameters"] = kNodes * kParamsPerNode;
}
BENCHMARK(BM_LoadNamespace100k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_HeapPerTag(benchmark::State& state)
{
    const std::string& path = documentPath();
    QuietDiagnostics diagnostics;
    for (auto _ : state) {
        const long long requestedBefore = g_liveRequested, chunksBefore = g_liveChunks;
        const long long allocationsBefore = g_liveAllocations;
        DaRef<DaNamespaceRoot> root(new DaNamespaceRoot);
        int32_t protocol = -1;
        loadNamespaceFile(path, *root, diagnostics, protocol);
        const double tags = kNodes * kParamsPerNode;
        // Everything the space holds (nodes, slots and menus included) per tag.
        state.counters["requested_B_per_tag"] = static_cast<double>(g_liveRequested - requestedBefore) / tags;
        state.counters["heap_B_per_tag"] = static_cast<double>(g_liveChunks - chunksBefore) / tags;
        state.counters["allocations_per_tag"] = static_cast<double>(g_liveAllocations - allocationsBefore) / tags;
        state.counters["sizeof_DriveTag"] = sizeof(DriveTag);
        root->removeAllChildren();
    }
}
BENCHMARK(BM_HeapPerTag)->Unit(benchmark::kMillisecond)->Iterations(1);

struct LoadedSpace {
    DaRef<DaNamespaceRoot> root{new DaNamespaceRoot};
    LoadedSpace()
    {
        QuietDiagnostics diagnostics;
        int32_t protocol = -1;
        loadNamespaceFile(documentPath(), *root, diagnostics, protocol);
    }
};

LoadedSpace& space()
{
    static LoadedSpace loaded;
    return loaded;
}

void BM_ResolveItemIdDepth4(benchmark::State& state)
{
    DaNamespaceRoot& root = *space().root;
    const char* ids[] = {"Drive00500.Slot0.Menu05.Parameter007", "Drive00001.Slot0.Menu09.Parameter000",
                         "Drive00999.Slot0.Menu00.Parameter009", "Drive00250.Slot0.Menu03.Parameter004"};
    size_t i = 0;
    for (auto _ : state) {
        DaLookupResult result;
        const HRESULT hr = daLookupItem(&root, ids[i++ & 3], '#', result);
        benchmark::DoNotOptimize(hr);
        if (hr != S_OK)
            state.SkipWithError("lookup failed");
    }
}
BENCHMARK(BM_ResolveItemIdDepth4);

void BM_ResolvePropertyIdDepth4(benchmark::State& state)
{
    DaNamespaceRoot& root = *space().root;
    for (auto _ : state) {
        DaLookupResult result;
        benchmark::DoNotOptimize(daLookupItem(&root, "Drive00500.Slot0.Menu05.Parameter007#5", '#', result));
    }
}
BENCHMARK(BM_ResolvePropertyIdDepth4);

void BM_ResolveUnknownId(benchmark::State& state)
{
    DaNamespaceRoot& root = *space().root;
    for (auto _ : state) {
        DaLookupResult result;
        benchmark::DoNotOptimize(daLookupItem(&root, "Drive00500.Slot0.Menu05.Parameter999", '#', result));
    }
}
BENCHMARK(BM_ResolveUnknownId);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(documentPath().c_str());
    return 0;
}
