// The trace line as users read it, where lines go, the guard that keeps disabled lines
// free, and many threads tracing at once.
#include "trace/TVCmnTrace.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <thread>

#include "TraceTestSupport.h"

using namespace tracetest;

namespace {

std::string padded(const std::string& id) { return id + std::string(35 - id.size(), ' '); }

TEST(TVCmnTraceLine, LayoutByteForByte)
{
    const std::string id35 = "[DaS|0000ABCD| DaS Entry]1234567890";
    const std::string m400(400, 'x');
    const struct {
        const char* name;
        int level;
        std::string objectId, message;
        bool withHeader;
        std::string expected;
    } rows[] = {
        {"error, id padded", kTraceError, "[DaS|0000ABCD| DaS Entry]", "Hello", true,
         linePrefix('E', "OPC") + padded("[DaS|0000ABCD| DaS Entry]") + " Hello\r\n"},
        {"info, id cut to 35", kTraceInfo, id35 + "more", "m", true, linePrefix('I', "OPC") + id35 + " m\r\n"},
        {"message cut at 400", kTraceError, "x", m400 + "yy", true, linePrefix('E', "OPC") + padded("x") + " " + m400 + "\r\n"},
        {"no header: the message alone", kTraceError, "x", "Hello", false, "Hello"},
        {"no header, cut at 400", kTraceError, "x", m400 + "yy", false, m400},
    };
    for (const auto& row : rows) {
        TestTrace t;
        t.trace.setLevels(~0u, ~0u, ~0u, ~0u);
        t.trace.format("%s", row.message.c_str());
        t.trace.trace(row.level, kTraceGroupOpc, row.objectId.c_str(), t.trace.text(), row.withHeader);
        ASSERT_EQ(t.capture.lines().size(), 1u) << row.name;
        EXPECT_EQ(t.capture.lines()[0].text, row.expected) << row.name;
        EXPECT_EQ(t.capture.debugger(), std::vector<std::string>{row.expected}) << row.name;
    }
}

TEST(TVCmnTraceLine, GroupLabelsWithAndWithoutAHandler)
{
    struct AppLikeHandler : TVCmnTraceHandler {
        void groupName(uint32_t group, char label[4]) override
        {
            if (group == kTraceGroupUser3)
                std::memcpy(label, "WIDER", 4);  // careless: no terminator
        }
    };
    auto app = std::make_shared<AppLikeHandler>();
    const struct {
        std::shared_ptr<TVCmnTraceHandler> handler;
        uint32_t group;
        const char* label;
    } rows[] = {
        {nullptr, kTraceGroupOpa, "OPA"}, {nullptr, 0x3, "   "}, {app, kTraceGroupUser2, "   "}, {app, kTraceGroupUser3, "WID"},
    };
    for (const auto& row : rows) {
        TestTrace t;
        t.trace.setTraceHandler(row.handler);
        KV_TRACE_TO(t.trace, kTraceError, row.group, "x", "m");
        EXPECT_EQ(t.capture.lines().at(0).text, linePrefix('E', row.label) + padded("x") + " m\r\n")
            << std::hex << row.group;
    }
}

TEST(TVCmnTraceFilter, OnlyGroupsSetInTheLevelsMaskAreProducedAndArgumentsOfOthersAreNotEvaluated)
{
    TestTrace t;
    t.trace.setLevels(kTraceGroupOpc, kTraceGroupRef | kTraceGroupEnt, 0, kTraceGroupAll);
    const struct {
        int level;
        uint32_t group;
        bool produced;
    } rows[] = {
        {kTraceError, kTraceGroupOpc, true},    {kTraceError, kTraceGroupRef, false},
        {kTraceWarning, kTraceGroupEnt, true},  {kTraceWarning, kTraceGroupOpc, false},
        {kTraceInfo, kTraceGroupAll, false},    {kTraceDebug, kTraceGroupUser4, true},
    };
    for (const auto& row : rows) {
        const size_t before = t.capture.lines().size();
        int evaluated = 0;
        KV_TRACE_TO(t.trace, row.level, row.group, "x", "%d", ++evaluated);
        EXPECT_EQ(t.capture.lines().size() - before + evaluated, row.produced ? 2u : 0u)
            << "level " << row.level << " group " << std::hex << row.group;
    }

    // The process trace's guard works the same way.
    TVCmnTrace& process = TVCmnTrace::process();
    const uint32_t debugMask = process.levelMask(kTraceDebug);
    process.addSink(&t.capture);
    process.setLevels(~0u, ~0u, 0, kTraceGroupOpc);
    int evaluated = 0;
    KV_TRACE(kTraceDebug, kTraceGroupRef, "x", "%d", ++evaluated);
    KV_TRACE(kTraceDebug, kTraceGroupOpc, "x", "%d", ++evaluated);
    process.removeSink(&t.capture);
    process.setLevels(~0u, ~0u, 0, debugMask);
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(t.capture.lines().back().message, "1");
}

TEST(TVCmnTraceOutputs, HandlerAndSinksGetEachLineAndAFailingHandlerCostsOnlyItsLine)
{
    struct Handler : TVCmnTraceHandler {
        Capture seen;
        bool throws = false;
        void line(const char* text, size_t length, int level, uint32_t group, const char* objectId,
                  const char* message) override
        {
            seen.traceLine(text, length, level, group, objectId, message);
            if (throws)
                throw std::runtime_error("handler failed");
        }
        HRESULT saveOptions() override { return 0x80070002; }
    };
    TestTrace t;
    auto handler = std::make_shared<Handler>();
    std::weak_ptr<Handler> watch = handler;
    t.trace.setTraceHandler(handler);
    EXPECT_EQ(t.trace.saveOptions(), static_cast<HRESULT>(0x80070002));
    Capture second;
    t.trace.addSink(&second);
    KV_TRACE_TO(t.trace, kTraceWarning, kTraceGroupEnt, "[id]", "value %d", 42);
    const SinkLine got = handler->seen.lines().at(0);
    EXPECT_EQ(got.text + got.objectId + "|" + got.message, linePrefix('W', "ENT") + padded("[id]") + " value 42\r\n[id]|value 42");
    EXPECT_EQ(second.lines().size(), 1u);

    t.trace.removeSink(&second);
    handler->throws = true;  // costs its line, not the trace lock
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "thrown");
    handler->throws = false;
    // Format twice, or Trace without Format: neither may deadlock on the trace lock.
    t.trace.format("first");
    t.trace.format("second %d", 2);
    t.trace.trace(kTraceError, kTraceGroupOpc, "x", t.trace.text());
    t.trace.trace(kTraceError, kTraceGroupOpc, "x", "without format");
    EXPECT_EQ(second.lines().size(), 1u) << "a removed sink gets nothing more";
    const std::vector<SinkLine> last = handler->seen.lines();
    EXPECT_EQ(last[last.size() - 2].message, "second 2");
    EXPECT_EQ(last.back().message, "without format");

