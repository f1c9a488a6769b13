// The trace line as users read it in files and debuggers, the routing of lines to the
// outputs, the guard that keeps disabled lines free, and many threads tracing at once.
#include "trace/TVCmnTrace.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <thread>

#include "TraceTestSupport.h"

using namespace tracetest;

namespace {

const std::string kId35 = "[DaS|0000ABCD| DaS Entry]1234567890";  // exactly 35
const std::string kLongId = "[DaG|0BADF00D| a group with a name far too long for the column]";

struct LayoutRow {
    const char* name;
    int level;
    uint32_t group;
    std::string objectId;
    std::string message;
    bool withHeader;
    std::string expected;  // after the "L GGG tttt dd-hh:mm:ss.mmm " prefix when withHeader
    char letter;
    const char* groupLabel;
};

TEST(TVCmnTraceLine, LayoutByteForByte)
{
    const std::string m400(400, 'x');
    const std::string m450 = m400 + std::string(50, 'y');
    const LayoutRow rows[] = {
        {"error, short id padded to 35", kTraceError, kTraceGroupOpc, "[DaS|0000ABCD| DaS Entry]", "Hello",
         true, "[DaS|0000ABCD| DaS Entry]           Hello\r\n", 'E', "OPC"},
        {"warning, id of exactly 35", kTraceWarning, kTraceGroupRef, kId35, "m", true, kId35 + " m\r\n", 'W', "REF"},
        {"info, long id cut to 35", kTraceInfo, kTraceGroupEnt, kLongId, "m", true,
         kLongId.substr(0, 35) + " m\r\n", 'I', "ENT"},
        {"debug letter is a blank", kTraceDebug, kTraceGroupSrv, "x", "m", true,
         "x" + std::string(34, ' ') + " m\r\n", ' ', "SRV"},
        {"OPA", kTraceError, kTraceGroupOpa, "x", "m", true, "x" + std::string(34, ' ') + " m\r\n", 'E', "OPA"},
        {"OLG", kTraceError, kTraceGroupOlg, "x", "m", true, "x" + std::string(34, ' ') + " m\r\n", 'E', "OLG"},
        {"DSY", kTraceError, kTraceGroupDsy, "x", "m", true, "x" + std::string(34, ' ') + " m\r\n", 'E', "DSY"},
        {"ALL", kTraceError, kTraceGroupAll, "x", "m", true, "x" + std::string(34, ' ') + " m\r\n", 'E', "ALL"},
        {"unnamed bit", kTraceError, 0x00000004, "x", "m", true, "x" + std::string(34, ' ') + " m\r\n", 'E', "   "},
        {"two bits", kTraceError, 0x00000003, "x", "m", true, "x" + std::string(34, ' ') + " m\r\n", 'E', "   "},
        {"user group without handler", kTraceError, kTraceGroupUser1, "x", "m", true,
         "x" + std::string(34, ' ') + " m\r\n", 'E', "   "},
        {"empty id", kTraceError, kTraceGroupOpc, "", "m", true, std::string(35, ' ') + " m\r\n", 'E', "OPC"},
        {"message of 400 kept", kTraceError, kTraceGroupOpc, "x", m400, true,
         "x" + std::string(34, ' ') + " " + m400 + "\r\n", 'E', "OPC"},
        {"message cut at 400", kTraceError, kTraceGroupOpc, "x", m450, true,
         "x" + std::string(34, ' ') + " " + m400 + "\r\n", 'E', "OPC"},
        {"empty message is one blank", kTraceError, kTraceGroupOpc, "x", "", true,
         "x" + std::string(34, ' ') + "  \r\n", 'E', "OPC"},
        {"no header: the message alone", kTraceError, kTraceGroupOpc, "x", "Hello", false, "Hello", 0, nullptr},
        {"no header, cut at 400", kTraceError, kTraceGroupOpc, "x", m450, false, m400, 0, nullptr},
        {"no header, empty", kTraceError, kTraceGroupOpc, "x", "", false, " ", 0, nullptr},
    };
    for (const LayoutRow& row : rows) {
        TestTrace t;
        t.trace.setLevels(~0u, ~0u, ~0u, ~0u);
        t.trace.format("%s", row.message.c_str());
        t.trace.trace(row.level, row.group, row.objectId.c_str(), t.trace.text(), row.withHeader);
        const std::string expected =
            row.withHeader ? linePrefix(row.letter, row.groupLabel) + row.expected : row.expected;
        ASSERT_EQ(t.sink.lines().size(), 1u) << row.name;
        EXPECT_EQ(t.sink.lastText(), expected) << row.name;
        ASSERT_EQ(t.debugger.texts().size(), 1u) << row.name;
        EXPECT_EQ(t.debugger.texts()[0], expected) << row.name;
    }
}

TEST(TVCmnTraceLine, SinksAndHandlerGetTheLineAndItsParts)
{
    struct RecordingHandler : TVCmnTraceHandler {
        std::vector<SinkLine> lines;
        void line(const char* text, size_t length, int level, uint32_t group, const char* objectId,
                  const char* message) override
        {
            lines.push_back(SinkLine{std::string(text, length), level, group, objectId, message});
        }
    };
    TestTrace t;
    auto handler = std::make_shared<RecordingHandler>();
    t.trace.setTraceHandler(handler);
    CollectingSink second;
    t.trace.addSink(&second);

    KV_TRACE_TO(t.trace, kTraceWarning, kTraceGroupEnt, "[id]", "value %d", 42);

    ASSERT_EQ(handler->lines.size(), 1u);
    const SinkLine& got = handler->lines[0];
    EXPECT_EQ(got.text, linePrefix('W', "ENT") + "[id]" + std::string(31, ' ') + " value 42\r\n");
    EXPECT_EQ(got.level, kTraceWarning);
    EXPECT_EQ(got.group, kTraceGroupEnt);
    EXPECT_EQ(got.objectId, "[id]");
    EXPECT_EQ(got.message, "value 42");
    EXPECT_EQ(t.sink.lines().size(), 1u);
    EXPECT_EQ(second.lines().size(), 1u);

    t.trace.removeSink(&second);
    KV_TRACE_TO(t.trace, kTraceWarning, kTraceGroupEnt, "[id]", "again");
    EXPECT_EQ(second.lines().size(), 1u) << "a removed sink gets nothing more";
    EXPECT_EQ(t.sink.lines().size(), 2u);
    EXPECT_EQ(handler->lines.size(), 2u);
}

TEST(TVCmnTraceLine, HandlerNamesTheUserGroups)
{
    struct AppLikeHandler : TVCmnTraceHandler {
        void groupName(uint32_t group, char label[4]) override
        {
            if (group == kTraceGroupUser1)
                std::strcpy(label, "U1 ");
            else if (group == kTraceGroupUser3)
                std::memcpy(label, "WIDER", 4);  // a careless handler, no terminator
        }
    };
    const struct {
        std::shared_ptr<TVCmnTraceHandler> handler;
        uint32_t group;
        const char* label;
    } rows[] = {
        {std::make_shared<TVCmnTraceHandler>(), kTraceGroupUser1, "U1"},
        {std::make_shared<TVCmnTraceHandler>(), kTraceGroupUser4, "U4"},
        {std::make_shared<AppLikeHandler>(), kTraceGroupUser1, "U1 "},
        {std::make_shared<AppLikeHandler>(), kTraceGroupUser2, "   "},  // left unchanged
        {std::make_shared<AppLikeHandler>(), kTraceGroupUser3, "WID"},  // cut to the column
        {std::make_shared<AppLikeHandler>(), kTraceGroupOpc, "OPC"},    // not the handler's
    };
    for (const auto& row : rows) {
        TestTrace t;
        t.trace.setTraceHandler(row.handler);
        KV_TRACE_TO(t.trace, kTraceError, row.group, "x", "m");
        const std::string expected = std::string("E ") + row.label + " ";
        EXPECT_EQ(t.sink.lastText().substr(0, expected.size()), expected)
            << "group " << std::hex << row.group;
    }
}

TEST(TVCmnTraceFilter, OnlyLinesWhoseGroupBitIsSetInTheirLevelAreProduced)
{
    TestTrace t;
    t.trace.setLevels(kTraceGroupOpc, kTraceGroupRef | kTraceGroupEnt, 0, kTraceGroupAll);
    const struct {
        int level;
        uint32_t group;
        bool produced;
    } rows[] = {
        {kTraceError, kTraceGroupOpc, true},    {kTraceError, kTraceGroupRef, false},
        {kTraceWarning, kTraceGroupRef, true},  {kTraceWarning, kTraceGroupEnt, true},
        {kTraceWarning, kTraceGroupOpc, false}, {kTraceInfo, kTraceGroupOpc, false},
        {kTraceInfo, kTraceGroupAll, false},    {kTraceDebug, kTraceGroupUser4, true},
    };
    for (const auto& row : rows) {
        size_t before = t.sink.lines().size();
        int evaluated = 0;
        KV_TRACE_TO(t.trace, row.level, row.group, "x", "%d", ++evaluated);
        EXPECT_EQ(t.sink.lines().size() - before, row.produced ? 1u : 0u)
            << "level " << row.level << " group " << std::hex << row.group;
        EXPECT_EQ(evaluated, row.produced ? 1 : 0) << "arguments of a disabled line are not evaluated";
    }
}

TEST(TVCmnTraceFilter, DefaultsShowErrorsAndWarningsOfEveryGroupToTheDebuggerOnly)
{
    TestTrace t;
    EXPECT_EQ(t.trace.levelMask(kTraceError), 0xFFFFFFFFu);
    EXPECT_EQ(t.trace.levelMask(kTraceWarning), 0xFFFFFFFFu);
    EXPECT_EQ(t.trace.levelMask(kTraceInfo), 0u);
    EXPECT_EQ(t.trace.levelMask(kTraceDebug), 0u);
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupUser3, "x", "boom");
    KV_TRACE_TO(t.trace, kTraceInfo, kTraceGroupOpc, "x", "quiet");
    ASSERT_EQ(t.debugger.texts().size(), 1u);
    EXPECT_NE(t.debugger.texts()[0].find("boom"), std::string::npos);
    const TVCmnTraceFileSettings files = t.trace.fileSettings();
    EXPECT_FALSE(files.enable);
    EXPECT_EQ(files.fileName, "");
    EXPECT_EQ(files.maxSizeBytes, 1000000u);
}

