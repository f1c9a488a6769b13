// The trace buffer as a diagnostic client sees it through GetTrace: its exact text, the
// size rules, the overflow line, and the fresh start after every fetch.
#include "trace/TVCmnTraceBuffer.h"

#include <gtest/gtest.h>

#include <thread>

#include "TraceTestSupport.h"

using namespace tracetest;

namespace {

const std::string kHeader = "<?xml version=\"1.0\" encoding=\"utf-8\"?><trc>";

std::string takeText(TVCmnTraceBuffer& buffer)
{
    std::string text;
    EXPECT_EQ(buffer.takeText(&text), S_OK);
    return text;
}

// The line as the buffer keeps it: without its line break.
std::string element(const std::string& lineText)
{
    return "<ln>" + lineText.substr(0, lineText.size() - 2) + "</ln>";
}

TEST(TVCmnTraceBuffer, DisabledAnswersEFail)
{
    TestTrace t;
    TVCmnTraceBuffer buffer(t.trace);
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(buffer.getTrace(&text), E_FAIL);
    EXPECT_EQ(text, nullptr);
    std::string narrow;
    EXPECT_EQ(buffer.takeText(&narrow), E_FAIL);
    EXPECT_EQ(buffer.getTrace(nullptr), E_POINTER);

    buffer.setEnable(true);
    buffer.setEnable(false);
    EXPECT_EQ(buffer.getTrace(&text), E_FAIL) << "disabled again";
}

TEST(TVCmnTraceBuffer, SizesBelowTheMinimumAreRaised)
{
    TestTrace t;
    TVCmnTraceBuffer buffer(t.trace);
    EXPECT_EQ(buffer.sizeBytes(), 1024u) << "default";
    const struct {
        uint32_t asked;
        uint32_t got;
    } rows[] = {{0, 1016}, {500, 1016}, {1015, 1016}, {1016, 1016}, {1017, 1017}, {65536, 65536}};
    for (const auto& row : rows) {
        buffer.setSize(row.asked);
        EXPECT_EQ(buffer.sizeBytes(), row.got) << row.asked;
    }
}

TEST(TVCmnTraceBuffer, GetTraceHandsOutTheLinesAndStartsOver)
{
    TestTrace t;
    TVCmnTraceBuffer buffer(t.trace);
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "before enabling");
    buffer.setEnable(true);
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "first");
    KV_TRACE_TO(t.trace, kTraceWarning, kTraceGroupRef, "y", "caf\xE9");  // Windows-1252 e-acute
    const std::vector<SinkLine> lines = t.sink.lines();
    ASSERT_EQ(lines.size(), 3u);

    LPWSTR text = nullptr;
    ASSERT_EQ(buffer.getTrace(&text), S_OK);
    ASSERT_NE(text, nullptr);
    const std::wstring got(text);
    CoTaskMemFree(text);
    const std::string expected = kHeader + element(lines[1].text) + element(lines[2].text) + "</trc>";
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(static_cast<unsigned>(got[i]), static_cast<unsigned char>(expected[i])) << "at " << i;

    EXPECT_EQ(takeText(buffer), kHeader + "</trc>") << "a fetch starts the buffer over";
    t.trace.trace(kTraceError, kTraceGroupOpc, "x", "no header", false);
    EXPECT_EQ(takeText(buffer), kHeader + "<ln>no header</ln></trc>") << "a line without a break is kept whole";
}

TEST(TVCmnTraceBuffer, OverflowAddsOneLineAndDropsTheRestUntilTheNextFetch)
{
    // A header line is 65 bytes plus its message; it is added while
    // used + 7 + length stays below the size. 43 + (7 + 465) * 2 = 987, and at size 1100
    // a third line of 105 bytes (message 40) just fits: 987 + 7 + 105 = 1099.
    const struct {
        const char* name;
        std::vector<size_t> messages;
        size_t kept;
        bool overflow;
    } rows[] = {
        {"last line just fits", {400, 400, 40}, 3, false},
        {"one byte more overflows", {400, 400, 41}, 2, true},
        {"after overflow lines are dropped", {400, 400, 41, 1, 1}, 2, true},
    };
    for (const auto& row : rows) {
        TestTrace t;
        TVCmnTraceBuffer buffer(t.trace);
        buffer.setSize(1100);
        buffer.setEnable(true);
        for (size_t chars : row.messages)
            KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "%s", std::string(chars, 'm').c_str());
        const std::vector<SinkLine> lines = t.sink.lines();
        std::string expected = kHeader;
        for (size_t i = 0; i < row.kept; ++i)
            expected += element(lines[i].text);
        if (row.overflow)
            expected += "<ln>Buffer overflow</ln>";
        expected += "</trc>";
        EXPECT_EQ(takeText(buffer), expected) << row.name;

        KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "fresh");
        EXPECT_EQ(takeText(buffer), kHeader + element(t.sink.lastText()) + "</trc>")
            << row.name << ": the overflow is cleared by the fetch";
    }
}

TEST(TVCmnTraceBuffer, ResizingWhileEnabledStartsOverAndDisablingStopsCollecting)
{
    TestTrace t;
    TVCmnTraceBuffer buffer(t.trace);
    buffer.setEnable(true);
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "lost by the resize");
    buffer.setSize(2048);
    EXPECT_EQ(takeText(buffer), kHeader + "</trc>");

    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "lost by disabling");
    buffer.setEnable(false);
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "while disabled");
    buffer.setEnable(true);
    EXPECT_EQ(takeText(buffer), kHeader + "</trc>");
    EXPECT_EQ(buffer.sizeBytes(), 2048u);
}

// Tracing threads, a client fetching and another resizing, all at once (run under TSan).
TEST(TVCmnTraceBuffer, FetchesAndResizesWhileThreadsTrace)
{
    TVCmnTrace trace;
    CapturingDebugger quiet;
    trace.setDebuggerOutput(&quiet);
    TVCmnTraceBuffer buffer(trace);
    buffer.setEnable(true);
    std::atomic<bool> stop{false};
    std::vector<std::thread> tracers;
    for (int n = 0; n < 3; ++n) {
        tracers.emplace_back([&trace, &stop, n] {
            for (int i = 0; i < 1500 && !stop; ++i)
                KV_TRACE_TO(trace, kTraceError, kTraceGroupOpc, "[t]", "thread %d line %d", n, i);
        });
    }
    std::thread resizer([&buffer] {
        for (uint32_t i = 0; i < 200; ++i)
            buffer.setSize(1016 + (i % 5) * 500);
    });
    for (int i = 0; i < 300; ++i) {
        std::string text;
        ASSERT_EQ(buffer.takeText(&text), S_OK);
        ASSERT_EQ(text.substr(0, kHeader.size()), kHeader);
        ASSERT_EQ(text.substr(text.size() - 6), "</trc>");
        ASSERT_LE(text.size(), 1016u + 4 * 500 + 30);
    }
    resizer.join();
    stop = true;
    for (std::thread& thread : tracers)
        thread.join();
}

}  // namespace