    handler.reset();
    t.trace.setTraceHandler(nullptr);
    EXPECT_TRUE(watch.expired()) << "replacing the handler releases it";
}

// Each line arrives whole and each thread's lines in its order, in the file and in the
// sinks, whether written with KV_TRACE or with the Format and Trace pair.
TEST(TVCmnTraceThreads, ConcurrentLinesNeverInterleave)
{
    TempDir dir;
    TestTrace t;
    t.trace.enableFiles(true);
    ASSERT_TRUE(t.trace.setFiles(dir.file("mt.log"), "", 100000000, kTraceFileCreateAlways));
    constexpr int kThreads = 4, kLines = 2000;
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([&t, n] {
            for (int i = 0; i < kLines; i += 2) {
                KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "[thread]", "T%d L%05d %s", n, i,
                            "long enough to show any tearing");
                t.trace.format("T%d L%05d %s", n, i + 1, "long enough to show any tearing");
                t.trace.trace(kTraceWarning, kTraceGroupRef, "[thread]", t.trace.text());
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    t.trace.closeFiles();

    std::vector<std::string> fromSink;
    for (const SinkLine& line : t.capture.lines())
        fromSink.push_back(line.text.substr(0, line.text.size() - 2));
    for (const auto& lines : {splitLines(readFile(dir.file("mt.log"))), fromSink}) {
        ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
        std::map<int, int> next;
        for (const std::string& line : lines) {
            int thread = -1, index = -1;
            ASSERT_EQ(std::sscanf(line.c_str() + kMessageColumn, "T%d L%d", &thread, &index), 2) << line;
            EXPECT_EQ(index, next[thread]++) << "thread " << thread;
            const std::string tail = "any tearing";
            EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
        }
    }
}

}  // namespace