TEST(TVCmnTraceFilter, ProcessGuardSkipsArgumentsOfDisabledLines)
{
    TVCmnTrace& trace = TVCmnTrace::process();
    EXPECT_EQ(&trace, &TVCmnTrace::process());
    const uint32_t debugMask = trace.levelMask(kTraceDebug);
    CollectingSink sink;
    trace.addSink(&sink);
    trace.setLevels(~0u, ~0u, 0, kTraceGroupOpc);
    int evaluated = 0;
    KV_TRACE(kTraceDebug, kTraceGroupRef, "x", "%d", ++evaluated);
    KV_TRACE(kTraceInfo, kTraceGroupOpc, "x", "%d", ++evaluated);
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(sink.lines().empty());
    KV_TRACE(kTraceDebug, kTraceGroupOpc, "x", "%d", ++evaluated);
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(sink.lines().size(), 1u);
    trace.removeSink(&sink);
    trace.setLevels(~0u, ~0u, 0, debugMask);
}

TEST(TVCmnTraceFormat, PairsAndRepeatsDoNotDeadlock)
{
    TestTrace t;
    t.trace.format("first %d", 1);
    t.trace.format("second %d", 2);  // a second format before trace reuses the held lock
    t.trace.trace(kTraceError, kTraceGroupOpc, "x", t.trace.text());
    t.trace.trace(kTraceError, kTraceGroupOpc, "x", "without format");
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "after");
    const std::vector<SinkLine> lines = t.sink.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].message, "second 2");
    EXPECT_EQ(lines[1].message, "without format");
    EXPECT_EQ(lines[2].message, "after");
}

