// What polling costs on Modbus TCP: a contiguous block of 1,000 loop parameters of one
// drive, read through the whole comms server (loop table, worker, backend, updates
// drained with GetNextUpdate) and through the backend alone. Counters: requests the
// drive saw per cycle, parameters per request, updates per second.
#include <benchmark/benchmark.h>

#include <memory>
#include <set>

#include "commsserver/CommsBackend.h"
#include "commsserver/CommsSettings.h"
#include "tests/commsserver_modbus/ModbusTestServer.h"
#include "tests/commsserver_modbus/ModbusTestSupport.h"

namespace {

constexpr LONG kBlock = 1000;
constexpr LONG kMenu = 1;  // registers 1000..1999 with menuStride 1000

std::string settingsFor(int port)
{
    return "[comms]\nprotocol = 1\nmenuStride = 1000\n[node 127.0.0.1]\nport = " + std::to_string(port) + "\n";
}

void BM_ModbusLoopCycle(benchmark::State& state)
{
    const LONG count = static_cast<LONG>(state.range(0));
    modbustest::ModbusTestServer drive;
    if (!drive.start()) {
        state.SkipWithError(drive.error().c_str());
        return;
    }
    modbustest::DriveClient client(settingsFor(drive.port()));
    if (!client.ready()) {
        state.SkipWithError(client.why().c_str());
        return;
    }
    for (LONG p = 0; p < count; ++p)
        client.add("127.0.0.1", kMenu, p, kLoopRateNeverMs, p + 1);
    auto drainAll = [&] {
        std::size_t got = 0;
        return client.drainUntil([&](const modbustest::Update&) { return ++got == std::size_t(count); });
    };
    if (!drainAll()) {
        state.SkipWithError("the first cycle did not come");
        return;
    }
    const auto requestsBefore = drive.requests();
    for (auto _ : state) {
        client.server()->pollLoopNow();
        if (!drainAll()) {
            state.SkipWithError("a cycle did not come");
            return;
        }
    }
    const double requests = double(drive.requests() - requestsBefore);
    state.counters["requests_per_cycle"] = requests / double(state.iterations());
    state.counters["parameters_per_request"] = double(count) * double(state.iterations()) / requests;
    state.counters["updates_per_s"] = benchmark::Counter(double(count) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ModbusLoopCycle)->Arg(kBlock)->Arg(125)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ModbusBackendBlock(benchmark::State& state)
{
    modbustest::ModbusTestServer drive;
    if (!drive.start()) {
        state.SkipWithError(drive.error().c_str());
        return;
    }
    comms::CommsSettings settings;
    std::string error;
    comms::parseCommsSettings(settingsFor(drive.port()), settings, error);
    std::shared_ptr<comms::CommsBackend> backend;
    if (comms::createCommsBackend(settings, backend) != kStatusOk || backend->connect() != kStatusOk) {
        state.SkipWithError("no backend");
        return;
    }
    // The loop hands the backend blocks of at most maxBlockParameters().
    const LONG step = static_cast<LONG>(backend->maxBlockParameters());
    std::vector<comms::ParameterReading> readings(kBlock);
    const auto requestsBefore = drive.requests();
    for (auto _ : state) {
        for (LONG first = 0; first < kBlock; first += step) {
            const LONG n = std::min(step, kBlock - first);
            if (backend->readBlock("127.0.0.1", kMenu, first, std::span(readings.data() + first, n)) != kStatusOk) {
                state.SkipWithError("a block failed");
                return;
            }
        }
        benchmark::DoNotOptimize(readings.data());
    }
    const double requests = double(drive.requests() - requestsBefore);
    state.counters["parameters_per_request"] = double(kBlock) * double(state.iterations()) / requests;
    state.counters["parameters_per_s"] = benchmark::Counter(double(kBlock) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ModbusBackendBlock)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
