// What tracing costs its callers: a line that is switched off (every OPC call pays this
// several times), and lines written to rotating trace files from one and from several
// threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "trace/TVCmnTrace.h"

namespace {

const char kObjectId[] = "[DaG|0BADF00D| bench group]";

// Debug lines are off by default: the guard's load and test are all that runs.
void disabledLine(benchmark::State& state)
{
    TVCmnTrace::process().setLevels(~0u, ~0u, 0, 0);
    int value = 0;
    for (auto _ : state) {
        KV_TRACE(kTraceDebug, kTraceGroupOpc, kObjectId, "value %d of %s", ++value, "an item");
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(value);
}
BENCHMARK(disabledLine);

class NoDebugger : public TVCmnDebuggerOutput {
public:
    void write(const char*) override {}
};

// One trace shared by the benchmark's threads, writing to two 1 MB files in turn.
struct FileTrace {
    std::filesystem::path dir;
    NoDebugger debugger;
    TVCmnTrace trace;
    FileTrace()
    {
        dir = std::filesystem::temp_directory_path() / ("kvtrace-bench-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::create_directories(dir);
        trace.setDebuggerOutput(&debugger);
        trace.setLevels(~0u, ~0u, ~0u, 0);
        trace.enableFiles(true);
        trace.setFiles((dir / "bench1.log").string(), (dir / "bench2.log").string(), 1000000,
                       kTraceFileCreateAlways);
    }
    ~FileTrace()
    {
        trace.closeFiles();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

FileTrace* fileTrace = nullptr;

// The exit line of an OPC call, as most of a busy server's trace is made of.
void linesToFiles(benchmark::State& state)
{
    int value = 0;
    for (auto _ : state) {
        KV_TRACE_TO(fileTrace->trace, kTraceInfo, kTraceGroupOpc, kObjectId, "%s (%s ms)[0x%X]",
                    "IOPCSyncIO::Read", "0.3", static_cast<unsigned>(++value));
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

// Set up once per run, before the threads start.
BENCHMARK(linesToFiles)
    ->Setup([](const benchmark::State&) { fileTrace = new FileTrace; })
    ->Teardown([](const benchmark::State&) {
        delete fileTrace;
        fileTrace = nullptr;
    })
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();

BENCHMARK_MAIN();
