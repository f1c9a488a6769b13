// The polling loop at scale: 100,000 parameters on the simulated network, their updates
// drained through GetNextUpdate as the OPC server's update thread drains them (node
// text as a BSTR, freed after each call).
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "commsserver/CommsServer.h"
#include "platform/MessageTarget.h"

namespace {

constexpr int kNodes = 4;
constexpr int kMenus = 25;
constexpr int kParametersPerMenu = 1000;
constexpr long kEntries = long(kNodes) * kMenus * kParametersPerMenu;  // 100,000

struct Loop {
    comms::CommsServer* server = comms::CommsServer::create();
    kv::platform::MessageQueue window;
    LONG handle = -1;

    Loop()
    {
        // Drives that answer at once: the figure is the comms server's own cost.
        const std::filesystem::path file = std::filesystem::temp_directory_path() / "kv-bench-comms.ini";
        std::ofstream(file) << "[comms]\nlatencyMs = 0\nanyNode = yes\n";
        LONG protocol = kProtocolSimulated, ret = 0;
        server->LoadSettingsFile(comms::toWide(file.string()).c_str(), &protocol, &ret);
        server->ApplySettings(&protocol, &ret);
        std::filesystem::remove(file);
        server->RegisterClient(kClientLoop, static_cast<LONGLONG>(reinterpret_cast<INT_PTR>(window.hwnd())),
                               kCommsNotify2, L"bench", &handle);
        ULONGLONG owner = 0;
        for (int node = 0; node < kNodes; ++node) {
            const std::wstring address = L"10.0.9." + std::to_wstring(node);
            for (LONG menu = 0; menu < kMenus; ++menu) {
                for (LONG parameter = 0; parameter < kParametersPerMenu; ++parameter) {
                    ParameterRecord r{};
                    r.menu = menu;
                    r.parameter = parameter;
                    server->AddToLoop(handle, ++owner, address.c_str(), &r, kLoopRateNeverMs, &ret);
                }
            }
        }
        waitForQueued();
        drain();
    }
    ~Loop() { server->Release(); }

    void waitForQueued()
    {
        while (server->queuedUpdates(handle) < static_cast<std::size_t>(kEntries))
            std::this_thread::yield();
    }
    long drain()
    {
        long n = 0;
        LONG status = 0;
        for (;;) {
            ULONGLONG owner;
            BSTR node = nullptr;
            ParameterRecord r;
            server->GetNextUpdate(handle, &owner, &node, &r, &status);
            SysFreeString(node);
            if (status == kStatusNoMoreUpdates)
                break;
            ++n;
        }
        kv::platform::PostedMessage m;
        while (window.tryGet(m)) {
        }
        return n;
    }
};

Loop& loop()
{
    static Loop instance;
    return instance;
}

// GetNextUpdate alone: the queue is full when the clock starts.
void BM_DrainLoopUpdates(benchmark::State& state)
{
    Loop& l = loop();
    long drained = 0;
    for (auto _ : state) {
        l.server->pollLoopNow();
        l.waitForQueued();
        const auto start = std::chrono::steady_clock::now();
        drained += l.drain();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetItemsProcessed(drained);
}
BENCHMARK(BM_DrainLoopUpdates)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// Reading all 100,000 on the worker while this thread drains, as in the product.
void BM_PollAndDrainLoopUpdates(benchmark::State& state)
{
    Loop& l = loop();
    long drained = 0;
    for (auto _ : state) {
        l.server->pollLoopNow();
        long n = 0;
        while (n < kEntries)
            n += l.drain();
        drained += n;
    }
    state.SetItemsProcessed(drained);
}
BENCHMARK(BM_PollAndDrainLoopUpdates)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