TEST(TVCmnTraceFormat, AThrowingHandlerCostsItsLineButNotTheLock)
{
    struct ThrowingHandler : TVCmnTraceHandler {
        void line(const char*, size_t, int, uint32_t, const char*, const char*) override
        {
            throw std::runtime_error("handler failed");
        }
    };
    TestTrace t;
    t.trace.setTraceHandler(std::make_shared<ThrowingHandler>());
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "one");
    t.trace.setTraceHandler(nullptr);
    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "two");
    ASSERT_FALSE(t.sink.lines().empty());
    EXPECT_EQ(t.sink.lines().back().message, "two");
}

TEST(TVCmnTraceHandlerSlot, SaveOptionsAsksTheHandlerAndReplacingReleasesIt)
{
    struct SavingHandler : TVCmnTraceHandler {
        HRESULT saveOptions() override { return 0x80070002; }
    };
    TVCmnTrace trace;
    EXPECT_EQ(trace.saveOptions(), E_NOTIMPL);
    auto handler = std::make_shared<SavingHandler>();
    std::weak_ptr<SavingHandler> watch = handler;
    trace.setTraceHandler(std::move(handler));
    EXPECT_EQ(trace.saveOptions(), static_cast<HRESULT>(0x80070002));
    trace.setTraceHandler(std::make_shared<TVCmnTraceHandler>());
    EXPECT_TRUE(watch.expired()) << "the previous handler is released";
    EXPECT_EQ(trace.saveOptions(), E_NOTIMPL);
    trace.setTraceHandler(nullptr);
    EXPECT_EQ(trace.saveOptions(), E_NOTIMPL);
}

