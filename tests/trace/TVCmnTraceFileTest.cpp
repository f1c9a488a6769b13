// Trace files as an operator finds them on disk: which file holds which lines after the
// size limit is passed, the header lines, and what happens when a file cannot be used.
#include "trace/TVCmnTrace.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "TraceTestSupport.h"

using namespace tracetest;

namespace {

constexpr size_t kMessageColumn = 63;  // header (27) + id column (35) + blank

// Lines "line NNNNN" padded to messageChars with 'x'.
void traceNumbered(TVCmnTrace& trace, int from, int to, size_t messageChars)
{
    for (int i = from; i < to; ++i) {
        char message[kTraceMessageMaxChars + 1];
        std::snprintf(message, sizeof message, "line %05d", i);
        std::string text = message;
        text.resize(std::max(messageChars, text.size()), 'x');
        KV_TRACE_TO(trace, kTraceError, kTraceGroupOpc, "[file test]", "%s", text.c_str());
    }
}

// The line numbers a trace file holds, in order.
std::vector<int> numbersIn(const std::string& path)
{
    std::vector<int> numbers;
    for (const std::string& line : splitLines(readFile(path))) {
        int n = -1;
        if (line.size() > kMessageColumn && std::sscanf(line.c_str() + kMessageColumn, "line %d", &n) == 1)
            numbers.push_back(n);
        else
            numbers.push_back(-1);
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

struct RotationRow {
    const char* name;
    bool twoFiles;
    uint32_t maxSizeBytes;
    size_t messageChars;
    int lines;
    std::vector<int> first;
    std::vector<int> second;
};

TEST(TVCmnTraceFiles, SizeIsCheckedEvery256LinesThenFilesAlternateOrTheOneFileStartsOver)
{
    // 75-byte lines: 1000 bytes are passed long before the first check at line 256.
    // 465-byte lines: 1000000 bytes are passed between lines 2048 and 2304.
    const RotationRow rows[] = {
        {"two files, before the first check", true, 1000, 10, 255, range(0, 255), {}},
        {"two files, switch at line 256", true, 1000, 10, 256, range(0, 256), {}},
        {"two files, second fills", true, 1000, 10, 300, range(0, 256), range(256, 300)},
        {"two files, back to the first, cut", true, 1000, 10, 512, {}, range(256, 512)},
        {"two files, first written anew", true, 1000, 10, 513, range(512, 513), range(256, 512)},
        {"two files, second cut again", true, 1000, 10, 768, range(512, 768), {}},
        {"two files, 1000000 not yet passed at 2048", true, 1000000, 400, 2303, range(0, 2303), {}},
        {"two files, 1000000 passed at 2304", true, 1000000, 400, 2305, range(0, 2304), range(2304, 2305)},
        {"one file, before the first check", false, 1000, 10, 255, range(0, 255), {}},
        {"one file, cut at line 256", false, 1000, 10, 256, {}, {}},
        {"one file, written from its start", false, 1000, 10, 257, range(256, 257), {}},
        {"one file, cut again at 512", false, 1000, 10, 513, range(512, 513), {}},
        {"one file, 1000000 passed at 2304", false, 1000000, 400, 2305, range(2304, 2305), {}},
    };
    for (const RotationRow& row : rows) {
        TempDir dir;
        TestTrace t;
        t.trace.removeSink(&t.sink);  // thousands of lines; the files are what counts here
        t.trace.enableFiles(true);
        const std::string first = dir.file("trace1.log");
        const std::string second = row.twoFiles ? dir.file("trace2.log") : std::string();
        ASSERT_TRUE(t.trace.setFiles(first, second, row.maxSizeBytes, kTraceFileCreateAlways)) << row.name;
        traceNumbered(t.trace, 0, row.lines, row.messageChars);
        t.trace.closeFiles();
        EXPECT_EQ(numbersIn(first), row.first) << row.name;
        if (row.twoFiles) {
            EXPECT_EQ(numbersIn(second), row.second) << row.name;
        }
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
        const std::string id = "INFO" + std::string(31, ' ') + " ";
        const std::string prefix = linePrefix('I', "ALL") + id;
        const std::string expected = infoOn ? prefix + "Version 4.01 Build 472\r\n" + prefix + "Release\r\n" +
                                                  prefix + "Static\r\n" + prefix + "ASCII\r\n"
                                            : "";
        EXPECT_EQ(readFile(dir.file("h.log")), expected) << "info " << infoOn;
    }
}

TEST(TVCmnTraceFiles, FilesDisabledOnlyStoreTheNamesUntilEnabled)
{
    TempDir dir;
    TestTrace t;
    const std::string name = dir.file("later.log");
    { std::ofstream(name, std::ios::binary) << "old contents\r\n"; }
    ASSERT_TRUE(t.trace.setFiles(name, dir.file("later2.log"), 5000, kTraceFileOpenAlways));
    traceNumbered(t.trace, 0, 3, 10);
    EXPECT_EQ(readFile(name), "old contents\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("later2.log")));
    const TVCmnTraceFileSettings stored = t.trace.fileSettings();
    EXPECT_FALSE(stored.enable);
    EXPECT_EQ(stored.fileName, name);
    EXPECT_EQ(stored.secondFileName, dir.file("later2.log"));
    EXPECT_EQ(stored.maxSizeBytes, 5000u);

    ASSERT_TRUE(t.trace.enableFiles(true));  // create-always: the old contents go
    traceNumbered(t.trace, 3, 5, 10);
    t.trace.closeFiles();
    EXPECT_EQ(numbersIn(name), range(3, 5));
    EXPECT_TRUE(std::filesystem::exists(dir.file("later2.log")));
}

TEST(TVCmnTraceFiles, DisablingStopsFileOutputAtOnce)
{
    TempDir dir;
    TestTrace t;
    t.trace.enableFiles(true);
    ASSERT_TRUE(t.trace.setFiles(dir.file("d.log"), "", 1000000, kTraceFileCreateAlways));
    traceNumbered(t.trace, 0, 3, 10);
    t.trace.enableFiles(false);
    traceNumbered(t.trace, 3, 6, 10);
    EXPECT_EQ(numbersIn(dir.file("d.log")), range(0, 3));
    EXPECT_EQ(t.sink.lines().size(), 6u) << "the other outputs go on";
    EXPECT_FALSE(t.trace.fileSettings().enable);
}

TEST(TVCmnTraceFiles, OpenAlwaysAppendsToTheFirstAndCutsTheSecond)
{
    TempDir dir;
    TestTrace t;
    { std::ofstream(dir.file("a.log"), std::ios::binary) << "kept\r\n"; }
    { std::ofstream(dir.file("b.log"), std::ios::binary) << "dropped\r\n"; }
    t.trace.enableFiles(true);
    ASSERT_TRUE(t.trace.setFiles(dir.file("a.log"), dir.file("b.log"), 1000000, kTraceFileOpenAlways));
    traceNumbered(t.trace, 0, 1, 10);
    t.trace.closeFiles();
    EXPECT_EQ(numbersIn(dir.file("a.log")), (std::vector<int>{-1, 0}));
    EXPECT_EQ(readFile(dir.file("a.log")).substr(0, 6), "kept\r\n");
    EXPECT_EQ(readFile(dir.file("b.log")), "");
}

TEST(TVCmnTraceFiles, AFileThatCannotBeOpenedLeavesTheOtherOutputs)
{
    TempDir dir;
    const std::string missing = dir.file("no-such-folder") + "/t.log";
    const struct {
        const char* name;
        std::string first;
        std::string second;
    } rows[] = {
        {"first cannot open", missing, ""},
        {"second cannot open", dir.file("ok.log"), missing},
    };
    for (const auto& row : rows) {
        TestTrace t;
        t.trace.enableFiles(true);
        EXPECT_FALSE(t.trace.setFiles(row.first, row.second, 1000000, kTraceFileCreateAlways)) << row.name;
        traceNumbered(t.trace, 0, 2, 10);
        EXPECT_EQ(t.sink.lines().size(), 2u) << row.name;
        EXPECT_EQ(t.debugger.texts().size(), 2u) << row.name;
        EXPECT_EQ(readFile(dir.file("ok.log")), "") << row.name << ": nothing written to a file";

        ASSERT_TRUE(t.trace.setFiles(dir.file("ok.log"), "", 1000000, kTraceFileCreateAlways)) << row.name;
        traceNumbered(t.trace, 2, 3, 10);
        t.trace.closeFiles();
        EXPECT_EQ(numbersIn(dir.file("ok.log")), range(2, 3)) << row.name << ": the next open works";
    }
}

#ifndef _WIN32
TEST(TVCmnTraceFiles, WriteErrorsAreIgnored)
{
    TestTrace t;
    t.trace.enableFiles(true);
    // Every write to /dev/full fails with "no space left".
    ASSERT_TRUE(t.trace.setFiles("/dev/full", "", 1000, kTraceFileOpenExisting));
    traceNumbered(t.trace, 0, 300, 10);
    EXPECT_EQ(t.sink.lines().size(), 300u);
}
#endif

TEST(TVCmnTraceFiles, StartupSettingsApplyFilesBeforeLevels)
{
    struct Row {
        const char* name;
        TVCmnTraceSettings settings;
        bool fileWritten;
        bool enabled;
    };
    TempDir dir;
    auto settingsWith = [&](bool enable, std::string file, uint32_t infoMask) {
        TVCmnTraceSettings s;
        s.fileEnable = enable;
        s.fileName = std::move(file);
        s.infoMask = infoMask;
        return s;
    };
    const Row rows[] = {
        {"defaults", TVCmnTraceSettings{}, false, false},
        {"file on, info on after it", settingsWith(true, dir.file("s.log"), ~0u), true, true},
        {"file named but off", settingsWith(false, dir.file("s.log"), 0), false, false},
        {"on without a name", settingsWith(true, "", 0), false, true},
    };
    for (const Row& row : rows) {
        std::filesystem::remove(dir.file("s.log"));
        TestTrace t;
        t.trace.applyStartupSettings(row.settings);
        KV_TRACE_TO(t.trace, kTraceError, kTraceGroupOpc, "x", "after start");
        t.trace.closeFiles();
        EXPECT_EQ(t.trace.fileSettings().enable, row.enabled) << row.name;
        EXPECT_EQ(t.trace.fileSettings().fileName, row.settings.fileName) << row.name;
        EXPECT_EQ(t.trace.levelMask(kTraceInfo), row.settings.infoMask) << row.name;
        if (row.fileWritten) {
            // No header lines: the info mask was still off when the file opened.
            const std::vector<std::string> lines = splitLines(readFile(dir.file("s.log")));
            ASSERT_EQ(lines.size(), 1u) << row.name;
            EXPECT_EQ(lines[0].substr(kMessageColumn), "after start") << row.name;
        } else {
            EXPECT_FALSE(std::filesystem::exists(dir.file("s.log"))) << row.name;
        }
    }
}

}  // namespace
