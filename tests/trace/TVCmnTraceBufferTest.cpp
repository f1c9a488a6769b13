// The trace buffer as a diagnostic client sees it through GetTrace: its exact text, the
// size rules, the overflow line and the fresh start after every fetch.
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

// A line as the buffer keeps it: without its line break.
std::string element(const std::string& line) { return "<ln>" + line.substr(0, line.size() - 2) + "</ln>"; }

TEST(TVCmnTraceBuffer, SizesBelowTheMinimumAreRaisedAndDisabledAnswersEFail)
{
    TestTrace t;
    TVCmnTraceBuffer buffer(t.trace);
    EXPECT_EQ(buffer.sizeBytes(), 1024u) << "default";
    for (auto [asked, got] : {std::pair{0u, 1016u}, {1015u, 1016u}, {1017u, 1017u}}) {
        buffer.setSize(asked);
        EXPECT_EQ(buffer.sizeBytes(), got) << asked;
    }
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(buffer.getTrace(&text), E_FAIL);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(buffer.getTrace(nullptr), E_POINTER);
}

TEST(TVCmnTraceBuffer, GetTraceHandsOutTheLinesAndStartsOver)
{
    TestTrace t;
    TVCmnTraceBuffer buffer(t.trace);
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "before enabling");
    buffer.setEnable(true);
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "first");
    KV_TRACE_TO(t.trace, kTraceWarning, kTraceGroupRef, "y", "caf\xE9");  // Windows-1252 e-acute
    const std::vector<SinkLine> lines = t.capture.lines();

    LPWSTR text = nullptr;
    ASSERT_EQ(buffer.getTrace(&text), S_OK);
    const std::wstring got(text);
    CoTaskMemFree(text);
    const std::string expected = kHeader + element(lines.at(1).text) + element(lines.at(2).text) + "</trc>";
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(static_cast<unsigned>(got[i]), static_cast<unsigned char>(expected[i])) << "at " << i;

    EXPECT_EQ(takeText(buffer), kHeader + "</trc>") << "a fetch starts over";
    t.trace.trace(kTraceError, kTraceGroupOpc, "x", "no header", false);
    EXPECT_EQ(takeText(buffer), kHeader + "<ln>no header</ln></trc>") << "a line without a break stays whole";

    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "lost by the resize");
    buffer.setSize(2048);
    EXPECT_EQ(takeText(buffer), kHeader + "</trc>");
    buffer.setEnable(false);
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "while disabled");
    buffer.setEnable(true);
    EXPECT_EQ(takeText(buffer), kHeader + "</trc>");
}

TEST(TVCmnTraceBuffer, OverflowAddsOneLineAndDropsTheRestUntilTheNextFetch)
{
    // A header line is 65 bytes plus its message, kept while used + 7 + length stays
    // below the size: 43 + (7 + 465) * 2 = 987, and at 1100 a third line of 105 bytes
    // (message 40) just fits: 987 + 7 + 105 = 1099.
    const struct {
        const char* name;
        std::vector<size_t> messages;
        size_t kept;
        bool overflow;
    } rows[] = {
        {"the last line just fits", {400, 400, 40}, 3, false},
        {"one byte more overflows", {400, 400, 41}, 2, true},
        {"then lines are dropped", {400, 400, 41, 1, 1}, 2, true},
    };
    for (const auto& row : rows) {
        TestTrace t;
        TVCmnTraceBuffer buffer(t.trace);
        buffer.setSize(1100);
        buffer.setEnable(true);
        for (size_t chars : row.messages)
            KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "%s", std::string(chars, 'm').c_str());
        std::string expected = kHeader;
        for (size_t i = 0; i < row.kept; ++i)
            expected += element(t.capture.lines()[i].text);
        expected += row.overflow ? "<ln>Buffer overflow</ln></trc>" : "</trc>";
        EXPECT_EQ(takeText(buffer), expected) << row.name;

        KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "fresh");
        EXPECT_EQ(takeText(buffer), kHeader + element(t.capture.lines().back().text) + "</trc>") << row.name;
    }
}

// Tracing threads, a client fetching and another resizing, all at once (run under TSan).
TEST(TVCmnTraceBuffer, FetchesAndResizesWhileThreadsTrace)
{
    TestTrace t;
    TVCmnTraceBuffer buffer(t.trace);
    t.trace.removeSink(&t.capture);
    buffer.setEnable(true);
    std::vector<std::thread> threads;
    for (int n = 0; n < 3; ++n) {
        threads.emplace_back([&t, n] {
            for (int i = 0; i < 1500; ++i)
                KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "[t]", "thread %d line %d", n, i);
        });
    }
    threads.emplace_back([&buffer] {
        for (uint32_t i = 0; i < 200; ++i)
            buffer.setSize(1016 + (i % 5) * 500);
    });
    for (int i = 0; i < 300; ++i) {
        const std::string text = takeText(buffer);
        ASSERT_EQ(text.substr(0, kHeader.size()), kHeader);
        ASSERT_EQ(text.substr(text.size() - 6), "</trc>");
        ASSERT_LT(text.size(), 3016u + 30);
    }
    for (std::thread& thread : threads)
        thread.join();
}

}  // namespace
