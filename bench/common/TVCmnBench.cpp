// Costs of the runtime pieces that sit on hot paths: the work thread's wait, a cross-thread
// wake-up (request queue to comms thread and back), and the texts of every trace line.
#include <benchmark/benchmark.h>

#include <thread>

#include "common/TVCmnEvent.h"
#include "common/TVCmnSafeArray.h"
#include "common/TVCmnString.h"
#include "common/TVCmnVariant.h"
#include "common/TVCmnVariantText.h"

namespace {

void BM_WaitForAnyFindsTheLastOfFourSet(benchmark::State& state)
{
    TVCmnEvent a(TVCmnEvent::Reset::manual), b(TVCmnEvent::Reset::automatic), c(TVCmnEvent::Reset::automatic);
    TVCmnEvent d(TVCmnEvent::Reset::manual, true);
    for (auto _ : state)
        benchmark::DoNotOptimize(TVCmnEvent::waitForAny({&a, &b, &c, &d}, 0));
}
BENCHMARK(BM_WaitForAnyFindsTheLastOfFourSet);

void BM_PingPongBetweenTwoThreads(benchmark::State& state)
{
    TVCmnEvent stop(TVCmnEvent::Reset::manual);
    TVCmnEvent ping(TVCmnEvent::Reset::automatic);
    TVCmnEvent pong(TVCmnEvent::Reset::automatic);
    std::thread echo([&] {
        while (TVCmnEvent::waitForAny({&stop, &ping}, TVCmnEvent::kInfinite) == 1)
            pong.set();
    });
    for (auto _ : state) {
        ping.set();
        pong.wait(TVCmnEvent::kInfinite);
    }
    stop.set();
    echo.join();
}
BENCHMARK(BM_PingPongBetweenTwoThreads)->UseRealTime();

void BM_FormatTraceMessage(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            TVCmnString::format(400, "[%s|%8.8lX| %s] %s (%s ms)[0x%X]", "grp", 0x12345678ul, "Group1", "AddItems", "0.3", 0u));
    }
}
BENCHMARK(BM_FormatTraceMessage);

void BM_TextOfAnR8Array(benchmark::State& state)
{
    const auto count = static_cast<ULONG>(state.range(0));
    TVCmnSafeArray array = TVCmnSafeArray::createVector(VT_R8, count);
    {
        TVCmnSafeArrayAccess<double> data(array.get());
        for (ULONG i = 0; i < count; ++i)
            data[i] = i * 0.25;
    }
    TVCmnVariant value;
    VARIANT* slot = value.put();
    slot->vt = VT_ARRAY | VT_R8;
    slot->parray = array.detach();
    for (auto _ : state)
        benchmark::DoNotOptimize(TVCmnVariantText::valueText(value.get()));
}
BENCHMARK(BM_TextOfAnR8Array)->Arg(2)->Arg(100);

}  // namespace