TEST(TVCmnTraceElapsed, MillisecondsWithOneDecimal)
{
    LARGE_INTEGER frequency;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    const double countsPerMs = static_cast<double>(frequency.QuadPart) / 1000.0;
    const struct {
        double ms;
        const char* text;
    } rows[] = {{0, "0.0"}, {12.5, "12.5"}, {3000, "3000.0"}, {-2, "-2.0"}, {0.5, "0.5"}};
    TVCmnTrace trace;
    for (const auto& row : rows) {
        const LONGLONG start = 1000000;
        const LONGLONG end = start + static_cast<LONGLONG>(row.ms * countsPerMs);
        EXPECT_STREQ(trace.elapsedText(start, end).text, row.text) << row.ms << " ms";
    }
}

TEST(TVCmnTraceObjectId, EightHexDigitsAndTheName)
{
    TVCmnTrace trace;
    const std::string id = trace.objectId();
    ASSERT_EQ(id.size(), std::strlen("[TRC|00000000| TRACE]")) << id;
    EXPECT_EQ(id.substr(0, 5), "[TRC|");
    EXPECT_EQ(id.substr(13), "| TRACE]");
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF", 5), 13u) << id;
}

// Lines of several threads must never mix: each line arrives whole, and each thread's
// lines arrive in its order. Run under TSan as well.
TEST(TVCmnTraceThreads, ConcurrentLinesNeverInterleave)
{
    TempDir dir;
    TestTrace t;
    t.trace.enableFiles(true);
    ASSERT_TRUE(t.trace.setFiles(dir.file("mt.log"), "", 100000000, kTraceFileCreateAlways));
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 2000;
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([&t, n] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                if (i % 2 == 0) {
                    KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "[thread]", "T%d L%05d %s", n, i,
                                "payload that makes a line long enough to tear if writes mixed");
                } else {
                    t.trace.format("T%d L%05d %s", n, i, "written through the Format and Trace pair");
                    t.trace.trace(kTraceWarning, kTraceGroupRef, "[thread]", t.trace.text());
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    t.trace.closeFiles();

    for (const std::string& source : {std::string("file"), std::string("sink")}) {
        std::vector<std::string> lines;
        if (source == "file") {
            lines = splitLines(readFile(dir.file("mt.log")));
        } else {
            for (const SinkLine& line : t.sink.lines()) {
                ASSERT_EQ(line.text.substr(line.text.size() - 2), "\r\n");
                lines.push_back(line.text.substr(0, line.text.size() - 2));
            }
        }
        ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesPerThread)) << source;
        std::map<int, int> next;
        for (const std::string& line : lines) {
            // The message starts after the 27 characters of the header and the id column.
            ASSERT_GT(line.size(), 63u) << source << ": " << line;
            int thread = -1, index = -1;
            ASSERT_EQ(std::sscanf(line.c_str() + 63, "T%d L%d", &thread, &index), 2) << line;
            EXPECT_EQ(index, next[thread]++) << source << ": thread " << thread << " out of order";
            const char* tail = index % 2 == 0 ? "tear if writes mixed" : "Format and Trace pair";
            EXPECT_EQ(line.substr(line.size() - std::strlen(tail)), tail) << source << ": " << line;
        }
    }
}

}  // namespace
