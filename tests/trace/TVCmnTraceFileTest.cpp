// Trace files as an operator finds them on disk: which file holds which lines once the
// size limit is passed, the header lines, and files that cannot be used.
#include "trace/TVCmnTrace.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TraceTestSupport.h"

using namespace tracetest;

namespace {

// Lines "line NNNNN" padded to messageChars with 'x'.
void traceNumbered(TVCmnTrace& trace, int from, int to, size_t messageChars = 10)
{
    for (int i = from; i < to; ++i) {
        std::string text = "line " + std::string(5 - std::to_string(i).size(), '0') + std::to_string(i);
        text.resize(messageChars, 'x');
        KV_TRACE_TO(trace, kTraceError, kTraceGroupOpc, "[file test]", "%s", text.c_str());
    }
}

// The line numbers a trace file holds, in order (-1 for a line of something else).
std::vector<int> numbersIn(const std::string& path)
{
    std::vector<int> numbers;
    for (const std::string& line : splitLines(readFile(path))) {
        int n = -1;
        std::sscanf(line.c_str() + std::min(line.size(), kMessageColumn), "line %d", &n);
        numbers.push_back(n);
    }
    return numbers;
}

std::vector<int> range(int from, int to)
{
    std::vector<int> numbers;
    for (int i = from; i < to; ++i)
        numbers.push_back(i);
    return numbers;
}

TEST(TVCmnTraceFiles, SizeIsCheckedEvery256LinesThenFilesAlternateOrTheOneFileStartsOver)
{
    // 75-byte lines pass 1000 bytes long before the first check at line 256; 465-byte
    // lines pass 1000000 bytes between the checks at lines 2048 and 2304.
    const struct {
        const char* name;
        bool twoFiles;
        uint32_t maxSizeBytes;
        size_t messageChars;
        int lines;
        std::vector<int> first, second;
    } rows[] = {
        {"two, before the first check", true, 1000, 10, 255, range(0, 255), {}},
        {"two, switch at line 256", true, 1000, 10, 256, range(0, 256), {}},
        {"two, back to the first, cut", true, 1000, 10, 512, {}, range(256, 512)},
        {"two, the first written anew", true, 1000, 10, 513, range(512, 513), range(256, 512)},
        {"two, 1000000 not passed at 2048", true, 1000000, 400, 2303, range(0, 2303), {}},
        {"two, 1000000 passed at 2304", true, 1000000, 400, 2305, range(0, 2304), range(2304, 2305)},
        {"one, cut at line 256", false, 1000, 10, 256, {}, {}},
        {"one, written from its start", false, 1000, 10, 257, range(256, 257), {}},
    };
    for (const auto& row : rows) {
        TempDir dir;
        TestTrace t;
        t.trace.removeSink(&t.capture);  // thousands of lines: only the files count here
        t.trace.enableFiles(true);
        const std::string second = row.twoFiles ? dir.file("2.log") : "";
        ASSERT_TRUE(t.trace.setFiles(dir.file("1.log"), second, row.maxSizeBytes, kTraceFileCreateAlways));
        traceNumbered(t.trace, 0, row.lines, row.messageChars);
        t.trace.closeFiles();
        EXPECT_EQ(numbersIn(dir.file("1.log")), row.first) << row.name;
        EXPECT_EQ(numbersIn(dir.file("2.log")), row.second) << row.name;
    }
}

TEST(TVCmnTraceFiles, OpeningWithInfoOnWritesTheHeaderLines)
{
    for (bool infoOn : {true, false}) {
        TempDir dir;
        TestTrace t;
        t.trace.setLevels(~0u, ~0u, infoOn ? kTraceGroupUser2 : 0, 0);
        t.trace.enableFiles(true);
        ASSERT_TRUE(t.trace.setFiles(dir.file("h.log"), "", 1000000, kTraceFileCreateAlways));
        t.trace.closeFiles();
        std::string expected;
        for (const char* text : {"Version 4.01 Build 472", "Release", "Static", "ASCII"})
            expected += infoOn ? linePrefix('I', "ALL") + "INFO" + std::string(32, ' ') + text + "\r\n" : "";
        EXPECT_EQ(readFile(dir.file("h.log")), expected) << "info " << infoOn;
    }
}

TEST(TVCmnTraceFiles, NamesWaitForEnableWhichStartsAfreshOpenAlwaysAppendsAndDisableStopsAtOnce)
{
    TempDir dir;
    TestTrace t;
    const std::string name = dir.file("later.log");
    { std::ofstream(name, std::ios::binary) << "old\r\n"; }
    ASSERT_TRUE(t.trace.setFiles(name, dir.file("later2.log"), 5000, kTraceFileOpenAlways));
    traceNumbered(t.trace, 0, 3);
    EXPECT_EQ(readFile(name), "old\r\n") << "files off: names only stored";
    EXPECT_FALSE(std::filesystem::exists(dir.file("later2.log")));
    const TVCmnTraceFileSettings stored = t.trace.fileSettings();
    EXPECT_EQ(stored.fileName + "|" + stored.secondFileName, name + "|" + dir.file("later2.log"));
    EXPECT_EQ(stored.maxSizeBytes, 5000u);

    ASSERT_TRUE(t.trace.enableFiles(true));  // create-always: the old contents go
    traceNumbered(t.trace, 3, 5);
    ASSERT_TRUE(t.trace.setFiles(name, "", 5000, kTraceFileOpenAlways));  // appends
    traceNumbered(t.trace, 5, 6);
    t.trace.enableFiles(false);
    traceNumbered(t.trace, 6, 8);
    EXPECT_EQ(numbersIn(name), range(3, 6));
    EXPECT_EQ(t.capture.lines().size(), 8u) << "the other outputs go on";
}

TEST(TVCmnTraceFiles, AFileThatCannotBeOpenedOrWrittenLeavesTheOtherOutputs)
{
    TempDir dir;
    const std::string missing = dir.file("no-such-folder") + "/t.log";
    for (auto [first, second] : {std::pair{missing, std::string()}, {dir.file("ok.log"), missing}}) {
        TestTrace t;
        t.trace.enableFiles(true);
        EXPECT_FALSE(t.trace.setFiles(first, second, 1000000, kTraceFileCreateAlways)) << first << second;
        traceNumbered(t.trace, 0, 2);
        EXPECT_EQ(t.capture.lines().size(), 2u);
        EXPECT_EQ(t.capture.debugger().size(), 2u);
        EXPECT_EQ(readFile(dir.file("ok.log")), "") << "nothing written to a file";
        ASSERT_TRUE(t.trace.setFiles(dir.file("ok.log"), "", 1000000, kTraceFileCreateAlways));
        traceNumbered(t.trace, 2, 3);
        t.trace.closeFiles();
        EXPECT_EQ(numbersIn(dir.file("ok.log")), range(2, 3)) << "the next open works";
    }
#ifndef _WIN32
    TestTrace t;  // every write to /dev/full fails
    t.trace.enableFiles(true);
    ASSERT_TRUE(t.trace.setFiles("/dev/full", "", 1000, kTraceFileOpenExisting));
    traceNumbered(t.trace, 0, 300);
    EXPECT_EQ(t.capture.lines().size(), 300u);
#endif
}

TEST(TVCmnTraceFiles, StartupSettingsOpenTheFilesBeforeSettingTheLevels)
{
    TempDir dir;
    auto settings = [&](bool enable, std::string file, uint32_t infoMask) {
        TVCmnTraceSettings s;
        s.fileEnable = enable, s.fileName = std::move(file), s.infoMask = infoMask;
        return s;
    };
    const struct {
        const char* name;
        TVCmnTraceSettings settings;
        bool written, enabled;
    } rows[] = {
        {"file on, info on after it", settings(true, dir.file("s.log"), ~0u), true, true},
        {"on without a name", settings(true, "", 0), false, true},
    };
    for (const auto& row : rows) {
        std::filesystem::remove(dir.file("s.log"));
        TestTrace t;
        t.trace.applyStartupSettings(row.settings);
        KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "after start");
        t.trace.closeFiles();
        EXPECT_EQ(t.trace.fileSettings().enable, row.enabled) << row.name;
        EXPECT_EQ(t.trace.fileSettings().fileName, row.settings.fileName) << row.name;
        EXPECT_EQ(t.trace.levelMask(kTraceInfo), row.settings.infoMask) << row.name;
        // No header lines: info was still off when the file opened.
        const std::vector<std::string> lines = splitLines(readFile(dir.file("s.log")));
        EXPECT_EQ(lines.size(), row.written ? 1u : 0u) << row.name;
        if (row.written && !lines.empty()) {
            EXPECT_EQ(lines[0].substr(kMessageColumn), "after start") << row.name;
        }
    }
}

}  // namespace
